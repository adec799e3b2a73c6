#include "import/summary.h"

#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#include <set>

#include "import/assimp_load.h"
#include "import/import.h"
#include "import/reach.h"

namespace scene {

ModelSummary Summarize(const std::string& path, const std::vector<std::string>& allowPaths) {
  try {
    assimp::Loaded l = assimp::Load(path, ReadableFolders(path, allowPaths));
    const aiScene& s = *l.scene;
    ModelSummary m;
    m.path = path;
    bool found = false;
    if (double up = assimp::MetaNumber(s.mMetaData, "UpAxis", &found); found) m.upAxis = up;
    if (double unit = assimp::MetaNumber(s.mMetaData, "UnitScaleFactor", &found); found) m.unitCm = unit;
    std::set<std::string> lights, cameras;
    for (unsigned i = 0; i < s.mNumLights; ++i) lights.insert(assimp::Str(s.mLights[i]->mName));
    for (unsigned i = 0; i < s.mNumCameras; ++i) cameras.insert(assimp::Str(s.mCameras[i]->mName));
    auto walk = [&](auto&& self, const aiNode* n, int depth) -> void {
      ModelSummary::NodeLine line;
      line.name = assimp::Str(n->mName);
      line.depth = depth;
      line.meshes = n->mNumMeshes;
      line.light = lights.count(line.name) > 0;
      line.camera = cameras.count(line.name) > 0;
      m.nodes.push_back(line);
      for (unsigned i = 0; i < n->mNumChildren; ++i) self(self, n->mChildren[i], depth + 1);
    };
    walk(walk, s.mRootNode, 0);
    for (unsigned i = 0; i < s.mNumMeshes; ++i) {
      const aiMesh& a = *s.mMeshes[i];
      m.meshes.push_back({assimp::Str(a.mName), a.mNumVertices, a.mNumFaces, a.mMaterialIndex, a.mNumBones,
                          a.HasNormals(), a.HasTextureCoords(0)});
    }
    for (unsigned i = 0; i < s.mNumMaterials; ++i) {
      aiString name, file;
      s.mMaterials[i]->Get(AI_MATKEY_NAME, name);
      ModelSummary::MaterialLine line{assimp::Str(name), std::nullopt};
      if (s.mMaterials[i]->GetTexture(aiTextureType_DIFFUSE, 0, &file) == AI_SUCCESS)
        line.diffuse = assimp::Str(file);
      m.materials.push_back(line);
    }
    for (unsigned i = 0; i < s.mNumLights; ++i) {
      const aiLight& a = *s.mLights[i];
      const unsigned t = a.mType <= 5 ? static_cast<unsigned>(a.mType) : 0;
      m.lights.push_back({assimp::Str(a.mName), t, a.mColorDiffuse.r, a.mColorDiffuse.g, a.mColorDiffuse.b});
    }
    m.cameras = s.mNumCameras;
    for (unsigned i = 0; i < s.mNumAnimations; ++i) {
      const aiAnimation& a = *s.mAnimations[i];
      const double tps = a.mTicksPerSecond > 0 ? a.mTicksPerSecond : 25.0;
      m.animations.push_back({assimp::Str(a.mName), a.mDuration / tps, a.mNumChannels});
    }
    m.textures = s.mNumTextures;
    m.repairs = l.repairs;
    return m;
  } catch (const ImportError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    assimp::Fail(path, e.what());
  }
}

}  // namespace scene
