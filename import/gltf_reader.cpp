#include "import/gltf_reader.h"

#include <assimp/BaseImporter.h>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/importerdesc.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "import/skeleton_io.h"

namespace scene::gltf {

namespace {

// A JSON value with its place in the text. Objects keep every member in
// order, repeated keys too: Assimp's JSON library finds a key's first member.
struct Json {
  enum Kind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  size_t begin = 0, end = 0;  // the value's text
  struct Member;
  std::vector<Member> members;
  std::vector<Json> items;

  const Json* Get(std::string_view key) const;
  // A whole number written plainly that fits 32 bits: what Assimp reads as one.
  bool Uint(std::string_view text, uint32_t* out) const {
    if (kind != kNumber || end - begin > 10) return false;
    uint64_t v = 0;
    for (size_t i = begin; i < end; ++i) {
      const char c = text[i];
      if (c < '0' || c > '9' || (i == begin && c == '0' && end - begin > 1)) return false;
      v = v * 10 + uint64_t(c - '0');
    }
    if (v > 0xffffffffu) return false;
    *out = uint32_t(v);
    return true;
  }
  std::string_view Text(std::string_view text) const { return text.substr(begin, end - begin); }
  // A string's contents, escapes as written.
  std::string_view Contents(std::string_view text) const { return text.substr(begin + 1, end - begin - 2); }
};

struct Json::Member {
  std::string_view key;  // as written, without quotes
  size_t keyBegin = 0;   // the key's opening quote
  Json value;
};

const Json* Json::Get(std::string_view key) const {
  for (const Member& m : members)
    if (m.key == key) return &m.value;
  return nullptr;
}

// A strict JSON parser keeping places. Where it and Assimp's disagree on a
// text, the skeleton fails in Assimp and the file goes to Assimp whole.
class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}
  bool Parse(Json& root) {
    Space();
    if (!Value(root, 0)) return false;
    Space();
    return at_ == s_.size();
  }
  bool escapedKey = false;  // a key written with an escape: we would not find it as Assimp does

 private:
  void Space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
      ++at_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool String(bool* escaped) {
    ++at_;  // the opening quote
    while (at_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        *escaped = true;
        if (++at_ >= s_.size()) return false;
        const char e = s_[at_];
        if (e == 'u') {
          for (int k = 1; k <= 4; ++k)
            if (at_ + k >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[at_ + k]))) return false;
          at_ += 4;
        } else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
          return false;
        }
      }
      ++at_;
    }
    return false;
  }
  bool Digits() {
    const size_t from = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > from;
  }
  bool Number() {
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    if (at_ < s_.size() && s_[at_] == '0')
      ++at_;
    else if (!Digits())
      return false;
    if (at_ < s_.size() && s_[at_] == '.') {
      ++at_;
      if (!Digits()) return false;
    }
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    return true;
  }
  bool Value(Json& v, int depth) {
    if (at_ >= s_.size() || depth > 128) return false;
    v.begin = at_;
    const char c = s_[at_];
    bool ok = true;
    if (c == '{') {
      v.kind = Json::kObject;
      ++at_;
      Space();
      if (at_ < s_.size() && s_[at_] == '}') {
        ++at_;
      } else {
        for (;;) {
          Space();
          if (at_ >= s_.size() || s_[at_] != '"') return false;
          Json::Member m;
          m.keyBegin = at_;
          bool escaped = false;
          if (!String(&escaped)) return false;
          escapedKey |= escaped;
          m.key = s_.substr(m.keyBegin + 1, at_ - m.keyBegin - 2);
          Space();
          if (at_ >= s_.size() || s_[at_] != ':') return false;
          ++at_;
          Space();
          if (!Value(m.value, depth + 1)) return false;
          v.members.push_back(std::move(m));
          Space();
          if (at_ < s_.size() && s_[at_] == ',') {
            ++at_;
            continue;
          }
          if (at_ < s_.size() && s_[at_] == '}') {
            ++at_;
            break;
          }
          return false;
        }
      }
    } else if (c == '[') {
      v.kind = Json::kArray;
      ++at_;
      Space();
      if (at_ < s_.size() && s_[at_] == ']') {
        ++at_;
      } else {
        for (;;) {
          Space();
          v.items.emplace_back();
          if (!Value(v.items.back(), depth + 1)) return false;
          Space();
          if (at_ < s_.size() && s_[at_] == ',') {
            ++at_;
            continue;
          }
          if (at_ < s_.size() && s_[at_] == ']') {
            ++at_;
            break;
          }
          return false;
        }
      }
    } else if (c == '"') {
      v.kind = Json::kString;
      bool escaped = false;
      ok = String(&escaped);
    } else if (c == 't' || c == 'f') {
      v.kind = Json::kBool;
      ok = Literal(c == 't' ? "true" : "false");
    } else if (c == 'n') {
      ok = Literal("null");
    } else {
      v.kind = Json::kNumber;
      ok = Number();
    }
    v.end = at_;
    return ok;
  }

  std::string_view s_;
  size_t at_ = 0;
};

uint32_t Le32(std::string_view s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

void Put32(std::string& s, uint32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  s.append(b, 4);
}

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// Index `i` of an index view, little-endian as the format is.
uint32_t IndexAt(std::string_view data, const View& v, uint32_t i) {
  const char* p = data.data() + v.offset + uint64_t(v.stride) * i;
  uint32_t x = 0;
  std::memcpy(&x, p, v.size);
  return x;
}

constexpr uint32_t kFloat = 5126;

// Reads the file against the subset; every refusal names the thing and its place.
class Reader {
 public:
  Reader(std::string_view file, const BufferLoader& load, Geometry& g) : file_(file), load_(load), g_(g) {}

  void Run() {
    if (g_.binary ? !Container() : (json_ = file_, false)) return;
    Parser parser(json_);
    if (!parser.Parse(root_) || root_.kind != Json::kObject) return Refuse("JSON our reader does not parse");
    if (parser.escapedKey) return Refuse("a JSON key written with an escape");
    if (const Json* required = root_.Get("extensionsRequired"); required && required->kind == Json::kArray)
      for (const Json& e : required->items)
        if (e.kind == Json::kString && e.Contents(json_) == "KHR_draco_mesh_compression")
          return Refuse("Draco compression");
    const Json* meshes = root_.Get("meshes");
    if (!meshes || meshes->kind != Json::kArray) return Refuse("no meshes");
    accessors_ = Array("accessors");
    views_ = Array("bufferViews");
    buffers_ = Array("buffers");
    if (!accessors_ || !views_ || !buffers_) return Refuse("no accessors, buffer views or buffers");
    std::vector<const Json*> primitives;
    for (size_t m = 0; m < meshes->items.size(); ++m) {
      const Json& mesh = meshes->items[m];
      if (mesh.kind != Json::kObject) return Refuse("meshes[" + std::to_string(m) + "] is not an object");
      const Json* prims = mesh.Get("primitives");
      if (!prims || prims->kind != Json::kArray)
        return Refuse("meshes[" + std::to_string(m) + "] without primitives");
      for (size_t p = 0; p < prims->items.size(); ++p) {
        where_ = "meshes[" + std::to_string(m) + "].primitives[" + std::to_string(p) + "]";
        if (!Primitive(prims->items[p])) return;
        primitives.push_back(&prims->items[p]);
      }
    }
    if (primitives.empty()) return Refuse("no primitives");
    if (RefersPastTheEnd())
      return Refuse("a reference past the end of the accessors, buffer views or buffers");
    if (primitives.size() >= (1u << 24)) return Refuse("more primitives than a stand-in can number");
    Skeleton(primitives);
  }

 private:
  void Refuse(const std::string& why) {
    if (g_.why.empty()) g_.why = why;
  }
  bool Fail(const std::string& why) {
    Refuse(where_.empty() ? why : where_ + ": " + why);
    return false;
  }

  // The header and chunks as Assimp reads them.
  bool Container() {
    const std::string_view glb = file_;
    if (glb.size() < 20 || glb.substr(0, 4) != "glTF") return Fail("not a binary glTF");
    if (Le32(glb, 4) != 2) return Fail("a binary glTF of another version");
    const uint32_t declared = Le32(glb, 8), jsonLength = Le32(glb, 12);
    if (Le32(glb, 16) != 0x4E4F534Au) return Fail("a first chunk that is not JSON");
    if (jsonLength < 2 || jsonLength > glb.size() - 20) return Fail("a JSON chunk longer than the file");
    json_ = glb.substr(20, jsonLength);
    const uint64_t body = 12 + 8 + uint64_t((jsonLength + 3u) & ~3u) + 8;
    if (declared >= body) {
      if (body > glb.size()) return Fail("a binary chunk past the end of the file");
      if (Le32(glb, size_t(body) - 4) != 0x004E4942u) return Fail("a second chunk that is not binary");
      g_.binOffset = body;
      g_.binLength = Le32(glb, size_t(body) - 8);
      if (g_.binLength > glb.size() - body) return Fail("a binary chunk longer than the file");
      data_ = glb.substr(size_t(body), size_t(g_.binLength));
      haveData_ = true;
    }
    return true;
  }

  const Json* Array(std::string_view key) const {
    const Json* a = root_.Get(key);
    return a && a->kind == Json::kArray ? a : nullptr;
  }

  bool Primitive(const Json& prim) {
    if (prim.kind != Json::kObject) return Fail("not an object");
    for (const char* unread : {"targets", "extensions"})
      if (prim.Get(unread)) return Fail(std::string("has ") + unread);
    uint32_t mode = 4;
    if (const Json* m = prim.Get("mode"); m && (!m->Uint(json_, &mode) || mode != 4))
      return Fail("a mode other than triangles");
    const Json* attributes = prim.Get("attributes");
    if (!attributes || attributes->kind != Json::kObject) return Fail("no attributes");
    gltf::Primitive out;
    bool position = false;
    uint32_t uvs = 0, uvMask = 0;
    for (const Json::Member& a : attributes->members) {
      uint32_t accessor = 0;
      if (!a.value.Uint(json_, &accessor))
        return Fail("attribute " + std::string(a.key) + " is not an index");
      if (a.key == "POSITION" && !position) {
        position = true;
        if (!Accessor(accessor, "VEC3", 12, out.position)) return false;
      } else if (a.key == "NORMAL" && !out.hasNormal) {
        out.hasNormal = true;
        if (!Accessor(accessor, "VEC3", 12, out.normal)) return false;
      } else if (a.key.size() == 10 && a.key.substr(0, 9) == "TEXCOORD_" && a.key[9] >= '0' &&
                 a.key[9] <= '7' && !(uvMask & (1u << (a.key[9] - '0')))) {
        const uint32_t set = uint32_t(a.key[9] - '0');
        uvMask |= 1u << set;
        uvs = std::max(uvs, set + 1);
        out.uvs.resize(uvs);
        if (!Accessor(accessor, "VEC2", 8, out.uvs[set])) return false;
      } else {
        return Fail("attribute " + std::string(a.key));
      }
    }
    if (!position) return Fail("no positions");
    if (uvMask + 1 != (1u << uvs)) return Fail("texture coordinate sets with a gap");
    const uint32_t vertices = out.position.count;
    if ((out.hasNormal && out.normal.count != vertices) ||
        std::any_of(out.uvs.begin(), out.uvs.end(), [&](const View& v) { return v.count != vertices; }))
      return Fail("attributes of other counts than the positions");
    if (const Json* indices = prim.Get("indices")) {
      uint32_t accessor = 0;
      if (!indices->Uint(json_, &accessor)) return Fail("indices that are not an index");
      out.hasIndices = true;
      if (!Accessor(accessor, "SCALAR", 0, out.indices)) return false;
      for (uint32_t i = 0; i < out.indices.count; ++i)
        if (IndexAt(data_, out.indices, i) >= vertices) return Fail("an index out of range");
    }
    const uint32_t corners = out.hasIndices ? out.indices.count : vertices;
    if (corners < 3 || corners % 3) return Fail("a number of corners that is not whole triangles");
    g_.primitives.push_back(std::move(out));
    return true;
  }

  // Assimp refuses an object whose extensions or extras are not objects.
  static bool Plain(const Json& o) {
    for (const char* key : {"extensions", "extras"})
      if (const Json* x = o.Get(key); x && x->kind != Json::kObject) return false;
    return true;
  }

  // A reference to accessor, buffer view or buffer `n` or later: Assimp
  // refuses it in the file, but in the skeleton it would find our stand-ins.
  bool Beyond(const Json* ref, size_t n) const {
    uint32_t i = 0;
    return ref && ref->Uint(json_, &i) && i >= n;
  }
  bool RefersPastTheEnd() const {
    const size_t accessors = accessors_->items.size(), views = views_->items.size(),
                 buffers = buffers_->items.size();
    auto each = [](const Json* array, auto visit) {
      if (array && array->kind == Json::kArray)
        for (const Json& o : array->items)
          if (o.kind == Json::kObject && visit(o)) return true;
      return false;
    };
    return each(root_.Get("skins"),
                [&](const Json& s) { return Beyond(s.Get("inverseBindMatrices"), accessors); }) ||
           each(root_.Get("animations"),
                [&](const Json& a) {
                  return each(a.Get("samplers"), [&](const Json& s) {
                    return Beyond(s.Get("input"), accessors) || Beyond(s.Get("output"), accessors);
                  });
                }) ||
           each(accessors_,
                [&](const Json& a) {
                  const Json* sparse = a.Get("sparse");
                  auto part = [&](const char* key) {
                    const Json* p = sparse && sparse->kind == Json::kObject ? sparse->Get(key) : nullptr;
                    return p && p->kind == Json::kObject ? p->Get("bufferView") : nullptr;
                  };
                  return Beyond(a.Get("bufferView"), views) || Beyond(part("indices"), views) ||
                         Beyond(part("values"), views);
                }) ||
           each(root_.Get("images"), [&](const Json& i) { return Beyond(i.Get("bufferView"), views); }) ||
           each(views_, [&](const Json& v) { return Beyond(v.Get("buffer"), buffers); });
  }

  // Accessor `index` of `type`; `bytes`: the float element's size, 0 for indices.
  bool Accessor(uint32_t index, std::string_view type, uint32_t bytes, View& out) {
    const std::string name = "accessors[" + std::to_string(index) + "]";
    if (index >= accessors_->items.size()) return Fail(name + " does not exist");
    const Json& a = accessors_->items[index];
    if (a.kind != Json::kObject) return Fail(name + " is not an object");
    if (a.Get("sparse")) return Fail(name + " is sparse");
    if (!Plain(a)) return Fail(name + " has extensions or extras that are not objects");
    const Json* t = a.Get("type");
    if (!t || t->kind != Json::kString || t->Contents(json_) != type)
      return Fail(name + " is not " + std::string(type));
    uint32_t component = 0, view = 0, offset = 0;
    const Json* c = a.Get("componentType");
    if (!c || !c->Uint(json_, &component)) return Fail(name + " has no component type");
    if (bytes ? component != kFloat : component != 5121 && component != 5123 && component != 5125)
      return Fail(name + " has components of another type");
    const uint32_t size = bytes ? bytes : component == 5121 ? 1 : component == 5123 ? 2 : 4;
    const Json* count = a.Get("count");
    if (!count || !count->Uint(json_, &out.count)) return Fail(name + " has no count");
    const Json* v = a.Get("bufferView");
    if (!v || !v->Uint(json_, &view)) return Fail(name + " has no buffer view");
    if (const Json* o = a.Get("byteOffset"); o && !o->Uint(json_, &offset))
      return Fail(name + " has an odd offset");
    // The buffer view: in the binary chunk, holding every element.
    const std::string vname = "bufferViews[" + std::to_string(view) + "]";
    if (view >= views_->items.size() || views_->items[view].kind != Json::kObject)
      return Fail(vname + " does not exist");
    const Json& bv = views_->items[view];
    uint32_t buffer = 0, vOffset = 0, vLength = 0, stride = 0;
    const Json* b = bv.Get("buffer");
    if (!b || !b->Uint(json_, &buffer) || buffer != 0) return Fail(vname + " is not in the first buffer");
    if (bv.Get("extensions") || !Plain(bv)) return Fail(vname + " has extensions");
    for (auto [key, to] :
         {std::pair{"byteOffset", &vOffset}, {"byteLength", &vLength}, {"byteStride", &stride}})
      if (const Json* x = bv.Get(key); x && !x->Uint(json_, to)) return Fail(vname + " has an odd " + key);
    if (!stride) stride = size;
    if (stride < size) return Fail(vname + " has a stride shorter than an element");
    if (!Data()) return false;
    if (uint64_t(vOffset) + vLength > data_.size()) return Fail(vname + " lies outside its buffer");
    // Every element inside the view, and Assimp's own test of the view's length.
    const uint64_t last = uint64_t(offset) + uint64_t(stride) * (out.count - 1) + size;
    if (out.count == 0 || last > vLength || uint64_t(stride) * out.count > vLength)
      return Fail(name + " lies outside its buffer view");
    out.offset = uint64_t(vOffset) + offset;
    out.stride = stride;
    out.size = size;
    return true;
  }

  // The JSON with each primitive pointing at a stand-in, and the chunks around it.
  void Skeleton(const std::vector<const Json*>& primitives) {
    const size_t firstAccessor = accessors_->items.size(), view = views_->items.size(),
                 buffer = buffers_->items.size(), n = primitives.size();
    // Stand-in triangles: the first corner's x numbers the primitive.
    std::string standIns(n * 36, '\0');
    for (size_t i = 0; i < n; ++i) {
      const float x = float(i + 1);
      std::memcpy(&standIns[i * 36], &x, 4);
    }
    struct Edit {
      size_t begin, end;
      std::string text;
    };
    std::vector<Edit> edits;
    for (size_t i = 0; i < n; ++i) {
      const Json& p = *primitives[i];
      std::string text = "{";
      for (const Json::Member& m : p.members) {
        if (m.key == "attributes" || m.key == "indices") continue;
        text += json_.substr(m.keyBegin, m.value.end - m.keyBegin);
        text += ',';
      }
      text += "\"attributes\":{\"POSITION\":" + std::to_string(firstAccessor + i) + "}}";
      edits.push_back({p.begin, p.end, std::move(text)});
    }
    auto append = [&](const Json* array, std::string text) {
      const size_t close = array->end - 1;
      std::string with(array->items.empty() ? 0 : 1, ',');
      edits.push_back({close, close, with.append(text)});
    };
    std::string accessors;
    for (size_t i = 0; i < n; ++i)
      accessors += (i ? ",{" : "{") + std::string("\"bufferView\":") + std::to_string(view) +
                   ",\"byteOffset\":" + std::to_string(i * 36) +
                   ",\"componentType\":5126,\"count\":3,\"type\":\"VEC3\"}";
    append(accessors_, std::move(accessors));
    append(views_, "{\"buffer\":" + std::to_string(buffer) +
                       ",\"byteLength\":" + std::to_string(standIns.size()) + "}");
    append(buffers_, "{\"byteLength\":" + std::to_string(standIns.size()) +
                         ",\"uri\":\"data:application/octet-stream;base64," + Base64(standIns) + "\"}");
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    std::string json;
    size_t at = 0;
    for (const Edit& e : edits) {
      json.append(json_.substr(at, e.begin - at));
      json += e.text;
      at = e.end;
    }
    json.append(json_.substr(at));
    while (json.size() % 4) json += ' ';
    // Without skins, animations or images in buffer views, nothing but our
    // primitives reads the binary chunk, and Assimp need not copy it.
    std::string& head = g_.head;
    if (!g_.binary) {
      head = std::move(json);
      return;
    }
    g_.keepsBinary = g_.binOffset && (root_.Get("skins") || root_.Get("animations") || ImagesInViews());
    head = "glTF";
    Put32(head, 2);
    const uint64_t total = 12 + 8 + json.size() + (g_.keepsBinary ? 8 + g_.binLength : 0);
    if (total > 0xffffffffu) return Refuse("a skeleton larger than a binary glTF holds");
    Put32(head, uint32_t(total));
    Put32(head, uint32_t(json.size()));
    Put32(head, 0x4E4F534Au);
    head += json;
    if (g_.keepsBinary) {
      Put32(head, uint32_t(g_.binLength));
      Put32(head, 0x004E4942u);
    }
  }

  bool ImagesInViews() const {
    const Json* images = root_.Get("images");
    if (!images || images->kind != Json::kArray) return images != nullptr;
    return std::any_of(images->items.begin(), images->items.end(),
                       [](const Json& i) { return i.kind != Json::kObject || i.Get("bufferView"); });
  }

  // The first buffer: in a binary file its binary chunk, in a text file the
  // one buffer's own file, which Assimp reads as its URI is written.
  bool Data() {
    if (haveData_) return true;
    if (g_.binary) return Fail("no binary chunk");
    if (buffers_->items.size() != 1 || buffers_->items[0].kind != Json::kObject)
      return Fail("other than one buffer");
    const Json& b = buffers_->items[0];
    const Json* uri = b.Get("uri");
    uint32_t length = 0;
    if (!uri || uri->kind != Json::kString || !b.Get("byteLength") ||
        !b.Get("byteLength")->Uint(json_, &length) || length == 0)
      return Fail("a buffer without a URI and a length");
    const std::string_view u = uri->Contents(json_);
    if (u.empty() || u.rfind("data:", 0) == 0 || u.find('\\') != std::string_view::npos)
      return Fail("a buffer that is not a plain file name");
    const std::optional<std::string_view> got = load_(u, length);
    if (!got) return Fail("a buffer whose file Assimp would not read");
    data_ = *got;
    haveData_ = true;
    return true;
  }

  std::string_view file_, json_, data_;
  const BufferLoader& load_;
  bool haveData_ = false;
  Geometry& g_;
  Json root_;
  const Json *accessors_ = nullptr, *views_ = nullptr, *buffers_ = nullptr;
  std::string where_;
};

// Copies `v`'s elements of `bytes` each into `out`, one per `outStride` bytes.
void Copy(std::string_view data, const View& v, uint32_t bytes, void* out, size_t outStride) {
  const char* from = data.data() + v.offset;
  auto* to = static_cast<char*>(out);
  if (v.stride == bytes && outStride == bytes) {
    std::memcpy(to, from, size_t(v.count) * bytes);
    return;
  }
  for (uint32_t i = 0; i < v.count; ++i) std::memcpy(to + i * outStride, from + size_t(i) * v.stride, bytes);
}

// Puts the primitive a stand-in mesh numbers in its place, as Assimp's loader
// fills it. The rest of the mesh (name, material, a skin's bones) is Assimp's.
void Fill(aiMesh& mesh, std::string_view data, const Geometry& g, std::vector<uint8_t>& used) {
  const float x = mesh.mNumVertices == 3 && mesh.mVertices ? mesh.mVertices[0].x : 0;
  if (!(x >= 1 && x <= float(g.primitives.size())) || used[size_t(x) - 1]++)
    throw std::runtime_error("glTF: our reader lost a primitive");
  const Primitive& p = g.primitives[size_t(x) - 1];
  delete[] mesh.mVertices;
  delete[] mesh.mNormals;
  delete[] mesh.mFaces;
  mesh.mVertices = mesh.mNormals = nullptr;
  mesh.mFaces = nullptr;
  for (aiVector3D*& uv : mesh.mTextureCoords) {
    delete[] uv;
    uv = nullptr;
  }
  mesh.mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
  const uint32_t n = p.position.count;
  mesh.mNumVertices = n;
  mesh.mVertices = new aiVector3D[n];
  Copy(data, p.position, 12, mesh.mVertices, sizeof(aiVector3D));
  if (p.hasNormal) {
    mesh.mNormals = new aiVector3D[n];
    Copy(data, p.normal, 12, mesh.mNormals, sizeof(aiVector3D));
  }
  for (size_t t = 0; t < p.uvs.size(); ++t) {
    aiVector3D* uv = mesh.mTextureCoords[t] = new aiVector3D[n];
    mesh.mNumUVComponents[t] = 2;
    Copy(data, p.uvs[t], 8, uv, sizeof(aiVector3D));
    for (uint32_t i = 0; i < n; ++i) uv[i].y = 1 - uv[i].y;
  }
  const uint32_t corners = p.hasIndices ? p.indices.count : n;
  mesh.mNumFaces = corners / 3;
  mesh.mFaces = new aiFace[mesh.mNumFaces];
  for (uint32_t f = 0; f < mesh.mNumFaces; ++f) {
    aiFace& face = mesh.mFaces[f];
    face.mNumIndices = 3;
    face.mIndices = new unsigned[3];
    for (uint32_t k = 0; k < 3; ++k)
      face.mIndices[k] = p.hasIndices ? IndexAt(data, p.indices, f * 3 + k) : f * 3 + k;
  }
}

class GltfReader : public Assimp::BaseImporter {
 public:
  GltfReader(Assimp::BaseImporter* assimp, bool strict) : assimp_(assimp), strict_(strict) {}
  bool CanRead(const std::string& file, Assimp::IOSystem* io, bool checkSig) const override {
    return assimp_->CanRead(file, io, checkSig);
  }
  const aiImporterDesc* GetInfo() const override { return assimp_->GetInfo(); }
  void SetupProperties(const Assimp::Importer* importer) override { assimp_->SetupProperties(importer); }

 protected:
  void InternReadFile(const std::string& file, aiScene* scene, Assimp::IOSystem* io) override {
    using skeleton::Access;
    Access::SetProgress(*assimp_, m_progress);
    // Assimp reads a file as binary by its extension alone.
    const std::string ext = Extension(file);
    if (ext != "glb" && ext != "gltf") return Access::Read(*assimp_, file, scene, io);
    skeleton::WholeFile bytes, buffer;
    std::string_view external;  // the part of a text file's buffer file that the glTF declares
    if (!bytes.Load(*io, file)) return Access::Read(*assimp_, file, scene, io);
    // A text file's buffer, where Assimp finds it: the file's folder and the URI as written.
    const bool inMemory = file.rfind(AI_MEMORYIO_MAGIC_FILENAME, 0) == 0;
    const size_t slash = file.find_last_of("/\\");
    const std::string folder = inMemory || slash == std::string::npos ? "" : file.substr(0, slash + 1);
    const BufferLoader load = [&](std::string_view uri, uint32_t length) -> std::optional<std::string_view> {
      if (!buffer.Load(*io, folder + std::string(uri)) || buffer.Bytes().size() < length) return {};
      external = buffer.Bytes().substr(0, length);
      return external;
    };
    const Geometry g = Read(bytes.Bytes(), ext == "glb", load);
    if (!g.why.empty()) {
      if (strict_) throw std::runtime_error("glTF: outside what our reader reads (" + g.why + ")");
      return Access::Read(*assimp_, file, scene, io);
    }
    const std::string_view data = g.binary ? bytes.Bytes().substr(g.binOffset, g.binLength) : external;
    skeleton::SkeletonIO skeletonIO(*io, file, g.head, g.keepsBinary ? data : std::string_view());
    aiScene stand;
    try {
      Access::Read(*assimp_, file, &stand, &skeletonIO);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      // Assimp refuses the skeleton: its own reading of the file says why.
      if (strict_)
        throw std::runtime_error(std::string("glTF: Assimp refuses our skeleton (") + e.what() + ")");
      return Access::Read(*assimp_, file, scene, io);
    }
    std::vector<uint8_t> used(g.primitives.size());
    for (unsigned m = 0; m < stand.mNumMeshes; ++m) Fill(*stand.mMeshes[m], data, g, used);
    skeleton::MoveScene(stand, *scene);
  }

 private:
  static std::string Extension(const std::string& file) {
    const size_t dot = file.find_last_of('.');
    if (dot == std::string::npos) return "";
    std::string ext = file.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
  }

  std::unique_ptr<Assimp::BaseImporter> assimp_;
  bool strict_;
};

}  // namespace

Geometry Read(std::string_view file, bool binary, const BufferLoader& load) {
  Geometry g;
  g.binary = binary;
  const BufferLoader none = [](std::string_view, uint32_t) { return std::optional<std::string_view>(); };
  Reader(file, load ? load : none, g).Run();
  if (!g.why.empty()) {
    g.primitives.clear();
    g.head.clear();
  }
  return g;
}

void Install(Assimp::Importer& importer, bool strict) {
  for (size_t i = 0; i < importer.GetImporterCount(); ++i) {
    Assimp::BaseImporter* assimp = importer.GetImporter(i);
    const aiImporterDesc* info = assimp ? assimp->GetInfo() : nullptr;
    if (!info || std::string_view(info->mName) != "glTF2 Importer") continue;
    if (importer.UnregisterLoader(assimp) != AI_SUCCESS) return;
    importer.RegisterLoader(new GltfReader(assimp, strict));
    return;
  }
}

}  // namespace scene::gltf
