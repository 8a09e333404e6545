#include "tests/support/mount_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Checks done() every few milliseconds until it holds or timeout passes.
template <typename Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

std::string MountUnavailableReason() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available on this machine";
  if (geteuid() != 0) return "mount tests run as root (they act as other users through setuid)";
  return "";
}

Mirror::~Mirror() { Stop(); }

namespace {

// A daemon sees the host's later mounts (a small file system mounted into the
// tree by a test, say) only where the host's root mount is shared, as systemd
// makes it; some containers make it private. Each test process runs in a
// mount namespace of its own whose root is shared, as on such a host. The
// FUSE mounts it copied from the host belong to others: detached here, so
// that this namespace never keeps them alive after their owners unmount.
}  // namespace

void ShareRootMountOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  if (unshare(CLONE_NEWNS) != 0) {
    std::perror("cannot give the test a mount namespace of its own");
    return;
  }
  std::vector<std::string> fuse_mounts;
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string field, mountpoint;
    for (int i = 0; i < 5 && fields >> field; ++i) mountpoint = field;
    while (fields >> field && field != "-") {
    }
    if (fields >> field && field.rfind("fuse", 0) == 0 && field != "fusectl") {
      fuse_mounts.push_back(mountpoint);
    }
  }
  for (auto it = fuse_mounts.rbegin(); it != fuse_mounts.rend(); ++it) {
    umount2(it->c_str(), MNT_DETACH);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_SHARED, nullptr) != 0) {
    std::perror("cannot make the test's root mount shared");
  }
}

void Mirror::Start(const MountOptions& options) {
  ShareRootMountOnce();
  char pattern[] = "/tmp/callerfs-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
  root_ = pattern;
  src_ = root_ + "/src";
  mnt_ = root_ + "/mnt";
  log_path_ = root_ + "/daemon.out";
  err_path_ = root_ + "/daemon.err";
  // Other users must reach the tree through the mount and on the host.
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(src_.c_str(), 0777), 0);
  ASSERT_EQ(chmod(src_.c_str(), 01777), 0);
  ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);

  mnt_tree_ = options.whole_tree ? mnt_ + src_ : mnt_;
  std::string base = src_;
  if (options.base_through_relative_link) {
    ASSERT_EQ(symlink("src", (root_ + "/src-link").c_str()), 0);
    base = "src-link";
  }
  std::string option_list = "allow_other";
  if (!options.whole_tree && !options.base_as_source) option_list += ",modules=subdir,subdir=" + base;
  if (options.no_kernel_cache) option_list += ",attr_timeout=0,entry_timeout=0,negative_timeout=0";
  if (!options.options.empty()) option_list += "," + options.options;
  std::vector<std::string> argv = {CALLERFS_BINARY, "-f", "-o", option_list};
  argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
  if (options.base_as_source) argv.push_back(base);
  argv.push_back(mnt_);

  daemon_pid_ = fork();
  ASSERT_GE(daemon_pid_, 0) << strerror(errno);
  if (daemon_pid_ == 0) {
    const std::string& output = options.output_path.empty() ? log_path_ : options.output_path;
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!options.inherited_file_path.empty() && options.inherited_fd > STDERR_FILENO) {
      const int extra = open(options.inherited_file_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (extra != options.inherited_fd) {
        dup2(extra, options.inherited_fd);
        close(extra);
      }
    }
    for (const std::string& entry : options.environment) putenv(strdup(entry.c_str()));
    if (chdir(root_.c_str()) != 0) _exit(126);
    ExecOrExit(argv);
  }

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!IsMounted()) {
    int status = 0;
    if (waitpid(daemon_pid_, &status, WNOHANG) == daemon_pid_) {
      daemon_pid_ = -1;
      FAIL() << "callerfs exited before mounting (" << Describe(status) << "): " << Stderr();
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Stop();
      FAIL() << "callerfs did not mount within 10 s: " << Stderr();
    }
    std::this_thread::sleep_for(10ms);
  }
  // The first request completes the library's init before tests begin.
  struct stat st;
  ASSERT_EQ(stat(mnt_.c_str(), &st), 0) << strerror(errno);
  baseline_descriptors_ = DescriptorTargets();
}

bool Mirror::IsMounted() const { return MountedAt(mnt_, "fuse"); }

bool MountedAt(const std::string& path, const std::string& type_prefix) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  const std::string needle = " " + path + " ";
  while (std::getline(mounts, line)) {
    const size_t separator = line.find(" - ");
    if (line.find(needle) < separator && line.compare(separator + 3, type_prefix.size(), type_prefix) == 0) {
      return true;
    }
  }
  return false;
}

pid_t StartTinyFs(const std::string& mountpoint, const std::string& options, uid_t user) {
  const pid_t pid = fork();
  if (pid == 0) {
    // The library mounts for the real ids; root's effective ids open
    // /dev/fuse wherever only root may.
    if (user != 0 && (setgroups(0, nullptr) != 0 || setresgid(user, 0, 0) != 0 ||
                      setresuid(user, 0, 0) != 0)) {
      _exit(1);
    }
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    std::vector<std::string> argv = {CALLERFS_TINY_FS, "-f", mountpoint};
    if (!options.empty()) argv.insert(argv.end(), {"-o", options});
    ExecOrExit(argv);
  }
  if (pid < 0) return -1;
  if (PollUntil([&] { return MountedAt(mountpoint, "fuse"); }, 10s)) return pid;
  int status;
  ReapWithin(pid, 1s, &status);
  return -1;
}

void Mirror::Unmount() {
  for (int attempt = 0; attempt < 50 && IsMounted(); ++attempt) {
    if (RunProgram({"fusermount", "-u", mnt_}) == 0) return;
    std::this_thread::sleep_for(100ms);  // busy: a child may still be closing
  }
  if (IsMounted()) {
    ADD_FAILURE() << "the mount stayed busy; detaching it lazily";
    RunProgram({"fusermount", "-u", "-z", mnt_});
  }
}

int Mirror::ReapWithTimeout(std::chrono::milliseconds timeout) {
  int status = 0;
  if (!ReapWithin(daemon_pid_, timeout, &status)) {
    ADD_FAILURE() << "callerfs did not exit after unmounting; killed it";
  }
  daemon_pid_ = -1;
  return status;
}

void Mirror::Stop() {
  if (daemon_pid_ > 0) {
    if (!WaitForNoTreeDescriptors()) {
      std::string held;
      for (const std::string& target : OpenTreeDescriptors()) held += " " + target;
      ADD_FAILURE() << "the daemon still holds descriptors on the test tree:" << held;
    }
    if (!WaitForDescriptorCount(baseline_descriptors_.size())) {
      std::string now;
      for (const std::string& target : DescriptorTargets()) now += " " + target;
      ADD_FAILURE() << "the daemon holds more descriptors than after mounting ("
                    << baseline_descriptors_.size() << "):" << now;
    }
    // The daemon unmounts on its own at SIGTERM: nothing detaches behind it.
    kill(daemon_pid_, SIGTERM);
    const int status = ReapWithTimeout(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "callerfs ended with " << Describe(status) << ": " << Stderr();
    EXPECT_FALSE(IsMounted()) << "callerfs exited and left its mount";
    if (IsMounted()) Unmount();
  } else if (!mnt_.empty() && IsMounted()) {
    RunProgram({"fusermount", "-u", "-z", mnt_});
  }
  if (!root_.empty() && !IsMounted()) {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    root_.clear();
  }
}

int Mirror::SignalAndReap(int signal) {
  kill(daemon_pid_, signal);
  const int status = ReapWithTimeout(10s);
  if (IsMounted()) RunProgram({"fusermount", "-u", "-z", mnt_});
  return status;
}

std::string Mirror::Log() const { return Slurp(log_path_); }

std::string Mirror::LogSince(size_t mark) const {
  const std::string log = Log();
  return mark < log.size() ? log.substr(mark) : "";
}

bool Mirror::WaitForLog(size_t mark, const std::string& text,
                        std::chrono::milliseconds timeout) const {
  return PollUntil([&] { return LogSince(mark).find(text) != std::string::npos; }, timeout);
}

std::string Mirror::Stderr() const { return Slurp(err_path_); }

std::vector<std::string> Mirror::DescriptorTargets() const {
  std::vector<std::string> targets;
  if (daemon_pid_ <= 0) return targets;
  const std::string dir = "/proc/" + std::to_string(daemon_pid_) + "/fd";
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    std::error_code link_error;
    const std::string target = fs::read_symlink(entry.path(), link_error).string();
    if (!link_error && target.rfind("socket:", 0) != 0) targets.push_back(target);
  }
  return targets;
}

bool Mirror::WaitForDescriptorCount(size_t most) const {
  return PollUntil([&] { return DescriptorTargets().size() <= most; }, 5s);
}

// The base directory itself is held from start-up on (it is in the baseline).
std::vector<std::string> Mirror::OpenTreeDescriptors() const {
  std::vector<std::string> held;
  for (const std::string& target : DescriptorTargets()) {
    if (target.rfind(src_, 0) == 0 && target != src_) held.push_back(target);
  }
  return held;
}

bool Mirror::WaitForNoTreeDescriptors(std::chrono::milliseconds timeout) const {
  return PollUntil([&] { return OpenTreeDescriptors().empty(); }, timeout);
}

size_t ProcEntryCount(pid_t pid, const std::string& dir) {
  std::error_code error;
  size_t count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + dir, error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

std::vector<pid_t> DescendantsNamed(pid_t ancestor, const std::string& comm) {
  struct Process {
    pid_t parent;
    std::string comm;
  };
  std::map<pid_t, Process> processes;
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // "PID (COMM) STATE PPID ...": COMM may hold spaces and parentheses.
    const std::string stat = Slurp(it->path().string() + "/stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    pid_t parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) != 1) continue;
    processes[std::stoi(name)] = {parent, stat.substr(open + 1, close - open - 1)};
  }
  std::vector<pid_t> found;
  for (const auto& [pid, process] : processes) {
    if (process.comm != comm) continue;
    for (pid_t up = process.parent; up > 1; ) {
      if (up == ancestor) {
        found.push_back(pid);
        break;
      }
      const auto parent = processes.find(up);
      if (parent == processes.end()) break;
      up = parent->second.parent;
    }
  }
  return found;
}

bool InSystemCall(pid_t pid, long number) {
  long current = -1;
  return std::sscanf(Slurp("/proc/" + std::to_string(pid) + "/syscall").c_str(), "%ld", &current) == 1 &&
         current == number;
}

std::vector<std::string> PreloadEnvironment(const std::string& library) {
  // An instrumented daemon loads the instrumented library ahead of its
  // sanitizer runtime; tell the runtime that this order is intended.
  const char* current = std::getenv("ASAN_OPTIONS");
  std::string options = current != nullptr ? current : "";
  if (!options.empty()) options += ":";
  return {"LD_PRELOAD=" + library, "ASAN_OPTIONS=" + options + "verify_asan_link_order=0"};
}

int RunProgram(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    ExecOrExit(argv);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ExecOrExit(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

bool ReapWithin(pid_t pid, std::chrono::milliseconds timeout, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, status, 0);
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

int RunAs(uid_t uid, gid_t gid, const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    _exit(fn());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void MountTest::SetUp() {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  mirror_.Start(Options());
}

void MountTest::TearDown() { mirror_.Stop(); }

std::string ReadFile(const std::string& path) { return Slurp(path); }

void WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  fchmod(fd, mode);  // the mode asked for, whatever the test's umask
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace callerfs::testing
