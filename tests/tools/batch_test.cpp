// Batches: a folder of mixed inputs with one and with four workers, a worker
// that crashes and one that hangs, the manifest that skips what is up to
// date, the report, and the dependency file of one export.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/tools/run_tool.h"

namespace {

using namespace tools_test;

const std::string kModels = "/usr/share/assimp/models/";

// Every file below `root` (hidden ones too) -> its bytes.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = Slurp(e.path());
  return out;
}

nlohmann::json Report(const fs::path& p, const std::string& outFolder) {
  nlohmann::json j = nlohmann::json::parse(Slurp(p));
  // What may differ between runs: times, memory, where the outputs went.
  j.erase("seconds");
  j.erase("jobs");
  for (auto& in : j["inputs"]) {
    in.erase("seconds");
    in.erase("peak_memory_mb");
    std::string o = in["output"];
    in["output"] = o.substr(outFolder.size());
  }
  return j;
}

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kModels)) << "assimp-testmodels is not installed (scripts/deps.sh installs it)";
    assets_ = dir_.path() / "assets";
    fs::create_directories(assets_ / "props");
    fs::create_directories(assets_ / "chars");
    fs::copy_file(kSource + "/examples/demo.scene.json", assets_ / "demo.scene.json");
    fs::copy_file(kModels + "OBJ/box.obj", assets_ / "props/box.obj");
    fs::copy_file(kModels + "glTF2/BoxTextured-glTF/BoxTextured.gltf", assets_ / "props/BoxTextured.gltf");
    fs::copy_file(kModels + "glTF2/BoxTextured-glTF/BoxTextured0.bin", assets_ / "props/BoxTextured0.bin");
    fs::copy_file(kModels + "glTF2/simple_skin/simple_skin.gltf", assets_ / "chars/simple_skin.gltf");
    fs::copy_file(kModels + "FBX/huesitos.fbx", assets_ / "chars/huesitos.fbx");
    Spit(assets_ / "props/broken.scene.json", R"({"format": "thm-scene", "version": 1, "nodez": []})");
    Spit(assets_ / "chars/notes.json", R"({"Bip": [[0, "step"]]})");  // not a document: not an input
  }
  fs::path Plugins() {
    const fs::path p = dir_.path() / "plugins";
    if (!fs::exists(p)) {
      fs::create_directory(p);
      fs::create_symlink(fs::path(TARN_FAKE_PLUGIN_DIR) / "fakeexport.dle", p / "fakeexport.dle");
    }
    return p;
  }
  tarntest::TempDir dir_{"thm_batch"};
  fs::path assets_;
};

TEST_F(Batch, OneWorkerAndFourGiveTheSameOutputsAndReport) {
  for (const char* j : {"1", "4"}) {
    SCOPED_TRACE(j);
    const fs::path out = dir_.path() / ("out" + std::string(j));
    Result r = RunTool({assets_.string(), "-o", out.string(), "-j", j, "--report", (out.string() + ".json")});
    EXPECT_EQ(r.code, 2) << r.err;  // the broken document
    // Errors and warnings in input order, then the summary.
    const size_t broken = r.err.find("props/broken.scene.json: /nodez: unknown key");
    const size_t box = r.err.find("props/box.obj: warning:");
    EXPECT_NE(broken, std::string::npos) << r.err;
    EXPECT_LT(box, broken) << r.err;
    EXPECT_NE(r.err.find("\n5 exported, 1 failed, 0 up to date, "), std::string::npos) << r.err;
  }
  auto one = Tree(dir_.path() / "out1"), four = Tree(dir_.path() / "out4");
  EXPECT_TRUE(one.erase(".thmexport-manifest.json"));  // names its own folder
  EXPECT_TRUE(four.erase(".thmexport-manifest.json"));
  EXPECT_EQ(one, four);
  for (const char* name :
       {"demo.thm", "props/box.thm", "props/BoxTextured.thm", "chars/simple_skin.thm", "chars/huesitos.thm"})
    EXPECT_TRUE(one.count(name)) << name;
  EXPECT_FALSE(one.count("props/broken.thm"));
  EXPECT_FALSE(one.count("chars/notes.thm"));

  const nlohmann::json a = Report(dir_.path() / "out1.json", (dir_.path() / "out1").string());
  EXPECT_EQ(a, Report(dir_.path() / "out4.json", (dir_.path() / "out4").string()));
  ASSERT_EQ(a["inputs"].size(), 6u);
  EXPECT_EQ(a["exported"], 5);
  EXPECT_EQ(a["failed"], 1);
  const nlohmann::json& skin = a["inputs"][1];  // chars/simple_skin.gltf, after chars/huesitos.fbx
  EXPECT_EQ(skin["input"], (assets_ / "chars/simple_skin.gltf").string());
  EXPECT_EQ(skin["status"], "exported");
  EXPECT_EQ(skin["records"], 1);
  EXPECT_EQ(skin["triangles"], 8);
  EXPECT_EQ(skin["bones"], 2);
  EXPECT_EQ(skin["frames"], 166);
  EXPECT_EQ(skin["output_hash"].get<std::string>().size(), 32u);
  const nlohmann::json& bad = a["inputs"][5];  // props/broken.scene.json, the last
  EXPECT_EQ(bad["status"], "failed");
  EXPECT_EQ(bad["exit"], 2);
  EXPECT_EQ(bad["messages"].size(), 1u);
}

TEST_F(Batch, AWorkerThatCrashesOrHangsFailsItsInputOnly) {
  // The stand-in plug-in crashes on a node named "crash" and hangs on "hang".
  auto scene = [](const char* node) {
    return std::string(R"({"format":"thm-scene","version":1,"nodes":[{"name":")") + node + R"("}]})";
  };
  Spit(assets_ / "a.scene.json", scene("A"));
  Spit(assets_ / "crash.scene.json", scene("crash"));
  Spit(assets_ / "hang.scene.json", scene("hang"));
  Spit(assets_ / "z.scene.json", scene("Z"));
  for (const char* j : {"1", "4"}) {
    SCOPED_TRACE(j);
    const fs::path out = dir_.path() / ("out" + std::string(j));
    fs::create_directories(out);
    Spit(out / "crash.thm", "old output");
    Spit(out / "hang.thm", "old output");
    RunOptions signals;
    LetSignalsThrough(signals);
    Result r = RunTool({"--plugins", Plugins().string(), assets_.string(), "-o", out.string(), "-j", j,
                        "--timeout", "1", "--report", out.string() + ".json"},
                       signals);
    EXPECT_EQ(r.code, 2) << r.err;  // the broken document; the crash and the hang alone would give 1
    EXPECT_NE(r.err.find("thmexport: the export crashed (signal 11: Segmentation fault) exporting " +
                         (assets_ / "crash.scene.json").string() + "; the output was left as it was\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("thmexport: the export took longer than 1 s exporting " +
                         (assets_ / "hang.scene.json").string()),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n7 exported, 3 failed, 0 up to date, "), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(out / "crash.thm"), "old output");
    EXPECT_EQ(Slurp(out / "hang.thm"), "old output");
    // The exports after the crash and the hang still ran.
    EXPECT_EQ(Slurp(out / "z.thm"), "FAKE ticks=160 range=0..0\nZ\n");
    EXPECT_EQ(Slurp(out / "a.thm"), "FAKE ticks=160 range=0..0\nA\n");
    EXPECT_TRUE(fs::exists(out / "chars/huesitos.thm"));
  }
  auto one = Tree(dir_.path() / "out1"), four = Tree(dir_.path() / "out4");
  one.erase(".thmexport-manifest.json");
  four.erase(".thmexport-manifest.json");
  EXPECT_EQ(one, four);
  const nlohmann::json a = Report(dir_.path() / "out1.json", (dir_.path() / "out1").string());
  EXPECT_EQ(a, Report(dir_.path() / "out4.json", (dir_.path() / "out4").string()));
  for (auto& in : a["inputs"]) {
    const std::string name = fs::path(in["input"].get<std::string>()).filename();
    if (name == "crash.scene.json")
      EXPECT_EQ(in["reason"], "the export crashed (signal 11: Segmentation fault)");
    else if (name == "hang.scene.json")
      EXPECT_EQ(in["reason"], "the export took longer than 1 s");
    else if (name == "broken.scene.json")
      EXPECT_EQ(in["exit"], 2);
    else
      EXPECT_EQ(in["status"], "exported") << name;
  }
}

TEST_F(Batch, ASecondRunExportsOnlyWhatChanged) {
  const fs::path out = dir_.path() / "out";
  const std::vector<std::string> run = {assets_.string(), "-o", out.string(), "--exclude",
                                        "props/broken*",  "-q"};
  ASSERT_EQ(RunTool(run).code, 0);
  auto summary = [&](std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {assets_.string(), "-o", out.string(), "--exclude", "props/broken*"};
    args.insert(args.end(), extra.begin(), extra.end());
    Result r = RunTool(args);
    EXPECT_EQ(r.code, 0) << r.err;
    // The summary, without its time.
    const size_t line = r.err.rfind('\n', r.err.size() - 2);
    const std::string last = r.err.substr(line == std::string::npos ? 0 : line + 1);
    return last.substr(0, last.rfind(", "));
  };
  EXPECT_EQ(summary(), "0 exported, 0 failed, 5 up to date");
  // A buffer the glTF reads is an input too; times alone do not count.
  Spit(assets_ / "props/BoxTextured0.bin", Slurp(assets_ / "props/BoxTextured0.bin") + "\n");
  fs::last_write_time(assets_ / "demo.scene.json", fs::file_time_type::clock::now());
  EXPECT_EQ(summary(), "1 exported, 0 failed, 4 up to date");
  // So are the options and the output itself.
  Spit(out / "props/box.thm", "changed by hand");
  EXPECT_EQ(summary(), "1 exported, 0 failed, 4 up to date");
  EXPECT_EQ(summary({"--scale", "2"}), "5 exported, 0 failed, 0 up to date");
  EXPECT_EQ(summary({"--scale", "2", "--force"}), "5 exported, 0 failed, 0 up to date");
  // And the plug-in library.
  const fs::path plugins = dir_.path() / "plugins";
  fs::create_directory(plugins);
  fs::copy_file(fs::path(TARN_BIN_DIR) / "tarnexport.dle", plugins / "tarnexport.dle");
  EXPECT_EQ(summary({"--scale", "2", "--plugins", plugins.string()}), "0 exported, 0 failed, 5 up to date");
  Spit(plugins / "tarnexport.dle", Slurp(plugins / "tarnexport.dle") + "rebuilt");
  EXPECT_EQ(summary({"--scale", "2", "--plugins", plugins.string()}), "5 exported, 0 failed, 0 up to date");
}

TEST(Depfile, NamesTheOutputAndEveryFileTheExportRead) {
  tarntest::TempDir dir{"thm_depfile"};
  const fs::path gltf = dir.path() / "my box.gltf";
  fs::copy_file(kModels + "glTF2/BoxTextured-glTF/BoxTextured.gltf", gltf);
  fs::copy_file(kModels + "glTF2/BoxTextured-glTF/BoxTextured0.bin", dir.path() / "BoxTextured0.bin");
  const fs::path out = dir.path() / "box.thm", dep = dir.path() / "box.d";
  Result r = RunTool({gltf.string(), "-o", out.string(), "--depfile", dep.string(), "-q"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto escaped = [](const std::string& s) {
    std::string e;
    for (char c : s) {
      if (c == ' ') e.push_back('\\');
      e.push_back(c);
    }
    return e;
  };
  std::string expected = escaped(out.string());
  expected.append(": \\\n  ").append(escaped(gltf.string()));
  expected.append(" \\\n  ").append(escaped((dir.path() / "BoxTextured0.bin").string())).append("\n");
  EXPECT_EQ(Slurp(dep), expected);
  // A batch keeps a manifest instead.
  fs::copy_file(gltf, dir.path() / "other.gltf");
  r = RunTool({gltf.string(), dir / "other.gltf", "-o", dir / "out", "--depfile", dep.string()});
  EXPECT_EQ(r.code, 2);
}

}  // namespace
