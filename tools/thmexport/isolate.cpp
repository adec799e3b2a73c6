#include "tools/thmexport/isolate.h"

#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "import/inspect.h"
#include "tools/thmexport/list.h"
#include "tools/thmexport/sandbox/wire.h"

namespace thmexport {

namespace {

// The child's exit codes besides 0.
constexpr int kOutOfMemory = 3;
constexpr int kCannotWrite = 4;

enum Envelope : uint8_t { kScene = 0, kError = 1 };

// Writes in the child what `work` makes of the input, as an envelope.
template <class Work>
[[noreturn]] void RunChild(const std::string& path, const Limits& limits, int fd, Work work) {
  Confine(limits, fd);
  std::string out;
  sandbox::WireOut w(out);
  try {
    w.U8(kScene);
    work(out);
  } catch (const scene::ImportError& e) {
    out.clear();
    w.U8(kError);
    w.Str(e.what());
  } catch (const std::bad_alloc&) {
    _exit(kOutOfMemory);
  } catch (const std::exception& e) {
    out.clear();
    w.U8(kError);
    w.Str(path + ": " + e.what());
  }
  // The length first, so that the reader can make room once.
  const uint64_t length = out.size();
  const std::string head(reinterpret_cast<const char*>(&length), 8);
  _exit(WriteAll(fd, head) && WriteAll(fd, out) ? 0 : kCannotWrite);
}

scmp_arg_cmp Arg(unsigned arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b) {
  return scmp_arg_cmp{arg, op, a, b};
}

// Sanitizer builds (for our tests) loosen the confinement: AddressSanitizer
// reserves terabytes of address space up front, so an address-space limit
// would refuse every allocation, and the sanitizers probe memory by writing
// it to a pipe of their own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
constexpr bool kAddressSpaceLimit = !kSanitized;

// The memory limit a child gets: ours, or the one this process was started
// under when that is lower (a child cannot raise it).
size_t EffectiveMemoryMB(const Limits& limits) {
  if (!kAddressSpaceLimit) return 0;
  rlimit r{};
  if (getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_max == RLIM_INFINITY) return limits.memoryMB;
  const size_t inherited = static_cast<size_t>(r.rlim_max >> 20);
  return limits.memoryMB ? std::min(limits.memoryMB, inherited) : inherited;
}

}  // namespace

std::string SignalText(int sig) {
  const char* name = strsignal(sig);
  return "signal " + std::to_string(sig) + (name ? std::string(": ") + name : "");
}

size_t LimitMemory(const Limits& limits) {
  const size_t mb = EffectiveMemoryMB(limits);
  if (!mb) return 0;
  const rlim_t v = static_cast<rlim_t>(mb) << 20;
  rlimit r{v, v};
  return setrlimit(RLIMIT_AS, &r) == 0 ? mb : 0;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

Limits DefaultLimits() {
  Limits l;
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && size > 0)
    l.memoryMB = static_cast<size_t>(double(pages) * double(size) * 0.75 / (1 << 20));
  l.seconds = 600;
  return l;
}

void Confine(const Limits& limits, int pipeFd) {
  // Nothing to write to but the pipe: standard output and error lead nowhere.
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  auto limit = [](int what, rlim_t v) {
    rlimit r{};
    if (getrlimit(what, &r) == 0 && r.rlim_max != RLIM_INFINITY) v = std::min(v, r.rlim_max);
    r = {v, v};
    setrlimit(what, &r);
  };
  if (const size_t mb = EffectiveMemoryMB(limits)) limit(RLIMIT_AS, static_cast<rlim_t>(mb) << 20);
  if (limits.seconds > 0) limit(RLIMIT_CPU, static_cast<rlim_t>(limits.seconds) + 1);
  limit(RLIMIT_FSIZE, 0);
  limit(RLIMIT_CORE, 0);
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

  // Anything not allowed fails with EPERM rather than killing: a parser that
  // asks for more than it needs then fails as if the file were unreadable.
  scmp_filter_ctx f = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (!f) return;
  for (int call : {SCMP_SYS(read),
                   SCMP_SYS(pread64),
                   SCMP_SYS(readv),
                   SCMP_SYS(lseek),
                   SCMP_SYS(fstat),
                   SCMP_SYS(newfstatat),
                   SCMP_SYS(statx),
                   SCMP_SYS(close),
                   SCMP_SYS(fcntl),
                   SCMP_SYS(getdents64),
                   SCMP_SYS(readlink),
                   SCMP_SYS(readlinkat),
                   SCMP_SYS(faccessat),
                   SCMP_SYS(faccessat2),
                   SCMP_SYS(access),
                   SCMP_SYS(getcwd),
                   SCMP_SYS(mmap),
                   SCMP_SYS(munmap),
                   SCMP_SYS(mremap),
                   SCMP_SYS(mprotect),
                   SCMP_SYS(madvise),
                   SCMP_SYS(brk),
                   SCMP_SYS(futex),
                   SCMP_SYS(getrandom),
                   SCMP_SYS(clock_gettime),
                   SCMP_SYS(gettimeofday),
                   SCMP_SYS(getpid),
                   SCMP_SYS(gettid),
                   SCMP_SYS(rt_sigaction),
                   SCMP_SYS(rt_sigprocmask),
                   SCMP_SYS(rt_sigreturn),
                   SCMP_SYS(sigaltstack),
                   SCMP_SYS(sched_yield),
                   SCMP_SYS(prlimit64),
                   SCMP_SYS(exit),
                   SCMP_SYS(exit_group),
                   SCMP_SYS(restart_syscall),
                   SCMP_SYS(tgkill),
                   SCMP_SYS(set_robust_list),
                   SCMP_SYS(rseq),
                   SCMP_SYS(sched_getaffinity),
                   SCMP_SYS(nanosleep),
                   SCMP_SYS(clock_nanosleep)})
    seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
  // Files for reading only.
  const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
  seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, Arg(2, SCMP_CMP_MASKED_EQ, writing, 0));
  seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(open), 1, Arg(1, SCMP_CMP_MASKED_EQ, writing, 0));
  if (kSanitized) {
    seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(pipe2), 0);
    seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(write), 0);
  }
  // Writes to the pipe only.
  seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(write), 1,
                   Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(pipeFd), 0));
  seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(writev), 1,
                   Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(pipeFd), 0));
  // Threads, but no new processes; glibc asks clone3 first and falls back on ENOSYS.
  seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                   Arg(0, SCMP_CMP_MASKED_EQ, static_cast<scmp_datum_t>(CLONE_THREAD), CLONE_THREAD));
  seccomp_rule_add(f, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
  seccomp_load(f);
  seccomp_release(f);
}

namespace {

// Runs `work` in a confined child; the envelope's bytes, or the error line.
template <class Work>
std::string RunIsolated(const std::string& path, const Limits& limits, Work work, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = "thmexport: cannot start the importer for " + path + ": " + std::strerror(errno);
    return {};
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    *error = "thmexport: cannot start the importer for " + path + ": " + std::strerror(errno);
    return {};
  }
  if (child == 0) {
    close(fds[0]);
    RunChild(path, limits, fds[1], work);
  }
  close(fds[1]);
  // Read until the child closes the pipe, or until its time is up.
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::duration<double>(limits.seconds > 0 ? limits.seconds : 1e9);
  std::string bytes;
  bool timedOut = false;
  char buf[1 << 16];
  uint64_t expected = 0;
  bool sized = false;
  for (;;) {
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min(left * 1000.0, 1e9)) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
    if (!sized && bytes.size() >= 8) {
      sized = true;
      std::memcpy(&expected, bytes.data(), 8);
      // No more than the child could have held.
      if (const size_t mb = EffectiveMemoryMB(limits); mb == 0 || expected <= (uint64_t(mb) << 20))
        bytes.reserve(8 + expected);
    }
  }
  close(fds[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  std::string& err = *error;
  const std::string reading = " reading " + path;
  if (timedOut || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)) {
    err = "thmexport: the importer took longer than " + std::to_string(static_cast<long>(limits.seconds)) +
          " s" + reading;
  } else if (WIFSIGNALED(status)) {
    err = "thmexport: the importer crashed (" + SignalText(WTERMSIG(status)) + ")" + reading;
  } else if (WEXITSTATUS(status) == kOutOfMemory) {
    const size_t mb = EffectiveMemoryMB(limits);
    err = "thmexport: the importer ran out of memory" + (mb ? " (limit " + std::to_string(mb) + " MB)" : "") +
          reading;
  } else if (WEXITSTATUS(status) != 0) {
    err =
        "thmexport: the importer failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")" + reading;
  }
  if (err.empty() && (!sized || bytes.size() != 8 + expected))
    err = "thmexport: the importer's answer for " + path + " was cut short";
  if (!err.empty()) return {};
  bytes.erase(0, 8);
  return bytes;
}

}  // namespace

IsolatedImport ImportIsolated(const std::string& path, const scene::ImportOptions& options,
                              const Limits& limits) {
  IsolatedImport result;
  const std::string bytes = RunIsolated(
      path, limits,
      [&](std::string& out) {
        scene::Imported in = scene::ImportModel(path, options);
        sandbox::WireOut w(out);
        w.U32(static_cast<uint32_t>(in.warnings.size()));
        for (const std::string& s : in.warnings) w.Str(s);
        w.U32(static_cast<uint32_t>(in.textures.size()));
        for (const auto& t : in.textures) {
          w.Str(t.name);
          w.Str(t.bytes);
        }
        w.U32(static_cast<uint32_t>(in.files.size()));
        for (const std::string& f : in.files) w.Str(f);
        sandbox::WriteScene(*in.scene, out);
      },
      &result.error);
  if (!result.error.empty()) return result;

  // The scene comes from a process that read hostile bytes: check it all.
  try {
    size_t at = 0;
    sandbox::WireIn r(bytes, at);
    const uint8_t kind = r.U8();
    if (kind == kError) {
      result.error = r.Str();
      return result;
    }
    if (kind != kScene) r.Fail("unknown envelope");
    scene::Imported& in = result.imported;
    in.warnings.resize(r.Count(4));
    for (std::string& s : in.warnings) s = r.Str();
    in.textures.resize(r.Count(8));
    for (auto& t : in.textures) {
      t.name = r.Str();
      t.bytes = r.Str();
    }
    in.files.resize(r.Count(4));
    for (std::string& f : in.files) f = r.Str();
    in.scene = sandbox::ReadScene(bytes, at);
    if (at != bytes.size()) r.Fail("bytes after the scene");
  } catch (const sandbox::WireError& e) {
    result = IsolatedImport{};
    result.error = "thmexport: the importer's answer for " + path + " is damaged (" + e.what() + ")";
  }
  return result;
}

}  // namespace thmexport

namespace thmexport {

std::string SummarizeIsolated(const std::string& path, const Limits& limits, std::string* error) {
  const std::string bytes = RunIsolated(
      path, limits,
      [&](std::string& out) { sandbox::WireOut(out).Str(FormatSummary(scene::Summarize(path))); }, error);
  if (!error->empty()) return {};
  try {
    size_t at = 0;
    sandbox::WireIn r(bytes, at);
    const uint8_t kind = r.U8();
    if (kind == kError) {
      *error = r.Str();
      return {};
    }
    if (kind != kScene) r.Fail("unknown envelope");
    return r.Str();
  } catch (const sandbox::WireError& e) {
    *error = "thmexport: the importer's answer for " + path + " is damaged (" + e.what() + ")";
    return {};
  }
}

}  // namespace thmexport
