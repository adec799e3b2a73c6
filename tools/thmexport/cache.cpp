#include "tools/thmexport/cache.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "tools/thmexport/export.h"
#include "tools/thmexport/paths.h"
#include "tools/thmexport/run.h"

namespace thmexport {

namespace fs = std::filesystem;

namespace {

constexpr const char* kEntryHeader = "thmexport cache entry 1\n";

class Sha256 {
 public:
  Sha256() { sha256_init(&ctx_); }
  void Add(const void* p, size_t n) { sha256_update(&ctx_, n, static_cast<const uint8_t*>(p)); }
  std::string Hex() {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx_, sizeof digest, digest);
    static const char* kDigits = "0123456789abcdef";
    std::string hex;
    for (uint8_t d : digest) {
      hex += kDigits[d >> 4];
      hex += kDigits[d & 15];
    }
    return hex;
  }

 private:
  sha256_ctx ctx_;
};

std::string HashFd(int fd, uint64_t* size, bool* ok) {
  Sha256 h;
  char buf[1 << 16];
  *size = 0;
  *ok = true;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *ok = false;
    if (n <= 0) break;
    h.Add(buf, static_cast<size_t>(n));
    *size += static_cast<uint64_t>(n);
  }
  return h.Hex();
}

void Field(std::string& out, const char* name, const std::string& bytes) {
  out += std::string(name) + " " + std::to_string(bytes.size()) + ":" + bytes + "\n";
}

// What an entry says: the output's hash and size, the files read besides the
// input (relative to the input's folder) with their hashes, and what the
// export printed, with the paths it was stored under.
struct Entry {
  std::string sha256;
  uint64_t size = 0;
  std::vector<std::pair<std::string, std::string>> reads;  // path -> hash
  std::string input, output, messages;
};

std::string Write(const Entry& e) {
  std::string out = kEntryHeader;
  out += "sha256 " + e.sha256 + "\nsize " + std::to_string(e.size) + "\nreads " +
         std::to_string(e.reads.size()) + "\n";
  for (auto& [path, hash] : e.reads) Field(out, hash.c_str(), path);
  Field(out, "input", e.input);
  Field(out, "output", e.output);
  Field(out, "messages", e.messages);
  return out;
}

class EntryReader {
 public:
  explicit EntryReader(const std::string& text) : t_(text) {}
  void Literal(const std::string& s) {
    if (t_.compare(at_, s.size(), s) != 0) throw std::runtime_error("not an entry");
    at_ += s.size();
  }
  std::string Word() {
    const size_t end = t_.find_first_of(" \n:", at_);
    if (end == std::string::npos || end == at_) throw std::runtime_error("cut short");
    std::string w = t_.substr(at_, end - at_);
    at_ = end;
    return w;
  }
  uint64_t Number() {
    const std::string w = Word();
    if (w.size() > 19 || w.find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error("a bad number");
    return std::stoull(w);
  }
  std::string Hash() {
    std::string w = Word();
    if (w.size() != 64 || w.find_first_not_of("0123456789abcdef") != std::string::npos)
      throw std::runtime_error("a bad hash");
    return w;
  }
  // NAME LEN:BYTES\n, NAME already read.
  std::string Bytes() {
    Literal(" ");
    const uint64_t n = Number();
    Literal(":");
    if (n > t_.size() - at_) throw std::runtime_error("cut short");
    std::string b = t_.substr(at_, n);
    at_ += n;
    Literal("\n");
    return b;
  }
  bool AtEnd() const { return at_ == t_.size(); }

 private:
  const std::string& t_;
  size_t at_ = 0;
};

Entry Read(const std::string& text) {
  EntryReader r(text);
  Entry e;
  r.Literal(kEntryHeader);
  r.Literal("sha256 ");
  e.sha256 = r.Hash();
  r.Literal("\nsize ");
  e.size = r.Number();
  r.Literal("\nreads ");
  const uint64_t reads = r.Number();
  r.Literal("\n");
  if (reads > text.size() / 66) throw std::runtime_error("cut short");
  for (uint64_t i = 0; i < reads; ++i) {
    std::string hash = r.Hash();
    e.reads.push_back({r.Bytes(), std::move(hash)});
  }
  r.Literal("input");
  e.input = r.Bytes();
  r.Literal("output");
  e.output = r.Bytes();
  r.Literal("messages");
  e.messages = r.Bytes();
  if (!r.AtEnd()) throw std::runtime_error("bytes after the entry");
  return e;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty() || from == to) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// A file read, as it is named in an entry: beside the input wherever the
// input stands, so that machines with other folders share it.
std::string Relative(const std::string& file, const std::string& input) {
  std::error_code ec;
  const fs::path folder = fs::absolute(ParentFolder(input), ec).lexically_normal();
  return fs::absolute(file, ec).lexically_normal().lexically_relative(folder).string();
}

std::string Resolve(const std::string& rel, const std::string& input) {
  return (fs::path(ParentFolder(input)) / rel).lexically_normal().string();
}

// The options' text without what names this machine's paths: the notes file is
// keyed by its content, and the folders that may be read change no byte.
std::string PortableOptions(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.rfind("notes ", 0) != 0 && line.rfind("allow-path ", 0) != 0) out += line + "\n";
    at = end + 1;
  }
  return out;
}

}  // namespace

std::string Sha256File(const std::string& path, bool* ok) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    *ok = false;
    return {};
  }
  uint64_t size = 0;
  std::string hex = HashFd(fd, &size, ok);
  close(fd);
  return hex;
}

std::string Sha256Text(const std::string& text) {
  Sha256 h;
  h.Add(text.data(), text.size());
  return h.Hex();
}

ExportCache::ExportCache(CacheSettings settings, const std::string& pluginFile,
                         const std::string& optionsText, bool quiet)
    : settings_(std::move(settings)), quiet_(quiet) {
  if (settings_.store.location.empty()) return;
  std::string why;
  store_ = OpenStore(settings_.store, &why);
  if (!store_) {
    store_ = nullptr;
    Disable(why);
    return;
  }
  bool ok = true;
  base_ =
      "thmexport cache key 1\nplugin " + Sha256File(pluginFile, &ok) + "\n" + PortableOptions(optionsText);
  if (!ok) Disable("cannot read the plug-in " + pluginFile);
}

ExportCache::~ExportCache() = default;

void ExportCache::Disable(const std::string& why) {
  if (!quiet_)
    std::fprintf(stderr, "thmexport: warning: the cache %s cannot be used (%s); exporting without it\n",
                 Printable(settings_.store.location).c_str(), Printable(why).c_str());
  store_.reset();
}

void ExportCache::Damaged(const Job& job, const std::string& why) {
  if (!quiet_)
    std::fprintf(stderr, "thmexport: warning: the cache's entry for %s is damaged (%s); %s\n",
                 Printable(job.input).c_str(), why.c_str(),
                 settings_.readOnly ? "exported without it" : "exported again and replaced");
}

std::string ExportCache::Key(const Job& job, const Options& o, bool* ok) const {
  *ok = true;
  std::string text = base_ + "input-name " + FileName(job.input) + "\ninput " + Sha256File(job.input, ok);
  bool notesOk = true;
  if (!o.import.notesFile.empty() && !IsSceneDocument(job.input))
    text += "\nnotes " + Sha256File(o.import.notesFile, &notesOk);
  *ok = *ok && notesOk;
  return Sha256Text(text);
}

bool ExportCache::Fetch(const Job& job, const Options& o, JobResult* r) {
  // Textures written beside an output are not kept: such exports always run.
  if (!store_ || o.extractTextures) return false;
  struct stat st;
  const bool exists = stat(job.output.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;
  bool ok = true;
  const std::string key = Key(job, o, &ok);
  if (!ok) return false;
  std::string text, why;
  switch (store_->Get("ac/" + key, &text, &why)) {
    case CacheStore::Got::kMissing:
      return false;
    case CacheStore::Got::kFailed:
      Disable(why);
      return false;
    case CacheStore::Got::kFound:
      break;
  }
  Entry e;
  try {
    e = Read(text);
  } catch (const std::exception& x) {
    Damaged(job, x.what());
    return false;
  }
  // The key names the input; the rest of what the export read must match here.
  std::vector<std::string> files{job.input};
  for (auto& [rel, hash] : e.reads) {
    const std::string path = Resolve(rel, job.input);
    if (Sha256File(path, &ok) != hash || !ok) return false;
    files.push_back(path);
  }
  if (o.maxOutputMB > 0 && e.size > (uint64_t(o.maxOutputMB) << 20)) return false;

  std::string temp = ParentFolder(job.output) + "/" + TemporaryPrefix(job.output) + "XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  auto drop = [&] {
    close(fd);
    unlink(temp.c_str());
    return false;
  };
  switch (store_->GetToFile("cas/" + e.sha256, fd, &why)) {
    case CacheStore::Got::kMissing:  // evicted: the entry is simply old
      return drop();
    case CacheStore::Got::kFailed:
      Disable(why);
      return drop();
    case CacheStore::Got::kFound:
      break;
  }
  uint64_t size = 0;
  lseek(fd, 0, SEEK_SET);
  const std::string got = HashFd(fd, &size, &ok);
  if (!ok) return drop();
  if (got != e.sha256 || size != e.size) {
    Damaged(job, size != e.size
                     ? "its output has " + std::to_string(size) + " bytes, not " + std::to_string(e.size)
                     : "its output's bytes do not match their hash");
    return drop();
  }
  if (fchmod(fd, OutputMode(exists ? &st : nullptr)) != 0 || close(fd) != 0 ||
      rename(temp.c_str(), job.output.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  if (!settings_.readOnly) {
    store_->Touch("ac/" + key);
    store_->Touch("cas/" + e.sha256);
  }
  r->code = kOk;
  r->reason.clear();
  r->files = std::move(files);
  if (!o.import.notesFile.empty() && !IsSceneDocument(job.input)) r->files.push_back(o.import.notesFile);
  // What an entry says reaches a terminal: no control character of a writer's choosing.
  r->messages = Printable(e.messages, true);
  ReplaceAll(r->messages, e.input, job.input);
  ReplaceAll(r->messages, e.output, job.output);
  return true;
}

void ExportCache::Store(const Job& job, const Options& o, const JobResult& r) {
  if (!store_ || settings_.readOnly || o.extractTextures || r.code != kOk) return;
  bool ok = true;
  const std::string key = Key(job, o, &ok);
  if (!ok) return;
  Entry e;
  const int fd = open(job.output.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return;
  }
  e.sha256 = HashFd(fd, &e.size, &ok);
  close(fd);
  if (!ok) return;
  for (size_t i = 1; i < r.files.size(); ++i) {
    if (r.files[i] == o.import.notesFile) continue;  // keyed by content
    const std::string hash = Sha256File(r.files[i], &ok);
    if (!ok) return;
    e.reads.push_back({Relative(r.files[i], job.input), hash});
  }
  e.input = job.input;
  e.output = job.output;
  e.messages = r.messages;
  std::string why;
  // The output first: an entry never names bytes that are not there.
  if (!store_->PutFile("cas/" + e.sha256, job.output, &why) || !store_->Put("ac/" + key, Write(e), &why)) {
    Disable(why);
    return;
  }
  wrote_ = true;
}

void ExportCache::Finish() {
  if (store_ && wrote_ && !settings_.readOnly) store_->Trim();
}

}  // namespace thmexport
