#include "tools/thmexport/sandbox/confine_reads.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sandbox {

int LandlockAbi() {
  const long v = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return v > 0 ? static_cast<int>(v) : 0;
}

bool ConfineReads(const std::vector<std::string>& folders) {
  if (LandlockAbi() < 1) return false;
  // Reading is what is confined; writing is the system-call filter's.
  const __u64 read = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = read;
  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
  if (ruleset < 0) return false;
  for (const std::string& folder : folders) {
    const int fd = open(folder.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) continue;
    landlock_path_beneath_attr beneath{};
    beneath.allowed_access = read;
    beneath.parent_fd = fd;
    syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0);
    close(fd);
  }
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  const bool ok = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return ok;
}

}  // namespace sandbox
