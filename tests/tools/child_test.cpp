// The child component both the import and the batch workers run on: frames
// across the pipe whatever their sizes, deadlines on reading and on reaping,
// and one wording of how a child ended.
#include "tools/thmexport/sandbox/child.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/omni_scene.h"
#include "tools/thmexport/sandbox/wire.h"

namespace {

using sandbox::Child;
using sandbox::Clock;
using namespace std::chrono_literals;

std::vector<std::string> AllFrames(Child& c, Clock::time_point deadline) {
  std::vector<std::string> out;
  for (;;) {
    const Child::PumpResult r = c.Pump(deadline);
    while (auto f = c.NextFrame()) out.push_back(std::move(*f));
    if (r != Child::kMore) break;
  }
  return out;
}

TEST(Child, FramesOfEverySizeArriveWholeAndInOrder) {
  // Empty, small, one byte past a pipe's buffer, and several pipe buffers long.
  const std::vector<size_t> sizes = {0, 1, 7, 8, 9, 65536, 65537, 300000};
  std::string why;
  Child c = Child::Start(
      [&](int fd) {
        for (size_t n : sizes) {
          std::string payload(n, '\0');
          for (size_t i = 0; i < n; ++i) payload[i] = static_cast<char>(i * 31 + n);
          if (!sandbox::SendFrame(fd, payload)) _exit(9);
        }
        _exit(0);
      },
      &why);
  ASSERT_TRUE(c.Started()) << why;
  c.ReserveUpTo(1 << 20);
  const std::vector<std::string> frames = AllFrames(c, Clock::now() + 20s);
  ASSERT_EQ(frames.size(), sizes.size());
  for (size_t k = 0; k < sizes.size(); ++k) {
    ASSERT_EQ(frames[k].size(), sizes[k]);
    for (size_t i = 0; i < sizes[k]; ++i) ASSERT_EQ(frames[k][i], static_cast<char>(i * 31 + sizes[k]));
  }
  EXPECT_EQ(c.Pending(), 0u);
  EXPECT_TRUE(c.Wait(Clock::now() + 5s).Clean());
}

// A scene counted, streamed through a child's pipe and appended to a string:
// one size and the same bytes, a mesh long enough to go out in several pieces
// among small fields.
TEST(Child, AStreamedSceneIsTheSceneWrittenWhole) {
  scene::Scene s;
  tarntest::BuildOmniScene(s);
  auto& obj = s.Make<scene::MeshObject>();
  for (int i = 0; i < 30000; ++i) {
    obj.mesh.verts.push_back(Point3(float(i), float(i % 7), 0.5f));
    Face f;
    f.v[0] = i, f.v[1] = (i + 1) % 30000, f.v[2] = (i + 2) % 30000;
    f.smGroup = uint32_t(i) * 2654435761u;
    f.setMatID(uint16_t(i % 3));
    obj.mesh.faces.push_back(f);
  }
  s.AddNode("Strip").SetObject(&obj);
  // Arrays shorter than the buffer that fill it in turn.
  for (int k = 0; k < 3; ++k) {
    auto& part = s.Make<scene::MeshObject>();
    part.mesh.verts.assign(size_t(3000 + 500 * k), Point3(float(k), 1, 2));
    s.AddNode("Part" + std::to_string(k)).SetObject(&part);
  }
  std::string whole;
  sandbox::WriteScene(s, whole);
  sandbox::WireOut count = sandbox::WireOut::Counting();
  sandbox::WriteScene(s, count);
  EXPECT_EQ(count.Size(), whole.size());

  std::string why;
  Child c = Child::Start(
      [&](int fd) {
        sandbox::WireOut w = sandbox::WireOut::Streaming(
            [fd](std::string_view bytes) { return sandbox::WriteAll(fd, bytes); });
        if (!sandbox::SendFrameHead(fd, count.Size())) _exit(9);
        sandbox::WriteScene(s, w);
        _exit(w.Flush() ? 0 : 9);
      },
      &why);
  ASSERT_TRUE(c.Started()) << why;
  c.ReserveUpTo(1 << 20);
  const std::vector<std::string> frames = AllFrames(c, Clock::now() + 20s);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0] == whole);
  EXPECT_TRUE(c.Wait(Clock::now() + 5s).Clean());
}

TEST(Child, AFrameCutShortIsNeverHandedOut) {
  std::string why;
  Child c = Child::Start(
      [](int fd) {
        // The head announces 100 bytes; 10 follow.
        const char head[8] = {100, 0, 0, 0, 0, 0, 0, 0};
        sandbox::WriteAll(fd, std::string_view(head, 8));
        sandbox::WriteAll(fd, std::string(10, 'x'));
        _exit(0);
      },
      &why);
  ASSERT_TRUE(c.Started()) << why;
  EXPECT_TRUE(AllFrames(c, Clock::now() + 20s).empty());
  EXPECT_EQ(c.Pending(), 18u);
  EXPECT_TRUE(c.Wait(Clock::now() + 5s).Clean());
}

TEST(Child, DeadlinesHoldForReadingAndForReaping) {
  std::string why;
  // Silent, holding its pipe open: the read ends at the deadline.
  Child quiet = Child::Start(
      [](int) {
        pause();
        _exit(0);
      },
      &why);
  ASSERT_TRUE(quiet.Started()) << why;
  const auto t0 = Clock::now();
  EXPECT_EQ(quiet.Pump(t0 + 200ms), Child::kTimedOut);
  quiet.Kill();
  sandbox::Ending e = quiet.Wait(Clock::now());
  EXPECT_TRUE(e.timedOut);
  EXPECT_EQ(sandbox::Describe(e, 1, 0, "failed"), "took longer than 1 s");

  // Closes its pipe, then lingers: reaping kills it at the deadline.
  Child lingering = Child::Start(
      [](int fd) {
        close(fd);
        pause();
        _exit(0);
      },
      &why);
  ASSERT_TRUE(lingering.Started()) << why;
  EXPECT_EQ(lingering.Pump(Clock::now() + 10s), Child::kClosed);
  e = lingering.Wait(Clock::now() + 200ms);
  EXPECT_TRUE(e.timedOut);
  EXPECT_LT(Clock::now() - t0, 10s);
}

TEST(Child, EveryEndingIsWordedOnce) {
  auto end = [](auto body) {
    std::string why;
    Child c = Child::Start(body, &why);
    EXPECT_TRUE(c.Started()) << why;
    while (c.Pump(Clock::now() + 20s) == Child::kMore) {
    }
    return c.Wait(Clock::now() + 20s);
  };
  // The default action, past any sanitizer's handler, and no core file.
  const sandbox::Ending crashed = end([](int) {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    _exit(0);
  });
  EXPECT_EQ(sandbox::Describe(crashed, 5, 64, "failed"), "crashed (signal 11: Segmentation fault)");
  const sandbox::Ending oom = end([](int) { _exit(sandbox::kOutOfMemory); });
  EXPECT_EQ(sandbox::Describe(oom, 5, 64, "failed"), "ran out of memory (limit 64 MB)");
  EXPECT_EQ(sandbox::Describe(oom, 5, 0, "failed"), "ran out of memory");
  const sandbox::Ending status = end([](int) { _exit(4); });
  EXPECT_EQ(sandbox::Describe(status, 5, 64, "failed"), "failed (exit status 4)");
  EXPECT_EQ(sandbox::Describe(status, 5, 64, "ended"), "ended (exit status 4)");
  const sandbox::Ending clean = end([](int) { _exit(0); });
  EXPECT_TRUE(clean.Clean());
  EXPECT_EQ(sandbox::Describe(clean, 5, 64, "failed"), "");
}

}  // namespace
