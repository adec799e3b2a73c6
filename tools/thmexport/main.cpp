// thmexport: the standalone host. Loads scene documents and runs the scene
// exporter plug-in found for the output's extension, as the host package would.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "scene/document.h"
#include "scene/import.h"
#include "tools/thmexport/export.h"
#include "tools/thmexport/plugins.h"

#ifndef THMEXPORT_VERSION
#define THMEXPORT_VERSION "0"
#endif

namespace {

constexpr int kOk = 0, kExportFailed = 1, kBadInput = 2;

std::string FileName(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && Lower(s.substr(s.size() - suffix.size())) == suffix;
}

// "demo.scene.json" -> "demo.thm": the output named after its input.
std::string OutputName(const std::string& input) {
  std::string base = FileName(input);
  if (EndsWithNoCase(base, ".scene.json"))
    base.resize(base.size() - 11);
  else if (size_t dot = base.rfind('.'); dot != std::string::npos && dot > 0)
    base.resize(dot);
  return base + ".thm";
}

// The folder a path names its file in ("." for a bare name).
std::string ParentFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Extension(const std::string& path) {
  std::string base = FileName(path);
  size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? "" : base.substr(dot + 1);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ListFormats(const thmexport::PluginSet& plugins) {
  for (auto& e : plugins.Exporters()) {
    std::string exts;
    for (auto& x : e.extensions) exts += (exts.empty() ? "." : " .") + x;
    std::printf("%-8s %s  (%s, %s, version %u)\n", exts.c_str(), e.longDesc.c_str(), e.library.c_str(),
                e.className.c_str(), e.version);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit then shows as a write error instead of killing the run.
  std::signal(SIGXFSZ, SIG_IGN);

  CLI::App app{
      "Exports scene documents (.scene.json) and models in other 3D formats (glTF, FBX, OBJ, ...) through a\n"
      "scene exporter plug-in, the way the host package does.\n"
      "The exporter is chosen by the output file's extension; see --list-formats.\n"
      "Each output is written to a temporary file beside it and replaces it only when the export succeeds.",
      "thmexport"};
  std::vector<std::string> inputs;
  std::string output;
  std::string pluginDir = thmexport::ExecutableFolder();
  bool listFormats = false, quiet = false, listContents = false, extractTextures = false;
  scene::ImportOptions import;
  std::string up;
  double scale = 0;
  app.add_option("scenes", inputs,
                 "Scene documents (*.json, see docs/scene-format.md) or models in another 3D format "
                 "(glTF, FBX, OBJ, COLLADA, 3DS, ...; see docs/import.md)")
      ->type_name("SCENE");
  app.add_option("-o,--output", output,
                 "Output file (OUT.thm), or with several scenes a folder, in which each output is named "
                 "after its scene (demo.scene.json -> demo.thm). A path ending in / is a folder too; a missing "
                 "folder is created.")
      ->type_name("PATH");
  app.add_option("--plugins", pluginDir, "Folder searched for plug-in libraries (*.dle); default: the folder of "
                                         "this program")
      ->type_name("DIR");
  app.add_flag("--list-formats", listFormats, "List the scene exporters found (extension, description, library)");
  app.add_flag("-q,--quiet", quiet, "Hide warnings (of the plug-in and of plug-in loading) and progress; errors are always shown");
  auto* imp = "Import of other 3D formats";
  app.add_option("--up", up, "Up axis of imported models: y (turned to the host's z-up) or z; default: the file's "
                             "metadata, else y")
      ->check(CLI::IsMember({"y", "z"}))
      ->group(imp);
  app.add_option("--scale", scale, "Master scale of imported scenes (system units per unit); default 1")
      ->check(CLI::PositiveNumber)
      ->group(imp);
  app.add_option("--smooth-angle", import.smoothAngleDeg,
                 "Without source normals, faces meeting at most at this angle (degrees) smooth together")
      ->check(CLI::Range(0.0, 180.0))
      ->capture_default_str()
      ->group(imp);
  app.add_option("--max-influences", import.maxInfluences,
                 "The skin modifier reports at most N bone weights per vertex (0: all)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(imp);
  app.add_flag("--normalize-weights", import.normalizeWeights,
               "The skin modifier reports each vertex's weights scaled to sum 1")
      ->group(imp);
  app.add_option("--fps", import.fps, "Frames per second: ticks per frame are 4800 / fps")
      ->check(CLI::Range(1, 4800))
      ->capture_default_str()
      ->group(imp);
  app.add_option("--animation", import.animation, "The animation (name or index) that sets keys and range; "
                                                  "default: the first")
      ->type_name("NAME|INDEX")
      ->group(imp);
  app.add_option("--notes", import.notesFile, "JSON file of note keys to attach: {\"node\": [[ticks, \"text\"], ...]}")
      ->type_name("FILE")
      ->group(imp);
  app.add_flag("--extract-textures", extractTextures,
               "Write embedded textures next to the output, named by their own file name")
      ->group(imp);
  app.add_flag("--list", listContents, "Print what each input holds (nodes, meshes, materials, lights, "
                                       "animations) and export nothing")
      ->group(imp);
  app.set_version_flag("--version", std::string("thmexport ") + THMEXPORT_VERSION + " (host SDK version 0x09C40500)",
                       "Show the version and exit");
  app.footer(
      "Exit status: 0 when every export succeeded; 1 when an export failed (the exporter returned 0, reported an\n"
      "\"Assert Failed!\" error, or its output could not be written); 2 for bad scene documents or usage.\n"
      "Messages of the plug-in go to standard error: errors always, warnings unless --quiet. On a terminal, long\n"
      "exports show their progress (nodes done of the scene's nodes, and the current node).");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kBadInput;
  }

  if (!up.empty()) import.up = up[0];
  if (scale > 0) import.scale = scale;
  if (listContents) {
    int status = kOk;
    for (auto& in : inputs) {
      try {
        if (EndsWithNoCase(in, ".json")) {
          auto doc = scene::LoadDocument(in);
          std::printf("%s: scene document, %d nodes\n", in.c_str(), doc->NodeCount());
          for (scene::Node* n : doc->WalkOrder()) std::printf("  node \"%s\"\n", n->name ? n->name->c_str() : "");
        } else {
          std::printf("%s", scene::DescribeFile(in).c_str());
        }
      } catch (const scene::DocumentError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = kBadInput;
      } catch (const scene::ImportError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = kBadInput;
      }
    }
    return status;
  }

  std::vector<std::string> loadWarnings;
  thmexport::PluginSet plugins;
  if (!plugins.LoadFolder(pluginDir, loadWarnings)) {
    std::fprintf(stderr, "thmexport: cannot read the plug-in folder %s\n", pluginDir.c_str());
    return kBadInput;
  }
  if (!quiet)
    for (auto& w : loadWarnings) std::fprintf(stderr, "thmexport: warning: %s/%s\n", pluginDir.c_str(), w.c_str());

  if (listFormats) {
    ListFormats(plugins);
    if (plugins.Exporters().empty()) std::fprintf(stderr, "thmexport: no scene exporters in %s\n", pluginDir.c_str());
    return kOk;
  }
  auto usage = [](const std::string& msg) {
    std::fprintf(stderr, "thmexport: %s (see --help)\n", msg.c_str());
    return kBadInput;
  };
  if (inputs.empty()) return usage("no scenes given");
  if (output.empty()) return usage("no output given: use -o OUT.thm, or -o DIR with several scenes");

  // Where each input goes.
  bool toFolder = inputs.size() > 1 || IsFolder(output) || output.back() == '/';
  std::vector<std::string> outputs;
  if (toFolder) {
    while (output.size() > 1 && output.back() == '/') output.pop_back();
    if (!IsFolder(output) && mkdir(output.c_str(), 0777) != 0)
      return usage("the output folder " + output + " does not exist and cannot be created");
    std::map<std::string, std::string> seen;
    for (auto& in : inputs) {
      std::string out = output + "/" + OutputName(in);
      if (auto [it, fresh] = seen.emplace(out, in); !fresh)
        return usage(in + " and " + it->second + " would both be written to " + out);
      outputs.push_back(out);
    }
  } else {
    outputs.push_back(output);
  }
  const std::string ext = Extension(outputs.front());
  if (ext.empty()) return usage(output + " has no file extension, which chooses the exporter");
  const thmexport::ExporterClass* exporter = plugins.ForExtension(ext);
  if (!exporter)
    return usage("no exporter for ." + ext + " files in " + pluginDir + " (see --list-formats)");

  const bool terminal = isatty(STDERR_FILENO) == 1;
  int status = kOk;
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::unique_ptr<scene::Scene> scene;
    try {
      if (EndsWithNoCase(inputs[i], ".json")) {
        scene = scene::LoadDocument(inputs[i]);
      } else {
        scene::ImportOptions o = import;
        if (extractTextures) o.extractTexturesDir = ParentFolder(outputs[i]);
        std::vector<std::string> warnings;
        scene = scene::ImportScene(inputs[i], o, &warnings);
        if (!quiet)
          for (auto& w : warnings) std::fprintf(stderr, "%s: warning: %s\n", inputs[i].c_str(), w.c_str());
      }
    } catch (const scene::DocumentError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kBadInput;
      continue;
    } catch (const scene::ImportError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kBadInput;
      continue;
    }
    thmexport::ExportOptions options;
    options.quiet = quiet;
    options.progress = terminal && !quiet;
    options.label = inputs[i];
    thmexport::ExportOutcome r = thmexport::ExportScene(*exporter, *scene, outputs[i], options);
    if (!r.ok) {
      std::fprintf(stderr, "%s: export to %s failed: %s; %s\n", inputs[i].c_str(), outputs[i].c_str(),
                   r.problem.c_str(), "the output was left as it was");
      if (status == kOk) status = kExportFailed;
    }
  }
  return status;
}
