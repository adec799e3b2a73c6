// BuildObj against the extraction done literally (every face asks the host
// for its material, every corner calls MapTexCoord) into the literal model,
// on random meshes under multi materials of every kind of sub-material.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "model/obj.h"
#include "plugin/extract.h"
#include "scene/scene.h"
#include "tests/model/literal_obj.h"
#include "tests/support/reports.h"
#include "tests/support/rng.h"

namespace {

using tarntest::ReportLog;
using tarntest::Rng;

// The texture-coordinate rule as it reads: through the face material's
// diffuse map, its UV transform, v flipped, and the bitmap's crop.
Point3 LiteralMap(const Point3& t, Mtl* fm) {
  if (!fm) return {0, 0, 0};
  if (fm->ClassID() != DMTL_CLASS_ID) {
    NonStdMtlName = fm->GetName() ? fm->GetName() : "";
    return t;
  }
  Texmap* map = static_cast<StdMat*>(fm)->GetSubTexmap(ID_DI);
  if (!map) return {0, 0, 0};
  Matrix3 uvt;
  map->GetUVTransform(uvt);
  const Point3 q = uvt * t;
  float u = q.x, v = 1.0f - q.y;
  if (map->ClassID() == BMTEX_CLASS_ID) {
    if (IParamBlock2* pb = static_cast<BitmapTex*>(map)->GetParamBlock(0)) {
      u = static_cast<float>(double(u) * pb->GetFloat(2, 0) + pb->GetFloat(0, 0));
      v = static_cast<float>(double(v) * pb->GetFloat(3, 0) + pb->GetFloat(1, 0));
    }
  }
  return {u, v, q.z};
}

// The extraction steps one by one, as written.
void LiteralBuild(INode* node, TriObject* tobj, LitObj& obj) {
  NonStdMtlName = nullptr;
  const float s = static_cast<float>(GetMasterScale(0));
  const Matrix3 tm = node->GetObjectTM(0, nullptr);
  Mesh& mesh = tobj->GetMesh();
  std::vector<int> lookup;
  for (const Point3& v : mesh.verts) {
    Point3 p = tm * v;
    p.x *= s;
    p.y *= s;
    p.z *= s;
    NegateYZ(p);
    lookup.push_back(obj.AddSV(p));
  }
  Mtl* m = node->GetMtl();
  const int multi = IsMultiMtl(m);
  const bool textured = !mesh.tvFace.empty() && !mesh.tVerts.empty();
  const int parity = tm.Parity();
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    const Face& face = mesh.faces[static_cast<size_t>(f)];
    Mtl* fm = multi ? GetFaceMtl(m, mesh.getFaceMtlIndex(f)) : m;
    const bool two = fm && AsStdMat(fm) && AsStdMat(fm)->GetTwoSided();
    const int mi = obj.GetMatIndex(fm);
    const uint32_t sm = face.smGroup, bsm = sm | 0x80000000u;
    auto uv = [&](int k) {
      return textured
                 ? LiteralMap(mesh.tVerts[static_cast<size_t>(mesh.tvFace[static_cast<size_t>(f)].t[k])], fm)
                 : Point3(0, 0, 0);
    };
    int h[3], b[3];
    for (int k = 0; k < 3; ++k) h[k] = obj.AddHV(lookup[static_cast<size_t>(face.v[k])], uv(k), mi, sm);
    if (two)
      for (int k = 0; k < 3; ++k) b[k] = obj.AddHV(lookup[static_cast<size_t>(face.v[k])], uv(k), mi, bsm);
    const int e0 = face.flags & 1, e1 = face.flags & 2, e2 = face.flags & 4;
    if (!parity) {
      obj.AddTri(h[0], h[1], h[2], sm, e0, e1, e2);
      if (two) obj.AddTri(b[0], b[2], b[1], bsm, e0, e2, e1);
    } else {
      obj.AddTri(h[0], h[2], h[1], sm, e0, e2, e1);
      if (two) obj.AddTri(b[0], b[1], b[2], bsm, e0, e1, e2);
    }
  }
}

float Coord(Rng& r) {
  static const float c[] = {0.0f, -0.0f, 0.25f, 0.5f, 1.0f, 0.125f, 3.0f};
  return r.Pick(c);
}

Matrix3 RandomMatrix(Rng& r) {
  auto p = [&]() { return Point3(Coord(r) - 0.5f, Coord(r), r.Chance(50) ? -Coord(r) : Coord(r)); };
  return Matrix3(p(), p(), p(), p());
}

Mtl* RandomMaterial(scene::Scene& s, Rng& r, int i) {
  const int kind = r.Int(6);
  if (kind == 0) return nullptr;
  if (kind == 1) return &s.Make<scene::OtherMaterial>("Other" + std::to_string(i), Class_ID(0x1234, 0));
  auto& mat = s.Make<scene::StdMaterial>("Std" + std::to_string(i));
  mat.twoSided = r.Chance(40) ? 1 + r.Int(3) : 0;
  if (kind == 3) {
    auto& map = s.Make<scene::BitmapMap>();
    if (r.Chance(70)) map.uvTransform = RandomMatrix(r);
    if (r.Chance(70)) map.SetCrop(Coord(r), Coord(r), Coord(r), Coord(r));
    mat.slots[ID_DI].map = &map;
  } else if (kind == 4) {
    auto& map = s.Make<scene::OtherMap>(Class_ID(0x77, 0));
    map.uvTransform = RandomMatrix(r);
    mat.slots[ID_DI].map = &map;
  }
  return &mat;
}

TEST(BuildRandom, MatchesLiteralExtraction) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    scene::Scene s;
    s.masterScale = r.Chance(50) ? 1.0 : 2.5;
    auto& mo = s.Make<scene::MeshObject>();
    Mesh& m = mo.mesh;
    const int nv = 3 + r.Int(30), nt = 1 + r.Int(12), nf = r.Int(80);
    for (int i = 0; i < nv; ++i) m.verts.push_back({Coord(r), Coord(r), Coord(r) * 1e-5f});
    const bool textured = r.Chance(80);
    if (textured)
      for (int i = 0; i < nt; ++i) m.tVerts.push_back({Coord(r), Coord(r), Coord(r)});
    for (int f = 0; f < nf; ++f) {
      Face face;
      for (int k = 0; k < 3; ++k) face.v[k] = r.Int(nv);
      face.smGroup = r.Chance(20) ? 0u : (1u << r.Int(3)) | (r.Chance(10) ? 0x80000000u : 0u);
      face.flags = static_cast<uint32_t>(r.Int(8));
      face.matID = static_cast<uint16_t>(r.Int(7));
      m.faces.push_back(face);
      if (textured) {
        TVFace t;
        for (int k = 0; k < 3; ++k) t.t[k] = r.Int(nt);
        m.tvFace.push_back(t);
      }
    }
    scene::Node& node = s.AddNode("N");
    node.SetObject(&mo);
    if (r.Chance(60)) {
      auto& multi = s.Make<scene::MultiMaterial>("Multi");
      const int subs = r.Int(6);
      for (int i = 0; i < subs; ++i) multi.subs.push_back(RandomMaterial(s, r, i));
      node.material = &multi;
    } else {
      node.material = RandomMaterial(s, r, 0);
    }
    if (r.Chance(40))
      node.transform = Matrix3(Point3(-1, 0, 0), Point3(0, 1, 0), Point3(0, 0, 1), Point3(0.5f, 0, 0));
    s.Activate();

    ReportLog log;
    Obj fast(0.00001f);
    ASSERT_EQ(BuildObj(&node, &mo, &fast, nullptr), 1);
    const char* fastName = NonStdMtlName;
    const size_t boxes = log.boxes.size();
    LitObj lit(0.00001f);
    LiteralBuild(&node, &mo, lit);
    EXPECT_EQ(fastName, NonStdMtlName);
    EXPECT_EQ(boxes, NonStdMtlName ? 1u : 0u);
    if (boxes) {
      EXPECT_EQ(log.boxes[0].caption, std::string(NonStdMtlName));
    }

    ExpectSame(fast, lit);
    // The one mapping rule against its reading, corner by corner.
    for (const TVFace& t : m.tvFace)
      for (int k = 0; k < 3; ++k) {
        const Point3& tv = m.tVerts[static_cast<size_t>(t.t[k])];
        for (Mtl* fm : {node.material, static_cast<Mtl*>(nullptr)}) {
          const Point3 a = MapTexCoord(tv, fm), b = LiteralMap(tv, fm);
          ASSERT_TRUE(SameBits(&a, &b, sizeof a));
        }
      }
    if (HasFailure()) break;
  }
}

}  // namespace
