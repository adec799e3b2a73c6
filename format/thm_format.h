// The numbers of the .thm layout that writers and readers must agree on
// (docs/thm-format.md). The plug-in writes them and thm/ reads them: both take
// them from here, so that a change can only be made in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace thm_format {

// Every node record opens with the lead byte and its kind.
inline constexpr std::uint8_t kRecordLead = 8;
inline constexpr std::uint8_t kMeshRecord = 0;
inline constexpr std::uint8_t kOmniRecord = 1;
inline constexpr std::uint8_t kSpotRecord = 2;

// Mesh record: the skin flag after the positions.
inline constexpr std::uint8_t kNoSkin = 0;
inline constexpr std::uint8_t kSkin = 1;

// Skin block: each position's bone references end with this id, the reference
// lists with the end mark; the notes end with an empty text.
inline constexpr std::int32_t kRefListEnd = -1;
inline constexpr std::int32_t kSkinEndMark = -14;

// A name field that may be absent (a map without bitmap, a light without
// parent) holds this byte instead of a text.
inline constexpr std::uint8_t kAbsentName = 1;

// Material header: a lone 0 is the short form.
inline constexpr std::uint8_t kShortHeader = 0;
// Flags byte of the long form.
inline constexpr std::uint8_t kTransparencyMask = 3;  // 0 none, 1 filter, 2 additive
inline constexpr std::uint8_t kFilter = 1;
inline constexpr std::uint8_t kAdditive = 2;
inline constexpr std::uint8_t kTwoSided = 4;
inline constexpr std::uint8_t kVrName = 8;  // the material's name ends in "_vr"

// Triangle corner word: the vertex number within its section, and the
// visibility of the edge that starts at the corner in the top bit.
inline constexpr std::uint32_t kEdgeVisible = 0x80000000u;
inline constexpr std::uint32_t kCornerIndexMask = 0x7FFFFFFFu;

// A light without far attenuation carries this range (float bits 0x551184E7).
inline constexpr float kNoAttenuation = 1e13f;

// Fixed sizes in bytes.
inline constexpr std::size_t kVec3Size = 12;
inline constexpr std::size_t kMatrixSize = 48;
inline constexpr std::size_t kExtraSize = 12;
inline constexpr std::size_t kVertexSize = 24;    // position index, u, v, normal
inline constexpr std::size_t kTriangleSize = 24;  // three corner words, face normal
inline constexpr std::size_t kSampleSize = kMatrixSize + kExtraSize;

}  // namespace thm_format
