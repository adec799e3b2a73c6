#include "scene/import.h"

#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unordered_map>

#include "scene/import_detail.h"
#include "scene/import_smooth.h"

namespace scene {

namespace {

namespace fs = std::filesystem;
constexpr double kPi = 3.14159265358979323846;

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

[[noreturn]] void Fail(const std::string& file, const std::string& what) {
  throw ImportError(OneLine(file + ": " + what));
}

std::string Str(const aiString& s) { return std::string(s.C_Str(), s.length); }

// Assimp's log, caught while one file loads. Errors come back as warnings;
// those saying that Assimp dropped malformed faces make the import fail.
class LogCatcher : public Assimp::LogStream {
 public:
  std::vector<std::string> errors;
  void write(const char* message) override {
    std::string m = OneLine(message ? message : "");
    // Assimp prefixes "Error, T0: ".
    if (auto p = m.find(": "); p != std::string::npos && m.rfind("Error", 0) == 0) m = m.substr(p + 2);
    errors.push_back(m);
  }
};

class AssimpLog {
 public:
  AssimpLog() {
    if (Assimp::DefaultLogger::isNullLogger()) {
      Assimp::DefaultLogger::create("", Assimp::Logger::NORMAL, 0);
      owned_ = true;
    }
    stream_ = new LogCatcher;
    Assimp::DefaultLogger::get()->attachStream(stream_, Assimp::Logger::Err);
  }
  ~AssimpLog() {
    Assimp::DefaultLogger::get()->detachStream(stream_, Assimp::Logger::Err);
    delete stream_;
    if (owned_) Assimp::DefaultLogger::kill();
  }
  const std::vector<std::string>& Errors() const { return stream_->errors; }

 private:
  LogCatcher* stream_ = nullptr;
  bool owned_ = false;
};

bool IsMalformedGeometry(const std::string& message) {
  std::string m = message;
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* p : {"empty face", "zero indices", "invalid face index"})
    if (m.find(p) != std::string::npos) return true;
  return false;
}

// Loads with the post-processing the mapping relies on: triangles only, one
// primitive type per mesh, and Assimp's own consistency checks.
struct Loaded {
  std::unique_ptr<Assimp::Importer> importer;
  const aiScene* scene = nullptr;
  std::vector<std::string> assimpErrors;
};

// Assimp sizes its arrays from an OFF header's counts before reading them: a
// count that the file cannot possibly hold is refused here instead.
void CheckOffHeader(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext != ".off") return;
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return;
  std::ifstream in(path);
  std::string word;
  in >> word;  // OFF, COFF, NOFF, ...: the counts follow, perhaps on the same line
  if (word.find("OFF") == std::string::npos) return;
  double vertices = 0, faces = 0;
  if (!(in >> vertices >> faces)) return;
  // A vertex takes at least 6 bytes ("0 0 0\n"), a face at least 8.
  if (vertices * 6 > double(size) || faces * 8 > double(size))
    Fail(path, "the header's counts (" + std::to_string(static_cast<long long>(vertices)) + " vertices, " +
                   std::to_string(static_cast<long long>(faces)) + " faces) exceed what the file holds");
}

Loaded Load(const std::string& path, unsigned extraFlags = 0) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) Fail(path, "no such file");
  CheckOffHeader(path);
  Loaded l;
  l.importer = std::make_unique<Assimp::Importer>();
  // One node per source node: FBX pivots are folded into the node transform.
  l.importer->SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  AssimpLog log;
  l.scene = l.importer->ReadFile(path, aiProcess_Triangulate | aiProcess_SortByPType |
                                           aiProcess_ValidateDataStructure | extraFlags);
  l.assimpErrors = log.Errors();
  if (!l.scene) {
    std::string why = l.importer->GetErrorString();
    Fail(path, why.empty() ? "Assimp cannot read it" : why);
  }
  for (const std::string& e : l.assimpErrors)
    if (IsMalformedGeometry(e)) Fail(path, e);
  if (!l.scene->mRootNode) Fail(path, "no scene graph");
  return l;
}

// ---- Matrices -----------------------------------------------------------------

Matrix3 Affine(const double r[4][3]) {
  return Matrix3(Point3(float(r[0][0]), float(r[0][1]), float(r[0][2])),
                 Point3(float(r[1][0]), float(r[1][1]), float(r[1][2])),
                 Point3(float(r[2][0]), float(r[2][1]), float(r[2][2])),
                 Point3(float(r[3][0]), float(r[3][1]), float(r[3][2])));
}

void Apply(const Matrix3& m, const double p[3], double out[3]) {
  for (int k = 0; k < 3; ++k)
    out[k] = p[0] * m[0][k] + p[1] * m[1][k] + p[2] * m[2][k] + m[3][k];
}

Matrix3 Inverse(const Matrix3& m) {
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = m[i][j];
  double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1], c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2],
         c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
  double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
  if (det == 0 || !std::isfinite(det)) return Matrix3();
  double inv[4][3];
  inv[0][0] = c00 / det;
  inv[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  inv[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  inv[1][0] = c01 / det;
  inv[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  inv[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  inv[2][0] = c02 / det;
  inv[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  inv[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  for (int k = 0; k < 3; ++k)
    inv[3][k] = -(m[3][0] * inv[0][k] + m[3][1] * inv[1][k] + m[3][2] * inv[2][k]);
  return Affine(inv);
}

}  // namespace

namespace import_detail {

Matrix3 ToHost(const aiMatrix4x4& m) {
  // Assimp maps column vectors; the host's rows are the images of the axes.
  const double r[4][3] = {{m.a1, m.b1, m.c1}, {m.a2, m.b2, m.c2}, {m.a3, m.b3, m.c3}, {m.a4, m.b4, m.c4}};
  return Affine(r);
}

Matrix3 AxisConversion(char up, int sign) {
  const float s = sign < 0 ? -1.0f : 1.0f;
  switch (up) {
    case 'x':  // +x -> +z, z -> -x
      return Matrix3({0, 0, s}, {0, 1, 0}, {-s, 0, 0}, {0, 0, 0});
    case 'y':  // +y -> +z, +z -> -y (a quarter turn about x)
      return Matrix3({1, 0, 0}, {0, 0, s}, {0, -s, 0}, {0, 0, 0});
    default:
      if (sign < 0) return Matrix3({1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, 0});
      return Matrix3();
  }
}

Matrix3 UVTransform(float tu, float tv, float su, float sv, float rot) {
  // Assimp's meaning, as it bakes a transform into coordinates: translate,
  // rotate counter-clockwise about the map's centre (0.5, 0.5), then scale
  // about that centre: uv' = S R (uv + t - h) + h.
  const double c = std::cos(rot), s = std::sin(rot);
  const double x = tu - 0.5, y = tv - 0.5;
  const double r[4][3] = {{su * c, sv * s, 0},
                          {-su * s, sv * c, 0},
                          {0, 0, 1},
                          {su * (c * x - s * y) + 0.5, sv * (s * x + c * y) + 0.5, 0}};
  return Affine(r);
}

std::vector<float> LimitWeights(std::vector<float> row, int maxInfluences, bool normalize) {
  if (maxInfluences > 0) {
    std::vector<int> order;
    for (size_t j = 0; j < row.size(); ++j)
      if (row[j] != 0.0f) order.push_back(static_cast<int>(j));
    if (static_cast<int>(order.size()) > maxInfluences) {
      // Largest first; equal weights keep the lower bone.
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return row[a] > row[b]; });
      for (size_t k = static_cast<size_t>(maxInfluences); k < order.size(); ++k) row[order[k]] = 0.0f;
    }
  }
  if (normalize) {
    double sum = 0;
    for (float w : row) sum += w;
    if (sum > 0 && std::isfinite(sum))
      for (float& w : row) w = static_cast<float>(w / sum);
  }
  return row;
}

}  // namespace import_detail

namespace {

using import_detail::ToHost;

// ---- The builder -----------------------------------------------------------------

class Builder {
 public:
  Builder(const aiScene& ai, std::string path, const ImportOptions& opt, std::vector<std::string>* warnings)
      : ai_(ai), path_(std::move(path)), opt_(opt), warnings_(warnings) {}

  std::unique_ptr<Scene> Run();

 private:
  void Warn(const std::string& w) {
    if (warnings_) warnings_->push_back(OneLine(w));
  }
  void SetConversion();
  const aiAnimation* ChooseAnimation();
  void MakeNodes(const aiNode* an, Node* parent, const Matrix3* top);
  void Animate(const aiAnimation& anim);
  void MakeObject(const aiNode* an, Node& node);
  void MakeMesh(const aiNode* an, Node& node);
  void MakeLight(const aiLight& l, const aiNode* an, Node& node);
  Mtl* NodeMaterial(const std::vector<unsigned>& used);
  StdMaterial* Material(unsigned index);
  Texmap* Bitmap(const aiMaterial& m, aiTextureType type, float* amount);
  std::string EmbeddedName(const aiTexture& t, int index);
  void Extract(const aiTexture& t, const std::string& name);
  void Notes();
  Node* ByName(const std::string& name) {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
  }

  const aiScene& ai_;
  std::string path_;
  const ImportOptions& opt_;
  std::vector<std::string>* warnings_;
  std::unique_ptr<Scene> s_;
  Matrix3 conversion_;  // Assimp's world to the host's world
  Matrix3 topExtra_;    // applied to every top-level local transform
  std::map<const aiNode*, Node*> nodes_;
  std::unordered_map<std::string, Node*> byName_;  // first in walk order
  std::set<Node*> topLevel_;
  std::map<unsigned, StdMaterial*> materials_;
  std::map<std::vector<unsigned>, Mtl*> multis_;
  std::map<std::string, Texmap*> bitmaps_;
  std::set<std::string> extracted_;
};

double MetaNumber(const aiMetadata* md, const char* key, bool* found) {
  *found = false;
  if (!md) return 0;
  for (unsigned i = 0; i < md->mNumProperties; ++i) {
    if (std::strcmp(md->mKeys[i].C_Str(), key) != 0) continue;
    const aiMetadataEntry& e = md->mValues[i];
    if (!e.mData) return 0;
    *found = true;
    switch (e.mType) {
      case AI_BOOL: return *static_cast<bool*>(e.mData) ? 1 : 0;
      case AI_INT32: return *static_cast<int32_t*>(e.mData);
      case AI_UINT64: return double(*static_cast<uint64_t*>(e.mData));
      case AI_FLOAT: return *static_cast<float*>(e.mData);
      case AI_DOUBLE: return *static_cast<double*>(e.mData);
      default: *found = false; return 0;
    }
  }
  return 0;
}

void Builder::SetConversion() {
  char up = 'y';
  int sign = 1;
  bool found = false;
  double axis = MetaNumber(ai_.mMetaData, "UpAxis", &found);
  if (found) {
    up = axis == 0 ? 'x' : axis == 2 ? 'z' : 'y';
    bool hasSign = false;
    double sg = MetaNumber(ai_.mMetaData, "UpAxisSign", &hasSign);
    if (hasSign && sg < 0) sign = -1;
  }
  if (opt_.up) {
    up = *opt_.up;
    sign = 1;
  }
  conversion_ = import_detail::AxisConversion(up, sign);
  // FBX states its unit in centimetres; the scene is built in metres.
  double unit = MetaNumber(ai_.mMetaData, "UnitScaleFactor", &found);
  if (found && std::isfinite(unit) && unit > 0 && unit != 100.0) {
    const float k = static_cast<float>(unit / 100.0);
    conversion_ = conversion_ * Matrix3({k, 0, 0}, {0, k, 0}, {0, 0, k}, {0, 0, 0});
  }
}

const aiAnimation* Builder::ChooseAnimation() {
  if (ai_.mNumAnimations == 0) {
    if (!opt_.animation.empty()) Fail(path_, "no animation '" + opt_.animation + "': the file has none");
    return nullptr;
  }
  if (opt_.animation.empty()) return ai_.mAnimations[0];
  for (unsigned i = 0; i < ai_.mNumAnimations; ++i)
    if (Str(ai_.mAnimations[i]->mName) == opt_.animation) return ai_.mAnimations[i];
  const std::string& a = opt_.animation;
  if (std::all_of(a.begin(), a.end(), [](unsigned char c) { return std::isdigit(c); }) && a.size() < 9) {
    unsigned i = static_cast<unsigned>(std::stoul(a));
    if (i < ai_.mNumAnimations) return ai_.mAnimations[i];
  }
  std::string names;
  for (unsigned i = 0; i < ai_.mNumAnimations; ++i)
    names += (i ? ", " : "") + std::to_string(i) + " '" + Str(ai_.mAnimations[i]->mName) + "'";
  Fail(path_, "no animation '" + a + "' (the file has " + names + ")");
}

void Builder::MakeNodes(const aiNode* an, Node* parent, const Matrix3* top) {
  Node& n = s_->AddNode(Str(an->mName), parent);
  n.transform = ToHost(an->mTransformation);
  if (top) {
    n.transform = n.transform * *top;
    topLevel_.insert(&n);
  }
  nodes_[an] = &n;
  byName_.emplace(*n.name, &n);
  for (unsigned i = 0; i < an->mNumChildren; ++i) MakeNodes(an->mChildren[i], &n, nullptr);
}

// Assimp's interpolation of one key list: linear vectors, spherical rotations,
// held before the first and after the last key.
template <class Key, class Value, class Mix>
Value Sample(const Key* keys, unsigned n, double t, Value fallback, Mix mix) {
  if (n == 0) return fallback;
  if (t <= keys[0].mTime) return keys[0].mValue;
  if (t >= keys[n - 1].mTime) return keys[n - 1].mValue;
  unsigned i = 1;
  while (i < n && keys[i].mTime <= t) ++i;
  const Key &a = keys[i - 1], &b = keys[i];
  double span = b.mTime - a.mTime;
  double f = span > 0 ? (t - a.mTime) / span : 0.0;
  return mix(a.mValue, b.mValue, f);
}

void Builder::Animate(const aiAnimation& anim) {
  const double tps = anim.mTicksPerSecond > 0 ? anim.mTicksPerSecond : 25.0;
  auto ticks = [&](double t) {
    double v = std::round(t / tps * TIME_TICKSPERSEC);
    return static_cast<TimeValue>(std::clamp(v, -2.0e9, 2.0e9));
  };
  for (unsigned c = 0; c < anim.mNumChannels; ++c) {
    const aiNodeAnim& ch = *anim.mChannels[c];
    Node* node = ByName(Str(ch.mNodeName));
    if (!node) {
      Warn("animation channel for missing node '" + Str(ch.mNodeName) + "' ignored");
      continue;
    }
    const aiNode* an = nullptr;
    for (auto& [a, n] : nodes_)
      if (n == node) an = a;
    aiVector3D restS, restP;
    aiQuaternion restR;
    an->mTransformation.Decompose(restS, restR, restP);
    std::vector<double> times;
    for (unsigned i = 0; i < ch.mNumPositionKeys; ++i) times.push_back(ch.mPositionKeys[i].mTime);
    for (unsigned i = 0; i < ch.mNumRotationKeys; ++i) times.push_back(ch.mRotationKeys[i].mTime);
    for (unsigned i = 0; i < ch.mNumScalingKeys; ++i) times.push_back(ch.mScalingKeys[i].mTime);
    std::sort(times.begin(), times.end());
    auto lerp = [](const aiVector3D& a, const aiVector3D& b, double f) {
      return aiVector3D(ai_real(a.x + (b.x - a.x) * f), ai_real(a.y + (b.y - a.y) * f), ai_real(a.z + (b.z - a.z) * f));
    };
    auto slerp = [](const aiQuaternion& a, const aiQuaternion& b, double f) {
      Quat q = Slerp({a.x, a.y, a.z, a.w}, {b.x, b.y, b.z, b.w}, f);
      return aiQuaternion(q.w, q.x, q.y, q.z);
    };
    node->keys.clear();
    for (double t : times) {
      TimeValue tick = ticks(t);
      if (!node->keys.empty() && node->keys.back().time == tick) continue;
      aiVector3D p = Sample(ch.mPositionKeys, ch.mNumPositionKeys, t, restP, lerp);
      aiQuaternion r = Sample(ch.mRotationKeys, ch.mNumRotationKeys, t, restR, slerp);
      aiVector3D sc = Sample(ch.mScalingKeys, ch.mNumScalingKeys, t, restS, lerp);
      TRS trs;
      trs.position = {p.x, p.y, p.z};
      trs.rotation = {r.x, r.y, r.z, r.w};
      trs.scale = {sc.x, sc.y, sc.z};
      Matrix3 m = Compose(trs);
      if (topLevel_.count(node)) m = m * topExtra_;
      node->keys.push_back({tick, m});
    }
  }
  s_->animationRange = Interval(0, ticks(anim.mDuration));
}

std::unique_ptr<Scene> Builder::Run() {
  s_ = std::make_unique<Scene>();
  s_->ticksPerFrame = static_cast<int>(std::lround(double(TIME_TICKSPERSEC) / opt_.fps));
  s_->masterScale = opt_.scale.value_or(1.0);
  SetConversion();
  const aiAnimation* anim = ChooseAnimation();

  // Assimp's root is often a container of its own making: it is folded into
  // the top-level nodes unless it holds something the host must keep.
  const aiNode* root = ai_.mRootNode;
  std::set<std::string> named;
  for (unsigned i = 0; i < ai_.mNumLights; ++i) named.insert(Str(ai_.mLights[i]->mName));
  for (unsigned i = 0; i < ai_.mNumCameras; ++i) named.insert(Str(ai_.mCameras[i]->mName));
  for (unsigned m = 0; m < ai_.mNumMeshes; ++m)
    for (unsigned b = 0; b < ai_.mMeshes[m]->mNumBones; ++b) named.insert(Str(ai_.mMeshes[m]->mBones[b]->mName));
  if (anim)
    for (unsigned c = 0; c < anim->mNumChannels; ++c) named.insert(Str(anim->mChannels[c]->mNodeName));
  const bool fold = root->mNumMeshes == 0 && root->mNumChildren > 0 && !named.count(Str(root->mName));
  if (fold) {
    topExtra_ = ToHost(root->mTransformation) * conversion_;
    for (unsigned i = 0; i < root->mNumChildren; ++i) MakeNodes(root->mChildren[i], nullptr, &topExtra_);
  } else {
    topExtra_ = conversion_;
    MakeNodes(root, nullptr, &topExtra_);
  }
  if (anim) Animate(*anim);
  for (auto& [an, node] : nodes_) MakeObject(an, *node);
  if (!opt_.notesFile.empty()) Notes();
  return std::move(s_);
}

void Builder::MakeObject(const aiNode* an, Node& node) {
  const std::string name = Str(an->mName);
  if (an->mNumMeshes > 0) {
    MakeMesh(an, node);
    if (node.BaseObject()) return;
  }
  for (unsigned i = 0; i < ai_.mNumLights; ++i)
    if (Str(ai_.mLights[i]->mName) == name && ByName(name) == &node) {
      MakeLight(*ai_.mLights[i], an, node);
      return;
    }
  for (unsigned i = 0; i < ai_.mNumCameras; ++i)
    if (Str(ai_.mCameras[i]->mName) == name && ByName(name) == &node) {
      node.SetObject(GenericObject::Camera(*s_));
      return;
    }
  node.SetObject(GenericObject::Dummy(*s_));
}

void Builder::MakeLight(const aiLight& l, const aiNode* an, Node& node) {
  const char* kind = nullptr;
  switch (l.mType) {
    case aiLightSource_POINT: break;
    case aiLightSource_SPOT: break;
    case aiLightSource_DIRECTIONAL: kind = "directional"; break;
    case aiLightSource_AREA: kind = "area"; break;
    case aiLightSource_AMBIENT: kind = "ambient"; break;
    default: kind = "undefined"; break;
  }
  if (kind) {
    Warn("light '" + Str(l.mName) + "': " + kind + " lights are not exportable; kept as a dummy");
    node.SetObject(GenericObject::Dummy(*s_));
    return;
  }
  const bool spot = l.mType == aiLightSource_SPOT;
  auto& light = s_->Make<LightObj>(spot ? SPOT_LIGHT : OMNI_LIGHT);
  // The host keeps a colour and a multiplier: a colour brighter than 1 is
  // scaled down into the multiplier.
  float r = l.mColorDiffuse.r, g = l.mColorDiffuse.g, b = l.mColorDiffuse.b;
  float peak = std::max({r, g, b});
  if (peak > 1.0f && std::isfinite(peak)) {
    light.state.color = {r / peak, g / peak, b / peak};
    light.state.intens = peak;
  } else {
    light.state.color = {r, g, b};
    light.state.intens = 1.0f;
  }
  if (spot) {
    light.state.hotsize = static_cast<float>(l.mAngleInnerCone * 180.0 / kPi);
    light.state.fallsize = static_cast<float>(l.mAngleOuterCone * 180.0 / kPi);
  }
  bool found = false;
  double range = MetaNumber(an->mMetaData, "PBR_LightRange", &found);
  if (found && range > 0 && std::isfinite(range)) {
    light.state.useAtten = 1;
    light.state.attenStart = 0.0f;
    light.state.attenEnd = static_cast<float>(range);
  } else {
    light.state.useAtten = 0;
  }
  // Host lights shine down their local -z: place the source's position and
  // direction through the object offset, leaving the node's own frame alone.
  aiVector3D d = l.mDirection, up = l.mUp, p = l.mPosition;
  if (d.Length() > 0) d.Normalize();
  const bool plain = p == aiVector3D(0, 0, 0) && (!spot || d.Length() == 0 || (d - aiVector3D(0, 0, -1)).Length() < 1e-6f);
  if (!plain) {
    Point3 z = d.Length() > 0 ? Point3(-d.x, -d.y, -d.z) : Point3(0, 0, 1);
    Point3 y(up.x, up.y, up.z);
    y = y - z * DotProd(y, z);
    if (Length(y) < 1e-6f) y = std::fabs(z.z) < 0.9f ? CrossProd(z, Point3(0, 0, 1)) : CrossProd(z, Point3(1, 0, 0));
    y = y / Length(y);
    Point3 x = CrossProd(y, z);
    node.objectOffset = Matrix3(x, y, z, Point3(p.x, p.y, p.z));
  }
  node.SetObject(&light);
}

// ---- Materials --------------------------------------------------------------------

std::string Builder::EmbeddedName(const aiTexture& t, int index) {
  std::string own = Str(t.mFilename);
  if (!own.empty() && own[0] != '*') {
    CStr file;
    SplitPathFile(CStr(own), nullptr, &file);
    if (file.Length() > 0) return file.str();
  }
  std::string ext = t.mHeight == 0 ? std::string(t.achFormatHint, strnlen(t.achFormatHint, sizeof t.achFormatHint)) : "";
  if (ext.empty()) ext = t.mHeight == 0 ? "bin" : "tga";
  return fs::path(path_).stem().string() + "_texture" + std::to_string(index) + "." + ext;
}

void Builder::Extract(const aiTexture& t, const std::string& name) {
  if (opt_.extractTexturesDir.empty() || !extracted_.insert(name).second) return;
  fs::path dir(opt_.extractTexturesDir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::ofstream out(dir / name, std::ios::binary);
  if (t.mHeight == 0) {
    out.write(reinterpret_cast<const char*>(t.pcData), t.mWidth);
  } else {
    // Raw texels: an uncompressed 32-bit TGA, top row first.
    unsigned char head[18] = {0, 0, 2};
    head[12] = t.mWidth & 0xFF;
    head[13] = (t.mWidth >> 8) & 0xFF;
    head[14] = t.mHeight & 0xFF;
    head[15] = (t.mHeight >> 8) & 0xFF;
    head[16] = 32;
    head[17] = 0x28;
    out.write(reinterpret_cast<const char*>(head), sizeof head);
    for (size_t i = 0; i < size_t(t.mWidth) * t.mHeight; ++i) {
      const aiTexel& x = t.pcData[i];
      const unsigned char px[4] = {x.b, x.g, x.r, x.a};
      out.write(reinterpret_cast<const char*>(px), 4);
    }
  }
  if (!out) Fail(path_, "cannot write texture " + (dir / name).string());
}

Texmap* Builder::Bitmap(const aiMaterial& m, aiTextureType type, float* amount) {
  aiString file;
  if (m.GetTextureCount(type) == 0 || m.GetTexture(type, 0, &file) != AI_SUCCESS) return nullptr;
  std::string name = Str(file);
  auto [tex, index] = ai_.GetEmbeddedTextureAndIndex(file.C_Str());
  if (tex) {
    std::string own = EmbeddedName(*tex, index);
    if (name.empty() || name[0] == '*') name = own;
    CStr part;
    SplitPathFile(CStr(name), nullptr, &part);
    Extract(*tex, part.str());
  }
  float blend = 1.0f;
  if (m.Get(AI_MATKEY_TEXBLEND(type, 0), blend) == AI_SUCCESS && std::isfinite(blend)) *amount = blend;
  aiUVTransform uv;
  bool hasUV = m.Get(AI_MATKEY_UVTRANSFORM(type, 0), uv) == AI_SUCCESS;
  std::string key = name;
  if (hasUV)
    key += "|" + std::to_string(uv.mTranslation.x) + "," + std::to_string(uv.mTranslation.y) + "," +
           std::to_string(uv.mScaling.x) + "," + std::to_string(uv.mScaling.y) + "," + std::to_string(uv.mRotation);
  if (auto it = bitmaps_.find(key); it != bitmaps_.end()) return it->second;
  auto& bm = s_->Make<BitmapMap>();
  bm.fileName = name;
  if (hasUV)
    bm.uvTransform = import_detail::UVTransform(uv.mTranslation.x, uv.mTranslation.y, uv.mScaling.x, uv.mScaling.y,
                                                uv.mRotation);
  bitmaps_[key] = &bm;
  return &bm;
}

StdMaterial* Builder::Material(unsigned index) {
  if (auto it = materials_.find(index); it != materials_.end()) return it->second;
  const aiMaterial& m = *ai_.mMaterials[index];
  aiString name;
  m.Get(AI_MATKEY_NAME, name);
  auto& mat = s_->Make<StdMaterial>(Str(name));
  int twoSided = 0;
  if (m.Get(AI_MATKEY_TWOSIDED, twoSided) == AI_SUCCESS) mat.twoSided = twoSided ? 1 : 0;
  float opacity = 1.0f;
  if (m.Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS && std::isfinite(opacity))
    mat.opacity = std::clamp(opacity, 0.0f, 1.0f);
  int blend = aiBlendMode_Default;
  m.Get(AI_MATKEY_BLEND_FUNC, blend);
  mat.transparencyType = blend == aiBlendMode_Additive ? TRANSP_ADDITIVE : TRANSP_FILTER;
  auto slot = [&](int id, std::initializer_list<aiTextureType> types) {
    for (aiTextureType t : types) {
      float amount = 1.0f;
      if (Texmap* map = Bitmap(m, t, &amount)) {
        mat.slots[id] = {map, amount};
        return;
      }
    }
  };
  slot(ID_DI, {aiTextureType_DIFFUSE, aiTextureType_BASE_COLOR});
  slot(ID_SI, {aiTextureType_EMISSIVE, aiTextureType_EMISSION_COLOR});
  slot(ID_RL, {aiTextureType_REFLECTION});
  materials_[index] = &mat;
  return &mat;
}

Mtl* Builder::NodeMaterial(const std::vector<unsigned>& used) {
  if (used.empty()) return nullptr;
  if (used.size() == 1) return Material(used[0]);
  if (auto it = multis_.find(used); it != multis_.end()) return it->second;
  auto& multi = s_->Make<MultiMaterial>();
  for (unsigned i : used) multi.subs.push_back(Material(i));
  multis_[used] = &multi;
  return &multi;
}

// ---- Meshes -----------------------------------------------------------------------

void Builder::MakeMesh(const aiNode* an, Node& node) {
  const std::string nodeName = Str(an->mName);
  std::vector<const aiMesh*> meshes;
  for (unsigned i = 0; i < an->mNumMeshes; ++i) {
    const aiMesh* m = ai_.mMeshes[an->mMeshes[i]];
    bool tris = false;
    for (unsigned f = 0; f < m->mNumFaces && !tris; ++f) tris = m->mFaces[f].mNumIndices == 3;
    if (!tris) {
      Warn("node '" + nodeName + "': mesh '" + Str(m->mName) + "' has no triangles (points and lines are not exported)");
      continue;
    }
    meshes.push_back(m);
  }
  if (meshes.empty()) return;

  // Materials and bones in order of first use.
  std::vector<unsigned> usedMats;
  std::vector<std::string> boneNames;
  std::map<std::string, int> boneIndex;
  bool allNormals = true, anyUV = false;
  for (const aiMesh* m : meshes) {
    if (std::find(usedMats.begin(), usedMats.end(), m->mMaterialIndex) == usedMats.end())
      usedMats.push_back(m->mMaterialIndex);
    allNormals = allNormals && m->HasNormals();
    anyUV = anyUV || m->HasTextureCoords(0);
    for (unsigned b = 0; b < m->mNumBones; ++b) {
      std::string bn = Str(m->mBones[b]->mName);
      if (boneIndex.count(bn)) continue;
      if (!ByName(bn)) {
        Warn("node '" + nodeName + "': bone '" + bn + "' names no node; its weights are dropped");
        boneIndex[bn] = -1;
        continue;
      }
      boneIndex[bn] = static_cast<int>(boneNames.size());
      boneNames.push_back(bn);
    }
  }
  const bool skinned = !boneNames.empty();
  const size_t nb = boneNames.size();
  const Matrix3 meshWorld = node.WorldTM(0);
  const Matrix3 meshWorldInv = Inverse(meshWorld);

  auto& obj = s_->Make<MeshObject>();
  Mesh& mesh = obj.mesh;
  std::vector<std::vector<float>> rows;
  std::unordered_map<std::string, int> weld, tweld;
  std::vector<std::array<Point3, 3>> cornerNormals;
  int dropped = 0;

  for (const aiMesh* m : meshes) {
    // Per source vertex: its weights as the skin modifier will report them.
    std::vector<std::vector<float>> w(skinned ? m->mNumVertices : 0, std::vector<float>(nb, 0.0f));
    std::vector<Matrix3> offsets(nb);
    if (skinned) {
      for (unsigned b = 0; b < m->mNumBones; ++b) {
        const aiBone& bone = *m->mBones[b];
        int j = boneIndex[Str(bone.mName)];
        if (j < 0) continue;
        offsets[j] = ToHost(bone.mOffsetMatrix);
        for (unsigned k = 0; k < bone.mNumWeights; ++k) {
          unsigned v = bone.mWeights[k].mVertexId;
          if (v < m->mNumVertices) w[v][j] += bone.mWeights[k].mWeight;
        }
      }
      for (auto& row : w) row = import_detail::LimitWeights(std::move(row), opt_.maxInfluences, opt_.normalizeWeights);
    }
    std::vector<int> hostOf(m->mNumVertices);
    for (unsigned v = 0; v < m->mNumVertices; ++v) {
      const aiVector3D& p = m->mVertices[v];
      std::string key(reinterpret_cast<const char*>(&p), sizeof p);
      if (skinned) key.append(reinterpret_cast<const char*>(w[v].data()), nb * sizeof(float));
      auto [it, fresh] = weld.emplace(key, static_cast<int>(mesh.verts.size()));
      hostOf[v] = it->second;
      if (!fresh) continue;
      Point3 pos(p.x, p.y, p.z);
      if (skinned) {
        // The tick-0 pose: each bone carries the bind-pose vertex from the
        // mesh's space into its own, then to the world as it stands at tick 0.
        double sum = 0, acc[3] = {0, 0, 0};
        const double src[3] = {p.x, p.y, p.z};
        for (size_t j = 0; j < nb; ++j) {
          if (w[v][j] == 0.0f) continue;
          double inBone[3], world[3];
          Apply(offsets[j], src, inBone);
          Apply(ByName(boneNames[j])->WorldTM(0), inBone, world);
          for (int k = 0; k < 3; ++k) acc[k] += w[v][j] * world[k];
          sum += w[v][j];
        }
        if (sum != 0 && std::isfinite(sum)) {
          double world[3] = {acc[0] / sum, acc[1] / sum, acc[2] / sum}, local[3];
          Apply(meshWorldInv, world, local);
          pos = Point3(float(local[0]), float(local[1]), float(local[2]));
        }
        rows.push_back(w[v]);
      }
      mesh.verts.push_back(pos);
    }
    std::vector<int> tvOf;
    if (anyUV) {
      tvOf.resize(m->mNumVertices);
      for (unsigned v = 0; v < m->mNumVertices; ++v) {
        aiVector3D t = m->HasTextureCoords(0) ? m->mTextureCoords[0][v] : aiVector3D(0, 0, 0);
        std::string key(reinterpret_cast<const char*>(&t), sizeof t);
        auto [it, fresh] = tweld.emplace(key, static_cast<int>(mesh.tVerts.size()));
        if (fresh) mesh.tVerts.push_back(Point3(t.x, t.y, t.z));
        tvOf[v] = it->second;
      }
    }
    const uint16_t matId = static_cast<uint16_t>(
        std::find(usedMats.begin(), usedMats.end(), m->mMaterialIndex) - usedMats.begin());
    for (unsigned f = 0; f < m->mNumFaces; ++f) {
      const aiFace& af = m->mFaces[f];
      if (af.mNumIndices != 3) {
        ++dropped;
        continue;
      }
      Face face;
      TVFace tf;
      std::array<Point3, 3> n;
      for (int k = 0; k < 3; ++k) {
        unsigned v = af.mIndices[k];
        if (v >= m->mNumVertices) Fail(path_, "mesh '" + Str(m->mName) + "': vertex index out of range");
        face.v[k] = hostOf[v];
        if (anyUV) tf.t[k] = tvOf[v];
        if (allNormals) n[k] = Point3(m->mNormals[v].x, m->mNormals[v].y, m->mNormals[v].z);
      }
      face.setMatID(usedMats.size() > 1 ? matId : 0);
      mesh.faces.push_back(face);
      if (anyUV) mesh.tvFace.push_back(tf);
      if (allNormals) cornerNormals.push_back(n);
    }
  }
  if (dropped) Warn("node '" + nodeName + "': " + std::to_string(dropped) + " faces that are not triangles dropped");
  // Positions that are not finite numbers cannot be welded or exported: such
  // vertices move to the origin and the faces using them are dropped.
  std::vector<bool> bad(mesh.verts.size(), false);
  int badCount = 0;
  for (size_t i = 0; i < mesh.verts.size(); ++i) {
    const Point3& p = mesh.verts[i];
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) continue;
    bad[i] = true;
    mesh.verts[i] = Point3(0, 0, 0);
    ++badCount;
  }
  if (badCount) {
    size_t kept = 0;
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
      const Face& face = mesh.faces[f];
      if (bad[face.v[0]] || bad[face.v[1]] || bad[face.v[2]]) continue;
      mesh.faces[kept] = face;
      if (!mesh.tvFace.empty()) mesh.tvFace[kept] = mesh.tvFace[f];
      if (!cornerNormals.empty()) cornerNormals[kept] = cornerNormals[f];
      ++kept;
    }
    Warn("node '" + nodeName + "': " + std::to_string(badCount) + " vertices are not finite; " +
         std::to_string(mesh.faces.size() - kept) + " faces using them dropped");
    mesh.faces.resize(kept);
    if (!mesh.tvFace.empty()) mesh.tvFace.resize(kept);
    if (!cornerNormals.empty()) cornerNormals.resize(kept);
  }

  // Smoothing groups, over positions as the plug-in will weld them.
  std::vector<Point3> out(mesh.verts.size());
  const float scale = static_cast<float>(s_->masterScale);
  for (size_t i = 0; i < out.size(); ++i) out[i] = (meshWorld * mesh.verts[i]) * scale;
  int clusters = 0;
  std::vector<int> cluster = smoothing::ClusterPositions(out, 2e-5, &clusters);
  std::vector<smoothing::Tri> tris;
  tris.reserve(mesh.faces.size());
  for (const Face& f : mesh.faces) tris.push_back({cluster[f.v[0]], cluster[f.v[1]], cluster[f.v[2]]});
  smoothing::Result sm;
  if (allNormals) {
    sm = smoothing::FromNormals(tris, cornerNormals, clusters);
  } else {
    std::vector<Point3> at(clusters);
    for (size_t i = 0; i < out.size(); ++i) at[cluster[i]] = out[i];
    sm = smoothing::FromAngle(tris, at, opt_.smoothAngleDeg);
  }
  for (size_t f = 0; f < mesh.faces.size(); ++f) mesh.faces[f].smGroup = sm.words[f];
  if (sm.keptHard)
    Warn("node '" + nodeName + "': " + std::to_string(sm.keptHard) +
         " smooth joins could not be expressed in smoothing groups and stay hard");
  if (sm.flattened)
    Warn("node '" + nodeName + "': " + std::to_string(sm.flattened) +
         " smooth patches found no free smoothing group and are exported flat");

  node.SetObject(&obj);
  node.material = NodeMaterial(usedMats);
  if (skinned) {
    auto& skin = s_->Make<SkinModifier>();
    for (const std::string& bn : boneNames) skin.bones.push_back({ByName(bn), "", {0, 0, 0}});
    skin.weights = std::move(rows);
    node.AddModifier(&skin);
  }
}

// ---- Notes ------------------------------------------------------------------------

void Builder::Notes() {
  const std::string& file = opt_.notesFile;
  std::ifstream in(file, std::ios::binary);
  if (!in) Fail(file, "cannot open the notes file");
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(in);
  } catch (const std::exception& e) {
    Fail(file, e.what());
  }
  if (!doc.is_object()) Fail(file, "expected an object: node name -> [[ticks, text], ...]");
  for (auto& [name, keys] : doc.items()) {
    Node* node = ByName(name);
    if (!node) Fail(file, "no node named '" + name + "'");
    if (!keys.is_array()) Fail(file, "/" + name + ": expected an array of [ticks, text]");
    auto& track = node->AddNoteTrack();
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto& k = keys[i];
      const std::string where = "/" + name + "/" + std::to_string(i);
      if (!k.is_array() || k.size() != 2 || !k[0].is_number_integer() || !k[1].is_string())
        Fail(file, where + ": expected [ticks, text] with integer ticks");
      long long t = k[0].get<long long>();
      if (t < INT32_MIN || t > INT32_MAX) Fail(file, where + ": time out of range");
      track.keys.push_back({static_cast<TimeValue>(t), CStr(k[1].get<std::string>())});
    }
  }
}

void CheckOptions(const std::string& path, const ImportOptions& o) {
  if (o.up && *o.up != 'y' && *o.up != 'z') Fail(path, "--up must be y or z");
  if (o.scale && !(std::isfinite(*o.scale) && *o.scale > 0)) Fail(path, "--scale must be a positive number");
  if (!(o.smoothAngleDeg >= 0 && o.smoothAngleDeg <= 180)) Fail(path, "--smooth-angle must be within 0 and 180");
  if (o.maxInfluences < 0) Fail(path, "--max-influences must not be negative");
  if (o.fps <= 0 || o.fps > TIME_TICKSPERSEC) Fail(path, "--fps must be within 1 and 4800");
}

}  // namespace

std::unique_ptr<Scene> ImportScene(const std::string& path, const ImportOptions& options,
                                   std::vector<std::string>* warnings) {
  CheckOptions(path, options);
  try {
    Loaded l = Load(path);
    if (warnings)
      for (const std::string& e : l.assimpErrors) warnings->push_back("assimp: " + e);
    return Builder(*l.scene, path, options, warnings).Run();
  } catch (const ImportError&) {
    throw;
  } catch (const std::exception& e) {
    Fail(path, e.what());
  }
}

std::string DescribeFile(const std::string& path) {
  try {
    Loaded l = Load(path);
    const aiScene& s = *l.scene;
    std::ostringstream o;
    o << path << "\n";
    bool found = false;
    double up = MetaNumber(s.mMetaData, "UpAxis", &found);
    o << "up axis: " << (found ? (up == 0 ? "x" : up == 2 ? "z" : "y") : "y") << (found ? " (file metadata)" : " (Assimp's)");
    double unit = MetaNumber(s.mMetaData, "UnitScaleFactor", &found);
    if (found) o << ", unit: " << unit << " cm";
    o << "\n";
    std::set<std::string> lights, cameras;
    for (unsigned i = 0; i < s.mNumLights; ++i) lights.insert(Str(s.mLights[i]->mName));
    for (unsigned i = 0; i < s.mNumCameras; ++i) cameras.insert(Str(s.mCameras[i]->mName));
    int count = 0;
    std::ostringstream tree;
    auto walk = [&](auto&& self, const aiNode* n, int depth) -> void {
      ++count;
      std::string name = Str(n->mName);
      tree << "  " << std::string(size_t(depth) * 2, ' ') << "'" << name << "'";
      if (n->mNumMeshes) tree << " mesh x" << n->mNumMeshes;
      else if (lights.count(name)) tree << " light";
      else if (cameras.count(name)) tree << " camera";
      tree << "\n";
      for (unsigned i = 0; i < n->mNumChildren; ++i) self(self, n->mChildren[i], depth + 1);
    };
    walk(walk, s.mRootNode, 0);
    o << "nodes: " << count << "\n" << tree.str();
    o << "meshes: " << s.mNumMeshes << "\n";
    for (unsigned i = 0; i < s.mNumMeshes; ++i) {
      const aiMesh& m = *s.mMeshes[i];
      o << "  " << i << " '" << Str(m.mName) << "': " << m.mNumVertices << " vertices, " << m.mNumFaces
        << " faces, material " << m.mMaterialIndex << (m.HasNormals() ? ", normals" : "")
        << (m.HasTextureCoords(0) ? ", uv" : "");
      if (m.mNumBones) o << ", " << m.mNumBones << " bones";
      o << "\n";
    }
    o << "materials: " << s.mNumMaterials << "\n";
    for (unsigned i = 0; i < s.mNumMaterials; ++i) {
      aiString name, file;
      s.mMaterials[i]->Get(AI_MATKEY_NAME, name);
      o << "  " << i << " '" << Str(name) << "'";
      if (s.mMaterials[i]->GetTexture(aiTextureType_DIFFUSE, 0, &file) == AI_SUCCESS) o << " diffuse '" << Str(file) << "'";
      o << "\n";
    }
    o << "lights: " << s.mNumLights << "\n";
    static const char* kinds[] = {"undefined", "directional", "point", "spot", "ambient", "area"};
    for (unsigned i = 0; i < s.mNumLights; ++i) {
      const aiLight& l = *s.mLights[i];
      unsigned t = l.mType <= 5 ? static_cast<unsigned>(l.mType) : 0;
      o << "  '" << Str(l.mName) << "': " << kinds[t] << ", colour " << l.mColorDiffuse.r << " " << l.mColorDiffuse.g
        << " " << l.mColorDiffuse.b << "\n";
    }
    o << "cameras: " << s.mNumCameras << "\n";
    o << "animations: " << s.mNumAnimations << "\n";
    for (unsigned i = 0; i < s.mNumAnimations; ++i) {
      const aiAnimation& a = *s.mAnimations[i];
      double tps = a.mTicksPerSecond > 0 ? a.mTicksPerSecond : 25.0;
      o << "  " << i << " '" << Str(a.mName) << "': " << a.mDuration / tps << " s, " << a.mNumChannels
        << " channels\n";
    }
    o << "embedded textures: " << s.mNumTextures << "\n";
    return o.str();
  } catch (const ImportError&) {
    throw;
  } catch (const std::exception& e) {
    Fail(path, e.what());
  }
}

}  // namespace scene
