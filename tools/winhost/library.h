// Loading a plug-in library the Windows way, apart from the host's headers
// (windows.h and the host layer both name MessageBoxA and its constants).
#pragma once

#include <string>

namespace winhost {

// LoadLibraryA; null with `error` (the system's message) when it fails.
void* OpenLibrary(const std::string& path, std::string* error);
void* Symbol(void* library, const char* name);
void CloseLibrary(void* library);

// Where calls from `library` to `function` of `dll` go: the address in its
// import table, or null when it does not import it.
void* ImportedAddress(void* library, const char* dll, const char* function);
// The address `dll` itself gives for `function`.
void* ExportedAddress(const char* dll, const char* function);
// The folder of the running program.
std::string ProgramFolder();

// The names `library` exports, in its export table's order.
std::string ExportedNames(void* library);

}  // namespace winhost
