#include "tools/thmexport/isolate.h"

#include <unistd.h>

#include <new>

#include "import/inspect.h"
#include "tools/thmexport/list.h"
#include "tools/thmexport/sandbox/wire.h"

namespace thmexport {

namespace {

// The child's exit code besides 0 and sandbox::kOutOfMemory.
constexpr int kCannotWrite = 4;

enum Envelope : uint8_t { kScene = 0, kError = 1 };

// Writes in the child what `work` makes of the input, as one frame.
template <class Work>
[[noreturn]] void RunChild(const std::string& path, const Limits& limits, int fd, Work work) {
  sandbox::Confine(limits, fd);
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
    _exit(sandbox::kOutOfMemory);
  } catch (const std::exception& e) {
    out.clear();
    w.U8(kError);
    w.Str(path + ": " + e.what());
  }
  _exit(sandbox::SendFrame(fd, out) ? 0 : kCannotWrite);
}

// Runs `work` in a confined child; the envelope's bytes, or the error line.
template <class Work>
std::string RunIsolated(const std::string& path, const Limits& limits, Work work, std::string* error) {
  std::string why;
  sandbox::Child child = sandbox::Child::Start([&](int fd) { RunChild(path, limits, fd, work); }, &why);
  if (!child.Started()) {
    *error = "thmexport: cannot start the importer for " + path + ": " + why;
    return {};
  }
  // No more than the child could have held.
  const size_t mb = sandbox::EffectiveMemoryMB(limits);
  child.ReserveUpTo(mb ? uint64_t(mb) << 20 : 0);
  // Read until the child closes the pipe, or until its time is up.
  const auto deadline =
      sandbox::Clock::now() + std::chrono::duration_cast<sandbox::Clock::duration>(
                                  std::chrono::duration<double>(limits.seconds > 0 ? limits.seconds : 1e9));
  sandbox::Child::PumpResult r;
  while ((r = child.Pump(deadline)) == sandbox::Child::kMore) {
  }
  if (r == sandbox::Child::kTimedOut) child.Kill();
  std::optional<std::string> answer = child.NextFrame();
  const bool whole = answer && child.Pending() == 0;
  const sandbox::Ending end = child.Wait(deadline);
  const std::string how = sandbox::Describe(end, limits.seconds, mb, "failed");
  if (!how.empty())
    *error = "thmexport: the importer " + how + " reading " + path;
  else if (!whole)
    *error = "thmexport: the importer's answer for " + path + " was cut short";
  if (!error->empty()) return {};
  return std::move(*answer);
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
