// thmexport run as a program: plug-in discovery, output naming, atomic
// replacement, reports, exit codes. Most cases use the stand-in exporter
// (fake_exporter.cpp); the last ones run the real plug-in when it is built.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/tools/run_tool.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

int Lines(const std::string& s) {
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// A scene document whose top-level nodes have these names.
std::string SceneWith(std::initializer_list<const char*> names) {
  std::string nodes;
  for (auto* n : names) nodes += std::string(nodes.empty() ? "" : ",") + "{\"name\":\"" + n + "\"}";
  return R"({"format":"thm-scene","version":1,"ticksPerFrame":80,"animationRange":[0,800],"nodes":[)" +
         nodes + "]}";
}

class Thmexport : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/thmexport_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    plugins_ = dir_ / "plugins";
    fs::create_directory(plugins_);
    fs::create_symlink(fs::path(TARN_FAKE_PLUGIN_DIR) / "fakeexport.dle", plugins_ / "fakeexport.dle");
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / "locked", fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  std::string Scene(const std::string& name, std::initializer_list<const char*> nodes) {
    fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    Spit(p, SceneWith(nodes));
    return p.string();
  }
  std::vector<std::string> Fake(std::vector<std::string> args) {
    args.insert(args.begin(), {"--plugins", plugins_.string()});
    return args;
  }
  // Files in `d` whose names start with a dot: temporary files left behind.
  static std::vector<std::string> Hidden(const fs::path& d) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(d))
      if (e.path().filename().string()[0] == '.') out.push_back(e.path().filename().string());
    return out;
  }

  fs::path dir_, plugins_;
};

TEST_F(Thmexport, ListFormatsKeepsOnlyExportersOfTheRightHostVersion) {
  // Beside the stand-in: one of another host version, a library that is none, a file that is no library.
  fs::create_symlink(fs::path(TARN_FAKE_PLUGIN_DIR) / "oldversion.dle", plugins_ / "oldversion.dle");
  Spit(plugins_ / "broken.DLE", "not a library");
  Spit(plugins_ / "notes.txt", "ignored");
  Result r = RunTool(Fake({"--list-formats"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            ".thm .Fake Fake scene  (fakeexport.dle, Fake exporter, version 7)\n"
            ".fk2     Fake scene  (fakeexport.dle, Second exporter, version 7)\n");
  EXPECT_EQ(r.err, "thmexport: warning: " + plugins_.string() +
                       "/broken.DLE: cannot be loaded: file too short\n" +
                       "thmexport: warning: " + plugins_.string() +
                       "/oldversion.dle: built for host version 0x09C40400, this host is 0x09C40500\n");

  Result quiet = RunTool(Fake({"--list-formats", "--quiet"}));
  EXPECT_EQ(quiet.out, r.out);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(Thmexport, ExportsThroughTheExporterOfTheOutputExtension) {
  std::string in = Scene("a.scene.json", {"Box01", "Lamp"});
  // Extensions match whatever their case.
  Result r = RunTool(Fake({in, "-o", (dir_ / "out.FAKE").string()}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The host's settings reach the plug-in: ticks per frame and the animation range.
  EXPECT_EQ(Slurp(dir_ / "out.FAKE"), "FAKE ticks=80 range=0..800\nBox01\nLamp\n");
  EXPECT_TRUE(Hidden(dir_).empty());
  // A new output gets the ordinary mode of a new file, not the temporary file's 0600.
  EXPECT_EQ(fs::status(dir_ / "out.FAKE").permissions() & fs::perms::others_read, fs::perms::others_read);

  Result unknown = RunTool(Fake({in, "-o", (dir_ / "out.obj").string()}));
  EXPECT_EQ(unknown.code, 2);
  EXPECT_NE(unknown.err.find("no exporter for .obj files"), std::string::npos) << unknown.err;
  EXPECT_FALSE(fs::exists(dir_ / "out.obj"));
}

// thmexport starts itself once more with glibc's heap on huge pages, keeping
// its arguments and the caller's tunables, unless the caller set hugetlb.
TEST_F(Thmexport, RunsWithHugePagesUnlessTheCallerChoseOtherwise) {
  const std::string in = Scene("t.scene.json", {"tunables"});
  const fs::path out = dir_ / "t.fake";
  const std::pair<const char*, const char*> cases[] = {
      {"GLIBC_TUNABLES=", "glibc.malloc.hugetlb=1"},
      {"GLIBC_TUNABLES=glibc.malloc.perturb=0", "glibc.malloc.perturb=0:glibc.malloc.hugetlb=1"},
      {"GLIBC_TUNABLES=glibc.malloc.hugetlb=0", "glibc.malloc.hugetlb=0"},
  };
  for (const auto& [given, seen] : cases) {
    RunOptions o;
    o.env = {given};
    Result r = RunTool(Fake({"-q", in, "-o", out.string()}), o);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Slurp(out), std::string("FAKE ticks=80 range=0..800\ntunables\nGLIBC_TUNABLES=") + seen + "\n")
        << given;
  }
}

TEST_F(Thmexport, SeveralScenesGoToAFolderNamedAfterTheirInputs) {
  std::string a = Scene("in/a.scene.json", {"A"});
  std::string b = Scene("in/b.json", {"B"});
  std::string c = Scene("in/c.v2.scene.json", {"C"});
  Result r = RunTool(Fake({a, b, c, "-o", (dir_ / "out/").string()}));  // created: trailing slash
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Slurp(dir_ / "out/a.thm"), "FAKE ticks=80 range=0..800\nA\n");
  EXPECT_EQ(Slurp(dir_ / "out/b.thm"), "FAKE ticks=80 range=0..800\nB\n");
  EXPECT_EQ(Slurp(dir_ / "out/c.v2.thm"), "FAKE ticks=80 range=0..800\nC\n");

  // One bad document: the others are still exported, and the run says 2.
  Spit(dir_ / "in/b.json", "{");
  fs::remove_all(dir_ / "out");
  fs::create_directory(dir_ / "out");
  Result bad = RunTool(Fake({a, b, c, "-o", (dir_ / "out").string()}));
  EXPECT_EQ(bad.code, 2);
  EXPECT_TRUE(fs::exists(dir_ / "out/a.thm"));
  EXPECT_FALSE(fs::exists(dir_ / "out/b.thm"));
  EXPECT_TRUE(fs::exists(dir_ / "out/c.v2.thm"));
  // The error, then the batch's summary.
  EXPECT_EQ(Lines(bad.err), 2) << bad.err;
  EXPECT_NE(bad.err.find("\n2 exported, 1 failed, 0 up to date, "), std::string::npos) << bad.err;

  // Two inputs that would land on one output: each refused with a line, the others exported.
  std::string a2 = Scene("other/a.scene.json", {"A2"});
  Result clash = RunTool(Fake({a, a2, c, "-o", (dir_ / "clash").string()}));
  EXPECT_EQ(clash.code, 2);
  const std::string out = (dir_ / "clash/a.thm").string();
  EXPECT_EQ(clash.err.substr(0, clash.err.find("1 exported")),
            "thmexport: " + a + ": not exported: " + a2 + " would be written to " + out +
                " as well (--keep-extension keeps each input's extension in its output's name)\n"
                "thmexport: " +
                a2 + ": not exported: " + a + " would be written to " + out +
                " as well (--keep-extension keeps each input's extension in its output's name)\n")
      << clash.err;
  EXPECT_NE(clash.err.find("1 exported, 2 failed, 0 up to date, "), std::string::npos) << clash.err;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(fs::exists(dir_ / "clash/c.v2.thm"));
  // Named after their whole file names, they do not clash.
  Result kept = RunTool(Fake({"--keep-extension", a, c, "-o", (dir_ / "kept").string()}));
  EXPECT_EQ(kept.code, 0) << kept.err;
  EXPECT_TRUE(fs::exists(dir_ / "kept/a.scene.json.thm"));
  EXPECT_TRUE(fs::exists(dir_ / "kept/c.v2.scene.json.thm"));
}

TEST_F(Thmexport, FailedExportsLeaveTheOldOutputAndNoTemporaryFile) {
  fs::path out = dir_ / "out.thm";
  for (auto* node : {"fail", "assert"}) {
    SCOPED_TRACE(node);
    Spit(out, "old output");
    Result r = RunTool(Fake({Scene("s.scene.json", {"Box01", node, "After"}), "-o", out.string()}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(Slurp(out), "old output");
    EXPECT_TRUE(Hidden(dir_).empty());
    EXPECT_NE(r.err.find("export to " + out.string() + " failed"), std::string::npos) << r.err;
  }
  // No old output: none is created.
  fs::remove(out);
  EXPECT_EQ(RunTool(Fake({Scene("s.scene.json", {"fail"}), "-o", out.string()})).code, 1);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Thmexport, ReportsAreReadableAndQuietHidesOnlyWarnings) {
  std::string in = Scene("s.scene.json", {"warn", "assert"});
  fs::path out = dir_ / "out.thm";
  Result r = RunTool(Fake({in, "-o", out.string()}));
  EXPECT_EQ(r.code, 1);  // the exporter returned 1, but reported an assertion
  EXPECT_EQ(r.err, in +
                       ": warning: [Brick] while exporting node \"warn\"\n"
                       "    Material \"Brick\" has no diffuse map.\n" +
                       in +
                       ": error: [Assert Failed!] while exporting node \"assert\"\n"
                       "    x != 0\n"
                       "    fake/exporter.cpp: line 12\n" +
                       in + ": export to " + out.string() +
                       " failed: the exporter reported 1 error; the output was left as it was\n");
  Result quiet = RunTool(Fake({"--quiet", in, "-o", out.string()}));
  EXPECT_EQ(quiet.code, 1);
  EXPECT_EQ(quiet.err.find("warning"), std::string::npos);
  EXPECT_NE(quiet.err.find("error: [Assert Failed!]"), std::string::npos);

  // A warning alone does not fail the export.
  Result warn = RunTool(Fake({"-q", Scene("w.scene.json", {"warn"}), "-o", out.string()}));
  EXPECT_EQ(warn.code, 0);
  EXPECT_EQ(warn.err, "");
}

// The destination folder refuses new files: for root, whom permissions do
// not stop, the run drops to the unprivileged user "nobody".
TEST_F(Thmexport, UnwritableFolderFailsAndKeepsTheOldOutput) {
  std::string in = Scene("s.scene.json", {"Box01"});
  fs::path locked = dir_ / "locked";
  fs::create_directory(locked);
  Spit(locked / "out.thm", "old output");
  chmod(locked.c_str(), 0555);
  RunOptions o;
  o.asNobody = geteuid() == 0;
  if (o.asNobody) {
    chmod(in.c_str(), 0644);
    if (RunTool({"--version"}, o).code != 0) GTEST_SKIP() << "user nobody cannot run " << kExe;
  }
  Result r = RunTool(Fake({in, "-o", (locked / "out.thm").string()}), o);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot create a temporary file in " + locked.string() + ": Permission denied"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Slurp(locked / "out.thm"), "old output");
  chmod(locked.c_str(), 0755);
  EXPECT_TRUE(Hidden(locked).empty());
}

// A real write error in the middle of an export: the kernel refuses to grow
// a file past the process's file-size limit (EFBIG), as a full disk would
// (ENOSPC). The stand-in exporter writes 1 MiB, past the 64 KiB limit.
TEST_F(Thmexport, WriteErrorKeepsTheOldOutputAndRemovesTheTemporaryFile) {
  fs::path out = dir_ / "out.thm";
  Spit(out, "old output");
  RunOptions o;
  o.fileSizeLimit = 64 * 1024;
  Result r = RunTool(Fake({Scene("s.scene.json", {"Box01", "big"}), "-o", out.string()}), o);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Slurp(out), "old output");
  EXPECT_TRUE(Hidden(dir_).empty());

  // A device cannot be replaced: it is written directly, and /dev/full fails every write.
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", dir_ / "full.thm");
    Result dev = RunTool(Fake({Scene("t.scene.json", {"Box01"}), "-o", (dir_ / "full.thm").string()}));
    EXPECT_EQ(dev.code, 1) << dev.err;
    EXPECT_NE(dev.err.find("the exporter returned 0"), std::string::npos) << dev.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / "full.thm"));
  }
}

TEST_F(Thmexport, BrokenDocumentsGiveOneLineWithTheirPathAndExitCode2) {
  fs::path bad = kSource + "/tests/document/bad";
  std::map<std::string, std::string> pointer;
  std::ifstream list(bad / "EXPECTED");
  for (std::string line; std::getline(list, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string file, ptr;
    in >> file >> ptr;
    pointer[file] = ptr == "-" ? "(document)" : ptr;
  }
  ASSERT_GE(pointer.size(), 20u);
  for (auto& [file, ptr] : pointer) {
    SCOPED_TRACE(file);
    std::string path = (bad / file).string();
    Result r = RunTool(Fake({path, "-o", (dir_ / "out.thm").string()}));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind(path + ": " + ptr + ": ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.thm"));
  }
}

TEST_F(Thmexport, UsageVersionAndHelp) {
  std::string in = Scene("s.scene.json", {"A"});
  EXPECT_EQ(RunTool(Fake({in})).code, 2);                                   // no output
  EXPECT_EQ(RunTool(Fake({"-o", (dir_ / "x.thm").string()})).code, 2);      // no input
  EXPECT_EQ(RunTool(Fake({in, "--frobnicate", "-o", "x.thm"})).code, 2);    // unknown option
  EXPECT_EQ(RunTool(Fake({in, "-o", (dir_ / "noext").string()})).code, 2);  // no extension
  EXPECT_EQ(RunTool({"--plugins", (dir_ / "nowhere").string(), "--list-formats"}).code, 2);
  EXPECT_EQ(RunTool(Fake({(dir_ / "missing.scene.json").string(), "-o", (dir_ / "x.thm").string()})).code, 2);

  Result v = RunTool({"--version"});
  EXPECT_EQ(v.code, 0);
  EXPECT_EQ(v.out.rfind("thmexport ", 0), 0u);
  Result h = RunTool({"--help"});
  EXPECT_EQ(h.code, 0);
  for (auto* word :
       {"--output", "--plugins", "--list-formats", "--quiet", "--version", "Exit status", "progress"})
    EXPECT_NE(h.out.find(word), std::string::npos) << word;
}

TEST_F(Thmexport, ProgressOnlyOnATerminal) {
  std::string in = Scene("s.scene.json", {"slow", "slow", "slow", "Last"});
  Result pipe = RunTool(Fake({in, "-o", (dir_ / "a.thm").string()}));
  EXPECT_EQ(pipe.code, 0);
  EXPECT_EQ(pipe.err, "");
  RunOptions o;
  o.terminal = true;
  Result tty = RunTool(Fake({in, "-o", (dir_ / "b.thm").string()}), o);
  EXPECT_EQ(tty.code, 0);
  EXPECT_NE(tty.err.find("/4 nodes] "), std::string::npos) << tty.err;
  // The line is erased at the end.
  EXPECT_EQ(tty.err.substr(tty.err.size() - 4), "\r\033[K");
}

// ---- The real plug-in -----------------------------------------------------

TEST(ThmexportRealPlugin, ListsTheTarnholdExporter) {
  Result r = RunTool({"--list-formats"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            ".thm     Tarnhold Mesh  (tarnexport.dle, Tarnhold mesh exporter (non-hidden), version 101)\n");
}

// The real exporter under the same failures: a write error half way, and a
// folder that takes no new file. The old output stays, no temporary file is left.
TEST_F(Thmexport, RealPluginFailuresKeepTheOldOutput) {
  const std::string demo = kSource + "/examples/demo.scene.json";
  fs::path out = dir_ / "demo.thm";
  Spit(out, "old output");
  RunOptions limit;
  limit.fileSizeLimit = 1024;  // the demo's file is several KiB
  Result r = RunTool({demo, "-o", out.string()}, limit);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Slurp(out), "old output");
  EXPECT_TRUE(Hidden(dir_).empty());

  // Without the limit the same run replaces it.
  EXPECT_EQ(RunTool({"-q", demo, "-o", out.string()}).code, 0);
  EXPECT_GT(fs::file_size(out), 1024u);
}

}  // namespace
