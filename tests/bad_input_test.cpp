// Unusual and invalid input: names at and beyond the length limit, names
// with control and non-UTF-8 bytes, paths longer than the host's limit for
// one path, and a daemon started
// with a bad command line. Each gets a clean answer and the daemon keeps
// serving.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;

std::set<std::string> Names(const std::string& dir_path) {
  std::set<std::string> names;
  DIR* dir = opendir(dir_path.c_str());
  EXPECT_NE(dir, nullptr) << dir_path << ": " << strerror(errno);
  if (dir == nullptr) return names;
  while (const dirent* d = readdir(dir)) names.insert(d->d_name);
  closedir(dir);
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class BadInputTest : public MountTest {
 protected:
  // The daemon still answers: the mount root and a file in it.
  void ExpectServing() {
    struct stat st;
    EXPECT_EQ(stat(mirror_.mnt_dir().c_str(), &st), 0) << strerror(errno);
    WriteFile(mirror_.src("alive"), "yes");
    EXPECT_EQ(ReadFile(mirror_.mnt("alive")), "yes");
  }
};

TEST_F(BadInputTest, NamesOf255BytesWorkAnd256AreTooLong) {
  const std::string on_host(255, 'a');
  const std::string made(255, 'b');
  const std::string dir(255, 'c');
  const std::string too_long(256, 'd');
  WriteFile(mirror_.src(on_host), "host");

  struct stat mount, host;
  ASSERT_EQ(stat(mirror_.mnt(on_host).c_str(), &mount), 0) << strerror(errno);
  ASSERT_EQ(stat(mirror_.src(on_host).c_str(), &host), 0);
  EXPECT_EQ(mount.st_ino, host.st_ino);
  EXPECT_EQ(ReadFile(mirror_.mnt(on_host)), "host");

  const int fd = open(mirror_.mnt(made).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  EXPECT_EQ(write(fd, "made", 4), 4);
  close(fd);
  EXPECT_EQ(ReadFile(mirror_.src(made)), "made");
  ASSERT_EQ(mkdir(mirror_.mnt(dir).c_str(), 0755), 0) << strerror(errno);
  ASSERT_EQ(rename(mirror_.mnt(made).c_str(), mirror_.mnt(dir + "/" + made).c_str()), 0)
      << strerror(errno);
  EXPECT_EQ(ReadFile(mirror_.src(dir + "/" + made)), "made");

  const std::set<std::string> listed = Names(mirror_.mnt_dir());
  EXPECT_TRUE(listed.contains(on_host));
  EXPECT_TRUE(listed.contains(dir));
  EXPECT_EQ(Names(mirror_.mnt(dir)), (std::set<std::string>{".", "..", made}));

  const std::string long_path = mirror_.mnt(too_long);
  EXPECT_EQ(ErrnoOf(stat(long_path.c_str(), &mount)), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(open(long_path.c_str(), O_WRONLY | O_CREAT, 0644)), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(mkdir(long_path.c_str(), 0755)), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(mkfifo(long_path.c_str(), 0644)), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(symlink("target", long_path.c_str())), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(link(mirror_.mnt(on_host).c_str(), long_path.c_str())), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(rename(mirror_.mnt(on_host).c_str(), long_path.c_str())), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(unlink(long_path.c_str())), ENAMETOOLONG);
  EXPECT_EQ(Names(mirror_.src_dir()).size(), 4u);  // ., .., and the two 255-byte names
  EXPECT_TRUE(Exists(mirror_.src(on_host)));
  ExpectServing();
}

TEST_F(BadInputTest, NamesWithNewlinesAndNonUtf8BytesCanBeUsedThroughout) {
  const std::vector<std::string> names = {"line\nbreak", "\xff\xfe\x80\x81", "tab\tand,comma",
                                          "\n", "\x7f\x01\x1b[0m"};
  for (const std::string& name : names) {
    SCOPED_TRACE(::testing::PrintToString(name));
    const std::string renamed = name + "\xc0.renamed";
    const int fd = open(mirror_.mnt(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(write(fd, name.data(), name.size()), static_cast<ssize_t>(name.size()));
    close(fd);
    EXPECT_EQ(ReadFile(mirror_.src(name)), name);

    struct stat mount, host;
    ASSERT_EQ(stat(mirror_.mnt(name).c_str(), &mount), 0) << strerror(errno);
    ASSERT_EQ(stat(mirror_.src(name).c_str(), &host), 0);
    EXPECT_EQ(mount.st_ino, host.st_ino);
    EXPECT_TRUE(Names(mirror_.mnt_dir()).contains(name));

    ASSERT_EQ(rename(mirror_.mnt(name).c_str(), mirror_.mnt(renamed).c_str()), 0)
        << strerror(errno);
    EXPECT_FALSE(Exists(mirror_.src(name)));
    EXPECT_EQ(ReadFile(mirror_.src(renamed)), name);
    const std::set<std::string> listed = Names(mirror_.mnt_dir());
    EXPECT_TRUE(listed.contains(renamed));
    EXPECT_FALSE(listed.contains(name));

    ASSERT_EQ(mkdir(mirror_.mnt(name).c_str(), 0755), 0) << strerror(errno);
    EXPECT_EQ(rmdir(mirror_.mnt(name).c_str()), 0) << strerror(errno);
    EXPECT_EQ(unlink(mirror_.mnt(renamed).c_str()), 0) << strerror(errno);
    EXPECT_FALSE(Exists(mirror_.src(renamed)));
    EXPECT_FALSE(Exists(mirror_.src(name)));
  }
  EXPECT_EQ(Names(mirror_.src_dir()), (std::set<std::string>{".", ".."}));
  ExpectServing();
}

std::set<std::string> NamesAt(int dirfd) {
  std::set<std::string> names;
  DIR* dir = fdopendir(openat(dirfd, ".", O_RDONLY | O_DIRECTORY));
  EXPECT_NE(dir, nullptr) << strerror(errno);
  if (dir == nullptr) return names;
  while (const dirent* d = readdir(dir)) names.insert(d->d_name);
  closedir(dir);
  return names;
}

// Each step goes one directory deeper through the mount by a descriptor, so
// the test itself never passes a long path, until the host path is over
// 6,000 bytes: anything a user can reach through the mount, the daemon
// reaches on the host, whatever the length of the whole path.
TEST_F(BadInputTest, PathsBeyondTheHostsLimitWork) {
  const std::string component(255, 'n');
  std::vector<int> opened = {open(mirror_.mnt_dir().c_str(), O_RDONLY | O_DIRECTORY)};
  ASSERT_GE(opened.back(), 0) << strerror(errno);
  for (size_t host_length = mirror_.src_dir().size(); host_length < 6000;
       host_length += 1 + component.size()) {
    ASSERT_EQ(mkdirat(opened.back(), component.c_str(), 0755), 0) << host_length << strerror(errno);
    opened.push_back(openat(opened.back(), component.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(opened.back(), 0) << host_length << strerror(errno);
  }
  const int deep = opened.back();
  const int fd = openat(deep, "f", O_WRONLY | O_CREAT | O_EXCL, 0640);
  ASSERT_GE(fd, 0) << strerror(errno);
  EXPECT_EQ(write(fd, "deep", 4), 4);
  close(fd);
  struct stat st;
  ASSERT_EQ(fstatat(deep, "f", &st, AT_SYMLINK_NOFOLLOW), 0) << strerror(errno);
  EXPECT_EQ(st.st_size, 4);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(renameat(deep, "f", deep, "g"), 0) << strerror(errno);
  EXPECT_EQ(NamesAt(deep), (std::set<std::string>{".", "..", "g"}));
  EXPECT_EQ(unlinkat(deep, "g", 0), 0) << strerror(errno);
  EXPECT_EQ(NamesAt(deep), (std::set<std::string>{".", ".."}));
  for (auto dir = opened.rbegin(); dir + 1 != opened.rend(); ++dir) {
    close(*dir);
    EXPECT_EQ(unlinkat(*(dir + 1), component.c_str(), AT_REMOVEDIR), 0) << strerror(errno);
  }
  close(opened.front());
  EXPECT_EQ(Names(mirror_.src_dir()), (std::set<std::string>{".", ".."}));
  ExpectServing();
}

// The daemon run directly with a command line it answers without mounting,
// its standard output and error kept.
struct DirectRun {
  int status = -1;
  std::string out, err;
};

DirectRun RunDaemon(const std::vector<std::string>& args, const std::string& err_path) {
  DirectRun run;
  std::vector<std::string> argv = {CALLERFS_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string out_path = err_path + ".out";
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    ExecOrExit(argv);
  }
  if (pid < 0) return run;
  int status = 0;
  if (!ReapWithin(pid, 10s, &status)) ADD_FAILURE() << "callerfs did not exit within 10 s; killed it";
  run.status = status;
  run.err = ReadFile(err_path);
  run.out = ReadFile(out_path);
  unlink(out_path.c_str());
  return run;
}

bool MountedAt(const std::string& dir) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    if (line.find(" " + dir + " ") != std::string::npos) return true;
  }
  return false;
}

class StartupErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = MountUnavailableReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    char pattern[] = "/tmp/callerfs-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
    root_ = pattern;
    ASSERT_EQ(mkdir((root_ + "/mnt").c_str(), 0755), 0);
  }
  void TearDown() override {
    if (root_.empty()) return;
    const std::string mnt = root_ + "/mnt";
    if (MountedAt(mnt)) {
      ADD_FAILURE() << "a mount was left at " << mnt;
      if (fork() == 0) {
        execlp("fusermount", "fusermount", "-u", "-z", mnt.c_str(), nullptr);
        _exit(127);
      }
      wait(nullptr);
    }
    unlink((root_ + "/err").c_str());
    unlink((root_ + "/err.out").c_str());
    rmdir(mnt.c_str());
    rmdir(root_.c_str());
  }
  std::string root_;
};

TEST_F(StartupErrorsTest, MissingMountPointIsReportedAndNothingIsMounted) {
  const std::string missing = root_ + "/no-such-dir";
  const DirectRun run = RunDaemon({"-f", missing}, root_ + "/err");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << "status " << run.status;
  EXPECT_NE(run.err.find("fuse: bad mount point"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(missing), std::string::npos) << run.err;
  EXPECT_FALSE(MountedAt(missing));
  EXPECT_FALSE(Exists(missing));
}

TEST_F(StartupErrorsTest, UnknownOptionIsReportedAndNothingIsMounted) {
  const std::string mnt = root_ + "/mnt";
  const DirectRun run = RunDaemon({"-f", "-o", "no_such_option", mnt}, root_ + "/err");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << "status " << run.status;
  EXPECT_NE(run.err.find("unknown option"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("no_such_option"), std::string::npos) << run.err;
  EXPECT_FALSE(MountedAt(mnt));
}

// Lines callerfs answers itself: help and version on standard output with
// success, and one clear line on standard error for a base, a mount point or
// an option it cannot use.
TEST_F(StartupErrorsTest, CommandLinesAnsweredWithoutMounting) {
  const std::string mnt = root_ + "/mnt";
  const std::string file = root_ + "/err";  // exists once the first run has written it
  const std::string busy = root_ + "/busy";  // a mount point already
  ASSERT_EQ(mkdir(busy.c_str(), 0755), 0);
  ASSERT_EQ(mount("tmpfs", busy.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
  const std::string refused = " is refused: files would show an owner or mode they do not have on the host";
  const std::string loop_owns_interrupts =
      " is refused: callerfs's request loop handles interrupted requests itself (with SIGUSR1)";
  struct Case {
    std::vector<std::string> args;
    int status;
    bool on_stdout;
    std::string first_line;
    bool only_line = true;  // a refusal is one line, with nothing beside it
  };
  const Case cases[] = {
      {{"--help"}, 0, true, "usage: callerfs [options] [SOURCE] MOUNTPOINT", false},
      {{"-h"}, 0, true, "usage: callerfs [options] [SOURCE] MOUNTPOINT", false},
      {{"--version"}, 0, true, "callerfs " CALLERFS_VERSION, false},
      {{}, 1, false, "usage: callerfs [options] [SOURCE] MOUNTPOINT", false},
      {{"-f", root_ + "/missing", mnt}, 1, false,
       "callerfs: cannot use " + root_ + "/missing as the base directory: No such file or directory"},
      {{"-f", "-o", "modules=subdir,subdir=" + file, mnt}, 1, false,
       "callerfs: cannot use " + file + " as the base directory: Not a directory"},
      {{"-f", "-o", "modules=subdir,subdir=/,rellinks", mnt}, 1, false,
       "callerfs: the option rellinks is not supported: symbolic links are passed through unchanged"},
      {{"-f", "-o", "modules=subdir,subdir=/", "/", mnt}, 1, false,
       "callerfs: the base directory is given twice (SOURCE and subdir=/)"},
      {{"-f", "/", mnt, "/stray"}, 1, false, "callerfs: unexpected argument '/stray': give at most SOURCE and MOUNTPOINT"},
      {{"-f", "-o", "coherent,kernel_cache", mnt}, 1, false,
       "callerfs: the options coherent and kernel_cache contradict each other: coherent reads every file "
       "from the host, kernel_cache keeps its pages whatever the host writes"},
      {{"-f", "-o", "max_write=0", mnt}, 1, false, "callerfs: max_write=0: no write could carry any data"},
      {{"-f", "-o", "intr", mnt}, 1, false, "callerfs: the option intr" + loop_owns_interrupts},
      // The library refuses the pair; no warning about default_permissions beside it.
      {{"-f", "-o", "allow_other,allow_root", mnt}, 1, false,
       "fuse: 'allow_other' and 'allow_root' options are mutually exclusive"},
      {{"-f", "-o", "uid=1000", mnt}, 1, false, "callerfs: the option uid=1000" + refused},
      {{"-f", "-o", "gid=1000", mnt}, 1, false, "callerfs: the option gid=1000" + refused},
      {{"-f", "-o", "umask=0", mnt}, 1, false, "callerfs: the option umask=0" + refused},
      {{"-f", "-o", "max_files_per_user=0", mnt}, 1, false,
       "callerfs: max_files_per_user=0: every open by a user other than root would fail"},
      {{"-f", "-o", "fsname=", mnt}, 1, false,
       "callerfs: fsname= names nothing: give a name, or leave it out to show the source"},
      {{"-f", "-o", "subdir=/", mnt}, 1, false,
       "callerfs: subdir=/ needs the subdir module: write -o modules=subdir,subdir=/, or give the "
       "directory as SOURCE before the mount point"},
      {{"-f", file}, 1, false, "callerfs: cannot mount at " + file + ": not a directory"},
      {{"-f", busy}, 1, false, "callerfs: " + busy + " is already a mount point (-o nonempty mounts over it)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first_line);
    const DirectRun run = RunDaemon(c.args, file);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == c.status) << run.status;
    const std::string& text = c.on_stdout ? run.out : run.err;
    EXPECT_EQ(text.substr(0, text.find('\n')), c.first_line) << text;
    if (c.only_line) {
      EXPECT_EQ(CountOccurrences(text, "\n"), 1u) << text;
    }
    EXPECT_FALSE(MountedAt(mnt));
    // The library's part of the help leaves out what callerfs refuses or takes.
    if (c.args != std::vector<std::string>{"--help"}) continue;
    for (const char* refused_option : {"uid=N", "umask=M", "subdir=DIR", "rellinks", "(off)", "intr"}) {
      EXPECT_EQ(text.find(refused_option), std::string::npos) << refused_option;
    }
  }
  while (umount2(busy.c_str(), MNT_DETACH) == 0) {  // a stacked mount too, had the check failed
  }
  rmdir(busy.c_str());
}

// A mount whose daemon died: the kernel answers every access to it with
// ENOTCONN. Made here by mounting a FUSE connection and closing its only
// descriptor at once.
bool MakeDeadMount(const std::string& dir) {
  const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (device == -1) return false;
  const std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0";
  const bool mounted = mount("callerfs-test", dir.c_str(), "fuse", 0, options.c_str()) == 0;
  close(device);
  return mounted;
}

TEST_F(StartupErrorsTest, DeadMountPointIsNamedWithTheCommandThatClearsIt) {
  const std::string mnt = root_ + "/mnt";
  ASSERT_TRUE(MakeDeadMount(mnt)) << strerror(errno);
  struct stat st;
  ASSERT_EQ(ErrnoOf(stat(mnt.c_str(), &st)), ENOTCONN);
  const DirectRun run = RunDaemon({"-f", mnt}, root_ + "/err");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << "status " << run.status;
  EXPECT_EQ(run.err, "callerfs: " + mnt + " is a dead mount (its daemon ended without unmounting): clear it "
                     "with fusermount -u " + mnt + ", and mount with -o auto_unmount to avoid it next time\n");
  EXPECT_EQ(umount2(mnt.c_str(), MNT_DETACH), 0) << strerror(errno);
}

}  // namespace
}  // namespace callerfs::testing
