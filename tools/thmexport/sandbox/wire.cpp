#include "tools/thmexport/sandbox/wire.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

namespace sandbox {

using namespace scene;

namespace {

constexpr char kMagic[8] = {'T', 'H', 'M', 'S', 'C', 'E', 'N', '1'};

enum ObjectKind : uint8_t { kMesh = 0, kLight = 1, kGeneric = 2 };
enum MaterialKind : uint8_t { kStandard = 0, kMulti = 1, kOtherMaterial = 2 };
enum MapKind : uint8_t { kBitmap = 0, kOtherMap = 1 };
enum ModifierKind : uint8_t { kSkin = 0, kOtherModifier = 1 };

// The fewest bytes each element takes on the wire (an object: its kind and its conversions).
constexpr size_t kMinMapBytes = 57, kMinMaterialBytes = 6, kMinObjectBytes = 18, kMinModifierBytes = 9;
// Sub-materials a multi material may have: the most a face's material id can name.
constexpr size_t kMaxSubMaterials = 65536;

// Cameras, dummies and shapes, as scenes make them.
bool IsGenericKind(SClass_ID super, Class_ID id) {
  return (super == CAMERA_CLASS_ID && id == CAMERA_OBJ_CLASS_ID) ||
         (super == HELPER_CLASS_ID && id == DUMMY_CLASS_ID) ||
         (super == SHAPE_CLASS_ID && id == SPLINE_SHAPE_CLASS_ID);
}

// Whether a multi material reaches itself through its sub-materials.
bool ContainsItself(const std::vector<Mtl*>& materials) {
  std::map<Mtl*, int> state;  // 1 on the path, 2 done
  for (Mtl* start : materials) {
    if (state[start]) continue;
    std::vector<std::pair<Mtl*, size_t>> path{{start, 0}};
    state[start] = 1;
    while (!path.empty()) {
      auto& [m, next] = path.back();
      auto* multi = dynamic_cast<MultiMaterial*>(m);
      if (!multi || next == multi->subs.size()) {
        state[m] = 2;
        path.pop_back();
        continue;
      }
      Mtl* sub = multi->subs[next++];
      if (!sub) continue;
      if (state[sub] == 1) return true;
      if (!state[sub]) {
        state[sub] = 1;
        path.push_back({sub, 0});
      }
    }
  }
  return false;
}

void PutName(WireOut& w, const std::optional<std::string>& s) {
  w.U8(s ? 1 : 0);
  if (s) w.Str(*s);
}
std::optional<std::string> GetName(WireIn& r) {
  const uint8_t has = r.U8();
  if (has > 1) r.Fail("bad name flag");
  if (!has) return std::nullopt;
  return r.Str();
}
void PutId(WireOut& w, Class_ID c) {
  w.U32(c.PartA());
  w.U32(c.PartB());
}
Class_ID GetId(WireIn& r) {
  const uint32_t a = r.U32();
  return Class_ID(a, r.U32());
}
void PutPoint(WireOut& w, const Point3& p) {
  w.F32(p.x);
  w.F32(p.y);
  w.F32(p.z);
}
Point3 GetPoint(WireIn& r) {
  const float x = r.F32(), y = r.F32();
  return Point3(x, y, r.F32());
}
void PutMatrix(WireOut& w, const Matrix3& m) {
  for (int i = 0; i < 4; ++i) PutPoint(w, m.GetRow(i));
}
Matrix3 GetMatrix(WireIn& r) {
  Matrix3 m;
  for (int i = 0; i < 4; ++i) m.SetRow(i, GetPoint(r));
  return m;
}

// Numbers things in the order first met.
template <class T>
struct Numbering {
  std::vector<T*> items;
  std::map<const T*, int32_t> index;
  int32_t Add(T* p) {
    if (!p) return -1;
    auto [it, fresh] = index.emplace(p, static_cast<int32_t>(items.size()));
    if (fresh) items.push_back(p);
    return it->second;
  }
  int32_t Of(const T* p) const {
    if (!p) return -1;
    auto it = index.find(p);
    return it == index.end() ? -1 : it->second;
  }
};

}  // namespace

// ---- Fields ---------------------------------------------------------------------

static_assert(std::endian::native == std::endian::little, "fields go out as they lie in memory");
static_assert(sizeof(Point3) == 12 && sizeof(TVFace) == 12, "points and texture faces are packed");

void WireOut::Bytes(const void* p, size_t n) {
  size_ += n;
  const char* c = static_cast<const char*>(p);
  if (out_) {
    out_->append(c, n);
    return;
  }
  if (!sink_ || failed_) return;
  constexpr size_t kBuffer = 1 << 16;
  if (buffer_.size() + n > kBuffer && !Flush()) return;
  // A long array goes out from where it lies.
  if (n >= kBuffer)
    failed_ = !sink_(std::string_view(c, n));
  else
    buffer_.insert(buffer_.end(), c, c + n);
}
bool WireOut::Flush() {
  if (sink_ && !failed_ && !buffer_.empty())
    failed_ = !sink_(std::string_view(buffer_.data(), buffer_.size()));
  buffer_.clear();
  return !failed_;
}
void WireOut::U32(uint32_t v) {
  Bytes(&v, 4);
}
void WireOut::U64(uint64_t v) {
  Bytes(&v, 8);
}
void WireOut::F32(float v) {
  U32(std::bit_cast<uint32_t>(v));
}
void WireOut::F64(double v) {
  U64(std::bit_cast<uint64_t>(v));
}
void WireOut::Str(std::string_view s) {
  U32(static_cast<uint32_t>(s.size()));
  Bytes(s.data(), s.size());
}

void WireIn::Fail(const std::string& what) const {
  throw WireError("at byte " + std::to_string(at_) + ": " + what);
}
void WireIn::Need(size_t n) const {
  if (b_.size() - at_ < n) Fail("cut short");
}
uint8_t WireIn::U8() {
  Need(1);
  return static_cast<uint8_t>(b_[at_++]);
}
uint32_t WireIn::U32() {
  Need(4);
  uint32_t v;
  std::memcpy(&v, b_.data() + at_, 4);
  at_ += 4;
  return v;
}
uint64_t WireIn::U64() {
  Need(8);
  uint64_t v;
  std::memcpy(&v, b_.data() + at_, 8);
  at_ += 8;
  return v;
}
float WireIn::F32() {
  return std::bit_cast<float>(U32());
}
double WireIn::F64() {
  return std::bit_cast<double>(U64());
}
std::string WireIn::Str() {
  const size_t n = U32();
  Need(n);
  std::string s(b_.substr(at_, n));
  at_ += n;
  return s;
}
size_t WireIn::Count(size_t minSize) {
  const size_t n = U32();
  if (minSize && n > (b_.size() - at_) / minSize)
    Fail("a count of " + std::to_string(n) + " does not fit what is left");
  return n;
}
int32_t WireIn::Index(size_t n, bool optional) {
  const int32_t i = I32();
  if ((i == -1 && optional) || (i >= 0 && static_cast<size_t>(i) < n)) return i;
  Fail("index " + std::to_string(i) + " out of range");
}
void WireIn::Bytes(void* p, size_t n) {
  Need(n);
  if (n) std::memcpy(p, b_.data() + at_, n);  // an empty array may have no storage
  at_ += n;
}

// ---- Writing --------------------------------------------------------------------

void WriteScene(const Scene& s, std::string& out) {
  // Room at once for what the scene takes.
  WireOut count = WireOut::Counting();
  WriteScene(s, count);
  out.reserve(out.size() + count.Size());
  WireOut w(out);
  WriteScene(s, w);
}

void WriteScene(const Scene& s, WireOut& w) {
  w.Bytes(kMagic, sizeof kMagic);
  w.I32(s.ticksPerFrame);
  w.I32(s.animationRange.Start());
  w.I32(s.animationRange.End());
  w.F64(s.masterScale);

  const int nodes = s.NodeCount();
  Numbering<Object> objects;
  Numbering<Mtl> materials;
  Numbering<Texmap> maps;
  Numbering<Modifier> modifiers;
  // Every object a node holds, and every object those convert to.
  auto addObject = [&](auto&& self, Object* o) -> void {
    if (!o || objects.Of(o) >= 0) return;
    objects.Add(o);
    const Conversions* c = nullptr;
    if (auto* m = dynamic_cast<MeshObject*>(o)) c = &m->conversions;
    if (auto* l = dynamic_cast<LightObj*>(o)) c = &l->conversions;
    if (auto* g = dynamic_cast<GenericObject*>(o)) c = &g->conversions;
    if (c)
      for (auto& [id, x] : c->extra) self(self, x);
  };
  auto addMaterial = [&](auto&& self, Mtl* m) -> void {
    if (!m || materials.Of(m) >= 0) return;
    materials.Add(m);
    if (auto* multi = dynamic_cast<MultiMaterial*>(m))
      for (Mtl* sub : multi->subs) self(self, sub);
    if (auto* std = dynamic_cast<StdMaterial*>(m))
      for (auto& slot : std->slots) maps.Add(slot.map);
  };
  for (int h = 1; h <= nodes; ++h) {
    Node* n = s.FromHandle(static_cast<uint32_t>(h));
    addObject(addObject, n->BaseObject());
    addMaterial(addMaterial, n->material);
    if (DerivedObject* d = n->Derived())
      for (Modifier* m : d->modifiers) modifiers.Add(m);
  }

  w.U32(static_cast<uint32_t>(maps.items.size()));
  for (Texmap* t : maps.items) {
    if (auto* b = dynamic_cast<BitmapMap*>(t)) {
      w.U8(kBitmap);
      PutName(w, b->fileName);
      w.I32(b->alphaSource);
      PutMatrix(w, b->uvTransform);
      w.U32(static_cast<uint32_t>(b->params.floats.size()));
      for (float f : b->params.floats) w.F32(f);
    } else {
      auto* o = dynamic_cast<OtherMap*>(t);
      if (!o) throw WireError("a texture map of a kind the scene does not make");
      w.U8(kOtherMap);
      PutId(w, o->classId);
      PutMatrix(w, o->uvTransform);
    }
  }

  w.U32(static_cast<uint32_t>(materials.items.size()));
  for (Mtl* m : materials.items) {
    if (auto* std = dynamic_cast<StdMaterial*>(m)) {
      w.U8(kStandard);
      PutName(w, std->name);
      w.I32(std->twoSided);
      w.I32(std->transparencyType);
      w.F32(std->opacity);
      for (auto& slot : std->slots) {
        w.I32(maps.Of(slot.map));
        w.F32(slot.amount);
      }
    } else if (auto* multi = dynamic_cast<MultiMaterial*>(m)) {
      w.U8(kMulti);
      PutName(w, multi->name);
      w.U32(static_cast<uint32_t>(multi->subs.size()));
      for (Mtl* sub : multi->subs) w.I32(materials.Of(sub));
    } else {
      auto* o = dynamic_cast<OtherMaterial*>(m);
      if (!o) throw WireError("a material of a kind the scene does not make");
      w.U8(kOtherMaterial);
      PutName(w, o->name);
      PutId(w, o->classId);
    }
  }

  auto putConversions = [&](const Conversions& c) {
    w.U8(c.fail ? 1 : 0);
    w.U32(static_cast<uint32_t>(c.extra.size()));
    for (auto& [id, x] : c.extra) {
      PutId(w, id);
      w.I32(objects.Of(x));
    }
  };
  w.U32(static_cast<uint32_t>(objects.items.size()));
  for (Object* o : objects.items) {
    if (auto* mo = dynamic_cast<MeshObject*>(o)) {
      w.U8(kMesh);
      const Mesh& m = mo->mesh;
      // The long arrays in bulk.
      w.U32(static_cast<uint32_t>(m.verts.size()));
      w.Bytes(m.verts.data(), m.verts.size() * 12);
      w.U32(static_cast<uint32_t>(m.faces.size()));
      // Six words a face, a few thousand faces at a time.
      constexpr size_t kFaces = 4096;
      std::vector<uint32_t> words(w.CountsOnly() ? 0 : std::min(m.faces.size(), kFaces) * 6);
      if (w.CountsOnly()) w.Skip(uint64_t(m.faces.size()) * 24);
      for (size_t from = 0; from < m.faces.size() && !w.CountsOnly(); from += kFaces) {
        const size_t n = std::min(kFaces, m.faces.size() - from);
        for (size_t f = 0; f < n; ++f) {
          const Face& x = m.faces[from + f];
          const uint32_t face[6] = {uint32_t(x.v[0]), uint32_t(x.v[1]), uint32_t(x.v[2]),
                                    x.smGroup,        x.flags,          x.matID};
          std::memcpy(&words[f * 6], face, 24);
        }
        w.Bytes(words.data(), n * 24);
      }
      w.U32(static_cast<uint32_t>(m.tVerts.size()));
      w.Bytes(m.tVerts.data(), m.tVerts.size() * 12);
      w.U32(static_cast<uint32_t>(m.tvFace.size()));
      w.Bytes(m.tvFace.data(), m.tvFace.size() * 12);
    } else if (auto* l = dynamic_cast<LightObj*>(o)) {
      w.U8(kLight);
      const LightState& ls = l->state;
      w.I32(ls.type);
      PutPoint(w, ls.color);
      w.F32(ls.intens);
      w.F32(ls.hotsize);
      w.F32(ls.fallsize);
      w.I32(ls.useAtten);
      w.F32(ls.attenStart);
      w.F32(ls.attenEnd);
      w.I32(ls.on);
      w.F32(l->targetDistance);
      PutId(w, l->classId);
    } else {
      auto* g = dynamic_cast<GenericObject*>(o);
      if (!g) throw WireError("an object of a kind the scene does not make");
      w.U8(kGeneric);
      w.U32(g->superClass);
      PutId(w, g->classId);
    }
  }
  for (Object* o : objects.items) {
    if (auto* m = dynamic_cast<MeshObject*>(o)) putConversions(m->conversions);
    if (auto* l = dynamic_cast<LightObj*>(o)) putConversions(l->conversions);
    if (auto* g = dynamic_cast<GenericObject*>(o)) putConversions(g->conversions);
  }

  w.U32(static_cast<uint32_t>(modifiers.items.size()));
  for (Modifier* m : modifiers.items) {
    if (auto* skin = dynamic_cast<SkinModifier*>(m)) {
      w.U8(kSkin);
      PutId(w, skin->classId);
      w.U32(static_cast<uint32_t>(skin->bones.size()));
      for (auto& b : skin->bones) {
        w.I32(b.node ? static_cast<int32_t>(b.node->Handle()) - 1 : -1);
        w.U8(b.name ? 1 : 0);
        if (b.name) w.Str(*b.name);
        for (float e : b.extra) w.F32(e);
      }
      w.U8(skin->weights ? 1 : 0);
      if (skin->weights) {
        w.U64(skin->weights->rows);
        w.U64(skin->weights->columns);
        w.Bytes(skin->weights->values.data(), skin->weights->values.size() * sizeof(float));
      }
      w.U8(skin->rawTable ? 1 : 0);
      if (skin->rawTable) {
        w.U32(static_cast<uint32_t>(skin->rawTable->size()));
        for (uint32_t x : *skin->rawTable) w.U32(x);
      }
    } else {
      auto* o = dynamic_cast<OtherModifier*>(m);
      if (!o) throw WireError("a modifier of a kind the scene does not make");
      w.U8(kOtherModifier);
      PutId(w, o->classId);
    }
  }

  w.U32(static_cast<uint32_t>(nodes));
  for (int h = 1; h <= nodes; ++h) {
    Node* n = s.FromHandle(static_cast<uint32_t>(h));
    w.I32(n->Parent() ? static_cast<int32_t>(n->Parent()->Handle()) - 1 : -1);
    PutName(w, n->name);
    w.U8(n->hidden ? 1 : 0);
    PutMatrix(w, n->transform);
    w.U32(static_cast<uint32_t>(n->keys.size()));
    for (auto& k : n->keys) {
      w.I32(k.time);
      PutMatrix(w, k.transform);
    }
    PutMatrix(w, n->objectOffset);
    w.I32(materials.Of(n->material));
    w.I32(objects.Of(n->BaseObject()));
    const DerivedObject* d = n->Derived();
    w.U32(d ? static_cast<uint32_t>(d->modifiers.size()) : 0);
    if (d)
      for (Modifier* m : d->modifiers) w.I32(modifiers.Of(m));
    w.U32(static_cast<uint32_t>(n->noteTracks.size()));
    for (auto& t : n->noteTracks) {
      PutId(w, t->classId);
      w.U32(static_cast<uint32_t>(t->keys.size()));
      for (auto& k : t->keys) {
        w.I32(k.time);
        w.Str(k.note.str());
      }
    }
  }
}

// ---- Reading --------------------------------------------------------------------

std::unique_ptr<Scene> ReadScene(std::string_view bytes, size_t& at) {
  WireIn r(bytes, at);
  char magic[sizeof kMagic];
  r.Bytes(magic, sizeof magic);
  if (std::memcmp(magic, kMagic, sizeof magic) != 0) r.Fail("not a scene");
  auto s = std::make_unique<Scene>();
  s->ticksPerFrame = r.I32();
  if (s->ticksPerFrame < 1) r.Fail("ticks per frame below 1");
  const int32_t start = r.I32();
  s->animationRange = Interval(start, r.I32());
  s->masterScale = r.F64();
  if (!(s->masterScale > 0) || !std::isfinite(s->masterScale)) r.Fail("bad master scale");

  // Each kind is made with the class ids a scene document could give it, so
  // that the plug-in's casts by class id always meet the class they expect.
  // Counts are held to the bytes an element takes at the least.
  std::vector<Texmap*> maps(r.Count(kMinMapBytes));
  for (auto& t : maps) {
    const uint8_t kind = r.U8();
    if (kind == kBitmap) {
      auto& b = s->Make<BitmapMap>();
      b.fileName = GetName(r);
      if (b.fileName && FileNameReadsAsNoName(*b.fileName))
        r.Fail(std::string("a bitmap's file name ") + kReadsAsNoName);
      b.alphaSource = r.I32();
      b.uvTransform = GetMatrix(r);
      b.params.floats.resize(r.Count(4));
      for (float& f : b.params.floats) f = r.F32();
      t = &b;
    } else if (kind == kOtherMap) {
      const Class_ID id = GetId(r);
      if (id == BMTEX_CLASS_ID) r.Fail("another map with the bitmap's class id");
      auto& o = s->Make<OtherMap>(id);
      o.uvTransform = GetMatrix(r);
      t = &o;
    } else {
      r.Fail("unknown map kind");
    }
  }

  const size_t numMaterials = r.Count(kMinMaterialBytes);
  std::vector<Mtl*> materials(numMaterials);
  std::vector<std::pair<MultiMaterial*, std::vector<int32_t>>> multis;
  for (auto& m : materials) {
    const uint8_t kind = r.U8();
    if (kind == kStandard) {
      auto& std = s->Make<StdMaterial>();
      std.name = GetName(r);
      std.twoSided = r.I32();
      std.transparencyType = r.I32();
      std.opacity = r.F32();
      for (auto& slot : std.slots) {
        const int32_t map = r.Index(maps.size(), true);
        slot.map = map >= 0 ? maps[static_cast<size_t>(map)] : nullptr;
        slot.amount = r.F32();
      }
      m = &std;
    } else if (kind == kMulti) {
      auto& multi = s->Make<MultiMaterial>();
      multi.name = GetName(r);
      std::vector<int32_t> subs(r.Count(4));
      if (subs.size() > kMaxSubMaterials)
        r.Fail("more than " + std::to_string(kMaxSubMaterials) + " sub-materials");
      for (int32_t& i : subs) i = r.Index(numMaterials, true);
      multis.push_back({&multi, std::move(subs)});
      m = &multi;
    } else if (kind == kOtherMaterial) {
      auto name = GetName(r);
      const Class_ID id = GetId(r);
      if (id == DMTL_CLASS_ID || id == MULTI_CLASS_ID)
        r.Fail("another material with the standard or multi material's class id");
      auto& o = s->Make<OtherMaterial>("", id);
      o.name = std::move(name);
      m = &o;
    } else {
      r.Fail("unknown material kind");
    }
  }
  for (auto& [multi, subs] : multis)
    for (int32_t i : subs) multi->subs.push_back(i >= 0 ? materials[static_cast<size_t>(i)] : nullptr);
  if (ContainsItself(materials)) r.Fail("a multi material that contains itself");

  const size_t numObjects = r.Count(kMinObjectBytes);
  std::vector<Object*> objects(numObjects);
  std::vector<Conversions*> conversions(numObjects);
  for (size_t i = 0; i < numObjects; ++i) {
    const uint8_t kind = r.U8();
    if (kind == kMesh) {
      auto& mo = s->Make<MeshObject>();
      Mesh& m = mo.mesh;
      m.verts.resize(r.Count(12));
      r.Bytes(m.verts.data(), m.verts.size() * 12);
      m.faces.resize(r.Count(24));
      std::string faces(m.faces.size() * 24, '\0');
      r.Bytes(faces.data(), faces.size());
      for (size_t f = 0; f < m.faces.size(); ++f) {
        uint32_t words[6];
        std::memcpy(words, faces.data() + f * 24, 24);
        Face& x = m.faces[f];
        for (int k = 0; k < 3; ++k) x.v[k] = static_cast<int>(words[k]);
        x.smGroup = words[3];
        x.flags = words[4];
        if (words[5] > 0xFFFF) r.Fail("material id out of range");
        x.matID = static_cast<uint16_t>(words[5]);
      }
      m.tVerts.resize(r.Count(12));
      r.Bytes(m.tVerts.data(), m.tVerts.size() * 12);
      m.tvFace.resize(r.Count(12));
      r.Bytes(m.tvFace.data(), m.tvFace.size() * 12);
      objects[i] = &mo;
      conversions[i] = &mo.conversions;
    } else if (kind == kLight) {
      const int type = r.I32();
      auto& l = s->Make<LightObj>(type == SPOT_LIGHT ? SPOT_LIGHT : OMNI_LIGHT);
      LightState& ls = l.state;
      ls.type = type;
      ls.color = GetPoint(r);
      ls.intens = r.F32();
      ls.hotsize = r.F32();
      ls.fallsize = r.F32();
      ls.useAtten = r.I32();
      ls.attenStart = r.F32();
      ls.attenEnd = r.F32();
      ls.on = r.I32();
      l.targetDistance = r.F32();
      l.classId = GetId(r);
      if (l.classId != OMNI_LIGHT_CLASS_ID && l.classId != SPOT_LIGHT_CLASS_ID)
        r.Fail("a light with another class id than a light's");
      objects[i] = &l;
      conversions[i] = &l.conversions;
    } else if (kind == kGeneric) {
      const SClass_ID super = r.U32();
      const Class_ID id = GetId(r);
      if (!IsGenericKind(super, id)) r.Fail("an object of a class that is not a camera, dummy or shape");
      auto& g = s->Make<GenericObject>(super, id);
      objects[i] = &g;
      conversions[i] = &g.conversions;
    } else {
      r.Fail("unknown object kind");
    }
  }
  for (size_t i = 0; i < numObjects; ++i) {
    // A host that fails conversions is a test's; a conversion yields an object of the class it names.
    if (r.U8() != 0) r.Fail("a conversion that fails");
    const size_t n = r.Count(12);
    for (size_t k = 0; k < n; ++k) {
      const Class_ID id = GetId(r);
      Object* to = objects[static_cast<size_t>(r.Index(numObjects, false))];
      if (to->ClassID() != id) r.Fail("a conversion that yields another class than it names");
      conversions[i]->extra.push_back({id, to});
    }
  }

  const size_t numModifiers = r.Count(kMinModifierBytes);
  std::vector<Modifier*> modifiers(numModifiers);
  std::vector<std::pair<SkinModifier*, std::vector<int32_t>>> boneNodes;
  for (auto& m : modifiers) {
    const uint8_t kind = r.U8();
    if (kind == kSkin) {
      auto& skin = s->Make<SkinModifier>();
      skin.classId = GetId(r);
      std::vector<int32_t> nodesOf(r.Count(17));
      for (int32_t& node : nodesOf) {
        node = r.I32();
        SkinModifier::Bone b;
        if (r.U8()) b.name = r.Str();
        for (float& e : b.extra) e = r.F32();
        skin.bones.push_back(std::move(b));
      }
      const uint8_t hasWeights = r.U8();
      if (hasWeights > 1) r.Fail("bad weights flag");
      if (hasWeights) {
        SkinModifier::WeightTable t;
        t.rows = r.U64();
        t.columns = r.U64();
        const size_t left = bytes.size() - at;
        // A column per bone, and every row's bytes present (so rows of no columns too).
        if (t.columns != skin.bones.size()) r.Fail("a weight table whose columns are not the skin's bones");
        if (t.rows > left / 4 / std::max<size_t>(t.columns, 1))
          r.Fail("a weight table larger than what is left");
        t.values.resize(t.rows * t.columns);
        r.Bytes(t.values.data(), t.values.size() * sizeof(float));
        skin.weights = std::move(t);
      }
      // The raw table is a test's: no scene of a document or an import has one.
      if (r.U8() != 0) r.Fail("a raw weight table");
      boneNodes.push_back({&skin, std::move(nodesOf)});
      m = &skin;
    } else if (kind == kOtherModifier) {
      const Class_ID id = GetId(r);
      if (id == SKIN_CLASSID || id == SKIN_CLASSID_ALT) r.Fail("another modifier with a skin's class id");
      m = &s->Make<OtherModifier>(id);
    } else {
      r.Fail("unknown modifier kind");
    }
  }

  const size_t numNodes = r.Count(60);
  std::vector<Node*> nodes(numNodes);
  std::vector<int> depth(numNodes);
  for (size_t i = 0; i < numNodes; ++i) {
    const int32_t parent = r.Index(i, true);  // made before its children
    depth[i] = parent >= 0 ? depth[static_cast<size_t>(parent)] + 1 : 1;
    if (depth[i] > kMaxNodeDepth) r.Fail("nodes nested more than " + std::to_string(kMaxNodeDepth) + " deep");
    Node& n = s->AddNode("", parent >= 0 ? nodes[static_cast<size_t>(parent)] : nullptr);
    nodes[i] = &n;
    n.name = GetName(r);
    if (n.name && ReadsAsNoName(*n.name)) r.Fail(std::string("a node's name ") + kReadsAsNoName);
    const uint8_t hidden = r.U8();
    if (hidden > 1) r.Fail("bad hidden flag");
    n.hidden = hidden == 1;
    n.transform = GetMatrix(r);
    n.keys.resize(r.Count(52));
    for (auto& k : n.keys) {
      k.time = r.I32();
      k.transform = GetMatrix(r);
    }
    n.objectOffset = GetMatrix(r);
    const int32_t mat = r.Index(numMaterials, true);
    n.material = mat >= 0 ? materials[static_cast<size_t>(mat)] : nullptr;
    const int32_t obj = r.Index(numObjects, true);
    if (obj >= 0) n.SetObject(objects[static_cast<size_t>(obj)]);
    const size_t mods = r.Count(4);
    if (mods && obj < 0) r.Fail("modifiers without an object");
    for (size_t k = 0; k < mods; ++k) {
      Modifier* m = modifiers[static_cast<size_t>(r.Index(numModifiers, false))];
      // One row of weights per vertex of the mesh it deforms.
      auto* skin = dynamic_cast<SkinModifier*>(m);
      auto* mesh = dynamic_cast<MeshObject*>(objects[static_cast<size_t>(obj)]);
      if (skin && skin->weights && mesh && skin->weights->rows != mesh->mesh.verts.size())
        r.Fail("a weight table whose rows are not the mesh's vertices");
      n.AddModifier(m);
    }
    const size_t tracks = r.Count(12);
    for (size_t k = 0; k < tracks; ++k) {
      NoteTrackImpl& t = n.AddNoteTrack(GetId(r));
      t.keys.resize(r.Count(8));
      for (NoteKey& key : t.keys) {
        key.time = r.I32();
        key.note = CStr(r.Str());
      }
    }
  }
  for (auto& [skin, nodesOf] : boneNodes)
    for (size_t b = 0; b < nodesOf.size(); ++b) {
      const int32_t i = nodesOf[b];
      if (i < -1 || i >= static_cast<int32_t>(numNodes)) r.Fail("bone node out of range");
      skin->bones[b].node = i >= 0 ? nodes[static_cast<size_t>(i)] : nullptr;
    }
  return s;
}

}  // namespace sandbox
