#include "scene/assimp_load.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "scene/import.h"

namespace scene::assimp {

namespace {

namespace fs = std::filesystem;

// Assimp's log, caught while one file loads. Errors come back as warnings;
// those saying that Assimp dropped malformed faces make the import fail.
class LogCatcher : public Assimp::LogStream {
 public:
  std::vector<std::string> errors;
  void write(const char* message) override {
    std::string m = OneLine(message ? message : "");
    // Assimp prefixes "Error, T0: ".
    if (auto p = m.find(": "); p != std::string::npos && m.rfind("Error", 0) == 0) m = m.substr(p + 2);
    errors.push_back(m);
  }
};

class AssimpLog {
 public:
  AssimpLog() {
    if (Assimp::DefaultLogger::isNullLogger()) {
      Assimp::DefaultLogger::create("", Assimp::Logger::NORMAL, 0);
      owned_ = true;
    }
    stream_ = new LogCatcher;
    Assimp::DefaultLogger::get()->attachStream(stream_, Assimp::Logger::Err);
  }
  ~AssimpLog() {
    Assimp::DefaultLogger::get()->detachStream(stream_, Assimp::Logger::Err);
    delete stream_;
    if (owned_) Assimp::DefaultLogger::kill();
  }
  const std::vector<std::string>& Errors() const { return stream_->errors; }

 private:
  LogCatcher* stream_ = nullptr;
  bool owned_ = false;
};

// Assimp's own file access, noting every file it opens: the files an export
// depends on (a glTF's buffers, an OBJ's materials).
class RecordingIOSystem : public Assimp::DefaultIOSystem {
 public:
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    Assimp::IOStream* s = Assimp::DefaultIOSystem::Open(file, mode);
    if (s && file && std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
    return s;
  }
  std::vector<std::string> files;
};

bool IsMalformedGeometry(const std::string& message) {
  std::string m = message;
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* p : {"empty face", "zero indices", "invalid face index"})
    if (m.find(p) != std::string::npos) return true;
  return false;
}

// Assimp sizes its arrays from an OFF header's counts before reading them: a
// count that the file cannot possibly hold is refused here instead.
void CheckOffHeader(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext != ".off") return;
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return;
  std::ifstream in(path);
  std::string word;
  in >> word;  // OFF, COFF, NOFF, ...: the counts follow, perhaps on the same line
  if (word.find("OFF") == std::string::npos) return;
  double vertices = 0, faces = 0;
  if (!(in >> vertices >> faces)) return;
  // A vertex takes at least 6 bytes ("0 0 0\n"), a face at least 8.
  if (vertices * 6 > double(size) || faces * 8 > double(size))
    Fail(path, "the header's counts (" + std::to_string(static_cast<long long>(vertices)) + " vertices, " +
                   std::to_string(static_cast<long long>(faces)) + " faces) exceed what the file holds");
}

}  // namespace

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void Fail(const std::string& file, const std::string& what) {
  throw ImportError(OneLine(file + ": " + what));
}

std::string Str(const aiString& s) {
  return std::string(s.C_Str(), s.length);
}

Loaded::Loaded() = default;
Loaded::Loaded(Loaded&&) noexcept = default;
Loaded::~Loaded() = default;

Loaded Load(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) Fail(path, "no such file");
  CheckOffHeader(path);
  Loaded l;
  l.importer = std::make_unique<Assimp::Importer>();
  // One node per source node: FBX pivots are folded into the node transform.
  l.importer->SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  auto* io = new RecordingIOSystem;  // the importer owns it
  l.importer->SetIOHandler(io);
  AssimpLog log;
  l.scene = l.importer->ReadFile(
      path, aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_ValidateDataStructure);
  l.errors = log.Errors();
  l.files = io->files;
  if (!l.scene) {
    std::string why = l.importer->GetErrorString();
    Fail(path, why.empty() ? "Assimp cannot read it" : why);
  }
  for (const std::string& e : l.errors)
    if (IsMalformedGeometry(e)) Fail(path, e);
  if (!l.scene->mRootNode) Fail(path, "no scene graph");
  return l;
}

double MetaNumber(const aiMetadata* md, const char* key, bool* found) {
  *found = false;
  if (!md) return 0;
  for (unsigned i = 0; i < md->mNumProperties; ++i) {
    if (std::strcmp(md->mKeys[i].C_Str(), key) != 0) continue;
    const aiMetadataEntry& e = md->mValues[i];
    if (!e.mData) return 0;
    *found = true;
    switch (e.mType) {
      case AI_BOOL:
        return *static_cast<bool*>(e.mData) ? 1 : 0;
      case AI_INT32:
        return *static_cast<int32_t*>(e.mData);
      case AI_UINT64:
        return double(*static_cast<uint64_t*>(e.mData));
      case AI_FLOAT:
        return *static_cast<float*>(e.mData);
      case AI_DOUBLE:
        return *static_cast<double*>(e.mData);
      default:
        *found = false;
        return 0;
    }
  }
  return 0;
}

Matrix3 ToHost(const aiMatrix4x4& m) {
  // Assimp maps column vectors; the host's rows are the images of the axes.
  return Matrix3(Point3(m.a1, m.b1, m.c1), Point3(m.a2, m.b2, m.c2), Point3(m.a3, m.b3, m.c3),
                 Point3(m.a4, m.b4, m.c4));
}

}  // namespace scene::assimp
