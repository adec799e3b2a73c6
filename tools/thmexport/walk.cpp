#include "tools/thmexport/walk.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "import/import.h"
#include "tools/thmexport/paths.h"

namespace thmexport {

namespace {

namespace fs = std::filesystem;

// JSON files are also notes, buffers' metadata or anything else: a document
// names its format near the start.
bool LooksLikeDocument(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  return head.find("\"thm-scene\"") != std::string::npos;
}

bool Matches(const std::vector<std::string>& globs, const std::string& rel) {
  for (const std::string& g : globs)
    if (fnmatch(g.c_str(), rel.c_str(), 0) == 0 || fnmatch(g.c_str(), FileName(rel).c_str(), 0) == 0)
      return true;
  return false;
}

}  // namespace

std::vector<std::string> FindInputs(const std::string& folder, const std::vector<std::string>& include,
                                    const std::vector<std::string>& exclude, std::string* error) {
  std::vector<std::string> out;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
  if (ec) {
    *error = "cannot read the folder " + folder + ": " + ec.message();
    return out;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      *error = "cannot read the folder " + folder + ": " + ec.message();
      return {};
    }
    const std::string name = it->path().filename().string();
    // Hidden files and folders (.git, our own manifest) are never inputs.
    if (!name.empty() && name[0] == '.') {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(ec)) continue;
    const std::string rel = fs::relative(it->path(), folder, ec).generic_string();
    const bool input = IsSceneDocument(name) ? LooksLikeDocument(it->path()) : scene::IsModelFile(name);
    if (!input) continue;
    if (!include.empty() && !Matches(include, rel)) continue;
    if (Matches(exclude, rel)) continue;
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace thmexport
