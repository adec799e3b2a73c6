// Stand-ins for two functions of the C runtime, in front of msvcrt.dll: calls
// through the import slots __imp_fwrite and __imp_fclose of this program reach
// these first. A stream opened by Sink::Open is written to its sink; every
// other stream goes on to msvcrt. The plug-in's code linked into the test
// calls fwrite and fclose through the same slots, so a sink can refuse its
// writes at any byte as the Linux tests' cookie streams do.
#include <windows.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "tests/support/sink.h"

namespace {

using FwriteFn = size_t(__cdecl*)(const void*, size_t, size_t, FILE*);
using FcloseFn = int(__cdecl*)(FILE*);

std::mutex g_lock;
std::map<FILE*, tarntest::Sink*>& Sinks() {
  static std::map<FILE*, tarntest::Sink*> sinks;
  return sinks;
}

template <class Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), name)));
}

tarntest::Sink* Find(FILE* f) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = Sinks().find(f);
  return it == Sinks().end() ? nullptr : it->second;
}

constexpr size_t kBuffer = size_t(1) << 16;

// A buffered stream hands its buffer on when it is full, as stdio does.
bool Drain(tarntest::Sink& s) {
  const size_t n = s.pending.size();
  const bool whole = s.Take(s.pending.data(), n) == n;
  s.pending.clear();
  return whole;
}

size_t __cdecl StandInFwrite(const void* p, size_t size, size_t count, FILE* f) {
  tarntest::Sink* s = Find(f);
  if (!s) return Real<FwriteFn>("fwrite")(p, size, count, f);
  if (size == 0 || count == 0) return 0;
  const char* bytes = static_cast<const char*>(p);
  const size_t total = size * count;
  if (!s->buffered) return s->Take(bytes, total) / size;
  s->pending.append(bytes, total);
  if (s->pending.size() >= kBuffer && !Drain(*s)) return 0;
  return count;
}

int __cdecl StandInFclose(FILE* f) {
  tarntest::Sink* s = Find(f);
  if (!s) return Real<FcloseFn>("fclose")(f);
  const bool flushed = !s->buffered || Drain(*s);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Sinks().erase(f);
  }
  const int closed = Real<FcloseFn>("fclose")(f);
  return flushed && closed == 0 && !s->failClose ? 0 : -1;
}

}  // namespace

extern "C" {
FwriteFn __imp_fwrite = StandInFwrite;
FcloseFn __imp_fclose = StandInFclose;
}

namespace tarntest {

FILE* Sink::Open(int mode) {
  FILE* f = std::fopen("NUL", "wb");
  if (!f) return nullptr;
  buffered = mode != _IONBF;
  pending.clear();
  std::lock_guard<std::mutex> hold(g_lock);
  Sinks()[f] = this;
  return f;
}

}  // namespace tarntest
