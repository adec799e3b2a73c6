// A fresh folder under /tmp for one test, removed with everything in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace tarntest {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarn_test") {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a folder under /tmp");
    path_ = tmpl;
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tarntest
