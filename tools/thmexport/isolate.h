// Imports run apart: a bug in a third-party parser costs one input, never
// the run, and cannot touch the user's files. The import of a model runs in a
// child process under limits (address space, CPU time, no file writes) and a
// system-call filter (no network, no new processes, files opened for reading
// only, writes only to the pipe back); the child hands the host scene back
// through that pipe (tools/thmexport/sandbox/wire.h), and this process checks it as it reads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "import/import.h"
#include "tools/thmexport/sandbox/child.h"

namespace thmexport {

using sandbox::Limits;

struct IsolatedImport {
  scene::Imported imported;
  std::string error;  // one line when the import failed; then nothing else is set
};

// Imports `path` in a child process. Never throws for what the child does.
IsolatedImport ImportIsolated(const std::string& path, const scene::ImportOptions& options,
                              const Limits& limits);

// FormatSummary of the model at `path`, made in a child process; "" with
// *error set when that failed.
std::string SummarizeIsolated(const std::string& path, const Limits& limits, std::string* error);

}  // namespace thmexport
