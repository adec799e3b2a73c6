// The mesh path, BuildObj through FWrite (the plug-in's own code, linked in), on generated meshes of 10 k to
// 4 M triangles, against meshoptimizer's vertex remap over the same corner stream.
//
// Counters: ns_per_tri (our whole path), meshopt_ns_per_tri, ratio (ours over
// meshopt's), peak_B_per_tri (peak heap beyond the host mesh, per triangle).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "bench/mesh_gen.h"
#include "context/alloc.h"
#include "context/record_writer.h"
#include "model/obj.h"
#include "plugin/extract.h"
#include "writer/saveobj.h"

// ---- Heap accounting: every allocation of the process goes through here.
namespace {
std::atomic<long long> g_live{0}, g_peak{0};
void Track(long long delta) {
  long long now = g_live.fetch_add(delta) + delta;
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  Track(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* operator new[](std::size_t n) {
  return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  void* p = std::malloc(n ? n : 1);
  if (p) Track(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
  return operator new(n, t);
}
void operator delete(void* p) noexcept {
  if (!p) return;
  Track(-static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}
void operator delete[](void* p) noexcept {
  operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  operator delete(p);
}

// The plug-in's arrays come through its allocation seam: count those too.
namespace {
void* TrackedRealloc(void* old, std::size_t bytes) {
  long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
  void* p = std::realloc(old, bytes);
  if (p) Track(static_cast<long long>(malloc_usable_size(p)) - before);
  return p;
}
void TrackedFree(void* p) {
  if (!p) return;
  Track(-static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}

struct Corner {
  float x, y, z, u, v;
  uint32_t mat, sg;
};

// The corner stream the exporter keys its corners on: position, uv, material, smoothing word.
std::vector<Corner> CornerStream(const Mesh& m) {
  std::vector<Corner> out;
  out.reserve(m.faces.size() * 3);
  for (size_t f = 0; f < m.faces.size(); ++f)
    for (int k = 0; k < 3; ++k) {
      const Point3& p = m.verts[static_cast<size_t>(m.faces[f].v[k])];
      const Point3& t = m.tVerts[static_cast<size_t>(m.tvFace[f].t[k])];
      out.push_back({p.x, p.y, p.z, t.x, t.y, m.faces[f].matID, m.faces[f].smGroup});
    }
  return out;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void BM_MeshPath(benchmark::State& state) {
  const int triangles = static_cast<int>(state.range(0));
  scene::Scene s;
  scene::Node& node = bench::MakeTorus(s, triangles);
  s.Activate();
  auto* tobj = static_cast<TriObject*>(node.BaseObject());
  const double tris = static_cast<double>(tobj->GetMesh().getNumFaces());
  FILE* sink = std::fopen("/dev/null", "wb");

  // Baseline: meshoptimizer's remap over the same corners, best of three.
  std::vector<Corner> corners = CornerStream(tobj->GetMesh());
  std::vector<unsigned int> remap(corners.size());
  double meshopt = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    auto a = std::chrono::steady_clock::now();
    meshopt_generateVertexRemap(remap.data(), nullptr, corners.size(), corners.data(), corners.size(),
                                sizeof(Corner));
    meshopt = std::min(meshopt, Seconds(a, std::chrono::steady_clock::now()));
  }
  corners = {};
  remap = {};

  alloc::SetAllocator(TrackedRealloc, TrackedFree);
  double best = 1e30;
  long long peak_extra = 0;
  for (auto _ : state) {
    long long base = g_live.load();
    g_peak.store(base);
    auto a = std::chrono::steady_clock::now();
    {
      Obj obj(0.00001f);
      BuildObj(&node, tobj, &obj, nullptr);
      obj.RemoveUnused(nullptr);
      SaveObj sobj;
      sobj.Init(&obj, nullptr);
      RecordWriter out(sink);
      benchmark::DoNotOptimize(sobj.FWrite(out));
      out.Flush();
    }
    best = std::min(best, Seconds(a, std::chrono::steady_clock::now()));
    peak_extra = std::max(peak_extra, g_peak.load() - base);
  }
  alloc::SetAllocator(nullptr, nullptr);
  std::fclose(sink);

  state.counters["tris"] = tris;
  state.counters["ns_per_tri"] = best * 1e9 / tris;
  state.counters["meshopt_ns_per_tri"] = meshopt * 1e9 / tris;
  state.counters["ratio"] = best / meshopt;
  state.counters["peak_B_per_tri"] = static_cast<double>(peak_extra) / tris;
}

}  // namespace

BENCHMARK(BM_MeshPath)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Arg(4'000'000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

BENCHMARK_MAIN();
