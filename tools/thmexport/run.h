// One run of thmexport, once the command line is read: where each input goes,
// the exporter chosen by the output's extension, and the exports in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import/import.h"
#include "tools/thmexport/isolate.h"

namespace thmexport {

constexpr int kOk = 0, kExportFailed = 1, kBadInput = 2;

struct Options {
  std::vector<std::string> inputs;
  std::string output;
  std::string pluginDir;
  bool listFormats = false;
  bool listContents = false;
  bool quiet = false;
  bool extractTextures = false;
  scene::ImportOptions import;
  Limits limits = sandbox::DefaultLimits();  // of each import, and of each export in a batch
  size_t maxOutputMB = 4096;                 // of each output
  // Batches (a folder, several inputs or a report).
  int jobs = 0;  // workers at once; 0: the number of cores
  bool force = false;
  std::string report;
  std::vector<std::string> include, exclude;
  bool keepExtension = false;  // outputs named after the whole input file name
  // One model, one output per animation: OUT-NAME.thm (see AnimationOutputs).
  bool eachAnimation = false;
  // One export: a Make-style list of the files it read.
  std::string depfile;
  // A cache of exports shared by machines: a folder or an http(s):// URL; empty: none.
  std::string cache;
  bool cacheReadOnly = false;
  double cacheTimeout = 10;     // seconds
  uint64_t cacheMaxSizeMB = 0;  // a folder cache's bound; 0: none
};

// The exit status: kOk, kExportFailed or kBadInput.
int Run(Options options);

// Where each animation of a model goes with --each-animation: OUT's stem, "-", the
// animation's name with every byte outside [A-Za-z0-9._-] as "_" (its index when the
// name is empty, or when two names would give one file), then OUT's extension.
std::vector<std::string> AnimationOutputs(const std::string& output, const std::vector<std::string>& names);

// The animation names that --list prints for a model, in order.
std::vector<std::string> AnimationNames(const std::string& listText);

}  // namespace thmexport
