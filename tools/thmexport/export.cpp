#include "tools/thmexport/export.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/thmexport/paths.h"

namespace thmexport {

namespace {

// The temporary file of the running export, for the interrupt handler.
char g_temp[4096];
volatile sig_atomic_t g_tempSet = 0;

void RemoveTempAndDie(int sig) {
  if (g_tempSet) unlink(g_temp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

class TempGuard {
 public:
  explicit TempGuard(const std::string& path) {
    std::snprintf(g_temp, sizeof g_temp, "%s", path.c_str());
    g_tempSet = 1;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) previous_[Index(sig)] = std::signal(sig, RemoveTempAndDie);
  }
  ~TempGuard() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, previous_[Index(sig)]);
    g_tempSet = 0;
  }

 private:
  static int Index(int sig) { return sig == SIGINT ? 0 : sig == SIGTERM ? 1 : 2; }
  void (*previous_[3])(int) = {};
};

std::string NodeLabel(const scene::Node* node) {
  if (!node) return "";
  if (node->name) return "node \"" + *node->name + "\"";
  return "node #" + std::to_string(node->Handle()) + " (no name)";
}

std::string Errno(int err) {
  return std::strerror(err);
}

// Shows the progress line once an export has run a while; erases it on request.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled), start_(Clock::now()) {}
  ~Progress() { Clear(); }

  void Update(int index, int total, const scene::Node* node) {
    if (!enabled_) return;
    auto now = Clock::now();
    if (now - start_ < std::chrono::milliseconds(300) ||
        (shown_ && now - last_ < std::chrono::milliseconds(100)))
      return;
    last_ = now;
    shown_ = true;
    std::string name = node && node->name ? *node->name : "(no name)";
    if (name.size() > 50) name = name.substr(0, 47) + "...";
    std::fprintf(stderr, "\r\033[K[%d/%d nodes] %s", index, total, name.c_str());
    std::fflush(stderr);
  }
  void Clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_, last_;
};

// The host's main window: reports that the plug-in makes modal are owned by it.
int g_hostWindow;

}  // namespace

bool IsErrorReport(const MessageBoxRecord& box) {
  return box.caption == "Assert Failed!" || box.owner != nullptr;
}

std::string FormatReport(const std::string& label, const MessageBoxRecord& box, bool error,
                         const scene::Node* node) {
  std::string out = label + ": " + (error ? "error" : "warning") + ": [" + Printable(box.caption) + "]";
  if (node) out += " while exporting " + Printable(NodeLabel(node));
  out += "\n";
  std::string text = Printable(box.text, true);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += "    " + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return out;
}

unsigned OutputMode(const struct stat* existing) {
  if (existing) return existing->st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string TemporaryPrefix(const std::string& output) {
  std::string prefix(1, '.');
  prefix.append(FileName(output)).push_back('.');
  return prefix;
}

void RemoveTemporaryFiles(const std::string& output) {
  const std::string prefix = TemporaryPrefix(output);
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(ParentFolder(output), ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
      std::filesystem::remove(e.path(), ec);
  }
}

ExportOutcome RunExport(const ExporterClass& exporter, scene::Scene& scene, const std::string& output,
                        const ExportOptions& options) {
  ExportOutcome out;
  struct stat st;
  bool exists = stat(output.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    out.problem = output + " is a folder";
    return out;
  }
  // Devices and pipes cannot be replaced: the exporter writes to them directly.
  const bool direct = exists && !S_ISREG(st.st_mode);

  std::string target = output;
  std::unique_ptr<TempGuard> guard;
  if (!direct) {
    std::string tmpl = ParentFolder(output) + "/" + TemporaryPrefix(output) + "XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
      out.problem = "cannot create a temporary file in " + ParentFolder(output) + ": " + Errno(errno);
      return out;
    }
    fchmod(fd, OutputMode(exists ? &st : nullptr));
    close(fd);
    target = tmpl;
    guard = std::make_unique<TempGuard>(target);
  }

  // The output's bound: a write past it fails (no signal), and the plug-in's
  // report of that failure gives way to one line of ours.
  rlimit fileLimit{};
  getrlimit(RLIMIT_FSIZE, &fileLimit);
  const bool bounded = !direct && options.maxOutput > 0 && options.maxOutput < fileLimit.rlim_cur;
  auto pastBound = [&] {
    struct stat now;
    return bounded && stat(target.c_str(), &now) == 0 && uint64_t(now.st_size) >= options.maxOutput;
  };
  void (*previousXfsz)(int) = SIG_DFL;
  if (bounded) {
    previousXfsz = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tighter = fileLimit;
    tighter.rlim_cur = options.maxOutput;
    setrlimit(RLIMIT_FSIZE, &tighter);
  }

  HWND previousWindow = SetActiveWindow(reinterpret_cast<HWND>(&g_hostWindow));
  Progress progress(options.progress);
  bool hitBound = false;
  MessageBoxSink previousSink = SetMessageBoxSink([&](const MessageBoxRecord& box) {
    if (hitBound || pastBound()) {
      hitBound = true;
      return IDOK;
    }
    bool error = IsErrorReport(box);
    (error ? out.errors : out.warnings) += 1;
    if (error || !options.quiet) {
      progress.Clear();
      std::fputs(FormatReport(options.label, box, error, scene.CurrentNode()).c_str(), stderr);
      std::fflush(stderr);
    }
    return IDOK;
  });
  scene.onVisit = [&](int index, int total, scene::Node* node) { progress.Update(index, total, node); };

  // The host's settings (ticks per frame, master scale, node handles) are this scene's.
  scene.Activate();
  auto* exp = static_cast<SceneExport*>(exporter.desc->Create(0));
  if (exp) {
    out.result = exp->DoExport(target.c_str(), &scene, &scene, /*suppressPrompts=*/1);
    delete exp;
  } else {
    out.problem = "the plug-in made no exporter";
  }

  scene.onVisit = nullptr;
  progress.Clear();
  SetMessageBoxSink(std::move(previousSink));
  SetActiveWindow(previousWindow);
  hitBound = hitBound || pastBound();
  if (bounded) {
    setrlimit(RLIMIT_FSIZE, &fileLimit);
    std::signal(SIGXFSZ, previousXfsz);
  }

  out.tooLarge = hitBound;
  if (hitBound)
    out.problem = "the output would pass --max-output (" + std::to_string(options.maxOutput >> 20) + " MB)";
  else if (exp && out.result != 1)
    out.problem = "the exporter returned " + std::to_string(out.result);
  else if (exp && out.errors > 0)
    out.problem =
        "the exporter reported " + std::to_string(out.errors) + " error" + (out.errors > 1 ? "s" : "");
  bool good = out.problem.empty();

  if (!direct) {
    if (good) {
      // Data on disk before the name points at it; a late write error shows here.
      int fd = open(target.c_str(), O_RDONLY);
      if (fd < 0 || fsync(fd) != 0)
        out.problem = "cannot write " + target + ": " + Errno(errno);
      else if (rename(target.c_str(), output.c_str()) != 0)
        out.problem = "cannot replace " + output + ": " + Errno(errno);
      if (fd >= 0) close(fd);
      good = out.problem.empty();
    }
    if (!good) unlink(target.c_str());
  }
  out.ok = good;
  return out;
}

}  // namespace thmexport
