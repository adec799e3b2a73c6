// Where a shared export cache keeps its files: a folder (on a shared file
// system) or an HTTP server that stores files by GET and PUT under a path.
// Both hold the same layout, the one of Bazel's HTTP remote cache: ac/KEY for
// what an export's key leads to, cas/SHA256 for the bytes of an output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace thmexport {

struct StoreSettings {
  std::string location;   // a folder, or an http:// or https:// URL
  double timeout = 10;    // seconds to connect, and without progress once connected
  uint64_t maxBytes = 0;  // a folder's size bound (least recently used files go first); 0: none
};

class CacheStore {
 public:
  enum class Got { kFound, kMissing, kFailed };
  virtual ~CacheStore() = default;

  // `name` is "ac/KEY" or "cas/HASH". Into memory (small files only) or into
  // an open file; `why` says what failed.
  virtual Got Get(const std::string& name, std::string* bytes, std::string* why) = 0;
  virtual Got GetToFile(const std::string& name, int fd, std::string* why) = 0;
  // Whole or not at all: a reader never sees half a file, and two writers of
  // one name leave one of their files.
  virtual bool Put(const std::string& name, const std::string& bytes, std::string* why) = 0;
  virtual bool PutFile(const std::string& name, const std::string& path, std::string* why) = 0;
  // A file was used: it is kept longer when the size bound evicts.
  virtual void Touch(const std::string& /*name*/) {}
  // Evicts down to the size bound.
  virtual void Trim() {}
};

// nullptr, with why, when the location cannot be used at all.
std::unique_ptr<CacheStore> OpenStore(const StoreSettings& settings, std::string* why);

bool IsUrl(const std::string& location);

}  // namespace thmexport
