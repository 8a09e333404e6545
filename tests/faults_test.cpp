// Faults through a real mount: a full filesystem under the mirrored tree, the
// daemon running out of descriptors, files removed, renamed or replaced on the
// host while they are open through the mount, and the daemon ended by signals.
// In every case users get a proper error (or none) and the daemon keeps
// serving, or, for the signals, leaves no mount behind.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Whether something is mounted exactly at path.
bool MountedAt(const std::string& path) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mount_point;
    fields >> id >> parent >> device >> root >> mount_point;
    if (mount_point == path) return true;
  }
  return false;
}

// Waits up to timeout for a child to end, without reaping it, so that the
// state it left (its mount) can be looked at before the fixture reaps it.
bool WaitForExitUnreaped(pid_t pid, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

const char* ErrorName(int error) {
  const char* name = error == 0 ? nullptr : strerrorname_np(error);
  return name != nullptr ? name : (error == 0 ? "none" : "unknown");
}

std::string Pattern(size_t size, char seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + (i * 7 + i / 4096) % 61);
  return data;
}

// Writes data to path through the mount: 0 or the errno of the failing call.
int WriteThrough(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) return errno;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote <= 0) {
      const int error = wrote < 0 ? errno : EIO;
      close(fd);
      return error;
    }
    done += static_cast<size_t>(wrote);
  }
  return close(fd) == 0 ? 0 : errno;
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  return names;
}

std::string ReadAt(int fd, size_t size, off_t offset = 0) {
  std::string data(size, '\0');
  const ssize_t got = pread(fd, data.data(), size, offset);
  data.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return data;
}

// A descriptor closed at the end of its scope, so a failed assertion leaves
// nothing open that would keep the mount busy.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // close(2)'s result: 0 or the errno.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

ino_t HostInode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class FaultsTest : public MountTest {
 protected:
  void TearDown() override {
    const std::string errors = mirror_.Stderr();
    for (const char* marker :
         {"AddressSanitizer", "ThreadSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(errors.find(marker), std::string::npos) << errors;
    }
    MountTest::TearDown();
  }
};

// The daemon follows the host's mounts a moment after they happen: waits up
// to 2 s until its mount table has one at path.
bool DaemonSeesMount(const Mirror& m, const std::string& path) {
  const std::string table = "/proc/" + std::to_string(m.daemon_pid()) + "/mountinfo";
  for (const auto deadline = Clock::now() + 2s; Clock::now() < deadline;
       std::this_thread::sleep_for(1ms)) {
    if (ReadFile(table).find(" " + path + " ") != std::string::npos) return true;
  }
  return false;
}

// A small tmpfs mounted inside the mirrored tree, unmounted in every path.
class SmallFilesystem {
 public:
  explicit SmallFilesystem(std::string dir) : dir_(std::move(dir)) {
    if (mkdir(dir_.c_str(), 0777) != 0) {
      error_ = std::string("mkdir: ") + std::strerror(errno);
      return;
    }
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=4m,mode=1777") != 0) {
      error_ = std::string("mount tmpfs: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  SmallFilesystem(const SmallFilesystem&) = delete;
  SmallFilesystem& operator=(const SmallFilesystem&) = delete;
  ~SmallFilesystem() {
    if (mounted_ && umount2(dir_.c_str(), 0) != 0) umount2(dir_.c_str(), MNT_DETACH);
  }

  const std::string& error() const { return error_; }
  // 0, or the errno of a plain (not lazy) unmount.
  int Unmount() {
    if (!mounted_) return 0;
    if (umount2(dir_.c_str(), 0) != 0) return errno;
    mounted_ = false;
    return 0;
  }

 private:
  std::string dir_;
  std::string error_;
  bool mounted_ = false;
};

TEST_F(FaultsTest, FullFilesystemReportsNoSpaceAndTheDaemonKeepsServing) {
  SmallFilesystem small(mirror_.src("small"));
  ASSERT_EQ(small.error(), "");
  ASSERT_TRUE(DaemonSeesMount(mirror_, mirror_.src("small")));

  // Data written before the filesystem fills up.
  const std::string kept = Pattern(64 << 10, 'A');
  ASSERT_EQ(WriteThrough(mirror_.mnt("small/kept"), kept), 0);

  // Fill it: the error may come from write(2), or from fsync/close when the
  // kernel defers the writes.
  const int fd = open(mirror_.mnt("small/big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string chunk = Pattern(64 << 10, 'a');
  size_t written = 0;
  int write_error = 0;
  while (written < (16u << 20)) {
    const ssize_t wrote = write(fd, chunk.data(), chunk.size());
    if (wrote < 0) {
      write_error = errno;
      break;
    }
    written += static_cast<size_t>(wrote);
  }
  const int fsync_error = fsync(fd) == 0 ? 0 : errno;
  const int close_error = close(fd) == 0 ? 0 : errno;
  EXPECT_TRUE(write_error == ENOSPC || fsync_error == ENOSPC || close_error == ENOSPC)
      << "write: " << std::strerror(write_error) << ", fsync: " << std::strerror(fsync_error)
      << ", close: " << std::strerror(close_error);
  std::printf("%zu bytes written; write: %s, fsync: %s, close: %s\n", written,
              ErrorName(write_error), ErrorName(fsync_error), ErrorName(close_error));
  EXPECT_LE(written, 4u << 20);
  EXPECT_TRUE(write_error == 0 || write_error == ENOSPC) << std::strerror(write_error);

  // Earlier data intact; the daemon answers stat and listings.
  EXPECT_TRUE(ReadFile(mirror_.mnt("small/kept")) == kept);
  EXPECT_TRUE(ReadFile(mirror_.src("small/kept")) == kept);
  struct stat st;
  ASSERT_EQ(stat(mirror_.mnt("small/big").c_str(), &st), 0) << std::strerror(errno);
  EXPECT_EQ(static_cast<size_t>(st.st_size), written);
  const std::vector<std::string> names = List(mirror_.mnt("small"));
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"kept", "big"}));

  // A new write fails while full, and works once the big file is gone.
  EXPECT_EQ(WriteThrough(mirror_.mnt("small/more"), chunk), ENOSPC);
  ASSERT_EQ(unlink(mirror_.mnt("small/big").c_str()), 0) << std::strerror(errno);
  const std::string fresh = Pattern(1 << 20, '0');
  EXPECT_EQ(WriteThrough(mirror_.mnt("small/more"), fresh), 0);
  EXPECT_TRUE(ReadFile(mirror_.src("small/more")) == fresh);
  EXPECT_TRUE(ReadFile(mirror_.mnt("small/more")) == fresh);
  EXPECT_TRUE(ReadFile(mirror_.mnt("small/kept")) == kept);

  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_EQ(small.Unmount(), 0) << "the tmpfs is still busy";
  EXPECT_EQ(stat(mirror_.mnt_dir().c_str(), &st), 0);
}

// Lowers the daemon's descriptor limit and restores it in every path.
class DescriptorLimit {
 public:
  DescriptorLimit(pid_t pid, rlim_t soft) : pid_(pid) {
    if (prlimit(pid_, RLIMIT_NOFILE, nullptr, &saved_) != 0) return;
    struct rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    set_ = prlimit(pid_, RLIMIT_NOFILE, &lowered, nullptr) == 0;
  }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  ~DescriptorLimit() { Restore(); }

  bool set() const { return set_; }
  bool Restore() {
    if (!set_) return true;
    set_ = false;
    return prlimit(pid_, RLIMIT_NOFILE, &saved_, nullptr) == 0;
  }
  rlim_t saved_soft() const { return saved_.rlim_cur; }

 private:
  pid_t pid_;
  struct rlimit saved_ {};
  bool set_ = false;
};

TEST_F(FaultsTest, DaemonOutOfDescriptorsReportsTooManyOpenFilesAndRecovers) {
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) {
    WriteFile(mirror_.src("f" + std::to_string(i)), "file " + std::to_string(i) + "\n");
  }
  const pid_t daemon = mirror_.daemon_pid();
  const size_t in_use = ProcEntryCount(daemon, "fd");
  ASSERT_GT(in_use, 0u);
  DescriptorLimit limit(daemon, in_use + 20);
  ASSERT_TRUE(limit.set()) << std::strerror(errno);

  std::vector<int> held;
  int open_error = 0;
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open(mirror_.mnt("f" + std::to_string(i)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
      open_error = errno;
      break;
    }
    held.push_back(fd);
  }
  EXPECT_TRUE(open_error == EMFILE || open_error == ENFILE)
      << "after " << held.size() << " opens: " << std::strerror(open_error);
  EXPECT_GT(held.size(), 0u);
  EXPECT_LT(held.size(), 40u);

  // Requests that need no descriptor are still served, and the open files work.
  struct stat st;
  EXPECT_EQ(stat(mirror_.mnt("f0").c_str(), &st), 0) << std::strerror(errno);
  if (!held.empty()) {
    EXPECT_EQ(ReadAt(held[0], 64), "file 0\n");
  }

  // Each close(2) of a file through the mount flushes it, and the daemon's
  // flush duplicates the descriptor: with no descriptor to spare that fails.
  // The file is released all the same, so a failed close leaks nothing.
  int failed_closes = 0;
  for (int fd : held) {
    if (close(fd) != 0) {
      EXPECT_EQ(errno, EBADF);
      ++failed_closes;
    }
  }
  std::printf("%zu opens before %s; %d of their closes failed\n", held.size(),
              ErrorName(open_error), failed_closes);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());

  // With descriptors free again, opens and listings work.
  const std::string last = "f" + std::to_string(kFiles - 1);
  EXPECT_EQ(ReadFile(mirror_.mnt(last)), "file " + std::to_string(kFiles - 1) + "\n");
  EXPECT_EQ(List(mirror_.mnt_dir()).size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(WriteThrough(mirror_.mnt("after"), "written after\n"), 0);
  EXPECT_EQ(ReadFile(mirror_.src("after")), "written after\n");

  ASSERT_TRUE(limit.Restore());
  struct rlimit now {};
  ASSERT_EQ(prlimit(daemon, RLIMIT_NOFILE, nullptr, &now), 0);
  EXPECT_EQ(now.rlim_cur, limit.saved_soft());
}

// The host file is unlinked while open write-only (the caller's registered
// handle) and read-only through the mount, and a new file appears at the name.
// A stat of an open file travels by its path, like any other stat, so the open
// file's own size is watched through its descriptors' reads.
TEST_F(FaultsTest, FileReplacedOnTheHostWhileOpenIsADifferentFile) {
  const std::string host = mirror_.src("doc");
  const std::string path = mirror_.mnt("doc");
  WriteFile(host, "original", 0666);
  ASSERT_EQ(setxattr(host.c_str(), "user.which", "old", 3, 0), 0);
  Fd writer(open(path.c_str(), O_WRONLY));
  ASSERT_GE(writer.get(), 0) << std::strerror(errno);
  Fd reader(open(path.c_str(), O_RDONLY));
  ASSERT_GE(reader.get(), 0) << std::strerror(errno);

  // Removed on the host: the open file lives on, the name is gone.
  ASSERT_EQ(unlink(host.c_str()), 0);
  EXPECT_EQ(pwrite(writer.get(), "CHANGED", 7, 0), 7) << std::strerror(errno);
  EXPECT_EQ(ReadAt(reader.get(), 64), "CHANGEDl");
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(truncate(path.c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ReadAt(reader.get(), 64), "CHANGEDl");

  // A new file at the name: path requests reach it, the open descriptor's
  // writes do not.
  WriteFile(host, "replacement", 0666);
  ASSERT_EQ(setxattr(host.c_str(), "user.which", "new", 3, 0), 0);
  const ino_t new_inode = HostInode(host);
  ASSERT_EQ(stat(path.c_str(), &st), 0) << std::strerror(errno);
  EXPECT_EQ(st.st_ino, new_inode);
  EXPECT_EQ(st.st_size, 11);
  EXPECT_EQ(pwrite(writer.get(), "XY", 2, 0), 2) << std::strerror(errno);
  EXPECT_EQ(ReadFile(host), "replacement");
  EXPECT_EQ(ReadAt(reader.get(), 64), "XYANGEDl");

  const size_t mark = mirror_.LogMark();
  ASSERT_EQ(truncate(path.c_str(), 3), 0) << std::strerror(errno);
  EXPECT_EQ(ReadFile(host), "rep");
  EXPECT_TRUE(mirror_.WaitForLog(mark, "Map file " + host + " failed. truncate 3\n"))
      << mirror_.LogSince(mark);
  EXPECT_EQ(ReadAt(reader.get(), 64), "XYANGEDl") << "the truncation reached the open file";

  char value[16] = {};
  ASSERT_EQ(getxattr(path.c_str(), "user.which", value, sizeof value), 3) << std::strerror(errno);
  EXPECT_STREQ(value, "new");
  EXPECT_EQ(ReadFile(path), "rep");

  // A further write-only open of the name opens the new file rather than
  // sharing the old descriptor.
  Fd second(open(path.c_str(), O_WRONLY));
  ASSERT_GE(second.get(), 0) << std::strerror(errno);
  EXPECT_EQ(pwrite(second.get(), "NEW", 3, 0), 3);
  EXPECT_EQ(ReadFile(host), "NEW");
  EXPECT_EQ(ReadAt(reader.get(), 64), "XYANGEDl");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, new_inode);
  EXPECT_EQ(st.st_size, 3);

  EXPECT_EQ(second.Close(), 0);
  EXPECT_EQ(reader.Close(), 0);
  EXPECT_EQ(writer.Close(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_EQ(ReadFile(host), "NEW");
}

// The host file is renamed while open: the descriptors follow the file, the
// old name is gone and the new name shows the file as written.
TEST_F(FaultsTest, FileRenamedOnTheHostWhileOpenKeepsItsDescriptors) {
  const std::string old_host = mirror_.src("a"), new_host = mirror_.src("b");
  WriteFile(old_host, "alpha", 0666);
  Fd writer(open(mirror_.mnt("a").c_str(), O_WRONLY));
  ASSERT_GE(writer.get(), 0) << std::strerror(errno);
  Fd reader(open(mirror_.mnt("a").c_str(), O_RDONLY));
  ASSERT_GE(reader.get(), 0) << std::strerror(errno);

  ASSERT_EQ(rename(old_host.c_str(), new_host.c_str()), 0);
  EXPECT_EQ(pwrite(writer.get(), "ALPHA!", 6, 0), 6) << std::strerror(errno);
  EXPECT_EQ(ReadFile(new_host), "ALPHA!");
  EXPECT_EQ(ReadAt(reader.get(), 64), "ALPHA!");

  struct stat st;
  EXPECT_EQ(stat(mirror_.mnt("a").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(stat(mirror_.mnt("b").c_str(), &st), 0) << std::strerror(errno);
  EXPECT_EQ(st.st_ino, HostInode(new_host));
  EXPECT_EQ(st.st_size, 6);

  // Truncation by the old name must not reach the open file through the
  // handle still registered under that name; by the new name it does.
  EXPECT_EQ(truncate(mirror_.mnt("a").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ReadFile(new_host), "ALPHA!");
  EXPECT_EQ(ReadAt(reader.get(), 64), "ALPHA!");
  ASSERT_EQ(truncate(mirror_.mnt("b").c_str(), 2), 0) << std::strerror(errno);
  EXPECT_EQ(ReadFile(new_host), "AL");
  EXPECT_EQ(ReadAt(reader.get(), 64), "AL");

  // Renamed back, the registered handle serves its name again.
  ASSERT_EQ(rename(new_host.c_str(), old_host.c_str()), 0);
  const size_t mark = mirror_.LogMark();
  ASSERT_EQ(truncate(mirror_.mnt("a").c_str(), 1), 0) << std::strerror(errno);
  EXPECT_TRUE(mirror_.WaitForLog(mark, "Mapped file " + old_host + " to handle"))
      << mirror_.LogSince(mark);
  EXPECT_EQ(ReadFile(old_host), "A");
  ASSERT_EQ(stat(mirror_.mnt("a").c_str(), &st), 0) << std::strerror(errno);
  EXPECT_EQ(st.st_size, 1);

  EXPECT_EQ(reader.Close(), 0);
  EXPECT_EQ(writer.Close(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

TEST_F(FaultsTest, TerminationSignalsUnmountAndExitCleanly) {
  struct Stop {
    int signal;
    bool single_thread;
  };
  for (const Stop stop : {Stop{SIGTERM, false}, Stop{SIGINT, false}, Stop{SIGTERM, true},
                          Stop{SIGHUP, true}}) {
    const int signal = stop.signal;
    SCOPED_TRACE(std::string(strsignal(signal)) + (stop.single_thread ? ", -s" : ""));
    if (signal != SIGTERM || stop.single_thread) {
      mirror_.Stop();
      MountOptions options;
      if (stop.single_thread) options.extra_args = {"-s"};
      mirror_.Start(options);
      ASSERT_FALSE(HasFatalFailure());
    }
    WriteFile(mirror_.src("open-during-exit"), "still here\n");
    // A file held open through the mount does not keep the daemon from
    // unmounting.
    const int fd = open(mirror_.mnt("open-during-exit").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    // The last request before the signal is a user's: the thread that
    // served it still has that user's identity.
    EXPECT_EQ(RunAs(1000, 1000, [&] { return access(mirror_.mnt("open-during-exit").c_str(), R_OK); }), 0);
    const pid_t daemon = mirror_.daemon_pid();
    const std::string mount_point = mirror_.mnt_dir();
    ASSERT_EQ(kill(daemon, signal), 0);
    EXPECT_TRUE(WaitForExitUnreaped(daemon, 10s)) << "the daemon did not exit";
    EXPECT_FALSE(MountedAt(mount_point)) << "the daemon exited and left its mount";
    EXPECT_EQ(mirror_.Stderr().find("cannot return"), std::string::npos) << mirror_.Stderr();
    const int status = mirror_.SignalAndReap(signal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    char buffer[16];
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), -1) << "read through a gone mount";
    close(fd);
    EXPECT_EQ(ReadFile(mirror_.src("open-during-exit")), "still here\n");
  }
}

// A daemon started by hand on a mount point; killed and unmounted in every path.
class HandDaemon {
 public:
  HandDaemon(const std::string& src, const std::string& mnt, const std::string& log) : mnt_(mnt) {
    const std::string options = "allow_other,modules=subdir,subdir=" + src +
                                ",attr_timeout=0,entry_timeout=0,negative_timeout=0";
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      execl(CALLERFS_BINARY, CALLERFS_BINARY, "-f", "-o", options.c_str(), mnt.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  HandDaemon(const HandDaemon&) = delete;
  HandDaemon& operator=(const HandDaemon&) = delete;
  ~HandDaemon() {
    if (pid_ > 0) {
      if (MountedAt(mnt_)) RunProgram({"fusermount", "-u", "-z", mnt_});
      if (!WaitForExitUnreaped(pid_, 5s)) kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (MountedAt(mnt_)) RunProgram({"fusermount", "-u", "-z", mnt_});
  }

  bool WaitForMount(std::chrono::milliseconds timeout) const {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!MountedAt(mnt_)) {
      if (Clock::now() > deadline || WaitForExitUnreaped(pid_, 0ms)) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  // Unmounts and reaps; the daemon's raw wait status, or -1.
  int Stop() {
    if (pid_ <= 0) return -1;
    const int unmounted = RunProgram({"fusermount", "-u", mnt_});
    if (unmounted != 0 || !WaitForExitUnreaped(pid_, 10s)) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  std::string mnt_;
  pid_t pid_ = -1;
};

TEST_F(FaultsTest, KilledDaemonsMountCanBeUnmountedAndMountedAgain) {
  WriteFile(mirror_.src("survivor"), "kept on the host\n");
  const pid_t daemon = mirror_.daemon_pid();
  const std::string mount_point = mirror_.mnt_dir();
  ASSERT_EQ(kill(daemon, SIGKILL), 0);
  ASSERT_TRUE(WaitForExitUnreaped(daemon, 10s));

  // The mount stays, dead, until it is unmounted.
  EXPECT_TRUE(MountedAt(mount_point));
  struct stat st;
  EXPECT_EQ(stat(mirror_.mnt("survivor").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOTCONN);
  EXPECT_EQ(RunProgram({"fusermount", "-u", mount_point}), 0);
  EXPECT_FALSE(MountedAt(mount_point));
  const int status = mirror_.SignalAndReap(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

  // A fresh daemon mounts on the same mount point and serves the tree.
  HandDaemon fresh(mirror_.src_dir(), mount_point, mirror_.root() + "/fresh.log");
  ASSERT_TRUE(fresh.WaitForMount(10s)) << ReadFile(mirror_.root() + "/fresh.log");
  EXPECT_EQ(ReadFile(mirror_.mnt("survivor")), "kept on the host\n");
  EXPECT_EQ(WriteThrough(mirror_.mnt("after-restart"), "new daemon\n"), 0);
  EXPECT_EQ(ReadFile(mirror_.src("after-restart")), "new daemon\n");
  const int fresh_status = fresh.Stop();
  EXPECT_TRUE(fresh_status != -1 && WIFEXITED(fresh_status) && WEXITSTATUS(fresh_status) == 0)
      << "status " << fresh_status << ": " << ReadFile(mirror_.root() + "/fresh.log");
  EXPECT_FALSE(MountedAt(mount_point));
}


// ---- One user's ordinary calls never stall the mount for the others ----

// Forks a child with the user's credentials that runs fn and exits with its
// result, without waiting for it.
pid_t SpawnAs(uid_t uid, gid_t gid, const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    closefrom(3);  // nothing of the test's (a FUSE device, say) stays alive in it
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    _exit(fn());
  }
  return pid;
}

// Another user's stat and open+read of their own file: 0 when each answered
// within 0.2 s, else which did not (or kStepTimedOut).
int OtherUserAnswers(const Mirror& m) {
  const std::string path = m.mnt("other-user/own");
  const Actor::Action probe = [path] {
    auto start = Clock::now();
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 10;
    if (Clock::now() - start > 200ms) return 11;
    start = Clock::now();
    char buffer[16];
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || read(fd, buffer, sizeof buffer) < 0) return 12;
    close(fd);
    return Clock::now() - start > 200ms ? 13 : 0;
  };
  // Late once: a loaded machine (a sanitizer build beside other tests) can
  // make a request wait for a processor; a stall makes it late again.
  int result = Actor::kStepTimedOut;
  for (int attempt = 0; attempt < 2; ++attempt) {
    Actor other(1001, 1001, {probe});
    other.Start();
    result = other.Wait(5s);
    if (result == 0 || result == Actor::kStepTimedOut) break;
  }
  return result;
}

struct StallCase {
  const char* name;
  // Starts the attack, checks the other user, ends the attack, checks after.
  std::function<void(FaultsTest&, Mirror&)> run;
};

// Lowers the lease-break time and restores it in every path.
class LeaseBreakTime {
 public:
  explicit LeaseBreakTime(int seconds) : saved_(ReadFile(kPath)) {
    std::ofstream(kPath) << seconds;
  }
  ~LeaseBreakTime() { std::ofstream(kPath) << saved_; }

 private:
  static constexpr const char* kPath = "/proc/sys/fs/lease-break-time";
  std::string saved_;
};

void ReadLeaseAgainstTwoWriteOpens(FaultsTest&, Mirror& m) {
  const LeaseBreakTime lowered(30);
  const std::string host = m.src("leased");
  WriteFile(host, "lease\n", 0644);
  ASSERT_EQ(chown(host.c_str(), 1000, 1000), 0);
  // The holder ignores the break signal and keeps its lease.
  Actor holder(1000, 1000, {[host] {
                 signal(SIGIO, SIG_IGN);
                 const int fd = open(host.c_str(), O_RDONLY);
                 return fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 0 : errno;
               }, [] { return 0; }});
  ASSERT_EQ(holder.Step(), 0);
  std::vector<pid_t> writers;
  for (int i = 0; i < 2; ++i) {
    writers.push_back(SpawnAs(1000, 1000, [&] {
      const int fd = open(m.mnt("leased").c_str(), O_WRONLY);
      return fd >= 0 ? 0 : errno;
    }));
  }
  std::this_thread::sleep_for(100ms);  // both opens wait in the daemon
  EXPECT_EQ(OtherUserAnswers(m), 0);
  holder.Finish();  // the lease goes with its holder
  for (pid_t writer : writers) {
    int status = 0;
    EXPECT_TRUE(ReapWithin(writer, 10s, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// Each process writes into the host file from a mapping of the same file
// opened with O_DIRECT through the mount: the write holds the host file's
// lock while the fault on its source becomes a read in the daemon.
void WriteFromADirectMappingOfTheSameFile(FaultsTest&, Mirror& m) {
  const std::string host = m.src("direct-mapped");
  const std::string data = Pattern(1 << 20, 'D');
  WriteFile(host, data, 0644);
  ASSERT_EQ(chown(host.c_str(), 1000, 1000), 0);
  std::vector<pid_t> writers;
  for (int i = 0; i < 2; ++i) {
    writers.push_back(SpawnAs(1000, 1000, [&, i] {
      const int direct = open(m.mnt("direct-mapped").c_str(), O_RDONLY | O_DIRECT);
      const int target = open(host.c_str(), O_WRONLY);
      if (direct < 0 || target < 0) return 1;
      const size_t size = 1 << 20;
      void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, direct, 0);
      if (mapped == MAP_FAILED) return 2;
      // Appends (taking the lock exclusively), then rewrites in place.
      const ssize_t appended = pwrite(target, mapped, 64 << 10, size + i * (64 << 10));
      const ssize_t rewrote = pwrite(target, mapped, size, 0);
      return appended == (64 << 10) && rewrote == static_cast<ssize_t>(size) ? 0 : 3;
    }));
  }
  EXPECT_EQ(OtherUserAnswers(m), 0);
  for (pid_t writer : writers) {
    int status = 0;
    EXPECT_TRUE(ReapWithin(writer, 10s, &status)) << "a writer is still stuck";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string now = ReadFile(host);
  EXPECT_TRUE(now.substr(0, data.size()) == data) << "the host file's data changed";
  EXPECT_TRUE(ReadFile(m.mnt("direct-mapped")) == now);
}

// FUSE mounts below the base whose server never answers (it never reads its
// device): every request into them waits until the device is closed.
void TwentyRequestsInAFileSystemThatNeverAnswers(FaultsTest&, Mirror& m) {
  constexpr int kRequests = 20;
  std::vector<int> devices;
  // Each in a directory of its own: the kernel serializes lookups in one
  // directory of a FUSE mount.
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(mkdir(m.src("d" + std::to_string(i)).c_str(), 0777), 0);
    const std::string dir = m.src("d" + std::to_string(i) + "/hung");
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    devices.push_back(open("/dev/fuse", O_RDWR | O_CLOEXEC));
    ASSERT_GE(devices.back(), 0) << std::strerror(errno);
    const std::string options = "fd=" + std::to_string(devices.back()) +
                                ",rootmode=40000,user_id=0,group_id=0,allow_other";
    ASSERT_EQ(mount("hung", dir.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()), 0)
        << std::strerror(errno);
    ASSERT_TRUE(DaemonSeesMount(m, dir));
  }
  std::vector<pid_t> stuck;
  for (int i = 0; i < kRequests; ++i) {
    stuck.push_back(SpawnAs(1000, 1000, [&, i] {
      struct stat st;
      return stat(m.mnt("d" + std::to_string(i) + "/hung/x").c_str(), &st) == 0 ? 0 : errno;
    }));
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(OtherUserAnswers(m), 0);
  EXPECT_GT(ProcEntryCount(m.daemon_pid(), "task"), static_cast<size_t>(kRequests));
  for (int i = 0; i < kRequests; ++i) {
    close(devices[i]);  // ends the hung connection: every waiting request fails
    umount2(m.src("d" + std::to_string(i) + "/hung").c_str(), MNT_DETACH);
  }
  for (pid_t pid : stuck) EXPECT_TRUE(ReapWithin(pid, 10s, nullptr));
}

// Opens file and takes a whole-file write lock, kept open; 0 or the errno.
int OpenAndWriteLock(const std::string& file) {
  const int fd = open(file.c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  return fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

void AThousandLockWaitersOfOneUser(FaultsTest&, Mirror& m) {
  constexpr int kWaiters = 1000;
  constexpr int kBound = 256;  // the default max_threads
  const std::string file = m.mnt("locked");
  WriteFile(m.src("locked"), "", 0666);
  Actor holder(1000, 1000, {[file] { return OpenAndWriteLock(file); }, [] { return 0; }});
  ASSERT_EQ(holder.Step(), 0);
  std::vector<pid_t> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(SpawnAs(1000, 1000, [file] {
      const int fd = open(file.c_str(), O_RDWR);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      return fd >= 0 && fcntl(fd, F_SETLKW, &lock) == 0 ? 0 : errno;
    }));
  }
  // Those past the bound get ENOLCK at once; the others wait. Measured once
  // no waiter has ended for half a second.
  int refused = 0;
  auto last_end = Clock::now();
  for (auto deadline = Clock::now() + 120s; Clock::now() < deadline;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended > 0) {
      std::erase(waiters, ended);
      if (WIFEXITED(status) && WEXITSTATUS(status) == ENOLCK) ++refused;
      last_end = Clock::now();
      continue;
    }
    if (refused >= kWaiters - kBound && Clock::now() - last_end > 500ms) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(refused, kWaiters - kBound);
  EXPECT_LT(ProcEntryCount(m.daemon_pid(), "task"), static_cast<size_t>(kBound));
  EXPECT_EQ(OtherUserAnswers(m), 0);
  holder.Finish();
  for (pid_t pid : waiters) EXPECT_TRUE(ReapWithin(pid, 30s, nullptr));
}

// Each mirror's base holds the other's mount point: a path that crosses
// them eight times holds workers in both daemons at once.
void TwoMirrorsOfEachOther(FaultsTest&, Mirror&) {
  Mirror a, b;
  MountOptions whole;
  whole.whole_tree = true;
  // With the kernel's name cache, as mounted by default: without it every
  // crossing resolves the whole path again through the other mirror, and
  // the work grows with the power of the depth.
  whole.no_kernel_cache = false;
  a.Start(whole);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  b.Start(whole);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  std::string path = a.mnt_dir();
  for (int level = 0; level < 8; ++level) path += (level % 2 == 0 ? b : a).mnt_dir();
  const std::string target = path + "/etc/hostname";
  Actor user(1000, 1000, {[target] {
               struct stat st;
               return stat(target.c_str(), &st) == 0 ? 0 : errno;
             }});
  user.Start();
  EXPECT_EQ(user.Wait(10s), 0) << target;
  user.Finish();
  b.Stop();
  a.Stop();
}

// Standard output is a pipe that nobody reads while a tree of two thousand
// files is listed and stat'ed.
void AnUnreadStandardOutput(FaultsTest&, Mirror&) {
  const std::string fifo = "/tmp/callerfs-unread-" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // keeps it open, unread
  ASSERT_GE(reader, 0);
  Mirror piped;
  MountOptions options;
  options.output_path = fifo;
  piped.Start(options);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  ASSERT_EQ(mkdir(piped.src("other-user").c_str(), 0755), 0);
  WriteFile(piped.src("other-user/own"), "mine\n", 0600);
  ASSERT_EQ(chown(piped.src("other-user/own").c_str(), 1001, 1001), 0);
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i) WriteFile(piped.src(std::to_string(10000 + i)), "", 0644);
  Actor lister(0, 0, {[&] {
                 for (int round = 0; round < 30; ++round) {
                   for (int i = 0; i < kFiles; ++i) {
                     struct stat st;
                     if (stat(piped.mnt(std::to_string(10000 + i)).c_str(), &st) != 0) return errno;
                   }
                 }
                 return 0;
               }});
  lister.Start();
  EXPECT_EQ(lister.Wait(60s), 0) << "requests stalled behind the unread output";
  EXPECT_EQ(OtherUserAnswers(piped), 0);
  // Read it all now: whole lines in order, and how many were dropped.
  std::string text;
  char chunk[65536];
  for (auto quiet_since = Clock::now(); Clock::now() - quiet_since < 500ms;) {
    const ssize_t n = read(reader, chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<size_t>(n));
      quiet_since = Clock::now();
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_NE(text.find(" diagnostic lines dropped: standard output was not being read\n"),
            std::string::npos);
  int last = 0, out_of_order = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.rfind('/');
    if (line.rfind("Returning pair 0", 0) != 0 || at == std::string::npos) continue;
    const int number = std::atoi(line.c_str() + at + 1);
    if (number < 10000) continue;
    if (number < last && last != 10000 + kFiles - 1) ++out_of_order;
    last = number;
  }
  EXPECT_EQ(out_of_order, 0);
  piped.Stop();
  close(reader);
  unlink(fifo.c_str());
}

TEST_F(FaultsTest, OneUsersBlockedRequestsNeverStallTheOthers) {
  ASSERT_EQ(mkdir(mirror_.src("other-user").c_str(), 0755), 0);
  WriteFile(mirror_.src("other-user/own"), "mine\n", 0600);
  ASSERT_EQ(chown(mirror_.src("other-user/own").c_str(), 1001, 1001), 0);
  const StallCase cases[] = {
      {"a read lease against two write-opens", ReadLeaseAgainstTwoWriteOpens},
      {"writes from an O_DIRECT mapping of the same file", WriteFromADirectMappingOfTheSameFile},
      {"20 requests in a file system that never answers", TwentyRequestsInAFileSystemThatNeverAnswers},
      {"1,000 lock waiters of one user", AThousandLockWaitersOfOneUser},
      {"two mirrors of each other", TwoMirrorsOfEachOther},
      {"standard output that nobody reads", AnUnreadStandardOutput},
  };
  for (const StallCase& c : cases) {
    SCOPED_TRACE(c.name);
    c.run(*this, mirror_);
    EXPECT_EQ(OtherUserAnswers(mirror_), 0) << "after the attack";
  }
}

// An ext4 image with 20 % of its blocks reserved for root, loop-mounted below
// the base; unmounted in every path.
class ReservedImage {
 public:
  explicit ReservedImage(const Mirror& m) : image_(m.root() + "/reserved.img"), dir_(m.src("reserved")) {
    if (mkdir(dir_.c_str(), 0777) != 0) return;
    const int fd = open(image_.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, 64 << 20) != 0) return;
    close(fd);
    if (RunProgram({"mkfs.ext4", "-q", "-F", "-m", "20", image_}) != 0) return;
    mounted_ = RunProgram({"mount", "-o", "loop", image_, dir_}) == 0 && chmod(dir_.c_str(), 01777) == 0;
  }
  ReservedImage(const ReservedImage&) = delete;
  ReservedImage& operator=(const ReservedImage&) = delete;
  ~ReservedImage() {
    if (!mounted_) return;
    for (int attempt = 0; attempt < 50 && umount2(dir_.c_str(), 0) != 0; ++attempt) {
      std::this_thread::sleep_for(100ms);  // the daemon's release may still be on its way
    }
    umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  unsigned long long FreeBytes() const {
    struct statvfs st;
    return statvfs(dir_.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.f_bfree) * st.f_frsize : 0;
  }

 private:
  std::string image_, dir_;
  bool mounted_ = false;
};

// The kernel writes a user's mapped pages back without naming the user:
// the daemon acts for the opener, so the host keeps root's reserve.
TEST_F(FaultsTest, WritebackOfAUsersMappedPagesKeepsRootsReservedBlocks) {
  const ReservedImage image(mirror_);
  ASSERT_TRUE(image.mounted());
  ASSERT_TRUE(DaemonSeesMount(mirror_, mirror_.src("reserved")));
  const std::string fill = mirror_.mnt("reserved/fill"), mapped = mirror_.mnt("reserved/mapped");
  EXPECT_EQ(RunAs(1000, 1000, [&] {
              const int fd = open(fill.c_str(), O_WRONLY | O_CREAT, 0644);
              const std::string chunk(1 << 20, 'f');
              while (write(fd, chunk.data(), chunk.size()) > 0) {
              }
              const int error = errno;
              close(fd);
              return error == ENOSPC ? 0 : 1;
            }),
            0);
  const unsigned long long reserve = image.FreeBytes();
  ASSERT_GT(reserve, 8ull << 20);
  const int result = RunAs(1000, 1000, [&] {
    constexpr size_t kSize = 8 << 20;
    const int fd = open(mapped.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ftruncate(fd, kSize) != 0) return 1;
    void* map = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return 2;
    std::memset(map, 'm', kSize);
    const int synced = msync(map, kSize, MS_SYNC);
    const int closed = close(fd);
    return synced == -1 || closed == -1 ? 0 : 3;  // the host's error reaches the user
  });
  EXPECT_EQ(result, 0) << "msync and close reported success";
  EXPECT_GE(image.FreeBytes() + (1 << 20), reserve) << "the user's pages went into root's reserve";
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

// What `callerfs status` shows while one user's open waits on a lease and
// another user holds a descriptor and a lock.
TEST_F(FaultsTest, StatusShowsWhoWaitsForAndHoldsWhat) {
  const LeaseBreakTime lowered(20);
  WriteFile(mirror_.src("leased"), "lease\n", 0644);
  ASSERT_EQ(chown(mirror_.src("leased").c_str(), 1000, 1000), 0);
  WriteFile(mirror_.src("held"), "held\n", 0666);
  const std::string leased = mirror_.src("leased"), held = mirror_.mnt("held");
  Actor holder(1000, 1000, {[leased] {
                 signal(SIGIO, SIG_IGN);
                 const int fd = open(leased.c_str(), O_RDONLY);
                 return fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 0 : errno;
               }, [] { return 0; }});
  Actor locker(1001, 1001, {[held] { return OpenAndWriteLock(held); }, [] { return 0; }});
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(locker.Step(), 0);
  const pid_t writer = SpawnAs(1000, 1000, [&] {
    return open(mirror_.mnt("leased").c_str(), O_WRONLY) >= 0 ? 0 : errno;
  });
  std::this_thread::sleep_for(1s);  // older than the report's half second
  const std::string command = std::string(CALLERFS_BINARY) + " status " + mirror_.mnt_dir() + " --json";
  std::string report;
  if (FILE* out = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;) report.append(chunk, n);
    EXPECT_EQ(pclose(out), 0);
  }
  EXPECT_NE(report.find("{\"operation\":\"open\",\"uid\":1000,\"pid\":" + std::to_string(writer)),
            std::string::npos) << report;
  EXPECT_NE(report.find("leased\",\"age_seconds\":"), std::string::npos) << report;
  // The lock owner takes a descriptor of the cap too.
  EXPECT_NE(report.find("{\"uid\":1001,\"descriptors\":2,\"lock_owners\":1,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"open\":"), std::string::npos) << report;
  EXPECT_NE(RunAs(1000, 1000, [&]() -> int {
              ExecOrExit({CALLERFS_BINARY, "status", mirror_.mnt_dir()});
            }), 0) << "a user reached the status socket";
  holder.Finish();
  int status = 0;
  EXPECT_TRUE(ReapWithin(writer, 10s, &status));
  locker.Finish();
}

// A host error is logged with the operation and the path, once a minute for
// each user, operation and error, however often the request is retried.
class FailedRequestLogTest : public FaultsTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.environment = PreloadEnvironment(CALLERFS_SWAP_PROBE_LIBRARY);  // *.fail-eio fails to open
    return options;
  }
};

TEST_F(FailedRequestLogTest, NamesOperationAndPathOncePerMinutePerUser) {
  WriteFile(mirror_.src("disk.fail-eio"), "unreadable", 0644);
  const std::string path = mirror_.mnt("disk.fail-eio");
  for (const uid_t uid : {1000u, 1000u, 1000u, 1001u, 1001u}) {
    EXPECT_EQ(RunAs(uid, 100, [&] { return ErrnoOf(open(path.c_str(), O_RDONLY)); }), EIO) << uid;
  }
  const std::string errors = mirror_.Stderr();
  for (const char* uid : {"1000", "1001"}) {
    const std::string line = std::string("callerfs: open /disk.fail-eio by uid ") + uid + " (pid ";
    EXPECT_EQ(CountOccurrences(errors, line), 1u) << errors;
  }
  EXPECT_EQ(CountOccurrences(errors, "failed: Input/output error\n"), 2u) << errors;
}

}  // namespace
}  // namespace callerfs::testing
