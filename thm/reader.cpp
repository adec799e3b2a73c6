#include "thm/reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "format/thm_format.h"
#include "thm/cursor.h"

namespace thm {

using detail::Cursor;
namespace f = thm_format;

ParseError::ParseError(std::size_t offset, const std::string& what)
    : std::runtime_error("offset " + std::to_string(offset) + ": " + what), offset_(offset), what_(what) {}

namespace {

// Smallest encodings, used to refuse counts the remaining bytes cannot hold.
constexpr std::size_t kPositionSize = f::kVec3Size;
constexpr std::size_t kMinBoneSize = 1 + f::kMatrixSize + f::kExtraSize + 12;
constexpr std::size_t kSampleSize = f::kSampleSize;
constexpr std::size_t kMinRefListSize = 4;
constexpr std::size_t kMinSectionSize = 1 + 4 + 4;
constexpr std::size_t kVertexSize = f::kVertexSize;
constexpr std::size_t kTriangleSize = f::kTriangleSize;

// A field that is either the byte 1 (absent) or a zero-terminated string. A
// string that itself begins with byte 1 cannot be told apart; it reads as absent.
std::optional<std::string> OptionalName(Cursor& c, const char* what) {
  if (c.peek(what) == f::kAbsentName) {
    c.u8(what);
    return std::nullopt;
  }
  return c.str(what);
}

std::optional<MapRef> OptionalMap(Cursor& c, const char* name_what, const char* amount_what) {
  auto file = OptionalName(c, name_what);
  if (!file) return std::nullopt;
  MapRef m;
  m.file = std::move(*file);
  m.amount = c.f32(amount_what);
  return m;
}

MaterialHeader ReadHeader(Cursor& c) {
  MaterialHeader h;
  if (c.peek("material header") == f::kShortHeader) {
    c.u8("material header");
    return h;
  }
  h.long_form = true;
  h.diffuse_map = OptionalName(c, "diffuse map name or byte 1");
  h.name = c.str("material name");
  h.reflection_map = OptionalMap(c, "reflection map name or byte 1", "reflection amount");
  h.self_illum_map = OptionalMap(c, "self-illumination map name or byte 1", "self-illumination amount");
  h.flags = c.u8("material flags");
  h.opacity = c.f32("opacity");
  return h;
}

MaterialSection ReadSection(Cursor& c) {
  MaterialSection s;
  s.offset = c.pos();
  s.header = ReadHeader(c);

  s.vertices_offset = c.pos();
  const std::size_t nv = c.count("vertex count", kVertexSize);
  c.charge(s.vertices_offset, nv, sizeof(Vertex));
  s.vertices.reserve(nv);
  for (std::size_t i = 0; i < nv; ++i) {
    Vertex v;
    v.sv = c.i32("vertex position index");
    v.u = c.f32("vertex u");
    v.v = c.f32("vertex v");
    v.normal = c.vec3("vertex normal");
    s.vertices.push_back(v);
  }

  s.triangles_offset = c.pos();
  const std::size_t nt = c.count("triangle count", kTriangleSize);
  c.charge(s.triangles_offset, nt, sizeof(Triangle));
  s.triangles.reserve(nt);
  for (std::size_t i = 0; i < nt; ++i) {
    Triangle t;
    for (auto& w : t.corners) w = c.u32("triangle corner word");
    t.normal = c.vec3("face normal");
    s.triangles.push_back(t);
  }
  return s;
}

Skin ReadSkin(Cursor& c, std::size_t position_count) {
  Skin k;
  k.offset = c.pos();
  const std::size_t nb = c.count("bone count", kMinBoneSize);
  c.charge(k.offset, nb, sizeof(Bone));
  k.bones.reserve(nb);
  for (std::size_t i = 0; i < nb; ++i) {
    Bone b;
    b.offset = c.pos();
    b.name = c.str("bone name");
    b.matrix = c.matrix("bone matrix");
    b.extra = c.extra("bone extra words");
    b.sibling = c.i32("bone sibling");
    b.parent = c.i32("bone parent");
    b.child = c.i32("bone child");
    k.bones.push_back(std::move(b));
  }

  k.frames_offset = c.pos();
  const std::size_t nf = c.count("frame count", 0);
  k.frame_rate = c.f32("frame rate");
  if (nb != 0 && nf > c.remaining() / (nb * kSampleSize))
    c.fail(k.frames_offset, "frame count " + std::to_string(nf) + " with " + std::to_string(nb) +
                                " bones needs more bytes than the " + std::to_string(c.remaining()) +
                                " left");
  k.frame_count = static_cast<std::int32_t>(nf);
  c.charge(k.frames_offset, nf * nb, sizeof(BoneSample));
  k.samples.reserve(nf * nb);
  for (std::size_t i = 0; i < nf * nb; ++i) {
    BoneSample s;
    s.matrix = c.matrix("sample matrix");
    s.extra = c.extra("sample extra words");
    k.samples.push_back(s);
  }

  if (position_count > c.remaining() / kMinRefListSize)
    c.fail(c.pos(), "truncated: expected " + std::to_string(position_count) + " bone reference lists, " +
                        std::to_string(c.remaining()) + " bytes left");
  c.charge(c.pos(), position_count, sizeof(VertexRefs));
  k.vertex_refs.reserve(position_count);
  for (std::size_t i = 0; i < position_count; ++i) {
    VertexRefs list;
    list.offset = c.pos();
    for (;;) {
      const std::int32_t bone = c.i32("bone id or -1");
      if (bone == f::kRefListEnd) break;
      c.charge(list.offset, 2, sizeof(BoneRef));  // a vector at most doubles what it holds
      list.refs.push_back({bone, c.f32("bone weight")});
    }
    k.vertex_refs.push_back(std::move(list));
  }

  k.end_mark_offset = c.pos();
  k.end_mark = c.i32("end mark -14");

  k.notes_offset = c.pos();
  for (;;) {
    Note n;
    n.offset = c.pos();
    n.text = c.str("note text or empty terminator");
    if (n.text.empty()) break;
    c.charge(n.offset, 2, sizeof(Note));
    n.frame = c.i32("note frame");
    k.notes.push_back(std::move(n));
  }
  return k;
}

MeshRecord ReadMesh(Cursor& c) {
  MeshRecord m;
  m.positions_offset = c.pos();
  const std::size_t np = c.count("position count", kPositionSize);
  c.charge(m.positions_offset, np, sizeof(Vec3));
  m.positions.reserve(np);
  for (std::size_t i = 0; i < np; ++i) m.positions.push_back(c.vec3("position"));

  const std::size_t flag_at = c.pos();
  m.skin_flag = c.u8("skin flag");
  if (m.skin_flag > f::kSkin)
    c.fail(flag_at, "expected skin flag 0 or 1, found " + std::to_string(m.skin_flag));
  if (m.skin_flag == f::kSkin) m.skin = ReadSkin(c, np);

  m.materials_offset = c.pos();
  const std::size_t nm = c.count("material count", kMinSectionSize);
  c.charge(m.materials_offset, nm, sizeof(MaterialSection));
  m.materials.reserve(nm);
  for (std::size_t i = 0; i < nm; ++i) m.materials.push_back(ReadSection(c));

  m.name_offset = c.pos();
  m.name = c.str("node name");
  m.parent = c.str("parent name");
  return m;
}

LightRecord ReadLight(Cursor& c, LightKind kind) {
  LightRecord l;
  l.kind = kind;
  l.name = c.str("light name");
  l.parent = OptionalName(c, "parent name or byte 1");
  l.position = c.vec3("light position");
  l.range_start = c.f32("range start");
  l.range_end = c.f32("range end");
  l.colour = c.vec3("light colour");
  l.intensity = c.f32("light intensity");
  l.on = c.i32("light on switch");
  if (kind == LightKind::Spot) {
    SpotParams s;
    s.hotspot = c.f32("spot hotspot");
    s.falloff = c.f32("spot falloff");
    s.direction = c.vec3("spot direction");
    s.target_distance = c.f32("spot target distance");
    l.spot = s;
  }
  return l;
}

Record ReadRecord(Cursor& c) {
  Record r;
  r.offset = c.pos();
  const std::uint8_t lead = c.u8("record lead byte 8");
  if (lead != f::kRecordLead) c.fail(r.offset, "expected record lead byte 8, found " + std::to_string(lead));
  const std::uint8_t kind = c.u8("record kind");
  switch (kind) {
    case f::kMeshRecord:
      r.body = ReadMesh(c);
      break;
    case f::kOmniRecord:
      r.body = ReadLight(c, LightKind::Omni);
      break;
    case f::kSpotRecord:
      r.body = ReadLight(c, LightKind::Spot);
      break;
    default:
      c.fail(r.offset + 1, "expected record kind 0, 1 or 2, found " + std::to_string(kind));
  }
  r.size = c.pos() - r.offset;
  return r;
}

}  // namespace

ParseResult Parse(std::span<const std::uint8_t> bytes) {
  return Parse(bytes, std::numeric_limits<std::size_t>::max());
}

ParseResult Parse(std::span<const std::uint8_t> bytes, std::size_t memory_limit) {
  ParseResult result;
  Cursor c(bytes, memory_limit);
  try {
    while (!c.at_end()) {
      c.charge(c.pos(), 2, sizeof(Record));
      result.file.records.push_back(ReadRecord(c));
    }
  } catch (const ParseError& e) {
    result.error = e.problem();
  }
  return result;
}

File Read(std::span<const std::uint8_t> bytes) {
  ParseResult r = Parse(bytes);
  if (r.error) throw ParseError(r.error->offset, r.error->what);
  return std::move(r.file);
}

std::vector<std::uint8_t> LoadFile(const std::string& path) {
  // stdio rather than ifstream: reading a directory must fail, not give 0 bytes.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  std::vector<std::uint8_t> data;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) data.insert(data.end(), buf, buf + n);
  if (std::ferror(f.get())) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  return data;
}

}  // namespace thm
