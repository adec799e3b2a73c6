#include <fmt/format.h>

#include "tools/thmdump/dump.h"

namespace thmdump {
namespace {

// Quoted, with bytes outside printable ASCII shown as \xNN so that names stay readable.
std::string Q(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      out += fmt::format("\\{}", char(c));
    else if (c >= 0x20 && c < 0x7F)
      out += char(c);
    else
      out += fmt::format("\\x{:02X}", c);
  }
  return out + "\"";
}

std::string V(const thm::Vec3& v) {
  return fmt::format("({:g}, {:g}, {:g})", v.x, v.y, v.z);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}
std::string Plural(std::size_t n, const char* word) {
  return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

std::string MapText(const std::optional<thm::MapRef>& m) {
  return m ? fmt::format("{} amount {:g}", Q(m->file), m->amount) : "none";
}

void Header(std::string& out, const thm::MaterialHeader& h) {
  if (!h.long_form) {
    out += "short header";
    return;
  }
  static const char* const kModes[] = {"none", "filter", "additive", "3?"};
  out += fmt::format(
      "name {}, diffuse {}, reflection {}, self-illum {}, flags 0x{:02X} (transparency {}{}{}), opacity {:g}",
      Q(h.name), h.diffuse_map ? Q(*h.diffuse_map) : "none", MapText(h.reflection_map),
      MapText(h.self_illum_map), h.flags, kModes[h.transparency_mode()], h.two_sided() ? ", two-sided" : "",
      h.vr() ? ", VR" : "", h.opacity);
}

void Skin(std::string& out, const thm::Skin& k) {
  std::size_t nrefs = 0;
  for (const auto& l : k.vertex_refs) nrefs += l.refs.size();
  out += fmt::format("  skin @{}: {}, {} at {:g} per second, {} in {} lists, end mark {}, {}\n", k.offset,
                     Plural(k.bones.size(), "bone"), Plural(std::size_t(k.frame_count), "frame"),
                     k.frame_rate, Plural(nrefs, "bone reference"), k.vertex_refs.size(), k.end_mark,
                     Plural(k.notes.size(), "note"));
  for (std::size_t i = 0; i < k.bones.size(); ++i) {
    const auto& b = k.bones[i];
    out += fmt::format(
        "    bone {} @{}: {} sibling {} parent {} child {}, translation {}, extra {:08X} {:08X} {:08X}\n", i,
        b.offset, Q(b.name), b.sibling, b.parent, b.child, V(b.matrix.rows[3]), b.extra[0], b.extra[1],
        b.extra[2]);
  }
  for (const auto& n : k.notes)
    out += fmt::format("    note @{}: frame {} {}\n", n.offset, n.frame, Q(n.text));
}

void Mesh(std::string& out, const thm::MeshRecord& m) {
  out += fmt::format("mesh {} parent {}\n", Q(m.name), m.parent.empty() ? "(none)" : Q(m.parent));
  out += fmt::format("  {} @{}\n", Plural(m.positions.size(), "position"), m.positions_offset);
  if (m.skin) Skin(out, *m.skin);
  out += fmt::format("  {} @{}\n", Plural(m.materials.size(), "material"), m.materials_offset);
  for (std::size_t i = 0; i < m.materials.size(); ++i) {
    const auto& s = m.materials[i];
    out += fmt::format("    material {} @{}: ", i, s.offset);
    Header(out, s.header);
    out += fmt::format("; {}, {}\n", Plural(s.vertices.size(), "vertex", "vertices"),
                       Plural(s.triangles.size(), "triangle"));
  }
}

void Light(std::string& out, const thm::LightRecord& l) {
  const bool spot = l.kind == thm::LightKind::Spot;
  out += fmt::format("{} light {} parent {}\n", spot ? "spot" : "omni", Q(l.name),
                     l.parent ? Q(*l.parent) : "(none)");
  out += fmt::format("  position {}, range {:g} to {:g}, colour {}, intensity {:g}, on {}\n", V(l.position),
                     l.range_start, l.range_end, V(l.colour), l.intensity, l.on);
  if (l.spot)
    out += fmt::format("  hotspot {:g}, falloff {:g}, direction {}, target distance {:g}\n", l.spot->hotspot,
                       l.spot->falloff, V(l.spot->direction), l.spot->target_distance);
}

}  // namespace

std::string Summary(const thm::ParseResult& result) {
  std::string out;
  const auto& recs = result.file.records;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    out += fmt::format("record {} @{} ({} bytes): ", i, recs[i].offset, recs[i].size);
    if (const auto* m = recs[i].mesh())
      Mesh(out, *m);
    else
      Light(out, *recs[i].light());
  }
  out += fmt::format("{}\n", Plural(recs.size(), "record"));
  return out;
}

}  // namespace thmdump
