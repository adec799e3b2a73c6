#include "context/report.h"

#include <cstdio>

#include "host/platform.h"

namespace report {

namespace {
// The plug-in runs on the host's one thread and exports never overlap.
ExportStatus* g_running = nullptr;
}  // namespace

ExportStatus::ExportStatus() : previous_(g_running) {
  g_running = this;
}
ExportStatus::~ExportStatus() {
  g_running = previous_;
}

void MarkExportFailed() {
  if (g_running) g_running->MarkFailed();
}

void Show(const Site& site) {
  MarkExportFailed();
  // No allocation: the report may be about memory running out.
  char text[512];
  std::snprintf(text, sizeof text, "%s\n%s: line %d", site.text, site.source, site.line);
  MessageBoxA(GetActiveWindow(), text, "Assert Failed!", MB_OK);
}

}  // namespace report
