// A fresh folder in the system's temporary folder for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace tarntest {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarn_test") {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = std::filesystem::temp_directory_path() / (prefix + "_" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
    std::filesystem::permissions(path_, std::filesystem::perms(0755));
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
