// Runs thmexport as a child process, with its output captured, optionally
// under a file-size limit, as user nobody, or on a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tools_test {

namespace fs = std::filesystem;

inline const std::string kExe = std::string(TARN_BIN_DIR) + "/thmexport";
inline const std::string kSource = TARN_SOURCE_DIR;

struct Result {
  int code = -1;
  std::string out, err;
};

inline const std::string kThmdump = std::string(TARN_BIN_DIR) + "/thmdump";

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

struct RunOptions {
  long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes
  bool asNobody = false;
  bool terminal = false;         // standard error (and output) on a pseudo-terminal
  std::string exe = kExe;        // the program to run
  long memoryMB = 0;             // RLIMIT_AS, where the build can live with one (not under ASan)
  long cpuSeconds = 0;           // RLIMIT_CPU: a bound, so that a runaway fails instead of hanging the suite
  long stackKB = 0;              // RLIMIT_STACK
  std::vector<std::string> env;  // NAME=value, added to the environment
  std::string cwd;               // where it runs; empty: here
};

// A crash in a child must reach thmexport as the signal it is, also in
// sanitizer builds, whose handlers would otherwise turn it into a report.
inline void LetSignalsThrough(RunOptions& o) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  o.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                  "handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0");
}

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void Spit(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

[[noreturn]] inline void ExecChild(const std::vector<std::string>& args, const RunOptions& o) {
  if (o.fileSizeLimit >= 0) {
    rlimit lim{static_cast<rlim_t>(o.fileSizeLimit), static_cast<rlim_t>(o.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  if (o.memoryMB > 0 && !kSanitized) {
    rlimit lim{static_cast<rlim_t>(o.memoryMB) << 20, static_cast<rlim_t>(o.memoryMB) << 20};
    setrlimit(RLIMIT_AS, &lim);
  }
  if (o.cpuSeconds > 0) {
    rlimit lim{static_cast<rlim_t>(o.cpuSeconds), static_cast<rlim_t>(o.cpuSeconds)};
    setrlimit(RLIMIT_CPU, &lim);
  }
  if (o.stackKB > 0) {
    rlimit lim{static_cast<rlim_t>(o.stackKB) << 10, static_cast<rlim_t>(o.stackKB) << 10};
    setrlimit(RLIMIT_STACK, &lim);
  }
  for (const std::string& e : o.env) putenv(const_cast<char*>(e.c_str()));
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
  if (o.asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
  std::vector<char*> argv{const_cast<char*>(o.exe.c_str())};
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(o.exe.c_str(), argv.data());
  _exit(127);
}

inline Result RunTool(const std::vector<std::string>& args, const RunOptions& o = {}) {
  Result r;
  int status = 0;
  if (o.terminal) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) ExecChild(args, o);
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
    close(master);
    waitpid(pid, &status, 0);
  } else {
    char outName[] = "/tmp/thmexport_out_XXXXXX", errName[] = "/tmp/thmexport_err_XXXXXX";
    int outFd = mkstemp(outName), errFd = mkstemp(errName);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(outFd, 1);
      dup2(errFd, 2);
      ExecChild(args, o);
    }
    waitpid(pid, &status, 0);
    close(outFd);
    close(errFd);
    r.out = Slurp(outName);
    r.err = Slurp(errName);
    unlink(outName);
    unlink(errName);
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace tools_test
