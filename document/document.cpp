#include "document/document.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

#include "document/deep_stack.h"
#include "document/json_reader.h"

namespace scene {

namespace {

using json::Number;
using json::Quote;
using json::Reader;
using json::Step;
using json::SyntaxFault;
namespace sj = json::sj;
using Keys = std::initializer_list<std::string_view>;

// simdjson's nesting limit: room for the deepest node tree (each node is two
// levels: its object and its children) and the values inside a node.
constexpr size_t kMaxJsonDepth = 2 * kMaxNodeDepth + 64;
// An array of a mesh read once more: its elements and their numbers.
constexpr size_t kMaxJsonDepthForArrays = 64;

constexpr const char* kSlotNames[STD_NUM_SLOTS] = {
    "ambient", "diffuse",     "specular", "shininess",  "shininessStrength", "selfIllum",
    "opacity", "filterColor", "bump",     "reflection", "refraction",        "displacement"};

// A number the fast way, for long arrays: false when it is not what the
// document should hold (the caller then reads the element again with care).
bool FastFloat(sj::value& v, float* out) {
  const std::string_view token = v.raw_json_token();
  double d;
  if (v.get_double().get(d) != simdjson::SUCCESS || !(std::fabs(d) <= FLT_MAX)) return false;
  // "-0" is the integer 0, which is +0.0 as a float.
  if (d == 0 && std::signbit(d) && token.find_first_of(".eE") == std::string_view::npos) d = 0.0;
  *out = static_cast<float>(d);
  return true;
}

bool FastInt(sj::value& v, int64_t lo, int64_t hi, int64_t* out) {
  int64_t x;
  if (v.get_int64().get(x) != simdjson::SUCCESS || x < lo || x > hi) return false;
  *out = x;
  return true;
}

// Reads up to `max` numbers of a short array the fast way with `read`; false
// (the array rewound) when it holds anything else or another count than
// `min` to `max`.
template <class T, class Read>
bool FastSmall(sj::array& a, size_t min, size_t max, T* out, size_t* count, Read read) {
  size_t k = 0;
  bool ok = true;
  for (auto y : a) {
    sj::value z;
    if (k == max || std::move(y).get(z) != simdjson::SUCCESS || !read(z, &out[k])) {
      ok = false;
      break;
    }
    ++k;
  }
  *count = k;
  if (ok && k >= min) return true;
  if (auto err = a.reset().error()) throw SyntaxFault{err};
  return false;
}

// The long arrays of a mesh are read from their text with a scanner of their
// own: numbers in the JSON grammar, separated as JSON separates them. When
// the text holds anything else, the scanner gives up and the array is read
// again the careful way, which words the problem.
class Scan {
 public:
  explicit Scan(std::string_view s) : p_(s.data()), e_(s.data() + s.size()) {}

  bool Is(char c) {
    Ws();
    if (p_ < e_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Ws();
    return p_ == e_;
  }

  // An integer token in lo..hi.
  bool Int(int64_t lo, int64_t hi, int64_t* out) {
    Ws();
    const char* q = p_;
    const bool neg = q < e_ && *q == '-';
    q += neg;
    const char* digits = q;
    uint64_t v = 0;
    while (q < e_ && static_cast<unsigned>(*q - '0') < 10 && q - digits < 19)
      v = v * 10 + static_cast<unsigned>(*q++ - '0');
    const size_t n = static_cast<size_t>(q - digits);
    if (n == 0 || n > 18 || (n > 1 && *digits == '0')) return false;
    if (q < e_ && (static_cast<unsigned>(*q - '0') < 10 || *q == '.' || *q == 'e' || *q == 'E')) return false;
    const int64_t x = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    if (x < lo || x > hi) return false;
    *out = x;
    p_ = q;
    return true;
  }

  // A number as a float32: an integer token converts exactly as an integer
  // would ("-0" is +0.0), anything else is rounded from its decimal once to
  // double, then to float, as the careful reader does.
  bool Float(float* out) {
    Ws();
    const char* start = p_;
    const char* q = p_;
    const bool neg = q < e_ && *q == '-';
    q += neg;
    const char* digits = q;
    uint64_t v = 0;  // the significand's digits, while they fit
    int sig = 0;
    while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
      if (sig < 19) v = v * 10 + static_cast<unsigned>(*q - '0');
      sig += sig > 0 || *q != '0';
      ++q;
    }
    const size_t n = static_cast<size_t>(q - digits);
    if (n == 0 || (n > 1 && *digits == '0')) return false;
    bool integer = true;
    int scale = 0;  // the significand's power of ten
    if (q < e_ && *q == '.') {
      integer = false;
      const char* f = ++q;
      while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
        if (sig < 19) {
          v = v * 10 + static_cast<unsigned>(*q - '0');
          --scale;
        }
        sig += sig > 0 || *q != '0';
        ++q;
      }
      if (q == f) return false;
    }
    bool expOk = true;
    if (q < e_ && (*q == 'e' || *q == 'E')) {
      integer = false;
      ++q;
      const bool eneg = q < e_ && *q == '-';
      if (q < e_ && (*q == '+' || *q == '-')) ++q;
      const char* x = q;
      int ev = 0;
      while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
        if (ev < 10000) ev = ev * 10 + (*q - '0');
        ++q;
      }
      if (q == x) return false;
      expOk = ev < 10000;
      scale += eneg ? -ev : ev;
    }
    double d;
    if (integer && n <= 18) {
      d = neg ? -static_cast<double>(static_cast<int64_t>(v)) : static_cast<double>(v);
      if (d == 0) d = 0.0;
    } else if (expOk && sig <= 15 && scale >= -22 && scale <= 22) {
      // Both the significand and the power of ten are exact doubles, so one
      // multiplication or division rounds once: the correctly rounded value.
      static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      d = static_cast<double>(v);
      d = scale < 0 ? d / kPow10[-scale] : d * kPow10[scale];
      if (neg) d = -d;
    } else {
      auto r = std::from_chars(start, q, d);
      if (r.ec != std::errc() || r.ptr != q) return false;
    }
    if (!(std::fabs(d) <= FLT_MAX)) return false;
    *out = static_cast<float>(d);
    p_ = q;
    return true;
  }

  // "[" elem ("," elem)* "]" or "[]", each element read by `elem`.
  template <class Elem>
  bool Array(Elem elem) {
    if (!Is('[')) return false;
    if (Is(']')) return true;
    do {
      if (!elem()) return false;
    } while (Is(','));
    return Is(']');
  }

  // "[" min to max numbers "]" into out, each read by `read`.
  template <class T, class Read>
  bool Tuple(size_t min, size_t max, T* out, size_t* count, Read read) {
    size_t k = 0;
    const bool ok = Array([&] { return k < max && read(&out[k++]); });
    *count = k;
    return ok && k >= min;
  }

 private:
  void Ws() {
    while (p_ < e_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  const char* p_;
  const char* e_;
};

// ---- The loader -----------------------------------------------------------------
//
// Values are read in document order, each checked as it is read. Checks that
// compare one value with another (an index with the number of vertices, a
// per-face array with the faces, weight rows with the vertices) are made as
// soon as both are known, else when their object ends; references to
// materials and bone nodes when the document has been read.

class Loader {
 public:
  Loader(Reader& r, Scene& s, const json::Text& text) : r_(r), p_(r.path), scene_(s), text_(text) {}

  void Load(sj::document& doc);

 private:
  struct PendingBone {
    SkinModifier* skin;
    size_t index;
    std::string node;
    std::string path;
  };
  struct PendingMaterial {
    Node* node;
    std::string id;
    std::string path;
  };
  struct PendingMulti {
    MultiMaterial* multi;
    std::string id;
    std::vector<std::optional<std::string>> subs;  // ids; nullopt for an empty slot
    bool given = false;
  };

  [[noreturn]] void Fail(const std::string& what) const { r_.Fail(what); }

  template <class T>
  T Get(simdjson::simdjson_result<T>&& x) const {
    return r_.Get(std::move(x));
  }

  // Calls fn(key, value) for each field in document order, the path at the
  // field; a key that is not allowed, or given twice, is an error. The first
  // field named `skip` (already read) is passed over.
  template <class Fn>
  void Fields(sj::object obj, Keys allowed, Fn fn, std::string_view skip = {}) {
    std::string_view seen[16];
    size_t count = 0;
    bool skipped = skip.empty();
    for (auto entry : obj) {
      sj::field f = Get(std::move(entry));
      const std::string_view key = Get(f.unescaped_key());
      for (size_t i = 0; i < count; ++i)
        if (seen[i] == key) r_.FailAt(p_.Child(key), "key appears more than once in its object");
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) r_.UnknownKey(key, allowed);
      if (count < std::size(seen)) seen[count++] = key;
      if (!skipped && key == skip) {
        skipped = true;
        continue;
      }
      Step s(p_, key);
      fn(key, f.value());
    }
  }

  // For objects whose keys are names of the document's own (materials, map
  // slots): each key once.
  template <class Fn>
  void Entries(sj::object obj, Fn fn) {
    std::unordered_set<std::string_view> seen;
    for (auto entry : obj) {
      sj::field f = Get(std::move(entry));
      const std::string_view key = Get(f.unescaped_key());
      if (!seen.insert(key).second) r_.FailAt(p_.Child(key), "key appears more than once in its object");
      Step s(p_, key);
      fn(key, f.value());
    }
  }

  // The class of a class-bearing object, wherever in the object it stands.
  std::string_view ClassOf(sj::object& obj) {
    sj::value cls;
    auto found = obj.find_field_unordered("class").get(cls);
    if (found == simdjson::NO_SUCH_FIELD) r_.FailAt(p_.Child("class"), "required key is missing");
    if (found) throw SyntaxFault{found};
    std::string_view s;
    {
      Step st(p_, "class");
      s = r_.String(cls);
    }
    if (auto e = obj.reset().error()) throw SyntaxFault{e};
    return s;
  }

  void Required(bool present, std::string_view key) const {
    if (!present) r_.FailAt(p_.Child(key), "required key is missing");
  }

  // ---- Values.

  Point3 Vec3(sj::value& v) {
    sj::array a = r_.ArrayOf(v, 3);
    Point3 out;
    size_t k = 0;
    for (auto e : a) {
      sj::value x = Get(std::move(e));
      Step s(p_, k);
      out[static_cast<int>(k++)] = r_.Float(x);
    }
    return out;
  }

  uint32_t ClassWord(sj::value& v) {
    const sj::json_type t = r_.Type(v);
    if (t == sj::json_type::string) {
      const std::string_view s = Get(v.get_string());
      const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      const std::string_view digits = hex ? s.substr(2) : s;
      const char* set = hex ? "0123456789abcdefABCDEF" : "0123456789";
      if (digits.empty() || digits.size() > 10 || digits.find_first_not_of(set) != std::string_view::npos)
        Fail(Quote(s) + " is not a number such as \"0x1011\" or \"4113\"");
      const uint64_t x = std::stoull(std::string(digits), nullptr, hex ? 16 : 10);
      if (x > UINT32_MAX) Fail(Quote(s) + " is out of range for a 32-bit word");
      return static_cast<uint32_t>(x);
    }
    r_.Expect(t == sj::json_type::number, "an integer or a string such as \"0x1011\"", t);
    const Number n = r_.Num(v);
    r_.Expect(n.kind != Number::kFloat, "an integer or a string such as \"0x1011\"", t);
    const bool ok = n.kind == Number::kSigned ? n.i >= 0 && n.i <= UINT32_MAX : n.u <= UINT32_MAX;
    if (!ok) Fail(n.Text() + " is out of range (0 to " + std::to_string(UINT32_MAX) + ")");
    return static_cast<uint32_t>(n.kind == Number::kSigned ? n.i : static_cast<int64_t>(n.u));
  }

  Class_ID ClassId(sj::value& v) {
    const sj::json_type t = r_.Type(v);
    sj::array a;
    bool pair = false;
    if (t == sj::json_type::array) {
      a = Get(v.get_array());
      pair = r_.Count(a) == 2;
    }
    r_.Expect(pair, "a class id [a, b]", t);
    uint32_t w[2];
    size_t k = 0;
    for (auto e : a) {
      sj::value x = Get(std::move(e));
      Step s(p_, k);
      w[k++] = ClassWord(x);
    }
    return Class_ID(w[0], w[1]);
  }

  Matrix3 Transform(sj::value& v) {
    const sj::json_type t = r_.Type(v);
    if (t == sj::json_type::array) {
      sj::array rows = Get(v.get_array());
      const size_t n = r_.Count(rows);
      if (n != 4) Fail("a matrix has 4 rows of 3 numbers, got " + std::to_string(n) + " rows");
      Matrix3 m;
      size_t r = 0;
      for (auto e : rows) {
        sj::value row = Get(std::move(e));
        Step s(p_, r);
        m.SetRow(static_cast<int>(r++), Vec3(row));
      }
      return m;
    }
    r_.Expect(t == sj::json_type::object,
              "a matrix (4 rows of 3 numbers) or an object with position, rotation, scale", t);
    TRS trs;
    Fields(Get(v.get_object()), {"position", "rotation", "scale"}, [&](std::string_view key, sj::value& x) {
      if (key == "position") {
        trs.position = Vec3(x);
      } else if (key == "scale") {
        trs.scale = Vec3(x);
      } else {
        sj::array a = r_.ArrayOf(x, 4);
        float q[4];
        size_t k = 0;
        for (auto e : a) {
          sj::value c = Get(std::move(e));
          Step s(p_, k);
          q[k++] = r_.Float(c);
        }
        const double len =
            std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2] + double(q[3]) * q[3]);
        if (std::fabs(len - 1.0) > 1e-3)
          Fail("rotation is not a unit quaternion [x, y, z, w] (its length is " + std::to_string(len) + ")");
        trs.rotation = Quat{q[0], q[1], q[2], q[3]};
      }
    });
    return Compose(trs);
  }

  std::optional<std::string> NullableString(sj::value& v) {
    const sj::json_type t = r_.Type(v);
    if (t == sj::json_type::null) return std::nullopt;
    r_.Expect(t == sj::json_type::string, "a string or null", t);
    return std::string(r_.String(v));
  }

  // ---- Parts of the document.

  void ReadMaterials(sj::value& v);
  Mtl* ReadMaterial(sj::value& v, std::string_view id);
  Texmap* ReadMap(sj::value& v);
  void ReadNode(sj::value& v, Node* parent, int depth);
  Object* ReadObject(sj::value& v);
  void ReadMesh(sj::object obj, Mesh& mesh, bool withClass);
  void ReadVertices(sj::value& v, Mesh& mesh);
  void ReadFaces(sj::value& v, Mesh& mesh, bool verticesKnown);
  void ReadTVerts(sj::value& v, Mesh& mesh);
  void ReadTVFaces(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown);
  std::vector<uint32_t> PerFace(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi);
  void ReadVerticesCarefully(sj::value& v, Mesh& mesh);
  void ReadFacesCarefully(sj::value& v, Mesh& mesh, bool verticesKnown);
  void ReadTVertsCarefully(sj::value& v, Mesh& mesh);
  void ReadTVFacesCarefully(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown);
  std::vector<uint32_t> PerFaceCarefully(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi);
  // The text of the array value v (consumed), after its type is checked.
  std::string_view RawArray(sj::value& v);
  // Reads the array text `raw` once more with simdjson and hands its value to `careful`.
  template <class Fn>
  void Again(std::string_view raw, Fn careful);
  Object* ReadLight(sj::object obj);
  Modifier* ReadModifier(sj::value& v, Object* base, bool baseKnown, Node& node);
  void ReadWeights(sj::value& v, SkinModifier& skin, Object* base, bool baseKnown, bool bonesKnown,
                   Node& node);
  void ReadNoteTrack(sj::value& v, Node& node);
  void LinkMaterials();
  void ResolveMaterials();
  void ResolveBones();

  Reader& r_;
  json::Path& p_;
  Scene& scene_;
  const json::Text& text_;
  std::map<std::string, Mtl*, std::less<>> materials_;
  bool materialsRead_ = false;
  std::vector<PendingMulti> multis_;
  std::vector<PendingMaterial> nodeMaterials_;
  std::vector<PendingBone> bones_;
  // Weight rows checked once the node's object is known.
  struct PendingRows {
    Node* node;
    size_t rows;
    std::string path;
  };
  std::vector<PendingRows> rows_;
  std::vector<uint32_t> lastRowLengths_;  // of the weight rows read last, before their bones
};

void Loader::Load(sj::document& doc) {
  const sj::json_type t = Get(doc.type());
  r_.Expect(t == sj::json_type::object, "an object", t);
  bool format = false, version = false;
  Fields(Get(doc.get_object()),
         {"$schema", "format", "version", "ticksPerFrame", "animationRange", "masterScale", "materials",
          "nodes"},
         [&](std::string_view key, sj::value& v) {
           if (key == "$schema") {
             r_.String(v);
           } else if (key == "format") {
             format = true;
             const sj::json_type ft = r_.Type(v);
             if (ft != sj::json_type::string) Fail("expected \"thm-scene\", got " + r_.Dump(v));
             const std::string_view f = Get(v.get_string());
             if (f != "thm-scene") Fail("expected \"thm-scene\", got " + json::DumpString(f));
           } else if (key == "version") {
             version = true;
             const int64_t ver = r_.Int(v, INT64_MIN, INT64_MAX);
             if (ver != 1)
               Fail("unsupported version " + std::to_string(ver) + " (this host reads version 1)");
           } else if (key == "ticksPerFrame") {
             scene_.ticksPerFrame = static_cast<int>(r_.Int(v, 1, INT32_MAX));
           } else if (key == "animationRange") {
             const sj::json_type rt = r_.Type(v);
             sj::array a;
             bool pair = false;
             if (rt == sj::json_type::array) {
               a = Get(v.get_array());
               pair = r_.Count(a) == 2;
             }
             r_.Expect(pair, "[start, end] in ticks", rt);
             TimeValue range[2];
             size_t k = 0;
             for (auto e : a) {
               sj::value x = Get(std::move(e));
               Step s(p_, k);
               range[k++] = r_.Int32(x);
             }
             scene_.animationRange = Interval(range[0], range[1]);
           } else if (key == "masterScale") {
             const double d = r_.Double(v);
             if (!(d > 0)) Fail("the master scale must be greater than 0");
             scene_.masterScale = d;
           } else if (key == "materials") {
             ReadMaterials(v);
           } else {
             sj::array nodes = r_.Array(v);
             size_t i = 0;
             for (auto e : nodes) {
               sj::value n = Get(std::move(e));
               Step s(p_, i++);
               ReadNode(n, nullptr, 1);
             }
           }
         });
  Required(format, "format");
  Required(version, "version");
  // Anything but white space after the document is an error of the text.
  const char* rest;
  if (doc.current_location().get(rest) == simdjson::SUCCESS) throw SyntaxFault{simdjson::TRAILING_CONTENT};
  if (!materialsRead_) LinkMaterials();
  ResolveMaterials();
  ResolveBones();
}

// ---- Materials and maps ----------------------------------------------------------

void Loader::ReadMaterials(sj::value& v) {
  sj::object obj = r_.Object(v, "an object of materials by id");
  // Multi materials refer to others by id, in any order: make all, then link.
  Entries(obj, [&](std::string_view id, sj::value& m) {
    materials_.emplace(std::string(id), ReadMaterial(m, id));
  });
  LinkMaterials();
}

void Loader::LinkMaterials() {
  materialsRead_ = true;
  std::map<Mtl*, std::vector<Mtl*>> edges;
  for (PendingMulti& pm : multis_) {
    for (size_t i = 0; i < pm.subs.size(); ++i) {
      if (!pm.subs[i]) {
        pm.multi->subs.push_back(nullptr);
        continue;
      }
      auto it = materials_.find(*pm.subs[i]);
      if (it == materials_.end()) {
        std::string at = "/materials";
        json::Path p;
        p.PushKey("materials");
        p.PushKey(pm.id);
        p.PushKey("subMaterials");
        p.PushIndex(i);
        r_.FailAt(p.Render(), "material " + Quote(*pm.subs[i]) + " is not defined in /materials");
      }
      pm.multi->subs.push_back(it->second);
      edges[pm.multi].push_back(it->second);
    }
  }
  // A multi material that contains itself would send the exporter round forever.
  std::map<Mtl*, int> state;  // 1 on the current path, 2 done
  std::map<Mtl*, std::string> idOf;
  for (auto& [id, m] : materials_) idOf[m] = id;
  std::vector<std::pair<Mtl*, size_t>> stack;
  for (auto& [id, start] : materials_) {
    if (state[start]) continue;
    stack.push_back({start, 0});
    state[start] = 1;
    while (!stack.empty()) {
      auto& [m, next] = stack.back();
      auto& out = edges[m];
      if (next == out.size()) {
        state[m] = 2;
        stack.pop_back();
        continue;
      }
      Mtl* sub = out[next++];
      if (state[sub] == 1) {
        json::Path p;
        p.PushKey("materials");
        p.PushKey(idOf[m]);
        p.PushKey("subMaterials");
        r_.FailAt(p.Render(), "material " + Quote(idOf[sub]) + " contains itself through its sub-materials");
      }
      if (state[sub] == 0) {
        state[sub] = 1;
        stack.push_back({sub, 0});
      }
    }
  }
  multis_.clear();
}

Mtl* Loader::ReadMaterial(sj::value& v, std::string_view id) {
  sj::object obj = r_.Object(v, "a material object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "standard") {
    auto& m = scene_.Make<StdMaterial>();
    Fields(
        obj, {"class", "name", "twoSided", "transparencyType", "opacity", "maps"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
          } else if (key == "twoSided") {
            m.twoSided = r_.Bool(x) ? 1 : 0;
          } else if (key == "transparencyType") {
            if (r_.Type(x) == sj::json_type::string) {
              const std::string_view s = r_.String(x);
              if (s == "filter")
                m.transparencyType = TRANSP_FILTER;
              else if (s == "subtractive")
                m.transparencyType = TRANSP_SUBTRACTIVE;
              else if (s == "additive")
                m.transparencyType = TRANSP_ADDITIVE;
              else
                Fail(Quote(s) + " is not a transparency type (filter, subtractive, additive or an integer)");
            } else {
              m.transparencyType = r_.Int32(x);
            }
          } else if (key == "opacity") {
            m.opacity = r_.Float(x);
          } else {
            sj::object maps = r_.Object(x, "an object of maps by slot");
            std::set<int> used;
            Entries(maps, [&](std::string_view slotKey, sj::value& slotValue) {
              int slot = -1;
              for (int i = 0; i < STD_NUM_SLOTS; ++i)
                if (slotKey == kSlotNames[i] || slotKey == std::to_string(i)) slot = i;
              if (slot < 0) {
                std::string names;
                for (auto* n : kSlotNames) names += std::string(names.empty() ? "" : ", ") + n;
                Fail("unknown map slot " + Quote(slotKey) + " (0 to 11 or " + names + ")");
              }
              if (!used.insert(slot).second) Fail("map slot " + std::to_string(slot) + " is given twice");
              auto& s = m.slots[static_cast<size_t>(slot)];
              bool hasMap = false;
              Fields(r_.Object(slotValue), {"map", "amount"}, [&](std::string_view k, sj::value& y) {
                if (k == "map") {
                  hasMap = true;
                  s.map = ReadMap(y);
                } else {
                  s.amount = r_.Float(y);
                }
              });
              Required(hasMap, "map");
            });
          }
        },
        "class");
    return &m;
  }
  if (cls == "multi") {
    auto& m = scene_.Make<MultiMaterial>();
    PendingMulti pm{&m, std::string(id), {}, false};
    Fields(
        obj, {"class", "name", "subMaterials"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
            return;
          }
          sj::array subs = r_.Array(x);
          size_t i = 0;
          for (auto e : subs) {
            sj::value s = Get(std::move(e));
            Step st(p_, i++);
            if (r_.IsNull(s))
              pm.subs.push_back(std::nullopt);
            else
              pm.subs.push_back(std::string(r_.String(s)));
          }
        },
        "class");
    multis_.push_back(std::move(pm));
    return &m;  // sub-materials are linked once every material exists
  }
  if (cls == "other") {
    auto& m = scene_.Make<OtherMaterial>("", Class_ID());
    bool hasId = false;
    Fields(
        obj, {"class", "name", "classId"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
            return;
          }
          hasId = true;
          const Class_ID cid = ClassId(x);
          // The exporter casts by class id: a stand-in with a known id would be read as that class.
          if (cid == DMTL_CLASS_ID || cid == MULTI_CLASS_ID)
            Fail("this is the class id of the " + std::string(cid == DMTL_CLASS_ID ? "standard" : "multi") +
                 " material; use that class");
          m.classId = cid;
        },
        "class");
    Required(hasId, "classId");
    return &m;
  }
  r_.FailAt(p_.Child("class"), "unknown material class " + Quote(cls) + " (standard, multi or other)");
}

Texmap* Loader::ReadMap(sj::value& v) {
  sj::object obj = r_.Object(v, "a texture map object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "bitmap") {
    auto& m = scene_.Make<BitmapMap>();
    Fields(
        obj, {"class", "fileName", "alphaSource", "uvTransform", "crop"},
        [&](std::string_view key, sj::value& x) {
          if (key == "fileName") {
            m.fileName = NullableString(x);
          } else if (key == "alphaSource") {
            if (r_.Type(x) == sj::json_type::string) {
              const std::string_view s = r_.String(x);
              if (s == "file")
                m.alphaSource = ALPHA_FILE;
              else if (s == "rgb")
                m.alphaSource = ALPHA_RGB;
              else if (s == "none")
                m.alphaSource = ALPHA_NONE;
              else
                Fail(Quote(s) + " is not an alpha source (file, rgb, none or an integer)");
            } else {
              m.alphaSource = r_.Int32(x);
            }
          } else if (key == "uvTransform") {
            m.uvTransform = Transform(x);
          } else {
            sj::array a = r_.ArrayOf(x, 4);
            float c[4];
            size_t k = 0;
            for (auto e : a) {
              sj::value y = Get(std::move(e));
              Step s(p_, k);
              c[k++] = r_.Float(y);
            }
            m.SetCrop(c[0], c[1], c[2], c[3]);
          }
        },
        "class");
    return &m;
  }
  if (cls == "other") {
    auto& m = scene_.Make<OtherMap>(Class_ID());
    bool hasId = false;
    Fields(
        obj, {"class", "classId", "uvTransform"},
        [&](std::string_view key, sj::value& x) {
          if (key == "uvTransform") {
            m.uvTransform = Transform(x);
            return;
          }
          hasId = true;
          const Class_ID cid = ClassId(x);
          if (cid == BMTEX_CLASS_ID) Fail("this is the bitmap class id; use class \"bitmap\"");
          m.classId = cid;
        },
        "class");
    Required(hasId, "classId");
    return &m;
  }
  r_.FailAt(p_.Child("class"), "unknown texture map class " + Quote(cls) + " (bitmap or other)");
}

// ---- Nodes --------------------------------------------------------------------

void Loader::ReadNode(sj::value& v, Node* parent, int depth) {
  if (depth > kMaxNodeDepth) Fail("nodes are nested more than " + std::to_string(kMaxNodeDepth) + " deep");
  sj::object obj = r_.Object(v);
  Node& n = scene_.AddNode("", parent);
  bool objectKnown = false;
  std::string modifiersPath;  // where the stack stood, while the object is not known
  size_t modifierCount = 0;
  Fields(obj,
         {"name", "hidden", "transform", "animation", "objectOffset", "material", "object", "modifiers",
          "noteTracks", "children"},
         [&](std::string_view key, sj::value& x) {
           if (key == "name") {
             n.name = NullableString(x);
           } else if (key == "hidden") {
             n.hidden = r_.Bool(x);
           } else if (key == "transform") {
             n.transform = Transform(x);
           } else if (key == "animation") {
             sj::array keys = r_.Array(x);
             size_t i = 0;
             for (auto e : keys) {
               sj::value k = Get(std::move(e));
               Step s(p_, i++);
               TransformKey key;
               bool hasTime = false, hasTransform = false;
               Fields(r_.Object(k), {"time", "transform"}, [&](std::string_view f, sj::value& y) {
                 if (f == "time") {
                   hasTime = true;
                   key.time = r_.Int32(y);
                 } else {
                   hasTransform = true;
                   key.transform = Transform(y);
                 }
               });
               Required(hasTime, "time");
               Required(hasTransform, "transform");
               if (!n.keys.empty() && key.time <= n.keys.back().time)
                 r_.FailAt(p_.Child("time"), "key times must ascend: " + std::to_string(key.time) +
                                                 " follows " + std::to_string(n.keys.back().time));
               n.keys.push_back(key);
             }
           } else if (key == "objectOffset") {
             n.objectOffset = Transform(x);
           } else if (key == "material") {
             if (r_.IsNull(x)) return;
             const std::string_view id = r_.String(x);
             if (!materialsRead_) {
               nodeMaterials_.push_back({&n, std::string(id), p_.Render()});
               return;
             }
             auto it = materials_.find(id);
             if (it == materials_.end()) Fail("material " + Quote(id) + " is not defined in /materials");
             n.material = it->second;
           } else if (key == "object") {
             objectKnown = true;
             if (!r_.IsNull(x)) n.SetObject(ReadObject(x));
             if (modifierCount && !n.BaseObject())
               r_.FailAt(modifiersPath, "a modifier stack needs an object to modify");
           } else if (key == "modifiers") {
             sj::array mods = r_.Array(x);
             modifierCount = r_.Count(mods);
             if (modifierCount && objectKnown && !n.BaseObject())
               Fail("a modifier stack needs an object to modify");
             if (!objectKnown) modifiersPath = p_.Render();
             size_t i = 0;
             for (auto e : mods) {
               sj::value m = Get(std::move(e));
               Step s(p_, i++);
               n.AddModifier(ReadModifier(m, n.BaseObject(), objectKnown, n));
             }
           } else if (key == "noteTracks") {
             sj::array tracks = r_.Array(x);
             size_t i = 0;
             for (auto e : tracks) {
               sj::value t = Get(std::move(e));
               Step s(p_, i++);
               ReadNoteTrack(t, n);
             }
           } else {
             sj::array kids = r_.Array(x);
             size_t i = 0;
             for (auto e : kids) {
               sj::value c = Get(std::move(e));
               Step s(p_, i++);
               ReadNode(c, &n, depth + 1);
             }
           }
         });
  if (modifierCount && !objectKnown) r_.FailAt(modifiersPath, "a modifier stack needs an object to modify");
  // Weight rows read before the object: one row per vertex of a mesh.
  auto* mesh = dynamic_cast<MeshObject*>(n.BaseObject());
  for (const PendingRows& pr : rows_)
    if (pr.node == &n && mesh && pr.rows != mesh->mesh.verts.size())
      r_.FailAt(pr.path, "has " + std::to_string(pr.rows) + " rows; the mesh has " +
                             std::to_string(mesh->mesh.verts.size()) + " vertices (one row per vertex)");
  std::erase_if(rows_, [&](const PendingRows& pr) { return pr.node == &n; });
}

void Loader::ReadNoteTrack(sj::value& v, Node& node) {
  NoteTrackImpl& track = node.AddNoteTrack();
  Fields(r_.Object(v), {"classId", "keys"}, [&](std::string_view key, sj::value& x) {
    if (key == "classId") {
      track.classId = ClassId(x);
      return;
    }
    sj::array keys = r_.Array(x);
    size_t i = 0;
    for (auto e : keys) {
      sj::value k = Get(std::move(e));
      Step s(p_, i++);
      NoteKey note;
      bool hasTime = false, hasText = false;
      Fields(r_.Object(k), {"time", "text"}, [&](std::string_view f, sj::value& y) {
        if (f == "time") {
          hasTime = true;
          note.time = r_.Int32(y);
        } else {
          hasText = true;
          note.note = CStr(std::string(r_.String(y)));
        }
      });
      Required(hasTime, "time");
      Required(hasText, "text");
      track.keys.push_back(std::move(note));
    }
  });
}

void Loader::ResolveMaterials() {
  for (const PendingMaterial& pm : nodeMaterials_) {
    auto it = materials_.find(pm.id);
    if (it == materials_.end())
      r_.FailAt(pm.path, "material " + Quote(pm.id) + " is not defined in /materials");
    pm.node->material = it->second;
  }
}

// ---- Objects --------------------------------------------------------------------

Object* Loader::ReadObject(sj::value& v) {
  sj::object obj = r_.Object(v, "an object (or null)");
  const std::string_view cls = ClassOf(obj);
  if (cls == "mesh") {
    auto& m = scene_.Make<MeshObject>();
    ReadMesh(obj, m.mesh, true);
    return &m;
  }
  if (cls == "light") return ReadLight(obj);
  if (cls == "camera" || cls == "dummy") {
    const bool camera = cls == "camera";
    Fields(
        obj, {"class"}, [](std::string_view, sj::value&) {}, "class");
    return camera ? GenericObject::Camera(scene_) : GenericObject::Dummy(scene_);
  }
  if (cls == "shape") {
    GenericObject* shape = GenericObject::Shape(scene_);
    Fields(
        obj, {"class", "mesh"},
        [&](std::string_view, sj::value& x) {
          // A shape that the host can turn into a triangle mesh: this one.
          auto& mesh = scene_.Make<MeshObject>();
          ReadMesh(r_.Object(x), mesh.mesh, false);
          shape->conversions.extra.push_back({TRIOBJ_CLASS_ID, &mesh});
        },
        "class");
    return shape;
  }
  r_.FailAt(p_.Child("class"),
            "unknown object class " + Quote(cls) + " (mesh, light, camera, dummy or shape)");
}

void Loader::ReadMesh(sj::object obj, Mesh& mesh, bool withClass) {
  bool hasVerts = false, hasFaces = false, hasTVerts = false, hasTVFaces = false;
  bool facesChecked = false, tvfacesChecked = false, tvfacesCounted = false;
  // Per-face arrays that came before the faces: their values, checked at the end.
  std::map<std::string_view, std::vector<uint32_t>> later;
  auto apply = [&](std::string_view key, size_t f, uint32_t value) {
    Face& face = mesh.faces[f];
    if (key == "smoothing")
      face.smGroup = value;
    else if (key == "edges")
      face.flags = value;
    else
      face.matID = static_cast<uint16_t>(value);
  };
  Fields(
      obj,
      withClass ? Keys{"class", "vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"}
                : Keys{"vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"},
      [&](std::string_view key, sj::value& x) {
        if (key == "vertices") {
          hasVerts = true;
          ReadVertices(x, mesh);
        } else if (key == "faces") {
          hasFaces = true;
          facesChecked = hasVerts;
          ReadFaces(x, mesh, hasVerts);
        } else if (key == "smoothing" || key == "edges" || key == "materialIds") {
          std::vector<uint32_t> values =
              PerFace(x, mesh, hasFaces, key == "materialIds" ? 65535 : UINT32_MAX);
          if (!hasFaces) {
            later[key] = std::move(values);
            return;
          }
          for (size_t f = 0; f < values.size(); ++f) apply(key, f, values[f]);
        } else if (key == "tverts") {
          hasTVerts = true;
          ReadTVerts(x, mesh);
        } else {
          hasTVFaces = true;
          tvfacesChecked = hasTVerts;
          tvfacesCounted = hasFaces;
          ReadTVFaces(x, mesh, hasTVerts, hasFaces);
        }
      },
      withClass ? "class" : "");
  Required(hasVerts, "vertices");
  Required(hasFaces, "faces");
  auto at = [&](std::string_view key, size_t i, int k) {
    json::Path p = p_;
    p.PushKey(key);
    p.PushIndex(i);
    if (k >= 0) p.PushIndex(static_cast<size_t>(k));
    return p.Render();
  };
  const int64_t nv = static_cast<int64_t>(mesh.verts.size());
  if (!facesChecked)
    for (size_t f = 0; f < mesh.faces.size(); ++f)
      for (int k = 0; k < 3; ++k)
        if (const int idx = mesh.faces[f].v[k]; idx < 0 || idx >= nv)
          r_.FailAt(at("faces", f, k), "vertex index " + std::to_string(idx) +
                                           " is out of range: the mesh has " + std::to_string(nv) +
                                           " vertices");
  for (const char* key : {"smoothing", "edges", "materialIds"}) {
    auto it = later.find(key);
    if (it == later.end()) continue;
    if (it->second.size() != mesh.faces.size())
      r_.FailAt(p_.Child(key), "has " + std::to_string(it->second.size()) + " entries; the mesh has " +
                                   std::to_string(mesh.faces.size()) + " faces (one per face)");
    for (size_t f = 0; f < it->second.size(); ++f) apply(key, f, it->second[f]);
  }
  if (hasTVFaces && !tvfacesCounted && mesh.tvFace.size() != mesh.faces.size())
    r_.FailAt(p_.Child("tvfaces"), "has " + std::to_string(mesh.tvFace.size()) + " entries; the mesh has " +
                                       std::to_string(mesh.faces.size()) + " faces (one per face)");
  const int64_t nt = static_cast<int64_t>(mesh.tVerts.size());
  if (hasTVFaces && !tvfacesChecked)
    for (size_t f = 0; f < mesh.tvFace.size(); ++f)
      for (int k = 0; k < 3; ++k)
        if (const int idx = mesh.tvFace[f].t[k]; idx < 0 || idx >= nt)
          r_.FailAt(at("tvfaces", f, k), "texture vertex index " + std::to_string(idx) +
                                             " is out of range: the mesh has " + std::to_string(nt) +
                                             " texture vertices");
}

std::string_view Loader::RawArray(sj::value& v) {
  sj::array a = r_.Array(v);
  return Get(a.raw_json());
}

template <class Fn>
void Loader::Again(std::string_view raw, Fn careful) {
  // The array lies inside the padded text: what follows it is readable padding.
  const simdjson::padded_string_view all = text_.View();
  const size_t room = all.capacity() - static_cast<size_t>(raw.data() - all.data());
  sj::parser parser;
  if (auto e = parser.allocate(raw.size(), kMaxJsonDepthForArrays)) throw SyntaxFault{e};
  sj::document doc;
  if (auto e = parser.iterate(raw.data(), raw.size(), room).get(doc)) throw SyntaxFault{e};
  sj::value v = Get(doc.get_value());
  careful(v);
}

void Loader::ReadVertices(sj::value& v, Mesh& mesh) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  mesh.verts.clear();
  mesh.verts.reserve(raw.size() / 8 + 1);  // "[0,0,0]," at the least; untouched room costs nothing
  const bool ok = s.Array([&] {
    float c[3];
    size_t k;
    if (!s.Tuple(3, 3, c, &k, [&](float* f) { return s.Float(f); })) return false;
    mesh.verts.emplace_back(c[0], c[1], c[2]);
    return true;
  });
  if (ok && s.AtEnd()) return;
  Again(raw, [&](sj::value& x) { ReadVerticesCarefully(x, mesh); });
}

void Loader::ReadFaces(sj::value& v, Mesh& mesh, bool verticesKnown) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  mesh.faces.clear();
  mesh.faces.reserve(raw.size() / 8 + 1);
  const int64_t lo = verticesKnown ? 0 : INT32_MIN;
  const int64_t hi = verticesKnown ? static_cast<int64_t>(mesh.verts.size()) - 1 : INT32_MAX;
  const bool ok = s.Array([&] {
    int64_t c[3];
    size_t k;
    if (!s.Tuple(3, 3, c, &k, [&](int64_t* x) { return s.Int(lo, hi, x); })) return false;
    Face& f = mesh.faces.emplace_back();
    f.v[0] = static_cast<int>(c[0]), f.v[1] = static_cast<int>(c[1]), f.v[2] = static_cast<int>(c[2]);
    return true;
  });
  if (ok && s.AtEnd()) return;
  Again(raw, [&](sj::value& x) { ReadFacesCarefully(x, mesh, verticesKnown); });
}

std::vector<uint32_t> Loader::PerFace(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  std::vector<uint32_t> out;
  out.reserve(raw.size() / 2 + 1);
  const bool ok = s.Array([&] {
    int64_t x;
    if (!s.Int(0, hi, &x)) return false;
    out.push_back(static_cast<uint32_t>(x));
    return true;
  });
  if (ok && s.AtEnd() && (!facesKnown || out.size() == mesh.faces.size())) return out;
  Again(raw, [&](sj::value& x) { out = PerFaceCarefully(x, mesh, facesKnown, hi); });
  return out;
}

void Loader::ReadTVerts(sj::value& v, Mesh& mesh) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  mesh.tVerts.clear();
  mesh.tVerts.reserve(raw.size() / 6 + 1);
  const bool ok = s.Array([&] {
    float c[3] = {0, 0, 0};
    size_t k;
    if (!s.Tuple(2, 3, c, &k, [&](float* f) { return s.Float(f); })) return false;
    mesh.tVerts.emplace_back(c[0], c[1], k == 3 ? c[2] : 0.0f);
    return true;
  });
  if (ok && s.AtEnd()) return;
  Again(raw, [&](sj::value& x) { ReadTVertsCarefully(x, mesh); });
}

void Loader::ReadTVFaces(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  mesh.tvFace.clear();
  mesh.tvFace.reserve(raw.size() / 8 + 1);
  const int64_t lo = tvertsKnown ? 0 : INT32_MIN;
  const int64_t hi = tvertsKnown ? static_cast<int64_t>(mesh.tVerts.size()) - 1 : INT32_MAX;
  const bool ok = s.Array([&] {
    int64_t c[3];
    size_t k;
    if (!s.Tuple(3, 3, c, &k, [&](int64_t* x) { return s.Int(lo, hi, x); })) return false;
    TVFace& f = mesh.tvFace.emplace_back();
    f.t[0] = static_cast<int>(c[0]), f.t[1] = static_cast<int>(c[1]), f.t[2] = static_cast<int>(c[2]);
    return true;
  });
  if (ok && s.AtEnd() && (!facesKnown || mesh.tvFace.size() == mesh.faces.size())) return;
  Again(raw, [&](sj::value& x) { ReadTVFacesCarefully(x, mesh, tvertsKnown, facesKnown); });
}

void Loader::ReadVerticesCarefully(sj::value& v, Mesh& mesh) {
  sj::array all = r_.Array(v);
  mesh.verts.resize(r_.Count(all));
  Point3* out = mesh.verts.data();
  size_t i = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    sj::array a;
    if (x.get_array().get(a) == simdjson::SUCCESS) {
      float c[3];
      size_t k;
      if (FastSmall(a, 3, 3, c, &k, FastFloat)) {
        out[i++] = Point3(c[0], c[1], c[2]);
        continue;
      }
      p_.SetIndex(i);
      const size_t n = r_.Count(a);
      if (n != 3) Fail("expected an array of 3 numbers, got " + std::to_string(n) + " entries");
      k = 0;
      for (auto y : a) {
        sj::value z = Get(std::move(y));
        Step s(p_, k);
        c[k++] = r_.Float(z);
      }
      out[i++] = Point3(c[0], c[1], c[2]);
      continue;
    }
    p_.SetIndex(i);
    out[i++] = Vec3(x);
  }
  p_.Pop();
}

void Loader::ReadFacesCarefully(sj::value& v, Mesh& mesh, bool verticesKnown) {
  sj::array all = r_.Array(v);
  mesh.faces.resize(r_.Count(all));
  const int64_t nv = verticesKnown ? static_cast<int64_t>(mesh.verts.size()) : INT32_MAX + int64_t{1};
  const int64_t lo = verticesKnown ? 0 : INT32_MIN;
  auto index = [&](sj::value& z, int64_t* out) { return FastInt(z, lo, nv - 1, out); };
  size_t f = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    Face& face = mesh.faces[f];
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    int64_t c[3];
    size_t k;
    if (isArray && FastSmall(a, 3, 3, c, &k, index)) {
      face.v[0] = static_cast<int>(c[0]), face.v[1] = static_cast<int>(c[1]),
      face.v[2] = static_cast<int>(c[2]);
      ++f;
      continue;
    }
    p_.SetIndex(f);
    if (!isArray) r_.Expect(false, "a face [a, b, c] of vertex indices", r_.Type(x));
    if (r_.Count(a) != 3) r_.Expect(false, "a face [a, b, c] of vertex indices", sj::json_type::array);
    k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k);
      const int64_t idx = r_.Int(z, INT32_MIN, INT32_MAX);
      if (verticesKnown && (idx < 0 || idx >= nv))
        Fail("vertex index " + std::to_string(idx) + " is out of range: the mesh has " + std::to_string(nv) +
             " vertices");
      face.v[k++] = static_cast<int>(idx);
    }
    ++f;
  }
  p_.Pop();
}

std::vector<uint32_t> Loader::PerFaceCarefully(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi) {
  sj::array all = r_.Array(v);
  const size_t n = r_.Count(all);
  if (facesKnown && n != mesh.faces.size())
    Fail("has " + std::to_string(n) + " entries; the mesh has " + std::to_string(mesh.faces.size()) +
         " faces (one per face)");
  std::vector<uint32_t> out(n);
  size_t f = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    p_.SetIndex(f);
    out[f++] = static_cast<uint32_t>(r_.Int(x, 0, hi));
  }
  p_.Pop();
  return out;
}

void Loader::ReadTVertsCarefully(sj::value& v, Mesh& mesh) {
  sj::array all = r_.Array(v);
  mesh.tVerts.resize(r_.Count(all));
  size_t i = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    float c[3] = {0, 0, 0};
    size_t k;
    if (isArray && FastSmall(a, 2, 3, c, &k, FastFloat)) {
      mesh.tVerts[i++] = Point3(c[0], c[1], c[2]);
      continue;
    }
    p_.SetIndex(i);
    const char* what = "a texture vertex [u, v] or [u, v, w]";
    if (!isArray) r_.Expect(false, what, r_.Type(x));
    const size_t n = r_.Count(a);
    if (n != 2 && n != 3) r_.Expect(false, what, sj::json_type::array);
    k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k);
      c[k++] = r_.Float(z);
    }
    mesh.tVerts[i++] = Point3(c[0], c[1], n == 3 ? c[2] : 0.0f);
  }
  p_.Pop();
}

void Loader::ReadTVFacesCarefully(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown) {
  sj::array all = r_.Array(v);
  const size_t n = r_.Count(all);
  if (facesKnown && n != mesh.faces.size())
    Fail("has " + std::to_string(n) + " entries; the mesh has " + std::to_string(mesh.faces.size()) +
         " faces (one per face)");
  mesh.tvFace.resize(n);
  const int64_t nt = tvertsKnown ? static_cast<int64_t>(mesh.tVerts.size()) : INT32_MAX + int64_t{1};
  const int64_t lo = tvertsKnown ? 0 : INT32_MIN;
  auto index = [&](sj::value& z, int64_t* out) { return FastInt(z, lo, nt - 1, out); };
  size_t f = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    TVFace& face = mesh.tvFace[f];
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    int64_t c[3];
    size_t k;
    if (isArray && FastSmall(a, 3, 3, c, &k, index)) {
      face.t[0] = static_cast<int>(c[0]), face.t[1] = static_cast<int>(c[1]),
      face.t[2] = static_cast<int>(c[2]);
      ++f;
      continue;
    }
    p_.SetIndex(f);
    const char* what = "a texture face [a, b, c] of texture vertex indices";
    if (!isArray) r_.Expect(false, what, r_.Type(x));
    if (r_.Count(a) != 3) r_.Expect(false, what, sj::json_type::array);
    k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k);
      const int64_t idx = r_.Int(z, INT32_MIN, INT32_MAX);
      if (tvertsKnown && (idx < 0 || idx >= nt))
        Fail("texture vertex index " + std::to_string(idx) + " is out of range: the mesh has " +
             std::to_string(nt) + " texture vertices");
      face.t[k++] = static_cast<int>(idx);
    }
    ++f;
  }
  p_.Pop();
}

Object* Loader::ReadLight(sj::object obj) {
  std::optional<std::string> type;
  std::optional<int> stateType;
  std::optional<float> target;
  LightState s;
  // The switch: a boolean, or an integer passed on as it is.
  auto onValue = [&](sj::value& x) -> int {
    const sj::json_type t = r_.Type(x);
    if (t == sj::json_type::boolean) return r_.Bool(x) ? 1 : 0;
    const char* what = "true, false or an integer";
    r_.Expect(t == sj::json_type::number, what, t);
    const Number n = r_.Num(x);
    r_.Expect(n.kind != Number::kFloat, what, t);
    if (n.kind != Number::kSigned || n.i < INT32_MIN || n.i > INT32_MAX)
      Fail(n.Text() + " is out of range (" + std::to_string(INT32_MIN) + " to " + std::to_string(INT32_MAX) +
           ")");
    return static_cast<int>(n.i);
  };
  Fields(
      obj,
      {"class", "type", "stateType", "color", "intensity", "on", "hotspot", "falloff", "farAttenuation",
       "targetDistance"},
      [&](std::string_view key, sj::value& x) {
        if (key == "type") {
          type = std::string(r_.String(x));
          if (*type != "omni" && *type != "spot") Fail(Quote(*type) + " is not a light type (omni or spot)");
        } else if (key == "stateType") {
          stateType = r_.Int32(x);
        } else if (key == "color") {
          s.color = Vec3(x);
        } else if (key == "intensity") {
          s.intens = r_.Float(x);
        } else if (key == "on") {
          s.on = onValue(x);
        } else if (key == "hotspot") {
          s.hotsize = r_.Float(x);
        } else if (key == "falloff") {
          s.fallsize = r_.Float(x);
        } else if (key == "farAttenuation") {
          Fields(r_.Object(x), {"on", "start", "end"}, [&](std::string_view k, sj::value& y) {
            if (k == "on")
              s.useAtten = onValue(y);
            else if (k == "start")
              s.attenStart = r_.Float(y);
            else
              s.attenEnd = r_.Float(y);
          });
        } else {
          target = r_.Float(x);
        }
      },
      "class");
  Required(type.has_value(), "type");
  auto& l = scene_.Make<LightObj>(*type == "spot" ? SPOT_LIGHT : OMNI_LIGHT);
  s.type = stateType.value_or(l.state.type);
  l.state = s;
  if (target) l.targetDistance = *target;
  return &l;
}

// ---- Modifiers --------------------------------------------------------------------

Modifier* Loader::ReadModifier(sj::value& v, Object* base, bool baseKnown, Node& node) {
  sj::object obj = r_.Object(v, "a modifier object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "other") {
    std::optional<Class_ID> cid;
    Fields(
        obj, {"class", "classId"},
        [&](std::string_view, sj::value& x) {
          cid = ClassId(x);
          if (*cid == SKIN_CLASSID || *cid == SKIN_CLASSID_ALT)
            Fail("this is a skin modifier class id; use class \"skin\"");
        },
        "class");
    Required(cid.has_value(), "classId");
    return &scene_.Make<OtherModifier>(*cid);
  }
  if (cls != "skin")
    r_.FailAt(p_.Child("class"), "unknown modifier class " + Quote(cls) + " (skin or other)");

  auto& skin = scene_.Make<SkinModifier>();
  bool bonesKnown = false;
  std::vector<uint32_t> rowLengths;  // of rows read before the bones
  std::string weightsPath;
  Fields(
      obj, {"class", "classId", "bones", "weights"},
      [&](std::string_view key, sj::value& x) {
        if (key == "classId") {
          skin.classId = ClassId(x);
        } else if (key == "bones") {
          bonesKnown = true;
          sj::array bones = r_.Array(x);
          size_t i = 0;
          for (auto e : bones) {
            sj::value b = Get(std::move(e));
            Step s(p_, i);
            SkinModifier::Bone out;
            bool hasNode = false;
            Fields(r_.Object(b), {"node", "name", "extra"}, [&](std::string_view k, sj::value& y) {
              if (k == "node") {
                hasNode = true;
                bones_.push_back({&skin, i, std::string(r_.String(y)), p_.Render()});
              } else if (k == "name") {
                out.name = std::string(r_.String(y));
              } else {
                const sj::json_type t = r_.Type(y);
                sj::array a;
                bool three = false;
                if (t == sj::json_type::array) {
                  a = Get(y.get_array());
                  three = r_.Count(a) == 3;
                }
                r_.Expect(three, "three numbers [a, b, c]", t);
                size_t c = 0;
                for (auto z : a) {
                  sj::value w = Get(std::move(z));
                  Step st(p_, c);
                  if (r_.Type(w) == sj::json_type::string) {
                    // Raw bits, for values that no decimal number gives (NaN payloads).
                    const uint32_t bits = ClassWord(w);
                    std::memcpy(&out.extra[c], &bits, 4);
                  } else {
                    out.extra[c] = r_.Float(w);
                  }
                  ++c;
                }
              }
            });
            Required(hasNode, "node");
            skin.bones.push_back(std::move(out));
            ++i;
          }
        } else {
          if (r_.IsNull(x)) return;
          if (!bonesKnown) weightsPath = p_.Render();
          ReadWeights(x, skin, base, baseKnown, bonesKnown, node);
          if (!bonesKnown) rowLengths = std::move(lastRowLengths_);
        }
      },
      "class");
  // Rows read before the bones were known: one weight per bone each.
  const size_t nb = skin.bones.size();
  for (size_t i = 0; i < rowLengths.size(); ++i)
    if (rowLengths[i] != nb)
      r_.FailAt(weightsPath + "/" + std::to_string(i), "has " + std::to_string(rowLengths[i]) +
                                                           " weights; the skin has " + std::to_string(nb) +
                                                           " bones (one weight per bone)");
  if (skin.weights) skin.weights->columns = nb;
  return &skin;
}

void Loader::ReadWeights(sj::value& v, SkinModifier& skin, Object* base, bool baseKnown, bool bonesKnown,
                         Node& node) {
  sj::array rows = r_.Array(v, "an array of weight rows, or null");
  const size_t count = r_.Count(rows);
  if (baseKnown) {
    if (auto* mesh = dynamic_cast<MeshObject*>(base); mesh && count != mesh->mesh.verts.size())
      Fail("has " + std::to_string(count) + " rows; the mesh has " + std::to_string(mesh->mesh.verts.size()) +
           " vertices (one row per vertex)");
  } else {
    rows_.push_back({&node, count, p_.Render()});
  }
  SkinModifier::WeightTable w;
  w.rows = count;
  const size_t nb = skin.bones.size();
  w.columns = nb;
  lastRowLengths_.clear();
  if (bonesKnown) w.values.resize(count * nb);
  std::vector<float> row;
  size_t i = 0;
  p_.PushIndex(0);
  for (auto e : rows) {
    sj::value x = Get(std::move(e));
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    if (bonesKnown) {
      float* out = w.values.data() + i * nb;
      size_t k;
      if (isArray && FastSmall(a, nb, nb, out, &k, FastFloat)) {
        ++i;
        continue;
      }
    }
    p_.SetIndex(i);
    if (!isArray) r_.Expect(false, "a row of weights", r_.Type(x));
    const size_t n = r_.Count(a);
    if (bonesKnown && n != nb)
      Fail("has " + std::to_string(n) + " weights; the skin has " + std::to_string(nb) +
           " bones (one weight per bone)");
    row.clear();
    size_t k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k++);
      row.push_back(r_.Float(z));
    }
    if (bonesKnown) {
      std::copy(row.begin(), row.end(), w.values.begin() + static_cast<std::ptrdiff_t>(i * nb));
    } else {
      lastRowLengths_.push_back(static_cast<uint32_t>(row.size()));
      w.values.insert(w.values.end(), row.begin(), row.end());
    }
    ++i;
  }
  p_.Pop();
  skin.weights = std::move(w);
}

void Loader::ResolveBones() {
  for (auto& p : bones_) {
    std::vector<Node*> found = scene_.FindNodes(p.node);
    if (found.empty()) r_.FailAt(p.path, "bone node " + Quote(p.node) + " does not exist");
    if (found.size() > 1)
      r_.FailAt(p.path, "bone node name " + Quote(p.node) + " is ambiguous: " + std::to_string(found.size()) +
                            " nodes have it");
    p.skin->bones[p.index].node = found.front();
  }
}

// Brackets deeper than this are read on a stack of their own.
constexpr size_t kShallowNesting = 64;

// The deepest nesting of brackets outside strings.
size_t NestingDepth(std::string_view t) {
  size_t depth = 0, deepest = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '"') {
      for (++i; i < t.size() && t[i] != '"'; ++i)
        if (t[i] == '\\') ++i;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth) {
      --depth;
    }
  }
  return deepest;
}

std::unique_ptr<Scene> Parse(const json::Text& text, const std::string& file) {
  Reader r(file);
  auto s = std::make_unique<Scene>();
  // Node trees are read by recursion, as deep as kMaxNodeDepth: a deeply
  // nested text gets a stack of its own (a thread per parse costs more than
  // the parse of a small document).
  const auto parse = [&] {
    // Outside the try: the path may still name keys in the parser's buffer
    // when a syntax fault is explained.
    sj::parser parser;
    try {
      const simdjson::padded_string_view view = text.View();
      if (auto e = parser.allocate(view.size() ? view.size() : 1, kMaxJsonDepth)) throw SyntaxFault{e};
      sj::document doc;
      if (auto e = parser.iterate(view).get(doc)) throw SyntaxFault{e};
      Loader(r, *s, text).Load(doc);
    } catch (const SyntaxFault& f) {
      r.Explain(text.Chars(), f.code);
    }
  };
  // Large texts always: there the thread costs nothing beside the parse.
  const std::string_view chars = text.Chars();
  if (chars.size() > (size_t(1) << 20) || NestingDepth(chars) > kShallowNesting)
    OnDeepStack(parse);
  else
    parse();
  return s;
}

}  // namespace

std::unique_ptr<Scene> ParseDocument(std::string_view text, const std::string& file) {
  return Parse(json::Text(text), file);
}

std::vector<NodeNotes> LoadNoteKeys(const std::string& path) {
  const json::Text text = json::Text::Load(path);
  Reader r(path);
  std::vector<NodeNotes> out;
  try {
    sj::parser parser;
    sj::document doc;
    if (auto e = parser.iterate(text.View()).get(doc)) throw SyntaxFault{e};
    const sj::json_type t = r.Get(doc.type());
    r.Expect(t == sj::json_type::object, "an object of note keys by node name", t);
    std::unordered_set<std::string_view> seen;
    for (auto entry : r.Get(doc.get_object())) {
      sj::field f = r.Get(std::move(entry));
      const std::string_view name = r.Get(f.unescaped_key());
      if (!seen.insert(name).second) r.FailAt(r.path.Child(name), "key appears more than once in its object");
      Step s(r.path, name);
      NodeNotes node{std::string(name), {}};
      size_t i = 0;
      for (auto k : r.Array(f.value(), "an array of [ticks, \"text\"] keys")) {
        sj::value key = r.Get(std::move(k));
        Step sk(r.path, i++);
        sj::array pair = r.Array(key, "a key [ticks, \"text\"]");
        if (r.Count(pair) != 2) r.Expect(false, "a key [ticks, \"text\"]", sj::json_type::array);
        NoteKey note;
        size_t c = 0;
        for (auto x : pair) {
          sj::value v = r.Get(std::move(x));
          Step sc(r.path, c);
          if (c++ == 0)
            note.time = r.Int32(v);
          else
            note.note = CStr(std::string(r.String(v)));
        }
        node.keys.push_back(std::move(note));
      }
      out.push_back(std::move(node));
    }
    const char* rest;
    if (doc.current_location().get(rest) == simdjson::SUCCESS) throw SyntaxFault{simdjson::TRAILING_CONTENT};
  } catch (const SyntaxFault& f) {
    r.Explain(text.Chars(), f.code);
  }
  return out;
}

std::unique_ptr<Scene> LoadDocument(const std::string& path) {
  // The text and the parser's indexes go before the scene is handed out.
  return Parse(json::Text::Load(path), path);
}

}  // namespace scene
