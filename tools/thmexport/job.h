// One input's export: load (document or isolated import), then the plug-in,
// with what it printed, what it read and how it ended.
#pragma once

#include <string>
#include <vector>

#include "tools/thmexport/plugins.h"
#include "tools/thmexport/run.h"

namespace thmexport {

struct Job {
  std::string input;
  std::string output;
  std::string refused;  // why it is not run at all (one line); empty: it runs
};

struct JobResult {
  int code = kOk;                  // kOk, kExportFailed or kBadInput
  std::string reason;              // why it failed, one line; empty on success
  std::string messages;            // what it printed on standard error
  std::vector<std::string> files;  // every file it read, the input first, once each
  double seconds = 0;
  long peakKB = 0;  // the highest resident memory of the process and its import
};

// Runs `job` in this process; messages go to standard error as they come.
JobResult RunJob(const Job& job, const ExporterClass& exporter, const Options& o, bool progress);
// The same, keeping in r.messages what it printed, without its progress lines.
JobResult RunJobKeepingMessages(const Job& job, const ExporterClass& exporter, const Options& o,
                                bool progress);
// Printed text without what a progress line drew and erased ("\r\033[K...").
std::string WithoutProgress(const std::string& text);

}  // namespace thmexport
