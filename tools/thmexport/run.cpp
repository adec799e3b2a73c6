#include "tools/thmexport/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "document/document.h"
#include "import/summary.h"
#include "tools/thmexport/batch.h"
#include "tools/thmexport/cache.h"
#include "tools/thmexport/export.h"
#include "tools/thmexport/job.h"
#include "tools/thmexport/list.h"
#include "tools/thmexport/paths.h"
#include "tools/thmexport/plugins.h"
#include "tools/thmexport/walk.h"

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
      else if (std::string error, text = SummarizeIsolated(in, o.limits, o.import.allowPaths, &error);
               error.empty())
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

// A path as Make reads it in a rule.
std::string MakeEscaped(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
}

constexpr const char* kUnwritable = "it cannot be written";

// Empty when written; else why not.
std::string WriteDepfile(const std::string& depfile, const std::string& output,
                         const std::vector<std::string>& files) {
  for (const std::string& f : files)
    if (MakeCannotRead(f)) {
      // No stale list stays behind to tell the build that all is well.
      unlink(depfile.c_str());
      return MakeCannotReadWhy(f);
    }
  std::string text = MakeEscaped(output) + ":";
  for (const std::string& f : files) text += " \\\n  " + MakeEscaped(f);
  text += "\n";
  std::ofstream out(depfile);
  out << text;
  return out.flush() ? "" : kUnwritable;
}

}  // namespace

std::vector<std::string> AnimationNames(const std::string& listText) {
  std::vector<std::string> names;
  std::istringstream in(listText);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("animations: ", 0) == 0) {
      inside = true;
      continue;
    }
    if (!inside) continue;
    // "  I 'NAME': S s, C channels"; the name may hold quotes, so the last "': " ends it.
    const size_t open = line.find(" '"), close = line.rfind("': ");
    if (line.rfind("  ", 0) != 0 || open == std::string::npos || close == std::string::npos ||
        close < open + 2)
      break;
    names.push_back(line.substr(open + 2, close - open - 2));
  }
  return names;
}

std::vector<std::string> AnimationOutputs(const std::string& output, const std::vector<std::string>& names) {
  const std::string ext = Extension(output);
  const std::string stem = ext.empty() ? output : output.substr(0, output.size() - ext.size() - 1);
  std::vector<std::string> parts;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string safe;
    for (unsigned char c : names[i])
      safe += (std::isalnum(c) || c == '.' || c == '_' || c == '-') ? char(c) : '_';
    parts.push_back(safe.empty() ? std::to_string(i) : safe);
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool clash = std::count(parts.begin(), parts.end(), parts[i]) > 1;
    out.push_back(stem + "-" + (clash ? std::to_string(i) : parts[i]) + (ext.empty() ? "" : "." + ext));
  }
  return out;
}

namespace {

// --each-animation: the one model exported once per animation it holds.
int ExportEachAnimation(const Options& o, const Job& job, const ExporterClass& exporter) {
  if (IsSceneDocument(job.input)) {
    std::fprintf(stderr, "thmexport: --each-animation is for models; a scene document has one timeline\n");
    return kBadInput;
  }
  std::string error;
  const std::string text = SummarizeIsolated(job.input, o.limits, o.import.allowPaths, &error);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kBadInput;
  }
  const std::vector<std::string> names = AnimationNames(text);
  const bool terminal = isatty(STDERR_FILENO) == 1;
  if (names.empty()) {
    if (!o.quiet)
      std::fprintf(stderr, "thmexport: warning: %s holds no animation; one output\n", job.input.c_str());
    return RunJob(job, exporter, o, terminal && !o.quiet).code;
  }
  const std::vector<std::string> outputs = AnimationOutputs(job.output, names);
  int status = kOk;
  for (size_t i = 0; i < names.size(); ++i) {
    Options one = o;
    one.import.animation = std::to_string(i);
    const JobResult r = RunJob({job.input, outputs[i], {}}, exporter, one, terminal && !o.quiet);
    if (r.code == kOk && !o.quiet)
      std::fprintf(stderr, "thmexport: animation %zu '%s' -> %s\n", i, names[i].c_str(), outputs[i].c_str());
    status = std::max(status, r.code);
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
  if (o.inputs.empty()) return usage("no scenes given");
  std::string output = o.output;
  if (output.empty()) return usage("no output given: use -o OUT.thm, or -o DIR with several scenes");

  // The inputs: files as given, and what the folders among them hold.
  struct Input {
    std::string path;
    std::string rel;  // below its folder; empty for a file given by name
  };
  std::vector<Input> inputs;
  bool fromFolder = false;
  for (const std::string& in : o.inputs) {
    if (!IsFolder(in)) {
      inputs.push_back({in, {}});
      continue;
    }
    fromFolder = true;
    std::string error;
    std::string folder = in;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    for (std::string& rel : FindInputs(folder, o.include, o.exclude, &error))
      inputs.push_back({folder + "/" + rel, rel});
    if (!error.empty()) return usage(error);
  }

  // Where each input goes.
  const bool toFolder = fromFolder || o.inputs.size() > 1 || IsFolder(output) || output.back() == '/';
  std::vector<Job> jobs;
  if (toFolder) {
    while (output.size() > 1 && output.back() == '/') output.pop_back();
    if (!IsFolder(output) && mkdir(output.c_str(), 0777) != 0)
      return usage("the output folder " + output + " does not exist and cannot be created");
    std::map<std::string, std::vector<size_t>> byOutput;
    for (auto& in : inputs) {
      // The folder's structure, mirrored.
      std::string out = output;
      if (in.rel.find('/') != std::string::npos) out.append("/").append(ParentFolder(in.rel));
      out.append("/").append(OutputName(in.path, o.keepExtension));
      byOutput[out].push_back(jobs.size());
      jobs.push_back({in.path, out, {}});
    }
    // Inputs that would share an output cost themselves only: each is refused, the rest run.
    for (auto& [out, group] : byOutput) {
      if (group.size() < 2) continue;
      for (size_t i : group) {
        std::string others;
        for (size_t k : group)
          if (k != i) others += (others.empty() ? "" : ", ") + jobs[k].input;
        jobs[i].refused = "not exported: " + others + " would be written to " + out +
                          " as well (--keep-extension keeps each input's extension in its output's name)";
      }
    }
  } else {
    jobs.push_back({inputs.front().path, output, {}});
  }
  const std::string ext = Extension(toFolder ? "x.thm" : output);
  if (ext.empty()) return usage(output + " has no file extension, which chooses the exporter");
  const ExporterClass* exporter = plugins.ForExtension(ext);
  if (!exporter) return usage("no exporter for ." + ext + " files in " + pluginDir + " (see --list-formats)");

  const bool batch = fromFolder || jobs.size() > 1 || !o.report.empty();
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int workers = batch ? (o.jobs > 0 ? o.jobs : cores) : 1;
  // An import's longer stages split over the cores its run does not keep busy with other workers.
  o.import.threads = std::max(1, cores / workers);
  if (batch && !o.depfile.empty())
    return usage("--depfile is for one export; a batch keeps a manifest instead");
  CacheSettings cache;
  cache.store.location = o.cache;
  cache.store.timeout = o.cacheTimeout;
  cache.store.maxBytes = o.cacheMaxSizeMB << 20;
  cache.readOnly = o.cacheReadOnly;
  const std::string pluginFile = pluginDir + "/" + exporter->library;
  if (o.eachAnimation) {
    if (batch) return usage("--each-animation is for one model at a time");
    if (!o.cache.empty() || !o.depfile.empty())
      return usage("--each-animation takes no --cache or --depfile");
    return ExportEachAnimation(o, jobs.front(), *exporter);
  }
  if (!batch) {
    const bool terminal = isatty(STDERR_FILENO) == 1;
    ExportCache shared(cache, pluginFile, OptionsText(o, *exporter), o.quiet);
    JobResult r;
    if (shared.Active() && !o.force && shared.Fetch(jobs.front(), o, &r)) {
      std::fputs(r.messages.c_str(), stderr);
    } else if (shared.Active()) {
      r = RunJobKeepingMessages(jobs.front(), *exporter, o, terminal && !o.quiet);
      shared.Store(jobs.front(), o, r);
    } else {
      r = RunJob(jobs.front(), *exporter, o, terminal && !o.quiet);
    }
    shared.Finish();
    if (r.code == kOk && !o.depfile.empty())
      if (const std::string why = WriteDepfile(o.depfile, jobs.front().output, r.files); !why.empty()) {
        std::fprintf(stderr, "thmexport: cannot write the dependency file %s: %s\n", o.depfile.c_str(),
                     why.c_str());
        return why == kUnwritable ? kExportFailed : kBadInput;
      }
    return r.code;
  }
  if (jobs.empty() && !o.quiet) std::fprintf(stderr, "thmexport: warning: no inputs found\n");
  std::error_code ec;
  for (const Job& j : jobs) std::filesystem::create_directories(ParentFolder(j.output), ec);
  BatchSettings b;
  b.jobs = workers;
  b.force = o.force;
  b.report = o.report;
  b.manifestFolder = toFolder ? output : ParentFolder(output);
  b.pluginFile = pluginFile;
  b.cache = cache;
  return RunBatch(jobs, *exporter, o, b);
}

}  // namespace thmexport
