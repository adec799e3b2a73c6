#include "plugin/assert.h"

#include <string>

#include "host/platform.h"

namespace {
bool g_failed = false;
}

void ReportAssert(const char* condition, const char* file, int line) {
  g_failed = true;
  std::string text = std::string(condition) + "\n" + file + ": line " + std::to_string(line);
  MessageBoxA(GetActiveWindow(), text.c_str(), "Assert Failed!", MB_OK);
}

bool ExportFailed() { return g_failed; }
void ResetExportFailure() { g_failed = false; }
void MarkExportFailed() { g_failed = true; }
