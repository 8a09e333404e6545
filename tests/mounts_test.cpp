// The mirror shows the host's mount table as it is at every moment, whether
// the host's root mount is shared or private: what the host unmounts is let
// go, what it mounts later is seen, other FUSE file systems are seen as on
// the host and end when unmounted. Other file systems' own rules hold for the
// caller. Requests are served from the base from the first one on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

template <typename Predicate>
bool Within(std::chrono::milliseconds timeout, Predicate done) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// fn's result in a child that must end within 10 s (a request that never
// comes back shows as -1 instead of hanging the test).
int AnswersWithin10s(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || !ReapWithin(pid, 10s, &status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int StatErrno(const std::string& path) {
  struct stat st;
  return ErrnoOf(stat(path.c_str(), &st));
}

// The source field of the mount at path ("/dev/loop3").
std::string MountSource(const std::string& path) {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    const size_t separator = line.find(" - ");
    if (line.find(" " + path + " ") > separator) continue;
    std::istringstream rest(line.substr(separator + 3));
    std::string type, source;
    rest >> type >> source;
    return source;
  }
  return "";
}

// The test namespace's root mount made shared or private for one case.
class RootPropagation {
 public:
  explicit RootPropagation(bool shared) {
    ShareRootMountOnce();
    EXPECT_EQ(mount(nullptr, "/", nullptr, MS_REC | (shared ? MS_SHARED : MS_PRIVATE), nullptr), 0);
  }
  ~RootPropagation() { mount(nullptr, "/", nullptr, MS_REC | MS_SHARED, nullptr); }
};

// A directory of the test's own beside the mirrors, with what it mounts.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/callerfs-mounts-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);
  }
  ~Scratch() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
      if (MountedAt(*it)) umount2(it->c_str(), MNT_DETACH);
    }
    for (const pid_t pid : file_systems_) {
      int status;
      ReapWithin(pid, 5s, &status);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Dir(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    mkdir(path.c_str(), 0755);
    return path;
  }
  // An ext4 image mounted through a loop device at name; its device, or "".
  std::string MountDisk(const std::string& name) {
    const std::string image = dir_ + "/" + name + ".img", at = Dir(name);
    std::ofstream(image).close();
    if (truncate(image.c_str(), 8 << 20) != 0 || RunProgram({"mkfs.ext4", "-q", "-F", image}) != 0 ||
        RunProgram({"mount", "-o", "loop", image, at}) != 0) {
      return "";
    }
    mounted_.push_back(at);
    return MountSource(at);
  }
  bool MountTmpfs(const std::string& at, const char* type = "tmpfs") {
    mounted_.push_back(at);
    return mount("none", at.c_str(), type, 0, nullptr) == 0;
  }
  pid_t StartFuse(const std::string& name, const std::string& options, uid_t user = 0) {
    const std::string at = Dir(name);
    if (chown(at.c_str(), user, user) != 0) return -1;
    mounted_.push_back(at);
    const pid_t pid = StartTinyFs(at, options, user);
    if (pid > 0) file_systems_.push_back(pid);
    return pid;
  }

 private:
  std::string dir_;
  std::vector<std::string> mounted_;
  std::vector<pid_t> file_systems_;
};

MountOptions WholeTree() {
  MountOptions options;
  options.whole_tree = true;
  return options;
}

std::string DaemonMountTable(const Mirror& m) {
  return ReadFile("/proc/" + std::to_string(m.daemon_pid()) + "/mountinfo");
}

void FollowsTheHost(bool shared_root) {
  const RootPropagation propagation(shared_root);
  Scratch scratch;
  const std::string disk = scratch.Dir("disk"), later = scratch.Dir("later"), fuse = scratch.Dir("fuse");
  const std::string loop = scratch.MountDisk("disk");
  if (loop.empty()) GTEST_SKIP() << "no loop device or mkfs.ext4 here";
  WriteFile(disk + "/file", "disk");
  const pid_t tiny = scratch.StartFuse("fuse", "allow_other");
  ASSERT_GT(tiny, 0);
  Mirror m;
  m.Start(WholeTree());
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  const auto through = [&](const std::string& host) { return m.mnt_dir() + host; };

  // Mounted before the start, FUSE included: seen as on the host.
  EXPECT_EQ(ReadFile(through(disk + "/file")), "disk");
  EXPECT_EQ(ReadFile(through(fuse + "/hello")), "hello\n");

  // Mounted after the start: read and written through the mirror.
  ASSERT_TRUE(scratch.MountTmpfs(later));
  WriteFile(later + "/from-host", "host");
  EXPECT_TRUE(Within(2s, [&] { return ReadFile(through(later + "/from-host")) == "host"; }));
  WriteFile(through(later + "/from-mirror"), "mirror");
  EXPECT_EQ(ReadFile(later + "/from-mirror"), "mirror") << "the data is not on the new file system";

  // Unmounted on the host: gone through the mirror, the loop device let go.
  ASSERT_EQ(umount(disk.c_str()), 0) << strerror(errno);
  EXPECT_TRUE(Within(2s, [&] { return StatErrno(through(disk + "/file")) == ENOENT; }));
  EXPECT_EQ(StatErrno(through(disk + "/file")), StatErrno(disk + "/file"));
  const auto create_as_user = [](const std::string& path) {
    return RunAs(1000, 1000, [&] { return ErrnoOf(open(path.c_str(), O_WRONLY | O_CREAT, 0644)); });
  };
  EXPECT_EQ(create_as_user(through(disk + "/new")), create_as_user(disk + "/new"));
  EXPECT_EQ(DaemonMountTable(m).find(" " + disk + " "), std::string::npos);
  const std::string backing = "/sys/block/" + loop.substr(loop.rfind('/') + 1) + "/loop/backing_file";
  EXPECT_TRUE(Within(2s, [&] { return access(backing.c_str(), F_OK) != 0; })) << loop << " still attached";
  for (const std::string& target : m.DescriptorTargets()) EXPECT_EQ(target.find("disk"), std::string::npos);

  // Another FUSE file system's daemon ends once the host unmounted it.
  ASSERT_EQ(RunProgram({"fusermount", "-u", fuse}), 0);
  int status = 0;
  EXPECT_TRUE(ReapWithin(tiny, 2s, &status)) << "the FUSE daemon outlived its unmount";

  // A renamed ancestor of the mount point, and two mirrors of each other.
  const std::string moved = m.root() + ".moved";
  ASSERT_EQ(rename(m.root().c_str(), moved.c_str()), 0);
  EXPECT_EQ(AnswersWithin10s([&] { return StatErrno(moved + "/mnt" + moved + "/mnt"); }), 0);
  EXPECT_EQ(AnswersWithin10s([&] { return StatErrno(moved + "/mnt" + moved + "/src"); }), 0);
  ASSERT_EQ(rename(moved.c_str(), m.root().c_str()), 0);
  Mirror other;
  other.Start(WholeTree());
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  EXPECT_EQ(AnswersWithin10s([&] { return StatErrno(m.mnt_dir() + other.mnt_dir() + other.src_dir()); }), 0);
  EXPECT_EQ(AnswersWithin10s([&] {
              return StatErrno(m.mnt_dir() + other.mnt_dir() + m.mnt_dir() + other.src_dir());
            }), 0);
  EXPECT_EQ(AnswersWithin10s([&] {
              return StatErrno(other.mnt_dir() + m.mnt_dir() + other.mnt_dir() + m.src_dir());
            }), 0);
  other.Stop();
  m.Stop();
}

TEST(MountsTest, TheMirrorFollowsTheHostsMountTable) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  for (const bool shared_root : {false, true}) {
    SCOPED_TRACE(shared_root ? "shared root" : "private root");
    FollowsTheHost(shared_root);
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return;
  }
}

int OpendirErrno(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return errno;
  closedir(dir);
  return 0;
}

TEST(MountsTest, OtherFileSystemsRulesHoldForTheCaller) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  ShareRootMountOnce();  // before mounting: it detaches FUSE mounts from the test's view
  Scratch scratch;
  const std::string private_fuse = scratch.Dir("private"), queues = scratch.Dir("mq");
  ASSERT_GT(scratch.StartFuse("private", ""), 0);  // root's, without allow_other
  const std::string users_fuse = scratch.Dir("users");
  ASSERT_GT(scratch.StartFuse("users", "", 1000), 0);  // user 1000's, without allow_other
  ASSERT_TRUE(scratch.MountTmpfs(queues, "mqueue"));
  Mirror m;
  m.Start(WholeTree());
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  const pid_t other_user = fork();
  if (other_user == 0) {
    if (setresgid(1001, 1001, 1001) == 0 && setresuid(1001, 1001, 1001) == 0) pause();
    _exit(1);
  }
  ASSERT_TRUE(Within(2s, [&] { return ReadFile("/proc/" + std::to_string(other_user) + "/status").find("Uid:\t1001") != std::string::npos; }));
  const std::string proc = m.mnt_dir() + "/proc/";
  struct Rule {
    const char* name;
    uid_t uid;
    std::function<int()> act;
    int expected;
  };
  const Rule rules[] = {
      {"root-mounted FUSE without allow_other, a user", 1000,
       [&] { return StatErrno(m.mnt_dir() + private_fuse + "/hello"); }, EACCES},
      {"the same on the host", 1000, [&] { return StatErrno(private_fuse + "/hello"); }, EACCES},
      {"the same, its mounter", 0,
       [&] { return ReadFile(m.mnt_dir() + private_fuse + "/hello") == "hello\n" ? 0 : 1; }, 0},
      {"a user's FUSE without allow_other, its mounter", 1000,
       [&] {
         const std::string at = m.mnt_dir() + users_fuse;
         return ReadFile(at + "/hello") == "hello\n" && OpendirErrno(at) == 0 ? StatErrno(at + "/hello") : 1;
       }, 0},
      {"the same, another user", 1001, [&] { return StatErrno(m.mnt_dir() + users_fuse + "/hello"); }, EACCES},
      {"a message queue made through the mirror", 1000,
       [&] { return ErrnoOf(open((m.mnt_dir() + queues + "/q").c_str(), O_RDWR | O_CREAT, 0600)); }, EACCES},
      {"the daemon's own descriptors listed", 1000,
       [&] { return OpendirErrno(proc + std::to_string(m.daemon_pid()) + "/fd"); }, EACCES},
      {"another user's descriptors listed", 1000,
       [&] { return OpendirErrno(proc + std::to_string(other_user) + "/fd"); }, EACCES},
      {"/proc listed", 1000, [&] { return OpendirErrno(proc); }, 0},
      {"a process's own directory listed", 1000,
       [&] { return OpendirErrno(proc + std::to_string(other_user)); }, 0},
  };
  for (const Rule& rule : rules) {
    EXPECT_EQ(RunAs(rule.uid, rule.uid, rule.act), rule.expected) << rule.name;
  }
  EXPECT_NE(access((queues + "/q").c_str(), F_OK), 0) << "a queue was made";
  kill(other_user, SIGKILL);
  waitpid(other_user, nullptr, 0);
  m.Stop();
  ASSERT_EQ(RunProgram({"fusermount", "-u", private_fuse}), 0);
  ASSERT_EQ(RunProgram({"fusermount", "-u", users_fuse}), 0);
}

// Started in the background and asked at once, many times: the first
// requests see the base, never an empty or half-made view.
TEST(MountsTest, RequestsRightAfterStartSeeTheBase) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  ShareRootMountOnce();
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the daemon's background process is reaped here
  Scratch scratch;
  const std::string src = scratch.Dir("src"), mnt = scratch.Dir("mnt");
  WriteFile(src + "/file", "x");
  for (int round = 0; round < 20; ++round) {
    const bool whole_tree = round % 2 == 1;
    SCOPED_TRACE(std::string(whole_tree ? "whole tree, round " : "source, round ") + std::to_string(round));
    const std::string base = whole_tree ? "/" : src;
    const std::string file = whole_tree ? mnt + src + "/file" : mnt + "/file";
    ASSERT_EQ(RunProgram({CALLERFS_BINARY, "-o", "allow_other,default_permissions", base, mnt}), 0);
    EXPECT_EQ(StatErrno(file), 0);
    EXPECT_EQ(RunProgram({"fusermount", "-u", mnt}), 0);
    for (const pid_t daemon : DescendantsNamed(getpid(), "callerfs")) {
      int status = 0;
      EXPECT_TRUE(ReapWithin(daemon, 10s, &status));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
}

}  // namespace
}  // namespace callerfs::testing
