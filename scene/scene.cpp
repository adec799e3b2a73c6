#include "scene/scene.h"

#include <algorithm>
#include <cstring>

namespace scene {

namespace {

Object* ConvertVia(const Conversions& c, Object* self, Class_ID own, Class_ID cid) {
  if (c.fail) return nullptr;
  if (cid == own) return self;
  for (auto& [id, obj] : c.extra)
    if (id == cid) return obj;
  return nullptr;
}

int CanConvertVia(const Conversions& c, Class_ID own, Class_ID cid) {
  if (cid == own) return 1;
  for (auto& e : c.extra)
    if (e.first == cid) return 1;
  return 0;
}

}  // namespace

// ---- Objects ---------------------------------------------------------------

int MeshObject::CanConvertToType(Class_ID cid) {
  return CanConvertVia(conversions, TRIOBJ_CLASS_ID, cid);
}
Object* MeshObject::ConvertToType(TimeValue, Class_ID cid) {
  return ConvertVia(conversions, this, TRIOBJ_CLASS_ID, cid);
}

LightObj::LightObj(int type) : classId(type == SPOT_LIGHT ? SPOT_LIGHT_CLASS_ID : OMNI_LIGHT_CLASS_ID) {
  state.type = type;
}
int LightObj::CanConvertToType(Class_ID cid) {
  return CanConvertVia(conversions, classId, cid);
}
Object* LightObj::ConvertToType(TimeValue, Class_ID cid) {
  return ConvertVia(conversions, this, classId, cid);
}
int LightObj::EvalLightState(TimeValue, Interval& valid, LightState* ls) {
  valid = FOREVER();
  if (ls) *ls = state;
  return 1;
}
float LightObj::GetTDist(TimeValue, Interval* valid) {
  if (valid) *valid = FOREVER();
  return targetDistance;
}

GenericObject* GenericObject::Camera(Scene& s) {
  return &s.Make<GenericObject>(CAMERA_CLASS_ID, CAMERA_OBJ_CLASS_ID);
}
GenericObject* GenericObject::Dummy(Scene& s) {
  return &s.Make<GenericObject>(HELPER_CLASS_ID, DUMMY_CLASS_ID);
}
GenericObject* GenericObject::Shape(Scene& s) {
  return &s.Make<GenericObject>(SHAPE_CLASS_ID, SPLINE_SHAPE_CLASS_ID);
}
int GenericObject::CanConvertToType(Class_ID cid) {
  return CanConvertVia(conversions, classId, cid);
}
Object* GenericObject::ConvertToType(TimeValue, Class_ID cid) {
  return ConvertVia(conversions, this, classId, cid);
}

int DerivedObject::CanConvertToType(Class_ID cid) {
  return base ? base->CanConvertToType(cid) : 0;
}
Object* DerivedObject::ConvertToType(TimeValue t, Class_ID cid) {
  return base ? base->ConvertToType(t, cid) : nullptr;
}
Modifier* DerivedObject::GetModifier(int i) {
  return i >= 0 && i < NumModifiers() ? modifiers[static_cast<size_t>(i)] : nullptr;
}

// ---- Skin modifier ---------------------------------------------------------

int SkinModifier::Command(uint32_t code, void* arg) {
  if (!arg) return 0;
  if (code == SKIN_CMD_WEIGHTS) {
    auto** out = static_cast<WeightArray**>(arg);
    if (rawTable) {
      table_ = *rawTable;
    } else if (weights) {
      const size_t nb = bones.size(), rows = weights->rows, columns = weights->columns;
      table_.assign(2 + rows * nb, 0);
      table_[0] = static_cast<uint32_t>(nb);
      table_[1] = static_cast<uint32_t>(rows);
      if (columns == nb) {
        if (!weights->values.empty()) std::memcpy(&table_[2], weights->values.data(), rows * nb * 4);
      } else {
        for (size_t i = 0; i < rows; ++i)
          for (size_t j = 0; j < nb && j < columns; ++j)
            std::memcpy(&table_[2 + i * nb + j], &weights->values[i * columns + j], 4);
      }
    } else {
      return 1;  // no table: the caller's pointer stays null
    }
    if (table_.size() < 2) table_.resize(2, 0);
    *out = reinterpret_cast<WeightArray*>(table_.data());
    return 1;
  }
  if (code == SKIN_CMD_BONE) {
    auto* info = static_cast<BoneInfo*>(arg);
    if (info->Index < 0 || static_cast<size_t>(info->Index) >= bones.size()) return 0;
    const Bone& b = bones[static_cast<size_t>(info->Index)];
    std::string name = b.name ? *b.name : (b.node && b.node->name ? *b.node->name : std::string());
    std::memset(info->Name, 0, sizeof info->Name);
    std::memcpy(info->Name, name.data(), std::min(name.size(), sizeof info->Name - 1));
    info->Node = b.node ? b.node->Handle() : 0;
    for (int i = 0; i < 3; ++i) std::memcpy(&info->Extra[i], &b.extra[static_cast<size_t>(i)], 4);
    return 1;
  }
  return 0;
}

void SkinModifier::SetWeights(const std::vector<std::vector<float>>& rows) {
  WeightTable w;
  w.rows = rows.size();
  for (const auto& row : rows) w.columns = std::max(w.columns, row.size());
  w.values.assign(w.rows * w.columns, 0.0f);
  for (size_t i = 0; i < rows.size(); ++i)
    std::copy(rows[i].begin(), rows[i].end(), w.values.begin() + i * w.columns);
  weights = std::move(w);
}

// ---- Materials and maps ----------------------------------------------------

float ParamBlock::GetFloat(int index, TimeValue) {
  return index >= 0 && static_cast<size_t>(index) < floats.size() ? floats[static_cast<size_t>(index)] : 0.0f;
}

BitmapMap::BitmapMap() {
  params.floats = {0.0f, 0.0f, 1.0f, 1.0f};
}

Texmap* StdMaterial::GetSubTexmap(int slot) {
  return slot >= 0 && slot < STD_NUM_SLOTS ? slots[static_cast<size_t>(slot)].map : nullptr;
}
float StdMaterial::GetTexmapAmt(int slot, TimeValue) {
  return slot >= 0 && slot < STD_NUM_SLOTS ? slots[static_cast<size_t>(slot)].amount : 0.0f;
}

Mtl* MultiMaterial::GetSubMtl(int i) {
  return i >= 0 && i < NumSubMtls() ? subs[static_cast<size_t>(i)] : nullptr;
}

NoteKey* NoteTrackImpl::GetKey(int j) {
  return j >= 0 && j < NumKeys() ? &keys[static_cast<size_t>(j)] : nullptr;
}

// ---- Nodes -------------------------------------------------------------------

void Node::SetObject(Object* base) {
  base_ = base;
  if (derived_) derived_->base = base;
}

void Node::AddModifier(Modifier* m) {
  if (!derived_) {
    derived_ = &scene_->Make<DerivedObject>();
    derived_->base = base_;
  }
  derived_->modifiers.push_back(m);
}

NoteTrackImpl& Node::AddNoteTrack(Class_ID cid) {
  noteTracks.push_back(std::make_unique<NoteTrackImpl>());
  noteTracks.back()->classId = cid;
  return *noteTracks.back();
}

NoteTrack* Node::GetNoteTrack(int i) {
  return i >= 0 && i < NumNoteTracks() ? noteTracks[static_cast<size_t>(i)].get() : nullptr;
}

Matrix3 Node::LocalTM(TimeValue t) const {
  if (keys.empty()) return transform;
  if (t <= keys.front().time) return keys.front().transform;
  if (t >= keys.back().time) return keys.back().transform;
  auto it = std::upper_bound(keys.begin(), keys.end(), t,
                             [](TimeValue v, const TransformKey& k) { return v < k.time; });
  const TransformKey& b = *it;
  const TransformKey& a = *(it - 1);
  if (t == a.time) return a.transform;
  // 64-bit differences: keys may lie near both ends of the tick range.
  double f = double(int64_t(t) - a.time) / double(int64_t(b.time) - a.time);
  return Compose(Interpolate(Decompose(a.transform), Decompose(b.transform), f));
}

Matrix3 Node::WorldTM(TimeValue t) const {
  Matrix3 local = LocalTM(t);
  return parent_ ? local * parent_->WorldTM(t) : local;
}

ObjectState Node::EvalWorldState(TimeValue, int) {
  return ObjectState{base_};
}

Matrix3 Node::GetObjectTM(TimeValue t, Interval* valid) {
  if (valid) *valid = FOREVER();
  return objectOffset * WorldTM(t);
}

Matrix3 Node::GetNodeTM(TimeValue t, Interval* valid) {
  if (valid) *valid = FOREVER();
  return WorldTM(t);
}

Object* Node::GetObjectRef() {
  return derived_ ? static_cast<Object*>(derived_) : base_;
}

// ---- Scene -------------------------------------------------------------------

namespace {
const Scene* g_active = nullptr;
}

Scene::Scene() = default;

Scene::~Scene() {
  // Stop resolving handles into a scene that is gone.
  if (g_active == this) {
    SetNodeHandleResolver(nullptr);
    g_active = nullptr;
  }
}

Node& Scene::AddNode(std::string name, Node* parent) {
  nodes_.push_back(std::make_unique<Node>());
  Node& n = *nodes_.back();
  n.name = std::move(name);
  n.scene_ = this;
  n.parent_ = parent;
  n.handle_ = static_cast<uint32_t>(nodes_.size());
  (parent ? parent->children_ : roots_).push_back(&n);
  return n;
}

std::vector<Node*> Scene::WalkOrder() const {
  std::vector<Node*> out;
  out.reserve(nodes_.size());
  std::vector<Node*> stack(roots_.rbegin(), roots_.rend());
  while (!stack.empty()) {
    Node* n = stack.back();
    stack.pop_back();
    out.push_back(n);
    stack.insert(stack.end(), n->children_.rbegin(), n->children_.rend());
  }
  return out;
}

std::vector<Node*> Scene::FindNodes(const std::string& name) const {
  std::vector<Node*> out;
  for (auto& n : nodes_)
    if (n->name && *n->name == name) out.push_back(n.get());
  return out;
}

Node* Scene::FromHandle(uint32_t handle) const {
  return handle >= 1 && handle <= nodes_.size() ? nodes_[handle - 1].get() : nullptr;
}

void Scene::Activate() {
  SetTicksPerFrame(ticksPerFrame);
  SetMasterScale(masterScale);
  SetNodeHandleResolver([this](uint32_t h) -> INode* { return FromHandle(h); });
  g_active = this;
}

int Scene::EnumTree(ITreeEnumProc* proc) {
  Activate();
  std::vector<Node*> order = WalkOrder();
  const int total = static_cast<int>(order.size());
  // Walk explicitly so that TREE_IGNORECHILDREN can skip a subtree.
  std::vector<Node*> stack(roots_.rbegin(), roots_.rend());
  int index = 0;
  int aborted = 0;
  while (!stack.empty()) {
    Node* n = stack.back();
    stack.pop_back();
    if (onVisit) onVisit(index, total, n);
    ++index;
    current_ = n;
    int r = proc->VisitNode(n);
    current_ = nullptr;
    if (r == TREE_ABORT) {
      aborted = 1;
      break;
    }
    if (r != TREE_IGNORECHILDREN) stack.insert(stack.end(), n->children_.rbegin(), n->children_.rend());
  }
  return aborted;
}

bool ReadsAsNoName(std::string_view name) {
  return !name.empty() && name[0] == '\x01';
}

bool FileNameReadsAsNoName(std::string_view path) {
  // As the host hands it out: a C string, up to its first zero byte.
  path = path.substr(0, path.find('\0'));
  CStr file;
  SplitPathFile(CStr(std::string(path)), nullptr, &file);
  return ReadsAsNoName(file.str());
}

}  // namespace scene
