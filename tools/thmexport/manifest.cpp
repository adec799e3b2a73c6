#include "tools/thmexport/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace thmexport {

namespace {

constexpr const char* kFileName = ".thmexport-manifest.json";
constexpr int kVersion = 1;

std::string Hex(const XXH128_hash_t& h) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(h.high64),
                static_cast<unsigned long long>(h.low64));
  return buf;
}

}  // namespace

std::optional<std::string> HashFile(const std::string& path) {
  // Regular files only: a device or a pipe could be read forever, or block.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  XXH3_state_t* state = XXH3_createState();
  XXH3_128bits_reset(state);
  char buf[1 << 16];
  ssize_t n;
  bool failed = false;
  for (;;) {
    n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = n < 0;
      break;
    }
    XXH3_128bits_update(state, buf, static_cast<size_t>(n));
  }
  close(fd);
  const std::string hex = Hex(XXH3_128bits_digest(state));
  XXH3_freeState(state);
  if (failed) return std::nullopt;
  return hex;
}

std::string HashText(const std::string& text) {
  return Hex(XXH3_128bits(text.data(), text.size()));
}

Manifest::Manifest(std::string folder) : path_(std::move(folder) + "/" + kFileName) {
  std::ifstream in(path_);
  if (!in) return;
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!j.is_object() || j.value("version", 0) != kVersion || !j.contains("outputs") ||
      !j["outputs"].is_object())
    return;
  for (auto& [output, e] : j["outputs"].items()) {
    if (!e.is_object()) continue;
    ManifestEntry m;
    m.plugin = e.value("plugin", "");
    m.options = e.value("options", "");
    m.output = e.value("output", "");
    if (e.contains("inputs") && e["inputs"].is_object())
      for (auto& [file, hash] : e["inputs"].items())
        if (hash.is_string()) m.inputs[file] = hash.get<std::string>();
    entries_[output] = std::move(m);
  }
}

const ManifestEntry* Manifest::UpToDate(const std::string& output, const std::string& plugin,
                                        const std::string& options) const {
  auto it = entries_.find(output);
  if (it == entries_.end()) return nullptr;
  const ManifestEntry& e = it->second;
  if (e.plugin != plugin || e.options != options || e.inputs.empty()) return nullptr;
  if (HashFile(output) != e.output) return nullptr;
  for (auto& [file, hash] : e.inputs)
    if (HashFile(file) != hash) return nullptr;
  return &e;
}

bool Manifest::Save() const {
  nlohmann::json outputs = nlohmann::json::object();
  for (auto& [output, e] : entries_)
    outputs[output] = {
        {"inputs", e.inputs}, {"plugin", e.plugin}, {"options", e.options}, {"output", e.output}};
  const nlohmann::json j = {{"version", kVersion}, {"outputs", outputs}};
  const std::string temp = path_ + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp);
    out << j.dump(1) << "\n";
    if (!out.flush()) {
      std::remove(temp.c_str());
      return false;
    }
  }
  return std::rename(temp.c_str(), path_.c_str()) == 0;
}

}  // namespace thmexport
