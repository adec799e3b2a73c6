// A stand-in for an import child that a model has taken over (a code-execution
// bug in a parser), for the tests of what thmexport's side of the pipe does.
// Preloaded into thmexport (LD_PRELOAD), it acts only inside the confined
// child (the system-call filter already loaded), the first time the child
// opens the model, and only as THM_COMPROMISED says:
//
//   answer:FILE      send FILE's bytes as the answer, after a length word (read at start-up)
//   raw:FILE         send FILE's bytes as they are, length word included
//   flood            announce 16 bytes, then send 64 MiB
//   hang             close every descriptor, then sleep
//   linger           send a good empty scene, close the pipe, then sleep
//   dupfd            duplicate every other pipe onto the answer's descriptor and forge a
//                    batch worker's report on each, then send a good empty scene
//   tex              a good empty scene with a texture nobody asked for
//   files:NAME       a good empty scene whose files read name NAME (\n and \x1b unescaped)
//   warn:TEXT        a good empty scene with this warning (\n and \x1b unescaped)
//   read:PATH        a good empty scene with a warning saying whether PATH could be opened
//   report           (in a batch worker, not the child) its first "started" report names
//                    another export than the one it runs
//
// It uses only calls the filter allows, as a real exploit would have to.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Plan {
  std::string mode, arg, file;  // the file's bytes, read before any confinement
  Plan();
};

// Made at the first file opened, in thmexport itself, long before any child.
Plan& Get() {
  static Plan p;
  return p;
}

Plan::Plan() {
  std::string& gMode = mode;
  std::string& gArg = arg;
  std::string& gFile = file;
  const char* m = std::getenv("THM_COMPROMISED");
  if (!m) return;
  const std::string all = m;
  const size_t colon = all.find(':');
  gMode = all.substr(0, colon);
  if (colon != std::string::npos) gArg = all.substr(colon + 1);
  std::string unescaped;
  for (size_t i = 0; i < gArg.size(); ++i) {
    if (gArg[i] == '\\' && i + 1 < gArg.size() && gArg[i + 1] == 'n') {
      unescaped += '\n';
      ++i;
    } else if (gArg[i] == '\\' && i + 3 < gArg.size() && gArg.compare(i + 1, 3, "x1b") == 0) {
      unescaped += '\x1b';
      i += 3;
    } else {
      unescaped += gArg[i];
    }
  }
  gArg = unescaped;
  if (gMode == "answer" || gMode == "raw") {
    if (FILE* f = std::fopen(gArg.c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) gFile.append(buf, n);
      std::fclose(f);
    }
  }
}

// Inside the filter prctl itself is refused (-1), or answers 2.
bool InChild() {
  return prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 0;
}

bool gReady = false;  // the plan is made: hooks called while it is made pass through
__attribute__((constructor)) void Warm() {
  Get();
  gReady = true;
}

void Put(std::string& b, const void* p, size_t n) {
  b.append(static_cast<const char*>(p), n);
}
void U8(std::string& b, uint8_t v) {
  Put(b, &v, 1);
}
void U32(std::string& b, uint32_t v) {
  Put(b, &v, 4);
}
void U64(std::string& b, uint64_t v) {
  Put(b, &v, 8);
}
void Str(std::string& b, const std::string& s) {
  U32(b, static_cast<uint32_t>(s.size()));
  b += s;
}

void WriteAll(int fd, const std::string& b) {
  size_t done = 0;
  while (done < b.size()) {
    const ssize_t k = write(fd, b.data() + done, b.size() - done);
    if (k <= 0) return;
    done += static_cast<size_t>(k);
  }
}

void Send(int fd, const std::string& body) {
  std::string b;
  U64(b, body.size());
  WriteAll(fd, b + body);
}

void EmptyScene(std::string& b) {
  Put(b, "THMSCEN1", 8);
  U32(b, 160);
  U32(b, 0);
  U32(b, 0);
  const double one = 1.0;
  Put(b, &one, 8);
  for (int i = 0; i < 5; ++i) U32(b, 0);  // maps, materials, objects, modifiers, nodes
}

// A scene answer: warnings, textures (name, bytes), files read, then an empty scene.
std::string Answer(const std::vector<std::string>& warnings, bool texture,
                   const std::vector<std::string>& files) {
  std::string b;
  U8(b, 0);
  U32(b, static_cast<uint32_t>(warnings.size()));
  for (auto& w : warnings) Str(b, w);
  U32(b, texture ? 1 : 0);
  if (texture) {
    Str(b, "PWNED.txt");
    Str(b, "written by the import child\n");
  }
  U32(b, static_cast<uint32_t>(files.size()));
  for (auto& f : files) Str(b, f);
  EmptyScene(b);
  return b;
}

// Pipes this process may write to: the answer's pipe and whatever else leaked in.
int AnswerPipe(int* others, int* count) {
  int answer = -1;
  *count = 0;
  for (int fd = 3; fd < 1024; ++fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || (fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY)
      continue;
    if (answer < 0 && write(fd, "", 0) == 0)
      answer = fd;
    else if (*count < 16)
      others[(*count)++] = fd;
  }
  return answer;
}

void Act() {
  static bool done = false;
  if (!gReady) return;
  const std::string& gMode = Get().mode;
  const std::string& gArg = Get().arg;
  const std::string& gFile = Get().file;
  if (done || gMode.empty() || !InChild()) return;
  done = true;
  int others[16], n;
  const int fd = AnswerPipe(others, &n);
  if (fd < 0) _exit(70);
  if (gMode == "answer") {
    Send(fd, gFile);
  } else if (gMode == "raw") {
    WriteAll(fd, gFile);
  } else if (gMode == "flood") {
    std::string b;
    U64(b, 16);
    WriteAll(fd, b);
    const std::string zeros(1 << 20, '\0');
    for (int i = 0; i < 64; ++i) WriteAll(fd, zeros);
  } else if (gMode == "hang") {
    for (int i = 0; i < 1024; ++i) close(i);
    for (;;) {
      timespec ts{3600, 0};
      nanosleep(&ts, nullptr);
    }
  } else if (gMode == "linger") {
    Send(fd, Answer({}, false, {}));
    close(fd);
    for (;;) {
      timespec ts{3600, 0};
      nanosleep(&ts, nullptr);
    }
  } else if (gMode == "dupfd") {
    // A batch worker's report, forged: kFinished for job 0, success.
    std::string forged;
    U8(forged, 2);
    U64(forged, 0);
    U32(forged, 0);
    Str(forged, "forged");
    Str(forged, "forged by the import child\n");
    U32(forged, 0);
    const double s = 0;
    Put(forged, &s, 8);
    U64(forged, 0);
    for (int i = 0; i < n; ++i) {
      const int saved = fcntl(fd, F_DUPFD_CLOEXEC, 100);
      if (saved < 0) continue;
      close(fd);
      if (fcntl(others[i], F_DUPFD, fd) == fd) Send(fd, forged);
      close(fd);
      fcntl(saved, F_DUPFD, fd);
    }
    // Whatever leaked in is told in a warning: the test expects "no pipes".
    Send(fd, Answer({n ? "pipes: " + std::to_string(n) : "no pipes"}, false, {}));
  } else if (gMode == "tex") {
    Send(fd, Answer({}, true, {}));
  } else if (gMode == "files") {
    Send(fd, Answer({}, false, {gArg}));
  } else if (gMode == "warn") {
    Send(fd, Answer({gArg}, false, {}));
  } else if (gMode == "read") {
    using OpenFn = int (*)(const char*, int, ...);
    static OpenFn real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    const int f = real(gArg.c_str(), O_RDONLY);
    Send(fd, Answer({f >= 0 ? "read: opened" : "read: refused"}, false, {}));
  } else {
    return;
  }
  _exit(0);
}

}  // namespace

#define REAL(name) reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

extern "C" {
ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = REAL(write);
  // A batch worker's "started" report: its kind byte, then the job's index.
  static bool forged = false;
  if (!forged && gReady && Get().mode == "report" && n == 9 && static_cast<const char*>(buf)[0] == 1 &&
      !InChild()) {
    forged = true;
    char copy[9];
    std::memcpy(copy, buf, 9);
    copy[1] = 77;
    return real(fd, copy, 9);
  }
  return real(fd, buf, n);
}
FILE* fopen(const char* p, const char* m) {
  Act();
  static auto real = REAL(fopen);
  return real(p, m);
}
FILE* fopen64(const char* p, const char* m) {
  Act();
  static auto real = REAL(fopen64);
  return real(p, m);
}
int open(const char* p, int flags, ...) {
  Act();
  va_list a;
  va_start(a, flags);
  const int mode = va_arg(a, int);
  va_end(a);
  static auto real = REAL(open);
  return real(p, flags, mode);
}
int open64(const char* p, int flags, ...) {
  Act();
  va_list a;
  va_start(a, flags);
  const int mode = va_arg(a, int);
  va_end(a);
  static auto real = REAL(open64);
  return real(p, flags, mode);
}
int openat(int d, const char* p, int flags, ...) {
  Act();
  va_list a;
  va_start(a, flags);
  const int mode = va_arg(a, int);
  va_end(a);
  static auto real = REAL(openat);
  return real(d, p, flags, mode);
}
}
