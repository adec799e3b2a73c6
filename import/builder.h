// The importer's builder: maps one loaded Assimp scene into a host scene. Its
// stages live in files of their own: nodes, animation and lights
// (import.cpp), materials and textures (import_materials.cpp), meshes
// (import_mesh.cpp) and note keys (import_notes.cpp).
#pragma once

#include <assimp/material.h>

#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "import/assimp_load.h"
#include "import/import.h"
#include "import/weld_hint.h"
#include "scene/scene.h"

struct aiScene;
struct aiNode;
struct aiAnimation;
struct aiLight;
struct aiTexture;

namespace scene {

class Builder {
 public:
  // `hints`, where given, speed up the welds of the meshes they are for (weld_hint.h).
  Builder(const aiScene& ai, std::string path, const ImportOptions& opt, std::vector<std::string>* warnings,
          std::vector<ImportedTexture>* textures, WeldHints* hints = nullptr)
      : ai_(ai), path_(std::move(path)), opt_(opt), warnings_(warnings), textures_(textures), hints_(hints) {}

  std::unique_ptr<Scene> Run();

 private:
  void Warn(const std::string& w) {
    if (warnings_) warnings_->push_back(assimp::OneLine(w));
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
  // The source is glTF (by its name), whose texture transforms need their own mapping.
  bool IsGltf() const {
    const size_t dot = path_.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path_.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "gltf" || ext == "glb";
  }
  Node* ByName(const std::string& name) {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
  }

  const aiScene& ai_;
  std::string path_;
  const ImportOptions& opt_;
  std::vector<std::string>* warnings_;
  std::vector<ImportedTexture>* textures_;
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
  std::vector<int> meshUses_;  // per Assimp mesh: the nodes yet to read it
  WeldHints* hints_;
};

}  // namespace scene
