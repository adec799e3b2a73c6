#include "tools/thmexport/hugepages.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace thmexport {

void UseHugePages(char** argv) {
#ifdef __linux__
  const char* given = std::getenv("GLIBC_TUNABLES");
  const bool had = given != nullptr;
  const std::string tunables = had ? given : "";  // a copy: setenv may free what getenv gave
  if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
  const std::string wanted = (tunables.empty() ? "" : tunables + ":") + "glibc.malloc.hugetlb=1";
  if (setenv("GLIBC_TUNABLES", wanted.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // No /proc, or the program is gone: run as we are, and leave the
  // environment as it came for what we start.
  if (had)
    setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
  else
    unsetenv("GLIBC_TUNABLES");
#else
  (void)argv;
#endif
}

}  // namespace thmexport
