#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <variant>

#include "tools/thmdump/dump.h"

namespace thmdump {

using json = nlohmann::ordered_json;

std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      out += char(b);
    } else {
      out += char(0xC0 | (b >> 6));
      out += char(0x80 | (b & 0x3F));
    }
  }
  return out;
}

namespace {

json Text(const char* s) {
  return Latin1ToUtf8(s);
}

// The shortest decimal that reads back as the same float, so 0.3f prints as 0.3.
json F(float f) {
  if (!std::isfinite(f)) return nullptr;
  return std::strtod(fmt::format("{}", f).c_str(), nullptr);
}

json Vec(const thm_vec3& v) {
  return json::array({F(v.x), F(v.y), F(v.z)});
}

json Mat(const thm_matrix43& m) {
  json rows = json::array();
  for (const auto& r : m.rows) rows.push_back(Vec(r));
  return rows;
}

json Extra(const std::uint32_t (&e)[3]) {
  return json::array({e[0], e[1], e[2]});
}

json Map(const char* file, float amount) {
  if (!file) return nullptr;
  return {{"file", Text(file)}, {"amount", F(amount)}};
}

json Header(const thm_material& h) {
  if (!h.long_form) return {{"form", "short"}};
  return {
      {"form", "long"},
      {"diffuse_map", h.diffuse_map ? Text(h.diffuse_map) : json(nullptr)},
      {"name", Text(h.name)},
      {"reflection_map", Map(h.reflection_map, h.reflection_amount)},
      {"self_illum_map", Map(h.self_illum_map, h.self_illum_amount)},
      {"flags", h.flags},
      {"transparency_mode", h.flags & THM_TRANSPARENCY_MASK},
      {"two_sided", (h.flags & THM_TWO_SIDED) != 0},
      {"vr", (h.flags & THM_VR_NAME) != 0},
      {"opacity", F(h.opacity)},
  };
}

json Section(const thm_material& s) {
  json verts = json::array();
  for (std::size_t i = 0; i < s.vertex_count; ++i) {
    const thm_vertex& v = s.vertices[i];
    verts.push_back({{"sv", v.position}, {"uv", {F(v.u), F(v.v)}}, {"normal", Vec(v.normal)}});
  }
  json tris = json::array();
  for (std::size_t i = 0; i < s.triangle_count; ++i) {
    const thm_triangle& t = s.triangles[i];
    const auto* c = t.corners;
    tris.push_back(
        {{"corners", {THM_CORNER_INDEX(c[0]), THM_CORNER_INDEX(c[1]), THM_CORNER_INDEX(c[2])}},
         {"edges", {THM_CORNER_EDGE(c[0]) != 0, THM_CORNER_EDGE(c[1]) != 0, THM_CORNER_EDGE(c[2]) != 0}},
         {"normal", Vec(t.normal)}});
  }
  return {{"offset", s.offset},
          {"header", Header(s)},
          {"vertices_offset", s.vertices_offset},
          {"vertices", std::move(verts)},
          {"triangles_offset", s.triangles_offset},
          {"triangles", std::move(tris)}};
}

json Skin(const thm_file* file, std::size_t r, const thm_mesh& m) {
  thm_skin k;
  thm_get_skin(file, r, &k);
  json bones = json::array();
  for (std::size_t i = 0; i < k.bone_count; ++i) {
    thm_bone b;
    thm_get_bone(file, r, i, &b);
    bones.push_back({{"offset", b.offset},
                     {"name", Text(b.name)},
                     {"matrix", Mat(b.matrix)},
                     {"extra", Extra(b.extra)},
                     {"sibling", b.sibling},
                     {"parent", b.parent},
                     {"child", b.child}});
  }
  // Nested per frame; a file without bones has no samples at all.
  json frames = json::array();
  const std::size_t nb = k.bone_count;
  for (std::size_t f = 0; nb != 0 && f < std::size_t(k.frame_count); ++f) {
    json frame = json::array();
    for (std::size_t b = 0; b < nb; ++b) {
      const thm_sample& s = k.samples[f * nb + b];
      frame.push_back({{"matrix", Mat(s.matrix)}, {"extra", Extra(s.extra)}});
    }
    frames.push_back(std::move(frame));
  }
  json refs = json::array();
  for (std::size_t p = 0; p < m.position_count; ++p) {
    thm_bone_refs list;
    thm_get_bone_refs(file, r, p, &list);
    json l = json::array();
    for (std::size_t j = 0; j < list.count; ++j)
      l.push_back({{"bone", list.refs[j].bone}, {"weight", F(list.refs[j].weight)}});
    refs.push_back({{"offset", list.offset}, {"refs", std::move(l)}});
  }
  json notes = json::array();
  for (std::size_t i = 0; i < k.note_count; ++i) {
    thm_note n;
    thm_get_note(file, r, i, &n);
    notes.push_back({{"offset", n.offset}, {"text", Text(n.text)}, {"frame", n.frame}});
  }
  return {{"offset", k.offset},
          {"bones", std::move(bones)},
          {"frames_offset", k.frames_offset},
          {"frame_count", k.frame_count},
          {"frame_rate", F(k.frame_rate)},
          {"frames", std::move(frames)},
          {"vertex_refs", std::move(refs)},
          {"end_mark_offset", k.end_mark_offset},
          {"end_mark", k.end_mark},
          {"notes_offset", k.notes_offset},
          {"notes", std::move(notes)}};
}

json Mesh(const thm_file* file, std::size_t r, const thm_mesh& m) {
  json pos = json::array();
  for (std::size_t i = 0; i < m.position_count; ++i) pos.push_back(Vec(m.positions[i]));
  json mats = json::array();
  for (std::size_t i = 0; i < m.material_count; ++i) {
    thm_material s;
    thm_get_material(file, r, i, &s);
    mats.push_back(Section(s));
  }
  return {{"type", "mesh"},
          {"name", Text(m.name)},
          {"parent", Text(m.parent)},
          {"positions_offset", m.positions_offset},
          {"positions", std::move(pos)},
          {"skin", m.has_skin ? Skin(file, r, m) : json(nullptr)},
          {"materials_offset", m.materials_offset},
          {"materials", std::move(mats)},
          {"name_offset", m.name_offset}};
}

json Light(const thm_light& l) {
  json j = {{"type", l.kind == THM_SPOT ? "spot" : "omni"},
            {"name", Text(l.name)},
            {"parent", l.parent ? Text(l.parent) : json(nullptr)},
            {"position", Vec(l.position)},
            {"range_start", F(l.range_start)},
            {"range_end", F(l.range_end)},
            {"colour", Vec(l.colour)},
            {"intensity", F(l.intensity)},
            {"on", l.on}};
  if (l.kind == THM_SPOT) {
    j["hotspot"] = F(l.hotspot);
    j["falloff"] = F(l.falloff);
    j["direction"] = Vec(l.direction);
    j["target_distance"] = F(l.target_distance);
  }
  return j;
}

}  // namespace

namespace {

// A double as nlohmann's dump lays it out, but with the shortest digits that read
// back as the same double: its own digit generator is not always the shortest
// (-0.68000853 came out as -0.6800085300000001), so other readers could not match it.
void Number(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  if (x == 0) {
    out += std::signbit(x) ? "-0.0" : "0.0";
    return;
  }
  if (x < 0) out += '-';
  // fmt's "{}" gives the shortest digits, fixed or with an exponent; take the
  // digits and the point's place from it.
  const std::string text = fmt::format("{}", std::fabs(x));
  const std::size_t at = text.find('e');
  const std::string mantissa = text.substr(0, at);
  const int exponent = at == std::string::npos ? 0 : std::stoi(text.substr(at + 1));
  const std::size_t dot = mantissa.find('.');
  const std::string whole = mantissa.substr(0, dot);
  const std::string frac = dot == std::string::npos ? "" : mantissa.substr(dot + 1);
  std::string digits = whole + frac;
  int e10 = exponent - int(frac.size());  // the last digit's power of ten
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++e10;
  }
  const int k = int(digits.size());
  const int n = k + e10;  // where the decimal point goes
  if (k <= n && n <= 15) {
    out += digits + std::string(n - k, '0') + ".0";
  } else if (0 < n && n <= 15) {
    out += digits.substr(0, n) + "." + digits.substr(n);
  } else if (-4 < n && n <= 0) {
    out += "0." + std::string(-n, '0') + digits;
  } else {
    out += k == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
    out += fmt::format("e{}{:02}", n - 1 < 0 ? '-' : '+', std::abs(n - 1));
  }
}

void Dump(std::string& out, const json& j, int level) {
  const std::string pad(2 * (level + 1), ' ');
  if (j.is_number_float()) {
    Number(out, j.get<double>());
  } else if (j.is_array() && !j.empty()) {
    out += "[\n";
    for (std::size_t i = 0; i < j.size(); ++i) {
      out += pad;
      Dump(out, j[i], level + 1);
      out += i + 1 < j.size() ? ",\n" : "\n";
    }
    out += std::string(2 * level, ' ') + "]";
  } else if (j.is_object() && !j.empty()) {
    out += "{\n";
    std::size_t i = 0;
    for (const auto& [key, value] : j.items()) {
      out += pad + json(key).dump() + ": ";
      Dump(out, value, level + 1);
      out += ++i < j.size() ? ",\n" : "\n";
    }
    out += std::string(2 * level, ' ') + "}";
  } else {
    out += j.dump();
  }
}

}  // namespace

std::string DumpJson(const json& j) {
  std::string out;
  Dump(out, j, 0);
  return out;
}

json ToJson(const thm_file* file, const thm_error* error) {
  json records = json::array();
  for (std::size_t r = 0; r < thm_record_count(file); ++r) {
    thm_mesh m;
    thm_light l;
    json j;
    if (thm_get_mesh(file, r, &m) == THM_OK) {
      j = {{"offset", m.offset}, {"size", m.size}};
      j.update(Mesh(file, r, m));
    } else {
      thm_get_light(file, r, &l);
      j = {{"offset", l.offset}, {"size", l.size}};
      j.update(Light(l));
    }
    records.push_back(std::move(j));
  }
  json err = nullptr;
  if (error) err = {{"offset", error->offset}, {"message", Text(error->message)}};
  return {{"records", std::move(records)}, {"error", std::move(err)}};
}

}  // namespace thmdump
