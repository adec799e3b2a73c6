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

std::string Q(const char* s) {
  return Q(std::string(s));
}

std::string V(const thm_vec3& v) {
  return fmt::format("({:g}, {:g}, {:g})", v.x, v.y, v.z);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}
std::string Plural(std::size_t n, const char* word) {
  return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

std::string MapText(const char* file, float amount) {
  return file ? fmt::format("{} amount {:g}", Q(file), amount) : "none";
}

void Header(std::string& out, const thm_material& h) {
  if (!h.long_form) {
    out += "short header";
    return;
  }
  static const char* const kModes[] = {"none", "filter", "additive", "3?"};
  out += fmt::format(
      "name {}, diffuse {}, reflection {}, self-illum {}, flags 0x{:02X} (transparency {}{}{}), opacity {:g}",
      Q(h.name), h.diffuse_map ? Q(h.diffuse_map) : "none", MapText(h.reflection_map, h.reflection_amount),
      MapText(h.self_illum_map, h.self_illum_amount), h.flags, kModes[h.flags & THM_TRANSPARENCY_MASK],
      (h.flags & THM_TWO_SIDED) ? ", two-sided" : "", (h.flags & THM_VR_NAME) ? ", VR" : "", h.opacity);
}

void Skin(std::string& out, const thm_file* file, std::size_t r, const thm_mesh& m) {
  thm_skin k;
  thm_get_skin(file, r, &k);
  std::size_t nrefs = 0;
  for (std::size_t p = 0; p < m.position_count; ++p) {
    thm_bone_refs list;
    thm_get_bone_refs(file, r, p, &list);
    nrefs += list.count;
  }
  out += fmt::format("  skin @{}: {}, {} at {:g} per second, {} in {} lists, end mark {}, {}\n", k.offset,
                     Plural(k.bone_count, "bone"), Plural(std::size_t(k.frame_count), "frame"), k.frame_rate,
                     Plural(nrefs, "bone reference"), m.position_count, k.end_mark,
                     Plural(k.note_count, "note"));
  for (std::size_t i = 0; i < k.bone_count; ++i) {
    thm_bone b;
    thm_get_bone(file, r, i, &b);
    out += fmt::format(
        "    bone {} @{}: {} sibling {} parent {} child {}, translation {}, extra {:08X} {:08X} {:08X}\n", i,
        b.offset, Q(b.name), b.sibling, b.parent, b.child, V(b.matrix.rows[3]), b.extra[0], b.extra[1],
        b.extra[2]);
  }
  for (std::size_t i = 0; i < k.note_count; ++i) {
    thm_note n;
    thm_get_note(file, r, i, &n);
    out += fmt::format("    note @{}: frame {} {}\n", n.offset, n.frame, Q(n.text));
  }
}

void Mesh(std::string& out, const thm_file* file, std::size_t r, const thm_mesh& m) {
  out += fmt::format("mesh {} parent {}\n", Q(m.name), m.parent[0] == 0 ? "(none)" : Q(m.parent));
  out += fmt::format("  {} @{}\n", Plural(m.position_count, "position"), m.positions_offset);
  if (m.has_skin) Skin(out, file, r, m);
  out += fmt::format("  {} @{}\n", Plural(m.material_count, "material"), m.materials_offset);
  for (std::size_t i = 0; i < m.material_count; ++i) {
    thm_material s;
    thm_get_material(file, r, i, &s);
    out += fmt::format("    material {} @{}: ", i, s.offset);
    Header(out, s);
    out += fmt::format("; {}, {}\n", Plural(s.vertex_count, "vertex", "vertices"),
                       Plural(s.triangle_count, "triangle"));
  }
}

void Light(std::string& out, const thm_light& l) {
  const bool spot = l.kind == THM_SPOT;
  out += fmt::format("{} light {} parent {}\n", spot ? "spot" : "omni", Q(l.name),
                     l.parent ? Q(l.parent) : "(none)");
  out += fmt::format("  position {}, range {:g} to {:g}, colour {}, intensity {:g}, on {}\n", V(l.position),
                     l.range_start, l.range_end, V(l.colour), l.intensity, l.on);
  if (spot)
    out += fmt::format("  hotspot {:g}, falloff {:g}, direction {}, target distance {:g}\n", l.hotspot,
                       l.falloff, V(l.direction), l.target_distance);
}

}  // namespace

std::string Summary(const thm_file* file) {
  std::string out;
  const std::size_t n = thm_record_count(file);
  for (std::size_t r = 0; r < n; ++r) {
    thm_mesh m;
    thm_light l;
    if (thm_get_mesh(file, r, &m) == THM_OK) {
      out += fmt::format("record {} @{} ({} bytes): ", r, m.offset, m.size);
      Mesh(out, file, r, m);
    } else {
      thm_get_light(file, r, &l);
      out += fmt::format("record {} @{} ({} bytes): ", r, l.offset, l.size);
      Light(out, l);
    }
  }
  out += fmt::format("{}\n", Plural(n, "record"));
  return out;
}

}  // namespace thmdump
