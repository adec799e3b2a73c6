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

namespace thmexport {

struct Limits {
  size_t memoryMB = 0;  // 0: none
  double seconds = 0;   // 0: none
};

// Writes all of `bytes` to a descriptor, through interruptions; false when it cannot.
bool WriteAll(int fd, const std::string& bytes);

// "signal 11: Segmentation fault".
std::string SignalText(int sig);

// Applies the memory limit to this process (a batch worker); nothing in
// sanitizer builds. Returns the limit applied in MB, 0 for none.
size_t LimitMemory(const Limits& limits);

// The limits thmexport applies unless told otherwise: three quarters of the
// machine's memory, ten minutes.
Limits DefaultLimits();

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

// The limits and the system-call filter of a child process that only reads
// files and writes to `pipeFd`. For the import and for tests.
void Confine(const Limits& limits, int pipeFd);

}  // namespace thmexport
