// Hostile input through the programs as a pipeline runs them: an importer that
// crashes or hangs costs its input and nothing else, the limits hold, and
// outsized claims are refused with one line, under a CPU and memory bound that
// a runaway would hit instead of passing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/tools/run_tool.h"
#include "thm/check.h"
#include "thm/reader.h"

namespace {

using namespace tools_test;
namespace fs = std::filesystem;

const fs::path kHostile = fs::path(kSource) / "tests/tools/hostile";

// Bounds for one run: far above what a refusal needs.
RunOptions Bounded() {
  RunOptions o;
  o.cpuSeconds = 60;
  o.memoryMB = 1024;
  LetSignalsThrough(o);
  return o;
}

std::string Triangle() {
  return "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
}

bool ValidThm(const std::string& path) {
  return !thm::Check(thm::LoadFile(path)).has_value();
}

class Hostile : public ::testing::Test {
 protected:
  tarntest::TempDir dir_{"hostile_test"};
  // A file of the temporary folder with these bytes.
  std::string Make(const std::string& name, const std::string& bytes) {
    Spit(dir_ / name, bytes);
    return dir_ / name;
  }
  std::string Copy(const std::string& name) {
    fs::copy_file(kHostile / name, dir_ / name);
    return dir_ / name;
  }
};

TEST_F(Hostile, AnImporterCrashCostsItsInputOnlyAndKeepsTheOldOutput) {
  const std::string crash = Copy("importer-segfault.mdl"), good = Make("good.obj", Triangle());
  fs::create_directory(dir_ / "out");
  Spit(dir_ / "out/importer-segfault.thm", "old output");
  Result r = RunTool({crash, good, "-o", dir_ / "out"}, Bounded());
  EXPECT_EQ(r.code, 2);
  const std::string line =
      "thmexport: the importer crashed (signal 11: Segmentation fault) reading " + crash + "\n";
  EXPECT_EQ(r.err.substr(0, line.size()), line);
  EXPECT_EQ(r.err.substr(line.size(), 34), "1 exported, 1 failed, 0 up to date") << r.err;
  EXPECT_EQ(Slurp(dir_ / "out/importer-segfault.thm"), "old output");
  EXPECT_TRUE(ValidThm(dir_ / "out/good.thm"));
}

TEST_F(Hostile, AHangingImporterIsStoppedAtTheTimeout) {
  const std::string hang = Copy("importer-hang.smd"), out = Make("out.thm", "old output");
  Result r = RunTool({"--timeout", "1", hang, "-o", out}, Bounded());
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "thmexport: the importer took longer than 1 s reading " + hang + "\n");
  EXPECT_EQ(Slurp(out), "old output");
}

// Every input that took the importer down while fuzzing: one line each, exit 2.
TEST_F(Hostile, EveryImporterFailureFoundByFuzzingIsOneLine) {
  for (const auto& e : fs::directory_iterator(kHostile)) {
    const std::string in = Copy(e.path().filename().string());
    const std::string out = Make("out.thm", "old output");
    Result r = RunTool({"--timeout", "2", in, "-o", out}, Bounded());
    EXPECT_EQ(r.code, 2) << in;
    EXPECT_EQ(r.err.rfind("thmexport: the importer ", 0), 0u) << r.err;
    EXPECT_TRUE(r.err.ends_with(" reading " + in + "\n")) << r.err;
    EXPECT_EQ(Slurp(out), "old output");
  }
}

TEST_F(Hostile, TheImporterRunsOutOfMemoryAtTheLimit) {
  if (kSanitized) GTEST_SKIP() << "sanitizer builds set no address-space limit";
  std::string obj;
  const int n = 200;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) obj += "v " + std::to_string(i) + " " + std::to_string(j) + " 0\n";
  for (int i = 0; i + 1 < n; ++i)
    for (int j = 0; j + 1 < n; ++j) {
      const int a = i * n + j + 1;
      obj += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + n) + "\n";
    }
  const std::string in = Make("grid.obj", obj), out = Make("out.thm", "old output");
  Result r = RunTool({"--max-memory", "32", in, "-o", out}, Bounded());
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "thmexport: the importer ran out of memory (limit 32 MB) reading " + in + "\n");
  EXPECT_EQ(Slurp(out), "old output");
  // With room the same model exports.
  EXPECT_EQ(RunTool({"-q", in, "-o", out}, Bounded()).code, 0);
  EXPECT_TRUE(ValidThm(out));
}

// Outsized claims from every side of the tool, each refused with one line.
TEST_F(Hostile, OutsizedClaimsAreRefusedWithOneLine) {
  struct Case {
    std::string name, bytes, message;  // the message after "PATH: "
  };
  const std::string doc = R"({"format":"thm-scene","version":1,"nodes":)";
  std::string nodes;
  for (int i = 0; i < 100000; ++i) nodes += R"([{"name":"n","children":)";
  nodes += "[]";
  for (int i = 0; i < 100000; ++i) nodes += "}]";
  std::string faces = doc + R"([{"name":"m","class":"mesh","positions":[[0,0,0],[1,0,0],[0,1,0]],"faces":[)";
  for (int i = 0; i < 2000000; ++i) faces += "[0,1,2],";  // of ten million, cut short
  // A triangle whose one buffer says it holds 4 GB.
  const std::string gltf =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
      R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],)"
      R"("buffers":[{"byteLength":4000000000,"uri":"data:application/octet-stream;base64,)"
      R"(AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAABAAIAAAA="}],)"
      R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":6}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]},)"
      R"({"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}]})";
  const std::string ply =
      "ply\nformat ascii 1.0\nelement vertex 10000000\nproperty float x\nproperty float y\nproperty float z\n"
      "element face 10000000\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n";
  std::string chain;  // glTF nodes, each the only child of the one before
  for (int i = 0; i < 1500; ++i) chain += R"({"children":[)" + std::to_string(i + 1) + "]},";
  const std::string deepGltf =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[)" + chain + "{}]}";
  const std::vector<Case> cases = {
      {"deep.json", doc + std::string(100000, '[') + std::string(100000, ']') + "}",
       "/nodes/0: expected an object, got array"},
      {"open.json", doc + std::string(100000, '['),
       "/nodes/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/...(99961 "
       "more).../0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0: "
       "not valid JSON at line 1, column 100043: syntax error while parsing value - unexpected end of input; "
       "expected '[', '{', or a literal"},
      {"nodes.json", doc + nodes + "}",
       "/nodes/0/children/0/children/0/children/0/children/0/children/0/children/0/children/0/children/0/"
       "children/0/children/0/children/0/...(1962 "
       "more).../children/0/children/0/children/0/children/0/children/0/"
       "children/0/children/0/children/0: nodes are nested more than 1000 deep"},
      {"cut.json", faces,
       "/nodes/0/faces/2000000: not valid JSON at line 1, column " + std::to_string(faces.size() + 1) +
           ": syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      // (Assimp counts the characters of the base64 text.)
      {"lying.gltf", gltf, "GLTF: buffer \"buffers[0]\", expected 4000000000 bytes, but found 60"},
      {"deep.gltf", deepGltf, "nodes are nested more than 1000 deep"},
      {"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 2147483648\n", "OBJ: vertex index out of range"},
      {"claims.ply", ply, "the header's counts (10000000 vertex, 10000000 face) exceed what the file holds"},
  };
  for (const Case& c : cases) {
    const std::string in = Make(c.name, c.bytes), out = Make("out.thm", "old output");
    Result r = RunTool({in, "-o", out}, Bounded());
    EXPECT_EQ(r.code, 2) << c.name;
    EXPECT_EQ(r.err, in + ": " + c.message + "\n");
    EXPECT_EQ(Slurp(out), "old output");
  }
}

// Node trees as deep as documents allow export from any stack the caller has.
TEST_F(Hostile, ANodeTreeAtTheDepthLimitExportsOnASmallStack) {
  std::string nodes;
  for (int i = 0; i < 1000; ++i) nodes += R"([{"name":"n","children":)";
  nodes += "[]";
  for (int i = 0; i < 1000; ++i) nodes += "}]";
  const std::string in = Make("deep.json", R"({"format":"thm-scene","version":1,"nodes":)" + nodes + "}");
  RunOptions o = Bounded();
  o.stackKB = 256;
  EXPECT_EQ(RunTool({"-q", in, "-o", dir_ / "deep.thm"}, o).code, 0);
  EXPECT_TRUE(ValidThm(dir_ / "deep.thm"));
}

// A .thm whose count claims 2^31 or 2^31 - 1 positions: the checker and the
// dump refuse it at the count, without allocating for it.
TEST_F(Hostile, AThmCountOfTwoToTheThirtyFirstIsRefused) {
  const std::string good = dir_ / "good.thm";
  ASSERT_EQ(RunTool({"-q", Make("t.obj", Triangle()), "-o", good}).code, 0);
  std::string bytes = Slurp(good);
  ASSERT_EQ(bytes.substr(2, 4), std::string("\x03\x00\x00\x00", 4));  // the first record's position count
  const size_t left = bytes.size() - 6;
  struct Case {
    std::string count, check;
  };
  for (const Case& c :
       {Case{std::string("\x00\x00\x00\x80", 4), "position count is negative (-2147483648)"},
        Case{"\xff\xff\xff\x7f", "position count 2147483647 needs at least 25769803764 bytes, " +
                                     std::to_string(left) + " left"}}) {
    std::string hostile = bytes;
    hostile.replace(2, 4, c.count);
    const std::string path = Make("hostile.thm", hostile);
    RunOptions o = Bounded();
    o.exe = kThmdump;
    Result check = RunTool({"--check", path}, o);
    EXPECT_EQ(check.code, 1);
    EXPECT_EQ(check.out, "offset 2 (0x2): " + c.check + "\n");
    Result dump = RunTool({path}, o);
    EXPECT_EQ(dump.code, 1);
    EXPECT_EQ(dump.err, "thmdump: offset 2: " + c.check + "\n");
  }
}

}  // namespace

namespace {

// An animation of two billion frames asks for some hundred gigabytes: the
// standalone host stops it at --max-output with one line, the old output kept.
TEST_F(Hostile, AnOutputPastItsBoundFailsWithOneLineAndKeepsTheOldOutput) {
  std::string doc = Slurp(fs::path(kSource) / "examples/demo.scene.json");
  doc.replace(doc.find("\"ticksPerFrame\": 160"), 20, "\"ticksPerFrame\": 1");
  doc.replace(doc.find("\"animationRange\": [0, 3200]"), 27, "\"animationRange\": [0, 2000000000]");
  const std::string in = Make("huge.scene.json", doc), out = Make("out.thm", "old output");
  Result r = RunTool({"--max-output", "2", in, "-o", out}, Bounded());
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, in + ": export to " + out +
                       " failed: the output would pass --max-output (2 MB); the output was left as it was\n");
  EXPECT_EQ(Slurp(out), "old output");
  for (const auto& e : fs::directory_iterator(dir_.path())) EXPECT_NE(e.path().filename().string()[0], '.');
  // The same scene with its own range exports.
  EXPECT_EQ(RunTool({"-q", kSource + "/examples/demo.scene.json", "-o", out}, Bounded()).code, 0);
  EXPECT_TRUE(ValidThm(out));
}

}  // namespace
