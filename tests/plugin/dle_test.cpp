// Loads tarnexport.dle exactly as the host does: by path, entry points by name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "host/plugin_api.h"
#include "scene/scene.h"
#include "tests/support/bytes.h"
#include "tests/support/omni_scene.h"
#include "tests/support/reports.h"
#include "tests/support/sink.h"

namespace {

using tarntest::Bytes;
using tarntest::IsReport;
using tarntest::Sink;

struct Library {
  void* handle = dlopen(TARN_BIN_DIR "/tarnexport.dle", RTLD_NOW | RTLD_LOCAL);
  ~Library() {
    if (handle) dlclose(handle);
  }
  template <class Fn>
  Fn Get(const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
  }
};

class PluginLibrary : public testing::Test {
 protected:
  Library lib;
  LibDescriptionFn description = nullptr;
  LibNumberClassesFn numberClasses = nullptr;
  LibClassDescFn classDesc = nullptr;
  LibVersionFn version = nullptr;

  void SetUp() override {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    description = lib.Get<LibDescriptionFn>("LibDescription");
    numberClasses = lib.Get<LibNumberClassesFn>("LibNumberClasses");
    classDesc = lib.Get<LibClassDescFn>("LibClassDesc");
    version = lib.Get<LibVersionFn>("LibVersion");
    ASSERT_TRUE(description && numberClasses && classDesc && version);
  }
  SceneExport* Create() { return static_cast<SceneExport*>(classDesc(0)->Create(0)); }
};

TEST_F(PluginLibrary, HostLoadsChecksCreatesAndExports) {
  ASSERT_EQ(version(), HOST_SDK_VERSION);
  EXPECT_STREQ(description(), "Tarnhold MAX plugin");
  ASSERT_EQ(numberClasses(), 1);
  ClassDesc* desc = classDesc(0);
  ASSERT_NE(desc, nullptr);
  EXPECT_EQ(desc->IsPublic(), 1);
  EXPECT_EQ(desc->SuperClassID(), 0xA20u);
  EXPECT_EQ(desc->ClassID().PartA(), 0x27CB055Cu);
  EXPECT_EQ(desc->ClassID().PartB(), 0x032C469Cu);
  EXPECT_STREQ(desc->ClassName(), "Tarnhold mesh exporter (non-hidden)");
  EXPECT_STREQ(desc->Category(), "Scene Exporter");

  SceneExport* exporter = Create();
  ASSERT_NE(exporter, nullptr);
  ASSERT_EQ(exporter->ExtCount(), 1);
  EXPECT_STREQ(exporter->Ext(0), "thm");
  EXPECT_STREQ(exporter->LongDesc(), "Tarnhold Mesh");
  EXPECT_STREQ(exporter->ShortDesc(), "Tarnhold Mesh");
  EXPECT_EQ(exporter->Version(), 101u);

  scene::Scene s;
  tarntest::BuildOmniScene(s);

  char dir[] = "/tmp/tarn_dle_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/scene.thm";
  tarntest::ReportLog reports;
  EXPECT_EQ(exporter->DoExport(path.c_str(), &s, &s, 1), 1);
  delete exporter;

  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(bytes, tarntest::OmniSceneBytes());
  EXPECT_TRUE(reports.boxes.empty());
  std::remove(path.c_str());
  rmdir(dir);
}

TEST_F(PluginLibrary, EntryAndDescriptorEdgeCases) {
  EXPECT_EQ(version(), 0x09C40500u);
  EXPECT_EQ(classDesc(0), classDesc(0));
  EXPECT_EQ(classDesc(1), nullptr);
  EXPECT_EQ(classDesc(-1), nullptr);

  tarntest::ReportLog reports;
  HWND owner = reinterpret_cast<HWND>(0x5678);
  HWND before = SetActiveWindow(owner);
  SceneExport* a = Create();
  SceneExport* b = Create();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  for (SceneExport* e : {a, b}) {
    EXPECT_EQ(e->ExtCount(), 1);
    EXPECT_STREQ(e->Ext(0), "thm");
    EXPECT_STREQ(e->Ext(-1), "thm");
    EXPECT_STREQ(e->OtherMessage1(), "");
    EXPECT_STREQ(e->OtherMessage2(), "");
    e->ShowAbout(owner);
  }
  EXPECT_TRUE(reports.boxes.empty());  // the about box shows nothing
  for (auto op : {&SceneExport::LongDesc, &SceneExport::ShortDesc, &SceneExport::AuthorName,
                  &SceneExport::CopyrightMessage, &SceneExport::OtherMessage1, &SceneExport::OtherMessage2}) {
    ASSERT_NE((a->*op)(), nullptr);
    EXPECT_STREQ((a->*op)(), (b->*op)());
  }
  EXPECT_GT(std::strlen(a->AuthorName()), 0u);
  EXPECT_GT(std::strlen(a->CopyrightMessage()), 0u);
  EXPECT_EQ(a->Version(), b->Version());

  EXPECT_EQ(a->Ext(1), nullptr);
  SetActiveWindow(before);
  ASSERT_EQ(reports.boxes.size(), 1u);
  // The text users have always seen, line number included, wherever the code now sits.
  EXPECT_EQ(reports.boxes[0].text, "0\nplugin/DLLMain.cpp: line 42");
  EXPECT_EQ(reports.boxes[0].owner, owner);

  // The report marked no export: the next one starts clean.
  scene::Scene empty;
  EXPECT_EQ(a->DoExport("/dev/null", &empty, &empty, 0), 1);
  delete a;
  delete b;
}

}  // namespace
