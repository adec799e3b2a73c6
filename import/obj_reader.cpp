#include "import/obj_reader.h"

#include <assimp/BaseImporter.h>
#include <assimp/fast_atof.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <unordered_set>

#include "import/skeleton_io.h"

namespace scene::obj {

namespace {

// fast_atof's exception for text it cannot read; never thrown for the numbers
// we pass, and Assimp's own is not exported from its library.
struct NotANumber : std::runtime_error {
  template <class... T>
  explicit NotANumber(T&&...) : std::runtime_error("not a number") {}
};

bool Blank(char c) {
  return c == ' ' || c == '\t';
}
bool Digit(char c) {
  return c >= '0' && c <= '9';
}

// Assimp ends a line at these, and joins lines at a backslash before one.
bool Unusual(std::string_view line) {
  for (char c : line)
    if (c == '\0' || c == '\f' || c == '\r' || c == '\\') return true;
  return false;
}

// The next token of `s` from `at` (tokens are split by spaces and tabs).
std::string_view Token(std::string_view s, size_t& at) {
  while (at < s.size() && Blank(s[at])) ++at;
  const size_t begin = at;
  while (at < s.size() && !Blank(s[at])) ++at;
  return s.substr(begin, at - begin);
}

// A number Assimp counts as a component and reads with fast_atof exactly as
// written: [+-]digits[.digits][(e|E)[+-]digits].
bool Number(std::string_view t, float* out) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
  const size_t digits = i;
  while (i < t.size() && Digit(t[i])) ++i;
  // fast_atof warns of more whole digits than 64 bits hold.
  if (i == digits || i - digits > 18) return false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && Digit(t[i])) ++i;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
    const size_t exp = i;
    while (i < t.size() && Digit(t[i])) ++i;
    if (i == exp || i - exp > 4) return false;
  }
  if (i != t.size() || t.size() > 60) return false;
  char buf[64];
  std::memcpy(buf, t.data(), t.size());
  buf[t.size()] = '\0';
  *out = Assimp::fast_atof<NotANumber>(buf);
  return true;
}

// Reads up to `most` numbers; the count, or -1 when a token is not one.
int Numbers(std::string_view line, size_t at, float* out, int most) {
  int count = 0;
  for (;;) {
    const std::string_view t = Token(line, at);
    if (t.empty()) return count;
    if (count == most || !Number(t, &out[count])) return -1;
    ++count;
  }
}

// A face index as atoi reads it and Assimp steps over it: -?[1-9][0-9]{0,8}.
bool Index(std::string_view t, size_t& i, int* out) {
  const bool negative = i < t.size() && t[i] == '-';
  if (negative) ++i;
  if (i >= t.size() || t[i] < '1' || t[i] > '9') return false;
  int value = 0, digits = 0;
  while (i < t.size() && Digit(t[i])) {
    if (++digits > 9) return false;
    value = value * 10 + (t[i++] - '0');
  }
  *out = negative ? -value : value;
  return true;
}

class Reader {
 public:
  explicit Reader(Geometry& g) : g_(g) {}

  void Line(std::string_view line, size_t number) {
    if (line.empty()) return;
    const char c = line[0];
    const char c1 = line.size() > 1 ? line[1] : '\0';
    if (c == 'v' && Blank(c1)) {
      float x[6];
      const int k = Numbers(line, 1, x, 6);
      if (k != 3 && k != 6) return Refuse(number, "a vertex that is not 3 or 6 plain numbers");
      g_.positions.insert(g_.positions.end(), x, x + 3);
      if (k == 6) g_.colors.insert(g_.colors.end(), x + 3, x + 6);
    } else if (c == 'v' && c1 == 't') {
      float x[3] = {0, 0, 0};
      const int k = line.size() > 2 && Blank(line[2]) ? Numbers(line, 2, x, 3) : -1;
      if (k != 2 && k != 3) return Refuse(number, "a texture coordinate that is not 2 or 3 plain numbers");
      // Assimp makes a texture coordinate that overflows a float 0 (positions and normals it keeps).
      for (float& value : x)
        if (!std::isfinite(value)) value = 0;
      g_.uvs.insert(g_.uvs.end(), x, x + 3);
      g_.uvDim = std::max(g_.uvDim, unsigned(k));
    } else if (c == 'v' && c1 == 'n') {
      float x[3];
      if (!(line.size() > 2 && Blank(line[2]) && Numbers(line, 2, x, 3) == 3))
        return Refuse(number, "a normal that is not 3 plain numbers");
      g_.normals.insert(g_.normals.end(), x, x + 3);
    } else if (c == 'f' && Blank(c1)) {
      Face(line, number);
    } else if (c == 'f' || c == 'l' || c == 'p' || c == 'c') {
      return Refuse(number, "a statement other than a face, or a line, point or curve");
    } else if (c == 'o' || c == 'g' || c == 'u' || c == 'm') {
      // Nodes, meshes and materials: Assimp reads these itself.
      if (Unusual(line)) return Refuse(number, "a control character or line continuation");
      if (c == 'o' && ObjectLine(line)) return;
      if (c == 'g') groupsToo_ = true;
      g_.skeleton.append(line);
      g_.skeleton += '\n';
      runOpen_ = false;
    } else if (Unusual(line)) {
      return Refuse(number, "a control character or line continuation");
    }
  }

  void Finish() {
    if (!g_.why.empty()) return;
    if (g_.faceHas.empty()) return Refuse(0, "no faces");
    const size_t vs = g_.positions.size() / 3, ts = g_.uvs.size() / 3, ns = g_.normals.size() / 3;
    for (size_t f = 0; f < g_.faceHas.size(); ++f)
      for (uint32_t k = g_.faceStart[f]; k < g_.faceStart[f + 1]; ++k) {
        if (g_.v[k] >= vs) return Refuse(0, "a vertex index out of range");
        if ((g_.faceHas[f] & 1) && ts && g_.t[k] >= ts)
          return Refuse(0, "a texture coordinate index out of range");
        if ((g_.faceHas[f] & 2) && ns && g_.n[k] >= ns) return Refuse(0, "a normal index out of range");
      }
    const size_t runs = g_.runStart.size();
    if (runs > (1u << 24)) return Refuse(0, "too many runs of faces");
    g_.runStart.push_back(uint32_t(g_.faceHas.size()));
    // Stand-in vertices: a run's number is its vertex's x.
    for (size_t r = 1; r <= runs; ++r) g_.skeleton += "v " + std::to_string(r) + " 0 0\n";
    // Assimp looks up each "o" name among all objects so far, which is
    // quadratic in a file of many objects. A name first seen makes a new
    // object either way, and so does a "g" line of it: where the file has no
    // groups of its own to be confused with, first names go as "g".
    if (!groupsToo_)
      for (size_t at : firstNames_) g_.skeleton[at] = 'g';
    g_.skeleton += "# the geometry is read apart\n";
  }

 private:
  void Refuse(size_t number, const char* what) {
    if (!g_.why.empty()) return;
    g_.why = number ? "line " + std::to_string(number) + ": " + what : std::string(what);
  }

  void Face(std::string_view line, size_t number) {
    // Indices as Assimp resolves them: 1-based, or back from the counts so far.
    const int vs = int(g_.positions.size() / 3), ts = int(g_.uvs.size() / 3), ns = int(g_.normals.size() / 3);
    const bool haveT = ts > 0, haveN = ns > 0;
    size_t at = 1;
    uint32_t corners = 0, withT = 0, withN = 0;
    for (;;) {
      const std::string_view t = Token(line, at);
      if (t.empty()) break;
      size_t i = 0;
      int value = 0;
      if (!Index(t, i, &value)) return Refuse(number, "a face index that is not a plain whole number");
      g_.v.push_back(uint32_t(value > 0 ? value - 1 : vs + value));
      g_.t.push_back(0);
      g_.n.push_back(0);
      ++corners;
      if (i == t.size()) continue;
      if (t[i] != '/') return Refuse(number, "a face index that is not a plain whole number");
      ++i;
      int slot = 1;
      if (i < t.size() && t[i] != '/') {
        if (!Index(t, i, &value)) return Refuse(number, "a face index that is not a plain whole number");
        // Without texture coordinates so far, the second index is a normal's.
        slot = !haveT && haveN ? 2 : 1;
        if (slot == 1) {
          g_.t.back() = uint32_t(value > 0 ? value - 1 : ts + value);
          ++withT;
        } else {
          g_.n.back() = uint32_t(value > 0 ? value - 1 : ns + value);
          ++withN;
        }
        if (i == t.size()) continue;
      }
      if (i >= t.size() || t[i] != '/' || slot == 2)
        return Refuse(number, "a face corner Assimp reads otherwise");
      ++i;
      if (!Index(t, i, &value) || i != t.size())
        return Refuse(number, "a face index that is not a plain whole number");
      g_.n.back() = uint32_t(value > 0 ? value - 1 : ns + value);
      ++withN;
    }
    if (corners < 3) return Refuse(number, "a face of fewer than three corners");
    if ((withT && withT != corners) || (withN && withN != corners))
      return Refuse(number, "a face that gives texture coordinates or normals to some corners only");
    if (!runOpen_) {
      g_.runStart.push_back(uint32_t(g_.faceHas.size()));
      const std::string k = std::to_string(g_.runStart.size());
      g_.skeleton += "f " + k + ' ' + k + ' ' + k + '\n';
      runOpen_ = true;
    }
    g_.faceStart.push_back(uint32_t(g_.v.size()));
    g_.faceHas.push_back(uint8_t((withT ? 1 : 0) | (withN ? 2 : 0)));
    if (g_.v.size() > 0x7fffffffu) Refuse(number, "too many corners");
  }

  // An "o" line of one plain name, written as "o NAME": its offset is kept
  // where the name is new. False for any other "o" line.
  bool ObjectLine(std::string_view line) {
    size_t i = 1;
    if (i >= line.size() || !Blank(line[i])) return Unplain();
    while (i < line.size() && Blank(line[i])) ++i;
    const size_t from = i;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7f) ++i;
    const std::string_view name = line.substr(from, i - from);
    while (i < line.size() && Blank(line[i])) ++i;
    // Assimp's own name for faces before any object is not ours to make.
    if (name.empty() || i != line.size() || name == "defaultobject") return Unplain();
    if (names_.emplace(name).second) firstNames_.push_back(g_.skeleton.size());
    g_.skeleton += "o ";
    g_.skeleton += name;
    g_.skeleton += '\n';
    runOpen_ = false;
    return true;
  }
  // An object whose name we did not read might be one a later "o" names.
  bool Unplain() {
    groupsToo_ = true;
    return false;
  }

  Geometry& g_;
  bool runOpen_ = false;
  bool groupsToo_ = false;                 // a "g" line, or an "o" line of no plain name
  std::unordered_set<std::string> names_;  // plain "o" names so far
  std::vector<size_t> firstNames_;         // skeleton offsets of their first lines
};

}  // namespace

Geometry Read(std::string_view text) {
  Geometry g;
  if (text.size() < 16) {
    g.why = "shorter than Assimp's least";
    return g;
  }
  Reader r(g);
  size_t number = 1;
  for (size_t at = 0; at < text.size() && g.why.empty(); ++number) {
    const char* nl = static_cast<const char*>(std::memchr(text.data() + at, '\n', text.size() - at));
    const size_t end = nl ? size_t(nl - text.data()) : text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    r.Line(line, number);
    at = end + 1;
  }
  r.Finish();
  return g;
}

namespace {

using skeleton::Access;
using skeleton::SkeletonIO;
using skeleton::Take;

// One mesh of Assimp's skeleton, filled with the faces of its runs.
// `hint`, where given, gets each vertex's position and coordinate entries.
aiMesh* Fill(const aiMesh& stand, const Geometry& g, std::vector<uint8_t>& used, WeldHint* hint) {
  std::vector<uint32_t> runs;
  for (unsigned f = 0; f < stand.mNumFaces; ++f) {
    const aiFace& face = stand.mFaces[f];
    const float x = face.mNumIndices ? stand.mVertices[face.mIndices[0]].x : 0;
    if (!(x >= 1 && x < float(g.runStart.size())) || used[size_t(x) - 1]++)
      throw std::runtime_error("OBJ: our reader lost a run of faces");
    runs.push_back(uint32_t(x) - 1);
  }
  auto mesh = std::make_unique<aiMesh>();
  mesh->mName = stand.mName;
  mesh->mMaterialIndex = stand.mMaterialIndex;
  size_t faces = 0, corners = 0;
  bool hasT = false, hasN = false;
  for (uint32_t r : runs)
    for (uint32_t f = g.runStart[r]; f < g.runStart[r + 1]; ++f) {
      ++faces;
      const uint32_t k = g.faceStart[f + 1] - g.faceStart[f];
      corners += k;
      mesh->mPrimitiveTypes |= k > 3 ? aiPrimitiveType_POLYGON : aiPrimitiveType_TRIANGLE;
      hasT |= (g.faceHas[f] & 1) != 0;
      hasN |= (g.faceHas[f] & 2) != 0;
    }
  if (corners > AI_MAX_VERTICES) throw std::runtime_error("OBJ: Too many vertices");
  mesh->mNumFaces = unsigned(faces);
  mesh->mFaces = new aiFace[faces];
  mesh->mNumVertices = unsigned(corners);
  mesh->mVertices = new aiVector3D[corners];
  const bool normals = !g.normals.empty() && hasN, uvs = !g.uvs.empty() && hasT;
  if (normals) mesh->mNormals = new aiVector3D[corners];
  if (!g.colors.empty()) mesh->mColors[0] = new aiColor4D[corners];
  if (uvs) {
    mesh->mNumUVComponents[0] = g.uvDim;
    mesh->mTextureCoords[0] = new aiVector3D[corners];
  }
  const size_t colors = g.colors.size() / 3;
  if (hint) {
    hint->positions.resize(corners);
    hint->coordinates.assign(uvs ? corners : 0, WeldHint::kNone);
    hint->positionCount = uint32_t(g.positions.size() / 3);
    hint->coordinateCount = uint32_t(g.uvs.size() / 3);
  }
  unsigned out = 0, face = 0;
  for (uint32_t r : runs)
    for (uint32_t f = g.runStart[r]; f < g.runStart[r + 1]; ++f) {
      aiFace& dest = mesh->mFaces[face++];
      dest.mNumIndices = g.faceStart[f + 1] - g.faceStart[f];
      dest.mIndices = new unsigned[dest.mNumIndices];
      for (uint32_t k = g.faceStart[f], i = 0; k < g.faceStart[f + 1]; ++k, ++i, ++out) {
        dest.mIndices[i] = out;
        const float* p = &g.positions[size_t(g.v[k]) * 3];
        mesh->mVertices[out] = aiVector3D(p[0], p[1], p[2]);
        if (hint) hint->positions[out] = g.v[k];
        if (normals && (g.faceHas[f] & 2)) {
          const float* q = &g.normals[size_t(g.n[k]) * 3];
          mesh->mNormals[out] = aiVector3D(q[0], q[1], q[2]);
        }
        if (g.v[k] < colors) {
          const float* c = &g.colors[size_t(g.v[k]) * 3];
          mesh->mColors[0][out] = aiColor4D(c[0], c[1], c[2], 1);
        }
        if (uvs && (g.faceHas[f] & 1)) {
          const float* t = &g.uvs[size_t(g.t[k]) * 3];
          mesh->mTextureCoords[0][out] = aiVector3D(t[0], t[1], t[2]);
          if (hint) hint->coordinates[out] = g.t[k];
        }
      }
    }
  return mesh.release();
}

class ObjReader : public Assimp::BaseImporter {
 public:
  ObjReader(Assimp::BaseImporter* assimp, bool strict, std::shared_ptr<WeldHints> hints)
      : assimp_(assimp), strict_(strict), hints_(std::move(hints)) {}
  bool CanRead(const std::string& file, Assimp::IOSystem* io, bool checkSig) const override {
    return assimp_->CanRead(file, io, checkSig);
  }
  const aiImporterDesc* GetInfo() const override { return assimp_->GetInfo(); }

 protected:
  void InternReadFile(const std::string& file, aiScene* scene, Assimp::IOSystem* io) override {
    Access::SetProgress(*assimp_, m_progress);
    skeleton::WholeFile text;
    if (!text.Load(*io, file)) return Access::Read(*assimp_, file, scene, io);
    Geometry g = Read(text.Bytes());
    text.Free();
    if (!g.why.empty()) {
      if (strict_) throw std::runtime_error("OBJ: outside what our reader reads (" + g.why + ")");
      return Access::Read(*assimp_, file, scene, io);
    }

    SkeletonIO skeletonIO(*io, file, g.skeleton);
    aiScene skeleton;
    Access::Read(*assimp_, file, &skeleton, &skeletonIO);
    std::swap(scene->mRootNode, skeleton.mRootNode);
    Take(scene->mMaterials, scene->mNumMaterials, skeleton.mMaterials, skeleton.mNumMaterials);
    Take(scene->mMeshes, scene->mNumMeshes, skeleton.mMeshes, skeleton.mNumMeshes);
    std::vector<uint8_t> used(g.runStart.size() - 1);
    if (hints_) hints_->assign(scene->mNumMeshes, WeldHint{});
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
      aiMesh* filled = Fill(*scene->mMeshes[m], g, used, hints_ ? &(*hints_)[m] : nullptr);
      delete scene->mMeshes[m];
      scene->mMeshes[m] = filled;
    }
    if (std::count(used.begin(), used.end(), 0))
      throw std::runtime_error("OBJ: our reader lost a run of faces");
  }

 private:
  std::unique_ptr<Assimp::BaseImporter> assimp_;
  bool strict_;
  std::shared_ptr<WeldHints> hints_;
};

}  // namespace

void Install(Assimp::Importer& importer, bool strict, std::shared_ptr<WeldHints> hints) {
  Assimp::BaseImporter* assimp = importer.GetImporter("obj");
  if (!assimp || importer.UnregisterLoader(assimp) != AI_SUCCESS) return;
  importer.RegisterLoader(new ObjReader(assimp, strict, std::move(hints)));
}

}  // namespace scene::obj
