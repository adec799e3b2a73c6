// Imports common 3D formats (through Assimp) into the in-memory host scene, so
// that the plug-in exports them as the host package would. docs/import.md
// lists every mapping rule.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/scene.h"

namespace scene {

struct ImportOptions {
  // The up axis of the scene as Assimp hands it over: 'y' or 'z'. nullopt: the
  // file's metadata where it has one, else 'y' (Assimp's own convention).
  std::optional<char> up;
  // The host's master scale; nullopt keeps 1.0.
  std::optional<double> scale;
  // Without source normals: faces whose normals meet at most at this angle smooth together.
  double smoothAngleDeg = 45;
  // Largest number of bones per vertex the skin modifier reports; 0 = no limit.
  int maxInfluences = 0;
  // The skin modifier reports each vertex's weights scaled to sum 1.
  bool normalizeWeights = false;
  // Frames per second: the scene's ticks per frame are 4800 / fps.
  int fps = 30;
  // Name or index of the animation that sets keys and range; empty = the first.
  std::string animation;
  // Note keys to attach by node name, read by the caller from `notesFile`
  // (which messages and the files read name). When reading it failed,
  // `notesError` is raised where the keys would be attached, so that the
  // model's own faults are named first.
  std::string notesFile;
  std::vector<NodeNotes> notes;
  std::string notesError;
  // Folder for embedded textures; empty = they are not written.
  std::string extractTexturesDir;
  // Folders beyond the input's own that the model's references may lie in
  // (buffers, material libraries, companions); nothing else is read.
  std::vector<std::string> allowPaths;
  // Threads the import's longer stages may split over; the scene is the same for any number.
  int threads = 1;
};

// An embedded texture, as the file it is written to.
struct ImportedTexture {
  std::string name;   // file name
  std::string bytes;  // the file's content
};

// What an import gives: the scene, its warnings, the embedded textures to
// write (when options.extractTexturesDir is set) and every file it read.
struct Imported {
  std::unique_ptr<Scene> scene;
  std::vector<std::string> warnings;
  std::vector<ImportedTexture> textures;
  std::vector<std::string> files;
};

// A file that cannot be imported; the message is one line, "file: what".
class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether a file is a model the importer reads, by its name: a format Assimp
// reads, and not a companion that only comes with another file (.md5anim,
// .md5camera, .vta, an .xml that is not an Ogre .mesh.xml).
bool IsModelFile(const std::string& path);

// Loads `path` into a new scene, writing nothing. Lossy mappings are
// reported, one line each, in the warnings. Throws ImportError.
Imported ImportModel(const std::string& path, const ImportOptions& options);

// ImportModel of bytes in memory, read as a file with extension `hint`. For fuzzing.
Imported ImportModelFromMemory(const void* data, size_t size, const std::string& hint,
                               const ImportOptions& options);

// Writes the textures into `dir` (made when missing). Throws ImportError naming `input`.
void WriteTextures(const std::string& input, const std::string& dir,
                   const std::vector<ImportedTexture>& textures);

// ImportModel, then the textures written to options.extractTexturesDir.
std::unique_ptr<Scene> ImportScene(const std::string& path, const ImportOptions& options,
                                   std::vector<std::string>* warnings);

}  // namespace scene
