#include "bench/mesh_gen.h"

#include <cmath>
#include <string>

namespace bench {

scene::Node& MakeTorus(scene::Scene& s, int triangles, int materials) {
  // 2*U*V triangles with U about twice V, plus a few extra faces.
  int v_segs = std::max(3, static_cast<int>(std::sqrt(triangles / 4.0)));
  int u_segs = std::max(3, triangles / (2 * v_segs));
  const float R = 10.0f, r = 3.0f;

  auto& obj = s.Make<scene::MeshObject>();
  Mesh& m = obj.mesh;
  // (U+1) x (V+1) grid: the last row and column repeat the first positions with
  // other texture coordinates, so the seams weld positions but split corners.
  for (int i = 0; i <= u_segs; ++i)
    for (int j = 0; j <= v_segs; ++j) {
      double a = 2 * M_PI * (i % u_segs) / u_segs, b = 2 * M_PI * (j % v_segs) / v_segs;
      m.verts.push_back({static_cast<float>((R + r * std::cos(b)) * std::cos(a)),
                         static_cast<float>((R + r * std::cos(b)) * std::sin(a)),
                         static_cast<float>(r * std::sin(b))});
      m.tVerts.push_back({static_cast<float>(i) / u_segs, static_cast<float>(j) / v_segs, 0.0f});
    }
  auto idx = [&](int i, int j) { return i * (v_segs + 1) + j; };
  auto add = [&](int a, int b, int c, uint32_t sg, uint16_t mat) {
    Face f;
    f.v[0] = a, f.v[1] = b, f.v[2] = c;
    f.smGroup = sg;
    f.flags = 7;
    f.matID = mat;
    m.faces.push_back(f);
    TVFace t;
    t.t[0] = a, t.t[1] = b, t.t[2] = c;
    m.tvFace.push_back(t);
  };
  for (int i = 0; i < u_segs; ++i)
    for (int j = 0; j < v_segs; ++j) {
      uint16_t mat = static_cast<uint16_t>((i * materials) / u_segs);
      uint32_t sg = (j % 8 == 7) ? 0u : (1u << ((j / 8) % 4));  // bands, and a few faceted rows
      add(idx(i, j), idx(i + 1, j), idx(i + 1, j + 1), sg, mat);
      add(idx(i, j), idx(i + 1, j + 1), idx(i, j + 1), sg, mat);
      if ((i * v_segs + j) % 997 == 0) {
        add(idx(i, j), idx(i, j), idx(i + 1, j), sg, mat);          // degenerate
        add(idx(i, j), idx(i + 1, j), idx(i + 1, j + 1), sg, mat);  // duplicate
      }
    }

  auto& multi = s.Make<scene::MultiMaterial>("TorusMulti");
  for (int k = 0; k < materials; ++k) {
    auto& mat = s.Make<scene::StdMaterial>("Band" + std::to_string(k));
    auto& bmp = s.Make<scene::BitmapMap>();
    bmp.fileName = "C:\\maps\\band" + std::to_string(k) + ".tga";
    mat.slots[ID_DI].map = &bmp;
    multi.subs.push_back(&mat);
  }
  scene::Node& node = s.AddNode("Torus");
  node.SetObject(&obj);
  node.material = &multi;
  return node;
}

}  // namespace bench
