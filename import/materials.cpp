// Materials, texture maps and embedded textures of an imported model.
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "import/assimp_load.h"
#include "import/builder.h"

namespace scene {

namespace fs = std::filesystem;

std::string Builder::EmbeddedName(const aiTexture& t, int index) {
  std::string own = assimp::Str(t.mFilename);
  if (!own.empty() && own[0] != '*') {
    CStr file;
    SplitPathFile(CStr(own), nullptr, &file);
    if (file.Length() > 0) return file.str();
  }
  std::string ext =
      t.mHeight == 0 ? std::string(t.achFormatHint, strnlen(t.achFormatHint, sizeof t.achFormatHint)) : "";
  if (ext.empty()) ext = t.mHeight == 0 ? "bin" : "tga";
  return fs::path(path_).stem().string() + "_texture" + std::to_string(index) + "." + ext;
}

void Builder::Extract(const aiTexture& t, const std::string& name) {
  if (opt_.extractTexturesDir.empty() || !extracted_.insert(name).second) return;
  ImportedTexture out{name, {}};
  if (t.mHeight == 0) {
    out.bytes.assign(reinterpret_cast<const char*>(t.pcData), t.mWidth);
  } else {
    // Raw texels: an uncompressed 32-bit TGA, top row first.
    unsigned char head[18] = {0, 0, 2};
    head[12] = t.mWidth & 0xFF;
    head[13] = (t.mWidth >> 8) & 0xFF;
    head[14] = t.mHeight & 0xFF;
    head[15] = (t.mHeight >> 8) & 0xFF;
    head[16] = 32;
    head[17] = 0x28;
    out.bytes.assign(reinterpret_cast<const char*>(head), sizeof head);
    out.bytes.reserve(sizeof head + size_t(t.mWidth) * t.mHeight * 4);
    for (size_t i = 0; i < size_t(t.mWidth) * t.mHeight; ++i) {
      const aiTexel& x = t.pcData[i];
      const char px[4] = {char(x.b), char(x.g), char(x.r), char(x.a)};
      out.bytes.append(px, 4);
    }
  }
  textures_->push_back(std::move(out));
}

void WriteTextures(const std::string& input, const std::string& dir,
                   const std::vector<ImportedTexture>& textures) {
  if (textures.empty()) return;
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (const ImportedTexture& t : textures) {
    // A name is a file name of the model's own: it stays inside the folder.
    const fs::path file = fs::path(dir) / fs::path(t.name).filename();
    std::ofstream out(file, std::ios::binary);
    out.write(t.bytes.data(), static_cast<std::streamsize>(t.bytes.size()));
    if (!out) assimp::Fail(input, "cannot write texture " + file.string());
  }
}

Texmap* Builder::Bitmap(const aiMaterial& m, aiTextureType type, float* amount) {
  aiString file;
  if (m.GetTextureCount(type) == 0 || m.GetTexture(type, 0, &file) != AI_SUCCESS) return nullptr;
  std::string name = assimp::Str(file);
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
    for (float x : {uv.mTranslation.x, uv.mTranslation.y, uv.mScaling.x, uv.mScaling.y, uv.mRotation})
      key.append(key.size() == name.size() ? "|" : ",").append(std::to_string(x));
  if (auto it = bitmaps_.find(key); it != bitmaps_.end()) return it->second;
  if (FileNameReadsAsNoName(name))
    assimp::Fail(path_, "texture '" + assimp::OneLine(name) + "': its file name " + kReadsAsNoName);
  auto& bm = s_->Make<BitmapMap>();
  bm.fileName = name;
  if (hasUV && IsGltf()) {
    // Assimp's glTF importer turns the extension into its own meaning, which
    // is not the extension's where a rotation or a scale is given.
    const auto g = GltfTransformOfAssimp(uv.mTranslation.x, uv.mTranslation.y, uv.mScaling.x, uv.mScaling.y,
                                         uv.mRotation);
    bm.uvTransform = GltfTextureTransform(g[0], g[1], g[2], g[3], g[4]);
  } else if (hasUV) {
    bm.uvTransform =
        UVTransform(uv.mTranslation.x, uv.mTranslation.y, uv.mScaling.x, uv.mScaling.y, uv.mRotation);
  }
  bitmaps_[key] = &bm;
  return &bm;
}

StdMaterial* Builder::Material(unsigned index) {
  if (auto it = materials_.find(index); it != materials_.end()) return it->second;
  const aiMaterial& m = *ai_.mMaterials[index];
  aiString name;
  m.Get(AI_MATKEY_NAME, name);
  auto& mat = s_->Make<StdMaterial>(assimp::Str(name));
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

}  // namespace scene
