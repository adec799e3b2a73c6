// Our binary glTF reader: its skeleton of a worked file, what it hands to
// Assimp, and the scenes it gives against Assimp's own loader on random files.
#include "import/gltf_reader.h"

#include <assimp/scene.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "import/assimp_load.h"
#include "tests/support/ai_compare.h"
#include "tests/support/rng.h"

namespace {

template <class T>
void Put(std::string& bin, T v) {
  bin.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// A binary glTF of `json` and `bin`, chunks padded as writers pad them.
std::string Glb(std::string json, std::string bin) {
  while (json.size() % 4) json += ' ';
  while (bin.size() % 4) bin += '\0';
  std::string out = "glTF";
  Put<uint32_t>(out, 2);
  Put<uint32_t>(out, uint32_t(12 + 8 + json.size() + (bin.empty() ? 0 : 8 + bin.size())));
  Put<uint32_t>(out, uint32_t(json.size()));
  out += "JSON";
  out += json;
  if (!bin.empty()) {
    Put<uint32_t>(out, uint32_t(bin.size()));
    out += std::string("BIN\0", 4);
    out += bin;
  }
  return out;
}

// Two triangles (a quad) with normals and UVs interleaved, indexed by shorts;
// and one plain triangle.
std::string WorkedBin() {
  std::string bin;
  const float quad[4][8] = {
      {0, 0, 0, 0, 0, 1, 0, 0}, {1, 0, 0, 0, 0, 1, 1, 0}, {1, 1, 0, 0, 0, 1, 1, 1}, {0, 1, 0, 0, 0, 1, 0, 1}};
  for (const auto& v : quad)
    for (float f : v) Put(bin, f);                                            // 128 bytes, stride 32
  for (uint16_t i : {0, 1, 2, 0, 2, 3}) Put(bin, i);                          // 12 bytes at 128
  for (float f : {0.f, 0.f, 1.f, 1.f, 0.f, 1.f, 0.f, 1.f, 1.f}) Put(bin, f);  // 36 bytes at 140
  return bin;
}

const char* kWorkedJson =
    R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"name":"n"}],)"
    R"("meshes":[{"name":"m","primitives":[)"
    R"({"attributes":{"POSITION":0,"NORMAL":1,"TEXCOORD_0":2},"indices":3,"material":0},)"
    R"({"mode":4,"attributes":{"POSITION":4}}]}],"materials":[{"name":"red"}],)"
    R"("accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"},)"
    R"({"bufferView":0,"byteOffset":12,"componentType":5126,"count":4,"type":"VEC3"},)"
    R"({"bufferView":0,"byteOffset":24,"componentType":5126,"count":4,"type":"VEC2"},)"
    R"({"bufferView":1,"componentType":5123,"count":6,"type":"SCALAR"},)"
    R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC3"}],)"
    R"("bufferViews":[{"buffer":0,"byteLength":128,"byteStride":32},{"buffer":0,"byteOffset":128,"byteLength":12},)"
    R"({"buffer":0,"byteOffset":140,"byteLength":36}],"buffers":[{"byteLength":176}]})";

TEST(GltfReader, PointsEachPrimitiveAtAStandInAndLeavesTheBinaryChunkOut) {
  const std::string glb = Glb(kWorkedJson, WorkedBin());
  const scene::gltf::Geometry g = scene::gltf::Read(glb);
  ASSERT_EQ(g.why, "");
  const uint64_t bin = 20 + std::string(kWorkedJson).size() / 4 * 4 + 4 + 8;
  ASSERT_EQ(g.binOffset, bin);
  ASSERT_EQ(g.primitives.size(), 2u);
  const scene::gltf::Primitive &quad = g.primitives[0], &tri = g.primitives[1];
  // Offsets into the binary chunk.
  EXPECT_EQ(quad.position.offset, 0u);
  EXPECT_EQ(quad.normal.offset, 12u);
  EXPECT_EQ(quad.uvs.at(0).offset, 24u);
  EXPECT_EQ(quad.uvs[0].stride, 32u);
  EXPECT_EQ(quad.indices.offset, 128u);
  EXPECT_EQ(tri.position.offset, 140u);
  EXPECT_EQ(quad.indices.size, 2u);
  EXPECT_EQ(quad.indices.count, 6u);
  EXPECT_TRUE(!tri.hasIndices && !tri.hasNormal && tri.uvs.empty());
  EXPECT_EQ(tri.position.stride, 12u);
  EXPECT_FALSE(g.keepsBinary);
  // The JSON as it was but for the primitives and three appended entries; the
  // stand-in buffer holds (1,0,0),(0,0,0),(0,0,0) and (2,0,0),(0,0,0),(0,0,0).
  const std::string json = g.head.substr(20);
  const std::string expected =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"name":"n"}],)"
      R"("meshes":[{"name":"m","primitives":[{"material":0,"attributes":{"POSITION":5}},)"
      R"({"mode":4,"attributes":{"POSITION":6}}]}],"materials":[{"name":"red"}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"},)"
      R"({"bufferView":0,"byteOffset":12,"componentType":5126,"count":4,"type":"VEC3"},)"
      R"({"bufferView":0,"byteOffset":24,"componentType":5126,"count":4,"type":"VEC2"},)"
      R"({"bufferView":1,"componentType":5123,"count":6,"type":"SCALAR"},)"
      R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC3"},)"
      R"({"bufferView":3,"byteOffset":0,"componentType":5126,"count":3,"type":"VEC3"},)"
      R"({"bufferView":3,"byteOffset":36,"componentType":5126,"count":3,"type":"VEC3"}],)"
      R"("bufferViews":[{"buffer":0,"byteLength":128,"byteStride":32},{"buffer":0,"byteOffset":128,"byteLength":12},)"
      R"({"buffer":0,"byteOffset":140,"byteLength":36},{"buffer":1,"byteLength":72}],"buffers":[{"byteLength":176},)"
      R"({"byteLength":72,"uri":"data:application/octet-stream;base64,)"
      R"(AACAPwAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}]})";
  EXPECT_EQ(json.substr(0, expected.size()), expected);
  EXPECT_EQ(json.find_first_not_of(' ', expected.size()), std::string::npos);
  uint32_t length, jsonLength;
  std::memcpy(&length, g.head.data() + 8, 4);
  std::memcpy(&jsonLength, g.head.data() + 12, 4);
  EXPECT_EQ(length, g.head.size());
  EXPECT_EQ(jsonLength % 4, 0u);
  EXPECT_EQ(jsonLength, json.size());

  // An image in a buffer view needs the binary chunk, which then follows the JSON.
  std::string withImage = kWorkedJson;
  withImage.insert(withImage.size() - 1, R"(,"images":[{"bufferView":2,"mimeType":"image/png"}])");
  const scene::gltf::Geometry gi = scene::gltf::Read(Glb(withImage, WorkedBin()));
  ASSERT_EQ(gi.why, "");
  EXPECT_TRUE(gi.keepsBinary);
  std::memcpy(&length, gi.head.data() + 8, 4);
  EXPECT_EQ(length, gi.head.size() + gi.binLength);
  EXPECT_EQ(gi.head.substr(gi.head.size() - 4), std::string("BIN\0", 4));
}

TEST(GltfReader, HandsToAssimpWhatItWouldReadOtherwise) {
  const struct {
    std::string from, to, why;
  } cases[] = {
      {R"("mode":4)", R"("mode":1)", "meshes[0].primitives[1]: a mode other than triangles"},
      {R"("mode":4)", R"("mode":4.0)", "a mode other than triangles"},
      {R"("POSITION":4)", R"("POSITION":4,"COLOR_0":4)", "attribute COLOR_0"},
      {R"("TEXCOORD_0":2)", R"("TEXCOORD_1":2)", "texture coordinate sets with a gap"},
      {R"("indices":3)", R"("indices":3,"targets":[])", "has targets"},
      {R"("count":6)", R"("count":7)", "accessors[3] lies outside its buffer view"},
      {R"("count":6)", R"("count":5)", "a number of corners that is not whole triangles"},
      {R"("count":3,)", R"("count":3,"sparse":{},)", "accessors[4] is sparse"},
      {R"("componentType":5123)", R"("componentType":5122)", "accessors[3] has components of another type"},
      {R"("POSITION":4)", R"("POSITION":9)", "accessors[9] does not exist"},
      {R"("byteStride":32)", R"("byteStride":8)", "bufferViews[0] has a stride shorter than an element"},
      {R"("buffers":[)", R"("extensionsRequired":["KHR_draco_mesh_compression"],"buffers":[)",
       "Draco compression"},
      {R"("count":6,)", R"("count":6,"extras":1,)",
       "accessors[3] has extensions or extras that are not objects"},
      // Assimp refuses a reference past the end; in the skeleton it would meet our stand-ins.
      {R"("buffers":[)", R"("images":[{"bufferView":3}],"buffers":[)", "a reference past the end"},
      {R"("name":"m")", R"("n\u0061me":"m")", "a JSON key written with an escape"},
      {R"("name":"m")", R"("name":"m",)", "JSON our reader does not parse"},
  };
  for (const auto& c : cases) {
    std::string json = kWorkedJson;
    const size_t at = json.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    json.replace(at, c.from.size(), c.to);
    const scene::gltf::Geometry g = scene::gltf::Read(Glb(json, WorkedBin()));
    EXPECT_NE(g.why.find(c.why), std::string::npos) << c.to << " gave: " << g.why;
    EXPECT_TRUE(g.primitives.empty() && g.head.empty());
  }
  // An index past the vertices.
  std::string bin = WorkedBin();
  bin[128 + 10] = 4;
  EXPECT_EQ(scene::gltf::Read(Glb(kWorkedJson, bin)).why, "meshes[0].primitives[0]: an index out of range");
  EXPECT_EQ(scene::gltf::Read(Glb(kWorkedJson, "")).why, "meshes[0].primitives[0]: no binary chunk");
  EXPECT_EQ(scene::gltf::Read("glTF").why, "not a binary glTF");
}

struct ReaderChoice {
  explicit ReaderChoice(const char* which) { setenv("TARN_GLTF_READER", which, 1); }
  ~ReaderChoice() { unsetenv("TARN_GLTF_READER"); }
};

std::string LoadFileAs(const char* which, const std::string& path,
                       std::optional<scene::assimp::Loaded>* out) {
  ReaderChoice choice(which);
  try {
    out->emplace(scene::assimp::Load(path, {}));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// A text file's one buffer file, read where Assimp reads it; a short one, a
// data URI, go to Assimp.
TEST(GltfReader, ReadsATextFilesBufferFileAsAssimpDoes) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("gltf_reader_test_" + std::to_string(getpid()));
  fs::create_directories(dir / "sub");
  std::string json = kWorkedJson;
  json.replace(json.find(R"("byteLength":176})"), 17, R"("byteLength":176,"uri":"sub/w.bin"})");
  { std::ofstream(dir / "w.gltf", std::ios::binary) << json; }
  { std::ofstream(dir / "sub" / "w.bin", std::ios::binary) << WorkedBin(); }
  const std::string path = (dir / "w.gltf").string();
  std::optional<scene::assimp::Loaded> a, b, c;
  ASSERT_EQ(LoadFileAs("assimp", path, &a), "");
  ASSERT_EQ(LoadFileAs("strict", path, &b), "");  // read by ours
  EXPECT_EQ(tarntest::CompareScenes(*a->scene, *b->scene), "");
  EXPECT_EQ(a->files, b->files);
  ASSERT_EQ(b->files.size(), 2u);
  EXPECT_EQ(b->scene->mMeshes[0]->mNumFaces, 2u);
  EXPECT_EQ(b->scene->mMeshes[0]->mTextureCoords[0][2].y, 0.f);  // V flipped: 1 - 1

  // A missing buffer file: Assimp's error either way. (Assimp leaks the stream
  // of a file shorter than its stated length, so that case is read below.)
  fs::remove(dir / "sub" / "w.bin");
  const std::string theirs = LoadFileAs("assimp", path, &a);
  EXPECT_NE(theirs, "");
  EXPECT_EQ(LoadFileAs("ours", path, &b), theirs);
  EXPECT_NE(LoadFileAs("strict", path, &c).find("a buffer whose file Assimp would not read"),
            std::string::npos);
  fs::remove_all(dir);

  // The loader is asked for the URI as written and the stated length.
  std::string asked;
  const std::string bin = WorkedBin();
  const scene::gltf::Geometry g = scene::gltf::Read(json, false, [&](std::string_view uri, uint32_t length) {
    asked = std::string(uri) + " " + std::to_string(length);
    return std::optional<std::string_view>(bin);
  });
  EXPECT_EQ(asked, "sub/w.bin 176");
  EXPECT_EQ(g.why, "");
  // A text file's skeleton is its JSON alone, with the stand-ins.
  EXPECT_EQ(g.head.substr(0, 10), json.substr(0, 10));
  EXPECT_NE(g.head.find(R"({"material":0,"attributes":{"POSITION":5}})"), std::string::npos);
  json.replace(json.find("sub/w.bin"), 9, "data:application/octet-stream;base64,AAAA");
  EXPECT_EQ(scene::gltf::Read(json, false).why,
            "meshes[0].primitives[0]: a buffer that is not a plain file name");
}

// A random binary glTF mostly in the subset: meshes of several primitives,
// interleaved or packed attributes, each index size, materials, an image in
// a buffer view, a skin now and then, and the odd fault.
std::string RandomGlb(tarntest::Rng& r) {
  std::string bin, accessors, views, prims;
  int nAccessors = 0, nViews = 0;
  auto view = [&](size_t offset, size_t length, int stride) {
    views += std::string(nViews ? "," : "") + R"({"buffer":0,"byteOffset":)" + std::to_string(offset) +
             R"(,"byteLength":)" + std::to_string(length) +
             (stride ? R"(,"byteStride":)" + std::to_string(stride) : "") + "}";
    return nViews++;
  };
  auto accessor = [&](int v, size_t offset, int component, int count, const char* type) {
    accessors += std::string(nAccessors ? "," : "") + R"({"bufferView":)" + std::to_string(v) +
                 (offset ? R"(,"byteOffset":)" + std::to_string(offset) : "") + R"(,"componentType":)" +
                 std::to_string(component) + R"(,"count":)" + std::to_string(count) + R"(,"type":")" + type +
                 R"(","max":[1,1,1],"min":[0,0,0]})";
    return nAccessors++;
  };
  auto coord = [&] {
    const float forms[] = {0, 1, -1, 0.5f, 0.25f, 3.75f, -2.5f, 1e-3f};
    return r.Pick(forms);
  };
  const int meshes = 1 + r.Int(3), materials = r.Int(3);
  std::string meshJson;
  for (int m = 0; m < meshes; ++m) {
    std::string primJson;
    const int primitives = 1 + r.Int(3);
    for (int p = 0; p < primitives; ++p) {
      const int vertices = 3 + r.Int(6);
      const bool normals = r.Chance(60);
      const int uvs = r.Int(3);
      const bool interleaved = r.Chance(50);
      const int stride = 12 + (normals ? 12 : 0) + 8 * uvs;
      while (bin.size() % 4) bin += '\0';
      std::string attrs;
      if (interleaved) {
        const size_t at = bin.size();
        for (int v = 0; v < vertices; ++v)
          for (int f = 0; f < stride / 4; ++f) Put(bin, coord());
        const int bv = view(at, size_t(stride) * vertices, stride == 12 ? 0 : stride);
        attrs = R"("POSITION":)" + std::to_string(accessor(bv, 0, 5126, vertices, "VEC3"));
        size_t offset = 12;
        if (normals) {
          attrs += R"(,"NORMAL":)" + std::to_string(accessor(bv, offset, 5126, vertices, "VEC3"));
          offset += 12;
        }
        for (int t = 0; t < uvs; ++t, offset += 8)
          attrs += R"(,"TEXCOORD_)" + std::to_string(t) + R"(":)" +
                   std::to_string(accessor(bv, offset, 5126, vertices, "VEC2"));
      } else {
        auto packed = [&](const char* name, int components, const char* type) {
          const size_t at = bin.size();
          for (int k = 0; k < vertices * components; ++k) Put(bin, coord());
          const int bv = view(at, size_t(vertices) * components * 4, 0);
          // Now and then one vertex short of the positions.
          const int count = r.Chance(1) ? vertices - 1 : vertices;
          attrs += std::string(attrs.empty() ? "" : ",") + "\"" + name +
                   "\":" + std::to_string(accessor(bv, 0, 5126, count, type));
        };
        packed("POSITION", 3, "VEC3");
        if (normals) packed("NORMAL", 3, "VEC3");
        for (int t = 0; t < uvs; ++t) packed(("TEXCOORD_" + std::to_string(t)).c_str(), 2, "VEC2");
      }
      std::string prim = R"({"attributes":{)" + attrs + "}";
      const int indexSize = r.Pick({0, 1, 2, 4});
      if (indexSize) {
        const int corners = 3 * (1 + r.Int(4)) + (r.Chance(1) ? 1 : 0);
        while (bin.size() % 4) bin += '\0';
        const size_t at = bin.size();
        const int outOfRange = r.Chance(2) ? r.Int(corners) : -1;
        for (int k = 0; k < corners; ++k) {
          const uint32_t i = uint32_t(k == outOfRange ? vertices : r.Int(vertices));
          bin.append(reinterpret_cast<const char*>(&i), size_t(indexSize));
        }
        const int component = indexSize == 1 ? 5121 : indexSize == 2 ? 5123 : 5125;
        prim += R"(,"indices":)" + std::to_string(accessor(view(at, size_t(corners) * indexSize, 0), 0,
                                                           component, corners, "SCALAR"));
      } else if (vertices % 3 && !r.Chance(3)) {
        continue;  // plain triangles need whole triangles: mostly keep to those
      }
      if (materials && r.Chance(70)) prim += R"(,"material":)" + std::to_string(r.Int(materials));
      if (r.Chance(2)) prim += R"(,"mode":)" + std::to_string(r.Pick({0, 4, 5}));
      if (r.Chance(5)) prim += R"(,"extras":{"note":"x"})";
      primJson += (primJson.empty() ? "" : ",") + prim + "}";
    }
    if (primJson.empty()) primJson = R"({"attributes":{"POSITION":0}})";
    meshJson += std::string(m ? "," : "") + R"({"name":")" +
                (r.Chance(30) ? "" : "mesh" + std::to_string(m)) + R"(","primitives":[)" + primJson + "]}";
  }
  std::string json = R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[)";
  json += R"({"name":"root","children":[)";
  for (int m = 0; m < meshes; ++m) json += std::string(m ? "," : "") + std::to_string(m + 1);
  json += "]}";
  // Now and then a skin of one joint on the first mesh's node: its bones are Assimp's.
  const bool skin = r.Chance(20);
  int bindMatrices = 0;
  if (skin) {
    while (bin.size() % 4) bin += '\0';
    const size_t at = bin.size();
    for (int k = 0; k < 16; ++k) Put(bin, k % 5 ? 0.f : 1.f);
    bindMatrices = accessor(view(at, 64, 0), 0, 5126, 1, "MAT4");
  }
  for (int m = 0; m < meshes; ++m)
    json += R"(,{"name":"node)" + std::to_string(m) + R"(","mesh":)" + std::to_string(m) +
            (r.Chance(30) ? R"(,"translation":[1,2,3])" : "") + (skin && m == 0 ? R"(,"skin":0)" : "") + "}";
  json += "],";
  if (skin) json += R"("skins":[{"joints":[0],"inverseBindMatrices":)" + std::to_string(bindMatrices) + "}],";
  json += R"("meshes":[)" + meshJson + "],";
  if (materials) {
    json += R"("materials":[)";
    for (int i = 0; i < materials; ++i)
      json += std::string(i ? "," : "") + R"({"name":"mat)" + std::to_string(i) +
              R"(","pbrMetallicRoughness":{"baseColorFactor":[0.5,0.25,1,1])" +
              (r.Chance(20) ? R"(,"baseColorTexture":{"index":0})" : "") + "}}";
    json += "],";
    if (r.Chance(50)) {
      // A tiny "image" in a buffer view, which keeps the binary chunk in the skeleton.
      while (bin.size() % 4) bin += '\0';
      const size_t at = bin.size();
      bin += "\x89PNG....";
      json += R"("textures":[{"source":0}],"images":[{"bufferView":)" + std::to_string(view(at, 8, 0)) +
              R"(,"mimeType":"image/png"}],)";
    } else {
      json += R"("textures":[{"source":0}],"images":[{"uri":"missing.png"}],)";
    }
  }
  json += R"("accessors":[)" + accessors + R"(],"bufferViews":[)" + views + "],";
  while (bin.size() % 4) bin += '\0';
  json += R"("buffers":[{"byteLength":)" + std::to_string(bin.size()) + "}]";
  if (r.Chance(5)) json += R"(,"extras":{"bad":"\ud800"})";  // a lone surrogate Assimp's JSON refuses
  json += "}";
  return Glb(json, bin);
}

std::string LoadAs(const char* which, const std::string& bytes, std::optional<scene::assimp::Loaded>* out) {
  ReaderChoice choice(which);
  try {
    out->emplace(scene::assimp::LoadMemory(bytes.data(), bytes.size(), "glb", "random.glb"));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(GltfReader, RandomFilesGiveAssimpsSceneErrorsAndLog) {
  tarntest::Rng r(29);
  int ours = 0, loaded = 0;
  for (int i = 0; i < 400; ++i) {
    const std::string glb = RandomGlb(r);
    ours += scene::gltf::Read(glb).why.empty();
    std::optional<scene::assimp::Loaded> a, b;
    const std::string ea = LoadAs("assimp", glb, &a), eb = LoadAs("ours", glb, &b);
    ASSERT_EQ(ea, eb) << glb.substr(20);
    if (!ea.empty()) continue;
    ++loaded;
    ASSERT_EQ(a->errors, b->errors) << glb.substr(20);
    ASSERT_EQ(tarntest::CompareScenes(*a->scene, *b->scene), "") << glb.substr(20);
  }
  // Most random files are in the subset, so the comparison tests our reader.
  EXPECT_GT(ours, 200);
  EXPECT_GT(loaded, 200);
}

}  // namespace
