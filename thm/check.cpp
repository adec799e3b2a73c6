#include "thm/check.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "format/thm_format.h"

namespace thm {
namespace {

using Found = std::optional<Problem>;

Found At(std::size_t offset, std::string what) {
  return Problem{offset, std::move(what)};
}

std::string Str(const Vec3& v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "(%g, %g, %g)", double(v.x), double(v.y), double(v.z));
  return buf;
}

bool IsUnit(const Vec3& v) {
  const double len = std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
  return std::fabs(len - 1.0) <= kNormalTolerance;  // false for NaN
}

bool IsZero(const Vec3& v) {
  return v.x == 0 && v.y == 0 && v.z == 0;
}

bool LinkInRange(std::int32_t link, std::size_t count) {
  return link == -1 || (link >= 0 && std::size_t(link) < count);
}

// Offset of the flags byte of a long header, from the sizes of the fields before it.
std::size_t FlagsOffset(const MaterialSection& s) {
  const MaterialHeader& h = s.header;
  std::size_t at = s.offset;
  at += h.diffuse_map ? h.diffuse_map->size() + 1 : 1;
  at += h.name.size() + 1;
  at += h.reflection_map ? h.reflection_map->file.size() + 5 : 1;
  at += h.self_illum_map ? h.self_illum_map->file.size() + 5 : 1;
  return at;
}

Found CheckSkin(const Skin& k, std::size_t position_count) {
  const std::size_t nb = k.bones.size();
  for (std::size_t i = 0; i < nb; ++i) {
    const Bone& b = k.bones[i];
    const std::size_t links = b.offset + b.name.size() + 1 + thm_format::kMatrixSize + thm_format::kExtraSize;
    const std::string who = "bone " + std::to_string(i) + " ";
    if (!LinkInRange(b.sibling, nb))
      return At(links, who + "sibling " + std::to_string(b.sibling) + " out of range");
    if (!LinkInRange(b.parent, nb))
      return At(links + 4, who + "parent " + std::to_string(b.parent) + " out of range");
    if (!LinkInRange(b.child, nb))
      return At(links + 8, who + "child " + std::to_string(b.child) + " out of range");
    // Links must describe one tree: siblings share a parent, a child points back.
    if (b.sibling != -1 && k.bones[b.sibling].parent != b.parent)
      return At(links, who + "sibling " + std::to_string(b.sibling) + " has another parent");
    if (b.child != -1 && k.bones[b.child].parent != std::int32_t(i))
      return At(links + 8, who + "child " + std::to_string(b.child) + " does not name it as parent");
  }
  if (k.frame_count < 0) return At(k.frames_offset, "frame count is negative");
  if (!(k.frame_rate > 0) || !std::isfinite(k.frame_rate))
    return At(k.frames_offset + 4, "frame rate is not a positive number");
  if (k.vertex_refs.size() != position_count)
    return At(k.frames_offset, "bone reference lists do not match the position count");
  for (std::size_t i = 0; i < k.vertex_refs.size(); ++i) {
    const VertexRefs& list = k.vertex_refs[i];
    if (list.refs.empty()) return At(list.offset, "position " + std::to_string(i) + " has no bone reference");
    for (std::size_t j = 0; j < list.refs.size(); ++j) {
      const BoneRef& r = list.refs[j];
      if (r.bone < 0 || std::size_t(r.bone) >= nb)
        return At(list.offset + 8 * j, "position " + std::to_string(i) + " refers to bone " +
                                           std::to_string(r.bone) + " of " + std::to_string(nb));
    }
  }
  if (k.end_mark != thm_format::kSkinEndMark)
    return At(k.end_mark_offset, "expected end mark -14, found " + std::to_string(k.end_mark));
  for (const Note& n : k.notes)
    if (n.text.size() > 255) return At(n.offset, "note text longer than 255 bytes");
  return std::nullopt;
}

Found CheckSection(const MaterialSection& s, std::size_t index, std::size_t position_count) {
  const std::string sec = "material " + std::to_string(index) + " ";
  if (s.header.long_form && (s.header.flags & 0xF0) != 0)
    return At(FlagsOffset(s), sec + "flags byte has unused bits set");

  for (std::size_t i = 0; i < s.vertices.size(); ++i) {
    const Vertex& v = s.vertices[i];
    const std::size_t at = s.vertices_offset + 4 + 24 * i;
    const std::string who = sec + "vertex " + std::to_string(i) + " ";
    if (v.sv < 0 || std::size_t(v.sv) >= position_count)
      return At(at, who + "position index " + std::to_string(v.sv) + " outside " +
                        std::to_string(position_count) + " positions");
    if (!IsUnit(v.normal)) return At(at + 12, who + "normal " + Str(v.normal) + " is not unit length");
  }

  const std::size_t nv = s.vertices.size();
  for (std::size_t i = 0; i < s.triangles.size(); ++i) {
    const Triangle& t = s.triangles[i];
    const std::size_t at = s.triangles_offset + 4 + 24 * i;
    const std::string who = sec + "triangle " + std::to_string(i) + " ";
    for (int k = 0; k < 3; ++k)
      if (t.index(k) >= nv)
        return At(at + 4 * k, who + "corner " + std::to_string(k) + " refers to vertex " +
                                  std::to_string(t.index(k)) + " of " + std::to_string(nv));
    const auto sv = [&](int k) { return s.vertices[t.index(k)].sv; };
    if (sv(0) == sv(1) || sv(1) == sv(2) || sv(0) == sv(2))
      return At(at, who + "has two corners on one position");
    // A zero normal is how a degenerate triangle is written.
    if (!IsUnit(t.normal) && !IsZero(t.normal))
      return At(at + 12, who + "face normal " + Str(t.normal) + " is neither unit length nor zero");
  }
  return std::nullopt;
}

Found CheckMesh(const Record& r, const MeshRecord& m) {
  if (m.positions.empty()) return At(m.positions_offset, "mesh record has no positions");
  if (m.skin_flag > 1) return At(r.offset, "skin flag is neither 0 nor 1");
  if (m.skin)
    if (auto p = CheckSkin(*m.skin, m.positions.size())) return p;
  for (std::size_t i = 0; i < m.materials.size(); ++i)
    if (auto p = CheckSection(m.materials[i], i, m.positions.size())) return p;
  return std::nullopt;
}

}  // namespace

std::optional<Problem> Check(const File& file) {
  for (const Record& r : file.records)
    if (const MeshRecord* m = r.mesh())
      if (auto p = CheckMesh(r, *m)) return p;
  return std::nullopt;
}

std::optional<Problem> Check(std::span<const std::uint8_t> bytes) {
  ParseResult r = Parse(bytes);
  // Records read before a parse fault lie before it, so their problems come first.
  if (auto p = Check(r.file)) return p;
  return r.error;
}

}  // namespace thm
