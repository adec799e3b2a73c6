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
#include "meshalgo/parallel.h"

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

// What a part of the file read apart leaves for the whole to replay in order:
// a statement that shapes nodes, meshes or materials, or a face that opens a
// run unless the run before it is still open.
struct Event {
  std::string_view line;  // empty: a face
  size_t number = 0;      // the line's number, or the face's among the part's
};

// The counts of the statements before a part of the file.
struct Before {
  size_t lines = 0, positions = 0, uvs = 0, normals = 0, faces = 0;
};

class Reader {
 public:
  explicit Reader(Geometry& g) : g_(g) {}
  // Reads a part of the file: indices resolve against the counts before it,
  // and what shapes the skeleton goes to `events`.
  Reader(Geometry& g, const Before& before, std::vector<Event>* events)
      : g_(g), before_(before), events_(events) {}

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
      if (events_) {
        events_->push_back({line, number});
        runOpen_ = false;
        return;
      }
      Skeleton(line);
      if (c == 'g') groupsToo_ = true;
    } else if (Unusual(line)) {
      return Refuse(number, "a control character or line continuation");
    }
  }

  // A statement that shapes nodes, meshes or materials, in file order.
  void Skeleton(std::string_view line) {
    const char c = line[0];
    if (c == 'o' && ObjectLine(line)) return;
    if (c == 'g') groupsToo_ = true;
    g_.skeleton.append(line);
    g_.skeleton += '\n';
    runOpen_ = false;
  }

  // Face `face` of the file: it opens a run unless the run before it is open.
  void Run(size_t face) {
    if (runOpen_) return;
    g_.runStart.push_back(uint32_t(face));
    const std::string k = std::to_string(g_.runStart.size());
    g_.skeleton += "f " + k + ' ' + k + ' ' + k + '\n';
    runOpen_ = true;
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
    const int vs = int(before_.positions + g_.positions.size() / 3),
              ts = int(before_.uvs + g_.uvs.size() / 3), ns = int(before_.normals + g_.normals.size() / 3);
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
    if (events_ && !runOpen_) {
      events_->push_back({{}, g_.faceHas.size()});
      runOpen_ = true;
    } else if (!events_) {
      Run(g_.faceHas.size());
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
  Before before_;
  std::vector<Event>* events_ = nullptr;
  bool runOpen_ = false;
  bool groupsToo_ = false;                 // a "g" line, or an "o" line of no plain name
  std::unordered_set<std::string> names_;  // plain "o" names so far
  std::vector<size_t> firstNames_;         // skeleton offsets of their first lines
};

}  // namespace

namespace {

// Calls line(text, number) for each line of `text` (without its end of line)
// until stop() holds.
template <class Line, class Stop>
void EachLine(std::string_view text, size_t number, Line line, Stop stop) {
  for (size_t at = 0; at < text.size() && !stop(); ++number) {
    const char* nl = static_cast<const char*>(std::memchr(text.data() + at, '\n', text.size() - at));
    const size_t end = nl ? size_t(nl - text.data()) : text.size();
    std::string_view one = text.substr(at, end - at);
    if (!one.empty() && one.back() == '\r') one.remove_suffix(1);
    line(one, number);
    at = end + 1;
  }
}

template <class T>
void Append(std::vector<T>& to, const std::vector<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

Geometry Read(std::string_view text, int threads, size_t partBytes) {
  Geometry g;
  if (text.size() < 16) {
    g.why = "shorter than Assimp's least";
    return g;
  }
  // Parts that end at a line's end.
  std::vector<size_t> cut{0};
  const int wanted = int(std::clamp<size_t>(text.size() / std::max<size_t>(partBytes, 1), 1,
                                            static_cast<size_t>(std::max(threads, 1))));
  for (int k = 1; k < wanted; ++k) {
    const size_t from = std::max(cut.back(), text.size() / size_t(wanted) * size_t(k));
    const void* nl = std::memchr(text.data() + from, '\n', text.size() - from);
    if (nl) cut.push_back(size_t(static_cast<const char*>(nl) - text.data()) + 1);
  }
  cut.push_back(text.size());
  cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
  const int parts = int(cut.size()) - 1;
  if (parts <= 1) {
    Reader r(g);
    EachLine(
        text, 1, [&](std::string_view line, size_t number) { r.Line(line, number); },
        [&] { return !g.why.empty(); });
    r.Finish();
    return g;
  }

  // The statements that number positions, coordinates and normals, and the
  // lines, counted in each part: then each part knows what comes before it.
  std::vector<Before> before(size_t(parts) + 1);
  parallel::ForParts(size_t(parts), parts, [&](int k, size_t, size_t) {
    Before& c = before[size_t(k) + 1];
    EachLine(
        text.substr(cut[size_t(k)], cut[size_t(k) + 1] - cut[size_t(k)]), 0,
        [&](std::string_view line, size_t) {
          ++c.lines;
          if (line.size() < 2) return;
          c.faces += line[0] == 'f' && Blank(line[1]);
          if (line[0] != 'v') return;
          c.positions += Blank(line[1]);
          c.uvs += line[1] == 't';
          c.normals += line[1] == 'n';
        },
        [] { return false; });
  });
  const std::vector<Before> own(before.begin() + 1, before.end());
  for (int k = 0; k < parts; ++k) {
    Before& c = before[size_t(k) + 1];
    const Before& b = before[size_t(k)];
    c.lines += b.lines, c.positions += b.positions, c.uvs += b.uvs, c.normals += b.normals,
        c.faces += b.faces;
  }
  // The parts read at once, each into geometry of its own.
  std::vector<Geometry> read(static_cast<size_t>(parts));
  std::vector<std::vector<Event>> events(static_cast<size_t>(parts));
  parallel::ForParts(size_t(parts), parts, [&](int k, size_t, size_t) {
    // Room at once for what the part holds, the first part for the whole
    // file, which is joined onto it: triangles assumed, polygons grow it.
    Geometry& mine = read[size_t(k)];
    const Before& room = k == 0 ? before.back() : own[size_t(k)];
    mine.positions.reserve(room.positions * 3);
    mine.uvs.reserve(room.uvs * 3);
    mine.normals.reserve(room.normals * 3);
    mine.faceStart.reserve(room.faces + 1);
    mine.faceHas.reserve(room.faces);
    for (auto* corners : {&mine.v, &mine.t, &mine.n}) corners->reserve(room.faces * 3);
    Reader r(mine, before[size_t(k)], &events[size_t(k)]);
    EachLine(
        text.substr(cut[size_t(k)], cut[size_t(k) + 1] - cut[size_t(k)]), before[size_t(k)].lines + 1,
        [&](std::string_view line, size_t number) { r.Line(line, number); },
        [&] { return !mine.why.empty(); });
  });
  // Joined in order; the skeleton replayed.
  for (const Geometry& part : read)
    if (!part.why.empty()) {
      g.why = part.why;
      return g;
    }
  // The first part's arrays are the whole's to begin with.
  g = std::move(read[0]);
  Reader whole(g);
  for (int k = 0; k < parts; ++k) {
    const Geometry& part = read[size_t(k)];
    const size_t faces = k ? g.faceHas.size() : 0, corners = k ? g.v.size() : 0;
    for (const Event& e : events[size_t(k)])
      e.line.empty() ? whole.Run(faces + e.number) : whole.Skeleton(e.line);
    if (k == 0) continue;
    Append(g.positions, part.positions);
    Append(g.uvs, part.uvs);
    Append(g.normals, part.normals);
    Append(g.colors, part.colors);
    g.uvDim = std::max(g.uvDim, part.uvDim);
    for (size_t f = 1; f < part.faceStart.size(); ++f)
      g.faceStart.push_back(uint32_t(corners + part.faceStart[f]));
    Append(g.faceHas, part.faceHas);
    Append(g.v, part.v);
    Append(g.t, part.t);
    Append(g.n, part.n);
    if (g.v.size() > 0x7fffffffu) {
      g.why = "too many corners";
      return g;
    }
    read[size_t(k)] = Geometry();
  }
  whole.Finish();
  return g;
}

namespace {

using skeleton::Access;
using skeleton::SkeletonIO;
using skeleton::Take;

// One mesh of Assimp's skeleton, filled with the faces of its runs.
// `hint`, where given, gets each vertex's position and coordinate entries.
aiMesh* Fill(const aiMesh& stand, const Geometry& g, std::vector<uint8_t>& used, WeldHint* hint,
             int threads) {
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
  // The mesh's faces in order; parts of them filled at once, each from the
  // first corner of its first face.
  std::vector<uint32_t> order;
  order.reserve(faces);
  for (uint32_t r : runs)
    for (uint32_t f = g.runStart[r]; f < g.runStart[r + 1]; ++f) order.push_back(f);
  const int parts = parallel::Parts(faces, threads);
  std::vector<unsigned> firstOut(static_cast<size_t>(parts), 0);
  for (int k = 1; k < parts; ++k) {
    unsigned sum = firstOut[size_t(k) - 1];
    for (size_t i = parallel::PartBegin(faces, parts, k - 1); i < parallel::PartBegin(faces, parts, k); ++i)
      sum += g.faceStart[order[i] + 1] - g.faceStart[order[i]];
    firstOut[size_t(k)] = sum;
  }
  parallel::ForParts(faces, parts, [&](int part, size_t from, size_t to) {
    unsigned out = firstOut[static_cast<size_t>(part)];
    for (size_t face = from; face < to; ++face) {
      const uint32_t f = order[face];
      aiFace& dest = mesh->mFaces[face];
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
  });
  return mesh.release();
}

class ObjReader : public Assimp::BaseImporter {
 public:
  ObjReader(Assimp::BaseImporter* assimp, bool strict, std::shared_ptr<WeldHints> hints, int threads)
      : assimp_(assimp), strict_(strict), hints_(std::move(hints)), threads_(threads) {}
  bool CanRead(const std::string& file, Assimp::IOSystem* io, bool checkSig) const override {
    return assimp_->CanRead(file, io, checkSig);
  }
  const aiImporterDesc* GetInfo() const override { return assimp_->GetInfo(); }

 protected:
  void InternReadFile(const std::string& file, aiScene* scene, Assimp::IOSystem* io) override {
    Access::SetProgress(*assimp_, m_progress);
    skeleton::WholeFile text;
    if (!text.Load(*io, file)) return Access::Read(*assimp_, file, scene, io);
    Geometry g = Read(text.Bytes(), threads_);
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
      aiMesh* filled = Fill(*scene->mMeshes[m], g, used, hints_ ? &(*hints_)[m] : nullptr, threads_);
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
  int threads_;
};

}  // namespace

void Install(Assimp::Importer& importer, bool strict, std::shared_ptr<WeldHints> hints, int threads) {
  Assimp::BaseImporter* assimp = importer.GetImporter("obj");
  if (!assimp || importer.UnregisterLoader(assimp) != AI_SUCCESS) return;
  importer.RegisterLoader(new ObjReader(assimp, strict, std::move(hints), threads));
}

}  // namespace scene::obj
