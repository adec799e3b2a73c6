// thmdump: print, export as JSON or validate a .thm file.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>

#include "thm/thm.h"
#include "tools/thmdump/dump.h"

namespace {

constexpr int kOk = 0;
constexpr int kBadFile = 1;
constexpr int kUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Reads a Tarnhold Mesh (.thm) file.\n"
      "Without options: a readable summary of every record with its byte offset (@N):\n"
      "mesh names, position/material/vertex/triangle counts, material header fields,\n"
      "bones, frames, notes, and every light field.\n"
      "Exit codes: 0 success; 1 the file is malformed (the error and its byte offset\n"
      "go to standard error, or are printed by --check); 2 bad usage or unreadable file.",
      "thmdump"};
  std::string path;
  bool json = false;
  bool check = false;
  app.add_option("FILE", path, "the .thm file to read")->required();
  auto* json_opt =
      app.add_flag("--json", json,
                   "print every field and array as JSON. Names are 8-bit: each byte becomes the\n"
                   "Unicode code point of the same number. Floats print as the shortest decimal that\n"
                   "reads back as the same 32-bit float; NaN and infinities print as null.\n"
                   "\"error\" is null or {offset, message} for a file that stops early.");
  app.add_flag("--check", check,
               "validate the structure: record boundaries, counts, position and vertex\n"
               "indices, unit normals, bone links, end mark, note terminator. Prints \"ok\"\n"
               "and exits 0, or prints \"offset N (0xN): problem\" for the first problem and exits 1.")
      ->excludes(json_opt);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  }

  // Read as an engine would: through the library's C API.
  thm_options options{};
  options.check = check ? 1 : 0;
  thm_file* file = nullptr;
  thm_error error;
  const thm_result rc = thm_read_path(path.c_str(), &options, &file, &error);
  const std::unique_ptr<thm_file, void (*)(thm_file*)> owned(file, &thm_free);
  if (rc != THM_OK && rc != THM_MALFORMED) {
    std::cerr << "thmdump: " << error.message << "\n";
    return kUsage;
  }

  if (check) {
    if (rc == THM_MALFORMED) {
      std::printf("offset %zu (0x%zX): %s\n", error.offset, error.offset, error.message);
      return kBadFile;
    }
    std::printf("ok\n");
    return kOk;
  }

  const thm_error* problem = rc == THM_MALFORMED ? &error : nullptr;
  if (json) {
    std::cout << thmdump::DumpJson(thmdump::ToJson(file, problem)) << "\n";
  } else {
    std::cout << thmdump::Summary(file);
  }
  if (problem) {
    std::cerr << "thmdump: offset " << error.offset << ": " << error.message << "\n";
    return kBadFile;
  }
  return kOk;
}
