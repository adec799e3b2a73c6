// The two window-system services plug-ins use for reports. On Linux there is no
// dialog: each message box is handed, with owner, caption, text and buttons, to
// a sink that the running host installs (a console host prints it, a test
// records it). Nothing ever waits for a click. On Windows they are user32's.
#pragma once

#include <functional>
#include <string>

#include "host/api.h"

// An opaque window handle; null means "no owner".
using HWND = struct HWND__*;

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr int IDOK = 1;

struct MessageBoxRecord {
  HWND owner = nullptr;
  std::string caption;
  std::string text;
  unsigned type = MB_OK;
};

// The sink returns the button "pressed"; boxes with only OK get IDOK.
using MessageBoxSink = std::function<int(const MessageBoxRecord&)>;

#if defined(_WIN32)
// On Windows the plug-in reports through the platform itself, as it does in
// the host package: user32's message box, owned by user32's active window.
// Tests put a stand-in for both in front of user32 (tests/windows/user32_stand_in.cpp).
extern "C" __declspec(dllimport) int __stdcall MessageBoxA(HWND owner, const char* text, const char* caption,
                                                           unsigned type);
extern "C" __declspec(dllimport) HWND __stdcall GetActiveWindow();
// What the stand-in does with a box and where it finds the owner: the sink and window below.
HOST_API int DeliverMessageBox(HWND owner, const char* text, const char* caption, unsigned type);
HOST_API HWND HostActiveWindow();
#else
// Shows a message box: passes it to the installed sink (by default, one
// readable block on standard error) and returns the button.
HOST_API int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type);

// The host's active top-level window, the owner of modal reports.
HOST_API HWND GetActiveWindow();
#endif

// Host side: install a sink (an empty function restores the default), and name
// the window that GetActiveWindow returns. Each returns the previous value.
HOST_API MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);
HOST_API HWND SetActiveWindow(HWND window);
