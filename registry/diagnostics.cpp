#include "registry/diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

namespace callerfs {

void SkipDiagnosticsIfDiscarded() {
  struct stat out, null;
  const bool discarded = ::fstat(STDOUT_FILENO, &out) == 0 && ::stat("/dev/null", &null) == 0 &&
                         S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
  internal::diagnostics_discarded.store(discarded, std::memory_order_relaxed);
}

}  // namespace callerfs
