// Our reader of glTF 2.0 (.glb and .gltf), in Assimp's place for those
// extensions. Assimp's glTF loader copies every accessor into its scene;
// ours reads the meshes' triangles, positions, normals and texture
// coordinates itself, from the binary chunk or a text file's one buffer
// file, and gives Assimp a skeleton of the file: the same JSON with each
// primitive pointing at a stand-in triangle, and the binary chunk only where
// something else (images, skins, animations) needs it. Names, nodes,
// materials, textures, lights, cameras, skins, animations and Assimp's log
// therefore stay Assimp's own.
//
// A file outside the subset we read exactly as Assimp does (any primitive
// other than indexed or plain triangles of float positions, normals and
// texture coordinates in the first buffer; morph targets, skinning
// attributes, colours, tangents, sparse or out-of-range data, Draco, data
// URIs) is read by Assimp's loader instead, and so is any skeleton Assimp
// refuses, so the result never differs from Assimp's. docs/import.md lists
// the subset.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Assimp {
class Importer;
}

namespace scene::gltf {

// Puts our reader in place of Assimp's glTF 2.0 loader for ".glb" and ".gltf"
// files in `importer`. `strict`: a file outside the subset fails, naming why, instead
// of going to Assimp.
void Install(Assimp::Importer& importer, bool strict = false);

// Where an accessor's elements lie in the first buffer (a binary file's
// binary chunk, a text file's buffer file): `count` elements of `size`
// bytes (for indices, one component), `stride` bytes apart from `offset`.
struct View {
  uint64_t offset = 0;
  uint32_t count = 0, stride = 0, size = 0;
};

// One primitive of the file, read by us.
struct Primitive {
  View position;
  bool hasNormal = false, hasIndices = false;
  View normal, indices;
  std::vector<View> uvs;  // TEXCOORD_0, _1, ...
};

// What we read of a glTF file, and the skeleton that Assimp reads for the
// rest. Exposed for the tests and the fuzz target.
struct Geometry {
  bool binary = true;
  std::vector<Primitive> primitives;  // in the file's order of meshes, then primitives
  std::string head;                   // the skeleton (of a binary file, up to its binary chunk's bytes)
  uint64_t binOffset = 0, binLength = 0;
  bool keepsBinary = false;  // the skeleton ends with the file's binary chunk
  std::string why;           // empty when the file is in the subset; else what is not
};

// The bytes of a text file's buffer: its URI as written and the length it
// states; nothing where Assimp would not read them.
using BufferLoader = std::function<std::optional<std::string_view>(std::string_view uri, uint32_t length)>;

// Reads a glTF file's bytes, binary or text as `binary` says. `why` names the
// first thing outside the subset, with its place in the JSON.
Geometry Read(std::string_view file, bool binary = true, const BufferLoader& load = {});

}  // namespace scene::gltf
