// The standalone host's in-memory scene. It implements every host interface a
// plug-in calls (host/scene_api.h) and is filled through a small builder API:
// scene documents, importers and tests all build scenes with it.
//
//   scene::Scene s;
//   auto& mesh = s.Make<scene::MeshObject>();
//   mesh.mesh.verts = {...};
//   scene::Node& box = s.AddNode("Box01");
//   box.SetObject(&mesh);
//
// The scene owns every node, object, modifier, material and map it makes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/plugin_api.h"
#include "host/scene_api.h"
#include "host/skin_api.h"
#include "scene/transform.h"

namespace scene {

class Scene;
class Node;

// Everything the scene owns derives from this, so one pool can hold it.
struct Owned {
  virtual ~Owned() = default;
};

// ---- Objects ---------------------------------------------------------------

// Conversions an object offers beyond its own class, and a switch to make a
// conversion fail (for hosts that misreport convertibility).
struct Conversions {
  std::vector<std::pair<Class_ID, Object*>> extra;
  bool fail = false;  // ConvertToType returns null although CanConvertToType said yes
};

class MeshObject final : public TriObject, public Owned {
 public:
  Mesh mesh;
  Conversions conversions;

  SClass_ID SuperClassID() override { return GEOMOBJECT_CLASS_ID; }
  Class_ID ClassID() override { return TRIOBJ_CLASS_ID; }
  int CanConvertToType(Class_ID cid) override;
  Object* ConvertToType(TimeValue t, Class_ID cid) override;
  Mesh& GetMesh() override { return mesh; }
};

class LightObj final : public LightObject, public Owned {
 public:
  LightState state;  // type OMNI_LIGHT or SPOT_LIGHT (others for tests)
  float targetDistance = 240.0f;
  Class_ID classId = OMNI_LIGHT_CLASS_ID;
  Conversions conversions;

  explicit LightObj(int type = OMNI_LIGHT);
  SClass_ID SuperClassID() override { return LIGHT_CLASS_ID; }
  Class_ID ClassID() override { return classId; }
  int CanConvertToType(Class_ID cid) override;
  Object* ConvertToType(TimeValue t, Class_ID cid) override;
  int EvalLightState(TimeValue t, Interval& valid, LightState* ls) override;
  float GetTDist(TimeValue t, Interval* valid = nullptr) override;
};

// Cameras, dummies, shapes: objects that are neither lights nor meshes.
class GenericObject final : public Object, public Owned {
 public:
  SClass_ID superClass;
  Class_ID classId;
  Conversions conversions;

  GenericObject(SClass_ID sc, Class_ID cid) : superClass(sc), classId(cid) {}
  static GenericObject* Camera(Scene& s);
  static GenericObject* Dummy(Scene& s);
  static GenericObject* Shape(Scene& s);
  SClass_ID SuperClassID() override { return superClass; }
  Class_ID ClassID() override { return classId; }
  int CanConvertToType(Class_ID cid) override;
  Object* ConvertToType(TimeValue t, Class_ID cid) override;
};

// A base object under a modifier stack. Its evaluated result is the base object
// as it stands: scene data holds meshes already deformed to tick 0.
class DerivedObject final : public IDerivedObject, public Owned {
 public:
  Object* base = nullptr;
  std::vector<Modifier*> modifiers;  // top first

  SClass_ID SuperClassID() override { return GEN_DERIVOB_CLASS_ID; }
  Class_ID ClassID() override { return DERIVOB_CLASS_ID; }
  int CanConvertToType(Class_ID cid) override;
  Object* ConvertToType(TimeValue t, Class_ID cid) override;
  int NumModifiers() override { return static_cast<int>(modifiers.size()); }
  Modifier* GetModifier(int i) override;
};

// ---- Modifiers -------------------------------------------------------------

class OtherModifier final : public Modifier, public Owned {
 public:
  Class_ID classId;
  explicit OtherModifier(Class_ID cid) : classId(cid) {}
  Class_ID ClassID() override { return classId; }
  int Command(uint32_t, void*) override { return 0; }
};

// The skin modifier: answers the weight-table and bone queries in the host
// layouts. SKIN_CMD_WEIGHTS hands out a table of nb = bones.size() columns and
// one row per entry of `weights`. SKIN_CMD_BONE fills Name (the bone's name,
// cut to 255 bytes and zero-terminated), Node (the bone node's 32-bit handle,
// which GetINodeByHandle resolves while this scene is active) and Extra; Time,
// Index, Parent, Sibling, Child and the reserved bytes stay as the caller set
// them. An unknown Index leaves the record untouched.
class SkinModifier final : public Modifier, public Owned {
 public:
  struct Bone {
    Node* node = nullptr;
    std::optional<std::string> name;  // none: the node's name
    std::array<float, 3> extra{0, 0, 0};
  };
  // The weight table, row-major: `rows` host vertices of `columns` weights.
  struct WeightTable {
    size_t rows = 0;
    size_t columns = 0;
    std::vector<float> values;  // rows * columns
    size_t size() const { return rows; }
    std::span<const float> operator[](size_t row) const { return {values.data() + row * columns, columns}; }
  };
  Class_ID classId = SKIN_CLASSID;
  std::vector<Bone> bones;
  // One row of weights per host vertex, or none: no table offered. The table
  // handed out has bones.size() columns; missing ones read as 0.
  std::optional<WeightTable> weights;
  // Sets the table from rows (for builders and tests); each row as long as it is.
  void SetWeights(const std::vector<std::vector<float>>& rows);
  // Test hook: replaces the table handed out (raw words: nb, nv, weights...).
  std::optional<std::vector<uint32_t>> rawTable;

  Class_ID ClassID() override { return classId; }
  int Command(uint32_t code, void* arg) override;

 private:
  std::vector<uint32_t> table_;  // the table handed out; lives until the next query
};

// ---- Materials and maps ----------------------------------------------------

class ParamBlock final : public IParamBlock2 {
 public:
  std::vector<float> floats;
  float GetFloat(int index, TimeValue) override;
};

class BitmapMap final : public BitmapTex, public Owned {
 public:
  std::optional<std::string> fileName = std::string();  // nullopt: GetMapName gives null
  int alphaSource = ALPHA_FILE;
  Matrix3 uvTransform;
  ParamBlock params;  // crop u, v, w, h

  BitmapMap();
  Class_ID ClassID() override { return BMTEX_CLASS_ID; }
  void GetUVTransform(Matrix3& m) override { m = uvTransform; }
  const char* GetMapName() override { return fileName ? fileName->c_str() : nullptr; }
  int GetAlphaSource() override { return alphaSource; }
  IParamBlock2* GetParamBlock(int i) override { return i == 0 ? &params : nullptr; }
  void SetCrop(float u, float v, float w, float h) { params.floats = {u, v, w, h}; }
};

class OtherMap final : public Texmap, public Owned {
 public:
  Class_ID classId;
  Matrix3 uvTransform;
  explicit OtherMap(Class_ID cid) : classId(cid) {}
  Class_ID ClassID() override { return classId; }
  void GetUVTransform(Matrix3& m) override { m = uvTransform; }
};

class StdMaterial final : public StdMat, public Owned {
 public:
  struct Slot {
    Texmap* map = nullptr;
    float amount = 1.0f;
  };
  std::optional<std::string> name = std::string();
  int twoSided = 0;
  int transparencyType = TRANSP_FILTER;
  float opacity = 1.0f;
  std::array<Slot, STD_NUM_SLOTS> slots{};

  explicit StdMaterial(std::string n = "") : name(std::move(n)) {}
  Class_ID ClassID() override { return DMTL_CLASS_ID; }
  const char* GetName() override { return name ? name->c_str() : nullptr; }
  int NumSubMtls() override { return 0; }
  Mtl* GetSubMtl(int) override { return nullptr; }
  int GetTwoSided() override { return twoSided; }
  int GetTransparencyType() override { return transparencyType; }
  float GetOpacity(TimeValue) override { return opacity; }
  Texmap* GetSubTexmap(int slot) override;
  float GetTexmapAmt(int slot, TimeValue) override;
};

class MultiMaterial final : public Mtl, public Owned {
 public:
  std::optional<std::string> name = std::string();
  std::vector<Mtl*> subs;  // null entries are empty slots

  explicit MultiMaterial(std::string n = "") : name(std::move(n)) {}
  Class_ID ClassID() override { return MULTI_CLASS_ID; }
  const char* GetName() override { return name ? name->c_str() : nullptr; }
  int NumSubMtls() override { return static_cast<int>(subs.size()); }
  Mtl* GetSubMtl(int i) override;
};

class OtherMaterial final : public Mtl, public Owned {
 public:
  std::optional<std::string> name = std::string();
  Class_ID classId;
  OtherMaterial(std::string n, Class_ID cid) : name(std::move(n)), classId(cid) {}
  Class_ID ClassID() override { return classId; }
  const char* GetName() override { return name ? name->c_str() : nullptr; }
  int NumSubMtls() override { return 0; }
  Mtl* GetSubMtl(int) override { return nullptr; }
};

// ---- Note tracks and nodes -------------------------------------------------

class NoteTrackImpl final : public NoteTrack {
 public:
  Class_ID classId = NOTETRACK_CLASS_ID;
  std::vector<NoteKey> keys;
  Class_ID ClassID() override { return classId; }
  int NumKeys() override { return static_cast<int>(keys.size()); }
  NoteKey* GetKey(int j) override;
};

struct TransformKey {
  TimeValue time = 0;
  Matrix3 transform;
};

// Note keys to attach to a node by its name (thmexport's --notes).
struct NodeNotes {
  std::string node;
  std::vector<NoteKey> keys;
};

class Node final : public INode {
 public:
  std::optional<std::string> name = std::string();  // nullopt: GetName gives null
  bool hidden = false;
  Matrix3 transform;               // local, relative to the parent
  std::vector<TransformKey> keys;  // ascending time; replace `transform` when present
  Matrix3 objectOffset;
  Mtl* material = nullptr;
  std::vector<std::unique_ptr<NoteTrackImpl>> noteTracks;

  Node* Parent() const { return parent_; }
  const std::vector<Node*>& Children() const { return children_; }
  uint32_t Handle() const { return handle_; }

  // The node's base object, and optionally a modifier stack over it.
  void SetObject(Object* base);
  void AddModifier(Modifier* m);  // appended at the bottom of the stack (after those added before)
  Object* BaseObject() const { return base_; }
  DerivedObject* Derived() const { return derived_; }
  NoteTrackImpl& AddNoteTrack(Class_ID cid = NOTETRACK_CLASS_ID);

  // Local transform at t: keys interpolated, held before the first and after the last.
  Matrix3 LocalTM(TimeValue t) const;
  Matrix3 WorldTM(TimeValue t) const;

  // INode
  int HasNoteTracks() override { return noteTracks.empty() ? 0 : 1; }
  int NumNoteTracks() override { return static_cast<int>(noteTracks.size()); }
  NoteTrack* GetNoteTrack(int i) override;
  int IsNodeHidden(int = 0, int = 0) override { return hidden ? 1 : 0; }
  const char* GetName() override { return name ? name->c_str() : nullptr; }
  INode* GetParentNode() override { return parent_; }
  ObjectState EvalWorldState(TimeValue t, int evalHidden = 1) override;
  Matrix3 GetObjectTM(TimeValue t, Interval* valid = nullptr) override;
  Matrix3 GetNodeTM(TimeValue t, Interval* valid = nullptr) override;
  Mtl* GetMtl() override { return material; }
  Object* GetObjectRef() override;
  uint32_t GetHandle() override { return handle_; }

 private:
  friend class Scene;
  Scene* scene_ = nullptr;
  Node* parent_ = nullptr;
  std::vector<Node*> children_;
  uint32_t handle_ = 0;
  Object* base_ = nullptr;
  DerivedObject* derived_ = nullptr;
};

// ---- The scene -------------------------------------------------------------

// Where a name may be missing (a map's file, a light's parent), the file
// writes the byte 1 for "none": a name that begins with that byte would read
// as none and the rest as what follows. Every way in refuses such names for
// nodes and for bitmaps' file names (the part the file holds, without folder).
bool ReadsAsNoName(std::string_view name);
bool FileNameReadsAsNoName(std::string_view path);
inline constexpr const char* kReadsAsNoName = "begins with the byte 1, which the file reads as \"none\"";

// The deepest node nesting a scene may have: every way in (documents, imports)
// refuses deeper trees, so walks may recurse.
inline constexpr int kMaxNodeDepth = 1000;

class Scene final : public IScene, public ExpInterface, public ::Interface {
 public:
  int ticksPerFrame = 160;
  Interval animationRange{0, 0};
  double masterScale = 1.0;

  // Called before each node is visited by a walk: (index from 0, node count, node).
  std::function<void(int, int, Node*)> onVisit;

  Scene();
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // A new node, last child of `parent` (top level when null).
  Node& AddNode(std::string name, Node* parent = nullptr);
  const std::vector<Node*>& TopLevel() const { return roots_; }
  int NodeCount() const { return static_cast<int>(nodes_.size()); }
  // All nodes in walk order.
  std::vector<Node*> WalkOrder() const;
  // Nodes with this name (names need not be unique).
  std::vector<Node*> FindNodes(const std::string& name) const;
  Node* FromHandle(uint32_t handle) const;
  // The node a running walk is visiting, else null.
  Node* CurrentNode() const { return current_; }

  template <class T, class... Args>
  T& Make(Args&&... args) {
    auto p = std::make_unique<T>(std::forward<Args>(args)...);
    T& ref = *p;
    owned_.push_back(std::move(p));
    return ref;
  }

  // Makes this the scene the host library answers for: ticks per frame, master
  // scale and node handles. A walk does it itself.
  void Activate();

  // IScene, ExpInterface, Interface
  int EnumTree(ITreeEnumProc* proc) override;
  IScene* GetScene() override { return this; }
  Interval GetAnimRange() override { return animationRange; }

 private:
  std::vector<std::unique_ptr<Node>> nodes_;  // creation order; handle = index + 1
  std::vector<Node*> roots_;
  std::vector<std::unique_ptr<Owned>> owned_;
  Node* current_ = nullptr;
};

}  // namespace scene
