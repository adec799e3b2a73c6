// The C API as an engine uses it: worked values of hand-assembled records, the
// memory bound, refusals and their offsets equal to the C++ reader's.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/thm/samples.h"
#include "thm/check.h"
#include "thm/reader.h"
#include "thm/thm.h"

using namespace thmtest;

namespace {

struct Read {
  thm_file* file = nullptr;
  thm_error error{};
  thm_result rc;
  Read(const Bytes& b, thm_options options = {}) {
    rc = thm_read_memory(b.str().data(), b.size(), &options, &file, &error);
  }
  ~Read() { thm_free(file); }
};

TEST(CApi, SkinnedMeshGivesItsFieldsArraysAndOffsets) {
  const Bytes b = SkinnedMesh();
  Read r(b);
  ASSERT_EQ(r.rc, THM_OK) << r.error.message;
  ASSERT_EQ(thm_record_count(r.file), 1u);
  EXPECT_EQ(thm_record_kind_of(r.file, 0), THM_MESH);

  thm_mesh m;
  ASSERT_EQ(thm_get_mesh(r.file, 0, &m), THM_OK);
  EXPECT_STREQ(m.name, "Body");
  EXPECT_STREQ(m.parent, "");
  EXPECT_EQ(m.offset, 0u);
  EXPECT_EQ(m.size, b.size());
  ASSERT_EQ(m.position_count, 3u);
  EXPECT_EQ(m.positions[2].x, 1.0f);
  EXPECT_EQ(m.positions[1].y, 1.0f);
  EXPECT_EQ(m.name_offset, b.at("name"));
  EXPECT_TRUE(m.has_skin);

  thm_skin k;
  ASSERT_EQ(thm_get_skin(r.file, 0, &k), THM_OK);
  EXPECT_EQ(k.bone_count, 2u);
  EXPECT_EQ(k.frame_count, 2);
  EXPECT_EQ(k.frame_rate, 30.0f);
  EXPECT_EQ(k.offset, b.at("skin"));
  EXPECT_EQ(k.frames_offset, b.at("frames"));
  EXPECT_EQ(k.end_mark, -14);
  EXPECT_EQ(k.end_mark_offset, b.at("end"));
  // Frame 1, bone 1: translation (0, 2, 1), extra 10, 11, 12.
  const thm_sample& s = k.samples[1 * k.bone_count + 1];
  EXPECT_EQ(s.matrix.rows[3].y, 2.0f);
  EXPECT_EQ(s.matrix.rows[3].z, 1.0f);
  EXPECT_EQ(s.extra[0], 10u);
  EXPECT_EQ(s.extra[2], 12u);

  thm_bone bone;
  ASSERT_EQ(thm_get_bone(r.file, 0, 1, &bone), THM_OK);
  EXPECT_STREQ(bone.name, "Arm");
  EXPECT_EQ(bone.offset, b.at("bone1"));
  EXPECT_EQ(bone.parent, 0);
  EXPECT_EQ(bone.sibling, -1);
  EXPECT_EQ(bone.matrix.rows[1].x, -1.0f);
  EXPECT_EQ(bone.extra[0], 0xDEADBEEFu);

  thm_bone_refs refs;
  ASSERT_EQ(thm_get_bone_refs(r.file, 0, 0, &refs), THM_OK);
  ASSERT_EQ(refs.count, 2u);
  EXPECT_EQ(refs.offset, b.at("refs"));
  EXPECT_EQ(refs.refs[0].bone, 1);
  EXPECT_EQ(refs.refs[0].weight, 0.25f);
  EXPECT_EQ(refs.refs[1].weight, 0.75f);
  ASSERT_EQ(thm_get_bone_refs(r.file, 0, 2, &refs), THM_OK);
  EXPECT_EQ(refs.offset, b.at("refs.p2"));

  thm_note n;
  ASSERT_EQ(thm_get_note(r.file, 0, 1, &n), THM_OK);
  EXPECT_STREQ(n.text, "jump");
  EXPECT_EQ(n.frame, 3);
  EXPECT_EQ(n.offset, b.at("note1"));

  thm_material mat;
  ASSERT_EQ(thm_get_material(r.file, 0, 0, &mat), THM_OK);
  EXPECT_FALSE(mat.long_form);
  ASSERT_EQ(mat.vertex_count, 3u);
  EXPECT_EQ(mat.vertices[1].position, 1);
  EXPECT_EQ(mat.vertices[1].v, 1.0f);
  EXPECT_EQ(mat.vertices[2].normal.z, -1.0f);
  ASSERT_EQ(mat.triangle_count, 1u);
  EXPECT_EQ(THM_CORNER_INDEX(mat.triangles[0].corners[2]), 2u);
  EXPECT_EQ(mat.triangles[0].normal.z, -1.0f);
  EXPECT_EQ(mat.triangles_offset, mat.vertices_offset + 4 + 3 * 24);
}

TEST(CApi, HeadersLightsAndWrongKindsOrIndices) {
  Bytes all = TwoMaterialMesh();
  const std::size_t spot_at = all.size();
  all.append(SpotLight());
  all.append(OmniLight());
  Read r(all);
  ASSERT_EQ(r.rc, THM_OK);
  ASSERT_EQ(thm_record_count(r.file), 3u);

  thm_material mat;
  ASSERT_EQ(thm_get_material(r.file, 0, 1, &mat), THM_OK);
  EXPECT_TRUE(mat.long_form);
  const thm::File model = thm::Read(all);
  const thm::MaterialHeader& h = model.records[0].mesh()->materials[1].header;
  EXPECT_STREQ(mat.name, h.name.c_str());
  EXPECT_EQ(mat.flags, h.flags);
  EXPECT_EQ(mat.opacity, h.opacity);
  EXPECT_EQ(mat.diffuse_map != nullptr, h.diffuse_map.has_value());
  EXPECT_EQ(mat.self_illum_map != nullptr, h.self_illum_map.has_value());

  thm_light spot, omni;
  EXPECT_EQ(thm_record_kind_of(r.file, 1), THM_SPOT);
  ASSERT_EQ(thm_get_light(r.file, 1, &spot), THM_OK);
  EXPECT_EQ(spot.offset, spot_at);
  EXPECT_STREQ(spot.name, "Spot01");
  EXPECT_STREQ(spot.parent, "Rig");
  EXPECT_EQ(spot.falloff, model.records[1].light()->spot->falloff);
  ASSERT_EQ(thm_get_light(r.file, 2, &omni), THM_OK);
  EXPECT_EQ(omni.parent, nullptr);
  EXPECT_EQ(omni.range_end, 1e13f);
  EXPECT_EQ(omni.offset + omni.size, all.size());

  thm_mesh m;
  EXPECT_EQ(thm_get_mesh(r.file, 1, &m), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_get_light(r.file, 0, &spot), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_get_skin(r.file, 0, nullptr), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_get_material(r.file, 0, 2, &mat), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_get_mesh(r.file, 3, &m), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_get_mesh(nullptr, 0, &m), THM_INVALID_ARGUMENT);
  EXPECT_EQ(thm_record_count(nullptr), 0u);
  thm_file* none = reinterpret_cast<thm_file*>(1);
  EXPECT_EQ(thm_read_memory(nullptr, 4, nullptr, &none, nullptr), THM_INVALID_ARGUMENT);
  thm_error e;
  EXPECT_EQ(thm_read_path("/nonexistent/x.thm", nullptr, &none, &e), THM_IO);
  EXPECT_EQ(none, nullptr);
  EXPECT_NE(std::strstr(e.message, "cannot open /nonexistent/x.thm"), nullptr);
  EXPECT_EQ(thm_version(), THM_VERSION);
}

// Every cut and every flipped byte: the C API stops where the C++ reader does,
// keeps the records read before, and with check on finds what Check finds.
TEST(CApi, RefusalsMatchTheReaderOnCutAndDamagedFiles) {
  const Bytes all = AllRecords();
  std::mt19937 rng(7);
  for (int round = 0; round < 600; ++round) {
    std::string s = all.str();
    if (round < 200) {
      s.resize(rng() % s.size());
    } else {
      s[rng() % s.size()] = char(rng());
      if (round % 2) s[rng() % s.size()] = char(0xFF);
    }
    const auto span = tarntest::AsSpan(s);
    const thm::ParseResult want = thm::Parse(span);
    thm_options plain{}, checked{0, 1};
    thm_file* f = nullptr;
    thm_error e;
    const thm_result rc = thm_read_memory(s.data(), s.size(), &plain, &f, &e);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(thm_record_count(f), want.file.records.size());
    if (want.error) {
      ASSERT_EQ(rc, THM_MALFORMED);
      EXPECT_EQ(e.offset, want.error->offset);
      EXPECT_EQ(e.message, want.error->what);
    } else {
      EXPECT_EQ(rc, THM_OK);
    }
    thm_free(f);

    const auto problem = thm::Check(span);
    EXPECT_EQ(thm_read_memory(s.data(), s.size(), &checked, &f, &e), problem ? THM_MALFORMED : THM_OK);
    if (problem) {
      EXPECT_EQ(e.offset, problem->offset) << round;
    }
    thm_free(f);
  }
}

TEST(CApi, MemoryLimitRefusesBeforeAllocating) {
  // A count the bytes could hold but the limit cannot: 100,000 positions, 1.2 MB.
  Bytes big;
  big.raw({8, 0}).i32(100000);
  for (int i = 0; i < 100000; ++i) big.vec3(float(i), 0, 0);
  big.u8(0).i32(0).str("Big").str("");
  thm_options tight{500000, 0}, enough{4000000, 0};
  thm_file* f = nullptr;
  thm_error e;
  EXPECT_EQ(thm_read_memory(big.str().data(), big.size(), &tight, &f, &e), THM_MEMORY);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(e.offset, 2u);  // the position count
  EXPECT_NE(std::strstr(e.message, "limit"), nullptr);
  ASSERT_EQ(thm_read_memory(big.str().data(), big.size(), &enough, &f, &e), THM_OK);
  thm_free(f);

  // Whatever the file, a limit holds: a hostile frame count with bones is refused by the limit or the bytes.
  Bytes skin = SkinnedMesh();
  skin.put_i32(skin.at("frames"), 0x7FFFFFFF);
  EXPECT_EQ(thm_read_memory(skin.str().data(), skin.size(), &tight, &f, &e), THM_MALFORMED);
  thm_free(f);
}

}  // namespace
