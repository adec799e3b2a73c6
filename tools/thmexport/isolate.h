// Imports run apart: a bug in a third-party parser costs one input, never
// the run, and cannot touch the user's files. The import of a model runs in a
// child process under limits (address space, CPU time, no file writes) and a
// system-call filter (no network, no new processes, files opened for reading
// only, writes only to the pipe back); the child hands the host scene back
// through that pipe (tools/thmexport/sandbox/wire.h), and this process checks it as it reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "import/import.h"
#include "tools/thmexport/sandbox/child.h"

namespace thmexport {

using sandbox::Limits;

struct IsolatedImport {
  scene::Imported imported;
  std::string error;  // one line when the import failed; then nothing else is set
};

// The most an import child may answer: a scene of tens of millions of
// triangles fits many times over.
constexpr uint64_t kMaxAnswerBytes = uint64_t(4) << 30;

// Imports `path` in a child process. Never throws for what the child does.
IsolatedImport ImportIsolated(const std::string& path, const scene::ImportOptions& options,
                              const Limits& limits);

// What the child answers for an import that succeeded (after its length
// word); for tests and the fuzz target's seeds.
std::string SceneAnswer(const scene::Imported& in);

// The child's answer for `path` (after its length word), read as the parent
// reads it: every count bounded before anything is sized, the envelope's
// texts made printable, textures only when they were asked for, the scene
// by the rules of sandbox/wire.h.
IsolatedImport ReadAnswer(std::string_view bytes, const std::string& path,
                          const scene::ImportOptions& options);

// FormatSummary of the model at `path`, made in a child process; "" with
// *error set when that failed.
std::string SummarizeIsolated(const std::string& path, const Limits& limits,
                              const std::vector<std::string>& allowPaths, std::string* error);

}  // namespace thmexport
