#include "tools/thmexport/job.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>

#include "document/document.h"
#include "tools/thmexport/export.h"
#include "tools/thmexport/isolate.h"
#include "tools/thmexport/paths.h"
#include "tools/thmexport/sandbox/child.h"

namespace thmexport {

namespace {

long PeakKB() {
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return std::max(self.ru_maxrss, children.ru_maxrss);
}

// The note keys of --notes, read here and handed to the import as data.
void ReadNotes(scene::ImportOptions& io) {
  if (io.notesFile.empty()) return;
  try {
    io.notes = scene::LoadNoteKeys(io.notesFile);
  } catch (const scene::DocumentError& e) {
    io.notesError = e.what();
  }
}

}  // namespace

JobResult RunJob(const Job& job, const ExporterClass& exporter, const Options& o, bool progress) {
  const auto start = std::chrono::steady_clock::now();
  JobResult r;
  r.files.push_back(job.input);
  auto finish = [&]() -> JobResult {
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakKB = PeakKB();
    return r;
  };
  std::unique_ptr<scene::Scene> scene;
  try {
    if (IsSceneDocument(job.input)) {
      scene = scene::LoadDocument(job.input);
    } else {
      scene::ImportOptions io = o.import;
      if (o.extractTextures) io.extractTexturesDir = ParentFolder(job.output);
      ReadNotes(io);
      IsolatedImport in = ImportIsolated(job.input, io, o.limits);
      if (!in.error.empty()) throw scene::ImportError(in.error);
      if (!o.quiet)
        for (auto& w : in.imported.warnings)
          std::fprintf(stderr, "%s: warning: %s\n", job.input.c_str(), w.c_str());
      for (const std::string& f : in.imported.files)
        if (std::find(r.files.begin(), r.files.end(), f) == r.files.end()) r.files.push_back(f);
      if (o.extractTextures) scene::WriteTextures(job.input, io.extractTexturesDir, in.imported.textures);
      scene = std::move(in.imported.scene);
    }
    // A dependency file that cannot name every file read is refused before
    // anything is written: the old output and no stale list stay.
    if (!o.depfile.empty())
      for (const std::string& f : r.files)
        if (MakeCannotRead(f)) {
          unlink(o.depfile.c_str());
          throw scene::ImportError("thmexport: cannot write the dependency file " + o.depfile + ": " +
                                   MakeCannotReadWhy(f));
        }
  } catch (const scene::DocumentError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    r.code = kBadInput;
    r.reason = e.what();
    return finish();
  } catch (const scene::ImportError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    r.code = kBadInput;
    r.reason = e.what();
    return finish();
  }
  ExportOptions options;
  options.quiet = o.quiet;
  options.progress = progress;
  options.label = job.input;
  options.maxOutput = uint64_t(o.maxOutputMB) << 20;
  ExportOutcome out = RunExport(exporter, *scene, job.output, options);
  if (!out.ok) {
    std::fprintf(stderr, "%s: export to %s failed: %s; %s\n", job.input.c_str(), job.output.c_str(),
                 out.problem.c_str(), "the output was left as it was");
    r.code = out.tooLarge ? kBadInput : kExportFailed;
    r.reason = "export failed: " + out.problem;
  }
  return finish();
}

std::string WithoutProgress(const std::string& text) {
  static const std::string kErase = "\r\033[K";
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    const bool whole = end != std::string::npos;
    if (!whole) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t erased = line.rfind(kErase);
    const std::string kept = erased == std::string::npos ? line : line.substr(erased + kErase.size());
    // A line that was only progress leaves nothing.
    if (whole && (erased == std::string::npos || !kept.empty()))
      out += kept + "\n";
    else if (!whole)
      out += kept;
    at = end + 1;
  }
  return out;
}

JobResult RunJobKeepingMessages(const Job& job, const ExporterClass& exporter, const Options& o,
                                bool progress) {
  // Standard error goes through a pipe to a copier that passes it on to where
  // it went before and keeps a copy in a memory file. The copier is a process,
  // not a thread: the import forks, and a fork while another thread holds a
  // lock (the sanitizers' allocator's, for one) leaves the child stuck.
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int copy = memfd_create("thmexport-messages", MFD_CLOEXEC);
  int fds[2] = {-1, -1};
  if (saved < 0 || copy < 0 || pipe2(fds, O_CLOEXEC) != 0) {
    for (int fd : {saved, copy, fds[0], fds[1]})
      if (fd >= 0) close(fd);
    return RunJob(job, exporter, o, progress);
  }
  const pid_t copier = fork();
  if (copier == 0) {
    close(fds[1]);
    char buf[4096];
    for (;;) {
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const std::string_view got(buf, static_cast<size_t>(n));
      sandbox::WriteAll(saved, got);
      sandbox::WriteAll(copy, got);
    }
    _exit(0);
  }
  close(fds[0]);
  if (copier < 0) {
    for (int fd : {saved, copy, fds[1]}) close(fd);
    return RunJob(job, exporter, o, progress);
  }
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  JobResult r = RunJob(job, exporter, o, progress);
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);  // the pipe's last writer is gone: the copier ends
  close(saved);
  int status = 0;
  while (waitpid(copier, &status, 0) < 0 && errno == EINTR) {
  }
  std::string kept;
  char buf[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(copy, buf, sizeof buf, at)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) {
      kept.append(buf, static_cast<size_t>(n));
      at += n;
    }
  close(copy);
  r.messages = WithoutProgress(kept);
  return r;
}

}  // namespace thmexport
