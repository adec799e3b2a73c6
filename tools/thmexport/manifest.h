// What a batch exported, kept beside its outputs, so that a second run over
// unchanged inputs exports nothing. An output is up to date when it is still
// the file that was written and every file its export read, the plug-in
// library and the options are what they were: compared by content hash, since
// checkouts reset file times.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace thmexport {

// XXH3-128 of a file's bytes as 32 hex digits; nullopt when it cannot be read.
std::optional<std::string> HashFile(const std::string& path);
std::string HashText(const std::string& text);

struct ManifestEntry {
  std::map<std::string, std::string> inputs;  // every file the export read -> its hash
  std::string plugin;                         // hash of the plug-in library
  std::string options;                        // hash of the options that change the output
  std::string output;                         // hash of the output written
};

class Manifest {
 public:
  // The manifest of a folder of outputs; an unreadable one is empty.
  explicit Manifest(std::string folder);
  const std::string& Path() const { return path_; }

  // The entry of `output` when it is up to date.
  const ManifestEntry* UpToDate(const std::string& output, const std::string& plugin,
                                const std::string& options) const;
  void Set(const std::string& output, ManifestEntry entry) { entries_[output] = std::move(entry); }
  void Erase(const std::string& output) { entries_.erase(output); }
  // Written atomically; false when it cannot be.
  bool Save() const;

 private:
  std::string path_;
  std::map<std::string, ManifestEntry> entries_;
};

}  // namespace thmexport
