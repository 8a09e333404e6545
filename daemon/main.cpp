// callerfs: mirrors the host's tree (or one directory of it) at the mount
// point, passing every request through to the same path below the base.
#include <fuse_lowlevel.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

#include "base/log.h"
#include "daemon/command_line.h"
#include "daemon/default_options.h"
#include "daemon/host_tree_setup.h"
#include "daemon/locks.h"
#include "daemon/mount_check.h"
#include "daemon/mount_paths.h"
#include "daemon/operations.h"
#include "daemon/own_mount.h"
#include "daemon/request_loop.h"
#include "daemon/status.h"
#include "ops/caller_identity.h"
#include "registry/descriptor_quota.h"
#include "registry/diagnostics.h"

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

constexpr char kUsage[] =
    "usage: callerfs [options] [SOURCE] MOUNTPOINT\n"
    "       callerfs status MOUNTPOINT [--json]   (root: what the daemon is doing)\n";

// The library's own texts go to standard error; for --help and --version
// they join callerfs's on standard output, and the answer is success.
void RunLibrary(const char* program, const char* flag) {
  char* args[] = {const_cast<char*>(program), const_cast<char*>(flag), nullptr};
  const fuse_operations& operations = callerfs::Operations(false);
  fuse_main_real(2, args, &operations, sizeof operations, nullptr);
}

void RunLibraryOnStandardOutput(const char* program, const char* flag) {
  std::fflush(stdout);
  ::dup2(STDOUT_FILENO, STDERR_FILENO);
  RunLibrary(program, flag);
}

// Lines of the library's help that do not hold for callerfs, found by their
// option: dropped (options callerfs refuses or takes itself) or replaced
// (defaults callerfs changes).
struct HelpFix {
  std::string_view option;
  std::string_view replacement;  // empty: the line is dropped
};
constexpr HelpFix kHelpFixes[] = {
    {"-o [no]auto_cache ", "    -o [no]auto_cache      enable caching based on modification times (on)"},
    {"-o use_ino ", "    -o use_ino             let filesystem set inode numbers (always on)"},
    {"-o big_writes ", "    -o big_writes          enable larger than 4kB writes (on, max_write=131072)"},
    {"-o umask=", ""},
    {"-o uid=", ""},
    {"-o gid=", ""},
    {"[subdir]", ""},
    {"-o subdir=", ""},
    {"-o [no]rellinks", ""},
    {"-o intr ", ""},
    {"-o intr_signal=", ""},
};

std::string FixedLibraryHelp(std::string_view text) {
  std::string fixed;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const auto fix = std::ranges::find_if(
        kHelpFixes, [&](const HelpFix& f) { return line.find(f.option) != std::string_view::npos; });
    if (fix != std::end(kHelpFixes)) {
      if (fix->replacement.empty()) continue;
      line = fix->replacement;
    }
    fixed.append(line).append("\n");
  }
  return fixed;
}

// The library's help, written to a file and printed as it holds for callerfs.
void PrintLibraryHelp(const char* program) {
  std::FILE* captured = std::tmpfile();
  if (captured == nullptr) return RunLibraryOnStandardOutput(program, "-ho");
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(::fileno(captured), STDERR_FILENO);
  RunLibrary(program, "-ho");
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  char chunk[4096];
  std::rewind(captured);
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, captured)) > 0;) text.append(chunk, n);
  std::fclose(captured);
  std::fputs(FixedLibraryHelp(text).c_str(), stdout);
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
      "    -o max_threads=N       serving threads at most (default: 256); no user\n"
      "                           has more than half of them in requests at once\n"
      "    -s                     serve requests on one thread\n"
      "    -f                     stay in the foreground\n"
      "    -d                     foreground, with the library's request trace\n"
      "\n"
      "The full reference: man 8 callerfs\n"
      "\n",
      kUsage);
  PrintLibraryHelp(program);
  return 0;
}

int Version(const char* program) {
  std::printf("callerfs %s\n", CALLERFS_VERSION);
  RunLibraryOnStandardOutput(program, "-V");
  return 0;
}

// Ends the mount after the loop returned. When workers are still held in a
// host call, the library's state stays (they may still touch it): the
// mount is only unmounted. False when the mount is still there afterwards.
bool Unmount(fuse* mounted, char* mountpoint, const callerfs::LoopEnd& end) {
  const dev_t device = callerfs::MountDeviceAt(mountpoint);
  const std::string shown = mountpoint;
  if (end.workers_left) {
    fuse_session* session = fuse_get_session(mounted);
    fuse_remove_signal_handlers(session);
    fuse_unmount(mountpoint, fuse_session_next_chan(session, nullptr));
  } else {
    fuse_teardown(mounted, mountpoint);
  }
  if (device == 0 || !callerfs::DeviceMounted(device)) return true;
  callerfs::LogUnmountFailed(shown);
  return false;
}

// Mounts (going to the background unless asked not to), serves requests
// until unmounted or signalled, and unmounts; the status is 0, or 1 when
// mounting failed, serving ended in an error or the mount could not be
// taken down.
int Serve(callerfs::CommandLine& line, const fuse_operations& operations,
          const callerfs::StartupFacts& facts) {
  // Made before mounting, so that requests are served from it, never from the
  // host's namespace, from the first one on.
  callerfs::OwnMountHidden hidden;
  char* mountpoint = nullptr;
  int multithreaded = 0;
  fuse* mounted = fuse_setup(line.library_args.argc, line.library_args.argv, &operations,
                             sizeof operations, &mountpoint, &multithreaded, nullptr);
  if (mounted == nullptr) return 1;
  callerfs::LogStartup(facts);
  callerfs::SkipDiagnosticsIfDiscarded();
  callerfs::StartDiagnosticsWriter();
  callerfs::StartStatusServer(mountpoint);
  // Still one thread here; the pool starts inside the loop and is gone (or
  // given up on) when it returns.
  hidden.Enter(mountpoint);
  if (!hidden.hidden()) callerfs::LogOwnMountVisible(hidden.why());
  const callerfs::LoopEnd end =
      callerfs::ServeRequests(mounted, {!multithreaded, static_cast<int>(line.max_threads)});
  // This thread never serves a request, but what follows needs the daemon's
  // own credentials whatever happened.
  callerfs::ops::RestoreDaemonIdentity();
  callerfs::StopStatusServer();
  hidden.Leave();
  const bool unmounted = Unmount(mounted, mountpoint, end);
  callerfs::StopDiagnosticsWriter(std::chrono::seconds(2));
  const int status = end.result == -1 || !unmounted ? 1 : 0;
  callerfs::LogShutdown(facts.mountpoint, status);
  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "%sTry 'callerfs --help' for the options.\n", kUsage);
    return 1;
  }
  if (std::string_view(argv[1]) == "status") return callerfs::RunStatusCommand(argc, argv);
  callerfs::UseProgramSearchPath();
  callerfs::PublishMountPaths(argc, argv);
  // The library's arguments live until the process ends (static: they stay
  // reachable for the leak checker).
  static callerfs::CommandLine line;
  std::string error;
  if (!callerfs::ParseCommandLine(argc, argv, line, error)) return Fail(error);
  if (line.help) return Help(argv[0]);
  if (line.version) return Version(argv[0]);
  if (!callerfs::CheckMountPoint(line, error)) return Fail(error);
  if (!callerfs::AddDefaultOptions(line)) return Fail("out of memory");
  callerfs::OpenSystemLog(line.foreground);
  callerfs::WarnAboutRisks(line);
  if (line.source_form) callerfs::PublishBaseDirectory(line.base);

  ::umask(0);  // each request applies its caller's umask itself
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
  callerfs::ops::InitCallerIdentity(descriptor_limit);
  return Serve(line, callerfs::Operations(lock_server),
               {callerfs::AbsolutePath(line.base), callerfs::AbsolutePath(line.mountpoint),
                line.single_thread, lock_server, per_user_cap});
}
