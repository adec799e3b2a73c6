// The bundled demo scene exported by the real plug-in through thmexport, read
// back with thmread and compared field by field with what the scene holds.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "document/document.h"
#include "thm/reader.h"

namespace {

namespace fs = std::filesystem;

const std::string kExe = std::string(TARN_BIN_DIR) + "/thmexport";

int Export(const std::string& scene, const std::string& out) {
  std::string cmd = kExe + " --quiet '" + scene + "' -o '" + out + "' 2>/dev/null";
  int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// A corner as the file holds it: position, then u and v.
using Corner = std::array<float, 5>;

Point3 FilePosition(const Point3& world, float s) {
  return {world.x * s, -(world.y * s), -(world.z * s)};
}

// The texture coordinate the scene gives a corner: the diffuse map's transform, v
// flipped, then a bitmap's crop window.
std::pair<float, float> ExpectedUV(const Point3& t, Mtl* m) {
  if (!m || m->ClassID() != DMTL_CLASS_ID) return {t.x, t.y};
  Texmap* map = static_cast<StdMat*>(m)->GetSubTexmap(ID_DI);
  if (!map) return {0.0f, 0.0f};
  Matrix3 uv;
  map->GetUVTransform(uv);
  Point3 q = uv * t;
  float u = q.x, v = 1.0f - q.y;
  if (map->ClassID() == BMTEX_CLASS_ID) {
    IParamBlock2* pb = static_cast<BitmapTex*>(map)->GetParamBlock(0);
    u = u * pb->GetFloat(2, 0) + pb->GetFloat(0, 0);
    v = v * pb->GetFloat(3, 0) + pb->GetFloat(1, 0);
  }
  return {u, v};
}

class DemoRoundTrip : public ::testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    std::ifstream in(std::string(TARN_SOURCE_DIR) + "/examples/demo.scene.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The same scene in another unit: positions scale, lights and bones do not.
    const std::string key = "\"masterScale\": 1.0";
    ASSERT_NE(text.find(key), std::string::npos);
    text.replace(text.find(key), key.size(), "\"masterScale\": " + std::to_string(GetParam()));
    char tmpl[] = "/tmp/thm_roundtrip_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ / "demo.scene.json") << text;
    scene_ = scene::ParseDocument(text, "demo.scene.json");
    scene_->Activate();
    ASSERT_EQ(Export((dir_ / "demo.scene.json").string(), (dir_ / "demo.thm").string()), 0);
    file_ = thm::Read(thm::LoadFile((dir_ / "demo.thm").string()));
  }
  void TearDown() override { fs::remove_all(dir_); }

  scene::Node* Node(const std::string& name) { return scene_->FindNodes(name).at(0); }

  // Every triangle of every material section against the scene's faces.
  void CheckMesh(const thm::MeshRecord& rec, scene::Node* node) {
    const float s = static_cast<float>(scene_->masterScale);
    Mesh& mesh = static_cast<TriObject*>(node->EvalWorldState(0).obj)->GetMesh();
    Matrix3 tm = node->GetObjectTM(0);

    // Positions: each host vertex's, converted; all distinct in the demo.
    std::set<std::array<float, 3>> want, got;
    for (auto& v : mesh.verts) {
      Point3 p = FilePosition(tm * v, s);
      want.insert({p.x, p.y, p.z});
    }
    for (auto& p : rec.positions) got.insert({p.x, p.y, p.z});
    EXPECT_EQ(got, want);
    ASSERT_EQ(rec.positions.size(), mesh.verts.size());

    // Faces by material name, each as its set of corners; two-sided faces twice.
    Mtl* m = node->GetMtl();
    std::map<std::string, std::multiset<std::set<Corner>>> expected;
    for (int f = 0; f < mesh.getNumFaces(); ++f) {
      Mtl* fm = m && m->ClassID() == MULTI_CLASS_ID ? m->GetSubMtl(mesh.faces[f].matID) : m;
      std::set<Corner> corners;
      for (int k = 0; k < 3; ++k) {
        Point3 p = FilePosition(tm * mesh.verts[mesh.faces[f].v[k]], s);
        auto [u, v] = ExpectedUV(mesh.tVerts[mesh.tvFace[f].t[k]], fm);
        corners.insert({p.x, p.y, p.z, u, v});
      }
      std::string name = fm ? fm->GetName() : "";
      expected[name].insert(corners);
      if (fm && fm->ClassID() == DMTL_CLASS_ID && static_cast<StdMat*>(fm)->GetTwoSided())
        expected[name].insert(corners);
    }
    std::map<std::string, std::multiset<std::set<Corner>>> written;
    for (auto& sec : rec.materials) {
      auto& tris = written[sec.header.name];
      for (auto& t : sec.triangles) {
        std::set<Corner> corners;
        for (int k = 0; k < 3; ++k) {
          const thm::Vertex& v = sec.vertices.at(t.index(k));
          const thm::Vec3& p = rec.positions.at(static_cast<size_t>(v.sv));
          corners.insert({p.x, p.y, p.z, v.u, v.v});
        }
        tris.insert(corners);
      }
    }
    EXPECT_EQ(written, expected);
  }

  fs::path dir_;
  std::unique_ptr<scene::Scene> scene_;
  thm::File file_;
};

TEST_P(DemoRoundTrip, RecordsMatchTheScene) {
  // Visible lights and meshes, in walk order; dummies, the camera and the hidden helper give none.
  ASSERT_EQ(file_.records.size(), 4u);
  const thm::MeshRecord* kiosk = file_.records[0].mesh();
  const thm::MeshRecord* body = file_.records[1].mesh();
  const thm::LightRecord* lamp = file_.records[2].light();
  const thm::LightRecord* spot = file_.records[3].light();
  ASSERT_TRUE(kiosk && body && lamp && spot);

  EXPECT_EQ(kiosk->name, "Kiosk");
  EXPECT_EQ(kiosk->parent, "");
  ASSERT_EQ(kiosk->materials.size(), 3u);
  for (auto& sec : kiosk->materials) {
    const bool glass = sec.header.name == "Glass";
    EXPECT_EQ(sec.header.two_sided(), glass) << sec.header.name;
    EXPECT_EQ(sec.header.opacity, glass ? 0.4f : 1.0f);
  }
  CheckMesh(*kiosk, Node("Kiosk"));
  EXPECT_FALSE(kiosk->skin.has_value());

  EXPECT_EQ(body->name, "Character");
  CheckMesh(*body, Node("Character"));
}

TEST_P(DemoRoundTrip, SkinBonesFramesWeightsAndNotes) {
  ASSERT_GE(file_.records.size(), 2u);
  const thm::MeshRecord* body = file_.records[1].mesh();
  ASSERT_TRUE(body && body->skin);
  const thm::Skin& skin = *body->skin;
  const char* nodes[] = {"Bip_Pelvis", "Bip_Spine", "Bip_Head"};
  ASSERT_EQ(skin.bones.size(), 3u);
  EXPECT_EQ(skin.bones[0].name, "Bip_Pelvis");
  EXPECT_EQ(skin.bones[2].name, "Head");  // the skin's own name for the bone
  EXPECT_EQ(skin.bones[0].parent, -1);
  EXPECT_EQ(skin.bones[1].parent, 0);
  EXPECT_EQ(skin.bones[2].parent, 1);
  EXPECT_EQ(skin.bones[1].extra, (thm::Extra{Bits(1.0f), 0, 0}));
  EXPECT_EQ(skin.bones[2].extra, (thm::Extra{0, 0, Bits(1.0f)}));

  // 0 to 3200 ticks at 160 per frame: 21 frames at 30 per second, each the bone nodes' matrices.
  ASSERT_EQ(skin.frame_count, 21);
  EXPECT_EQ(skin.frame_rate, 30.0f);
  for (int f = 0; f < skin.frame_count; ++f)
    for (size_t b = 0; b < 3; ++b) {
      Matrix3 m = Node(nodes[b])->GetNodeTM(f * 160);
      for (int r = 0; r < 4; ++r) {
        const thm::Vec3& row = skin.sample(static_cast<size_t>(f), b).matrix.rows[static_cast<size_t>(r)];
        EXPECT_EQ(row.x, m.GetRow(r).x);
        EXPECT_EQ(row.y, m.GetRow(r).y);
        EXPECT_EQ(row.z, m.GetRow(r).z);
      }
    }
  EXPECT_EQ(skin.sample(10, 0).matrix.rows[3].x, 70.0f);  // the pelvis key at tick 1600

  // Weights: each position's references are its host vertex's non-zero weights, highest bone first.
  Mesh& mesh = static_cast<TriObject*>(Node("Character")->EvalWorldState(0).obj)->GetMesh();
  Matrix3 tm = Node("Character")->GetObjectTM(0);
  const float s = static_cast<float>(scene_->masterScale);
  ASSERT_EQ(skin.vertex_refs.size(), body->positions.size());
  for (size_t i = 0; i < body->positions.size(); ++i) {
    const thm::Vec3& p = body->positions[i];
    size_t host = 0;
    while (host < mesh.verts.size() && !(FilePosition(tm * mesh.verts[host], s) == Point3(p.x, p.y, p.z)))
      ++host;
    ASSERT_LT(host, mesh.verts.size());
    float w[3][3] = {{1, 0, 0}, {0.5f, 0.5f, 0}, {0, 0.3f, 0.7f}};  // per ring, as in the demo
    std::vector<std::pair<int, float>> want;
    for (int b = 2; b >= 0; --b)
      if (w[host / 4][b] != 0) want.push_back({b, w[host / 4][b]});
    std::vector<std::pair<int, float>> got;
    for (auto& r : skin.vertex_refs[i].refs) got.push_back({r.bone, r.weight});
    EXPECT_EQ(got, want) << "position " << i;
  }

  // Notes of visible nodes, by time, with frame numbers; the hidden helper's is not among them.
  ASSERT_EQ(skin.notes.size(), 3u);
  EXPECT_EQ(skin.notes[0].text, "idle");
  EXPECT_EQ(skin.notes[0].frame, 0);
  EXPECT_EQ(skin.notes[1].text, "turn head");
  EXPECT_EQ(skin.notes[1].frame, 6);
  EXPECT_EQ(skin.notes[2].text, "wave");
  EXPECT_EQ(skin.notes[2].frame, 10);
}

TEST_P(DemoRoundTrip, LightValues) {
  ASSERT_EQ(file_.records.size(), 4u);
  const thm::LightRecord* lamp = file_.records[2].light();
  const thm::LightRecord* spot = file_.records[3].light();
  ASSERT_TRUE(lamp && spot);
  // Lights keep host units and axes whatever the master scale.
  EXPECT_EQ(lamp->kind, thm::LightKind::Omni);
  EXPECT_EQ(lamp->name, "Lamp");
  EXPECT_FALSE(lamp->parent.has_value());
  EXPECT_EQ(lamp->position.x, 0.0f);
  EXPECT_EQ(lamp->position.y, -80.0f);
  EXPECT_EQ(lamp->position.z, 120.0f);
  // Attenuation times the mean axis length, 3 x 0.3333333f for an unscaled node.
  const float third = 3.0f * 0.3333333f;
  EXPECT_EQ(lamp->range_start, 50.0f * third);
  EXPECT_EQ(lamp->range_end, 300.0f * third);
  EXPECT_EQ(lamp->colour.y, 0.9f);
  EXPECT_EQ(lamp->intensity, 1.2f);
  EXPECT_EQ(lamp->on, 1);

  EXPECT_EQ(spot->kind, thm::LightKind::Spot);
  EXPECT_EQ(spot->name, "Spot");
  EXPECT_EQ(spot->parent, "Rig");
  EXPECT_EQ(spot->position.x, -40.0f);
  EXPECT_EQ(spot->position.z, 150.0f);              // under the rig at z 150
  EXPECT_EQ(Bits(spot->range_start), 0x551184E7u);  // no far attenuation
  EXPECT_EQ(Bits(spot->range_end), 0x551184E7u);
  EXPECT_EQ(spot->intensity, 2.0f);
  ASSERT_TRUE(spot->spot);
  EXPECT_EQ(spot->spot->hotspot, 30.0f);
  EXPECT_EQ(spot->spot->falloff, 45.0f);
  EXPECT_EQ(spot->spot->direction.z, -1.0f);
  EXPECT_EQ(spot->spot->target_distance, 150.0f);
}

INSTANTIATE_TEST_SUITE_P(MasterScale, DemoRoundTrip, ::testing::Values(1.0, 2.5));

}  // namespace

namespace {

// Two states a document may hold that the plug-in handles: a range whose end
// lies before its start, and a bone named "" on purpose.
TEST(DocumentStates, AReversedRangeAndAnEmptyBoneNameReachTheFile) {
  std::ifstream in(std::string(TARN_SOURCE_DIR) + "/examples/demo.scene.json");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto replace = [&](const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  replace("\"animationRange\": [0, 3200]", "\"animationRange\": [3200, 0]");
  replace("\"node\": \"Bip_Pelvis\"", "\"node\": \"Bip_Pelvis\", \"name\": \"\"");
  const fs::path dir = fs::temp_directory_path() / ("thm_states_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "states.scene.json") << text;
  ASSERT_EQ(Export((dir / "states.scene.json").string(), (dir / "states.thm").string()), 0);
  const thm::File f = thm::Read(thm::LoadFile((dir / "states.thm").string()));
  fs::remove_all(dir);
  const thm::MeshRecord* skinned = nullptr;
  for (auto& r : f.records)
    if (r.mesh() && r.mesh()->skin) skinned = r.mesh();
  ASSERT_NE(skinned, nullptr);
  EXPECT_EQ(skinned->skin->frame_count, 0);
  ASSERT_EQ(skinned->skin->bones.size(), 3u);
  EXPECT_EQ(skinned->skin->bones[0].name, "");           // explicit: kept empty
  EXPECT_EQ(skinned->skin->bones[1].name, "Bip_Spine");  // missing: the node's name
}

}  // namespace
