// tarnexport.dle on Windows, loaded as the host package loads it: LoadLibrary,
// the entry points by name. Its reports go to user32 itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "host/plugin_api.h"
#include "scene/scene.h"
#include "tests/support/omni_scene.h"
#include "tests/support/reports.h"
#include "tests/support/temp_dir.h"
#include "tools/winhost/library.h"

namespace {

class WindowsPlugin : public testing::Test {
 protected:
  void* lib = nullptr;
  LibClassDescFn classDesc = nullptr;

  void SetUp() override {
    std::string error;
    lib = winhost::OpenLibrary(winhost::ProgramFolder() + "\\tarnexport.dle", &error);
    ASSERT_NE(lib, nullptr) << error;
    classDesc = reinterpret_cast<LibClassDescFn>(winhost::Symbol(lib, "LibClassDesc"));
    ASSERT_NE(classDesc, nullptr);
  }
  void TearDown() override {
    if (lib) winhost::CloseLibrary(lib);
  }
  SceneExport* Create() { return static_cast<SceneExport*>(classDesc(0)->Create(0)); }
};

TEST_F(WindowsPlugin, ExportsTheFourEntryPointsAndNothingElse) {
  EXPECT_EQ(winhost::ExportedNames(lib), "LibClassDesc LibDescription LibNumberClasses LibVersion");
  auto version = reinterpret_cast<LibVersionFn>(winhost::Symbol(lib, "LibVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), HOST_SDK_VERSION);
  EXPECT_EQ(winhost::Symbol(lib, "DllMain"), nullptr);
}

// The reports go where the host package's would: user32's own functions, not
// the host layer's sink (nothing is recorded), and Wine answers them.
TEST_F(WindowsPlugin, ReportsCallUser32Itself) {
  for (const char* fn : {"MessageBoxA", "GetActiveWindow"}) {
    void* slot = winhost::ImportedAddress(lib, "USER32.dll", fn);
    ASSERT_NE(slot, nullptr) << fn;
    EXPECT_EQ(slot, winhost::ExportedAddress("user32.dll", fn)) << fn;
  }
  tarntest::ReportLog reports;
  SceneExport* exporter = Create();
  ASSERT_NE(exporter, nullptr);
  EXPECT_EQ(exporter->Ext(1), nullptr);  // "Assert Failed!", shown by user32
  delete exporter;
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(WindowsPlugin, WritesTheBytesItWritesOnLinux) {
  scene::Scene s;
  tarntest::BuildOmniScene(s);
  s.Activate();

  tarntest::TempDir dir;
  const std::string path = dir / "scene.thm";
  SceneExport* exporter = Create();
  ASSERT_NE(exporter, nullptr);
  EXPECT_EQ(exporter->DoExport(path.c_str(), &s, &s, 1), 1);
  delete exporter;
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(bytes, tarntest::OmniSceneBytes());
}

}  // namespace
