// What a model file holds, as Assimp reads it: the data behind thmexport's
// --list report (tools/thmexport/list.cpp words it).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace scene {

struct ModelSummary {
  std::string path;
  std::optional<double> upAxis;  // the file's metadata: 0 x, 1 y, 2 z
  std::optional<double> unitCm;  // the file's unit in centimetres
  struct NodeLine {
    std::string name;
    int depth = 0;
    unsigned meshes = 0;
    bool light = false, camera = false;
  };
  std::vector<NodeLine> nodes;  // walk order
  struct MeshLine {
    std::string name;
    unsigned vertices = 0, faces = 0, material = 0, bones = 0;
    bool normals = false, uv = false;
  };
  std::vector<MeshLine> meshes;
  struct MaterialLine {
    std::string name;
    std::optional<std::string> diffuse;
  };
  std::vector<MaterialLine> materials;
  struct LightLine {
    std::string name;
    unsigned type = 0;  // 0 undefined, 1 directional, 2 point, 3 spot, 4 ambient, 5 area
    float r = 0, g = 0, b = 0;
  };
  std::vector<LightLine> lights;
  unsigned cameras = 0;
  struct AnimationLine {
    std::string name;
    double seconds = 0;
    unsigned channels = 0;
  };
  std::vector<AnimationLine> animations;
  unsigned textures = 0;             // embedded
  std::vector<std::string> repairs;  // made before Assimp's checks
};

// Reads `path` and sums up what it holds. Throws ImportError.
ModelSummary Summarize(const std::string& path, const std::vector<std::string>& allowPaths = {});

}  // namespace scene
