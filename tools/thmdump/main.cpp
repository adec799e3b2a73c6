// thmdump: print, export as JSON or glTF, or validate a .thm file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "thm/thm.h"
#include "tools/thmdump/dump.h"

namespace {

constexpr int kOk = 0;
constexpr int kBadFile = 1;
constexpr int kUsage = 2;

// Written beside the target and renamed over it: a failed write leaves what stood there.
void WriteAtomically(const std::filesystem::path& to, const void* data, std::size_t size) {
  std::string tmp = to.string() + ".tmpXXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw std::runtime_error("cannot write " + to.string() + ": " + std::strerror(errno));
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw std::runtime_error("cannot write " + to.string() + ": " + std::strerror(err));
    }
    done += std::size_t(n);
  }
  ::fchmod(fd, 0644);
  if (::close(fd) != 0 || std::rename(tmp.c_str(), to.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + to.string() + ": " + std::strerror(err));
  }
}

void WriteGltf(const thm_file* file, const std::filesystem::path& out) {
  thmdump::Gltf g = thmdump::ToGltf(file);
  if (out.extension() == ".gltf") {
    std::filesystem::path bin = out;
    bin.replace_extension(".bin");
    const std::string text = thmdump::GltfText(g, bin.filename().string());
    if (!g.bin.empty()) WriteAtomically(bin, g.bin.data(), g.bin.size());
    WriteAtomically(out, text.data(), text.size());
  } else {
    const std::vector<std::uint8_t> glb = thmdump::Glb(std::move(g));
    WriteAtomically(out, glb.data(), glb.size());
  }
}

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
  std::string gltf;
  auto* gltf_opt =
      app.add_option("--gltf", gltf,
                     "write the file as glTF 2.0: OUT.glb (binary) or OUT.gltf with OUT.bin beside\n"
                     "it. Meshes, materials, skins with their animation, lights\n"
                     "(KHR_lights_punctual), notes as the animation's extras; y up. A malformed\n"
                     "file writes nothing and exits 1. See docs/engine.md.")
          ->excludes(json_opt);
  auto* check_opt =
      app.add_flag("--check", check,
                   "validate the structure: record boundaries, counts, position and vertex\n"
                   "indices, unit normals, bone links, end mark, note terminator. Prints \"ok\"\n"
                   "and exits 0, or prints \"offset N (0xN): problem\" for the first problem and exits 1.")
          ->excludes(json_opt);
  check_opt->excludes(gltf_opt);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  }

  // Read as an engine would: through the library's C API.
  thm_options options{};
  // Converting needs sound indices and links: check first.
  options.check = check || !gltf.empty() ? 1 : 0;
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
  if (!gltf.empty()) {
    if (problem) {
      std::cerr << "thmdump: " << path << ": offset " << error.offset << ": " << error.message
                << "\nthmdump: nothing written\n";
      return kBadFile;
    }
    try {
      WriteGltf(file, gltf);
    } catch (const std::exception& e) {
      std::cerr << "thmdump: " << e.what() << "\n";
      return kUsage;
    }
    return kOk;
  }
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
