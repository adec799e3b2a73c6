#include "tools/thmexport/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <new>
#include <nlohmann/json.hpp>

#include "thm/reader.h"
#include "tools/thmexport/cache.h"
#include "tools/thmexport/export.h"
#include "tools/thmexport/isolate.h"
#include "tools/thmexport/manifest.h"
#include "tools/thmexport/sandbox/wire.h"

#ifndef THMEXPORT_VERSION
#define THMEXPORT_VERSION "0"
#endif

namespace thmexport {

namespace {

using Clock = std::chrono::steady_clock;

enum Frame : uint8_t { kStarted = 1, kFinished = 2 };
// The longest report a worker may send: its messages, however many, fit.
constexpr uint64_t kMaxReportBytes = uint64_t(256) << 20;

void Send(int fd, const std::string& payload) {
  if (!sandbox::SendFrame(fd, payload)) _exit(kExportFailed);
}

std::string ReadBack(int fd) {
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char buf[1 << 14];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// A worker runs its queue of exports in order, in this one process: the
// plug-in's state carries from one to the next as in a run of its own.
[[noreturn]] void Work(int fd, const std::vector<size_t>& queue, const std::vector<Job>& jobs,
                       const ExporterClass& exporter, const Options& o) {
  sandbox::LimitMemory(o.limits);
  try {
    for (size_t i : queue) {
      std::string start;
      sandbox::WireOut w(start);
      w.U8(kStarted);
      w.U64(i);
      Send(fd, start);
      // What the export prints is kept, to be shown in input order.
      const int messages = memfd_create("thmexport-messages", MFD_CLOEXEC);
      if (messages >= 0) dup2(messages, STDERR_FILENO);
      JobResult r = RunJob(jobs[i], exporter, o, false);
      std::fflush(stderr);
      if (messages >= 0) {
        r.messages = ReadBack(messages);
        close(messages);
      }
      std::string done;
      sandbox::WireOut d(done);
      d.U8(kFinished);
      d.U64(i);
      d.I32(r.code);
      d.Str(r.reason);
      d.Str(r.messages);
      d.U32(static_cast<uint32_t>(r.files.size()));
      for (auto& f : r.files) d.Str(f);
      d.F64(r.seconds);
      d.U64(static_cast<uint64_t>(r.peakKB));
      Send(fd, done);
    }
  } catch (const std::bad_alloc&) {
    _exit(sandbox::kOutOfMemory);
  }
  _exit(kOk);
}

struct Worker {
  sandbox::Child child;
  std::vector<size_t> queue;
  size_t next = 0;       // queue position of the export it runs or runs next
  bool running = false;  // queue[next] has started
  std::string fault;     // what was wrong with its reports
  Clock::time_point started;
};

enum class Status { kPending, kExported, kFailed, kUpToDate, kFromCache };

struct Entry {
  Status status = Status::kPending;
  JobResult r;
  bool done = false;
};

struct Counts {
  uint64_t records = 0, triangles = 0, bones = 0, frames = 0;
};

Counts CountWritten(const std::string& output) {
  Counts c;
  try {
    const std::vector<uint8_t> bytes = thm::LoadFile(output);
    const thm::File f = thm::Read(bytes);
    c.records = f.records.size();
    for (auto& rec : f.records)
      if (const thm::MeshRecord* m = rec.mesh()) {
        for (auto& s : m->materials) c.triangles += s.triangles.size();
        if (m->skin) {
          c.bones += m->skin->bones.size();
          c.frames += static_cast<uint64_t>(std::max(0, m->skin->frame_count));
        }
      }
  } catch (const std::exception&) {
  }
  return c;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

}  // namespace

std::string OptionsText(const Options& o, const ExporterClass& exporter) {
  const scene::ImportOptions& i = o.import;
  std::string t = std::string("thmexport ") + THMEXPORT_VERSION + "\nexporter " + exporter.library + " " +
                  exporter.className + " " + std::to_string(exporter.version);
  t += "\nup " + (i.up ? std::string(1, *i.up) : std::string("-"));
  t += "\nscale " + (i.scale ? std::to_string(*i.scale) : std::string("-"));
  t += "\nsmooth-angle " + std::to_string(i.smoothAngleDeg) + "\nmax-influences " +
       std::to_string(i.maxInfluences) + "\nnormalize-weights " + std::to_string(i.normalizeWeights) +
       "\nfps " + std::to_string(i.fps) + "\nanimation " + i.animation + "\nnotes " + i.notesFile +
       "\nextract-textures " + std::to_string(o.extractTextures);
  // Only where given, so that the manifests of runs without it stay valid.
  for (const std::string& a : i.allowPaths) t += "\nallow-path " + a;
  return t;
}

int RunBatch(const std::vector<Job>& jobs, const ExporterClass& exporter, const Options& o,
             const BatchSettings& b) {
  const auto start = Clock::now();
  const bool terminal = isatty(STDERR_FILENO) == 1 && !o.quiet;
  Manifest manifest(b.manifestFolder);
  const std::string pluginHash = HashFile(b.pluginFile).value_or("");
  const std::string optionsHash = HashText(OptionsText(o, exporter));

  std::vector<Entry> entries(jobs.size());
  std::vector<size_t> todo;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!jobs[i].refused.empty()) {
      entries[i].status = Status::kFailed;
      entries[i].r.code = kBadInput;
      entries[i].r.reason = jobs[i].refused;
      entries[i].r.messages = "thmexport: " + jobs[i].input + ": " + jobs[i].refused + "\n";
      entries[i].r.files = {jobs[i].input};
      entries[i].done = true;
    } else if (!b.force && manifest.UpToDate(jobs[i].output, pluginHash, optionsHash)) {
      entries[i].status = Status::kUpToDate;
      entries[i].done = true;
    } else {
      todo.push_back(i);
    }
  }
  // What another run already exported is fetched before any worker starts.
  ExportCache cache(b.cache, b.pluginFile, OptionsText(o, exporter), o.quiet);
  if (cache.Active() && !b.force) {
    std::vector<size_t> rest;
    for (size_t i : todo) {
      const auto fetchStart = Clock::now();
      if (cache.Active() && cache.Fetch(jobs[i], o, &entries[i].r)) {
        entries[i].status = Status::kFromCache;
        entries[i].r.seconds = std::chrono::duration<double>(Clock::now() - fetchStart).count();
        entries[i].done = true;
      } else {
        rest.push_back(i);
      }
    }
    todo = std::move(rest);
  }
  // One queue for one worker, or one export per worker.
  std::deque<std::vector<size_t>> queues;
  if (b.jobs <= 1) {
    if (!todo.empty()) queues.push_back(todo);
  } else {
    // Largest inputs first, so that a long export does not start last;
    // messages and the report keep the input order whatever the order of work.
    std::vector<std::pair<uintmax_t, size_t>> bySize;
    for (size_t i : todo) {
      std::error_code ec;
      const uintmax_t size = std::filesystem::file_size(jobs[i].input, ec);
      bySize.push_back({ec ? 0 : size, i});
    }
    std::stable_sort(bySize.begin(), bySize.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto& [size, i] : bySize) queues.push_back({i});
  }

  size_t printed = 0, finished = jobs.size() - todo.size();
  std::string current;
  auto progress = [&] {
    if (!terminal) return;
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    const size_t ran = finished - (jobs.size() - todo.size());
    std::fprintf(stderr, "\r\033[K[%zu/%zu] %s  %.1f/s", finished, jobs.size(), current.c_str(),
                 s > 0 ? double(ran) / s : 0.0);
  };
  auto flush = [&] {
    bool any = false;
    while (printed < entries.size() && entries[printed].done) {
      const std::string& m = entries[printed].r.messages;
      if (!m.empty()) {
        if (terminal && !any) std::fputs("\r\033[K", stderr);
        any = true;
        std::fputs(m.c_str(), stderr);
      }
      ++printed;
    }
    progress();
  };
  auto finish = [&](size_t i, JobResult r) {
    entries[i].status = r.code == kOk ? Status::kExported : Status::kFailed;
    cache.Store(jobs[i], o, r);
    entries[i].r = std::move(r);
    entries[i].done = true;
    ++finished;
    flush();
  };

  std::vector<Worker> workers;
  const size_t slots = static_cast<size_t>(std::max(1, b.jobs));
  flush();
  while (!queues.empty() || !workers.empty()) {
    while (!queues.empty() && workers.size() < slots) {
      Worker w;
      w.queue = std::move(queues.front());
      queues.pop_front();
      std::string why;
      w.child = sandbox::Child::Start(
          [&](int fd) {
            for (const Worker& other : workers) close(other.child.fd());
            Work(fd, w.queue, jobs, exporter, o);
          },
          &why);
      if (!w.child.Started()) {
        std::fprintf(stderr, "thmexport: cannot start a worker: %s\n", why.c_str());
        return kExportFailed;
      }
      w.child.LimitFrames(kMaxReportBytes, false);
      workers.push_back(std::move(w));
    }
    std::vector<pollfd> p;
    for (const Worker& w : workers) p.push_back({w.child.fd(), POLLIN, 0});
    if (poll(p.data(), p.size(), terminal ? 250 : 1000) < 0 && errno != EINTR) break;
    for (size_t k = 0; k < workers.size(); ++k) {
      Worker& w = workers[k];
      bool closed = p[k].revents && w.child.ReadSome() != sandbox::Child::kMore;
      if (!w.child.Fault().empty()) w.fault = w.child.Fault();
      // A worker's reports are checked like any child's answer: the job it
      // names is the one it runs, in order, and every field is whole.
      while (w.fault.empty()) {
        std::optional<std::string> payload = w.child.NextFrame();
        if (!payload) break;
        try {
          size_t q = 0;
          sandbox::WireIn in(*payload, q);
          const uint8_t kind = in.U8();
          const uint64_t i = in.U64();
          if (w.next >= w.queue.size() || i != w.queue[w.next]) in.Fail("a report for another export");
          if (kind == kStarted) {
            if (w.running) in.Fail("an export started twice");
            if (q != payload->size()) in.Fail("bytes after the report");
            w.running = true;
            w.started = Clock::now();
            current = jobs[i].input;
            progress();
          } else if (kind == kFinished) {
            if (!w.running) in.Fail("an export finished before it started");
            JobResult r;
            r.code = in.I32();
            if (r.code != kOk && r.code != kExportFailed && r.code != kBadInput)
              in.Fail("an unknown exit status");
            r.reason = in.Str();
            r.messages = in.Str();
            const size_t files = in.Count(4);
            for (size_t f = 0; f < files; ++f) r.files.push_back(in.Str());
            r.seconds = in.F64();
            r.peakKB = static_cast<long>(in.U64());
            if (q != payload->size()) in.Fail("bytes after the report");
            w.running = false;
            ++w.next;
            finish(i, std::move(r));
          } else {
            in.Fail("an unknown report");
          }
        } catch (const sandbox::WireError& e) {
          w.fault = e.what();
        }
      }
      if (!w.fault.empty() && !closed) {
        w.child.Kill();
        closed = true;
      }
      if (!closed && w.running && o.limits.seconds > 0 &&
          std::chrono::duration<double>(Clock::now() - w.started).count() > o.limits.seconds) {
        w.child.Kill();
      }
      if (!closed) continue;
      const sandbox::Ending end = w.child.Wait(Clock::now() + std::chrono::seconds(10));
      if (w.next < w.queue.size()) {
        // It ended inside an export: that input fails, the rest of its queue goes on in a new worker.
        const size_t i = w.queue[w.next];
        std::string what = !w.fault.empty()
                               ? "sent a damaged report (" + w.fault + ")"
                               : sandbox::Describe(end, o.limits.seconds, o.limits.memoryMB, "ended");
        if (what.empty()) what = "ended (exit status 0)";
        JobResult r;
        r.code = kExportFailed;
        r.reason = "the export " + what;
        r.messages = "thmexport: the export " + what + " exporting " + jobs[i].input +
                     "; the output was left as it was\n";
        r.files = {jobs[i].input};
        RemoveTemporaryFiles(jobs[i].output);
        r.seconds = w.running ? std::chrono::duration<double>(Clock::now() - w.started).count() : 0;
        finish(i, std::move(r));
        if (w.next + 1 < w.queue.size())
          queues.push_front(std::vector<size_t>(w.queue.begin() + long(w.next) + 1, w.queue.end()));
      }
      workers.erase(workers.begin() + long(k));
      p.erase(p.begin() + long(k));
      --k;
    }
  }
  if (terminal) std::fputs("\r\033[K", stderr);

  // The manifest: what was exported, as it now stands.
  cache.Finish();
  size_t exported = 0, failed = 0, upToDate = 0, fromCache = 0;
  bool bad = false;
  std::vector<std::string> outputHash(jobs.size());  // of what stands there now
  for (size_t i = 0; i < jobs.size(); ++i) {
    Entry& e = entries[i];
    if (e.status == Status::kUpToDate) {
      ++upToDate;
      outputHash[i] = HashFile(jobs[i].output).value_or("");
    } else if (e.status == Status::kExported || e.status == Status::kFromCache) {
      ++(e.status == Status::kExported ? exported : fromCache);
      ManifestEntry m;
      for (const std::string& f : e.r.files)
        if (auto h = HashFile(f)) m.inputs[f] = *h;
      m.plugin = pluginHash;
      m.options = optionsHash;
      m.output = outputHash[i] = HashFile(jobs[i].output).value_or("");
      manifest.Set(jobs[i].output, std::move(m));
    } else {
      ++failed;
      bad = bad || e.r.code == kBadInput;
      manifest.Erase(jobs[i].output);
    }
  }
  if (!manifest.Save() && !o.quiet)
    std::fprintf(stderr, "thmexport: warning: cannot write %s; the next run exports everything again\n",
                 manifest.Path().c_str());
  const double total = std::chrono::duration<double>(Clock::now() - start).count();

  if (!b.report.empty()) {
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (size_t i = 0; i < jobs.size(); ++i) {
      const Entry& e = entries[i];
      nlohmann::ordered_json j;
      j["input"] = jobs[i].input;
      j["output"] = jobs[i].output;
      j["status"] = e.status == Status::kExported    ? "exported"
                    : e.status == Status::kFromCache ? "from cache"
                    : e.status == Status::kFailed    ? "failed"
                                                     : "up-to-date";
      j["exit"] = e.status == Status::kFailed ? e.r.code : 0;
      j["reason"] = e.r.reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(e.r.reason);
      j["messages"] = Lines(e.r.messages);
      j["seconds"] = std::round(e.r.seconds * 1000) / 1000;
      j["peak_memory_mb"] = std::round(double(e.r.peakKB) / 1024.0 * 10) / 10;
      if (e.status != Status::kFailed) {
        const Counts c = CountWritten(jobs[i].output);
        j["records"] = c.records;
        j["triangles"] = c.triangles;
        j["bones"] = c.bones;
        j["frames"] = c.frames;
        j["output_hash"] = outputHash[i];
      }
      inputs.push_back(std::move(j));
    }
    nlohmann::ordered_json report;
    report["inputs"] = std::move(inputs);
    report["exported"] = exported;
    report["failed"] = failed;
    report["up_to_date"] = upToDate;
    if (!b.cache.store.location.empty()) report["from_cache"] = fromCache;
    report["jobs"] = b.jobs;
    report["seconds"] = std::round(total * 1000) / 1000;
    std::ofstream out(b.report);
    out << report.dump(2) << "\n";
    if (!out.flush()) {
      std::fprintf(stderr, "thmexport: cannot write the report %s\n", b.report.c_str());
      bad = true;
    }
  }
  if (!o.quiet) {
    const std::string cached =
        b.cache.store.location.empty() ? "" : ", " + std::to_string(fromCache) + " from cache";
    std::fprintf(stderr, "%zu exported%s, %zu failed, %zu up to date, %s\n", exported, cached.c_str(), failed,
                 upToDate, Seconds(total).c_str());
  }
  return bad ? kBadInput : failed ? kExportFailed : kOk;
}

}  // namespace thmexport
