// callerfs: mirrors the host's tree (or one directory of it, with the subdir
// module) at the mount point, passing every request through to the same path.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <new>

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

}  // namespace

int main(int argc, char* argv[]) {
  callerfs::PublishMountPaths(argc, argv);
  ::umask(0);  // modes arrive with the caller's umask applied by the kernel
  RaiseDescriptorLimit();
  // Diagnostics are whole lines; line buffering keeps them in order with the
  // registry's flushed lines and visible at once when output is a file or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // use_ino always comes first, so the host's inode numbers reach callers.
  // The vector lives until the process ends (static: it stays reachable).
  static char** args = new (std::nothrow) char*[argc + 3];
  if (args == nullptr) {
    std::fprintf(stderr, "callerfs: out of memory preparing the arguments\n");
    return 1;
  }
  static char option_flag[] = "-o";
  static char use_ino[] = "use_ino";
  args[0] = argv[0];
  args[1] = option_flag;
  args[2] = use_ino;
  for (int i = 1; i < argc; ++i) args[i + 2] = argv[i];
  args[argc + 2] = nullptr;

  return fuse_main_real(argc + 2, args, &callerfs::kOperations, sizeof(callerfs::kOperations),
                        nullptr);
}
