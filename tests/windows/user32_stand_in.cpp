// Stand-ins for user32's MessageBoxA and GetActiveWindow in front of the DLL:
// the plug-in's code linked into a test calls them through this program's
// import slots, which lead here, to the host layer's sink and window, so that
// a test records each report instead of showing it. tarnexport.dle, loaded by
// LoadLibrary, has slots of its own and calls user32 itself.
#include "host/platform.h"

namespace {

int __stdcall StandInMessageBoxA(HWND owner, const char* text, const char* caption, unsigned type) {
  return DeliverMessageBox(owner, text, caption, type);
}

HWND __stdcall StandInGetActiveWindow() {
  return HostActiveWindow();
}

}  // namespace

extern "C" {
int(__stdcall* __imp_MessageBoxA)(HWND, const char*, const char*, unsigned) = StandInMessageBoxA;
HWND(__stdcall* __imp_GetActiveWindow)() = StandInGetActiveWindow;
}
