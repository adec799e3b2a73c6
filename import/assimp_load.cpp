#include "import/assimp_load.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string_view>

#include "import/assimp_repair.h"
#include "import/gltf_reader.h"
#include "import/import.h"
#include "import/obj_reader.h"
#include "import/reach.h"
#include "import/skeleton_io.h"

namespace scene::assimp {

namespace {

namespace fs = std::filesystem;

// Assimp's log, caught while one file loads. Errors come back as warnings;
// those saying that Assimp dropped malformed faces make the import fail.
bool IsMalformedGeometry(const std::string& message);

class LogCatcher : public Assimp::LogStream {
 public:
  explicit LogCatcher(bool drops = false) : onlyDrops(drops) {}
  std::vector<std::string> errors;
  bool onlyDrops;  // keep only the lines that say faces were dropped
  void write(const char* message) override {
    std::string m = OneLine(message ? message : "");
    // Assimp prefixes "Error, T0: " or "Warn,  T0: ".
    if (auto p = m.find(": ");
        p != std::string::npos && (m.rfind("Error", 0) == 0 || m.rfind("Warn", 0) == 0))
      m = m.substr(p + 2);
    if (!onlyDrops || IsMalformedGeometry(m)) errors.push_back(m);
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
    // Some loaders drop faces with a warning only.
    drops_ = new LogCatcher(true);
    Assimp::DefaultLogger::get()->attachStream(drops_, Assimp::Logger::Warn);
  }
  ~AssimpLog() {
    Assimp::DefaultLogger::get()->detachStream(stream_, Assimp::Logger::Err);
    Assimp::DefaultLogger::get()->detachStream(drops_, Assimp::Logger::Warn);
    delete stream_;
    delete drops_;
    if (owned_) Assimp::DefaultLogger::kill();
  }
  const std::vector<std::string>& Errors() const { return stream_->errors; }
  const std::vector<std::string>& Drops() const { return drops_->errors; }

 private:
  LogCatcher* stream_ = nullptr;
  LogCatcher* drops_ = nullptr;
  bool owned_ = false;
};

// Assimp's own file access, noting every file it opens: the files an export
// depends on (a glTF's buffers, an OBJ's materials). With readable folders
// given, a file outside them is neither found nor opened, and the first such
// reference is kept to be named.
class RecordingIOSystem : public Assimp::DefaultIOSystem {
 public:
  explicit RecordingIOSystem(std::vector<std::string> readable) : readable_(std::move(readable)) {}
  bool Exists(const char* file) const override {
    if (!Allowed(file)) {
      Refuse(file);
      return false;
    }
    return Assimp::DefaultIOSystem::Exists(file);
  }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    if (!Allowed(file)) {
      Refuse(file);
      return nullptr;
    }
    Assimp::IOStream* s = Assimp::DefaultIOSystem::Open(file, mode);
    if (!s || !file) return s;
    if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
    // Our readers map the file they read whole (Assimp reads only).
    return new skeleton::MappableStream(s, file);
  }
  std::vector<std::string> files;
  mutable std::string refused;

 private:
  // A loader probes several places for a companion: a place probed in vain
  // is no reference, a file that is there is refused. (Asked without opening
  // it, which the import child could not.)
  void Refuse(const char* file) const {
    std::error_code ec;
    if (refused.empty() && fs::exists(file, ec)) refused = file;
  }
  bool Allowed(const char* file) const { return readable_.empty() || !file || Beneath(file, readable_); }
  std::vector<std::string> readable_;
};

bool IsMalformedGeometry(const std::string& message) {
  std::string m = message;
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* p : {"empty face", "zero indices", "invalid face index", "out-of-range indices"})
    if (m.find(p) != std::string::npos) return true;
  return false;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string Count(double n) {
  return n >= 9.2e18 ? "more than 9e18" : std::to_string(static_cast<long long>(n));
}

// The least number of bytes one value of a PLY property takes.
double PlyValueBytes(const std::string& type, bool ascii) {
  if (ascii) return 2;  // a digit and a separator
  if (type == "char" || type == "uchar" || type == "int8" || type == "uint8") return 1;
  if (type == "short" || type == "ushort" || type == "int16" || type == "uint16") return 2;
  if (type == "double" || type == "float64") return 8;
  return 4;
}

// Assimp sizes its arrays from the counts of an OFF or PLY header before it
// reads the data, and a PLY body far shorter than its header says keeps it
// busy for minutes: counts that the file cannot possibly hold are refused
// here instead. `head` is the start of the file, `size` its whole length.
void CheckHeaderCounts(const std::string& label, const std::string& ext, std::string_view head, double size) {
  std::istringstream in{std::string(head)};
  if (ext == "off") {
    std::string word;
    in >> word;  // OFF, COFF, NOFF, ...: the counts follow, perhaps on the same line
    if (word.find("OFF") == std::string::npos) return;
    double vertices = 0, faces = 0;
    if (!(in >> vertices >> faces)) return;
    // A vertex takes at least 6 bytes ("0 0 0\n"), a face at least 8.
    if (vertices * 6 > size || faces * 8 > size)
      Fail(label, "the header's counts (" + Count(vertices) + " vertices, " + Count(faces) +
                      " faces) exceed what the file holds");
    return;
  }
  if (ext != "ply") return;
  std::string line, word;
  if (!std::getline(in, line) || line.rfind("ply", 0) != 0) return;
  bool ascii = false;
  double need = 0, elementBytes = 0, count = 0;
  std::string claims;
  auto closeElement = [&] {
    need += count * elementBytes;
    elementBytes = 0;
  };
  while (std::getline(in, line)) {
    std::istringstream words(line);
    words >> word;
    if (word == "format") {
      words >> word;
      ascii = word == "ascii";
    } else if (word == "element") {
      closeElement();
      std::string name;
      if (!(words >> name >> count) || !(count >= 0)) return;
      claims += (claims.empty() ? "" : ", ") + Count(count) + " " + name;
    } else if (word == "property") {
      std::string type;
      words >> type;
      if (type == "list") words >> type;  // the length's type; a list may be empty
      elementBytes += PlyValueBytes(type, ascii);
    } else if (word == "end_header") {
      closeElement();
      const double body = size - double(in.tellg() < 0 ? size : double(in.tellg()));
      // The last value of an ASCII file needs no separator.
      if (need - (ascii ? 1 : 0) > body)
        Fail(label, "the header's counts (" + claims + ") exceed what the file holds");
      return;
    }
  }
}

// The head of a file, enough for any header we check.
std::string Head(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(64 * 1024, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  return head;
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

namespace {

// Assimp's read, then the checks every loaded scene passes.
template <class Read>
Loaded Finish(const std::string& path, const std::vector<std::string>& readable, int threads, Read read) {
  Loaded l;
  l.importer = std::make_unique<Assimp::Importer>();
  // One node per source node: FBX pivots are folded into the node transform.
  l.importer->SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // Our OBJ and glTF readers, unless Assimp's own are asked for (to compare);
  // "strict": only ours, failing where they would hand a file to Assimp.
  const char* reader = std::getenv("TARN_OBJ_READER");
  const std::string_view which = reader ? reader : "";
  l.hints = std::make_shared<WeldHints>();
  if (which != "assimp") obj::Install(*l.importer, which == "strict", l.hints, threads);
  const char* glb = std::getenv("TARN_GLTF_READER");
  const std::string_view glbWhich = glb ? glb : "";
  if (glbWhich != "assimp") gltf::Install(*l.importer, glbWhich == "strict");
  auto* io = new RecordingIOSystem(readable);  // the importer owns it
  l.importer->SetIOHandler(io);
  AssimpLog log;
  // Harmless faults are repaired between the loader and Assimp's checks,
  // which must pass before any other step trusts the scene's indices.
  l.scene = read(*l.importer, 0u);
  if (l.scene) {
    l.repairs = Repair(*const_cast<aiScene*>(l.scene));
    l.scene = l.importer->ApplyPostProcessing(aiProcess_ValidateDataStructure | aiProcess_Triangulate |
                                              aiProcess_SortByPType);
  }
  l.errors = log.Errors();
  l.files = io->files;
  if (!io->refused.empty())
    Fail(path, "refers to " + io->refused +
                   ", outside the folders it may read (its own; thmexport --allow-path DIR adds one)");
  if (!l.scene) {
    std::string why = l.importer->GetErrorString();
    // Assimp turns every exception into its error text, running out of memory too.
    if (why.find("bad_alloc") != std::string::npos) throw std::bad_alloc();
    Fail(path, why.empty() ? "Assimp cannot read it" : why);
  }
  for (const std::string& e : l.errors)
    if (IsMalformedGeometry(e)) Fail(path, e);
  for (const std::string& e : log.Drops()) Fail(path, e);
  if (!l.scene->mRootNode) Fail(path, "no scene graph");
  return l;
}

}  // namespace

Loaded Load(const std::string& path, const std::vector<std::string>& readable, int threads) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) Fail(path, "no such file");
  std::string ext = Lower(fs::path(path).extension().string());
  if (ext == ".off" || ext == ".ply")
    CheckHeaderCounts(path, ext.substr(1), Head(path), double(fs::file_size(path, ec)));
  return Finish(path, readable, threads,
                [&](Assimp::Importer& imp, unsigned flags) { return imp.ReadFile(path, flags); });
}

Loaded LoadMemory(const void* data, size_t size, const std::string& hint, const std::string& label) {
  CheckHeaderCounts(label, Lower(hint), {static_cast<const char*>(data), std::min<size_t>(size, 64 * 1024)},
                    double(size));
  return Finish(label, {}, 1, [&](Assimp::Importer& imp, unsigned flags) {
    return imp.ReadFileFromMemory(data, size, flags, hint.c_str());
  });
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
