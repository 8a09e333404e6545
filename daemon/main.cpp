// callerfs: mirrors the host's tree (or one directory of it) at the mount
// point, passing every request through to the same path below the base.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr char kUsage[] = "usage: callerfs [options] [SOURCE] MOUNTPOINT\n";

// The library's own texts go to standard error; for --help and --version
// they join callerfs's on standard output, and the answer is success.
void RunLibraryOnStandardOutput(const char* program, const char* flag) {
  std::fflush(stdout);
  ::dup2(STDOUT_FILENO, STDERR_FILENO);
  char* args[] = {const_cast<char*>(program), const_cast<char*>(flag), nullptr};
  const fuse_operations& operations = callerfs::Operations(false);
  fuse_main_real(2, args, &operations, sizeof operations, nullptr);
}

int Help(const char* program) {
  std::printf(
      "%s"
      "Mirrors SOURCE (default: /) at MOUNTPOINT for every user of the host: what a user\n"
      "creates belongs to that user; writing another user's set-ID file clears the bits.\n"
      "\n"
      "Options that matter most:\n"
      "    -o allow_other         let every user of the host use the mount\n"
      "    -o default_permissions let the kernel check each user's permissions\n"
      "                           (always with allow_other: the daemon acts as root)\n"
      "    -o max_files_per_user=N  descriptors held open for one user (default: a\n"
      "                           quarter of the daemon's limit; root is exempt)\n"
      "    -o coherent            for files written on the host at the same time: no\n"
      "                           page, attribute or name caching (slower; no shared\n"
      "                           mappings)\n"
      "    -s                     serve requests on one thread\n"
      "    -f                     stay in the foreground\n"
      "    -d                     foreground, with the library's request trace\n"
      "\n"
      "The full reference: man 8 callerfs\n"
      "\n",
      kUsage);
  RunLibraryOnStandardOutput(program, "-ho");
  return 0;
}

int Version(const char* program) {
  std::printf("callerfs %s\n", CALLERFS_VERSION);
  RunLibraryOnStandardOutput(program, "-V");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "%sTry 'callerfs --help' for the options.\n", kUsage);
    return 1;
  }
  callerfs::UseProgramSearchPath();
  callerfs::PublishMountPaths(argc, argv);
  // The library's arguments live until the process ends (static: they stay
  // reachable for the leak checker).
  static callerfs::CommandLine line;
  std::string error;
  if (!callerfs::ParseCommandLine(argc, argv, line, error)) return Fail(error);
  if (line.help) return Help(argv[0]);
  if (line.version) return Version(argv[0]);
  if (!callerfs::AddDefaultOptions(line)) return Fail("out of memory");
  callerfs::WarnAboutRisks(line);
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

  const bool lock_server = callerfs::ServeLocksThroughServer(line);
  const fuse_operations& operations = callerfs::Operations(lock_server);
  return fuse_main_real(line.library_args.argc, line.library_args.argv, &operations,
                        sizeof operations, nullptr);
}
