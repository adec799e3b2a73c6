#include "plugin/DLLMain.h"

#include <new>

#include "context/report.h"
#include "plugin/driver.h"

namespace {
// Constructed at load time, before the host can ask for it.
MeshExportClassDesc g_classDesc;

constexpr report::Site kNoSuchExtension{"0", "plugin/DLLMain.cpp", 42};
}  // namespace

// ---- Entry points ------------------------------------------------------------

const char* LibDescription() {
  return "Tarnhold MAX plugin";
}
int LibNumberClasses() {
  return 1;
}
ClassDesc* LibClassDesc(int i) {
  return i == 0 ? &g_classDesc : nullptr;
}
uint32_t LibVersion() {
  return HOST_SDK_VERSION;
}

// ---- Class descriptor ----------------------------------------------------------

int MeshExportClassDesc::IsPublic() {
  return 1;
}
// The host casts the result to its exporter interface.
void* MeshExportClassDesc::Create(int) {
  return static_cast<SceneExport*>(new (std::nothrow) MeshExport);
}
const char* MeshExportClassDesc::ClassName() {
  return "Tarnhold mesh exporter (non-hidden)";
}
SClass_ID MeshExportClassDesc::SuperClassID() {
  return SCENE_EXPORT_CLASS_ID;
}
Class_ID MeshExportClassDesc::ClassID() {
  return MESHEXPORT_CLASS_ID;
}
const char* MeshExportClassDesc::Category() {
  return "Scene Exporter";
}

// ---- Exporter --------------------------------------------------------------------

MeshExport::~MeshExport() = default;
int MeshExport::ExtCount() {
  return 1;
}
const char* MeshExport::Ext(int n) {
  if (n < 1) return "thm";
  report::Show(kNoSuchExtension);
  return nullptr;
}
const char* MeshExport::LongDesc() {
  return "Tarnhold Mesh";
}
const char* MeshExport::ShortDesc() {
  return "Tarnhold Mesh";
}
const char* MeshExport::AuthorName() {
  return "Tarnhold tools team";
}
const char* MeshExport::CopyrightMessage() {
  return "Copyright (C) Tarnhold tools team";
}
const char* MeshExport::OtherMessage1() {
  return "";
}
const char* MeshExport::OtherMessage2() {
  return "";
}
unsigned int MeshExport::Version() {
  return 101;
}
void MeshExport::ShowAbout(HWND) {}
int MeshExport::DoExport(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts) {
  return ExportScene(name, ei, i, suppressPrompts);
}

#if defined(_WIN32)
// Nothing to do when the host loads or unloads the library.
extern "C" int __stdcall DllMain(void*, unsigned long, void*) {
  return 1;
}
#endif
