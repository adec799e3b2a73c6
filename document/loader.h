// The scene document loader's parts, shared by the files that read each kind
// of object (materials.cpp, nodes.cpp, objects.cpp, modifiers.cpp) and the
// long number arrays of meshes (numbers.cpp). Not for use outside document/.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "document/json_reader.h"
#include "scene/scene.h"

namespace scene::doc {

using json::Number;
using json::Quote;
using json::Reader;
using json::Step;
using json::SyntaxFault;
namespace sj = json::sj;
using Keys = std::initializer_list<std::string_view>;

// simdjson's nesting limit: room for the deepest node tree (each node is two
// levels: its object and its children) and the values inside a node.
inline constexpr size_t kMaxJsonDepth = 2 * kMaxNodeDepth + 64;
// An array of a mesh read once more: its elements and their numbers.
inline constexpr size_t kMaxJsonDepthForArrays = 64;

inline constexpr const char* kSlotNames[STD_NUM_SLOTS] = {
    "ambient", "diffuse",     "specular", "shininess",  "shininessStrength", "selfIllum",
    "opacity", "filterColor", "bump",     "reflection", "refraction",        "displacement"};

// The shape of a long number array of a mesh: elements of `min` to `max`
// numbers each, or numbers themselves when `max` is 0.
struct NumberShape {
  size_t min = 0, max = 0;
  // Integers: the range the fast reading takes. For tuples of indices
  // (`noun` set) a careful reading words a value outside it as "<noun> index
  // N is out of range: the mesh has hi + 1 <noun>s"; the range is then
  // INT32_MIN..INT32_MAX while what it indexes is not known yet.
  int64_t lo = 0, hi = 0;
  const char* noun = nullptr;
  const char* nouns = nullptr;
  bool indexKnown = false;
  // What an element is, as errors say it ("a face [a, b, c] of vertex
  // indices"); null for points, worded as "an array of 3 numbers".
  const char* element = nullptr;
  // Elements the array must have (one per face), when known.
  std::optional<size_t> count;
  // Characters of text an element takes at the least: room made up front.
  size_t minChars = 2;
};

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
  // The long number arrays of a mesh (document/numbers.cpp).
  void ReadVertices(sj::value& v, Mesh& mesh);
  void ReadFaces(sj::value& v, Mesh& mesh, bool verticesKnown);
  void ReadTVerts(sj::value& v, Mesh& mesh);
  void ReadTVFaces(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown);
  std::vector<uint32_t> PerFace(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi);
  // Fast from the text, as tuples of Min to Max numbers (0: single numbers), else carefully.
  template <class T, size_t Min, size_t Max, class Sink>
  void ReadNumbers(sj::value& v, const NumberShape& shape, Sink& sink);
  template <class T, class Sink>
  void ReadNumbersCarefully(sj::value& v, const NumberShape& shape, Sink& sink);
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

}  // namespace scene::doc
