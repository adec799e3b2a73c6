// What an import may read: files beneath the input's folder and beneath the
// folders the user allows (thmexport's --allow-path). A model that refers to
// anything else (a buffer "../../secret.bin", an absolute path) is refused,
// naming the reference.
#pragma once

#include <string>
#include <vector>

namespace scene {

// The folder as an absolute path with links resolved as far as it exists.
std::string CanonicalFolder(const std::string& path);

// The folders an import of `input` may read beneath: its own folder (and the
// folder of the file it leads to, where it is a link), then `allowed`, canonical.
std::vector<std::string> ReadableFolders(const std::string& input, const std::vector<std::string>& allowed);

// Whether `path`, resolved as far as it exists, lies beneath one of `folders` (canonical).
bool Beneath(const std::string& path, const std::vector<std::string>& folders);

}  // namespace scene
