#include "scene/document.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_set>

namespace scene {

DocumentError::DocumentError(std::string file, std::string pointer, std::string message)
    : std::runtime_error(file + ": " + (pointer.empty() ? std::string("(document)") : pointer) + ": " +
                         message),
      file_(std::move(file)),
      pointer_(std::move(pointer)),
      message_(std::move(message)) {}

namespace {

// Insertion order keeps "the first error" the first in the file.
using Json = nlohmann::ordered_json;

std::string EscapeKey(std::string_view key) {
  std::string out;
  for (char c : key) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out += c;
  }
  return out;
}

std::string Child(const std::string& path, std::string_view key) {
  return path + "/" + EscapeKey(key);
}
std::string Child(const std::string& path, size_t index) {
  return path + "/" + std::to_string(index);
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// ---- Parsing with paths ----------------------------------------------------

// Follows the parser through the document, so that syntax errors and
// duplicate keys can be named by JSON path.
class PathTracker {
 public:
  struct Frame {
    bool array = false;
    long index = -1;
    std::string key;
    std::unordered_set<std::string> keys;
  };
  std::vector<Frame> stack;
  std::string duplicatePath;

  bool Event(nlohmann::detail::parse_event_t event, const Json& parsed) {
    using E = nlohmann::detail::parse_event_t;
    switch (event) {
      case E::object_start:
      case E::array_start:
        Advance();
        stack.push_back(Frame{event == E::array_start, -1, {}, {}});
        break;
      case E::object_end:
      case E::array_end:
        if (!stack.empty()) stack.pop_back();
        break;
      case E::key:
        if (!stack.empty()) {
          Frame& f = stack.back();
          f.key = parsed.get<std::string>();
          if (!f.keys.insert(f.key).second && duplicatePath.empty()) duplicatePath = Where(false);
        }
        break;
      case E::value:
        Advance();
        break;
    }
    return true;
  }

  // The path of the value being read; `next` when the innermost array's
  // element has not been announced yet (the parser failed inside it).
  std::string Where(bool next) const {
    std::string out;
    for (size_t i = 0; i < stack.size(); ++i) {
      const Frame& f = stack[i];
      bool last = i + 1 == stack.size();
      if (f.array) {
        long index = f.index + (last && next ? 1 : 0);
        if (index >= 0) out = Child(out, static_cast<size_t>(index));
      } else if (!f.key.empty() || !f.keys.empty()) {
        out = Child(out, f.key);
      }
    }
    return out;
  }

 private:
  void Advance() {
    if (!stack.empty() && stack.back().array) ++stack.back().index;
  }
};

std::pair<int, int> LineColumn(std::string_view text, size_t byte) {
  int line = 1, column = 1;
  for (size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

Json ParseJson(std::string_view text, const std::string& file) {
  PathTracker tracker;
  Json doc;
  try {
    doc = Json::parse(
        text.begin(), text.end(),
        [&tracker](int, nlohmann::detail::parse_event_t e, Json& parsed) { return tracker.Event(e, parsed); },
        /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::parse_error& e) {
    auto [line, column] = LineColumn(text, e.byte > 0 ? e.byte - 1 : 0);
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.101] parse error at line 1, column 2: " prefix.
    if (auto p = what.find(": "); p != std::string::npos) what = what.substr(p + 2);
    throw DocumentError(file, tracker.Where(true),
                        "not valid JSON at line " + std::to_string(line) + ", column " +
                            std::to_string(column) + ": " + what);
  } catch (const nlohmann::json::out_of_range& e) {
    // The parser rejects a number too large for a double.
    std::string what = e.what();
    if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
    throw DocumentError(file, tracker.Where(true), what + " (not a finite number)");
  } catch (const nlohmann::json::exception& e) {
    throw DocumentError(file, tracker.Where(true), e.what());
  }
  if (!tracker.duplicatePath.empty())
    throw DocumentError(file, tracker.duplicatePath, "key appears more than once in its object");
  return doc;
}

// ---- The loader --------------------------------------------------------------

constexpr const char* kSlotNames[STD_NUM_SLOTS] = {
    "ambient", "diffuse",     "specular", "shininess",  "shininessStrength", "selfIllum",
    "opacity", "filterColor", "bump",     "reflection", "refraction",        "displacement"};

class Loader {
 public:
  Loader(std::string file, Scene& s) : file_(std::move(file)), scene_(s) {}

  void Load(const Json& doc);

 private:
  struct PendingBone {
    SkinModifier* skin;
    size_t index;
    std::string node;
    std::string path;
  };

  [[noreturn]] void Fail(const std::string& path, const std::string& what) const {
    throw DocumentError(file_, path, what);
  }

  // ---- Value readers: each checks type and range and names `path` on failure.

  void Expect(const Json& v, const std::string& path, bool ok, const char* what) const {
    if (!ok) Fail(path, std::string("expected ") + what + ", got " + v.type_name());
  }

  // `v` as an object with only the `allowed` keys.
  const Json& Fields(const Json& v, const std::string& path,
                     std::initializer_list<std::string_view> allowed) const {
    Expect(v, path, v.is_object(), "an object");
    for (auto& [key, value] : v.items()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        std::string list;
        for (auto a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
        Fail(Child(path, key), "unknown key " + Quote(key) + " (allowed here: " + list + ")");
      }
    }
    return v;
  }

  static const Json* Opt(const Json& obj, std::string_view key) {
    auto it = obj.find(std::string(key));
    return it == obj.end() ? nullptr : &*it;
  }

  const Json& Required(const Json& obj, const std::string& path, std::string_view key) const {
    const Json* v = Opt(obj, key);
    if (!v) Fail(Child(path, key), "required key is missing");
    return *v;
  }

  const Json& Array(const Json& v, const std::string& path) const {
    Expect(v, path, v.is_array(), "an array");
    return v;
  }

  const Json& ArrayOf(const Json& v, const std::string& path, size_t n) const {
    Expect(v, path, v.is_array(), ("an array of " + std::to_string(n) + " numbers").c_str());
    if (v.size() != n)
      Fail(path, "expected an array of " + std::to_string(n) + " numbers, got " + std::to_string(v.size()) +
                     " entries");
    return v;
  }

  bool Bool(const Json& v, const std::string& path) const {
    Expect(v, path, v.is_boolean(), "true or false");
    return v.get<bool>();
  }

  std::string String(const Json& v, const std::string& path) const {
    Expect(v, path, v.is_string(), "a string");
    const std::string& s = v.get_ref<const std::string&>();
    // The host hands strings out as C strings: a zero byte would cut them short.
    if (s.find('\0') != std::string::npos) Fail(path, "string contains a zero character");
    return s;
  }

  // A string, or null for "the host gives no name".
  std::optional<std::string> NullableString(const Json& v, const std::string& path) const {
    if (v.is_null()) return std::nullopt;
    Expect(v, path, v.is_string(), "a string or null");
    return String(v, path);
  }

  int64_t Int(const Json& v, const std::string& path, int64_t lo, int64_t hi) const {
    Expect(v, path, v.is_number_integer(), "an integer");
    bool ok;
    int64_t x = 0;
    if (v.is_number_unsigned()) {
      uint64_t u = v.get<uint64_t>();
      ok = u <= static_cast<uint64_t>(hi) && (lo <= 0 || u >= static_cast<uint64_t>(lo));
      x = ok ? static_cast<int64_t>(u) : 0;
    } else {
      x = v.get<int64_t>();
      ok = x >= lo && x <= hi;
    }
    if (!ok) {
      std::string shown = v.dump();
      Fail(path, shown + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
    }
    return x;
  }

  int32_t Int32(const Json& v, const std::string& path) const {
    return static_cast<int32_t>(Int(v, path, INT32_MIN, INT32_MAX));
  }
  uint32_t Uint32(const Json& v, const std::string& path) const {
    return static_cast<uint32_t>(Int(v, path, 0, UINT32_MAX));
  }

  double Double(const Json& v, const std::string& path) const {
    Expect(v, path, v.is_number(), "a number");
    double d = v.get<double>();
    if (!std::isfinite(d)) Fail(path, "not a finite number");
    return d;
  }

  float Float(const Json& v, const std::string& path) const {
    double d = Double(v, path);
    if (std::fabs(d) > FLT_MAX) Fail(path, v.dump() + " is out of range for a 32-bit float");
    return static_cast<float>(d);
  }

  Point3 Vec3(const Json& v, const std::string& path) const {
    ArrayOf(v, path, 3);
    return {Float(v[0], Child(path, 0)), Float(v[1], Child(path, 1)), Float(v[2], Child(path, 2))};
  }

  uint32_t ClassWord(const Json& v, const std::string& path) const {
    if (v.is_string()) {
      const std::string& s = v.get_ref<const std::string&>();
      bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      std::string digits = hex ? s.substr(2) : s;
      const char* set = hex ? "0123456789abcdefABCDEF" : "0123456789";
      if (digits.empty() || digits.size() > 10 || digits.find_first_not_of(set) != std::string::npos)
        Fail(path, Quote(s) + " is not a number such as \"0x1011\" or \"4113\"");
      uint64_t x = std::stoull(digits, nullptr, hex ? 16 : 10);
      if (x > UINT32_MAX) Fail(path, Quote(s) + " is out of range for a 32-bit word");
      return static_cast<uint32_t>(x);
    }
    Expect(v, path, v.is_number_integer(), "an integer or a string such as \"0x1011\"");
    return Uint32(v, path);
  }

  Class_ID ClassId(const Json& v, const std::string& path) const {
    Expect(v, path, v.is_array() && v.size() == 2, "a class id [a, b]");
    return Class_ID(ClassWord(v[0], Child(path, 0)), ClassWord(v[1], Child(path, 1)));
  }

  Matrix3 Transform(const Json& v, const std::string& path) const {
    if (v.is_array()) {
      if (v.size() != 4)
        Fail(path, "a matrix has 4 rows of 3 numbers, got " + std::to_string(v.size()) + " rows");
      Matrix3 m;
      for (size_t r = 0; r < 4; ++r) m.SetRow(static_cast<int>(r), Vec3(v[r], Child(path, r)));
      return m;
    }
    Expect(v, path, v.is_object(),
           "a matrix (4 rows of 3 numbers) or an object with position, rotation, scale");
    Fields(v, path, {"position", "rotation", "scale"});
    TRS trs;
    if (auto* p = Opt(v, "position")) trs.position = Vec3(*p, Child(path, "position"));
    if (auto* s = Opt(v, "scale")) trs.scale = Vec3(*s, Child(path, "scale"));
    if (auto* r = Opt(v, "rotation")) {
      std::string rp = Child(path, "rotation");
      ArrayOf(*r, rp, 4);
      Quat q{Float((*r)[0], Child(rp, 0)), Float((*r)[1], Child(rp, 1)), Float((*r)[2], Child(rp, 2)),
             Float((*r)[3], Child(rp, 3))};
      double len = std::sqrt(double(q.x) * q.x + double(q.y) * q.y + double(q.z) * q.z + double(q.w) * q.w);
      if (std::fabs(len - 1.0) > 1e-3)
        Fail(rp,
             "rotation is not a unit quaternion [x, y, z, w] (its length is " + std::to_string(len) + ")");
      trs.rotation = q;
    }
    return Compose(trs);
  }

  // ---- Parts of the document.

  void ReadMaterials(const Json& v, const std::string& path);
  Mtl* ReadMaterial(const Json& v, const std::string& path);
  Texmap* ReadMap(const Json& v, const std::string& path);
  void ReadNode(const Json& v, const std::string& path, Node* parent, int depth);
  Object* ReadObject(const Json& v, const std::string& path);
  void ReadMesh(const Json& v, const std::string& path, Mesh& mesh, bool withClass);
  Object* ReadLight(const Json& v, const std::string& path);
  Modifier* ReadModifier(const Json& v, const std::string& path, Object* base);
  void ReadNoteTrack(const Json& v, const std::string& path, Node& node);
  void ResolveBones();

  std::string file_;
  Scene& scene_;
  std::map<std::string, Mtl*> materials_;
  std::vector<PendingBone> bones_;
};

void Loader::Load(const Json& doc) {
  const std::string root;
  Fields(doc, root,
         {"$schema", "format", "version", "ticksPerFrame", "animationRange", "masterScale", "materials",
          "nodes"});
  if (auto* s = Opt(doc, "$schema")) String(*s, "/$schema");
  const Json& format = Required(doc, root, "format");
  if (!format.is_string() || format.get<std::string>() != "thm-scene")
    Fail("/format", "expected \"thm-scene\", got " + format.dump());
  const Json& version = Required(doc, root, "version");
  if (Int(version, "/version", INT64_MIN, INT64_MAX) != 1)
    Fail("/version", "unsupported version " + version.dump() + " (this host reads version 1)");

  if (auto* t = Opt(doc, "ticksPerFrame"))
    scene_.ticksPerFrame = static_cast<int>(Int(*t, "/ticksPerFrame", 1, INT32_MAX));
  if (auto* r = Opt(doc, "animationRange")) {
    Expect(*r, "/animationRange", r->is_array() && r->size() == 2, "[start, end] in ticks");
    TimeValue a = Int32((*r)[0], "/animationRange/0"), b = Int32((*r)[1], "/animationRange/1");
    if (a > b) Fail("/animationRange", "the range ends before it starts");
    scene_.animationRange = Interval(a, b);
  }
  if (auto* m = Opt(doc, "masterScale")) {
    double d = Double(*m, "/masterScale");
    if (!(d > 0)) Fail("/masterScale", "the master scale must be greater than 0");
    scene_.masterScale = d;
  }
  if (auto* m = Opt(doc, "materials")) ReadMaterials(*m, "/materials");
  if (auto* n = Opt(doc, "nodes")) {
    Array(*n, "/nodes");
    for (size_t i = 0; i < n->size(); ++i) ReadNode((*n)[i], Child("/nodes", i), nullptr, 1);
  }
  ResolveBones();
}

// ---- Materials and maps ------------------------------------------------------

void Loader::ReadMaterials(const Json& v, const std::string& path) {
  Expect(v, path, v.is_object(), "an object of materials by id");
  // Multi materials refer to others by id, in any order: make all, then link.
  for (auto& [id, m] : v.items()) materials_[id] = ReadMaterial(m, Child(path, id));

  std::map<Mtl*, std::vector<Mtl*>> edges;
  for (auto& [id, m] : v.items()) {
    if (m.at("class") != "multi") continue;
    auto* multi = static_cast<MultiMaterial*>(materials_[id]);
    std::string sp = Child(Child(path, id), "subMaterials");
    if (auto* subs = Opt(m, "subMaterials")) {
      Array(*subs, sp);
      for (size_t i = 0; i < subs->size(); ++i) {
        const Json& s = (*subs)[i];
        if (s.is_null()) {
          multi->subs.push_back(nullptr);
          continue;
        }
        std::string ref = String(s, Child(sp, i));
        auto it = materials_.find(ref);
        if (it == materials_.end())
          Fail(Child(sp, i), "material " + Quote(ref) + " is not defined in /materials");
        multi->subs.push_back(it->second);
        edges[multi].push_back(it->second);
      }
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
      if (state[sub] == 1)
        Fail(Child(Child(path, idOf[m]), "subMaterials"),
             "material " + Quote(idOf[sub]) + " contains itself through its sub-materials");
      if (state[sub] == 0) {
        state[sub] = 1;
        stack.push_back({sub, 0});
      }
    }
  }
}

Mtl* Loader::ReadMaterial(const Json& v, const std::string& path) {
  Expect(v, path, v.is_object(), "a material object");
  std::string cls = String(Required(v, path, "class"), Child(path, "class"));
  if (cls == "standard") {
    Fields(v, path, {"class", "name", "twoSided", "transparencyType", "opacity", "maps"});
    auto& m = scene_.Make<StdMaterial>();
    if (auto* n = Opt(v, "name")) m.name = NullableString(*n, Child(path, "name"));
    if (auto* t = Opt(v, "twoSided")) m.twoSided = Bool(*t, Child(path, "twoSided")) ? 1 : 0;
    if (auto* t = Opt(v, "transparencyType")) {
      std::string tp = Child(path, "transparencyType");
      if (t->is_string()) {
        std::string s = t->get<std::string>();
        if (s == "filter")
          m.transparencyType = TRANSP_FILTER;
        else if (s == "subtractive")
          m.transparencyType = TRANSP_SUBTRACTIVE;
        else if (s == "additive")
          m.transparencyType = TRANSP_ADDITIVE;
        else
          Fail(tp, Quote(s) + " is not a transparency type (filter, subtractive, additive or an integer)");
      } else {
        m.transparencyType = Int32(*t, tp);
      }
    }
    if (auto* o = Opt(v, "opacity")) m.opacity = Float(*o, Child(path, "opacity"));
    if (auto* maps = Opt(v, "maps")) {
      std::string mp = Child(path, "maps");
      Expect(*maps, mp, maps->is_object(), "an object of maps by slot");
      std::set<int> used;
      for (auto& [slotKey, slotValue] : maps->items()) {
        std::string sp = Child(mp, slotKey);
        int slot = -1;
        for (int i = 0; i < STD_NUM_SLOTS; ++i)
          if (slotKey == kSlotNames[i] || slotKey == std::to_string(i)) slot = i;
        if (slot < 0) {
          std::string names;
          for (auto* n : kSlotNames) names += std::string(names.empty() ? "" : ", ") + n;
          Fail(sp, "unknown map slot " + Quote(slotKey) + " (0 to 11 or " + names + ")");
        }
        if (!used.insert(slot).second) Fail(sp, "map slot " + std::to_string(slot) + " is given twice");
        Fields(slotValue, sp, {"map", "amount"});
        auto& s = m.slots[static_cast<size_t>(slot)];
        s.map = ReadMap(Required(slotValue, sp, "map"), Child(sp, "map"));
        if (auto* a = Opt(slotValue, "amount")) s.amount = Float(*a, Child(sp, "amount"));
      }
    }
    return &m;
  }
  if (cls == "multi") {
    Fields(v, path, {"class", "name", "subMaterials"});
    auto& m = scene_.Make<MultiMaterial>();
    if (auto* n = Opt(v, "name")) m.name = NullableString(*n, Child(path, "name"));
    return &m;  // sub-materials are linked once every material exists
  }
  if (cls == "other") {
    Fields(v, path, {"class", "name", "classId"});
    Class_ID cid = ClassId(Required(v, path, "classId"), Child(path, "classId"));
    // The exporter casts by class id: a stand-in with a known id would be read as that class.
    if (cid == DMTL_CLASS_ID || cid == MULTI_CLASS_ID)
      Fail(Child(path, "classId"), "this is the class id of the " +
                                       std::string(cid == DMTL_CLASS_ID ? "standard" : "multi") +
                                       " material; use that class");
    auto& m = scene_.Make<OtherMaterial>("", cid);
    if (auto* n = Opt(v, "name")) m.name = NullableString(*n, Child(path, "name"));
    return &m;
  }
  Fail(Child(path, "class"), "unknown material class " + Quote(cls) + " (standard, multi or other)");
}

Texmap* Loader::ReadMap(const Json& v, const std::string& path) {
  Expect(v, path, v.is_object(), "a texture map object");
  std::string cls = String(Required(v, path, "class"), Child(path, "class"));
  if (cls == "bitmap") {
    Fields(v, path, {"class", "fileName", "alphaSource", "uvTransform", "crop"});
    auto& m = scene_.Make<BitmapMap>();
    if (auto* f = Opt(v, "fileName")) m.fileName = NullableString(*f, Child(path, "fileName"));
    if (auto* a = Opt(v, "alphaSource")) {
      std::string ap = Child(path, "alphaSource");
      if (a->is_string()) {
        std::string s = a->get<std::string>();
        if (s == "file")
          m.alphaSource = ALPHA_FILE;
        else if (s == "rgb")
          m.alphaSource = ALPHA_RGB;
        else if (s == "none")
          m.alphaSource = ALPHA_NONE;
        else
          Fail(ap, Quote(s) + " is not an alpha source (file, rgb, none or an integer)");
      } else {
        m.alphaSource = Int32(*a, ap);
      }
    }
    if (auto* t = Opt(v, "uvTransform")) m.uvTransform = Transform(*t, Child(path, "uvTransform"));
    if (auto* c = Opt(v, "crop")) {
      std::string cp = Child(path, "crop");
      ArrayOf(*c, cp, 4);
      m.SetCrop(Float((*c)[0], Child(cp, 0)), Float((*c)[1], Child(cp, 1)), Float((*c)[2], Child(cp, 2)),
                Float((*c)[3], Child(cp, 3)));
    }
    return &m;
  }
  if (cls == "other") {
    Fields(v, path, {"class", "classId", "uvTransform"});
    Class_ID cid = ClassId(Required(v, path, "classId"), Child(path, "classId"));
    if (cid == BMTEX_CLASS_ID)
      Fail(Child(path, "classId"), "this is the bitmap class id; use class \"bitmap\"");
    auto& m = scene_.Make<OtherMap>(cid);
    if (auto* t = Opt(v, "uvTransform")) m.uvTransform = Transform(*t, Child(path, "uvTransform"));
    return &m;
  }
  Fail(Child(path, "class"), "unknown texture map class " + Quote(cls) + " (bitmap or other)");
}

// ---- Nodes -------------------------------------------------------------------

void Loader::ReadNode(const Json& v, const std::string& path, Node* parent, int depth) {
  if (depth > kMaxNodeDepth)
    Fail(path, "nodes are nested more than " + std::to_string(kMaxNodeDepth) + " deep");
  Fields(v, path,
         {"name", "hidden", "transform", "animation", "objectOffset", "material", "object", "modifiers",
          "noteTracks", "children"});
  Node& n = scene_.AddNode("", parent);
  if (auto* x = Opt(v, "name")) n.name = NullableString(*x, Child(path, "name"));
  if (auto* x = Opt(v, "hidden")) n.hidden = Bool(*x, Child(path, "hidden"));
  if (auto* x = Opt(v, "transform")) n.transform = Transform(*x, Child(path, "transform"));
  if (auto* x = Opt(v, "animation")) {
    std::string ap = Child(path, "animation");
    Array(*x, ap);
    for (size_t i = 0; i < x->size(); ++i) {
      std::string kp = Child(ap, i);
      const Json& k = Fields((*x)[i], kp, {"time", "transform"});
      TransformKey key;
      key.time = Int32(Required(k, kp, "time"), Child(kp, "time"));
      key.transform = Transform(Required(k, kp, "transform"), Child(kp, "transform"));
      if (!n.keys.empty() && key.time <= n.keys.back().time)
        Fail(Child(kp, "time"), "key times must ascend: " + std::to_string(key.time) + " follows " +
                                    std::to_string(n.keys.back().time));
      n.keys.push_back(key);
    }
  }
  if (auto* x = Opt(v, "objectOffset")) n.objectOffset = Transform(*x, Child(path, "objectOffset"));
  if (auto* x = Opt(v, "material"); x && !x->is_null()) {
    std::string mp = Child(path, "material");
    std::string id = String(*x, mp);
    auto it = materials_.find(id);
    if (it == materials_.end()) Fail(mp, "material " + Quote(id) + " is not defined in /materials");
    n.material = it->second;
  }
  if (auto* x = Opt(v, "object"); x && !x->is_null()) n.SetObject(ReadObject(*x, Child(path, "object")));
  if (auto* x = Opt(v, "modifiers")) {
    std::string mp = Child(path, "modifiers");
    Array(*x, mp);
    if (!x->empty() && !n.BaseObject()) Fail(mp, "a modifier stack needs an object to modify");
    for (size_t i = 0; i < x->size(); ++i) n.AddModifier(ReadModifier((*x)[i], Child(mp, i), n.BaseObject()));
  }
  if (auto* x = Opt(v, "noteTracks")) {
    std::string tp = Child(path, "noteTracks");
    Array(*x, tp);
    for (size_t i = 0; i < x->size(); ++i) ReadNoteTrack((*x)[i], Child(tp, i), n);
  }
  if (auto* x = Opt(v, "children")) {
    std::string cp = Child(path, "children");
    Array(*x, cp);
    for (size_t i = 0; i < x->size(); ++i) ReadNode((*x)[i], Child(cp, i), &n, depth + 1);
  }
}

void Loader::ReadNoteTrack(const Json& v, const std::string& path, Node& node) {
  Fields(v, path, {"classId", "keys"});
  NoteTrackImpl& track = node.AddNoteTrack();
  if (auto* c = Opt(v, "classId")) track.classId = ClassId(*c, Child(path, "classId"));
  if (auto* k = Opt(v, "keys")) {
    std::string kp = Child(path, "keys");
    Array(*k, kp);
    for (size_t i = 0; i < k->size(); ++i) {
      std::string ep = Child(kp, i);
      const Json& e = Fields((*k)[i], ep, {"time", "text"});
      NoteKey key;
      key.time = Int32(Required(e, ep, "time"), Child(ep, "time"));
      key.note = CStr(String(Required(e, ep, "text"), Child(ep, "text")));
      track.keys.push_back(std::move(key));
    }
  }
}

// ---- Objects -----------------------------------------------------------------

Object* Loader::ReadObject(const Json& v, const std::string& path) {
  Expect(v, path, v.is_object(), "an object (or null)");
  std::string cls = String(Required(v, path, "class"), Child(path, "class"));
  if (cls == "mesh") {
    auto& m = scene_.Make<MeshObject>();
    ReadMesh(v, path, m.mesh, true);
    return &m;
  }
  if (cls == "light") return ReadLight(v, path);
  if (cls == "camera" || cls == "dummy") {
    Fields(v, path, {"class"});
    return cls == "camera" ? GenericObject::Camera(scene_) : GenericObject::Dummy(scene_);
  }
  if (cls == "shape") {
    Fields(v, path, {"class", "mesh"});
    GenericObject* shape = GenericObject::Shape(scene_);
    if (auto* m = Opt(v, "mesh")) {
      // A shape that the host can turn into a triangle mesh: this one.
      auto& mesh = scene_.Make<MeshObject>();
      ReadMesh(*m, Child(path, "mesh"), mesh.mesh, false);
      shape->conversions.extra.push_back({TRIOBJ_CLASS_ID, &mesh});
    }
    return shape;
  }
  Fail(Child(path, "class"), "unknown object class " + Quote(cls) + " (mesh, light, camera, dummy or shape)");
}

void Loader::ReadMesh(const Json& v, const std::string& path, Mesh& mesh, bool withClass) {
  if (withClass)
    Fields(v, path, {"class", "vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"});
  else
    Fields(v, path, {"vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"});

  std::string vp = Child(path, "vertices");
  const Json& verts = Array(Required(v, path, "vertices"), vp);
  mesh.verts.reserve(verts.size());
  for (size_t i = 0; i < verts.size(); ++i) mesh.verts.push_back(Vec3(verts[i], Child(vp, i)));

  std::string fp = Child(path, "faces");
  const Json& faces = Array(Required(v, path, "faces"), fp);
  const int64_t nv = static_cast<int64_t>(mesh.verts.size());
  mesh.faces.resize(faces.size());
  for (size_t f = 0; f < faces.size(); ++f) {
    std::string p = Child(fp, f);
    Expect(faces[f], p, faces[f].is_array() && faces[f].size() == 3, "a face [a, b, c] of vertex indices");
    for (size_t k = 0; k < 3; ++k) {
      int64_t idx = Int(faces[f][k], Child(p, k), INT32_MIN, INT32_MAX);
      if (idx < 0 || idx >= nv)
        Fail(Child(p, k), "vertex index " + std::to_string(idx) + " is out of range: the mesh has " +
                              std::to_string(nv) + " vertices");
      mesh.faces[f].v[k] = static_cast<int>(idx);
    }
  }

  // Per-face arrays: one entry per face, or absent.
  auto perFace = [&](const char* key) -> const Json* {
    const Json* a = Opt(v, key);
    if (!a) return nullptr;
    std::string ap = Child(path, key);
    Array(*a, ap);
    if (a->size() != mesh.faces.size())
      Fail(ap, "has " + std::to_string(a->size()) + " entries; the mesh has " +
                   std::to_string(mesh.faces.size()) + " faces (one per face)");
    return a;
  };
  if (auto* a = perFace("smoothing"))
    for (size_t f = 0; f < a->size(); ++f)
      mesh.faces[f].smGroup = Uint32((*a)[f], Child(Child(path, "smoothing"), f));
  if (auto* a = perFace("edges"))
    for (size_t f = 0; f < a->size(); ++f)
      mesh.faces[f].flags = Uint32((*a)[f], Child(Child(path, "edges"), f));
  if (auto* a = perFace("materialIds"))
    for (size_t f = 0; f < a->size(); ++f)
      mesh.faces[f].matID =
          static_cast<uint16_t>(Int((*a)[f], Child(Child(path, "materialIds"), f), 0, 65535));

  if (auto* t = Opt(v, "tverts")) {
    std::string tp = Child(path, "tverts");
    Array(*t, tp);
    mesh.tVerts.reserve(t->size());
    for (size_t i = 0; i < t->size(); ++i) {
      std::string p = Child(tp, i);
      const Json& uv = (*t)[i];
      Expect(uv, p, uv.is_array() && (uv.size() == 2 || uv.size() == 3),
             "a texture vertex [u, v] or [u, v, w]");
      mesh.tVerts.push_back(Point3(Float(uv[0], Child(p, 0)), Float(uv[1], Child(p, 1)),
                                   uv.size() == 3 ? Float(uv[2], Child(p, 2)) : 0.0f));
    }
  }
  if (auto* tf = perFace("tvfaces")) {
    std::string tp = Child(path, "tvfaces");
    const int64_t nt = static_cast<int64_t>(mesh.tVerts.size());
    mesh.tvFace.resize(tf->size());
    for (size_t f = 0; f < tf->size(); ++f) {
      std::string p = Child(tp, f);
      const Json& face = (*tf)[f];
      Expect(face, p, face.is_array() && face.size() == 3,
             "a texture face [a, b, c] of texture vertex indices");
      for (size_t k = 0; k < 3; ++k) {
        int64_t idx = Int(face[k], Child(p, k), INT32_MIN, INT32_MAX);
        if (idx < 0 || idx >= nt)
          Fail(Child(p, k), "texture vertex index " + std::to_string(idx) +
                                " is out of range: the mesh has " + std::to_string(nt) + " texture vertices");
        mesh.tvFace[f].t[k] = static_cast<int>(idx);
      }
    }
  }
}

Object* Loader::ReadLight(const Json& v, const std::string& path) {
  Fields(v, path,
         {"class", "type", "stateType", "color", "intensity", "on", "hotspot", "falloff", "farAttenuation",
          "targetDistance"});
  std::string tp = Child(path, "type");
  std::string type = String(Required(v, path, "type"), tp);
  if (type != "omni" && type != "spot") Fail(tp, Quote(type) + " is not a light type (omni or spot)");
  auto& l = scene_.Make<LightObj>(type == "spot" ? SPOT_LIGHT : OMNI_LIGHT);
  LightState& s = l.state;
  auto onValue = [&](const Json& x, const std::string& p) -> int {
    if (x.is_boolean()) return x.get<bool>() ? 1 : 0;
    Expect(x, p, x.is_number_integer(), "true, false or an integer");
    return Int32(x, p);
  };
  if (auto* x = Opt(v, "stateType")) s.type = Int32(*x, Child(path, "stateType"));
  if (auto* x = Opt(v, "color")) s.color = Vec3(*x, Child(path, "color"));
  if (auto* x = Opt(v, "intensity")) s.intens = Float(*x, Child(path, "intensity"));
  if (auto* x = Opt(v, "on")) s.on = onValue(*x, Child(path, "on"));
  if (auto* x = Opt(v, "hotspot")) s.hotsize = Float(*x, Child(path, "hotspot"));
  if (auto* x = Opt(v, "falloff")) s.fallsize = Float(*x, Child(path, "falloff"));
  if (auto* x = Opt(v, "farAttenuation")) {
    std::string ap = Child(path, "farAttenuation");
    Fields(*x, ap, {"on", "start", "end"});
    if (auto* y = Opt(*x, "on")) s.useAtten = onValue(*y, Child(ap, "on"));
    if (auto* y = Opt(*x, "start")) s.attenStart = Float(*y, Child(ap, "start"));
    if (auto* y = Opt(*x, "end")) s.attenEnd = Float(*y, Child(ap, "end"));
  }
  if (auto* x = Opt(v, "targetDistance")) l.targetDistance = Float(*x, Child(path, "targetDistance"));
  return &l;
}

// ---- Modifiers ---------------------------------------------------------------

Modifier* Loader::ReadModifier(const Json& v, const std::string& path, Object* base) {
  Expect(v, path, v.is_object(), "a modifier object");
  std::string cls = String(Required(v, path, "class"), Child(path, "class"));
  if (cls == "other") {
    Fields(v, path, {"class", "classId"});
    Class_ID cid = ClassId(Required(v, path, "classId"), Child(path, "classId"));
    if (cid == SKIN_CLASSID || cid == SKIN_CLASSID_ALT)
      Fail(Child(path, "classId"), "this is a skin modifier class id; use class \"skin\"");
    return &scene_.Make<OtherModifier>(cid);
  }
  if (cls != "skin") Fail(Child(path, "class"), "unknown modifier class " + Quote(cls) + " (skin or other)");

  Fields(v, path, {"class", "classId", "bones", "weights"});
  auto& skin = scene_.Make<SkinModifier>();
  if (auto* c = Opt(v, "classId")) skin.classId = ClassId(*c, Child(path, "classId"));
  if (auto* b = Opt(v, "bones")) {
    std::string bp = Child(path, "bones");
    Array(*b, bp);
    for (size_t i = 0; i < b->size(); ++i) {
      std::string p = Child(bp, i);
      const Json& bone = Fields((*b)[i], p, {"node", "name", "extra"});
      SkinModifier::Bone out;
      bones_.push_back({&skin, i, String(Required(bone, p, "node"), Child(p, "node")), Child(p, "node")});
      if (auto* n = Opt(bone, "name")) out.name = String(*n, Child(p, "name"));
      if (auto* e = Opt(bone, "extra")) {
        std::string ep = Child(p, "extra");
        Expect(*e, ep, e->is_array() && e->size() == 3, "three numbers [a, b, c]");
        for (size_t k = 0; k < 3; ++k) {
          const Json& x = (*e)[k];
          if (x.is_string()) {
            // Raw bits, for values that no decimal number gives (NaN payloads).
            uint32_t bits = ClassWord(x, Child(ep, k));
            std::memcpy(&out.extra[k], &bits, 4);
          } else {
            out.extra[k] = Float(x, Child(ep, k));
          }
        }
      }
      skin.bones.push_back(std::move(out));
    }
  }
  if (auto* w = Opt(v, "weights"); w && !w->is_null()) {
    std::string wp = Child(path, "weights");
    Expect(*w, wp, w->is_array(), "an array of weight rows, or null");
    const size_t nb = skin.bones.size();
    if (auto* mesh = dynamic_cast<MeshObject*>(base); mesh && w->size() != mesh->mesh.verts.size())
      Fail(wp, "has " + std::to_string(w->size()) + " rows; the mesh has " +
                   std::to_string(mesh->mesh.verts.size()) + " vertices (one row per vertex)");
    std::vector<std::vector<float>> rows(w->size());
    for (size_t i = 0; i < w->size(); ++i) {
      std::string rp = Child(wp, i);
      const Json& row = (*w)[i];
      Expect(row, rp, row.is_array(), "a row of weights");
      if (row.size() != nb)
        Fail(rp, "has " + std::to_string(row.size()) + " weights; the skin has " + std::to_string(nb) +
                     " bones (one weight per bone)");
      rows[i].reserve(nb);
      for (size_t j = 0; j < nb; ++j) rows[i].push_back(Float(row[j], Child(rp, j)));
    }
    skin.weights = std::move(rows);
  }
  return &skin;
}

void Loader::ResolveBones() {
  for (auto& p : bones_) {
    std::vector<Node*> found = scene_.FindNodes(p.node);
    if (found.empty()) Fail(p.path, "bone node " + Quote(p.node) + " does not exist");
    if (found.size() > 1)
      Fail(p.path, "bone node name " + Quote(p.node) + " is ambiguous: " + std::to_string(found.size()) +
                       " nodes have it");
    p.skin->bones[p.index].node = found.front();
  }
}

}  // namespace

std::unique_ptr<Scene> ParseDocument(std::string_view text, const std::string& file) {
  Json doc = ParseJson(text, file);
  auto s = std::make_unique<Scene>();
  Loader(file, *s).Load(doc);
  return s;
}

std::unique_ptr<Scene> LoadDocument(const std::string& path) {
  auto fail = [&path](int err) {
    return DocumentError(path, "", std::string("cannot be read: ") + std::strerror(err));
  };
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw fail(errno);
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  if (std::ferror(f.get())) throw fail(errno ? errno : EIO);
  return ParseDocument(text, path);
}

}  // namespace scene
