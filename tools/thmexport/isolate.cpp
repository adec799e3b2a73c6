#include "tools/thmexport/isolate.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

#include "import/reach.h"
#include "import/summary.h"
#include "tools/thmexport/list.h"
#include "tools/thmexport/paths.h"
#include "tools/thmexport/sandbox/wire.h"

namespace thmexport {

namespace {

// The child's exit code besides 0 and sandbox::kOutOfMemory.
constexpr int kCannotWrite = 4;

// Warnings, textures and files read an answer may list, each.
constexpr size_t kMaxListed = 100000;

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

enum Envelope : uint8_t { kScene = 0, kError = 1 };

// An import's answer after its envelope byte: warnings, textures, files read, the scene.
void WriteAnswer(const scene::Imported& in, sandbox::WireOut& w) {
  w.U32(static_cast<uint32_t>(in.warnings.size()));
  for (const std::string& s : in.warnings) w.Str(s);
  w.U32(static_cast<uint32_t>(in.textures.size()));
  for (const auto& t : in.textures) {
    w.Str(t.name);
    w.Str(t.bytes);
  }
  w.U32(static_cast<uint32_t>(in.files.size()));
  for (const std::string& f : in.files) w.Str(f);
  sandbox::WriteScene(*in.scene, w);
}

// What the child sends after the envelope byte, written once to count it and
// once to send it.
using AnswerWriter = std::function<void(sandbox::WireOut&)>;

// Sends in the child, as one frame, the answer `work` makes of the input:
// counted first, so that anything the wire refuses fails before a byte is
// sent, then streamed from where the scene lies.
template <class Work>
[[noreturn]] void RunChild(const std::string& path, const Limits& limits,
                           const std::vector<std::string>& readable, int fd, Work work) {
  sandbox::Confine(limits, fd, readable);
  std::string error;
  try {
    const AnswerWriter answer = work();
    sandbox::WireOut count = sandbox::WireOut::Counting();
    count.U8(kScene);
    answer(count);
    if (!sandbox::SendFrameHead(fd, count.Size())) _exit(kCannotWrite);
    sandbox::WireOut stream =
        sandbox::WireOut::Streaming([fd](std::string_view bytes) { return sandbox::WriteAll(fd, bytes); });
    stream.U8(kScene);
    answer(stream);
    _exit(stream.Flush() && stream.Size() == count.Size() ? 0 : kCannotWrite);
  } catch (const scene::ImportError& e) {
    error = e.what();
  } catch (const std::bad_alloc&) {
    _exit(sandbox::kOutOfMemory);
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
  }
  std::string out;
  sandbox::WireOut w(out);
  w.U8(kError);
  w.Str(error);
  _exit(sandbox::SendFrame(fd, out) ? 0 : kCannotWrite);
}

// Runs `work` in a confined child; the envelope's bytes, or the error line.
template <class Work>
std::string RunIsolated(const std::string& path, const Limits& limits,
                        const std::vector<std::string>& allowPaths, Work work, std::string* error) {
  const std::vector<std::string> readable = scene::ReadableFolders(path, allowPaths);
  std::string why;
  sandbox::Child child =
      sandbox::Child::Start([&](int fd) { RunChild(path, limits, readable, fd, work); }, &why);
  if (!child.Started()) {
    *error = "thmexport: cannot start the importer for " + path + ": " + why;
    return {};
  }
  // One answer of bounded size; room made at once for what the child could have held.
  child.LimitFrames(kMaxAnswerBytes, true);
  const size_t mb = sandbox::EffectiveMemoryMB(limits);
  child.ReserveUpTo(std::min<uint64_t>(mb ? uint64_t(mb) << 20 : kMaxAnswerBytes, uint64_t(1) << 28));
  // Read until the child closes the pipe, or until its time is up.
  const auto deadline =
      sandbox::Clock::now() + std::chrono::duration_cast<sandbox::Clock::duration>(
                                  std::chrono::duration<double>(limits.seconds > 0 ? limits.seconds : 1e9));
  sandbox::Child::PumpResult r;
  while ((r = child.Pump(deadline)) == sandbox::Child::kMore) {
  }
  if (r == sandbox::Child::kTimedOut || r == sandbox::Child::kFault) child.Kill();
  std::optional<std::string> answer = child.NextFrame();
  const bool whole = answer && child.Pending() == 0;
  const sandbox::Ending end = child.Wait(deadline);
  const std::string how = sandbox::Describe(end, limits.seconds, mb, "failed");
  if (r == sandbox::Child::kFault)
    *error =
        "thmexport: the importer's answer for " + path + " is damaged (" + Printable(child.Fault()) + ")";
  else if (!how.empty())
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
      path, limits, options.allowPaths,
      [&]() -> AnswerWriter {
        auto in = std::make_shared<scene::Imported>(scene::ImportModel(path, options));
        return [in](sandbox::WireOut& w) { WriteAnswer(*in, w); };
      },
      &result.error);
  if (!result.error.empty()) return result;
  return ReadAnswer(bytes, path, options);
}

std::string SceneAnswer(const scene::Imported& in) {
  std::string out(1, static_cast<char>(kScene));
  sandbox::WireOut w(out);
  WriteAnswer(in, w);
  return out;
}

IsolatedImport ReadAnswer(std::string_view bytes, const std::string& path,
                          const scene::ImportOptions& options) {
  // The answer comes from a process that read hostile bytes: check it all.
  IsolatedImport result;
  try {
    size_t at = 0;
    sandbox::WireIn r(bytes, at);
    const uint8_t kind = r.U8();
    if (kind == kError) {
      result.error = Printable(r.Str());
      if (result.error.empty()) r.Fail("an error without a message");
      if (at != bytes.size()) r.Fail("bytes after the error");
      return result;
    }
    if (kind != kScene) r.Fail("unknown envelope");
    scene::Imported& in = result.imported;
    const size_t warnings = r.Count(4);
    if (warnings > kMaxListed) r.Fail("more than " + std::to_string(kMaxListed) + " warnings");
    for (size_t i = 0; i < warnings; ++i) in.warnings.push_back(Printable(r.Str()));
    const size_t textures = r.Count(8);
    if (textures && options.extractTexturesDir.empty()) r.Fail("textures that were not asked for");
    if (textures > kMaxListed) r.Fail("more than " + std::to_string(kMaxListed) + " textures");
    for (size_t i = 0; i < textures; ++i) {
      scene::ImportedTexture t;
      t.name = r.Str();
      if (!IsPlainFileName(t.name)) r.Fail("a texture name that is not a plain file name");
      t.bytes = r.Str();
      in.textures.push_back(std::move(t));
    }
    const size_t files = r.Count(4);
    if (files > kMaxListed) r.Fail("more than " + std::to_string(kMaxListed) + " files read");
    for (size_t i = 0; i < files; ++i) in.files.push_back(r.Str());
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

std::string SummarizeIsolated(const std::string& path, const Limits& limits,
                              const std::vector<std::string>& allowPaths, std::string* error) {
  const std::string bytes = RunIsolated(
      path, limits, allowPaths,
      [&]() -> AnswerWriter {
        std::string text = FormatSummary(scene::Summarize(path, allowPaths));
        return [text = std::move(text)](sandbox::WireOut& w) { w.Str(text); };
      },
      error);
  if (!error->empty()) return {};
  try {
    size_t at = 0;
    sandbox::WireIn r(bytes, at);
    const uint8_t kind = r.U8();
    if (kind == kError) {
      *error = Printable(r.Str());
      if (error->empty()) r.Fail("an error without a message");
      return {};
    }
    if (kind != kScene) r.Fail("unknown envelope");
    std::string text = Printable(r.Str(), true);
    if (at != bytes.size()) r.Fail("bytes after the summary");
    return text;
  } catch (const sandbox::WireError& e) {
    *error = "thmexport: the importer's answer for " + path + " is damaged (" + e.what() + ")";
    return {};
  }
}

}  // namespace thmexport
