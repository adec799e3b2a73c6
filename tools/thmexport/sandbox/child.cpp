#include "tools/thmexport/sandbox/child.h"

#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "tools/thmexport/sandbox/confine_reads.h"

namespace sandbox {

namespace {

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

}  // namespace

size_t EffectiveMemoryMB(const Limits& limits) {
  if (!kAddressSpaceLimit) return 0;
  rlimit r{};
  if (getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_max == RLIM_INFINITY) return limits.memoryMB;
  const size_t inherited = static_cast<size_t>(r.rlim_max >> 20);
  return limits.memoryMB ? std::min(limits.memoryMB, inherited) : inherited;
}

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

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SendFrameHead(int fd, uint64_t length) {
  char head[8];
  for (char& c : head) {
    c = static_cast<char>(length & 0xFF);
    length >>= 8;
  }
  return WriteAll(fd, std::string_view(head, 8));
}

bool SendFrame(int fd, std::string_view payload) {
  return SendFrameHead(fd, payload.size()) && WriteAll(fd, payload);
}

Limits DefaultLimits() {
  Limits l;
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && size > 0)
    l.memoryMB = static_cast<size_t>(double(pages) * double(size) * 0.75 / (1 << 20));
  l.seconds = 600;
  return l;
}

void Confine(const Limits& limits, int pipeFd, const std::vector<std::string>& readable) {
  // Nothing to write to but the pipe: standard output and error lead nowhere,
  // and no other descriptor this process inherited stays open (a batch
  // worker's own pipe among them).
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  if (pipeFd > STDERR_FILENO + 1) close_range(STDERR_FILENO + 1, static_cast<unsigned>(pipeFd) - 1, 0);
  close_range(static_cast<unsigned>(pipeFd) + 1, ~0u, 0);
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
  // Reading beneath the allowed folders only, where the kernel can hold it.
  if (!readable.empty()) ConfineReads(readable);

  // Anything not allowed fails with EPERM rather than killing: a parser that
  // asks for more than it needs then fails as if the file were unreadable.
  scmp_filter_ctx f = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (!f) _exit(kCannotConfine);
  for (int call : {SCMP_SYS(read),
                   SCMP_SYS(pread64),
                   SCMP_SYS(readv),
                   SCMP_SYS(lseek),
                   SCMP_SYS(fstat),
                   SCMP_SYS(newfstatat),
                   SCMP_SYS(statx),
                   SCMP_SYS(close),
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
  // Descriptors may be asked about and set, not duplicated: no descriptor
  // number can be made to stand for another.
  for (int cmd : {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_GETLK, F_SETLK, F_SETLKW, F_OFD_GETLK, F_OFD_SETLK,
                  F_OFD_SETLKW, F_GETPIPE_SZ})
    seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1,
                     Arg(1, SCMP_CMP_EQ, static_cast<scmp_datum_t>(cmd), 0));
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
  const int loaded = seccomp_load(f);
  seccomp_release(f);
  if (loaded != 0) _exit(kCannotConfine);
}

std::string Describe(const Ending& e, double seconds, size_t memoryMB, std::string_view exitVerb) {
  if (e.timedOut) return "took longer than " + std::to_string(static_cast<long>(seconds)) + " s";
  if (e.signal) return "crashed (" + SignalText(e.signal) + ")";
  if (e.exitCode == kCannotConfine) return "could not be confined (the system refused its limits)";
  if (e.exitCode == kOutOfMemory)
    return "ran out of memory" + (memoryMB ? " (limit " + std::to_string(memoryMB) + " MB)" : std::string());
  if (e.exitCode) return std::string(exitVerb) + " (exit status " + std::to_string(e.exitCode) + ")";
  return {};
}

// ---- Child ----------------------------------------------------------------------

Child::Child(Child&& o) noexcept {
  *this = std::move(o);
}

Child& Child::operator=(Child&& o) noexcept {
  if (this != &o) {
    if (Started()) {
      Kill();
      Wait(Clock::now());
    }
    Close();
    pid_ = std::exchange(o.pid_, -1);
    fd_ = std::exchange(o.fd_, -1);
    buffer_ = std::move(o.buffer_);
    taken_ = std::exchange(o.taken_, 0);
    reserveLimit_ = o.reserveLimit_;
    maxFrame_ = o.maxFrame_;
    single_ = o.single_;
    fault_ = std::move(o.fault_);
    killed_ = o.killed_;
  }
  return *this;
}

Child::~Child() {
  if (Started()) {
    Kill();
    Wait(Clock::now());
  }
  Close();
}

void Child::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Child Child::Start(const std::function<void(int fd)>& body, std::string* error) {
  Child c;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return c;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return c;
  }
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    _exit(127);
  }
  close(fds[1]);
  c.pid_ = pid;
  c.fd_ = fds[0];
  return c;
}

namespace {

uint64_t LengthAt(const std::string& b, size_t at) {
  uint64_t length = 0;
  for (int k = 7; k >= 0; --k) length = length << 8 | static_cast<uint8_t>(b[at + size_t(k)]);
  return length;
}

}  // namespace

Child::PumpResult Child::ReadSome() {
  if (!fault_.empty()) return kFault;
  if (fd_ < 0) return kClosed;
  char buf[1 << 16];
  ssize_t n;
  do {
    n = read(fd_, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    Close();
    return kClosed;
  }
  const size_t had = buffer_.size() - taken_;
  buffer_.append(buf, static_cast<size_t>(n));
  // Every frame head that has arrived, checked before its bytes are waited for.
  size_t at = taken_;
  while (buffer_.size() - at >= 8) {
    const uint64_t length = LengthAt(buffer_, at);
    if (length > maxFrame_) {
      fault_ = "announced " + std::to_string(length) + " bytes, more than the " + std::to_string(maxFrame_) +
               " it may send";
    } else if (single_ && buffer_.size() - at - 8 > length) {
      fault_ = "sent more than the " + std::to_string(length) + " bytes it announced";
    } else if (at == taken_ && had < 8 && reserveLimit_) {
      // The head has just arrived: room for the frame at once, as far as it is believed.
      buffer_.reserve(taken_ + 8 + std::min(length, reserveLimit_));
    }
    if (!fault_.empty()) {
      Close();
      return kFault;
    }
    if (buffer_.size() - at - 8 < length) break;
    at += 8 + length;
  }
  return kMore;
}

Child::PumpResult Child::Pump(Clock::time_point deadline) {
  for (;;) {
    if (fd_ < 0) return kClosed;
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return kTimedOut;
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min(left * 1000.0, 1e9)) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    return ReadSome();
  }
}

std::optional<std::string> Child::NextFrame() {
  if (!fault_.empty() || buffer_.size() - taken_ < 8) return std::nullopt;
  const uint64_t length = LengthAt(buffer_, taken_);
  if (buffer_.size() - taken_ - 8 < length) return std::nullopt;
  std::string frame;
  if (taken_ == 0 && buffer_.size() == 8 + length) {
    // The whole buffer is the frame (an import's one answer): no copy.
    frame = std::move(buffer_);
    frame.erase(0, 8);
    buffer_.clear();
  } else {
    frame = buffer_.substr(taken_ + 8, length);
    taken_ += 8 + length;
    if (taken_ == buffer_.size()) {
      buffer_.clear();
      taken_ = 0;
    }
  }
  return frame;
}

void Child::Kill() {
  if (!Started()) return;
  kill(pid_, SIGKILL);
  killed_ = true;
}

Ending Child::Wait(Clock::time_point deadline) {
  Ending e;
  if (!Started()) return e;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, killed_ ? 0 : WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) {
      status = 0;
      break;
    }
    if (r == 0) {
      if (Clock::now() >= deadline) {
        Kill();
        continue;
      }
      usleep(1000);
    }
  }
  pid_ = -1;
  Close();
  if (WIFSIGNALED(status)) {
    e.signal = WTERMSIG(status);
    e.timedOut = killed_ || e.signal == SIGXCPU;
  } else if (WIFEXITED(status)) {
    e.exitCode = WEXITSTATUS(status);
  }
  return e;
}

}  // namespace sandbox
