#include <fmt/format.h>

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

json Text(const std::string& s) {
  return Latin1ToUtf8(s);
}

// The shortest decimal that reads back as the same float, so 0.3f prints as 0.3.
json F(float f) {
  if (!std::isfinite(f)) return nullptr;
  return std::strtod(fmt::format("{}", f).c_str(), nullptr);
}

json Vec(const thm::Vec3& v) {
  return json::array({F(v.x), F(v.y), F(v.z)});
}

json Mat(const thm::Matrix43& m) {
  json rows = json::array();
  for (const auto& r : m.rows) rows.push_back(Vec(r));
  return rows;
}

json Extra(const thm::Extra& e) {
  return json::array({e[0], e[1], e[2]});
}

json Map(const std::optional<thm::MapRef>& m) {
  if (!m) return nullptr;
  return {{"file", Text(m->file)}, {"amount", F(m->amount)}};
}

json Header(const thm::MaterialHeader& h) {
  if (!h.long_form) return {{"form", "short"}};
  return {
      {"form", "long"},
      {"diffuse_map", h.diffuse_map ? Text(*h.diffuse_map) : json(nullptr)},
      {"name", Text(h.name)},
      {"reflection_map", Map(h.reflection_map)},
      {"self_illum_map", Map(h.self_illum_map)},
      {"flags", h.flags},
      {"transparency_mode", h.transparency_mode()},
      {"two_sided", h.two_sided()},
      {"vr", h.vr()},
      {"opacity", F(h.opacity)},
  };
}

json Section(const thm::MaterialSection& s) {
  json verts = json::array();
  for (const auto& v : s.vertices)
    verts.push_back({{"sv", v.sv}, {"uv", {F(v.u), F(v.v)}}, {"normal", Vec(v.normal)}});
  json tris = json::array();
  for (const auto& t : s.triangles)
    tris.push_back({{"corners", {t.index(0), t.index(1), t.index(2)}},
                    {"edges", {t.edge(0), t.edge(1), t.edge(2)}},
                    {"normal", Vec(t.normal)}});
  return {{"offset", s.offset},
          {"header", Header(s.header)},
          {"vertices_offset", s.vertices_offset},
          {"vertices", std::move(verts)},
          {"triangles_offset", s.triangles_offset},
          {"triangles", std::move(tris)}};
}

json Skin(const thm::Skin& k) {
  json bones = json::array();
  for (const auto& b : k.bones)
    bones.push_back({{"offset", b.offset},
                     {"name", Text(b.name)},
                     {"matrix", Mat(b.matrix)},
                     {"extra", Extra(b.extra)},
                     {"sibling", b.sibling},
                     {"parent", b.parent},
                     {"child", b.child}});
  // Nested per frame; a file without bones has no samples at all.
  json frames = json::array();
  const std::size_t nb = k.bones.size();
  for (std::size_t f = 0; nb != 0 && f < k.samples.size() / nb; ++f) {
    json frame = json::array();
    for (std::size_t b = 0; b < nb; ++b) {
      const auto& s = k.sample(f, b);
      frame.push_back({{"matrix", Mat(s.matrix)}, {"extra", Extra(s.extra)}});
    }
    frames.push_back(std::move(frame));
  }
  json refs = json::array();
  for (const auto& list : k.vertex_refs) {
    json l = json::array();
    for (const auto& r : list.refs) l.push_back({{"bone", r.bone}, {"weight", F(r.weight)}});
    refs.push_back({{"offset", list.offset}, {"refs", std::move(l)}});
  }
  json notes = json::array();
  for (const auto& n : k.notes)
    notes.push_back({{"offset", n.offset}, {"text", Text(n.text)}, {"frame", n.frame}});
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

json Mesh(const thm::MeshRecord& m) {
  json pos = json::array();
  for (const auto& p : m.positions) pos.push_back(Vec(p));
  json mats = json::array();
  for (const auto& s : m.materials) mats.push_back(Section(s));
  return {{"type", "mesh"},
          {"name", Text(m.name)},
          {"parent", Text(m.parent)},
          {"positions_offset", m.positions_offset},
          {"positions", std::move(pos)},
          {"skin", m.skin ? Skin(*m.skin) : json(nullptr)},
          {"materials_offset", m.materials_offset},
          {"materials", std::move(mats)},
          {"name_offset", m.name_offset}};
}

json Light(const thm::LightRecord& l) {
  json j = {{"type", l.kind == thm::LightKind::Spot ? "spot" : "omni"},
            {"name", Text(l.name)},
            {"parent", l.parent ? Text(*l.parent) : json(nullptr)},
            {"position", Vec(l.position)},
            {"range_start", F(l.range_start)},
            {"range_end", F(l.range_end)},
            {"colour", Vec(l.colour)},
            {"intensity", F(l.intensity)},
            {"on", l.on}};
  if (l.spot) {
    j["hotspot"] = F(l.spot->hotspot);
    j["falloff"] = F(l.spot->falloff);
    j["direction"] = Vec(l.spot->direction);
    j["target_distance"] = F(l.spot->target_distance);
  }
  return j;
}

}  // namespace

json ToJson(const thm::ParseResult& result) {
  json records = json::array();
  for (const auto& r : result.file.records) {
    json j = {{"offset", r.offset}, {"size", r.size}};
    j.update(r.mesh() ? Mesh(*r.mesh()) : Light(*r.light()));
    records.push_back(std::move(j));
  }
  json error = nullptr;
  if (result.error) error = {{"offset", result.error->offset}, {"message", Text(result.error->what)}};
  return {{"records", std::move(records)}, {"error", std::move(error)}};
}

}  // namespace thmdump
