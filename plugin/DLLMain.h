// The plug-in shell: the library's entry points, its one class descriptor and
// the exporter the descriptor makes.
#pragma once

#include <cstdint>

#include "host/plugin_api.h"
#include "host/scene_api.h"

// The exporter's class identity.
constexpr Class_ID MESHEXPORT_CLASS_ID(0x27CB055C, 0x032C469C);

// The entry points the host looks up by name: C linkage, visible from the library.
#if defined(_WIN32)
#define TARN_ENTRY extern "C" __declspec(dllexport)
#else
#define TARN_ENTRY extern "C" __attribute__((visibility("default")))
#endif
TARN_ENTRY const char* LibDescription();
TARN_ENTRY int LibNumberClasses();
TARN_ENTRY ClassDesc* LibClassDesc(int i);
TARN_ENTRY uint32_t LibVersion();

class MeshExportClassDesc : public ClassDesc {
 public:
  int IsPublic() override;
  void* Create(int loading) override;
  const char* ClassName() override;
  SClass_ID SuperClassID() override;
  Class_ID ClassID() override;
  const char* Category() override;
};

class MeshExport : public SceneExport {
 public:
  ~MeshExport() override;
  int ExtCount() override;
  const char* Ext(int n) override;
  const char* LongDesc() override;
  const char* ShortDesc() override;
  const char* AuthorName() override;
  const char* CopyrightMessage() override;
  const char* OtherMessage1() override;
  const char* OtherMessage2() override;
  unsigned int Version() override;
  void ShowAbout(HWND hWnd) override;
  int DoExport(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts) override;
};
