// The loader's fast paths against their reading: numbers of every JSON form
// read as the careful rule reads them, keys in any order give the same scene,
// and the checks that wait for another key still name the right value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "document/document.h"
#include "tests/support/rng.h"

namespace {

using scene::DocumentError;
using scene::Scene;
using tarntest::Rng;

std::string ErrorOf(const std::string& text) {
  try {
    scene::ParseDocument(text, "t.scene.json");
  } catch (const DocumentError& e) {
    return e.pointer() + ": " + e.message();
  }
  return "";
}

std::string Doc(const std::string& nodes, const std::string& rest = "") {
  return R"({"format":"thm-scene","version":1,"nodes":[)" + nodes + "]" + rest + "}";
}

// A number token of JSON, built to reach the corners of the grammar.
std::string Token(Rng& r) {
  static const char* fixed[] = {"0",
                                "-0",
                                "0.0",
                                "-0.0",
                                "1e5",
                                "1E-5",
                                "-2.5e+3",
                                "123456789012345678",
                                "1234567890123456789",
                                "99999999999999999999999",
                                "3.4028234663852886e38",
                                "1.17549435e-38",
                                "1e-320",
                                "0.1",
                                "0.30000000000000004",
                                "123.456e-2"};
  if (r.Chance(20)) return fixed[r.Int(static_cast<int>(std::size(fixed)))];
  std::string t = r.Chance(30) ? "-" : "";
  const int digits = 1 + r.Int(r.Chance(80) ? 9 : 19);
  t += static_cast<char>('1' + r.Int(9));
  for (int i = 1; i < digits; ++i) t += static_cast<char>('0' + r.Int(10));
  if (r.Chance(60)) {
    t += '.';
    const int frac = 1 + r.Int(r.Chance(80) ? 8 : 20);
    for (int i = 0; i < frac; ++i) t += static_cast<char>('0' + r.Int(10));
  }
  if (r.Chance(30))
    t += std::string(r.Chance(50) ? "e" : "E") + (r.Chance(50) ? "-" : "") + std::to_string(r.Int(25));
  return t;
}

// The rule as documents state it: an integer token is its integer, any other
// number its nearest double; then the nearest float.
float Literal(const std::string& t) {
  if (t.find_first_of(".eE") == std::string::npos) {
    errno = 0;
    const long long i = std::strtoll(t.c_str(), nullptr, 10);
    if (errno == 0) return static_cast<float>(static_cast<double>(i));
  }
  return static_cast<float>(std::strtod(t.c_str(), nullptr));
}

TEST(DocumentFast, NumbersOfEveryFormReadAsTheRuleSays) {
  Rng r(4242);
  int reads = 0;
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> tokens;
    std::string verts, tverts;
    for (int i = 0; i < 60; ++i) {
      std::string v[3];
      for (auto& x : v) {
        x = Token(r);
        tokens.push_back(x);
      }
      const char* ws = r.Chance(20) ? " \n\t" : "";
      if (i) verts += ',', tverts += ',';
      verts.append("[")
          .append(v[0])
          .append(",")
          .append(ws)
          .append(v[1])
          .append(",")
          .append(v[2])
          .append(ws)
          .append("]");
      tverts.append("[").append(v[1]).append(",").append(v[2]).append("]");
    }
    std::string faces;
    for (int f = 0; f < 20; ++f) {
      if (f) faces += ',';
      faces.append("[").append(std::to_string(r.Int(60))).append(",").append(std::to_string(r.Int(60)));
      faces.append(",").append(std::to_string(r.Int(60))).append("]");
    }
    const std::string mesh = R"({"object":{"class":"mesh","vertices":[)" + verts + R"(],"faces":[)" + faces +
                             R"(],"tverts":[)" + tverts + R"(],"tvfaces":[)" + faces + "]}}";
    std::unique_ptr<Scene> s;
    try {
      s = scene::ParseDocument(Doc(mesh), "t");
    } catch (const DocumentError& e) {
      // Only a value beyond a float may be refused, and then as out of range.
      EXPECT_NE(e.message().find("out of range for a 32-bit float"), std::string::npos) << e.what();
      continue;
    }
    const Mesh& m = static_cast<scene::MeshObject*>(s->TopLevel()[0]->BaseObject())->mesh;
    for (size_t i = 0; i < 60; ++i)
      for (int k = 0; k < 3; ++k) {
        const float want = Literal(tokens[i * 3 + k]), got = m.verts[i][k];
        ASSERT_EQ(std::memcmp(&got, &want, 4), 0) << tokens[i * 3 + k];
        ++reads;
      }
    for (size_t i = 0; i < 60; ++i) {
      const float u = Literal(tokens[i * 3 + 1]), v = Literal(tokens[i * 3 + 2]);
      ASSERT_EQ(std::memcmp(&m.tVerts[i].x, &u, 4), 0);
      ASSERT_EQ(std::memcmp(&m.tVerts[i].y, &v, 4), 0);
    }
  }
  EXPECT_GT(reads, 20000);
}

// One scene written with its keys in the usual order and in the order that
// makes every check wait: the same scene.
TEST(DocumentFast, KeysInAnyOrderGiveTheSameScene) {
  const std::string usual = R"({"format":"thm-scene","version":1,
    "materials":{"m":{"class":"standard","name":"M"}},
    "nodes":[{"name":"B"},{"name":"N","material":"m",
      "object":{"class":"mesh","vertices":[[0,0,0],[1,0,0],[0,1,0]],"faces":[[0,1,2]],"smoothing":[3],
                "edges":[5],"materialIds":[2],"tverts":[[0,0],[1,0]],"tvfaces":[[0,1,1]]},
      "modifiers":[{"class":"skin","bones":[{"node":"B"}],"weights":[[1],[0.5],[0]]}]}]})";
  const std::string late = R"({"nodes":[{"name":"B"},{
      "modifiers":[{"weights":[[1],[0.5],[0]],"bones":[{"node":"B"}],"class":"skin"}],
      "object":{"tvfaces":[[0,1,1]],"materialIds":[2],"edges":[5],"smoothing":[3],"faces":[[0,1,2]],
                "tverts":[[0,0],[1,0]],"vertices":[[0,0,0],[1,0,0],[0,1,0]],"class":"mesh"},
      "material":"m","name":"N"}],
    "materials":{"m":{"name":"M","class":"standard"}},"version":1,"format":"thm-scene"})";
  auto a = scene::ParseDocument(usual, "a"), b = scene::ParseDocument(late, "b");
  for (auto* s : {a.get(), b.get()}) {
    scene::Node* n = s->FindNodes("N")[0];
    ASSERT_NE(n->material, nullptr);
    EXPECT_STREQ(n->material->GetName(), "M");
    const Mesh& m = static_cast<scene::MeshObject*>(n->BaseObject())->mesh;
    ASSERT_EQ(m.faces.size(), 1u);
    EXPECT_EQ(m.faces[0].smGroup, 3u);
    EXPECT_EQ(m.faces[0].flags, 5u);
    EXPECT_EQ(m.faces[0].matID, 2);
    EXPECT_EQ(m.tvFace[0].t[2], 1);
    auto* skin = static_cast<scene::SkinModifier*>(n->Derived()->modifiers[0]);
    ASSERT_TRUE(skin->weights);
    EXPECT_EQ(skin->weights->rows, 3u);
    EXPECT_EQ(skin->weights->columns, 1u);
    EXPECT_EQ((*skin->weights)[1][0], 0.5f);
    EXPECT_EQ(skin->bones[0].node, s->FindNodes("B")[0]);
  }
}

TEST(DocumentFast, ChecksThatWaitNameTheValue) {
  const std::string mesh = R"({"faces":[[0,1,5]],"vertices":[[0,0,0],[1,0,0],[0,1,0]],"class":"mesh"})";
  EXPECT_EQ(ErrorOf(Doc(R"({"object":)" + mesh + "}")),
            "/nodes/0/object/faces/0/2: vertex index 5 is out of range: the mesh has 3 vertices");
  EXPECT_EQ(
      ErrorOf(Doc(
          R"({"object":{"smoothing":[1,2],"faces":[[0,1,2]],"vertices":[[0,0,0],[1,0,0],[0,1,0]],"class":"mesh"}})")),
      "/nodes/0/object/smoothing: has 2 entries; the mesh has 1 faces (one per face)");
  EXPECT_EQ(
      ErrorOf(Doc(
          R"({"object":{"tvfaces":[[0,0,3]],"tverts":[[0,0]],"faces":[[0,1,2]],"vertices":[[0,0,0],[1,0,0],[0,1,0]],"class":"mesh"}})")),
      "/nodes/0/object/tvfaces/0/2: texture vertex index 3 is out of range: the mesh has 1 texture vertices");
  EXPECT_EQ(ErrorOf(Doc(R"({"name":"N","modifiers":[{"class":"other","classId":[1,2]}]})")),
            "/nodes/0/modifiers: a modifier stack needs an object to modify");
  EXPECT_EQ(
      ErrorOf(Doc(
          R"({"name":"B"},{"modifiers":[{"class":"skin","weights":[[1]],"bones":[{"node":"B"}]}],"object":{"class":"mesh","vertices":[[0,0,0],[1,0,0],[0,1,0]],"faces":[[0,1,2]]}})")),
      "/nodes/1/modifiers/0/weights: has 1 rows; the mesh has 3 vertices (one row per vertex)");
  EXPECT_EQ(
      ErrorOf(Doc(
          R"({"name":"B","object":{"class":"dummy"},"modifiers":[{"class":"skin","weights":[[1,2]],"bones":[{"node":"B"}]}]})")),
      "/nodes/0/modifiers/0/weights/0: has 2 weights; the skin has 1 bones (one weight per bone)");
  EXPECT_EQ(ErrorOf(Doc(R"({"material":"nope"})", R"(,"materials":{})")),
            "/nodes/0/material: material \"nope\" is not defined in /materials");
  // The fast reading gives up on these and the careful one words them.
  EXPECT_EQ(ErrorOf(Doc(R"({"object":{"class":"mesh","vertices":[[0,0,0],[0,"x",0]],"faces":[]}})")),
            "/nodes/0/object/vertices/1/1: expected a number, got string");
  EXPECT_EQ(ErrorOf(Doc(R"({"object":{"class":"mesh","vertices":[[0,0,0],[0,0]],"faces":[]}})")),
            "/nodes/0/object/vertices/1: expected an array of 3 numbers, got 2 entries");
  EXPECT_EQ(ErrorOf(Doc(R"({"object":{"class":"mesh","vertices":[[0,0,1e39]],"faces":[]}})")),
            "/nodes/0/object/vertices/0/2: 1e+39 is out of range for a 32-bit float");
  const std::string syntax = ErrorOf(Doc(R"({"object":{"class":"mesh","vertices":[[0,0,01]],"faces":[]}})"));
  EXPECT_EQ(syntax.rfind("/nodes/0/object/vertices/0/", 0), 0u) << syntax;
  EXPECT_NE(syntax.find("not valid JSON at line 1"), std::string::npos) << syntax;
}

// Inputs the fuzzer found: each once took the loader down.
TEST(DocumentFast, FuzzerFindingsGiveOneLineErrors) {
  // A broken literal where the format's value is shown in the message.
  EXPECT_EQ(ErrorOf(R"({"format":n": 1, cene", "version": 1, "animationRange": [100, 0]})").substr(0, 28),
            "/format: not valid JSON at l");
  // A number simdjson refuses deep in a document whose keys the parser had
  // unescaped: the message is worded after the parse, with its keys still there.
  std::ifstream in(std::string(TARN_SOURCE_DIR) +
                   "/fuzz/corpus/fuzz_export/explain-after-the-parser-is-gone");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(ErrorOf(text), "/nodes: cannot be read: Problem while parsing a number");
}

TEST(DocumentNotes, NoteKeyFilesAreReadWithTheDocumentChecks) {
  const std::string path = testing::TempDir() + "notes_test.json";
  auto errorOf = [&](const std::string& text) -> std::string {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    try {
      const auto notes = scene::LoadNoteKeys(path);
      std::string out;
      for (const auto& n : notes)
        for (const NoteKey& k : n.keys)
          out += n.node + "@" + std::to_string(k.time) + "=" + k.note.str() + ";";
      return out;
    } catch (const DocumentError& e) {
      return e.pointer() + ": " + e.message();
    }
  };
  EXPECT_EQ(errorOf(R"({"Hips": [[0, "start"], [4800, "one second"]], "Head": []})"),
            "Hips@0=start;Hips@4800=one second;");
  EXPECT_EQ(errorOf(R"({"Hips": [[0.5, "x"]]})"), "/Hips/0/0: expected an integer, got number");
  EXPECT_EQ(errorOf(R"({"Hips": [[0, 1]]})"), "/Hips/0/1: expected a string, got number");
  EXPECT_EQ(errorOf(R"({"Hips": [[0]]})"), "/Hips/0: expected a key [ticks, \"text\"], got array");
  EXPECT_EQ(errorOf(R"({"Hips": [[3000000000, "x"]]})"),
            "/Hips/0/0: 3000000000 is out of range (-2147483648 to 2147483647)");
  EXPECT_EQ(errorOf(R"({"Hips": [], "Hips": []})"), "/Hips: key appears more than once in its object");
  EXPECT_EQ(errorOf(R"([1])"), ": expected an object of note keys by node name, got array");
  EXPECT_EQ(errorOf(R"({"Hips": [[0, "x"]],})").substr(0, 18), "/Hips: not valid J");
  std::remove(path.c_str());
}

}  // namespace
