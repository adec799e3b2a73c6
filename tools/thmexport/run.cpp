#include "tools/thmexport/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>

#include "scene/document.h"
#include "scene/inspect.h"
#include "tools/thmexport/export.h"
#include "tools/thmexport/list.h"
#include "tools/thmexport/paths.h"
#include "tools/thmexport/plugins.h"

namespace thmexport {

namespace {

void ListFormats(const PluginSet& plugins) {
  for (auto& e : plugins.Exporters()) {
    std::string exts;
    for (auto& x : e.extensions) exts += (exts.empty() ? "." : " .") + x;
    std::printf("%-8s %s  (%s, %s, version %u)\n", exts.c_str(), e.longDesc.c_str(), e.library.c_str(),
                e.className.c_str(), e.version);
  }
}

int ListContents(const Options& o) {
  int status = kOk;
  for (auto& in : o.inputs) {
    try {
      if (IsSceneDocument(in))
        std::fputs(FormatDocument(in, *scene::LoadDocument(in)).c_str(), stdout);
      else if (std::string error, text = SummarizeIsolated(in, o.limits, &error); error.empty())
        std::fputs(text.c_str(), stdout);
      else
        throw scene::ImportError(error);
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

}  // namespace

int Run(Options o) {
  if (o.listContents) return ListContents(o);

  std::vector<std::string> loadWarnings;
  PluginSet plugins;
  const std::string& pluginDir = o.pluginDir;
  if (!plugins.LoadFolder(pluginDir, loadWarnings)) {
    std::fprintf(stderr, "thmexport: cannot read the plug-in folder %s\n", pluginDir.c_str());
    return kBadInput;
  }
  if (!o.quiet)
    for (auto& w : loadWarnings)
      std::fprintf(stderr, "thmexport: warning: %s/%s\n", pluginDir.c_str(), w.c_str());

  if (o.listFormats) {
    ListFormats(plugins);
    if (plugins.Exporters().empty())
      std::fprintf(stderr, "thmexport: no scene exporters in %s\n", pluginDir.c_str());
    return kOk;
  }
  auto usage = [](const std::string& msg) {
    std::fprintf(stderr, "thmexport: %s (see --help)\n", msg.c_str());
    return kBadInput;
  };
  const std::vector<std::string>& inputs = o.inputs;
  std::string output = o.output;
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
  const ExporterClass* exporter = plugins.ForExtension(ext);
  if (!exporter) return usage("no exporter for ." + ext + " files in " + pluginDir + " (see --list-formats)");

  const bool terminal = isatty(STDERR_FILENO) == 1;
  int status = kOk;
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::unique_ptr<scene::Scene> scene;
    try {
      if (IsSceneDocument(inputs[i])) {
        scene = scene::LoadDocument(inputs[i]);
      } else {
        scene::ImportOptions io = o.import;
        if (o.extractTextures) io.extractTexturesDir = ParentFolder(outputs[i]);
        IsolatedImport in = ImportIsolated(inputs[i], io, o.limits);
        if (!in.error.empty()) throw scene::ImportError(in.error);
        if (!o.quiet)
          for (auto& w : in.imported.warnings)
            std::fprintf(stderr, "%s: warning: %s\n", inputs[i].c_str(), w.c_str());
        scene::WriteTextures(inputs[i], io.extractTexturesDir, in.imported.textures);
        scene = std::move(in.imported.scene);
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
    ExportOptions options;
    options.quiet = o.quiet;
    options.progress = terminal && !o.quiet;
    options.label = inputs[i];
    ExportOutcome r = RunExport(*exporter, *scene, outputs[i], options);
    if (!r.ok) {
      std::fprintf(stderr, "%s: export to %s failed: %s; %s\n", inputs[i].c_str(), outputs[i].c_str(),
                   r.problem.c_str(), "the output was left as it was");
      if (status == kOk) status = kExportFailed;
    }
  }
  return status;
}

}  // namespace thmexport
