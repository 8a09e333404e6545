// A real callerfs mount for end-to-end tests: the built daemon runs in the
// foreground on a fresh source tree and mount point under a temporary
// directory, with its standard output (the diagnostics) in a file. The
// fixture always unmounts and reaps the daemon, checks its exit status and
// checks that no descriptor on the test tree is left open in the daemon.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace callerfs::testing {

struct MountOptions {
  // Mirror the host's whole tree instead of only the source directory; the
  // source directory is then reached through the mount at its host path.
  bool whole_tree = false;
  // Give the base directory as SOURCE, before the mount point, instead of
  // with -o modules=subdir,subdir=.
  bool base_as_source = false;
  // Write the base as "src-link", a relative path to a link to the source
  // directory (the daemon then starts in the test's root directory).
  bool base_through_relative_link = false;
  // Turns off the kernel's attribute and entry caches, so every request
  // reaches the daemon and host-side changes are seen at once.
  bool no_kernel_cache = true;
  // Extra comma-separated -o options, appended after the fixture's own.
  std::string options;
  // Extra arguments placed before the mount point (e.g. "-s").
  std::vector<std::string> extra_args;
  // Where the daemon's standard output goes instead of the log file.
  std::string output_path;
  // Extra "NAME=value" environment entries for the daemon.
  std::vector<std::string> environment;
  // When set, the daemon inherits this file (opened for appending, created if
  // missing) as descriptor number inherited_fd.
  std::string inherited_file_path;
  int inherited_fd = -1;
};

class Mirror {
 public:
  Mirror() = default;
  Mirror(const Mirror&) = delete;
  Mirror& operator=(const Mirror&) = delete;
  ~Mirror();

  // Creates the tree and mounts it; failures are reported through gtest
  // (check HasFatalFailure() afterwards).
  void Start(const MountOptions& options = {});
  // Unmounts, reaps the daemon and checks its exit status and descriptors.
  // Safe to call more than once.
  void Stop();

  bool running() const { return daemon_pid_ > 0; }
  pid_t daemon_pid() const { return daemon_pid_; }
  const std::string& root() const { return root_; }
  const std::string& src_dir() const { return src_; }
  const std::string& mnt_dir() const { return mnt_; }
  // Paths of the same object on the host and through the mount.
  std::string src(const std::string& relative) const { return src_ + "/" + relative; }
  std::string mnt(const std::string& relative) const { return mnt_tree_ + "/" + relative; }

  // The daemon's standard output so far, and from a mark on.
  std::string Log() const;
  size_t LogMark() const { return Log().size(); }
  std::string LogSince(size_t mark) const;
  // Waits (up to timeout) until the output after mark contains text.
  bool WaitForLog(size_t mark, const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  std::string Stderr() const;

  // What every descriptor of the daemon refers to, sockets left out (the
  // lock library keeps its connection to the lock server open).
  std::vector<std::string> DescriptorTargets() const;
  // Descriptors the daemon holds on anything under the test tree.
  std::vector<std::string> OpenTreeDescriptors() const;
  // Waits until the daemon holds no descriptor on the tree; release is
  // asynchronous, so a test's close(2) may return before the daemon's.
  bool WaitForNoTreeDescriptors(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Waits until the daemon holds at most `most` descriptors (sockets aside).
  bool WaitForDescriptorCount(size_t most) const;

  // Sends a signal to the daemon and waits for it to exit; returns its raw
  // wait status. The mount is cleaned up afterwards if still there.
  int SignalAndReap(int signal);

  // Whether the mount point has a FUSE mount on it.
  bool IsMounted() const;

 private:
  void Unmount();
  int ReapWithTimeout(std::chrono::milliseconds timeout);

  std::string root_, src_, mnt_, log_path_, err_path_;
  std::string mnt_tree_;  // the source directory as seen through the mount
  std::vector<std::string> baseline_descriptors_;  // right after mounting
  pid_t daemon_pid_ = -1;
};

// Gives the test process a mount namespace of its own, once, whose root
// mount is shared (as systemd makes the host's); the FUSE mounts copied from
// the host are detached in it. Mirror::Start calls it.
void ShareRootMountOnce();

// Runs fn in a forked child with the given credentials (supplementary groups
// cleared) and returns the child's exit code (fn's result), or 128 + signal.
int RunAs(uid_t uid, gid_t gid, const std::function<int()>& fn);

// Runs a program to completion, output discarded; returns its exit code
// (128 + signal when killed, -1 when it could not be started).
int RunProgram(const std::vector<std::string>& argv);

// In a forked child: replaces the process with argv (searched on PATH), or
// exits with 127.
[[noreturn]] void ExecOrExit(const std::vector<std::string>& argv);

// Waits up to timeout for a child to end and reaps it; kills it (and returns
// false) if it has not ended by then. Its wait status goes to *status.
bool ReapWithin(pid_t pid, std::chrono::milliseconds timeout, int* status);

// Entries of /proc/PID/DIR: threads ("task"), descriptors ("fd").
size_t ProcEntryCount(pid_t pid, const std::string& dir);

// Processes below ancestor (its children, theirs, and so on) whose command
// name is comm. A process that detaches from its parent is found only when
// ancestor is a child subreaper (prctl PR_SET_CHILD_SUBREAPER).
std::vector<pid_t> DescendantsNamed(pid_t ancestor, const std::string& comm);

// Whether pid is inside the system call with this number (/proc/PID/syscall).
bool InSystemCall(pid_t pid, long number);

// errno of the last failing call as an exit code: 0 on success.
inline int ErrnoOf(int result) { return result == -1 ? errno : 0; }

// Environment entries that preload library into the daemon (also when the
// daemon and the library are built with AddressSanitizer).
std::vector<std::string> PreloadEnvironment(const std::string& library);

// Why a mount test cannot run here, or empty when it can.
std::string MountUnavailableReason();

// Base for tests that need a mount: skips with a reason when /dev/fuse or
// root is missing, mounts in SetUp and unmounts in TearDown.
class MountTest : public ::testing::Test {
 protected:
  virtual MountOptions Options() const { return {}; }
  void SetUp() override;
  void TearDown() override;
  Mirror mirror_;
};

// Whether this process's mount table has a mount of a type starting with
// type_prefix at path.
bool MountedAt(const std::string& path, const std::string& type_prefix = "");

// Starts the tests' small FUSE file system (one file, "hello") at mountpoint
// in the foreground, with the given -o options, and waits until it is
// mounted; its pid, or -1 (reaped) when it did not mount. With a user, it is
// mounted for that user (user_id and group_id theirs).
pid_t StartTinyFs(const std::string& mountpoint, const std::string& options, uid_t user = 0);

// Small file helpers for tests.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644);
size_t CountOccurrences(const std::string& text, const std::string& needle);

}  // namespace callerfs::testing
