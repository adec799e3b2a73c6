// The inputs a folder holds: scene documents and the importer's models,
// found recursively, in name order, picked by --include and --exclude.
#pragma once

#include <string>
#include <vector>

namespace thmexport {

// Paths relative to `folder` ("a/b.glb"). A file is picked when it is an
// input (a .json file that says it is a scene document, or a model), matches
// one of `include` (when any is given) and none of `exclude`; the patterns are
// shell globs on the relative path, `*` crossing folders. Sets *error when the
// folder cannot be read.
std::vector<std::string> FindInputs(const std::string& folder, const std::vector<std::string>& include,
                                    const std::vector<std::string>& exclude, std::string* error);

}  // namespace thmexport
