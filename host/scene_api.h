// The scene as the host presents it to plug-ins: nodes, objects, modifiers,
// meshes, materials, texture maps, lights and note tracks. All interfaces are
// abstract; the host owns every object behind them, and plug-ins only borrow
// them for the duration of a call. Class-specific interfaces (StdMat,
// BitmapTex, TriObject, LightObject, IDerivedObject) are reached by checking the
// class id or super-class id first and then casting, as the host SDK intends.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/geom.h"
#include "host/types.h"

class INode;
class Object;
class Mtl;
class Texmap;
class NoteTrack;
class ITreeEnumProc;

// ---- Host and export interfaces ------------------------------------------

// The host application as a plug-in sees it.
class Interface {
 public:
  virtual Interval GetAnimRange() = 0;

 protected:
  ~Interface() = default;
};

// The scene being exported.
class IScene {
 public:
  // Calls proc->VisitNode for every node, depth first, a node before its
  // children. Stops when a callback returns TREE_ABORT; returns 1 then, else 0.
  virtual int EnumTree(ITreeEnumProc* proc) = 0;

 protected:
  ~IScene() = default;
};

class ExpInterface {
 public:
  virtual IScene* GetScene() = 0;

 protected:
  ~ExpInterface() = default;
};

// ---- Animatables, nodes and note tracks ----------------------------------

struct NoteKey {
  TimeValue time = 0;
  CStr note;
};

class NoteTrack {
 public:
  virtual Class_ID ClassID() = 0;
  virtual int NumKeys() = 0;
  virtual NoteKey* GetKey(int j) = 0;  // null when j is out of range

 protected:
  ~NoteTrack() = default;
};

class Animatable {
 public:
  virtual int HasNoteTracks() = 0;
  virtual int NumNoteTracks() = 0;
  virtual NoteTrack* GetNoteTrack(int i) = 0;

 protected:
  ~Animatable() = default;
};

struct ObjectState {
  Object* obj = nullptr;
};

class INode : public Animatable {
 public:
  virtual int IsNodeHidden(int checkLayer = 0, int forRenderer = 0) = 0;
  virtual const char* GetName() = 0;   // may be null
  virtual INode* GetParentNode() = 0;  // null for a top-level node
  virtual ObjectState EvalWorldState(TimeValue t, int evalHidden = 1) = 0;
  // Object space to world: the object offset, then the node's world transform.
  virtual Matrix3 GetObjectTM(TimeValue t, Interval* valid = nullptr) = 0;
  // The node's own world transform (pivot), used for bones.
  virtual Matrix3 GetNodeTM(TimeValue t, Interval* valid = nullptr) = 0;
  virtual Mtl* GetMtl() = 0;           // may be null
  virtual Object* GetObjectRef() = 0;  // top of the object reference; may be null
  // A 32-bit handle that identifies the node in the scene (see GetINodeByHandle).
  virtual uint32_t GetHandle() = 0;

 protected:
  ~INode() = default;
};

// Resolves a node handle, as stored in 32-bit records exchanged with plug-ins.
// The host installs the resolver; without one, or for an unknown handle, null.
HOST_API INode* GetINodeByHandle(uint32_t handle);
HOST_API std::function<INode*(uint32_t)> SetNodeHandleResolver(std::function<INode*(uint32_t)> resolver);

// ---- Objects and modifiers -----------------------------------------------

class Object {
 public:
  virtual SClass_ID SuperClassID() = 0;
  virtual Class_ID ClassID() = 0;
  virtual int CanConvertToType(Class_ID cid) = 0;
  // The host keeps ownership of the result (it may be this object itself).
  virtual Object* ConvertToType(TimeValue t, Class_ID cid) = 0;

 protected:
  ~Object() = default;
};

class Modifier {
 public:
  virtual Class_ID ClassID() = 0;
  // A modifier-specific command with one pointer argument.
  virtual int Command(uint32_t code, void* arg) = 0;

 protected:
  ~Modifier() = default;
};

// An object with a modifier stack (super-class GEN_DERIVOB_CLASS_ID).
class IDerivedObject : public Object {
 public:
  virtual int NumModifiers() = 0;
  virtual Modifier* GetModifier(int i) = 0;  // 0 is the top of the stack

 protected:
  ~IDerivedObject() = default;
};

// ---- Meshes ----------------------------------------------------------------

class Face {
 public:
  int v[3] = {0, 0, 0};
  uint32_t smGroup = 1;
  uint32_t flags = 7;  // bits 0-2: visibility of edges v0-v1, v1-v2, v2-v0
  uint16_t matID = 0;

  uint16_t getMatID() const { return matID; }
  void setMatID(uint16_t id) { matID = id; }
};

struct TVFace {
  int t[3] = {0, 0, 0};
};

// Plain mesh data, as the host keeps it. A mesh without texture vertices or
// texture faces has empty tVerts or tvFace.
class Mesh {
 public:
  std::vector<Point3> verts;
  std::vector<Face> faces;
  std::vector<Point3> tVerts;
  std::vector<TVFace> tvFace;

  int getNumVerts() const { return static_cast<int>(verts.size()); }
  int getNumFaces() const { return static_cast<int>(faces.size()); }
  int getNumTVerts() const { return static_cast<int>(tVerts.size()); }
  const Point3& getVert(int i) const { return verts[i]; }
  uint16_t getFaceMtlIndex(int f) const { return faces[f].getMatID(); }
};

class TriObject : public Object {
 public:
  virtual Mesh& GetMesh() = 0;

 protected:
  ~TriObject() = default;
};

// ---- Materials and texture maps -------------------------------------------

class Mtl {
 public:
  virtual Class_ID ClassID() = 0;
  virtual const char* GetName() = 0;  // may be null
  virtual int NumSubMtls() = 0;
  virtual Mtl* GetSubMtl(int i) = 0;  // may be null (an empty slot)

 protected:
  ~Mtl() = default;
};

// Transparency types of the standard material.
constexpr int TRANSP_SUBTRACTIVE = 0;
constexpr int TRANSP_ADDITIVE = 1;
constexpr int TRANSP_FILTER = 2;

// Sub-map slots of the standard material.
constexpr int ID_AM = 0;   // ambient
constexpr int ID_DI = 1;   // diffuse
constexpr int ID_SP = 2;   // specular
constexpr int ID_SH = 3;   // shininess
constexpr int ID_SS = 4;   // shininess strength
constexpr int ID_SI = 5;   // self-illumination
constexpr int ID_OP = 6;   // opacity
constexpr int ID_FI = 7;   // filter colour
constexpr int ID_BU = 8;   // bump
constexpr int ID_RL = 9;   // reflection
constexpr int ID_RR = 10;  // refraction
constexpr int ID_DP = 11;  // displacement
constexpr int STD_NUM_SLOTS = 12;

// The standard material, class DMTL_CLASS_ID.
class StdMat : public Mtl {
 public:
  virtual int GetTwoSided() = 0;
  virtual int GetTransparencyType() = 0;
  virtual float GetOpacity(TimeValue t) = 0;
  virtual Texmap* GetSubTexmap(int slot) = 0;  // may be null
  virtual float GetTexmapAmt(int slot, TimeValue t) = 0;

 protected:
  ~StdMat() = default;
};

class Texmap {
 public:
  virtual Class_ID ClassID() = 0;
  // The texture-coordinate transform applied to the map's texture vertices.
  virtual void GetUVTransform(Matrix3& uvtrans) = 0;

 protected:
  ~Texmap() = default;
};

class IParamBlock2 {
 public:
  virtual float GetFloat(int index, TimeValue t) = 0;

 protected:
  ~IParamBlock2() = default;
};

// Alpha sources of a bitmap texture.
constexpr int ALPHA_FILE = 0;
constexpr int ALPHA_RGB = 2;
constexpr int ALPHA_NONE = 3;

// Parameters 0-3 of a bitmap texture's block 0: the cropping window u, v, w, h.
class BitmapTex : public Texmap {
 public:
  virtual const char* GetMapName() = 0;  // may be null
  virtual int GetAlphaSource() = 0;
  virtual IParamBlock2* GetParamBlock(int i) = 0;

 protected:
  ~BitmapTex() = default;
};

// ---- Lights ----------------------------------------------------------------

constexpr int OMNI_LIGHT = 0;
constexpr int SPOT_LIGHT = 1;
constexpr int DIRECT_LIGHT = 2;
constexpr int AMBIENT_LIGHT = 3;

struct LightState {
  int type = OMNI_LIGHT;
  Point3 color{1.0f, 1.0f, 1.0f};
  float intens = 1.0f;
  float hotsize = 43.0f;
  float fallsize = 45.0f;
  int useAtten = 0;  // far attenuation on
  float attenStart = 80.0f;
  float attenEnd = 200.0f;
  int on = 1;
};

class LightObject : public Object {
 public:
  virtual int EvalLightState(TimeValue t, Interval& valid, LightState* ls) = 0;
  virtual float GetTDist(TimeValue t, Interval* valid = nullptr) = 0;

 protected:
  ~LightObject() = default;
};
