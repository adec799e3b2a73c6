// Our OBJ reader: its reading of a worked file, what it hands to Assimp, and
// the scenes it gives against Assimp's own loader on random files.
#include "import/obj_reader.h"

#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "import/assimp_load.h"
#include "import/builder.h"
#include "import/import.h"
#include "import/weld.h"
#include "tests/support/ai_compare.h"
#include "tests/support/rng.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ObjReader, ResolvesIndicesAndRunsAsAssimpDoes) {
  const scene::obj::Geometry g = scene::obj::Read(
      "# a worked file\r\n"
      "mtllib m.mtl\n"
      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0 0.5 0.25 1\n"
      "vn 0 0 1\n"
      "f 1 2 3\n"
      "f -4/-1 -3/1 -2/1\n"  // no texture coordinates yet: the second index is a normal's
      "o second\n"
      "vt 0.5 1e-1\nvt 1 2e39 3\n"  // a coordinate that overflows a float is 0, as in Assimp
      "usemtl red\n"
      "f 1/1/1 2/2/1 3/1/1 4/2/1\n"
      "  f 9 9 9\n"  // a line that starts with a blank is ignored
      "s off\n"
      "f 2 3 4\n");
  ASSERT_EQ(g.why, "");
  EXPECT_EQ(g.positions.size(), 12u);
  EXPECT_EQ(g.colors, (std::vector<float>{0.5f, 0.25f, 1}));
  EXPECT_EQ(g.uvs, (std::vector<float>{0.5f, 0.1f, 0, 1, 0, 3}));
  EXPECT_EQ(g.uvDim, 3u);
  EXPECT_EQ(g.faceStart, (std::vector<uint32_t>{0, 3, 6, 10, 13}));
  EXPECT_EQ(g.faceHas, (std::vector<uint8_t>{0, 2, 3, 0}));
  EXPECT_EQ(g.v, (std::vector<uint32_t>{0, 1, 2, 0, 1, 2, 0, 1, 2, 3, 1, 2, 3}));
  EXPECT_EQ(std::vector<uint32_t>(g.n.begin() + 3, g.n.begin() + 10), (std::vector<uint32_t>(7, 0)));
  EXPECT_EQ(std::vector<uint32_t>(g.t.begin() + 6, g.t.begin() + 10), (std::vector<uint32_t>{0, 1, 0, 1}));
  // Three runs: before "o", after "usemtl", and after nothing that shapes meshes ("s" does not).
  EXPECT_EQ(g.runStart, (std::vector<uint32_t>{0, 2, 4}));
  // A first object name goes as a group: the file has none of its own.
  EXPECT_EQ(g.skeleton,
            "mtllib m.mtl\nf 1 1 1\ng second\nusemtl red\nf 2 2 2\nv 1 0 0\nv 2 0 0\n"
            "# the geometry is read apart\n");
}

// The object lines of the skeleton: a name's first line makes a new object in
// Assimp as a "g" line does, where no group or unread name can be confused
// with it; any other stays an "o" line.
TEST(ObjReader, FirstObjectNamesGoAsGroupsWhereNothingElseNamesObjects) {
  auto objectLines = [](const std::string& body) {
    const std::string skeleton = scene::obj::Read("v 0 0 0\nv 1 0 0\nv 1 1 0\n" + body).skeleton;
    std::string lines;
    for (size_t at = 0; at < skeleton.size();) {
      const size_t end = skeleton.find('\n', at);
      if (skeleton[at] == 'o' || skeleton[at] == 'g') lines += skeleton.substr(at, end - at) + "|";
      at = end + 1;
    }
    return lines;
  };
  EXPECT_EQ(objectLines("o a\nf 1 2 3\no b \nf 1 2 3\no\ta\nf 1 2 3\n"), "g a|g b|o a|");
  EXPECT_EQ(objectLines("o a\nf 1 2 3\ng b\nf 1 2 3\n"), "o a|g b|");
  EXPECT_EQ(objectLines("o a b\nf 1 2 3\no c\nf 1 2 3\n"), "o a b|o c|");
  EXPECT_EQ(objectLines("f 1 2 3\no defaultobject\nf 1 2 3\no c\nf 1 2 3\n"), "o defaultobject|o c|");
}

TEST(ObjReader, HandsToAssimpWhatItWouldReadOtherwise) {
  const std::string head = "v 0 0 0\nv 1 0 0\nv 1 1 0\n";
  const struct {
    std::string text, why;
  } cases[] = {
      {head + "f 1 2 3 \\\n 1\n", "line 4: a face index"},
      {head + "v 1 2 3 4\nf 1 2 3\n", "line 4: a vertex that is not 3 or 6"},
      {head + "v .5 1 2\nf 1 2 3\n", "line 4: a vertex"},
      {head + "v nan 1 2\nf 1 2 3\n", "line 4: a vertex"},
      {head + "v 0 1234567890123456789 2\nf 1 2 3\n", "line 4: a vertex"},  // fast_atof would warn
      {head + "vt 1\nf 1 2 3\n", "line 4: a texture coordinate"},
      {head + "f 01 2 3\n", "line 4: a face index"},
      {head + "f 1 2 3 # a comment\n", "line 4: a face index"},
      {head + "f 1 2\n", "line 4: a face of fewer than three corners"},
      {head + "vt 0 0\nf 1/1 2 3\n", "line 5: a face that gives texture coordinates or normals to some"},
      {head + "vn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n", "line 5: a face corner Assimp reads otherwise"},
      {head + "l 1 2\nf 1 2 3\n", "line 4: a statement other than a face"},
      {head + "cstype bspline\nf 1 2 3\n", "line 4: a statement other than a face"},
      {head + "g a\rb\nf 1 2 3\n", "line 4: a control character"},
      {head + "# \f\nf 1 2 3\n", "line 4: a control character"},
      {head + "f 1 2 4\n", "a vertex index out of range"},
      {head + "f -1 -2 -4\n", "a vertex index out of range"},
      {head + "vn 0 0 1\nf 1//2 2//1 3//1\n", "a normal index out of range"},
      {head + "# no faces at all\n", "no faces"},
      {"f 1 2 3\n", "shorter than Assimp's least"},
  };
  for (const auto& c : cases) {
    const std::string why = scene::obj::Read(c.text).why;
    EXPECT_EQ(why.rfind(c.why, 0), 0u) << c.text << "\ngave: " << why;
  }
}

// A random file in the subset, or slightly outside it.
std::string RandomObj(tarntest::Rng& r) {
  std::string s;
  int v = 0, t = 0, n = 0;
  const char* names[] = {"a", "b", "Material", "red", "box 1", "a"};
  auto num = [&] {
    const char* forms[] = {"0",          "1",  "-1",        "0.5", "-2.25", "1e-3",
                           "3.14159265", "+7", "12345.678", "1E2", "1e39"};
    return std::string(r.Pick(forms));
  };
  const bool objectsOnly = r.Chance(40);
  const int lines = 5 + r.Int(60);
  for (int i = 0; i < lines; ++i) {
    switch (r.Int(14)) {
      case 0:
      case 1:
      case 2:
        s += "v " + num() + " " + num() + " " + num();
        if (r.Chance(10)) s += " " + num() + " " + num() + " " + num();
        ++v;
        break;
      case 3:
        s += "vt " + num() + " " + num() + (r.Chance(30) ? " " + num() : "");
        ++t;
        break;
      case 4:
        s += "vn " + num() + " " + num() + " " + num();
        ++n;
        break;
      case 5:
        if (objectsOnly) {  // names new and repeated, which our skeleton sends differently
          const char* plain[] = {"a", "b", "defaultobject", "o", "x y", "part  "};
          s += std::string(r.Chance(20) ? "o\t" : "o ") +
               (r.Chance(50) ? std::string(r.Pick(plain)) : "part" + std::to_string(r.Int(8)));
        } else {
          s += std::string(r.Chance(50) ? "o " : "g ") + r.Pick(names);
        }
        break;
      case 6:
        s += std::string("usemtl ") + r.Pick(names);
        break;
      case 7:
        s += r.Chance(50) ? "# comment" : r.Chance(50) ? "s 1" : "";
        break;
      default: {
        if (!v) break;
        // Mostly forms whose indices exist; now and then any form.
        int form = r.Int(4);
        if (!r.Chance(10)) form = t && n ? form : t ? form % 2 : n ? (form % 2) * 2 : 0;
        const int corners = 3 + r.Int(3);
        s += "f";
        for (int k = 0; k < corners; ++k) {
          auto index = [&](int count) {
            const int i = 1 + r.Int(count ? count : 1);
            return std::to_string(r.Chance(20) ? i - (count ? count : 1) - 1 : i);
          };
          s += " " + index(v);
          if (form == 1) s += "/" + index(t);
          if (form == 2) s += "//" + index(n);
          if (form == 3) s += "/" + index(t) + "/" + index(n);
        }
      }
    }
    s += r.Chance(10) ? "\r\n" : "\n";
  }
  return s;
}

struct ReaderChoice {
  explicit ReaderChoice(const char* which) { setenv("TARN_OBJ_READER", which, 1); }
  ~ReaderChoice() { unsetenv("TARN_OBJ_READER"); }
};

std::string LoadAs(const char* which, const std::string& text, std::optional<scene::assimp::Loaded>* out) {
  ReaderChoice choice(which);
  try {
    out->emplace(scene::assimp::LoadMemory(text.data(), text.size(), "obj", "random.obj"));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Read in parts on several threads, a file gives what it gives read whole:
// counts carried from part to part, runs that go on across a cut, first
// object names, errors with their lines.
TEST(ObjReader, PartsReadAtOnceGiveTheWholeFilesReading) {
  tarntest::Rng r(7);
  int split = 0;
  for (int i = 0; i < 600; ++i) {
    std::string text = RandomObj(r);
    if (r.Chance(30)) text += "f 1 2 3\nf 1 2 3\n";
    const scene::obj::Geometry whole = scene::obj::Read(text);
    for (int threads : {2, 3, 5}) {
      const size_t partBytes = size_t(8 + r.Int(120));
      split += text.size() >= 2 * partBytes;
      const scene::obj::Geometry parts = scene::obj::Read(text, threads, partBytes);
      ASSERT_EQ(parts.why, whole.why) << text;
      if (!whole.why.empty()) continue;
      auto fields = [](const scene::obj::Geometry& g) {
        return std::tie(g.positions, g.uvs, g.normals, g.colors, g.uvDim, g.faceStart, g.faceHas, g.v, g.t,
                        g.n, g.runStart, g.skeleton);
      };
      ASSERT_TRUE(fields(parts) == fields(whole)) << text;
    }
  }
  EXPECT_GT(split, 1000);
}

TEST(ObjReader, RandomFilesGiveAssimpsSceneErrorsAndLog) {
  tarntest::Rng r(23);
  int ours = 0;
  for (int i = 0; i < 400; ++i) {
    const std::string text = RandomObj(r);
    ours += scene::obj::Read(text).why.empty();
    std::optional<scene::assimp::Loaded> a, b;
    const std::string ea = LoadAs("assimp", text, &a), eb = LoadAs("ours", text, &b);
    ASSERT_EQ(ea, eb) << text;
    if (!ea.empty()) continue;
    ASSERT_EQ(a->errors, b->errors) << text;
    ASSERT_EQ(tarntest::CompareScenes(*a->scene, *b->scene), "") << text;
  }
  // Most random files are in the subset, so the comparison tests our reader.
  EXPECT_GT(ours, 200);
}

// Every mesh of a built scene as bytes: positions, faces (corners, word,
// flags, material), coordinates and their faces.
std::string MeshBytes(const scene::Scene& s) {
  std::string out;
  auto put = [&](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); };
  for (int h = 1; h <= s.NodeCount(); ++h) {
    const auto* m = dynamic_cast<const scene::MeshObject*>(s.FromHandle(uint32_t(h))->BaseObject());
    if (!m) continue;
    put(m->mesh.verts.data(), m->mesh.verts.size() * sizeof(Point3));
    for (const Face& f : m->mesh.faces) {
      const uint32_t w[6] = {uint32_t(f.v[0]), uint32_t(f.v[1]), uint32_t(f.v[2]),
                             f.smGroup,        f.flags,          f.matID};
      put(w, sizeof w);
    }
    put(m->mesh.tVerts.data(), m->mesh.tVerts.size() * sizeof(Point3));
    put(m->mesh.tvFace.data(), m->mesh.tvFace.size() * sizeof(TVFace));
    out += '|';
  }
  return out;
}

// The welds' hints only name candidates: the meshes are those of a weld that
// hashes every vertex, with the hints, without them, and with hints out of step.
TEST(ObjReader, WeldHintsGiveTheMeshesOfAHashedWeld) {
  tarntest::Rng r(41);
  int hinted = 0;
  for (int i = 0; i < 300; ++i) {
    // Repeated positions and coordinates under different entries, as files have.
    std::string text = "v 0 0 0\nv 1 0 0\nv 0 0 0\nvt 0 1\nvt 0 1\n" + RandomObj(r);
    if (!scene::obj::Read(text).why.empty()) continue;
    auto build = [&](int how) {
      ReaderChoice choice("ours");
      scene::assimp::Loaded l = scene::assimp::LoadMemory(text.data(), text.size(), "obj", "random.obj");
      for (scene::WeldHint& h : *l.hints) {
        hinted += how == 1 && !h.positions.empty();
        if (how != 2) continue;
        for (uint32_t& e : h.positions) e = r.Chance(20) ? scene::WeldHint::kNone : uint32_t(r.Int(4));
        for (uint32_t& e : h.coordinates) e = uint32_t(r.Int(3));
      }
      scene::ImportOptions options;
      return MeshBytes(*scene::Builder(*l.scene, "random.obj", options, nullptr, nullptr,
                                       how == 0 ? nullptr : l.hints.get())
                            .Run());
    };
    std::string plain;
    try {
      plain = build(0);
    } catch (const std::exception&) {
      continue;  // refused alike with or without hints: the import's tests cover that
    }
    ASSERT_EQ(build(1), plain) << text;
    ASSERT_EQ(build(2), plain) << text;
  }
  EXPECT_GT(hinted, 100);
}

// A file large enough for its meshes to be filled in parts on several
// threads: the same scene and hints as on one.
TEST(ObjReader, AMeshFilledOnThreadsIsTheMeshFilledOnOne) {
  tarntest::Rng r(5);
  std::string text = "mtllib none.mtl\n";
  auto add = [&](auto... parts) { ((text += parts), ...); };
  const int w = 250, h = 160;
  for (int y = 0; y <= h; ++y)
    for (int x = 0; x <= w; ++x) add("v ", std::to_string(x), " ", std::to_string(y % 7), " 0\n");
  for (int i = 0; i < 50; ++i) add("vt 0.", std::to_string(i), " 0.5\nvn 0 0.", std::to_string(i), " 1\n");
  for (int y = 0; y < h; ++y) {
    if (y % 120 == 0) add("usemtl m", std::to_string(y / 120), "\n");
    for (int x = 0; x < w; ++x) {
      const int a = y * (w + 1) + x + 1, b = a + 1, c = a + w + 1, d = c + 1;
      auto corner = [&](int v) {
        add(" ", std::to_string(v));
        // Coordinates at random; normals by position, a few hard rows.
        const std::string t = std::to_string(1 + r.Int(50)), n = std::to_string(1 + (v / (w + 1)) % 8);
        if (x % 3 == 0) add("/", t, "/", n);
        if (x % 3 == 1) add("//", n);
        if (x % 3 == 2) add("/", t);
      };
      auto face = [&](std::initializer_list<int> vs) {
        text += "f";
        for (int v : vs) corner(v);
        text += "\n";
      };
      if (r.Chance(10)) {
        face({a, b, d, c});
      } else {
        face({a, b, d});
        face({a, d, c});
      }
    }
  }
  tarntest::TempDir dir;
  const std::string path = (dir.path() / "grid.obj").string();
  std::ofstream(path) << text;
  ReaderChoice choice("ours");
  scene::assimp::Loaded one = scene::assimp::Load(path, {dir.path().string()}, 1);
  scene::assimp::Loaded three = scene::assimp::Load(path, {dir.path().string()}, 3);
  ASSERT_EQ(tarntest::CompareScenes(*one.scene, *three.scene), "");
  ASSERT_EQ(one.hints->size(), three.hints->size());
  for (size_t m = 0; m < one.hints->size(); ++m) {
    EXPECT_EQ((*one.hints)[m].positions, (*three.hints)[m].positions);
    EXPECT_EQ((*one.hints)[m].coordinates, (*three.hints)[m].coordinates);
  }
  EXPECT_GT(one.scene->mMeshes[0]->mNumFaces, 2u * 16384);
  // And the whole import: welds, faces, clusters and smoothing groups.
  scene::ImportOptions single, several;
  several.threads = 3;
  EXPECT_TRUE(MeshBytes(*scene::ImportModel(path, single).scene) ==
              MeshBytes(*scene::ImportModel(path, several).scene));
}

// The weld against the literal one (a map from bytes to the first id):
// keys across runs, a run that repeats one key, hints right, wrong and
// missing, on one thread and on several.
TEST(Weld, IdsAreTheLiteralWeldsOnAnyThreads) {
  tarntest::Rng r(11);
  for (int round = 0; round < 4; ++round) {
    std::vector<std::vector<float>> keys(3);
    std::vector<std::vector<uint32_t>> hints(3);
    std::vector<float> entries;
    for (int e = 0; e < 3000; ++e) entries.push_back(float(r.Int(2500)));
    for (size_t k = 0; k < 3; ++k)
      for (int i = 0; i < 20000; ++i) {
        const uint32_t e = uint32_t(r.Int(3000));
        // Most keys copy their entry; some do not, as hints out of step.
        const float x = r.Chance(95) ? entries[e] : float(r.Int(2500));
        keys[k].insert(keys[k].end(), {x, -x, 0.5f});
        hints[k].push_back(r.Chance(10) ? scene::WeldHint::kNone : e);
      }
    const float one[3] = {7, -7, 0.5f};
    std::vector<scene::WeldRun> runs = {{keys[0].data(), 12, 20000, hints[0].data()},
                                        {one, 0, 500, nullptr},
                                        {keys[1].data(), 12, 20000, nullptr},
                                        {keys[2].data(), 12, 20000, round % 2 ? hints[2].data() : nullptr}};
    std::vector<int> literal;
    std::vector<size_t> first;
    std::map<std::string, int> seen;
    for (const auto& run : runs)
      for (size_t i = 0; i < run.count; ++i) {
        const std::string bytes(static_cast<const char*>(run.bytes) + i * run.stride, 12);
        const auto [it, fresh] = seen.emplace(bytes, int(first.size()));
        if (fresh) first.push_back(literal.size());
        literal.push_back(it->second);
      }
    for (int threads : {1, 2, 3}) {
      // Entries of a file far larger than the keys: hashed without the memo.
      for (uint32_t entries : {3000u, 1u << 20}) {
        const scene::Welded w = scene::Weld(runs, 12, entries, threads);
        EXPECT_EQ(w.id, literal) << threads << " " << entries;
        EXPECT_EQ(w.first, first) << threads << " " << entries;
      }
    }
  }
}

}  // namespace
