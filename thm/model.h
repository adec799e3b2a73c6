// In-memory model of a .thm file as read from disk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "format/thm_format.h"

namespace thm {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};

// Four rows of three floats: x, y and z axes, then the translation.
struct Matrix43 {
  std::array<Vec3, 4> rows{};
};

// Three opaque 32-bit words the skin modifier attaches to a bone; kept raw.
using Extra = std::array<std::uint32_t, 3>;

struct Bone {
  std::size_t offset = 0;
  std::string name;
  Matrix43 matrix;
  Extra extra{};
  std::int32_t sibling = -1;
  std::int32_t parent = -1;
  std::int32_t child = -1;
};

struct BoneSample {
  Matrix43 matrix;
  Extra extra{};
};

struct BoneRef {
  std::int32_t bone = 0;
  float weight = 0;
};

// The bone references of one position, in file order, without the -1 terminator.
struct VertexRefs {
  std::size_t offset = 0;
  std::vector<BoneRef> refs;
};

struct Note {
  std::size_t offset = 0;
  std::string text;
  std::int32_t frame = 0;
};

struct Skin {
  std::size_t offset = 0;  // of the bone count
  std::vector<Bone> bones;
  std::size_t frames_offset = 0;  // of the frame count
  std::int32_t frame_count = 0;
  float frame_rate = 0;
  // Flat, frame-major: frame_count * bones.size() entries. Flat so that a huge
  // frame count with no bones costs nothing.
  std::vector<BoneSample> samples;
  std::vector<VertexRefs> vertex_refs;  // one per position
  std::size_t end_mark_offset = 0;
  std::int32_t end_mark = 0;
  std::size_t notes_offset = 0;
  std::vector<Note> notes;

  const BoneSample& sample(std::size_t frame, std::size_t bone) const {
    return samples[frame * bones.size() + bone];
  }
};

struct MapRef {
  std::string file;
  float amount = 0;
};

struct MaterialHeader {
  bool long_form = false;
  // Everything below is meaningful only for the long form.
  std::optional<std::string> diffuse_map;
  std::string name;
  std::optional<MapRef> reflection_map;
  std::optional<MapRef> self_illum_map;
  std::uint8_t flags = 0;
  float opacity = 0;

  // 0 none, 1 filter, 2 additive.
  int transparency_mode() const { return flags & thm_format::kTransparencyMask; }
  bool two_sided() const { return (flags & thm_format::kTwoSided) != 0; }
  bool vr() const { return (flags & thm_format::kVrName) != 0; }
};

struct Vertex {
  std::int32_t sv = 0;
  float u = 0, v = 0;
  Vec3 normal;
};

struct Triangle {
  std::array<std::uint32_t, 3> corners{};
  Vec3 normal;

  std::uint32_t index(int k) const { return corners[k] & thm_format::kCornerIndexMask; }
  bool edge(int k) const { return (corners[k] & thm_format::kEdgeVisible) != 0; }
};

struct MaterialSection {
  std::size_t offset = 0;
  MaterialHeader header;
  std::size_t vertices_offset = 0;  // of the vertex count; vertex i at +4+24*i
  std::vector<Vertex> vertices;
  std::size_t triangles_offset = 0;  // of the triangle count; triangle i at +4+24*i
  std::vector<Triangle> triangles;
};

struct MeshRecord {
  std::size_t positions_offset = 0;  // of the position count
  std::vector<Vec3> positions;
  std::uint8_t skin_flag = 0;
  std::optional<Skin> skin;
  std::size_t materials_offset = 0;  // of the material count
  std::vector<MaterialSection> materials;
  std::size_t name_offset = 0;
  std::string name;
  std::string parent;  // empty when the node has no parent
};

enum class LightKind : std::uint8_t { Omni = 1, Spot = 2 };

struct SpotParams {
  float hotspot = 0;
  float falloff = 0;
  Vec3 direction;
  float target_distance = 0;
};

struct LightRecord {
  LightKind kind = LightKind::Omni;
  std::string name;
  std::optional<std::string> parent;  // absent: the file holds the byte 1
  Vec3 position;
  float range_start = 0;
  float range_end = 0;
  Vec3 colour;
  float intensity = 0;
  std::int32_t on = 0;
  std::optional<SpotParams> spot;
};

struct Record {
  std::size_t offset = 0;
  std::size_t size = 0;
  std::variant<MeshRecord, LightRecord> body;

  const MeshRecord* mesh() const { return std::get_if<MeshRecord>(&body); }
  const LightRecord* light() const { return std::get_if<LightRecord>(&body); }
};

struct File {
  std::vector<Record> records;
};

}  // namespace thm
