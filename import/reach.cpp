#include "import/reach.h"

#include <filesystem>

namespace scene {

namespace fs = std::filesystem;

std::string CanonicalFolder(const std::string& path) {
  std::error_code ec;
  const fs::path abs = fs::absolute(path, ec);
  fs::path p = fs::weakly_canonical(abs, ec);
  if (ec) p = abs.lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::vector<std::string> ReadableFolders(const std::string& input, const std::vector<std::string>& allowed) {
  std::vector<std::string> out;
  const fs::path parent = fs::path(input).parent_path();
  out.push_back(CanonicalFolder(parent.empty() ? "." : parent.string()));
  // An input that is a link: the folder of the file it leads to as well.
  const std::string target = fs::path(CanonicalFolder(input)).parent_path().string();
  if (target != out.front()) out.push_back(target);
  for (const std::string& a : allowed) out.push_back(CanonicalFolder(a));
  return out;
}

bool Beneath(const std::string& path, const std::vector<std::string>& folders) {
  const std::string p = CanonicalFolder(path);
  for (const std::string& f : folders) {
    if (f == "/") return true;
    if (p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/') return true;
  }
  return false;
}

}  // namespace scene
