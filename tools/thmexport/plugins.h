// Finds and loads exporter plug-ins the way the host package does: every .dle
// library of a folder, checked for the host version, asked for its classes;
// the scene exporters among them are kept.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/plugin_api.h"

namespace thmexport {

struct ExporterClass {
  std::string library;        // file name of the .dle that holds it
  ClassDesc* desc = nullptr;  // owned by the library
  std::string className;
  std::vector<std::string> extensions;  // without the dot, as the exporter gives them
  std::string longDesc;
  std::string shortDesc;
  unsigned version = 0;
};

class PluginSet {
 public:
  PluginSet() = default;
  PluginSet(const PluginSet&) = delete;
  PluginSet& operator=(const PluginSet&) = delete;
  ~PluginSet();

  // Loads every .dle of `dir` (in name order). Libraries that cannot be used
  // are skipped with a line in `warnings`. False when the folder cannot be read.
  bool LoadFolder(const std::string& dir, std::vector<std::string>& warnings);

  const std::vector<ExporterClass>& Exporters() const { return exporters_; }
  // The first exporter with this extension (case-insensitive, without the dot), or null.
  const ExporterClass* ForExtension(std::string_view ext) const;

 private:
  void LoadLibrary(const std::string& path, const std::string& name, std::vector<std::string>& warnings);

  std::vector<void*> handles_;
  std::vector<ExporterClass> exporters_;
};

// The folder of the running executable.
std::string ExecutableFolder();

}  // namespace thmexport
