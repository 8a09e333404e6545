// callerfs: mirrors the host's tree (or one directory of it) at the mount
// point, passing every request through to the same path below the base.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "daemon/command_line.h"
#include "daemon/locks.h"
#include "daemon/mount_paths.h"
#include "daemon/operations.h"
#include "registry/descriptor_quota.h"

namespace {

// The daemon holds a descriptor for every file any user has open through the
// mount; the usual soft limit of 1024 would soon refuse opens. Returns the
// soft limit in force afterwards.
long RaiseDescriptorLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    const struct rlimit raised = {limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<long>(std::min<rlim_t>(limit.rlim_cur, LONG_MAX));
}

int Fail(const std::string& reason) {
  std::fprintf(stderr, "callerfs: %s\n", reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  callerfs::UseProgramSearchPath();
  callerfs::PublishMountPaths(argc, argv);
  // The library's arguments live until the process ends (static: they stay
  // reachable for the leak checker).
  static callerfs::CommandLine line;
  std::string error;
  if (!callerfs::ParseCommandLine(argc, argv, line, error)) return Fail(error);
  if (line.source_form) callerfs::PublishBaseDirectory(line.base);

  ::umask(0);  // modes arrive with the caller's umask applied by the kernel
  const long descriptor_limit = RaiseDescriptorLimit();
  // Unless the command line says otherwise, one user's open files may take a
  // quarter of the daemon's descriptors.
  const long per_user_cap =
      line.max_files_per_user >= 0 ? line.max_files_per_user : descriptor_limit / 4;
  if (!callerfs::DescriptorQuota::Instance().Configure(descriptor_limit, per_user_cap)) {
    return Fail("out of memory");
  }
  // Diagnostics are whole lines; line buffering keeps them in order with the
  // registry's flushed lines and visible at once when output is a file or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!callerfs::OpenHostTree(line, error)) return Fail(error);

  const bool lock_server = !line.help && !line.version && callerfs::ServeLocksThroughServer(line);
  const fuse_operations& operations = callerfs::Operations(lock_server);
  return fuse_main_real(line.library_args.argc, line.library_args.argv, &operations,
                        sizeof operations, nullptr);
}
