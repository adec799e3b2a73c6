#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/thm/samples.h"

using namespace thmtest;
using tarntest::Bytes;
namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome Thmdump(const std::string& args) {
  const std::string cmd = std::string(TARN_BIN_DIR) + "/thmdump " + args + " 2>/dev/null";
  Outcome r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class ThmdumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("thmdump_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& b) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(b.str().data(), b.size());
    return p.string();
  }

  fs::path dir_;
};

}  // namespace

TEST_F(ThmdumpTest, CheckExitCodesAndOffsets) {
  EXPECT_EQ(Thmdump("--check " + Write("good.thm", AllRecords())).out, "ok\n");
  EXPECT_EQ(Thmdump("--check " + Write("good.thm", AllRecords())).status, 0);

  Bytes bad = AllRecords();
  const std::size_t end = bad.at("skinned") + SkinnedMesh().at("end");
  bad.put_i32(end, 7);
  const Outcome r = Thmdump("--check " + Write("bad.thm", bad));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("offset " + std::to_string(end) + " (0x", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("end mark"), std::string::npos);

  const Bytes omni = OmniLight();
  const std::vector<std::uint8_t> bytes = omni.data();
  const std::vector<std::uint8_t> half(bytes.begin(), bytes.begin() + 20);
  Bytes cut;
  cut.append(half);
  const Outcome t = Thmdump("--check " + Write("cut.thm", cut));
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.out.rfind("offset 10 (0xA): truncated", 0), 0u) << t.out;
}

TEST_F(ThmdumpTest, UsageAndUnreadableFilesExit2) {
  EXPECT_EQ(Thmdump("").status, 2);
  EXPECT_EQ(Thmdump((dir_ / "missing.thm").string()).status, 2);
  EXPECT_EQ(Thmdump(dir_.string()).status, 2);  // a directory
  EXPECT_EQ(Thmdump("--json --check " + Write("a.thm", OmniLight())).status, 2);
  EXPECT_EQ(Thmdump("--bogus " + Write("a.thm", OmniLight())).status, 2);
  const Outcome help = Thmdump("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--check"), std::string::npos);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
}

TEST_F(ThmdumpTest, JsonParsesBack) {
  const Bytes all = AllRecords();
  const Outcome r = Thmdump("--json " + Write("all.thm", all));
  ASSERT_EQ(r.status, 0);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j["error"].is_null());
  const auto& recs = j["records"];
  ASSERT_EQ(recs.size(), 5u);

  EXPECT_EQ(recs[0]["type"], "omni");
  EXPECT_TRUE(recs[0]["parent"].is_null());
  EXPECT_EQ(recs[0]["range_start"].get<float>(), 9999999827968.0f);
  EXPECT_EQ(recs[2]["type"], "spot");
  EXPECT_EQ(recs[2]["direction"], nlohmann::json::array({0.0, 0.0, -2.0}));

  const auto& mesh = recs[1];
  EXPECT_EQ(mesh["offset"], all.at("mesh"));
  EXPECT_EQ(mesh["name"], "Box01");
  EXPECT_EQ(mesh["parent"], "Dummy01");
  EXPECT_EQ(mesh["positions"].size(), 4u);
  EXPECT_EQ(mesh["materials"][0]["header"]["form"], "short");
  const auto& h = mesh["materials"][1]["header"];
  EXPECT_EQ(h["diffuse_map"], "wood.png");
  EXPECT_EQ(h["reflection_map"]["file"], "env.tga");
  EXPECT_EQ(h["reflection_map"]["amount"], 0.5);
  EXPECT_TRUE(h["self_illum_map"].is_null());
  EXPECT_EQ(h["flags"], 13);
  EXPECT_EQ(h["opacity"], 0.75);
  const auto& tri = mesh["materials"][0]["triangles"][0];
  EXPECT_EQ(tri["corners"], nlohmann::json::array({0, 1, 2}));
  EXPECT_EQ(tri["edges"], nlohmann::json::array({true, false, true}));

  const auto& skin = recs[3]["skin"];
  EXPECT_EQ(skin["bones"][1]["name"], "Arm");
  EXPECT_EQ(skin["bones"][1]["extra"][0], 0xDEADBEEFu);
  EXPECT_EQ(skin["frames"].size(), 2u);
  EXPECT_EQ(skin["frames"][1][1]["matrix"][3], nlohmann::json::array({0.0, 2.0, 1.0}));
  EXPECT_EQ(skin["vertex_refs"][0]["refs"][0]["weight"], 0.25);
  EXPECT_EQ(skin["notes"][1]["text"], "jump");
  EXPECT_EQ(skin["notes"][1]["frame"], 3);
  EXPECT_EQ(skin["end_mark"], -14);
}

TEST_F(ThmdumpTest, JsonKeepsEightBitNamesAndReportsErrors) {
  Bytes b;
  b.raw({8, 1}).raw({'L', 0xE9, 0}).u8(1).append(std::vector<std::uint8_t>(40, 0));
  b.raw({8, 5});
  const Outcome r = Thmdump("--json " + Write("latin.thm", b));
  EXPECT_EQ(r.status, 1);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["records"][0]["name"], "L\u00e9");
  EXPECT_EQ(j["error"]["offset"], b.size() - 1);
}

TEST_F(ThmdumpTest, SummaryNamesRecords) {
  const Outcome r = Thmdump(Write("all.thm", AllRecords()));
  ASSERT_EQ(r.status, 0);
  for (const char* s : {"omni light \"Omni01\" parent (none)", "spot light \"Spot01\" parent \"Rig\"",
                        "mesh \"Box01\" parent \"Dummy01\"", "name \"Oak_vr\", diffuse \"wood.png\"",
                        "2 bones, 2 frames at 30 per second", "note @", "\"jump\"", "5 records"})
    EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out;
}
