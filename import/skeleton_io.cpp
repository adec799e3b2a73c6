#include "import/skeleton_io.h"

#include <assimp/scene.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <assimp/IOStream.hpp>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

namespace scene::skeleton {

namespace {

// Two pieces of memory read as one file, with MemoryIOStream's rules.
class PiecesStream : public Assimp::IOStream {
 public:
  PiecesStream(std::string_view head, std::string_view tail) : head_(head), tail_(tail) {}
  size_t Read(void* buffer, size_t size, size_t count) override {
    if (!size || !count || pos_ >= FileSize()) return 0;
    const size_t n = std::min(count, (FileSize() - pos_) / size), bytes = n * size;
    auto* out = static_cast<char*>(buffer);
    for (size_t done = 0; done < bytes;) {
      const bool inHead = pos_ < head_.size();
      const std::string_view piece = inHead ? head_ : tail_;
      const size_t at = inHead ? pos_ : pos_ - head_.size();
      const size_t take = std::min(bytes - done, piece.size() - at);
      std::memcpy(out + done, piece.data() + at, take);
      done += take;
      pos_ += take;
    }
    return n;
  }
  size_t Write(const void*, size_t, size_t) override { return 0; }
  aiReturn Seek(size_t offset, aiOrigin origin) override {
    const size_t length = FileSize();
    if (origin == aiOrigin_SET) {
      if (offset > length) return AI_FAILURE;
      pos_ = offset;
    } else if (origin == aiOrigin_END) {
      if (offset > length) return AI_FAILURE;
      pos_ = length - offset;
    } else {
      if (offset + pos_ > length) return AI_FAILURE;
      pos_ += offset;
    }
    return AI_SUCCESS;
  }
  size_t Tell() const override { return pos_; }
  size_t FileSize() const override { return head_.size() + tail_.size(); }
  void Flush() override {}

 private:
  std::string_view head_, tail_;
  size_t pos_ = 0;
};

}  // namespace

Assimp::IOStream* SkeletonIO::Open(const char* f, const char* mode) {
  if (f != file_) return real_.Open(f, mode);
  ours_ = new PiecesStream(head_, tail_);
  return ours_;
}

void SkeletonIO::Close(Assimp::IOStream* s) {
  // Only the skeleton's stream is ours; the real system may hand out memory streams too.
  if (s && s == ours_) {
    delete s;
    ours_ = nullptr;
  } else {
    real_.Close(s);
  }
}

MappableStream::~MappableStream() {
  if (map_) munmap(map_, size_);
  delete inner_;
}

std::string_view MappableStream::Map() {
  if (!map_) {
    const size_t size = inner_->FileSize();
    const int fd = size ? open(path_.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return {};
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) == size) {
      void* m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (m != MAP_FAILED) {
        map_ = m;
        size_ = size;
      }
    }
    close(fd);
  }
  return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view();
}

bool WholeFile::Load(Assimp::IOSystem& io, const std::string& file) {
  Free();
  mapped_ = {io.Open(file, "rb"), [&io](Assimp::IOStream* s) { io.Close(s); }};
  if (!mapped_) return false;
  if (auto* m = dynamic_cast<MappableStream*>(mapped_.get())) bytes_ = m->Map();
  if (!bytes_.empty()) return true;
  const size_t size = mapped_->FileSize();
  read_.resize(size);
  const bool whole = mapped_->Read(read_.data(), 1, size) == size;
  mapped_.reset();
  bytes_ = read_;
  return whole;
}

void WholeFile::Free() {
  bytes_ = {};
  mapped_.reset();
  std::string().swap(read_);
}

void MoveScene(aiScene& from, aiScene& to) {
  std::swap(to.mFlags, from.mFlags);
  std::swap(to.mRootNode, from.mRootNode);
  Take(to.mMeshes, to.mNumMeshes, from.mMeshes, from.mNumMeshes);
  Take(to.mMaterials, to.mNumMaterials, from.mMaterials, from.mNumMaterials);
  Take(to.mAnimations, to.mNumAnimations, from.mAnimations, from.mNumAnimations);
  Take(to.mTextures, to.mNumTextures, from.mTextures, from.mNumTextures);
  Take(to.mLights, to.mNumLights, from.mLights, from.mNumLights);
  Take(to.mCameras, to.mNumCameras, from.mCameras, from.mNumCameras);
  Take(to.mSkeletons, to.mNumSkeletons, from.mSkeletons, from.mNumSkeletons);
  std::swap(to.mMetaData, from.mMetaData);
  std::swap(to.mName, from.mName);
}

}  // namespace scene::skeleton
