#include "thm/reader.h"

#include <gtest/gtest.h>

#include "tests/thm/samples.h"

using namespace thmtest;
using tarntest::Bytes;

namespace {

void ExpectVec(const thm::Vec3& v, float x, float y, float z) {
  EXPECT_EQ(v.x, x);
  EXPECT_EQ(v.y, y);
  EXPECT_EQ(v.z, z);
}

const thm::Record& Only(const thm::File& f) {
  EXPECT_EQ(f.records.size(), 1u);
  return f.records.at(0);
}

}  // namespace

TEST(ReadLight, OmniEveryField) {
  const Bytes b = OmniLight();
  ASSERT_EQ(b.size(), 2u + 7 + 1 + 40);  // two lead bytes, name, byte 1, fixed part
  const thm::File f = thm::Read(b);
  const thm::Record& r = Only(f);
  EXPECT_EQ(r.offset, 0u);
  EXPECT_EQ(r.size, b.size());
  ASSERT_NE(r.light(), nullptr);
  const thm::LightRecord& l = *r.light();
  EXPECT_EQ(l.kind, thm::LightKind::Omni);
  EXPECT_EQ(l.name, "Omni01");
  EXPECT_FALSE(l.parent.has_value());
  ExpectVec(l.position, 1.5f, -2, 3.25f);
  EXPECT_EQ(l.range_start, 9999999827968.0f);
  EXPECT_EQ(l.range_end, 9999999827968.0f);
  ExpectVec(l.colour, 1, 0.5f, 0.25f);
  EXPECT_EQ(l.intensity, 1.5f);
  EXPECT_EQ(l.on, 1);
  EXPECT_FALSE(l.spot.has_value());
}

TEST(ReadLight, SpotEveryField) {
  const Bytes b = SpotLight();
  ASSERT_EQ(b.size(), 2u + 7 + 4 + 40 + 24);
  const thm::File f = thm::Read(b);
  const thm::LightRecord& l = *Only(f).light();
  EXPECT_EQ(l.kind, thm::LightKind::Spot);
  EXPECT_EQ(l.name, "Spot01");
  ASSERT_TRUE(l.parent.has_value());
  EXPECT_EQ(*l.parent, "Rig");
  ExpectVec(l.position, 0, 10, 0);
  EXPECT_EQ(l.range_start, 20);
  EXPECT_EQ(l.range_end, 40);
  ExpectVec(l.colour, 0, 0, 1);
  EXPECT_EQ(l.intensity, 2);
  EXPECT_EQ(l.on, 0);
  ASSERT_TRUE(l.spot.has_value());
  EXPECT_EQ(l.spot->hotspot, 43);
  EXPECT_EQ(l.spot->falloff, 45);
  ExpectVec(l.spot->direction, 0, 0, -2);  // as written: scaled, not normalised
  EXPECT_EQ(l.spot->target_distance, 100);
}

TEST(ReadLight, ParentFieldForms) {
  // An empty parent name is a name, distinct from the byte 1 that means none.
  Bytes empty;
  empty.raw({8, 1}).str("L").str("").append(std::vector<std::uint8_t>(40, 0));
  const thm::File f = thm::Read(empty);
  const auto& l = *Only(f).light();
  ASSERT_TRUE(l.parent.has_value());
  EXPECT_EQ(*l.parent, "");
}

TEST(ReadMesh, TwoMaterialSections) {
  const Bytes b = TwoMaterialMesh();
  const thm::File f = thm::Read(b);
  const thm::Record& r = Only(f);
  ASSERT_NE(r.mesh(), nullptr);
  const thm::MeshRecord& m = *r.mesh();
  EXPECT_EQ(m.name, "Box01");
  EXPECT_EQ(m.parent, "Dummy01");
  EXPECT_EQ(m.positions_offset, b.at("positions"));
  ASSERT_EQ(m.positions.size(), 4u);
  ExpectVec(m.positions[2], 1, 1, 0);
  EXPECT_EQ(m.skin_flag, 0);
  EXPECT_FALSE(m.skin.has_value());
  EXPECT_EQ(m.materials_offset, b.at("materials"));
  EXPECT_EQ(m.name_offset, b.at("name"));
  ASSERT_EQ(m.materials.size(), 2u);

  const thm::MaterialSection& s0 = m.materials[0];
  EXPECT_EQ(s0.offset, b.at("mat0"));
  EXPECT_FALSE(s0.header.long_form);
  EXPECT_EQ(s0.vertices_offset, b.at("mat0.verts"));
  ASSERT_EQ(s0.vertices.size(), 3u);
  EXPECT_EQ(s0.vertices[1].sv, 1);
  EXPECT_EQ(s0.vertices[1].u, 1);
  EXPECT_EQ(s0.vertices[1].v, 0);
  ExpectVec(s0.vertices[1].normal, 0, 0, 1);
  ASSERT_EQ(s0.triangles.size(), 1u);
  const thm::Triangle& t0 = s0.triangles[0];
  EXPECT_EQ(t0.corners[0], 0x80000000u);
  EXPECT_EQ(t0.index(0), 0u);
  EXPECT_TRUE(t0.edge(0));
  EXPECT_EQ(t0.index(1), 1u);
  EXPECT_FALSE(t0.edge(1));
  EXPECT_EQ(t0.index(2), 2u);
  EXPECT_TRUE(t0.edge(2));

  const thm::MaterialSection& s1 = m.materials[1];
  EXPECT_EQ(s1.offset, b.at("mat1"));
  const thm::MaterialHeader& h = s1.header;
  EXPECT_TRUE(h.long_form);
  ASSERT_TRUE(h.diffuse_map.has_value());
  EXPECT_EQ(*h.diffuse_map, "wood.png");
  EXPECT_EQ(h.name, "Oak_vr");
  ASSERT_TRUE(h.reflection_map.has_value());
  EXPECT_EQ(h.reflection_map->file, "env.tga");
  EXPECT_EQ(h.reflection_map->amount, 0.5f);
  EXPECT_FALSE(h.self_illum_map.has_value());
  EXPECT_EQ(h.flags, 0x0D);
  EXPECT_EQ(h.transparency_mode(), 1);
  EXPECT_TRUE(h.two_sided());
  EXPECT_TRUE(h.vr());
  EXPECT_EQ(h.opacity, 0.75f);
  EXPECT_EQ(s1.vertices_offset, b.at("mat1.verts"));
  ASSERT_EQ(s1.vertices.size(), 3u);
  EXPECT_EQ(s1.vertices[2].sv, 3);
  EXPECT_EQ(s1.triangles_offset, b.at("mat1.tris"));
  ASSERT_EQ(s1.triangles.size(), 1u);
  EXPECT_EQ(s1.triangles[0].index(2), 2u);
  EXPECT_TRUE(s1.triangles[0].edge(2));
}

TEST(ReadMesh, LongHeaderWithoutMaps) {
  // Byte 1 for every map; an empty material name is a lone zero.
  Bytes b;
  b.raw({8, 0}).i32(0).u8(0).i32(1);
  b.u8(1).str("").u8(1).u8(1).u8(0x02).f32(1.0f).i32(0).i32(0);
  b.str("N").str("");
  const thm::File f = thm::Read(b);
  const auto& h = Only(f).mesh()->materials.at(0).header;
  EXPECT_TRUE(h.long_form);
  EXPECT_FALSE(h.diffuse_map.has_value());
  EXPECT_EQ(h.name, "");
  EXPECT_FALSE(h.reflection_map.has_value());
  EXPECT_FALSE(h.self_illum_map.has_value());
  EXPECT_EQ(h.transparency_mode(), 2);
  EXPECT_FALSE(h.two_sided());
  EXPECT_EQ(h.opacity, 1.0f);
}

TEST(ReadMesh, SkinnedTwoBonesTwoFramesNotes) {
  const Bytes b = SkinnedMesh();
  const thm::File f = thm::Read(b);
  const thm::MeshRecord& m = *Only(f).mesh();
  EXPECT_EQ(m.name, "Body");
  EXPECT_EQ(m.parent, "");
  ASSERT_TRUE(m.skin.has_value());
  const thm::Skin& k = *m.skin;
  EXPECT_EQ(k.offset, b.at("skin"));

  ASSERT_EQ(k.bones.size(), 2u);
  EXPECT_EQ(k.bones[0].name, "Root");
  EXPECT_EQ(k.bones[0].offset, b.at("bone0"));
  EXPECT_EQ(k.bones[0].extra, (thm::Extra{0x11, 0x22, 0x33}));
  EXPECT_EQ(k.bones[0].sibling, -1);
  EXPECT_EQ(k.bones[0].parent, -1);
  EXPECT_EQ(k.bones[0].child, 1);
  const thm::Bone& arm = k.bones[1];
  EXPECT_EQ(arm.name, "Arm");
  ExpectVec(arm.matrix.rows[0], 0, 1, 0);
  ExpectVec(arm.matrix.rows[1], -1, 0, 0);
  ExpectVec(arm.matrix.rows[3], 0, 2, 0);
  EXPECT_EQ(arm.extra, (thm::Extra{0xDEADBEEF, 0, 0xFFFFFFFF}));
  EXPECT_EQ(arm.sibling, -1);
  EXPECT_EQ(arm.parent, 0);
  EXPECT_EQ(arm.child, -1);

  EXPECT_EQ(k.frames_offset, b.at("frames"));
  EXPECT_EQ(k.frame_count, 2);
  EXPECT_EQ(k.frame_rate, 30.0f);
  ASSERT_EQ(k.samples.size(), 4u);
  ExpectVec(k.sample(1, 0).matrix.rows[3], 0, 0, 1);
  ExpectVec(k.sample(1, 1).matrix.rows[3], 0, 2, 1);
  EXPECT_EQ(k.sample(0, 1).extra, (thm::Extra{4, 5, 6}));
  EXPECT_EQ(k.sample(1, 1).extra, (thm::Extra{10, 11, 12}));

  ASSERT_EQ(k.vertex_refs.size(), 3u);  // one list per position
  ASSERT_EQ(k.vertex_refs[0].refs.size(), 2u);
  EXPECT_EQ(k.vertex_refs[0].refs[0].bone, 1);
  EXPECT_EQ(k.vertex_refs[0].refs[0].weight, 0.25f);
  EXPECT_EQ(k.vertex_refs[0].refs[1].bone, 0);
  EXPECT_EQ(k.vertex_refs[0].refs[1].weight, 0.75f);
  EXPECT_EQ(k.vertex_refs[2].offset, b.at("refs.p2"));
  EXPECT_EQ(k.vertex_refs[2].refs.at(0).bone, 1);

  EXPECT_EQ(k.end_mark_offset, b.at("end"));
  EXPECT_EQ(k.end_mark, -14);
  EXPECT_EQ(k.notes_offset, b.at("notes"));
  ASSERT_EQ(k.notes.size(), 2u);
  EXPECT_EQ(k.notes[0].text, "step");
  EXPECT_EQ(k.notes[0].frame, 0);
  EXPECT_EQ(k.notes[1].text, "jump");
  EXPECT_EQ(k.notes[1].frame, 3);
  EXPECT_EQ(k.notes[1].offset, b.at("note1"));

  ASSERT_EQ(m.materials.size(), 1u);  // the record goes on after the note block
  EXPECT_EQ(m.materials[0].triangles.size(), 1u);
}

TEST(ReadMesh, WorkedSkinBlock) {
  ASSERT_EQ(WorkedSkinBlock().size(), 164u);
  const Bytes b = WorkedSkinMesh();
  const thm::File f = thm::Read(b);
  const thm::MeshRecord& m = *Only(f).mesh();
  ASSERT_TRUE(m.skin.has_value());
  const thm::Skin& k = *m.skin;
  ASSERT_EQ(k.bones.size(), 1u);
  EXPECT_EQ(k.bones[0].name, "B0");
  ExpectVec(k.bones[0].matrix.rows[0], 1, 0, 0);
  ExpectVec(k.bones[0].matrix.rows[3], 0, 0, 2);
  EXPECT_EQ(k.bones[0].extra, (thm::Extra{10, 11, 12}));
  EXPECT_EQ(k.bones[0].sibling, -1);
  EXPECT_EQ(k.bones[0].parent, -1);
  EXPECT_EQ(k.bones[0].child, -1);
  EXPECT_EQ(k.frame_count, 1);
  EXPECT_EQ(k.frame_rate, 30.0f);
  ASSERT_EQ(k.samples.size(), 1u);
  EXPECT_EQ(k.sample(0, 0).extra, (thm::Extra{13, 14, 15}));
  ASSERT_EQ(k.vertex_refs.size(), 1u);
  ASSERT_EQ(k.vertex_refs[0].refs.size(), 1u);
  EXPECT_EQ(k.vertex_refs[0].refs[0].bone, 0);
  EXPECT_EQ(k.vertex_refs[0].refs[0].weight, 1.0f);
  EXPECT_EQ(k.end_mark, -14);
  EXPECT_EQ(k.end_mark_offset, b.at("skin") + 164 - 5);
  EXPECT_TRUE(k.notes.empty());
  EXPECT_EQ(m.materials_offset, b.at("skin") + 164);
  EXPECT_TRUE(m.materials.empty());
  EXPECT_EQ(m.name, "Skinned");
}

TEST(ReadFile, RecordsInOrderWithOffsets) {
  const Bytes b = AllRecords();
  const thm::File f = thm::Read(b);
  ASSERT_EQ(f.records.size(), 5u);
  EXPECT_EQ(f.records[0].offset, b.at("omni"));
  EXPECT_EQ(f.records[1].offset, b.at("mesh"));
  EXPECT_EQ(f.records[2].offset, b.at("spot"));
  EXPECT_EQ(f.records[3].offset, b.at("skinned"));
  EXPECT_EQ(f.records[4].offset, b.at("worked"));
  for (std::size_t i = 0; i + 1 < f.records.size(); ++i)
    EXPECT_EQ(f.records[i].offset + f.records[i].size, f.records[i + 1].offset);
  EXPECT_EQ(f.records[1].mesh()->name, "Box01");
  EXPECT_EQ(f.records[3].mesh()->skin->bones.size(), 2u);
  EXPECT_TRUE(thm::Read(std::span<const std::uint8_t>()).records.empty());  // no nodes, 0 bytes
}

TEST(ReadErrors, OffsetAndExpectation) {
  struct Case {
    const char* label;
    Bytes bytes;
    std::size_t offset;
    const char* contains;
  };
  Bytes two = OmniLight();
  const std::size_t second = two.size();
  two.raw({7, 0});
  Bytes kind;
  kind.raw({8, 3});
  Bytes flag = TwoMaterialMesh();
  const std::size_t flag_at = flag.at("materials") - 1;
  flag.put_u8(flag_at, 2);
  Bytes negative = TwoMaterialMesh();
  negative.put_i32(negative.at("mat1.verts"), -3);
  Bytes hostile = TwoMaterialMesh();
  hostile.put_i32(hostile.at("positions"), 0x7FFFFFFF);
  Bytes name;
  name.raw({8, 1}).raw({'A', 'B'});
  const Case cases[] = {
      {"bad lead byte of second record", two, second, "lead byte 8"},
      {"unknown record kind", kind, 1, "record kind"},
      {"skin flag not 0 or 1", flag, flag_at, "skin flag"},
      {"negative vertex count", negative, negative.at("mat1.verts"), "negative"},
      {"huge position count", hostile, hostile.at("positions"), "needs at least"},
      {"unterminated name", name, 2, "zero-terminated light name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const thm::ParseResult r = thm::Parse(c.bytes);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->offset, c.offset);
    EXPECT_NE(r.error->what.find(c.contains), std::string::npos) << r.error->what;
    try {
      thm::Read(c.bytes);
      ADD_FAILURE() << "Read did not throw";
    } catch (const thm::ParseError& e) {
      EXPECT_EQ(e.offset(), c.offset);
      EXPECT_EQ(std::string(e.what()).rfind("offset " + std::to_string(c.offset) + ": ", 0), 0u);
    }
  }
  // Records before the fault stay readable.
  EXPECT_EQ(thm::Parse(two).file.records.size(), 1u);
}
