// The import child as a model that took it over would drive it: a library
// preloaded into thmexport (tests/tools/compromised/) sends chosen answers,
// floods, hangs, tries to reach other descriptors and files. Whatever it
// does, thmexport says so in one line, keeps the old output, writes nothing
// elsewhere, and stays within its time and memory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/run_tool.h"
#include "tools/thmexport/sandbox/confine_reads.h"

namespace {

using namespace tools_test;
namespace fs = std::filesystem;

const fs::path kAnswers = fs::path(kSource) / "fuzz/corpus/fuzz_wire";
const std::string kPreload = std::string(TARN_TEST_LIB_DIR) + "/compromised_child.so";

class CompromisedChild : public ::testing::Test {
 protected:
  tarntest::TempDir dir_{"sandbox_test"};
  std::string model_, out_;

  void SetUp() override {
    fs::create_directories(dir_ / "models");
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "cwd");
    model_ = dir_ / "models/tri.obj";
    Spit(model_, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    out_ = dir_ / "out/tri.thm";
    Spit(out_, "old output");
  }

  // thmexport with the child playing `mode`, bounded far above what a refusal needs.
  Result Run(const std::string& mode, std::vector<std::string> args) {
    RunOptions o;
    o.cpuSeconds = 60;
    o.memoryMB = 1024;
    o.cwd = dir_ / "cwd";
    LetSignalsThrough(o);
    o.env.back() += ":verify_asan_link_order=0";
    o.env.push_back("LD_PRELOAD=" + kPreload);
    o.env.push_back("THM_COMPROMISED=" + mode);
    return RunTool(args, o);
  }

  // Nothing but the outputs where they belong: no stray file in the working
  // folder, no temporary file left beside the output.
  void ExpectNothingStray() {
    EXPECT_TRUE(fs::is_empty(dir_ / "cwd"));
    for (const auto& e : fs::directory_iterator(dir_ / "out")) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name[0] != '.' || name == ".thmexport-manifest.json") << e.path();
    }
  }
};

int Lines(const std::string& s) {
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// Every answer found by fuzzing the boundary, and the length words that
// claim the impossible: one line each, exit 2, the old output kept.
TEST_F(CompromisedChild, EveryAnswerFoundAtTheBoundaryIsOneLineAndExitTwo) {
  const std::string damaged = "thmexport: the importer's answer for " + model_ + " is damaged (";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"F1-empty-error-envelope.bin", damaged + "at byte 5: an error without a message)"},
      {"F2-fuzzer-found-min.bin",
       damaged + "at byte 887: an object of a class that is not a camera, dummy or shape)"},
      {"F2a-generic-object-with-light-class-id.bin",
       damaged + "at byte 66: an object of a class that is not a camera, dummy or shape)"},
      {"F2b-light-with-triobject-class-id.bin",
       damaged + "at byte 110: a light with another class id than a light's)"},
      {"F2c-mesh-converts-to-light-as-mesh.bin",
       damaged + "at byte 147: a conversion that yields another class than it names)"},
      {"F2d-other-map-with-bitmap-class-id.bin",
       damaged + "at byte 54: another map with the bitmap's class id)"},
      {"F2e-other-material-with-std-class-id.bin",
       damaged + "at byte 64: another material with the standard or multi material's class id)"},
      {"F2f-generic-with-derived-superclass.bin",
       damaged + "at byte 66: an object of a class that is not a camera, dummy or shape)"},
      {"F3-raw-weight-table-header-only.bin", damaged + "at byte 176: a raw weight table)"},
      {"F4-weight-table-2p40-rows-0-columns.bin",
       damaged + "at byte 191: a weight table whose columns are not the skin's bones)"},
      {"F5-animation-range-1.4e9-frames.bin",
       model_ + ": export to " + out_ +
           " failed: the output would pass --max-output (1 MB); the output was left as it was"},
      {"F6-parent-chain-40000-deep.bin", damaged + "at byte 122147: nodes nested more than 1000 deep)"},
      {"F7-length-word-2p40.raw",
       damaged + "announced 1099511627776 bytes, more than the 4294967296 it may send)"},
      {"fuzz-wire-map-file-name-byte-one.bin",
       damaged +
           "at byte 307: a bitmap's file name begins with the byte 1, which the file reads as \"none\")"},
      {"fuzz-wire-map-file-name-byte-one-then-zero.bin",
       damaged +
           "at byte 307: a bitmap's file name begins with the byte 1, which the file reads as \"none\")"},
      {"F7-length-word-2p62.raw",
       damaged + "announced 4611686018427387904 bytes, more than the 4294967296 it may send)"},
  };
  size_t seen = 0;
  for (const auto& e : fs::directory_iterator(kAnswers)) seen += e.path().extension() != ".wire";
  EXPECT_EQ(seen, cases.size()) << "an answer in " << kAnswers << " without its expected line";
  for (const auto& [file, line] : cases) {
    const std::string mode = (file.ends_with(".raw") ? "raw:" : "answer:") + (kAnswers / file).string();
    Result r = Run(mode, {"--timeout", "20", "--max-output", "1", model_, "-o", out_});
    EXPECT_EQ(r.code, 2) << file;
    EXPECT_EQ(r.err, line + "\n") << file;
    EXPECT_EQ(Slurp(out_), "old output") << file;
    ExpectNothingStray();
  }
}

TEST_F(CompromisedChild, FloodsHangsAndLingeringEndAtTheirBounds) {
  Result r = Run("flood", {model_, "-o", out_});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "thmexport: the importer's answer for " + model_ +
                       " is damaged (sent more than the 16 bytes it announced)\n");
  for (const char* mode : {"hang", "linger"}) {
    r = Run(mode, {"--timeout", "1", model_, "-o", out_});
    EXPECT_EQ(r.code, 2) << mode;
    EXPECT_EQ(r.err, "thmexport: the importer took longer than 1 s reading " + model_ + "\n") << mode;
  }
  EXPECT_EQ(Slurp(out_), "old output");
  ExpectNothingStray();
}

// The child keeps only its own pipe, and cannot make another descriptor
// stand for it; a worker's report about another export fails that export.
TEST_F(CompromisedChild, NoDescriptorButItsOwnAndNoForgedReports) {
  for (int i = 0; i < 3; ++i) fs::copy_file(model_, dir_ / ("models/t" + std::to_string(i) + ".obj"));
  Result r = Run("dupfd", {"-j", "2", dir_ / "models", "-o", dir_ / "out"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Lines(r.err), 5) << r.err;  // a warning per input, the summary
  for (const char* t : {"tri", "t0", "t1", "t2"})
    EXPECT_NE(r.err.find(dir_ / ("models/" + std::string(t) + ".obj: warning: no pipes\n")),
              std::string::npos)
        << r.err;

  r = Run("report",
          {"--force", "-j", "1", dir_ / "models/t0.obj", dir_ / "models/t1.obj", "-o", dir_ / "out"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(
      r.err.rfind("thmexport: the export sent a damaged report (at byte 9: a report for another export) "
                  "exporting " +
                      std::string(dir_ / "models/t0.obj") + "; the output was left as it was\n",
                  0),
      0u)
      << r.err;
  ExpectNothingStray();
}

TEST_F(CompromisedChild, FilesAndTextsFromTheChildAreHeldToTheirPlace) {
  // Textures nobody asked for are refused; asked for, they go beside the output only.
  Result r = Run("tex", {model_, "-o", out_});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "thmexport: the importer's answer for " + model_ +
                       " is damaged (at byte 9: textures that were not asked for)\n");
  r = Run("tex", {"--extract-textures", model_, "-o", out_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir_ / "out/PWNED.txt"));
  fs::remove(dir_ / "out/PWNED.txt");

  // A file read whose name would end a Make rule: no dependency file, the old output kept, exit 2.
  const std::string dep = dir_ / "out/tri.d";
  Spit(dep, "stale");
  r = Run("files:Makefile\\nall:\\n\\ttouch OWNED", {model_, "-o", out_, "--depfile", dep});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err,
            "thmexport: cannot write the dependency file " + dep +
                ": the name Makefile\\x0aall:\\x0a\\ttouch OWNED holds a control character, which Make "
                "cannot read\n");
  EXPECT_FALSE(fs::exists(dep));

  // A device named as a file read is not hashed (it would be read forever).
  fs::create_directories(dir_ / "batch");
  fs::copy_file(model_, dir_ / "batch/a.obj");
  r = Run("files:/dev/zero", {dir_ / "batch", "-o", dir_ / "out"});
  EXPECT_EQ(r.code, 0) << r.err;

  // Control characters never reach the terminal.
  r = Run("warn:\\x1b[2J\\x1b]0;owned\\x07", {model_, "-o", out_});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, model_ + ": warning: \\x1b[2J\\x1b]0;owned\\x07\n");
  ExpectNothingStray();
}

// A model reads only beneath its own folder and the ones allowed: our
// importer refuses the reference, and the kernel refuses the child that
// tries anyway.
TEST_F(CompromisedChild, ReadsStayInsideTheFoldersAllowed) {
  fs::create_directories(dir_ / "models/nested");
  const std::string secret = dir_ / "secret.bin";
  Spit(secret, std::string(36, '\0'));
  const std::string gltf =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
      R"("meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],)"
      R"("buffers":[{"byteLength":36,"uri":"URI"}],)"
      R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[0,0,0]}]})";
  auto with = [&](const std::string& uri) {
    std::string t = gltf;
    t.replace(t.find("URI"), 3, uri);
    return t;
  };
  const std::string relative = dir_ / "models/nested/relative.gltf", absolute = dir_ / "models/absolute.gltf";
  Spit(relative, with("../../secret.bin"));
  Spit(absolute, with(secret));
  RunOptions plain;
  Result r = RunTool({relative, "-o", out_}, plain);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, relative + ": refers to " + std::string(dir_ / "models/nested/../../secret.bin") +
                       ", outside the folders it may read (its own; thmexport --allow-path DIR adds one)\n");
  EXPECT_EQ(Slurp(out_), "old output");
  // Allowed, it is read.
  r = RunTool({"--allow-path", dir_.path().string(), "-q", relative, "-o", out_}, plain);
  EXPECT_EQ(r.code, 0) << r.err;
  // Our OBJ reader resolves a material library by the same rule.
  const std::string obj = dir_ / "models/nested/lib.obj";
  Spit(dir_ / "secret.mtl", "newmtl red\nKd 1 0 0\n");
  Spit(obj, "mtllib ../../secret.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n");
  r = RunTool({obj, "-o", out_}, plain);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(obj + ": refers to "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("secret.mtl, outside the folders it may read"), std::string::npos) << r.err;
  r = RunTool({"--allow-path", dir_.path().string(), "-q", obj, "-o", out_}, plain);
  EXPECT_EQ(r.code, 0) << r.err;
  // Assimp's glTF reader takes no absolute path at all: refused all the same.
  Spit(out_, "old output");
  r = RunTool({absolute, "-o", out_}, plain);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(Lines(r.err), 1) << r.err;
  EXPECT_EQ(Slurp(out_), "old output");
  // An input that is a link to a file elsewhere reads the file it leads to.
  fs::create_directories(dir_ / "links");
  fs::create_symlink(model_, dir_ / "links/tri.obj");
  r = RunTool({"-q", dir_ / "links/tri.obj", "-o", out_}, plain);
  EXPECT_EQ(r.code, 0) << r.err;
  // The kernel's half: a child that opens a file itself gets no further.
  const bool landlock = sandbox::LandlockAbi() > 0;
  r = Run("read:" + secret, {model_, "-o", out_});
  EXPECT_EQ(r.err, model_ + (landlock ? ": warning: read: refused\n" : ": warning: read: opened\n"));
  r = Run("read:" + model_, {model_, "-o", out_});
  EXPECT_EQ(r.err, model_ + ": warning: read: opened\n");
}

}  // namespace
