#include "import/import.h"

#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cmath>
#include <cstring>

#include "import/assimp_load.h"
#include "import/builder.h"
#include "import/reach.h"

namespace scene {

namespace {

constexpr double kPi = 3.14159265358979323846;

void CheckOptions(const std::string& path, const ImportOptions& o) {
  if (o.up && *o.up != 'y' && *o.up != 'z') assimp::Fail(path, "--up must be y or z");
  if (o.scale && !(std::isfinite(*o.scale) && *o.scale > 0))
    assimp::Fail(path, "--scale must be a positive number");
  if (!(o.smoothAngleDeg >= 0 && o.smoothAngleDeg <= 180))
    assimp::Fail(path, "--smooth-angle must be within 0 and 180");
  if (o.maxInfluences < 0) assimp::Fail(path, "--max-influences must not be negative");
  if (o.fps <= 0 || o.fps > TIME_TICKSPERSEC) assimp::Fail(path, "--fps must be within 1 and 4800");
}

}  // namespace

void Builder::SetConversion() {
  char up = 'y';
  int sign = 1;
  bool found = false;
  double axis = assimp::MetaNumber(ai_.mMetaData, "UpAxis", &found);
  if (found) {
    up = axis == 0 ? 'x' : axis == 2 ? 'z' : 'y';
    bool hasSign = false;
    double sg = assimp::MetaNumber(ai_.mMetaData, "UpAxisSign", &hasSign);
    if (hasSign && sg < 0) sign = -1;
  }
  if (opt_.up) {
    up = *opt_.up;
    sign = 1;
  }
  conversion_ = AxisConversion(up, sign);
  // FBX states its unit in centimetres; the scene is built in metres.
  double unit = assimp::MetaNumber(ai_.mMetaData, "UnitScaleFactor", &found);
  if (found && std::isfinite(unit) && unit > 0 && unit != 100.0) {
    const float k = static_cast<float>(unit / 100.0);
    conversion_ = conversion_ * Matrix3({k, 0, 0}, {0, k, 0}, {0, 0, k}, {0, 0, 0});
  }
}

const aiAnimation* Builder::ChooseAnimation() {
  if (ai_.mNumAnimations == 0) {
    if (!opt_.animation.empty())
      assimp::Fail(path_, "no animation '" + opt_.animation + "': the file has none");
    return nullptr;
  }
  if (opt_.animation.empty()) return ai_.mAnimations[0];
  for (unsigned i = 0; i < ai_.mNumAnimations; ++i)
    if (assimp::Str(ai_.mAnimations[i]->mName) == opt_.animation) return ai_.mAnimations[i];
  const std::string& a = opt_.animation;
  if (std::all_of(a.begin(), a.end(), [](unsigned char c) { return std::isdigit(c); }) && a.size() < 9) {
    unsigned i = static_cast<unsigned>(std::stoul(a));
    if (i < ai_.mNumAnimations) return ai_.mAnimations[i];
  }
  std::string names;
  for (unsigned i = 0; i < ai_.mNumAnimations; ++i)
    names += (i ? ", " : "") + std::to_string(i) + " '" + assimp::Str(ai_.mAnimations[i]->mName) + "'";
  assimp::Fail(path_, "no animation '" + a + "' (the file has " + names + ")");
}

void Builder::MakeNodes(const aiNode* an, Node* parent, const Matrix3* top) {
  if (ReadsAsNoName(assimp::Str(an->mName)))
    assimp::Fail(path_, "node '" + assimp::OneLine(assimp::Str(an->mName)) + "': its name " + kReadsAsNoName);
  Node& n = s_->AddNode(assimp::Str(an->mName), parent);
  n.transform = assimp::ToHost(an->mTransformation);
  if (top) {
    n.transform = n.transform * *top;
    topLevel_.insert(&n);
  }
  nodes_[an] = &n;
  byName_.emplace(*n.name, &n);
  for (unsigned i = 0; i < an->mNumChildren; ++i) MakeNodes(an->mChildren[i], &n, nullptr);
}

namespace {

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

}  // namespace

void Builder::Animate(const aiAnimation& anim) {
  const double tps = anim.mTicksPerSecond > 0 ? anim.mTicksPerSecond : 25.0;
  auto ticks = [&](double t) {
    double v = std::round(t / tps * TIME_TICKSPERSEC);
    return std::isnan(v) ? 0 : static_cast<TimeValue>(std::clamp(v, -2.0e9, 2.0e9));
  };
  for (unsigned c = 0; c < anim.mNumChannels; ++c) {
    const aiNodeAnim& ch = *anim.mChannels[c];
    Node* node = ByName(assimp::Str(ch.mNodeName));
    if (!node) {
      Warn("animation channel for missing node '" + assimp::Str(ch.mNodeName) + "' ignored");
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
    // A time that is not a number has no place on the timeline (and no order to sort by).
    times.erase(std::remove_if(times.begin(), times.end(), [](double t) { return std::isnan(t); }),
                times.end());
    std::sort(times.begin(), times.end());
    auto lerp = [](const aiVector3D& a, const aiVector3D& b, double f) {
      return aiVector3D(ai_real(a.x + (b.x - a.x) * f), ai_real(a.y + (b.y - a.y) * f),
                        ai_real(a.z + (b.z - a.z) * f));
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
  for (unsigned i = 0; i < ai_.mNumLights; ++i) named.insert(assimp::Str(ai_.mLights[i]->mName));
  for (unsigned i = 0; i < ai_.mNumCameras; ++i) named.insert(assimp::Str(ai_.mCameras[i]->mName));
  for (unsigned m = 0; m < ai_.mNumMeshes; ++m)
    for (unsigned b = 0; b < ai_.mMeshes[m]->mNumBones; ++b)
      named.insert(assimp::Str(ai_.mMeshes[m]->mBones[b]->mName));
  if (anim)
    for (unsigned c = 0; c < anim->mNumChannels; ++c)
      named.insert(assimp::Str(anim->mChannels[c]->mNodeName));
  const bool fold = root->mNumMeshes == 0 && root->mNumChildren > 0 && !named.count(assimp::Str(root->mName));
  // No deeper than a document's node tree: the export walks the tree by recursion.
  std::vector<std::pair<const aiNode*, int>> todo{{root, fold ? 0 : 1}};
  while (!todo.empty()) {
    const auto [n, depth] = todo.back();
    todo.pop_back();
    if (depth > kMaxNodeDepth)
      assimp::Fail(path_, "nodes are nested more than " + std::to_string(kMaxNodeDepth) + " deep");
    for (unsigned i = 0; i < n->mNumChildren; ++i) todo.push_back({n->mChildren[i], depth + 1});
  }
  if (fold) {
    topExtra_ = assimp::ToHost(root->mTransformation) * conversion_;
    for (unsigned i = 0; i < root->mNumChildren; ++i) MakeNodes(root->mChildren[i], nullptr, &topExtra_);
  } else {
    topExtra_ = conversion_;
    MakeNodes(root, nullptr, &topExtra_);
  }
  if (anim) Animate(*anim);
  meshUses_.assign(ai_.mNumMeshes, 0);
  for (auto& [an, node] : nodes_)
    for (unsigned i = 0; i < an->mNumMeshes; ++i)
      if (an->mMeshes[i] < ai_.mNumMeshes) ++meshUses_[an->mMeshes[i]];
  for (auto& [an, node] : nodes_) MakeObject(an, *node);
  if (!opt_.notesFile.empty()) Notes();
  return std::move(s_);
}

void Builder::MakeObject(const aiNode* an, Node& node) {
  const std::string name = assimp::Str(an->mName);
  if (an->mNumMeshes > 0) {
    MakeMesh(an, node);
    if (node.BaseObject()) return;
  }
  for (unsigned i = 0; i < ai_.mNumLights; ++i)
    if (assimp::Str(ai_.mLights[i]->mName) == name && ByName(name) == &node) {
      MakeLight(*ai_.mLights[i], an, node);
      return;
    }
  for (unsigned i = 0; i < ai_.mNumCameras; ++i)
    if (assimp::Str(ai_.mCameras[i]->mName) == name && ByName(name) == &node) {
      node.SetObject(GenericObject::Camera(*s_));
      return;
    }
  node.SetObject(GenericObject::Dummy(*s_));
}

void Builder::MakeLight(const aiLight& l, const aiNode* an, Node& node) {
  const char* kind = nullptr;
  switch (l.mType) {
    case aiLightSource_POINT:
      break;
    case aiLightSource_SPOT:
      break;
    case aiLightSource_DIRECTIONAL:
      kind = "directional";
      break;
    case aiLightSource_AREA:
      kind = "area";
      break;
    case aiLightSource_AMBIENT:
      kind = "ambient";
      break;
    default:
      kind = "undefined";
      break;
  }
  if (kind) {
    Warn("light '" + assimp::Str(l.mName) + "': " + kind + " lights are not exportable; kept as a dummy");
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
  double range = assimp::MetaNumber(an->mMetaData, "PBR_LightRange", &found);
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
  const bool plain =
      p == aiVector3D(0, 0, 0) && (!spot || d.Length() == 0 || (d - aiVector3D(0, 0, -1)).Length() < 1e-6f);
  if (!plain) {
    Point3 z = d.Length() > 0 ? Point3(-d.x, -d.y, -d.z) : Point3(0, 0, 1);
    Point3 y(up.x, up.y, up.z);
    y = y - z * DotProd(y, z);
    if (Length(y) < 1e-6f)
      y = std::fabs(z.z) < 0.9f ? CrossProd(z, Point3(0, 0, 1)) : CrossProd(z, Point3(1, 0, 0));
    y = y / Length(y);
    Point3 x = CrossProd(y, z);
    node.objectOffset = Matrix3(x, y, z, Point3(p.x, p.y, p.z));
  }
  node.SetObject(&light);
}

namespace {

template <class LoadFn>
Imported ImportWith(const std::string& path, const ImportOptions& options, LoadFn load) {
  CheckOptions(path, options);
  Imported out;
  try {
    assimp::Loaded l = load();
    for (const std::string& e : l.errors) out.warnings.push_back("assimp: " + e);
    for (const std::string& r : l.repairs) out.warnings.push_back("repaired: " + r);
    out.files = l.files;
    out.scene = Builder(*l.scene, path, options, &out.warnings, &out.textures, l.hints.get()).Run();
    if (!options.notesFile.empty()) out.files.push_back(options.notesFile);
  } catch (const ImportError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    assimp::Fail(path, e.what());
  }
  return out;
}

}  // namespace

Imported ImportModel(const std::string& path, const ImportOptions& options) {
  return ImportWith(path, options, [&] {
    return assimp::Load(path, ReadableFolders(path, options.allowPaths), options.threads);
  });
}

Imported ImportModelFromMemory(const void* data, size_t size, const std::string& hint,
                               const ImportOptions& options) {
  const std::string label = "memory." + hint;
  return ImportWith(label, options, [&] { return assimp::LoadMemory(data, size, hint, label); });
}

std::unique_ptr<Scene> ImportScene(const std::string& path, const ImportOptions& options,
                                   std::vector<std::string>* warnings) {
  Imported in = ImportModel(path, options);
  if (warnings) warnings->insert(warnings->end(), in.warnings.begin(), in.warnings.end());
  WriteTextures(path, options.extractTexturesDir, in.textures);
  return std::move(in.scene);
}

bool IsModelFile(const std::string& path) {
  static const std::vector<std::string> extensions = [] {
    std::string list;
    Assimp::Importer().GetExtensionList(list);
    std::vector<std::string> out;
    for (size_t at = 0; at < list.size();) {
      size_t end = list.find(';', at);
      if (end == std::string::npos) end = list.size();
      std::string e = list.substr(at, end - at);  // "*.obj"
      if (e.rfind("*.", 0) == 0) e = e.substr(1);
      if (e != ".md5anim" && e != ".md5camera" && e != ".vta" && e != ".xml") out.push_back(e);
      at = end + 1;
    }
    return out;
  }();
  std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& e : extensions)
    if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
  return false;
}

}  // namespace scene
