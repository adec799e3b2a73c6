#include "tools/thmexport/plugins.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/thmexport/paths.h"

namespace thmexport {

namespace {

bool HasDleSuffix(const std::string& name) {
  return name.size() > 4 && EndsWithNoCase(name, ".dle");
}

std::string HexWord(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string Text(const char* s) {
  return s ? s : "";
}

}  // namespace

PluginSet::~PluginSet() {
  exporters_.clear();
  for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) dlclose(*it);
}

bool PluginSet::LoadFolder(const std::string& dir, std::vector<std::string>& warnings) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), &closedir);
  if (!d) return false;
  std::vector<std::string> names;
  while (dirent* e = readdir(d.get())) {
    std::string name = e->d_name;
    if (HasDleSuffix(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (auto& name : names) LoadLibrary(dir + "/" + name, name, warnings);
  return true;
}

void PluginSet::LoadLibrary(const std::string& path, const std::string& name,
                            std::vector<std::string>& warnings) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    std::string why = Text(dlerror());
    if (why.rfind(path + ": ", 0) == 0) why = why.substr(path.size() + 2);
    warnings.push_back(name + ": cannot be loaded: " + why);
    return;
  }
  auto version = reinterpret_cast<LibVersionFn>(dlsym(h, "LibVersion"));
  auto count = reinterpret_cast<LibNumberClassesFn>(dlsym(h, "LibNumberClasses"));
  auto classDesc = reinterpret_cast<LibClassDescFn>(dlsym(h, "LibClassDesc"));
  if (!version || !count || !classDesc) {
    warnings.push_back(name +
                       ": not a plug-in library (LibVersion, LibNumberClasses or LibClassDesc missing)");
    dlclose(h);
    return;
  }
  if (uint32_t v = version(); v != HOST_SDK_VERSION) {
    warnings.push_back(name + ": built for host version " + HexWord(v) + ", this host is " +
                       HexWord(HOST_SDK_VERSION));
    dlclose(h);
    return;
  }
  handles_.push_back(h);
  const int n = count();
  for (int i = 0; i < n; ++i) {
    ClassDesc* cd = classDesc(i);
    if (!cd || cd->SuperClassID() != SCENE_EXPORT_CLASS_ID) continue;
    ExporterClass ec;
    ec.library = name;
    ec.desc = cd;
    ec.className = Text(cd->ClassName());
    // The descriptive answers come from an instance, as in the host.
    auto* exp = static_cast<SceneExport*>(cd->Create(0));
    if (!exp) {
      warnings.push_back(name + ": class " + std::to_string(i) + " (" + ec.className + ") made no exporter");
      continue;
    }
    for (int k = 0, m = exp->ExtCount(); k < m; ++k)
      if (const char* ext = exp->Ext(k); ext && *ext) ec.extensions.push_back(ext);
    ec.longDesc = Text(exp->LongDesc());
    ec.shortDesc = Text(exp->ShortDesc());
    ec.version = exp->Version();
    delete exp;
    exporters_.push_back(std::move(ec));
  }
}

const ExporterClass* PluginSet::ForExtension(std::string_view ext) const {
  for (auto& e : exporters_)
    for (auto& x : e.extensions)
      if (EqualNoCase(x, ext)) return &e;
  return nullptr;
}

std::string ExecutableFolder() {
  std::string buf(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  buf.resize(static_cast<size_t>(n));
  size_t cut = buf.rfind('/');
  return cut == std::string::npos ? "." : (cut == 0 ? "/" : buf.substr(0, cut));
}

}  // namespace thmexport
