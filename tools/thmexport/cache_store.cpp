#include "tools/thmexport/cache_store.h"

#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tools/thmexport/sandbox/child.h"

namespace thmexport {

namespace fs = std::filesystem;

namespace {

// A folder: files are written under tmp/ and renamed into place, which is
// atomic on one file system, so concurrent writers of one name leave one whole file.
class FolderStore final : public CacheStore {
 public:
  FolderStore(std::string root, uint64_t maxBytes) : root_(std::move(root)), maxBytes_(maxBytes) {}

  Got Get(const std::string& name, std::string* bytes, std::string* why) override {
    return Read(name, why, [&](const char* p, size_t n) {
      bytes->append(p, n);
      return true;
    });
  }
  Got GetToFile(const std::string& name, int fd, std::string* why) override {
    return Read(name, why,
                [&](const char* p, size_t n) { return sandbox::WriteAll(fd, std::string_view(p, n)); });
  }
  bool Put(const std::string& name, const std::string& bytes, std::string* why) override {
    return Write(name, why, [&](int fd) { return sandbox::WriteAll(fd, bytes); });
  }
  bool PutFile(const std::string& name, const std::string& path, std::string* why) override {
    return Write(name, why, [&](int fd) {
      const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (in < 0) return false;
      char buf[1 << 16];
      ssize_t n;
      bool ok = true;
      while (ok && (n = read(in, buf, sizeof buf)) != 0) {
        if (n < 0) {
          ok = errno == EINTR;
          continue;
        }
        ok = sandbox::WriteAll(fd, std::string_view(buf, static_cast<size_t>(n)));
      }
      close(in);
      return ok;
    });
  }
  void Touch(const std::string& name) override { utimensat(AT_FDCWD, Path(name).c_str(), nullptr, 0); }

  void Trim() override {
    if (maxBytes_ == 0) return;
    struct File {
      fs::file_time_type used;
      uintmax_t size;
      fs::path path;
    };
    std::vector<File> files;
    uintmax_t total = 0;
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    for (const char* part : {"ac", "cas", "tmp"}) {
      for (auto it = fs::directory_iterator(fs::path(root_) / part, ec);
           !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code e;
        const uintmax_t size = it->file_size(e);
        const auto used = it->last_write_time(e);
        if (e) continue;
        // What a writer killed in the middle left behind.
        if (std::strcmp(part, "tmp") == 0) {
          if (now - used > std::chrono::hours(1)) fs::remove(it->path(), e);
          continue;
        }
        files.push_back({used, size, it->path()});
        total += size;
      }
      ec.clear();
    }
    if (total <= maxBytes_) return;
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.used < b.used; });
    for (const File& f : files) {
      if (total <= maxBytes_) break;
      std::error_code e;
      if (fs::remove(f.path, e)) total -= f.size;
    }
  }

 private:
  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  template <class Sink>
  Got Read(const std::string& name, std::string* why, Sink sink) {
    const int fd = open(Path(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return Got::kMissing;
      *why = "cannot read " + Path(name) + ": " + std::strerror(errno);
      return Got::kFailed;
    }
    char buf[1 << 16];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *why = "cannot read " + Path(name) + ": " + std::strerror(errno);
        close(fd);
        return Got::kFailed;
      }
      if (n == 0) break;
      if (!sink(buf, static_cast<size_t>(n))) {
        close(fd);
        *why = "cannot write what was read";
        return Got::kFailed;
      }
    }
    close(fd);
    return Got::kFound;
  }

  template <class Fill>
  bool Write(const std::string& name, std::string* why, Fill fill) {
    std::error_code ec;
    const fs::path target = Path(name);
    fs::create_directories(target.parent_path(), ec);
    fs::create_directories(fs::path(root_) / "tmp", ec);
    std::string temp = root_ + "/tmp/XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
      *why = "cannot write in " + root_ + ": " + std::strerror(errno);
      return false;
    }
    fchmod(fd, 0644);  // other machines read what this one writes
    const bool filled = fill(fd);
    const int error = errno;
    const bool closed = close(fd) == 0;
    if (!filled || !closed || rename(temp.c_str(), target.c_str()) != 0) {
      *why = "cannot write " + target.string() + ": " + std::strerror(filled && closed ? errno : error);
      unlink(temp.c_str());
      return false;
    }
    return true;
  }

  std::string root_;
  uint64_t maxBytes_;
};

// libcurl, loaded when a cache URL is first used: a run without one does not
// map it and the thirty libraries it brings (6 MB of every run's memory).
struct Curl {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) setopt;
  decltype(&curl_easy_perform) perform;
  decltype(&curl_easy_getinfo) getinfo;
  decltype(&curl_easy_cleanup) cleanup;
  decltype(&curl_easy_strerror) strerror;
};

const Curl* LoadCurl(std::string* why) {
  static Curl curl{};
  static std::string error;
  static const bool loaded = [] {
    void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      error = dlerror();
      return false;
    }
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      if (!fn && error.empty()) error = std::string("libcurl.so.4 has no ") + name;
    };
    get(curl.global_init, "curl_global_init");
    get(curl.easy_init, "curl_easy_init");
    get(curl.setopt, "curl_easy_setopt");
    get(curl.perform, "curl_easy_perform");
    get(curl.getinfo, "curl_easy_getinfo");
    get(curl.cleanup, "curl_easy_cleanup");
    get(curl.strerror, "curl_easy_strerror");
    if (error.empty() && curl.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) error = "libcurl did not start";
    return error.empty();
  }();
  if (!loaded) *why = "cannot load the HTTP client: " + error;
  return loaded ? &curl : nullptr;
}

size_t ToString(char* p, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

size_t ToFile(char* p, size_t size, size_t n, void* fd) {
  return sandbox::WriteAll(*static_cast<int*>(fd), std::string_view(p, size * n)) ? size * n : 0;
}

struct Source {
  const char* data = nullptr;
  size_t left = 0;
  int fd = -1;
};

size_t FromSource(char* p, size_t size, size_t n, void* s) {
  Source& src = *static_cast<Source*>(s);
  if (src.fd >= 0) {
    const ssize_t got = read(src.fd, p, size * n);
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
  }
  const size_t take = std::min(src.left, size * n);
  std::memcpy(p, src.data, take);
  src.data += take;
  src.left -= take;
  return take;
}

// A server that stores files by PUT and returns them by GET (an nginx with
// WebDAV, a bucket's HTTP endpoint, a build cache's HTTP protocol).
class HttpStore final : public CacheStore {
 public:
  HttpStore(const Curl& api, std::string base, double timeout)
      : c_(api), base_(std::move(base)), curl_(c_.easy_init()) {
    while (!base_.empty() && base_.back() == '/') base_.pop_back();
    const long ms = std::max(1L, static_cast<long>(timeout * 1000));
    c_.setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    c_.setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, ms);
    // A transfer that stalls, not one that is merely long, is given up.
    c_.setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    c_.setopt(curl_, CURLOPT_LOW_SPEED_TIME, std::max(1L, ms / 1000));
    c_.setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
  }
  ~HttpStore() override {
    if (curl_) c_.cleanup(curl_);
  }
  bool Ready() const { return curl_ != nullptr; }

  Got Get(const std::string& name, std::string* bytes, std::string* why) override {
    return Fetch(name, why, ToString, bytes, [&] { bytes->clear(); });
  }
  Got GetToFile(const std::string& name, int fd, std::string* why) override {
    return Fetch(name, why, ToFile, &fd, [&] {
      if (ftruncate(fd, 0) == 0) lseek(fd, 0, SEEK_SET);
    });
  }
  bool Put(const std::string& name, const std::string& bytes, std::string* why) override {
    Source s{bytes.data(), bytes.size(), -1};
    return Send(name, s, bytes.size(), why);
  }
  bool PutFile(const std::string& name, const std::string& path, std::string* why) override {
    Source s;
    s.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (s.fd < 0 || fstat(s.fd, &st) != 0) {
      *why = "cannot read " + path + ": " + std::strerror(errno);
      if (s.fd >= 0) close(s.fd);
      return false;
    }
    const bool ok = Send(name, s, static_cast<uint64_t>(st.st_size), why);
    close(s.fd);
    return ok;
  }

 private:
  template <class Reset>
  Got Fetch(const std::string& name, std::string* why, curl_write_callback write, void* to, Reset reset) {
    c_.setopt(curl_, CURLOPT_URL, (base_ + "/" + name).c_str());
    c_.setopt(curl_, CURLOPT_HTTPGET, 1L);
    c_.setopt(curl_, CURLOPT_WRITEFUNCTION, write);
    c_.setopt(curl_, CURLOPT_WRITEDATA, to);
    const CURLcode rc = c_.perform(curl_);
    long status = 0;
    c_.getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) {
      *why = base_ + "/" + name + ": " + c_.strerror(rc);
      return Got::kFailed;
    }
    if (status == 200) return Got::kFound;
    reset();  // the body of an error page is not the file
    if (status == 404) return Got::kMissing;
    *why = base_ + "/" + name + ": HTTP status " + std::to_string(status);
    return Got::kFailed;
  }

  bool Send(const std::string& name, Source& s, uint64_t size, std::string* why) {
    c_.setopt(curl_, CURLOPT_URL, (base_ + "/" + name).c_str());
    c_.setopt(curl_, CURLOPT_UPLOAD, 1L);
    c_.setopt(curl_, CURLOPT_READFUNCTION, FromSource);
    c_.setopt(curl_, CURLOPT_READDATA, &s);
    c_.setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    std::string body;
    c_.setopt(curl_, CURLOPT_WRITEFUNCTION, ToString);
    c_.setopt(curl_, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = c_.perform(curl_);
    long status = 0;
    c_.getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    c_.setopt(curl_, CURLOPT_UPLOAD, 0L);
    if (rc != CURLE_OK) {
      *why = base_ + "/" + name + ": " + c_.strerror(rc);
      return false;
    }
    if (status < 200 || status > 299) {
      *why = base_ + "/" + name + ": HTTP status " + std::to_string(status);
      return false;
    }
    return true;
  }

  const Curl& c_;
  std::string base_;
  CURL* curl_;
};

}  // namespace

bool IsUrl(const std::string& location) {
  return location.rfind("http://", 0) == 0 || location.rfind("https://", 0) == 0;
}

std::unique_ptr<CacheStore> OpenStore(const StoreSettings& settings, std::string* why) {
  if (IsUrl(settings.location)) {
    const Curl* api = LoadCurl(why);
    if (!api) return nullptr;
    auto store = std::make_unique<HttpStore>(*api, settings.location, settings.timeout);
    if (!store->Ready()) {
      *why = "cannot start the HTTP client";
      return nullptr;
    }
    return store;
  }
  struct stat st;
  if (stat(settings.location.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "no such folder";
    return nullptr;
  }
  std::string root = settings.location;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return std::make_unique<FolderStore>(root, settings.maxBytes);
}

}  // namespace thmexport
