// Smoothing groups against the source's normals, model by model:
//   smooth_measure MODEL...
// One line per model that has nodes with normals, then the totals.
#include <cstdio>
#include <exception>

#include "tools/smoothmeasure/smooth_quality.h"

namespace {

void Print(const char* name, const smooth_quality::Figures& f) {
  const double c = f.corners ? double(f.corners) : 1.0;
  std::printf(
      "%-60s corners %8ld  near best %6.2f%%  near source %6.2f%% (best %6.2f%%)  joins %7ld  floor %5ld"
      "  hard by words %5ld  wrong soft %ld\n",
      name, f.corners, 100.0 * f.nearBest / c, 100.0 * f.nearSource / c, 100.0 * f.bestNearSource / c,
      f.joins, f.floor, f.hardByWords, f.wrongSoft);
}

}  // namespace

int main(int argc, char** argv) {
  smooth_quality::Figures total;
  int models = 0;
  for (int i = 1; i < argc; ++i) {
    try {
      int nodes = 0;
      const smooth_quality::Figures f = smooth_quality::MeasureModel(argv[i], &nodes);
      if (nodes == 0 || f.corners == 0) continue;
      Print(argv[i], f);
      total.Add(f);
      ++models;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "skipped: %s\n", e.what());
    }
  }
  std::printf("%d models\n", models);
  Print("total", total);
  return 0;
}
