// How our readers get a whole file: mapped where the import's file access
// hands out a mappable stream, read otherwise, the same bytes either way.
#include <assimp/DefaultIOSystem.h>
#include <assimp/MemoryIOWrapper.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "import/skeleton_io.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using scene::skeleton::MappableStream;
using scene::skeleton::WholeFile;

// The import's file access, as far as mapping goes.
class Mappable : public Assimp::DefaultIOSystem {
 public:
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    Assimp::IOStream* s = Assimp::DefaultIOSystem::Open(file, mode);
    return s ? new MappableStream(s, file) : nullptr;
  }
};

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919) >> 3);
  return s;
}

TEST(WholeFile, MappedAndReadGiveTheSameBytes) {
  tarntest::TempDir dir("tarn_whole");
  const std::string path = (dir.path() / "f.bin").string();
  const std::string bytes = Bytes(3 * 4096 + 17);
  std::ofstream(path, std::ios::binary) << bytes;

  Mappable mappable;
  Assimp::DefaultIOSystem plain;
  WholeFile a, b;
  ASSERT_TRUE(a.Load(mappable, path));
  ASSERT_TRUE(b.Load(plain, path));
  EXPECT_EQ(a.Bytes(), bytes);
  EXPECT_EQ(b.Bytes(), bytes);
  // Loading again replaces the bytes; Free gives them back.
  std::ofstream(path, std::ios::binary) << "short";
  ASSERT_TRUE(a.Load(mappable, path));
  EXPECT_EQ(a.Bytes(), "short");
  a.Free();
  EXPECT_TRUE(a.Bytes().empty());
  EXPECT_FALSE(a.Load(mappable, (dir.path() / "missing").string()));
  EXPECT_TRUE(a.Bytes().empty());
}

// Read as a stream, a mappable file is the file it wraps; it maps only a
// regular file whose size is still the one opened (else its reader reads it).
TEST(WholeFile, AMappableStreamReadsAsItsFileAndMapsOnlyWhatItOpened) {
  tarntest::TempDir dir("tarn_whole");
  const std::string path = (dir.path() / "f.bin").string();
  const std::string bytes = Bytes(10000);
  std::ofstream(path, std::ios::binary) << bytes;

  Mappable io;
  Assimp::IOStream* s = io.Open(path.c_str(), "rb");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->FileSize(), bytes.size());
  char head[10];
  ASSERT_EQ(s->Read(head, 1, sizeof head), sizeof head);
  EXPECT_EQ(std::string(head, sizeof head), bytes.substr(0, 10));
  EXPECT_EQ(s->Seek(100, aiOrigin_CUR), aiReturn_SUCCESS);
  EXPECT_EQ(s->Tell(), 110u);
  EXPECT_EQ(static_cast<MappableStream*>(s)->Map(), bytes);
  io.Close(s);

  // Grown since it was opened: not mapped; the whole file is read instead.
  s = io.Open(path.c_str(), "rb");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->FileSize(), bytes.size());
  std::ofstream(path, std::ios::binary | std::ios::app) << "more";
  EXPECT_TRUE(static_cast<MappableStream*>(s)->Map().empty());
  io.Close(s);
  WholeFile whole;
  ASSERT_TRUE(whole.Load(io, path));
  EXPECT_EQ(whole.Bytes(), bytes + "more");

  // An empty file has nothing to map and reads as empty.
  std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
  ASSERT_TRUE(whole.Load(io, path));
  EXPECT_TRUE(whole.Bytes().empty());
}

// Files given in memory are read through their own streams.
TEST(WholeFile, AFileInMemoryIsRead) {
  const std::string bytes = Bytes(777);
  Assimp::MemoryIOSystem io(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nullptr);
  WholeFile whole;
  ASSERT_TRUE(whole.Load(io, AI_MEMORYIO_MAGIC_FILENAME));
  EXPECT_EQ(whole.Bytes(), bytes);
}

}  // namespace
