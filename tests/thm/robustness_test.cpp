#include <gtest/gtest.h>

#include <random>

#include "tests/thm/samples.h"
#include "thm/check.h"
#include "thm/reader.h"

using namespace thmtest;
using tarntest::Bytes;

namespace {

// Each buffer alone, so every proper prefix except the empty one cuts a record.
std::vector<Bytes> Singles() {
  return {OmniLight(), SpotLight(), TwoMaterialMesh(), SkinnedMesh(), WorkedSkinMesh()};
}

}  // namespace

TEST(Robustness, EveryTruncationIsAnError) {
  for (const Bytes& whole : Singles()) {
    const auto& data = whole.data();
    for (std::size_t n = 1; n < data.size(); ++n) {
      // A fresh allocation of exactly n bytes, so a sanitizer catches any read past it.
      const std::vector<std::uint8_t> cut(data.begin(), data.begin() + n);
      const thm::ParseResult r = thm::Parse(cut);
      ASSERT_TRUE(r.error.has_value()) << "prefix " << n << " of " << data.size();
      EXPECT_TRUE(r.file.records.empty());
      EXPECT_LE(r.error->offset, n);
      EXPECT_TRUE(thm::Check(cut).has_value());
    }
  }
}

TEST(Robustness, TruncatedFileKeepsEarlierRecords) {
  const Bytes all = AllRecords();
  const std::size_t last = all.at("worked");
  for (std::size_t n = last + 1; n < all.size(); ++n) {
    const std::vector<std::uint8_t> bytes = all.data();
    const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + n);
    const thm::ParseResult r = thm::Parse(cut);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.file.records.size(), 4u);
    EXPECT_GE(r.error->offset, last);
  }
}

TEST(Robustness, HostileCountsAreRefusedBeforeAllocating) {
  struct Case {
    const char* label;
    Bytes bytes;
    std::size_t at;
  };
  std::vector<Case> cases;
  {
    Bytes b = TwoMaterialMesh();
    cases.push_back({"material count", b.put_i32(b.at("materials"), 0x7FFFFFFF), b.at("materials")});
  }
  {
    Bytes b = TwoMaterialMesh();
    cases.push_back({"triangle count", b.put_i32(b.at("mat1.tris"), 0x7FFFFFFF), b.at("mat1.tris")});
  }
  {
    Bytes b = SkinnedMesh();
    cases.push_back({"bone count", b.put_i32(b.at("skin"), 0x7FFFFFFF), b.at("skin")});
  }
  {
    Bytes b = SkinnedMesh();
    cases.push_back({"frame count", b.put_i32(b.at("frames"), 0x7FFFFFFF), b.at("frames")});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.label);
    const thm::ParseResult r = thm::Parse(c.bytes);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->offset, c.at) << r.error->what;
  }
  // No bones: a huge frame count costs no bytes and no memory, and the rest still reads.
  Bytes b;
  b.raw({8, 0}).i32(1).vec3(0, 0, 0).u8(1).i32(0).i32(0x7FFFFFFF).f32(30);
  b.i32(-1).i32(-14).u8(0).i32(0).str("N").str("");
  const thm::ParseResult r = thm::Parse(b);
  ASSERT_FALSE(r.error.has_value()) << r.error->what;
  EXPECT_EQ(r.file.records.at(0).mesh()->skin->frame_count, 0x7FFFFFFF);
  EXPECT_TRUE(r.file.records.at(0).mesh()->skin->samples.empty());
}

TEST(Robustness, CorruptBytesNeverCrash) {
  const Bytes all = AllRecords();
  std::mt19937 rng(20261208);
  static const std::uint8_t kNasty[] = {0x00, 0x01, 0x08, 0x7F, 0x80, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> data = all.data();
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % data.size();
      switch (rng() % 3) {
        case 0:
          data[at] ^= std::uint8_t(1u << (rng() % 8));
          break;
        case 1:
          data[at] = kNasty[rng() % std::size(kNasty)];
          break;
        default:  // a hostile count somewhere
          for (std::size_t i = at; i < at + 4 && i < data.size(); ++i) data[i] = i == at + 3 ? 0x7F : 0xFF;
      }
    }
    if (rng() % 4 == 0) data.resize(rng() % data.size());
    data.shrink_to_fit();
    const thm::ParseResult r = thm::Parse(data);
    if (r.error) {
      ASSERT_LE(r.error->offset, data.size());
    }
    const auto p = thm::Check(data);
    if (p) {
      ASSERT_LE(p->offset, data.size());
    }
    if (!r.error) {
      std::size_t end = 0;
      for (const auto& rec : r.file.records) {
        ASSERT_EQ(rec.offset, end);
        end += rec.size;
      }
      ASSERT_EQ(end, data.size());
    }
  }
}
