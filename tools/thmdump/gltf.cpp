// A .thm file as glTF 2.0: meshes with their material sections, skins with
// their sampled animation, lights as KHR_lights_punctual. Read through the C
// API, as an engine's converter would.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/thmdump/dump.h"

namespace thmdump {
namespace {

using json = nlohmann::ordered_json;
using Vec = std::array<double, 3>;
using Quat = std::array<double, 4>;  // x, y, z, w as glTF stores them

// ---- Frames -------------------------------------------------------------------
// The file holds mesh positions and normals in the host's axes with y and z
// negated; bone matrices, light positions and directions in the host's axes.
// The host is z-up, glTF y-up: host (x, y, z) is glTF (x, z, -y).

Vec HostToGltf(double x, double y, double z) {
  return {x, z, -y};
}

Vec FileToGltf(const thm_vec3& v) {
  return HostToGltf(v.x, -double(v.y), -double(v.z));
}

// Column-major 4x4, as glTF stores matrices.
struct Mat4 {
  std::array<double, 16> m{};
  double& at(int row, int col) { return m[col * 4 + row]; }
  double at(int row, int col) const { return m[col * 4 + row]; }
  static Mat4 Identity() {
    Mat4 r;
    for (int i = 0; i < 4; ++i) r.at(i, i) = 1;
    return r;
  }
};

Mat4 Mul(const Mat4& a, const Mat4& b) {
  Mat4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double s = 0;
      for (int k = 0; k < 4; ++k) s += a.at(i, k) * b.at(k, j);
      r.at(i, j) = s;
    }
  return r;
}

// The inverse of an affine matrix; the identity for a singular one.
Mat4 InverseAffine(const Mat4& a) {
  const auto e = [&](int r, int c) { return a.at(r, c); };
  const double det = e(0, 0) * (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) -
                     e(0, 1) * (e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0)) +
                     e(0, 2) * (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0));
  if (det == 0 || !std::isfinite(det)) return Mat4::Identity();
  Mat4 r = Mat4::Identity();
  r.at(0, 0) = (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) / det;
  r.at(0, 1) = (e(0, 2) * e(2, 1) - e(0, 1) * e(2, 2)) / det;
  r.at(0, 2) = (e(0, 1) * e(1, 2) - e(0, 2) * e(1, 1)) / det;
  r.at(1, 0) = (e(1, 2) * e(2, 0) - e(1, 0) * e(2, 2)) / det;
  r.at(1, 1) = (e(0, 0) * e(2, 2) - e(0, 2) * e(2, 0)) / det;
  r.at(1, 2) = (e(0, 2) * e(1, 0) - e(0, 0) * e(1, 2)) / det;
  r.at(2, 0) = (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0)) / det;
  r.at(2, 1) = (e(0, 1) * e(2, 0) - e(0, 0) * e(2, 1)) / det;
  r.at(2, 2) = (e(0, 0) * e(1, 1) - e(0, 1) * e(1, 0)) / det;
  for (int i = 0; i < 3; ++i)
    r.at(i, 3) = -(r.at(i, 0) * e(0, 3) + r.at(i, 1) * e(1, 3) + r.at(i, 2) * e(2, 3));
  return r;
}

// A bone matrix (rows: axes, then translation; p' = x*r0 + y*r1 + z*r2 + r3, host axes)
// as a glTF joint's world matrix G * M, with G the host-to-glTF rotation: the world
// changes axes, the bone's own axes stay its own, so that a joint imported from a
// y-up format comes back as it was.
Mat4 BoneToGltf(const thm_matrix43& b) {
  Mat4 host = Mat4::Identity();
  for (int col = 0; col < 4; ++col) {
    host.at(0, col) = b.rows[col].x;
    host.at(1, col) = b.rows[col].y;
    host.at(2, col) = b.rows[col].z;
  }
  Mat4 g;  // (x, y, z) -> (x, z, -y)
  g.at(0, 0) = 1;
  g.at(1, 2) = 1;
  g.at(2, 1) = -1;
  g.at(3, 3) = 1;
  return Mul(g, host);
}

struct Trs {
  Vec t{};
  Quat r{0, 0, 0, 1};
  Vec s{1, 1, 1};
};

Quat FromRotation(const double m[3][3]) {
  // Shepperd's method: the largest of w, x, y, z first, for precision.
  const double tr = m[0][0] + m[1][1] + m[2][2];
  Quat q;
  if (tr > 0) {
    const double s = std::sqrt(tr + 1.0) * 2;
    q = {(m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s, 0.25 * s};
  } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
    const double s = std::sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]) * 2;
    q = {0.25 * s, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s, (m[2][1] - m[1][2]) / s};
  } else if (m[1][1] > m[2][2]) {
    const double s = std::sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]) * 2;
    q = {(m[0][1] + m[1][0]) / s, 0.25 * s, (m[1][2] + m[2][1]) / s, (m[0][2] - m[2][0]) / s};
  } else {
    const double s = std::sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]) * 2;
    q = {(m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, 0.25 * s, (m[1][0] - m[0][1]) / s};
  }
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(n > 0) || !std::isfinite(n)) return {0, 0, 0, 1};
  for (double& c : q) c /= n;
  return q;
}

// Translation, rotation and scale of an affine matrix without shear; a
// mirroring matrix gets a negative x scale.
Trs Decompose(const Mat4& a) {
  Trs out;
  out.t = {a.at(0, 3), a.at(1, 3), a.at(2, 3)};
  double r[3][3];
  for (int c = 0; c < 3; ++c) {
    const double len = std::sqrt(a.at(0, c) * a.at(0, c) + a.at(1, c) * a.at(1, c) + a.at(2, c) * a.at(2, c));
    out.s[c] = len;
    for (int i = 0; i < 3; ++i) r[i][c] = len > 0 ? a.at(i, c) / len : (i == c ? 1 : 0);
  }
  const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                     r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                     r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
  if (det < 0) {
    out.s[0] = -out.s[0];
    for (int i = 0; i < 3; ++i) r[i][0] = -r[i][0];
  }
  out.r = FromRotation(r);
  return out;
}

// The rotation that turns (0, 0, -1), where a glTF spot light points, to d.
Quat AimDown(Vec d) {
  const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  if (!(len > 0) || !std::isfinite(len)) return {0, 0, 0, 1};
  for (double& c : d) c /= len;
  const Vec from{0, 0, -1};
  const double dot = -d[2];
  if (dot < -0.999999) return {1, 0, 0, 0};  // half a turn about x
  // axis = from x d; q = (axis, 1 + dot), normalised
  Quat q{from[1] * d[2] - from[2] * d[1], from[2] * d[0] - from[0] * d[2], from[0] * d[1] - from[1] * d[0],
         1 + dot};
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (double& c : q) c /= n;
  return q;
}

// ---- The binary buffer and its accessors ---------------------------------------

constexpr int kFloat = 5126, kUnsignedInt = 5125, kUnsignedShort = 5123;
constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;

class Builder {
 public:
  json doc = {{"asset", {{"version", "2.0"}, {"generator", "thmdump --gltf"}}}};
  std::vector<std::uint8_t> bin;

  // One buffer view per accessor, 4-byte aligned.
  int Accessor(const void* data, std::size_t bytes, std::size_t count, int component, const char* type,
               int target = 0, json min = nullptr, json max = nullptr) {
    while (bin.size() % 4) bin.push_back(0);
    json view = {{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", bytes}};
    if (target) view["target"] = target;
    const auto* p = static_cast<const std::uint8_t*>(data);
    bin.insert(bin.end(), p, p + bytes);
    doc["bufferViews"].push_back(view);
    json acc = {{"bufferView", doc["bufferViews"].size() - 1},
                {"componentType", component},
                {"count", count},
                {"type", type}};
    if (!min.is_null()) acc["min"] = min;
    if (!max.is_null()) acc["max"] = max;
    doc["accessors"].push_back(acc);
    return int(doc["accessors"].size() - 1);
  }

  int Floats(const std::vector<float>& v, const char* type, int width, int target = 0, bool bounds = false) {
    json min = nullptr, max = nullptr;
    if (bounds && !v.empty()) {
      min = json::array();
      max = json::array();
      for (int c = 0; c < width; ++c) {
        float lo = v[c], hi = v[c];
        for (std::size_t i = c; i < v.size(); i += width) {
          lo = std::min(lo, v[i]);
          hi = std::max(hi, v[i]);
        }
        min.push_back(lo);
        max.push_back(hi);
      }
    }
    return Accessor(v.data(), v.size() * 4, v.size() / width, kFloat, type, target, min, max);
  }

  int Push(const char* array, json value) {
    doc[array].push_back(std::move(value));
    return int(doc[array].size() - 1);
  }
};

json Floats(std::initializer_list<double> v) {
  json a = json::array();
  for (double x : v) a.push_back(float(x));
  return a;
}

std::string Text(const char* s) {
  return Latin1ToUtf8(s);
}

// A file name as a relative URI: bytes outside the unreserved set escaped.
std::string Uri(const std::string& utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    if (std::isalnum(c) || std::strchr("-._~/", c))
      out += char(c);
    else
      out += fmt::format("%{:02X}", c);
  }
  return out;
}

struct Converter {
  const thm_file* file;
  Builder b;
  std::map<std::string, int> images;
  std::vector<int> roots;

  int Texture(const char* name) {
    const std::string uri = Uri(Text(name));
    auto it = images.find(uri);
    if (it == images.end()) {
      json image = {{"uri", uri}, {"name", Text(name)}};
      it = images.emplace(uri, b.Push("images", image)).first;
    }
    return b.Push("textures", {{"source", it->second}});
  }

  int Material(const thm_material& m) {
    const double opacity = std::isfinite(m.opacity) ? std::clamp(double(m.opacity), 0.0, 1.0) : 1.0;
    json pbr = {
        {"baseColorFactor", Floats({1, 1, 1, opacity})}, {"metallicFactor", 0}, {"roughnessFactor", 1}};
    if (m.diffuse_map) pbr["baseColorTexture"] = {{"index", Texture(m.diffuse_map)}};
    json mat = {{"name", Text(m.name)}, {"pbrMetallicRoughness", pbr}};
    if (m.self_illum_map) {
      mat["emissiveTexture"] = {{"index", Texture(m.self_illum_map)}};
      mat["emissiveFactor"] = Floats({1, 1, 1});
    }
    if (opacity < 1 || (m.flags & THM_TRANSPARENCY_MASK) != 0) mat["alphaMode"] = "BLEND";
    if (m.flags & THM_TWO_SIDED) mat["doubleSided"] = true;
    json extras = {{"flags", m.flags}};
    if (m.reflection_map)
      extras["reflection_map"] = {{"file", Text(m.reflection_map)}, {"amount", m.reflection_amount}};
    if ((m.flags & THM_TRANSPARENCY_MASK) == 2) extras["additive"] = true;
    mat["extras"] = extras;
    return b.Push("materials", mat);
  }

  // Joints and weights of every position, in sets of four: weights summed per
  // bone, those that are not positive dropped, the rest normalised.
  struct Influences {
    std::size_t sets = 0;
    std::vector<std::vector<std::pair<int, float>>> of;  // per position
  };

  Influences Weights(std::size_t r, const thm_mesh& mesh) {
    Influences in;
    in.of.resize(mesh.position_count);
    for (std::size_t p = 0; p < mesh.position_count; ++p) {
      thm_bone_refs refs;
      thm_get_bone_refs(file, r, p, &refs);
      std::map<int, double> sum;
      for (std::size_t j = 0; j < refs.count; ++j) sum[refs.refs[j].bone] += refs.refs[j].weight;
      double total = 0;
      for (auto& [bone, w] : sum)
        if (w > 0 && std::isfinite(w)) total += w;
      auto& out = in.of[p];
      for (auto& [bone, w] : sum)
        if (w > 0 && std::isfinite(w)) out.emplace_back(bone, float(w / total));
      if (out.empty()) out.emplace_back(refs.count ? refs.refs[0].bone : 0, 1.0f);
      std::stable_sort(out.begin(), out.end(), [](auto& x, auto& y) { return x.second > y.second; });
      in.sets = std::max(in.sets, (out.size() + 3) / 4);
    }
    return in;
  }

  // glTF world matrices of every bone at tick 0, or at frame f.
  std::vector<Mat4> World(std::size_t r, const thm_skin& k, int frame) {
    std::vector<Mat4> w(k.bone_count);
    for (std::size_t i = 0; i < k.bone_count; ++i) {
      if (frame < 0) {
        thm_bone bone;
        thm_get_bone(file, r, i, &bone);
        w[i] = BoneToGltf(bone.matrix);
      } else {
        w[i] = BoneToGltf(k.samples[std::size_t(frame) * k.bone_count + i].matrix);
      }
    }
    return w;
  }

  Trs Local(const std::vector<Mat4>& world, const std::vector<int>& parent, std::size_t i) {
    const Mat4 local = parent[i] < 0 ? world[i] : Mul(InverseAffine(world[parent[i]]), world[i]);
    return Decompose(local);
  }

  static json TrsJson(const Trs& t, json node) {
    node["translation"] = Floats({t.t[0], t.t[1], t.t[2]});
    node["rotation"] = Floats({t.r[0], t.r[1], t.r[2], t.r[3]});
    node["scale"] = Floats({t.s[0], t.s[1], t.s[2]});
    return node;
  }

  // The bones as nodes, the skin, and the sampled motion as an animation.
  int Skin(std::size_t r, const thm_mesh& mesh) {
    thm_skin k;
    thm_get_skin(file, r, &k);
    const std::size_t nb = k.bone_count;
    std::vector<int> parent(nb), node(nb);
    std::vector<std::string> names(nb);
    for (std::size_t i = 0; i < nb; ++i) {
      thm_bone bone;
      thm_get_bone(file, r, i, &bone);
      parent[i] = bone.parent;
      names[i] = Text(bone.name);
    }
    const std::vector<Mat4> bind = World(r, k, -1);
    for (std::size_t i = 0; i < nb; ++i)
      node[i] = b.Push("nodes", TrsJson(Local(bind, parent, i), {{"name", names[i]}}));
    for (std::size_t i = 0; i < nb; ++i) {
      if (parent[i] < 0)
        roots.push_back(node[i]);
      else
        b.doc["nodes"][node[parent[i]]]["children"].push_back(node[i]);
    }
    std::vector<float> ibm;
    for (const Mat4& m : bind) {
      const Mat4 inv = InverseAffine(m);
      for (int c = 0; c < 16; ++c) ibm.push_back(float(inv.m[c]));
      // The last row of an affine matrix is exactly 0, 0, 0, 1.
      ibm[ibm.size() - 13] = ibm[ibm.size() - 9] = ibm[ibm.size() - 5] = 0;
      ibm.back() = 1;
    }
    json skin = {{"name", Text(mesh.name)}, {"joints", json::array()}};
    for (int n : node) skin["joints"].push_back(n);
    if (nb) skin["inverseBindMatrices"] = b.Floats(ibm, "MAT4", 16);
    const int skin_index = b.Push("skins", skin);

    if (k.frame_count > 0 && nb > 0) Animation(r, mesh, k, parent, node);
    return skin_index;
  }

  void Animation(std::size_t r, const thm_mesh& mesh, const thm_skin& k, const std::vector<int>& parent,
                 const std::vector<int>& node) {
    const std::size_t nb = k.bone_count, nf = std::size_t(k.frame_count);
    std::vector<float> times(nf);
    for (std::size_t f = 0; f < nf; ++f) times[f] = float(double(f) / k.frame_rate);
    std::vector<std::vector<float>> t(nb), q(nb), s(nb);
    for (std::size_t f = 0; f < nf; ++f) {
      const std::vector<Mat4> world = World(r, k, int(f));
      for (std::size_t i = 0; i < nb; ++i) {
        Trs trs = Local(world, parent, i);
        // The short way round: the same rotation, the sign closer to the last key.
        if (f > 0) {
          const float* last = &q[i][q[i].size() - 4];
          double dot = 0;
          for (int c = 0; c < 4; ++c) dot += last[c] * trs.r[c];
          if (dot < 0)
            for (double& c : trs.r) c = -c;
        }
        t[i].insert(t[i].end(), {float(trs.t[0]), float(trs.t[1]), float(trs.t[2])});
        q[i].insert(q[i].end(), {float(trs.r[0]), float(trs.r[1]), float(trs.r[2]), float(trs.r[3])});
        s[i].insert(s[i].end(), {float(trs.s[0]), float(trs.s[1]), float(trs.s[2])});
      }
    }
    json anim = {{"name", Text(mesh.name)}, {"channels", json::array()}, {"samplers", json::array()}};
    const int input = b.Floats(times, "SCALAR", 1, 0, true);
    auto channel = [&](int n, const char* path, const std::vector<float>& v, const char* type, int width) {
      anim["samplers"].push_back(
          {{"input", input}, {"interpolation", "LINEAR"}, {"output", b.Floats(v, type, width)}});
      anim["channels"].push_back(
          {{"sampler", anim["samplers"].size() - 1}, {"target", {{"node", n}, {"path", path}}}});
    };
    for (std::size_t i = 0; i < nb; ++i) {
      channel(node[i], "translation", t[i], "VEC3", 3);
      channel(node[i], "rotation", q[i], "VEC4", 4);
      channel(node[i], "scale", s[i], "VEC3", 3);
    }
    json notes = json::array();
    for (std::size_t i = 0; i < k.note_count; ++i) {
      thm_note n;
      thm_get_note(file, r, i, &n);
      notes.push_back(
          {{"frame", n.frame}, {"time", float(double(n.frame) / k.frame_rate)}, {"text", Text(n.text)}});
    }
    anim["extras"] = {{"frame_rate", k.frame_rate}, {"notes", notes}};
    b.Push("animations", anim);
  }

  void Mesh(std::size_t r) {
    thm_mesh mesh;
    thm_get_mesh(file, r, &mesh);
    // Which record a node came from, and its parent by name: the file's own hierarchy is by name only.
    json node = {{"name", Text(mesh.name)}, {"extras", {{"record", r}}}};
    if (mesh.parent[0]) node["extras"]["parent"] = Text(mesh.parent);

    Influences weights;
    int skin = -1;
    thm_skin k;
    // A skin without bones moves nothing: the mesh is exported as it stands.
    if (mesh.has_skin && thm_get_skin(file, r, &k) == THM_OK && k.bone_count > 0) {
      weights = Weights(r, mesh);
      skin = Skin(r, mesh);
    }

    json prims = json::array();
    for (std::size_t s = 0; s < mesh.material_count; ++s) {
      thm_material m;
      thm_get_material(file, r, s, &m);
      if (m.triangle_count == 0 || m.vertex_count == 0) continue;
      std::vector<float> pos, nor, uv;
      for (std::size_t i = 0; i < m.vertex_count; ++i) {
        const thm_vertex& v = m.vertices[i];
        const Vec p = FileToGltf(mesh.positions[v.position]);
        Vec n = FileToGltf(v.normal);
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (len > 0)
          for (double& c : n) c /= len;
        pos.insert(pos.end(), {float(p[0]), float(p[1]), float(p[2])});
        nor.insert(nor.end(), {float(n[0]), float(n[1]), float(n[2])});
        // The plug-in already wrote v as 1 - v: the file's origin is the image's top left, as glTF's.
        uv.insert(uv.end(), {v.u, v.v});
      }
      std::vector<std::uint32_t> idx;
      for (std::size_t i = 0; i < m.triangle_count; ++i)
        for (int c = 0; c < 3; ++c) idx.push_back(THM_CORNER_INDEX(m.triangles[i].corners[c]));
      json attrs = {{"POSITION", b.Floats(pos, "VEC3", 3, kArrayBuffer, true)},
                    {"NORMAL", b.Floats(nor, "VEC3", 3, kArrayBuffer)},
                    {"TEXCOORD_0", b.Floats(uv, "VEC2", 2, kArrayBuffer)}};
      for (std::size_t set = 0; skin >= 0 && set < weights.sets; ++set) {
        std::vector<std::uint16_t> joints;
        std::vector<float> w;
        for (std::size_t i = 0; i < m.vertex_count; ++i) {
          const auto& of = weights.of[m.vertices[i].position];
          for (std::size_t j = set * 4; j < set * 4 + 4; ++j) {
            joints.push_back(j < of.size() ? std::uint16_t(of[j].first) : 0);
            w.push_back(j < of.size() ? of[j].second : 0.0f);
          }
        }
        attrs[fmt::format("JOINTS_{}", set)] = b.Accessor(joints.data(), joints.size() * 2, m.vertex_count,
                                                          kUnsignedShort, "VEC4", kArrayBuffer);
        attrs[fmt::format("WEIGHTS_{}", set)] = b.Floats(w, "VEC4", 4, kArrayBuffer);
      }
      json prim = {{"attributes", attrs},
                   {"indices", b.Accessor(idx.data(), idx.size() * 4, idx.size(), kUnsignedInt, "SCALAR",
                                          kElementArrayBuffer)},
                   {"mode", 4}};
      if (m.long_form) prim["material"] = Material(m);
      prims.push_back(prim);
    }
    if (!prims.empty()) node["mesh"] = b.Push("meshes", {{"name", Text(mesh.name)}, {"primitives", prims}});
    if (skin >= 0 && !prims.empty()) node["skin"] = skin;
    roots.push_back(b.Push("nodes", node));
  }

  void Light(std::size_t r) {
    thm_light l;
    thm_get_light(file, r, &l);
    json light = {{"name", Text(l.name)},
                  {"type", l.kind == THM_SPOT ? "spot" : "point"},
                  {"color", Floats({std::clamp(double(l.colour.x), 0.0, 1e30),
                                    std::clamp(double(l.colour.y), 0.0, 1e30),
                                    std::clamp(double(l.colour.z), 0.0, 1e30)})},
                  // A switched-off light gives no light; the file's values stay in extras.
                  {"intensity", l.on && std::isfinite(l.intensity) ? std::max(0.0f, l.intensity) : 0.0f}};
    if (l.range_end > 0 && l.range_end < 1e12f) light["range"] = l.range_end;
    json node = {{"name", Text(l.name)}, {"extras", {{"record", r}}}};
    const Vec at = HostToGltf(l.position.x, l.position.y, l.position.z);
    node["translation"] = Floats({at[0], at[1], at[2]});
    if (l.kind == THM_SPOT) {
      constexpr double kQuarter = 1.5707963267948966;
      const double outer = std::clamp(double(l.falloff) * std::numbers::pi / 360.0, 1e-4, kQuarter);
      const double inner = std::clamp(double(l.hotspot) * std::numbers::pi / 360.0, 0.0, outer * 0.999);
      light["spot"] = {{"innerConeAngle", float(inner)}, {"outerConeAngle", float(outer)}};
      const Quat q = AimDown(HostToGltf(l.direction.x, l.direction.y, l.direction.z));
      node["rotation"] = Floats({q[0], q[1], q[2], q[3]});
    }
    json extras = {
        {"intensity", l.intensity}, {"on", l.on}, {"range_start", l.range_start}, {"range_end", l.range_end}};
    if (l.parent) node["extras"]["parent"] = Text(l.parent);
    light["extras"] = extras;
    b.doc["extensions"]["KHR_lights_punctual"]["lights"].push_back(light);
    const int index = int(b.doc["extensions"]["KHR_lights_punctual"]["lights"].size() - 1);
    node["extensions"] = {{"KHR_lights_punctual", {{"light", index}}}};
    roots.push_back(b.Push("nodes", node));
  }

  void Run() {
    for (std::size_t r = 0; r < thm_record_count(file); ++r) {
      if (thm_record_kind_of(file, r) == THM_MESH)
        Mesh(r);
      else
        Light(r);
    }
    if (b.doc.contains("extensions")) b.doc["extensionsUsed"] = {"KHR_lights_punctual"};
    json scene = {{"name", "thm"}};
    for (int n : roots) scene["nodes"].push_back(n);
    b.doc["scenes"] = json::array({scene});
    b.doc["scene"] = 0;
  }
};

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

}  // namespace

Gltf ToGltf(const thm_file* file) {
  Converter c{file, {}, {}, {}};
  c.Run();
  return {std::move(c.b.doc), std::move(c.b.bin)};
}

std::vector<std::uint8_t> Glb(Gltf g) {
  if (!g.bin.empty()) g.doc["buffers"] = json::array({{{"byteLength", g.bin.size()}}});
  std::string text = g.doc.dump();
  while (text.size() % 4) text += ' ';
  while (g.bin.size() % 4) g.bin.push_back(0);
  std::vector<std::uint8_t> out;
  const std::size_t total = 12 + 8 + text.size() + (g.bin.empty() ? 0 : 8 + g.bin.size());
  Put32(out, 0x46546C67);  // "glTF"
  Put32(out, 2);
  Put32(out, std::uint32_t(total));
  Put32(out, std::uint32_t(text.size()));
  Put32(out, 0x4E4F534A);  // "JSON"
  out.insert(out.end(), text.begin(), text.end());
  if (!g.bin.empty()) {
    Put32(out, std::uint32_t(g.bin.size()));
    Put32(out, 0x004E4942);  // "BIN"
    out.insert(out.end(), g.bin.begin(), g.bin.end());
  }
  return out;
}

std::string GltfText(Gltf& g, const std::string& bin_uri) {
  if (!g.bin.empty()) g.doc["buffers"] = json::array({{{"byteLength", g.bin.size()}, {"uri", Uri(bin_uri)}}});
  return g.doc.dump(1) + "\n";
}

}  // namespace thmdump
