// The ways an administrator mounts a mirror: SOURCE before the mount point,
// mount(8) and /etc/fstab lines through the FUSE package's helper, and the
// whole tree with the mount point inside it, where no request may re-enter
// the mount.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;

// The source field of the mount at dir in /proc/self/mountinfo, or "".
std::string MountSource(const std::string& dir) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    if (line.find(" " + dir + " ") == std::string::npos) continue;
    const size_t dash = line.find(" - ");
    std::istringstream fields(line.substr(dash + 3));
    std::string type, source;
    fields >> type >> source;
    return source;
  }
  return "";
}

size_t MountCount(const std::string& dir) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  size_t count = 0;
  while (std::getline(mounts, line)) count += line.find(" " + dir + " ") != std::string::npos;
  return count;
}

class SourceFormTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.base_as_source = true;
    options.extra_args = {"-d"};  // the library's trace shows what the kernel was offered
    return options;
  }
};

TEST_F(SourceFormTest, SourceIsTheBaseAndBigWritesAreOn) {
  WriteFile(mirror_.src("f"), "through SOURCE");
  EXPECT_EQ(ReadFile(mirror_.mnt("f")), "through SOURCE");
  EXPECT_EQ(MountSource(mirror_.mnt_dir()), mirror_.src_dir());
  // The INIT reply's flags carry big writes (1 << 5).
  const std::string trace = mirror_.Stderr();
  EXPECT_NE(trace.find("callerfs: warning: allow_other without default_permissions"), std::string::npos);
  const size_t reply = trace.find("   flags=0x", trace.find("   INIT: "));
  ASSERT_NE(reply, std::string::npos) << trace;
  EXPECT_TRUE(std::stoul(trace.substr(reply + 11, 8), nullptr, 16) & (1u << 5)) << trace.substr(reply, 30);
}

// "--" before the mount point (which may then begin with "-"), with the base
// written relative to the daemon's working directory: the options callerfs
// adds go before the "--", and the mount's source shows the base absolute.
class DoubleDashTest : public MountTest, public ::testing::WithParamInterface<bool> {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.base_as_source = GetParam();
    options.base_through_relative_link = true;
    options.extra_args = {"--"};
    return options;
  }
};

TEST_P(DoubleDashTest, MountsWithTheBaseShownAbsolute) {
  WriteFile(mirror_.src("f"), "after --");
  EXPECT_EQ(ReadFile(mirror_.mnt("f")), "after --");
  EXPECT_EQ(MountSource(mirror_.mnt_dir()), mirror_.root() + "/src-link");
}

INSTANTIATE_TEST_SUITE_P(SourceOrSubdir, DoubleDashTest, ::testing::Bool());

// mount(8) starts the daemon through the FUSE package's helper, with no PATH:
// the program is looked up in the shell's default search path, so the test
// puts a link to the build there (only where none exists) and removes it.
class MountHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = MountUnavailableReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    if (access("/sbin/mount.fuse", X_OK) != 0) GTEST_SKIP() << "no mount.fuse helper";
    if (symlink(CALLERFS_BINARY, kLink) != 0) GTEST_SKIP() << kLink << ": " << strerror(errno);
    linked_ = true;
    char pattern[] = "/tmp/callerfs-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(mkdir(src().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(mnt().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(idle().c_str(), 0755), 0);
  }
  void TearDown() override {
    for (const std::string& dir : {mnt(), idle()}) {
      for (int attempt = 0; attempt < 50 && MountCount(dir) > 0; ++attempt) {
        RunProgram({"fusermount", "-u", dir});
        std::this_thread::sleep_for(100ms);
      }
    }
    if (linked_) unlink(kLink);
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }
  std::string src() const { return root_ + "/src"; }
  std::string mnt() const { return root_ + "/mnt"; }
  std::string idle() const { return root_ + "/idle"; }

  static constexpr char kLink[] = "/usr/local/sbin/callerfs";
  bool linked_ = false;
  std::string root_;
};

TEST_F(MountHelperTest, MountCommandAndFstabLinesMountTheSource) {
  WriteFile(src() + "/f", "via mount");
  ASSERT_EQ(RunProgram({"mount", "-t", "fuse.callerfs", src(), mnt(), "-o", "allow_other"}), 0);
  EXPECT_EQ(ReadFile(mnt() + "/f"), "via mount");
  EXPECT_EQ(MountSource(mnt()), src());
  ASSERT_EQ(RunProgram({"fusermount", "-u", mnt()}), 0);

  const std::string fstab = root_ + "/fstab";
  std::ofstream(fstab) << src() << " " << mnt()
                       << " fuse.callerfs allow_other,default_permissions,nosuid,nodev,nofail 0 0\n"
                       << src() << " " << idle() << " fuse.callerfs noauto,allow_other 0 0\n";
  ASSERT_EQ(RunProgram({"mount", "-T", fstab, mnt()}), 0);
  EXPECT_EQ(ReadFile(mnt() + "/f"), "via mount");
  // -a leaves a mounted line alone (same source) and skips noauto.
  ASSERT_EQ(RunProgram({"mount", "-T", fstab, "-a"}), 0);
  EXPECT_EQ(MountCount(mnt()), 1u);
  EXPECT_EQ(MountCount(idle()), 0u);
  ASSERT_EQ(RunProgram({"mount", "-T", fstab, idle()}), 0);
  EXPECT_EQ(ReadFile(idle() + "/f"), "via mount");
}

// The whole tree, one thread: the mount point lies inside what is mirrored.
// Below it the mirror shows the directory the mount covers; a request that
// entered the mount instead would call back into the daemon and, with -s,
// never be answered.
class WholeTreeTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.whole_tree = true;
    options.extra_args = {"-s"};
    return options;
  }
};

TEST_F(WholeTreeTest, RequestsUnderTheMountPointNeverReEnterIt) {
  const std::string nested = mirror_.mnt_dir() + mirror_.mnt_dir();  // the mount point, mirrored
  Actor user(0, 0, {[&] {
               struct stat st;
               if (stat(nested.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 1;
               if (mkdir((nested + "/a").c_str(), 0755) != 0 || mkdir((nested + "/b").c_str(), 0755) != 0) return 2;
               WriteFile(nested + "/a/x", "x");
               if (rename((nested + "/a/x").c_str(), (nested + "/b/x").c_str()) != 0) return 3;
               size_t entries = 0;
               for (auto it = std::filesystem::recursive_directory_iterator(mirror_.mnt_dir() + mirror_.root());
                    it != std::filesystem::recursive_directory_iterator(); ++it) {
                 if (++entries > 1000) return 4;  // a walk that never ends
               }
               return 0;
             }});
  user.Start();
  EXPECT_EQ(user.Wait(20s), 0);
}

// Datagrams arriving at socket, one line each, appended to text until one
// contains wanted; false when none comes within 10 s.
bool ReceiveUntil(int socket, const std::string& wanted, std::string& text) {
  while (text.find(wanted) == std::string::npos) {
    pollfd ready = {socket, POLLIN, 0};
    char datagram[2048];
    if (poll(&ready, 1, 10000) != 1) return false;
    const ssize_t size = recv(socket, datagram, sizeof datagram, 0);
    if (size <= 0) return false;
    text.append(datagram, size).append("\n");
  }
  return true;
}

// In a mount namespace of its own, with a fresh /dev whose "log" is a socket
// of the test's: mounts in the background, unmounts, and writes what reached
// the log to received. Returns 0 when both the start and the end came.
int LogOfABackgroundRun(const std::string& src, const std::string& mnt, const std::string& received) {
  struct stat null_device, fuse_device;
  if (stat("/dev/null", &null_device) != 0 || stat("/dev/fuse", &fuse_device) != 0) return 1;
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) {
    return 2;
  }
  if (mknod("/dev/null", S_IFCHR | 0666, null_device.st_rdev) != 0 ||
      mknod("/dev/fuse", S_IFCHR | 0666, fuse_device.st_rdev) != 0) {
    return 3;
  }
  const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {AF_UNIX, "/dev/log"};
  if (bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 4;
  std::string text;
  // Without -f the first process returns once the mount is there.
  const bool started = RunProgram({CALLERFS_BINARY, "-o", "allow_other", src, mnt}) == 0 &&
                       ReceiveUntil(log, "starting to mirror", text);
  RunProgram({"fusermount", "-u", mnt});  // ends the daemon whatever happened
  const bool stopped = ReceiveUntil(log, "stopped serving", text);
  std::ofstream(received) << text;
  return started && stopped ? 0 : 5;
}

// In the background standard error is /dev/null: the system log is where an
// administrator sees the daemon start and end.
TEST(SystemLogTest, BackgroundDaemonLogsItsStartAndItsEnd) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  char pattern[] = "/tmp/callerfs-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern, src = root + "/src", mnt = root + "/mnt";
  ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  EXPECT_EQ(RunAs(0, 0, [&] { return LogOfABackgroundRun(src, mnt, root + "/received"); }), 0);
  const std::string log = ReadFile(root + "/received");
  // <30>: the daemon facility, informational.
  EXPECT_NE(log.find("<30>"), std::string::npos) << log;
  EXPECT_NE(log.find(" callerfs["), std::string::npos) << log;
  EXPECT_NE(log.find("]: starting to mirror " + src + " at " + mnt + " (thread pool, "), std::string::npos) << log;
  EXPECT_NE(log.find("]: stopped serving " + mnt + " (exit status 0)"), std::string::npos) << log;
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace callerfs::testing
