// The oracle of the reader targets: the same bytes through Assimp's own
// loader and through an importer with our reader in its place must give the
// same scene, error and Assimp log; any difference aborts as a finding.
// Both importers are made once; the scenes compare before Assimp's
// post-processing, which is the same code for both.
#pragma once

#include <assimp/scene.h>

#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/support/ai_compare.h"

namespace fuzzoracle {

struct Log : Assimp::LogStream {
  std::vector<std::string> lines;
  void write(const char* message) override { lines.emplace_back(message); }
};

inline Log* TheLog() {
  static Log* log = [] {
    Assimp::DefaultLogger::create("", Assimp::Logger::NORMAL, 0);
    auto* l = new Log;
    Assimp::DefaultLogger::get()->attachStream(l, Assimp::Logger::Err | Assimp::Logger::Warn);
    return l;
  }();
  return log;
}

[[noreturn]] inline void Differ(const char* reader, const std::string& what) {
  std::fprintf(stderr, "our %s reader and Assimp's differ: %s\n", reader, what.c_str());
  std::abort();
}

// Assimp's loader first: a fault of its own on the user's bytes shows in its read.
inline void Compare(Assimp::Importer& theirs, Assimp::Importer& ours, const uint8_t* data, size_t size,
                    const char* hint, const char* reader) {
  Log* log = TheLog();
  try {
    log->lines.clear();
    const aiScene* a = theirs.ReadFileFromMemory(data, size, 0, hint);
    const std::vector<std::string> logA = log->lines;
    const std::string ea = a ? "" : theirs.GetErrorString();
    log->lines.clear();
    const aiScene* b = ours.ReadFileFromMemory(data, size, 0, hint);
    const std::string eb = b ? "" : ours.GetErrorString();
    if (ea != eb) Differ(reader, "errors \"" + ea + "\" and \"" + eb + "\"");
    if (logA != log->lines) Differ(reader, "Assimp's log");
    if (a && b)
      if (std::string d = tarntest::CompareScenes(*a, *b); !d.empty()) Differ(reader, d);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace fuzzoracle
