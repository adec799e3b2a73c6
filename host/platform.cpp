#include "host/platform.h"

#include <cstdio>
#include <utility>

namespace {
MessageBoxSink g_sink;
HWND g_active = nullptr;

int PrintToStderr(const MessageBoxRecord& r) {
  std::fprintf(stderr, "[%s] %s\n", r.caption.c_str(), r.text.c_str());
  return IDOK;
}
}  // namespace

#if defined(_WIN32)
int DeliverMessageBox(HWND owner, const char* text, const char* caption, unsigned type) {
#else
int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type) {
#endif
  MessageBoxRecord r{owner, caption ? caption : "", text ? text : "", type};
  return g_sink ? g_sink(r) : PrintToStderr(r);
}

#if defined(_WIN32)
HWND HostActiveWindow() {
#else
HWND GetActiveWindow() {
#endif
  return g_active;
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  return std::exchange(g_sink, std::move(sink));
}

HWND SetActiveWindow(HWND window) {
  return std::exchange(g_active, window);
}
