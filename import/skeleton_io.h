// What our readers share: Assimp's loader reads a skeleton of the file that
// we make (names, nodes, materials, one stand-in per run of geometry) and the
// reader fills in the geometry it read itself. See obj_reader.h, gltf_reader.h.
#pragma once

#include <assimp/BaseImporter.h>

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

struct aiScene;

namespace scene::skeleton {

// A loader's protected parts, reached as a derived class may.
struct Access : Assimp::BaseImporter {
  static void Read(Assimp::BaseImporter& b, const std::string& file, aiScene* s, Assimp::IOSystem* io) {
    (b.*(&Access::InternReadFile))(file, s, io);
  }
  static void SetProgress(Assimp::BaseImporter& b, Assimp::ProgressHandler* p) {
    b.*(&Access::m_progress) = p;
  }
};

// Serves `head` followed by `tail` in place of `file`; every other file as
// `real` does. Both pieces must outlive the streams it opens.
class SkeletonIO : public Assimp::IOSystem {
 public:
  SkeletonIO(Assimp::IOSystem& real, std::string file, std::string_view head, std::string_view tail = {})
      : real_(real), file_(std::move(file)), head_(head), tail_(tail) {}
  bool Exists(const char* f) const override { return f == file_ || real_.Exists(f); }
  char getOsSeparator() const override { return real_.getOsSeparator(); }
  Assimp::IOStream* Open(const char* f, const char* mode) override;
  void Close(Assimp::IOStream* s) override;
  bool ComparePaths(const char* a, const char* b) const override { return real_.ComparePaths(a, b); }

 private:
  Assimp::IOSystem& real_;
  std::string file_;
  std::string_view head_, tail_;
  Assimp::IOStream* ours_ = nullptr;
};

// Swaps an array and its count with another's.
template <class T>
void Take(T*& to, unsigned& toCount, T*& from, unsigned& fromCount) {
  std::swap(to, from);
  std::swap(toCount, fromCount);
}

// A file of the import's own file access: read as the stream it wraps reads
// it, or, where a reader asks, mapped whole, so that the import's largest
// input takes no memory of its own (its pages are the kernel's cache of the
// file). Takes `inner` over.
class MappableStream : public Assimp::IOStream {
 public:
  MappableStream(Assimp::IOStream* inner, std::string path) : inner_(inner), path_(std::move(path)) {}
  MappableStream(const MappableStream&) = delete;
  MappableStream& operator=(const MappableStream&) = delete;
  ~MappableStream() override;
  size_t Read(void* buffer, size_t size, size_t count) override { return inner_->Read(buffer, size, count); }
  size_t Write(const void* buffer, size_t size, size_t count) override {
    return inner_->Write(buffer, size, count);
  }
  aiReturn Seek(size_t offset, aiOrigin origin) override { return inner_->Seek(offset, origin); }
  size_t Tell() const override { return inner_->Tell(); }
  size_t FileSize() const override { return inner_->FileSize(); }
  void Flush() override { inner_->Flush(); }
  // The whole file, or an empty view where it cannot be mapped.
  std::string_view Map();

 private:
  Assimp::IOStream* inner_;
  std::string path_;
  void* map_ = nullptr;
  size_t size_ = 0;
};

// A whole file opened through `io`: mapped where `io` hands out a
// MappableStream, else read.
class WholeFile {
 public:
  // False where the file cannot be read.
  bool Load(Assimp::IOSystem& io, const std::string& file);
  std::string_view Bytes() const { return bytes_; }
  // Gives the memory back before the end of the scope.
  void Free();

 private:
  std::unique_ptr<Assimp::IOStream, std::function<void(Assimp::IOStream*)>> mapped_;
  std::string read_;
  std::string_view bytes_;
};

// Moves what a loader made of the skeleton into the scene Assimp handed us.
void MoveScene(aiScene& from, aiScene& to);

}  // namespace scene::skeleton
