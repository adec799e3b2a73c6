// What our readers share: Assimp's loader reads a skeleton of the file that
// we make (names, nodes, materials, one stand-in per run of geometry) and the
// reader fills in the geometry it read itself. See obj_reader.h, gltf_reader.h.
#pragma once

#include <assimp/BaseImporter.h>

#include <assimp/IOSystem.hpp>
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

// Reads a whole file through `io`; false where it cannot.
bool ReadWhole(Assimp::IOSystem& io, const std::string& file, std::string& bytes);

// Moves what a loader made of the skeleton into the scene Assimp handed us.
void MoveScene(aiScene& from, aiScene& to);

}  // namespace scene::skeleton
