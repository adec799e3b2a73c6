// The interfaces a plug-in implements for the host: the class descriptor, the
// scene exporter, and the scene-walk callback. The operations are declared in
// the host's fixed order; a plug-in overrides them in that order.
#pragma once

#include <cstdint>

#include "host/platform.h"
#include "host/types.h"

class Interface;
class ExpInterface;
class INode;

// The host version a plug-in library must report from LibVersion.
constexpr uint32_t HOST_SDK_VERSION = 0x09C40500u;  // 2500 in bits 16-31, 5 in 8-15

// Describes one plug-in class. The descriptor is owned by the library and never
// deleted by the host. Operations 3, 4 and 9 to 15 have host defaults.
class ClassDesc {
 public:
  virtual int IsPublic() = 0;                               // 1
  virtual void* Create(int loading) = 0;                    // 2
  virtual int BeginCreate(Interface*) { return 0; }         // 3
  virtual int EndCreate(Interface*) { return 0; }           // 4
  virtual const char* ClassName() = 0;                      // 5
  virtual SClass_ID SuperClassID() = 0;                     // 6
  virtual Class_ID ClassID() = 0;                           // 7
  virtual const char* Category() = 0;                       // 8
  virtual int OkToCreate(Interface*) { return 1; }          // 9
  virtual int HasClassParams() { return 0; }                // 10
  virtual void EditClassParams(HWND) {}                     // 11
  virtual void EndEditClassParams(HWND) {}                  // 12
  virtual int NumActionTables() { return 0; }               // 13
  virtual void* GetActionTable(int) { return nullptr; }     // 14
  virtual void* GetParamBlockDesc(int) { return nullptr; }  // 15

 protected:
  ~ClassDesc() = default;
};

// A scene exporter (super-class SCENE_EXPORT_CLASS_ID). The host owns each
// instance it creates through the descriptor and deletes it when done.
class SceneExport {
 public:
  virtual ~SceneExport() = default;            // 1
  virtual int ExtCount() = 0;                  // 2
  virtual const char* Ext(int n) = 0;          // 3: without the dot
  virtual const char* LongDesc() = 0;          // 4
  virtual const char* ShortDesc() = 0;         // 5
  virtual const char* AuthorName() = 0;        // 6
  virtual const char* CopyrightMessage() = 0;  // 7
  virtual const char* OtherMessage1() = 0;     // 8
  virtual const char* OtherMessage2() = 0;     // 9
  virtual unsigned int Version() = 0;          // 10
  virtual void ShowAbout(HWND hWnd) = 0;       // 11
  // 12: writes the scene to the file `name`; 1 on success, 0 on failure.
  virtual int DoExport(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts) = 0;
};

// Results of a scene-walk callback.
constexpr int TREE_CONTINUE = 0;
constexpr int TREE_IGNORECHILDREN = 1;
constexpr int TREE_ABORT = 2;

// Called by the host once per node of a scene walk.
class ITreeEnumProc {
 public:
  virtual int VisitNode(INode* node) = 0;

 protected:
  ~ITreeEnumProc() = default;
};

// The entry points every plug-in library exports with C linkage.
extern "C" {
using LibDescriptionFn = const char* (*)();
using LibNumberClassesFn = int (*)();
using LibClassDescFn = ClassDesc* (*)(int i);
using LibVersionFn = uint32_t (*)();
}
