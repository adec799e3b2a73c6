// One export of a loaded scene through a scene exporter, written atomically:
// the exporter writes a temporary file beside the output, which replaces the
// output only when the export succeeded.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "scene/scene.h"
#include "tools/thmexport/plugins.h"

namespace thmexport {

struct ExportOptions {
  bool quiet = false;      // hide warnings (never errors)
  bool progress = false;   // show progress on standard error (a terminal)
  std::string label;       // names the input in messages
  uint64_t maxOutput = 0;  // bytes the output may take; 0: no bound of ours
};

struct ExportOutcome {
  bool ok = false;
  int result = 0;         // what DoExport returned
  int errors = 0;         // error reports ("Assert Failed!" or owned boxes) shown
  int warnings = 0;       // other message boxes
  std::string problem;    // why it failed, when not because of a report
  bool tooLarge = false;  // the output would have passed its bound: the input is at fault
};

// Runs `exporter` on `scene` into `output`. An existing regular file at
// `output` is replaced only on success; a device or pipe is written directly.
ExportOutcome RunExport(const ExporterClass& exporter, scene::Scene& scene, const std::string& output,
                        const ExportOptions& options);

// The mode an output gets: that of the file it replaces (`existing`), else
// the mode an ordinary new file would have.
unsigned OutputMode(const struct stat* existing);

// The temporary file beside `output` is named ".NAME." and six more characters.
std::string TemporaryPrefix(const std::string& output);
// Removes what an export killed in the middle left there.
void RemoveTemporaryFiles(const std::string& output);

// A message box as the console shows it: caption, node and text, several lines.
std::string FormatReport(const std::string& label, const MessageBoxRecord& box, bool error,
                         const scene::Node* node);

// Error reports fail the export: the assertion caption, or a box owned by the host window.
bool IsErrorReport(const MessageBoxRecord& box);

}  // namespace thmexport
