// The plug-in shell: the library's entry points, its one class descriptor, the
// exporter, and the export driver that walks the scene and dispatches nodes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/plugin_api.h"
#include "host/scene_api.h"

// The exporter's class identity.
constexpr Class_ID MESHEXPORT_CLASS_ID(0x27CB055C, 0x032C469C);

// The entry points the host looks up by name: C linkage, visible from the library.
#define TARN_ENTRY extern "C" __attribute__((visibility("default")))
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

// The scene-walk callback of one export.
class ExportTreeProc : public ITreeEnumProc {
 public:
  FILE* File = nullptr;  // not owned
  // TREE_CONTINUE, or TREE_ABORT once the export has shown a report.
  int VisitNode(INode* node) override;
};

// Writes the scene to the file `name`: 1 when the file was opened and
// completed, 0 when it cannot be opened, a report was shown, or the close failed.
int ExportScene(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts);
// ExportScene after the file is open: takes the stream over and always closes it.
int ExportToStream(FILE* file, ExpInterface* ei, Interface* i);
// Node steps: append the node's record to `file`; always 0.
int ExportLightNode(INode* node, Object* obj, FILE* file, Class_ID lightClass);
int ExportMeshNode(INode* node, Object* obj, FILE* file);

// ---- Mesh extraction
class Obj;
class Bones;
class TriObject;
class Mtl;
class StdMat;

// Name of the last non-standard face material met by the running BuildObj.
extern const char* NonStdMtlName;
int IsMultiMtl(Mtl* m);
Mtl* GetFaceMtl(Mtl* multi, int index);
StdMat* AsStdMat(Mtl* m);
void NegateYZ(Point3& p);
// The corner's (u, v) in x and y, through the face material's diffuse map.
Point3 MapTexCoord(const Point3& t, Mtl* fm);
// Fills `obj` (and the skin references of `bones`) from the node's mesh: 1, or
// 0 after a report, when the node is to be abandoned.
int BuildObj(INode* node, TriObject* tobj, Obj* obj, Bones* bones);
