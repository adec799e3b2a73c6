// Many exports in one run: worker processes, each with the plug-in loaded;
// messages in input order whatever the number of workers; a manifest that
// skips what is up to date; a summary, progress on a terminal and a report.
#pragma once

#include <string>
#include <vector>

#include "tools/thmexport/cache.h"
#include "tools/thmexport/job.h"

namespace thmexport {

struct BatchSettings {
  int jobs = 1;                // workers at once. 1: one worker runs every export in order
  bool force = false;          // export even what is up to date
  std::string report;          // --report FILE.json; empty: none
  std::string manifestFolder;  // where the manifest lives
  std::string pluginFile;      // the exporter's library, part of what an output depends on
  CacheSettings cache;         // shared by machines; no location: none
};

// The exit status of the run: kBadInput when some input was bad, else
// kExportFailed when some export failed, else kOk.
int RunBatch(const std::vector<Job>& jobs, const ExporterClass& exporter, const Options& o,
             const BatchSettings& b);

// What the options that change an output say, as text (for the manifest).
std::string OptionsText(const Options& o, const ExporterClass& exporter);

}  // namespace thmexport
