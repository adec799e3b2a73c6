#include "host/types.h"

namespace {
int g_ticks_per_frame = 160;
double g_master_scale = 1.0;
}  // namespace

int GetTicksPerFrame() {
  return g_ticks_per_frame;
}
void SetTicksPerFrame(int ticks) {
  g_ticks_per_frame = ticks > 0 ? ticks : 160;
}
double GetMasterScale(int) {
  return g_master_scale;
}
void SetMasterScale(double scale) {
  g_master_scale = scale;
}

void SplitPathFile(const CStr& full, CStr* path, CStr* file) {
  const std::string& s = full.str();
  size_t cut = s.find_last_of("/\\:");
  if (cut == std::string::npos) {
    if (path) *path = CStr("");
    if (file) *file = CStr(s);
    return;
  }
  if (path) *path = CStr(s.substr(0, cut));
  if (file) *file = CStr(s.substr(cut + 1));
}
