// A cache of exports shared by many machines (--cache): an export done on one
// is fetched by the others. Keyed by content, never by time or place: the
// input's bytes and file name, the plug-in library, the options that change
// bytes and this program's version name an entry, which lists the other files
// the export read with their hashes and the output's hash. A hit is a key
// whose listed files hash the same here; its output is checked against its
// hash before it replaces anything. The cache never fails an export: a store
// that cannot be used is warned of once and the run goes on without it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/thmexport/cache_store.h"
#include "tools/thmexport/job.h"

namespace thmexport {

struct CacheSettings {
  StoreSettings store;    // location empty: no cache
  bool readOnly = false;  // fetch, never write (not even the use times of a folder)
};

// SHA-256 of a file's bytes or of a text, as 64 hex digits.
std::string Sha256File(const std::string& path, bool* ok);
std::string Sha256Text(const std::string& text);

class ExportCache {
 public:
  // `optionsText` says what the options that change an output say.
  ExportCache(CacheSettings settings, const std::string& pluginFile, const std::string& optionsText,
              bool quiet);
  ~ExportCache();
  bool Active() const { return store_ != nullptr; }

  // On a hit writes job.output atomically and returns true, with `r` as the
  // export would have left it (its messages, the files read).
  bool Fetch(const Job& job, const Options& o, JobResult* r);
  // After an export that succeeded.
  void Store(const Job& job, const Options& o, const JobResult& r);
  // Once the run is done: a folder is trimmed to its bound.
  void Finish();

 private:
  std::string Key(const Job& job, const Options& o, bool* ok) const;
  void Disable(const std::string& why);
  void Damaged(const Job& job, const std::string& why);

  CacheSettings settings_;
  std::unique_ptr<CacheStore> store_;
  std::string base_;  // what every key of this run shares
  bool quiet_;
  bool wrote_ = false;
};

}  // namespace thmexport
