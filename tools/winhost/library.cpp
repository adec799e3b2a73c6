#include "tools/winhost/library.h"

#include <windows.h>

#include <cstring>

namespace winhost {

namespace {

template <class T>
T* At(HMODULE base, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(base) + rva);
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE base, int which) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = At<IMAGE_NT_HEADERS>(base, static_cast<DWORD>(dos->e_lfanew));
  return nt->OptionalHeader.DataDirectory[which];
}

}  // namespace

void* OpenLibrary(const std::string& path, std::string* error) {
  HMODULE h = LoadLibraryA(path.c_str());
  if (!h) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                   text, sizeof text, nullptr);
    *error = text;
    while (!error->empty() && (error->back() == '\n' || error->back() == '\r')) error->pop_back();
  }
  return reinterpret_cast<void*>(h);
}

void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

void* ImportedAddress(void* library, const char* dll, const char* function) {
  auto base = static_cast<HMODULE>(library);
  const IMAGE_DATA_DIRECTORY& dir = Directory(base, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (dir.Size == 0) return nullptr;
  for (auto* imp = At<IMAGE_IMPORT_DESCRIPTOR>(base, dir.VirtualAddress); imp->Name; ++imp) {
    if (_stricmp(At<char>(base, imp->Name), dll) != 0) continue;
    auto* names =
        At<IMAGE_THUNK_DATA>(base, imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk);
    auto* slots = At<IMAGE_THUNK_DATA>(base, imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = At<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(names->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
        return reinterpret_cast<void*>(slots->u1.Function);
    }
  }
  return nullptr;
}

void* ExportedAddress(const char* dll, const char* function) {
  HMODULE h = GetModuleHandleA(dll);
  return h ? reinterpret_cast<void*>(GetProcAddress(h, function)) : nullptr;
}

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  const size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string ExportedNames(void* library) {
  auto base = static_cast<HMODULE>(library);
  const IMAGE_DATA_DIRECTORY& dir = Directory(base, IMAGE_DIRECTORY_ENTRY_EXPORT);
  std::string out;
  if (dir.Size == 0) return out;
  auto* exp = At<IMAGE_EXPORT_DIRECTORY>(base, dir.VirtualAddress);
  auto* names = At<DWORD>(base, exp->AddressOfNames);
  for (DWORD i = 0; i < exp->NumberOfNames; ++i) out += std::string(i ? " " : "") + At<char>(base, names[i]);
  return out;
}

}  // namespace winhost
