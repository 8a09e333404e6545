// callerfs: mirrors the host's tree (or one directory of it) at the mount
// point, passing every request through to the same path below the base.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "daemon/command_line.h"
#include "daemon/mount_paths.h"
#include "daemon/operations.h"

namespace {

// The daemon holds a descriptor for every file any user has open through the
// mount; the usual soft limit of 1024 would soon refuse opens.
void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Fail(const std::string& reason) {
  std::fprintf(stderr, "callerfs: %s\n", reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  callerfs::PublishMountPaths(argc, argv);
  // The library's arguments live until the process ends (static: they stay
  // reachable for the leak checker).
  static callerfs::CommandLine line;
  std::string error;
  if (!callerfs::ParseCommandLine(argc, argv, line, error)) return Fail(error);
  if (line.source_form) callerfs::PublishBaseDirectory(line.base);

  ::umask(0);  // modes arrive with the caller's umask applied by the kernel
  RaiseDescriptorLimit();
  // Diagnostics are whole lines; line buffering keeps them in order with the
  // registry's flushed lines and visible at once when output is a file or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!callerfs::OpenHostTree(line, error)) return Fail(error);

  return fuse_main_real(line.library_args.argc, line.library_args.argv, &callerfs::kOperations,
                        sizeof(callerfs::kOperations), nullptr);
}
