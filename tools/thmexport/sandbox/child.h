// Child processes that run apart from thmexport: the import child (a model
// read by a third-party parser) and the batch workers (one export each). One
// component starts them, confines them, carries their frames back and says
// how they ended.
//
//   std::string error;
//   sandbox::Child c = sandbox::Child::Start([&](int fd) { ...; _exit(0); }, &error);
//   while (c.Pump(deadline) == sandbox::Child::kMore) {}
//   std::optional<std::string> answer = c.NextFrame();
//   sandbox::Ending end = c.Wait(deadline);
//
// A frame is an 8-byte little-endian length, then that many bytes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

using Clock = std::chrono::steady_clock;

struct Limits {
  size_t memoryMB = 0;  // 0: none
  double seconds = 0;   // 0: none
};

// The limits thmexport applies unless told otherwise: three quarters of the
// machine's memory, ten minutes.
Limits DefaultLimits();

// The memory limit a child gets: ours, or the one this process was started
// under when that is lower (a child cannot raise it). 0 in sanitizer builds,
// which reserve terabytes of address space up front.
size_t EffectiveMemoryMB(const Limits& limits);

// Applies the memory limit to this process (a batch worker); nothing in
// sanitizer builds. Returns the limit applied in MB, 0 for none.
size_t LimitMemory(const Limits& limits);

// The limits and the system-call filter of a child process that only reads
// files and writes to `pipeFd`, every other inherited descriptor closed;
// with `readable` folders, the kernel lets it read beneath those only
// (confine_reads.h). Ends the process (kCannotConfine) where the filter cannot
// be loaded.
void Confine(const Limits& limits, int pipeFd, const std::vector<std::string>& readable = {});

// Writes all of `bytes` to a descriptor, through interruptions; false when it cannot.
bool WriteAll(int fd, std::string_view bytes);

// Writes `payload` as one frame; false when the pipe is gone.
bool SendFrame(int fd, std::string_view payload);
// Writes the head of a frame of `length` bytes, which the caller then writes.
bool SendFrameHead(int fd, uint64_t length);

// "signal 11: Segmentation fault".
std::string SignalText(int sig);

// The exit statuses a child uses when it ran out of memory, and when it
// could not be confined.
constexpr int kOutOfMemory = 3;
constexpr int kCannotConfine = 5;

// How a child ended.
struct Ending {
  bool timedOut = false;  // killed at its deadline, or by the CPU-time limit
  int signal = 0;         // the signal that ended it otherwise; 0 when it exited
  int exitCode = 0;

  bool Clean() const { return !timedOut && signal == 0 && exitCode == 0; }
};

// How it ended, in words that follow "the importer " or "the export ":
// "took longer than 5 s", "crashed (signal 11: Segmentation fault)", "ran out
// of memory (limit 512 MB)" (the limit left out when `memoryMB` is 0), or
// `exitVerb` and the status, "failed (exit status 4)". Empty for a clean exit.
std::string Describe(const Ending& e, double seconds, size_t memoryMB, std::string_view exitVerb);

class Child {
 public:
  enum PumpResult { kMore, kClosed, kTimedOut, kFault };

  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Kills and reaps a child still running.
  ~Child();

  // Forks a child that runs `body` with the write end of its pipe; `body`
  // ends the process itself (_exit) and never returns. On failure the child
  // is not started and *error holds the system's reason.
  static Child Start(const std::function<void(int fd)>& body, std::string* error);

  bool Started() const { return pid_ > 0; }
  int fd() const { return fd_; }
  pid_t pid() const { return pid_; }

  // What the child may send: frames of at most `maxBytes`, and with `single`
  // one frame and nothing after it. Anything else is a fault: reading stops
  // there, and Fault() says what it was.
  void LimitFrames(uint64_t maxBytes, bool single) {
    maxFrame_ = maxBytes;
    single_ = single;
  }
  // Room made at once for a frame as it announces itself, up to this much
  // (0: never ahead of the bytes).
  void ReserveUpTo(uint64_t bytes) { reserveLimit_ = bytes; }

  // Reads what the pipe holds now, waiting for it until `deadline` at the
  // longest: kMore, kClosed at the end of the stream, kTimedOut, kFault.
  PumpResult Pump(Clock::time_point deadline);
  // Reads once without waiting (the pipe was reported readable): kMore, kClosed or kFault.
  PumpResult ReadSome();
  const std::string& Fault() const { return fault_; }

  // The next whole frame that has arrived, if any.
  std::optional<std::string> NextFrame();
  // Bytes read that are not a whole frame.
  size_t Pending() const { return buffer_.size() - taken_; }

  void Kill();
  // Reaps the child, killing it if it has not ended by `deadline`.
  Ending Wait(Clock::time_point deadline);

 private:
  void Close();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  size_t taken_ = 0;  // bytes of buffer_ already handed out as frames
  uint64_t reserveLimit_ = 0;
  uint64_t maxFrame_ = UINT64_MAX;
  bool single_ = false;
  std::string fault_;
  bool killed_ = false;
};

}  // namespace sandbox
