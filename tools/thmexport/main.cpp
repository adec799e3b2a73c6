// thmexport: the standalone host. Loads scene documents and runs the scene
// exporter plug-in found for the output's extension, as the host package would.
#include <CLI/CLI.hpp>
#include <csignal>
#include <string>

#include "tools/thmexport/hugepages.h"
#include "tools/thmexport/plugins.h"
#include "tools/thmexport/run.h"

#ifndef THMEXPORT_VERSION
#define THMEXPORT_VERSION "0"
#endif

int main(int argc, char** argv) {
  thmexport::UseHugePages(argv);
  // A file-size limit then shows as a write error instead of killing the run.
  std::signal(SIGXFSZ, SIG_IGN);

  CLI::App app{
      "Exports scene documents (.scene.json) and models in other 3D formats (glTF, FBX, OBJ, ...) through a\n"
      "scene exporter plug-in, the way the host package does.\n"
      "The exporter is chosen by the output file's extension; see --list-formats.\n"
      "Each output is written to a temporary file beside it and replaces it only when the export succeeds.",
      "thmexport"};
  thmexport::Options o;
  o.pluginDir = thmexport::ExecutableFolder();
  scene::ImportOptions& import = o.import;
  std::string up;
  double scale = 0;
  app.add_option("scenes", o.inputs,
                 "Scene documents (*.json, see docs/scene-format.md) or models in another 3D format "
                 "(glTF, FBX, OBJ, COLLADA, 3DS, ...; see docs/import.md)")
      ->type_name("SCENE");
  app.add_option(
         "-o,--output", o.output,
         "Output file (OUT.thm), or with several scenes a folder, in which each output is named "
         "after its scene (demo.scene.json -> demo.thm). A path ending in / is a folder too; a missing "
         "folder is created.")
      ->type_name("PATH");
  app.add_option("--plugins", o.pluginDir,
                 "Folder searched for plug-in libraries (*.dle); default: the folder of "
                 "this program")
      ->type_name("DIR");
  app.add_flag("--list-formats", o.listFormats,
               "List the scene exporters found (extension, description, library)");
  app.add_flag("-q,--quiet", o.quiet,
               "Hide warnings (of the plug-in and of plug-in loading) and progress; errors are always shown");
  auto* imp = "Import of other 3D formats";
  app.add_option("--up", up,
                 "Up axis of imported models: y (turned to the host's z-up) or z; default: the file's "
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
  app.add_option("--animation", import.animation,
                 "The animation (name or index) that sets keys and range; "
                 "default: the first")
      ->type_name("NAME|INDEX")
      ->group(imp);
  app.add_option("--notes", import.notesFile,
                 "JSON file of note keys to attach: {\"node\": [[ticks, \"text\"], ...]}")
      ->type_name("FILE")
      ->group(imp);
  app.add_option("--allow-path", import.allowPaths,
                 "A folder beyond the model's own that its references (buffers, material libraries, "
                 "companions) may lie in; repeatable. Nothing else is read")
      ->allow_extra_args(false)
      ->type_name("DIR")
      ->group(imp);
  app.add_flag("--extract-textures", o.extractTextures,
               "Write embedded textures next to the output, named by their own file name")
      ->group(imp);
  app.add_option(
         "--max-memory", o.limits.memoryMB,
         "Memory an import may use, in MB (a model's parser runs in a process of its own); 0: no limit")
      ->capture_default_str()
      ->group(imp);
  app.add_option("--timeout", o.limits.seconds, "Time an import may take, in seconds; 0: no limit")
      ->capture_default_str()
      ->group(imp);
  app.add_option("--max-output", o.maxOutputMB,
                 "Largest output an export may write, in MB; a larger one fails and the old output stays")
      ->check(CLI::PositiveNumber)
      ->capture_default_str()
      ->group(imp);
  app.add_flag("--each-animation", o.eachAnimation,
               "One output per animation of the model: OUT-NAME.thm, NAME the animation's name with bytes "
               "outside [A-Za-z0-9._-] as _ (its index when empty or when two names clash)")
      ->group(imp);
  app.add_flag("--list", o.listContents,
               "Print what each input holds (nodes, meshes, materials, lights, "
               "animations) and export nothing")
      ->group(imp);
  auto* batch = "Batches (a folder, several inputs)";
  app.add_option("-j,--jobs", o.jobs,
                 "Exports at once, each in a worker process with its own plug-in; default: the number of "
                 "cores. With -j 1 one worker runs every export in order, as one run always has")
      ->check(CLI::NonNegativeNumber)
      ->group(batch);
  app.add_flag("--force", o.force, "Export even the inputs whose outputs are up to date")->group(batch);
  app.add_option(
         "--include", o.include,
         "In folders, only inputs whose path below the folder (or name) matches this glob; repeatable")
      ->type_name("GLOB")
      ->group(batch);
  app.add_option("--exclude", o.exclude,
                 "In folders, skip inputs whose path (or name) matches this glob; repeatable")
      ->type_name("GLOB")
      ->group(batch);
  app.add_flag(
         "--keep-extension", o.keepExtension,
         "Name each output after its input's whole file name (duck.dae -> duck.dae.thm), so that inputs "
         "that differ only in their extension do not clash")
      ->group(batch);
  app.add_option("--report", o.report,
                 "Write a JSON report: per input its status, messages, time, memory and the counts written")
      ->type_name("FILE.json")
      ->group(batch);
  app.add_option("--depfile", o.depfile,
                 "For one export: write a Make-style dependency file naming the output and every file read")
      ->type_name("FILE")
      ->group(batch);
  auto* cache = "A cache shared by machines";
  app.add_option("--cache", o.cache,
                 "Fetch outputs that another run (here or on another machine) already exported, and store "
                 "new ones: a folder (on a shared file system) or the http:// URL of a server that stores "
                 "files by PUT and GET (docs/thmexport.md)")
      ->type_name("DIR|URL")
      ->group(cache);
  app.add_flag("--cache-read-only", o.cacheReadOnly, "Fetch from the cache, never write to it")->group(cache);
  app.add_option("--cache-timeout", o.cacheTimeout,
                 "Seconds to reach the cache server, and a transfer may stall, before the run goes on "
                 "without the cache")
      ->check(CLI::PositiveNumber)
      ->capture_default_str()
      ->group(cache);
  app.add_option("--cache-max-size", o.cacheMaxSizeMB,
                 "A folder cache's size bound in MB: the least recently used files go first; 0: none")
      ->capture_default_str()
      ->group(cache);
  app.set_version_flag("--version",
                       std::string("thmexport ") + THMEXPORT_VERSION + " (host SDK version 0x09C40500)",
                       "Show the version and exit");
  app.footer(
      "Exit status: 0 when every export succeeded; 1 when an export failed (the exporter returned 0, "
      "reported an\n"
      "\"Assert Failed!\" error, or its output could not be written, or a worker crashed or ran out of "
      "time);\n"
      "2 for bad scene documents or models, or usage.\n"
      "A folder is searched for inputs recursively and mirrored under the output folder; a batch keeps a\n"
      "manifest (.thmexport-manifest.json) there and skips outputs that are up to date.\n"
      "Messages of the plug-in go to standard error: errors always, warnings unless --quiet. On a terminal, "
      "long\n"
      "exports show their progress (nodes done of the scene's nodes, and the current node).");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return thmexport::kBadInput;
  }

  if (!up.empty()) import.up = up[0];
  if (scale > 0) import.scale = scale;
  return thmexport::Run(std::move(o));
}
