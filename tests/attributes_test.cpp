// Attribute and namespace requests through a real mount: attributes and
// errors that pass through must equal the host's; ownership of what callers
// create, truncate's diagnostic line and the routing through a caller's open
// write-only handle differ from a plain pass-through on purpose.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

constexpr off_t kGiB = off_t{1} << 30;

struct stat Lstat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
  return st;
}

void ExpectSameTime(const timespec& mount, const timespec& host, const char* which) {
  EXPECT_EQ(mount.tv_sec, host.tv_sec) << which;
  EXPECT_EQ(mount.tv_nsec, host.tv_nsec) << which;
}

// Everything lstat reports that does not depend on which filesystem answers.
void ExpectSameAttributes(const struct stat& mount, const struct stat& host) {
  EXPECT_EQ(mount.st_ino, host.st_ino);
  EXPECT_EQ(mount.st_mode, host.st_mode);
  EXPECT_EQ(mount.st_nlink, host.st_nlink);
  EXPECT_EQ(mount.st_uid, host.st_uid);
  EXPECT_EQ(mount.st_gid, host.st_gid);
  EXPECT_EQ(mount.st_size, host.st_size);
  EXPECT_EQ(mount.st_blocks, host.st_blocks);
  EXPECT_EQ(mount.st_rdev, host.st_rdev);
  ExpectSameTime(mount.st_atim, host.st_atim, "atime");
  ExpectSameTime(mount.st_mtim, host.st_mtim, "mtime");
  ExpectSameTime(mount.st_ctim, host.st_ctim, "ctime");
}

void SetTimes(const std::string& host_path, timespec atime, timespec mtime) {
  const timespec times[2] = {atime, mtime};
  ASSERT_EQ(utimensat(AT_FDCWD, host_path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << host_path << ": " << strerror(errno);
}

// The descriptor the registry reported for path in an AddMapping line, or -1.
int RegisteredFd(const std::string& log, const std::string& host_path) {
  const std::string prefix = "OpenFilesMap::AddMapping Injected mapping " + host_path + " to ";
  const size_t at = log.rfind(prefix);
  if (at == std::string::npos) return -1;
  return std::atoi(log.c_str() + at + prefix.size());
}

// A process of another user that holds files open through the mount until it
// is released, so the daemon keeps their registrations meanwhile. Every
// process of that user shares them: the registry keys on (uid, path).
class HeldOpen {
 public:
  HeldOpen(uid_t uid, gid_t gid, const std::vector<std::string>& paths, int flags) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(go[1]);
      unsigned char result = 0;
      std::vector<int> fds;
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) result = 126;
      for (size_t i = 0; result == 0 && i < paths.size(); ++i) {
        const int fd = open(paths[i].c_str(), flags);
        if (fd == -1) result = static_cast<unsigned char>(errno);
        fds.push_back(fd);
      }
      (void)!write(ready[1], &result, 1);
      char byte;
      (void)!read(go[0], &byte, 1);  // returns at EOF: the test released us
      for (int fd : fds) close(fd);
      _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    go_ = go[1];
    unsigned char result = 255;
    if (pid_ > 0 && read(ready[0], &result, 1) == 1) status_ = result;
    close(ready[0]);
  }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  ~HeldOpen() { Release(); }

  // 0 when every open succeeded, else the errno of the failing one.
  int status() const { return status_; }

  // Closes the files (the process exits) and waits for it.
  void Release() {
    if (go_ != -1) close(go_);
    go_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  int status_ = -1;
};

class AttributesTest : public MountTest {
 protected:
  // Runs truncate(2) through the mount and returns its errno (0 on success)
  // together with what the daemon wrote meanwhile.
  int TruncateThroughMount(const std::string& relative, off_t size, std::string* log) {
    const size_t mark = mirror_.LogMark();
    const int result = ErrnoOf(truncate(mirror_.mnt(relative).c_str(), size));
    *log = mirror_.LogSince(mark);
    return result;
  }

  void ExpectServing() {
    struct stat st;
    EXPECT_EQ(stat(mirror_.mnt_dir().c_str(), &st), 0) << strerror(errno);
  }
};

TEST_F(AttributesTest, MkdirByUserGivesCallersOwnership) {
  ASSERT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(mkdir(mirror_.mnt("d").c_str(), 0750)); }), 0);
  struct stat st;
  ASSERT_EQ(lstat(mirror_.src("d").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 100u);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

TEST_F(AttributesTest, LstatMatchesHostForEveryKindOfObject) {
  WriteFile(mirror_.src("file"), "some contents\n", 0640);
  ASSERT_EQ(link(mirror_.src("file").c_str(), mirror_.src("file.link").c_str()), 0);
  ASSERT_EQ(chown(mirror_.src("file").c_str(), 1000, 100), 0);
  ASSERT_EQ(mkdir(mirror_.src("dir").c_str(), 0751), 0);
  ASSERT_EQ(mkdir(mirror_.src("dir/a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(mirror_.src("dir/b").c_str(), 0700), 0);
  ASSERT_EQ(chown(mirror_.src("dir").c_str(), 1001, 100), 0);
  ASSERT_EQ(symlink("file", mirror_.src("symlink").c_str()), 0);
  ASSERT_EQ(lchown(mirror_.src("symlink").c_str(), 1000, 1000), 0);
  ASSERT_EQ(mkfifo(mirror_.src("fifo").c_str(), 0620), 0);
  ASSERT_EQ(chown(mirror_.src("fifo").c_str(), 1001, 1001), 0);
  SetTimes(mirror_.src("file"), {1000000001, 123456789}, {1100000002, 987654321});
  SetTimes(mirror_.src("dir"), {1200000003, 1}, {1300000004, 999999999});
  SetTimes(mirror_.src("symlink"), {1400000005, 500000000}, {1500000006, 42});
  SetTimes(mirror_.src("fifo"), {1600000007, 7}, {1700000008, 8});

  for (const char* name : {"file", "dir", "symlink", "fifo"}) {
    SCOPED_TRACE(name);
    const struct stat mount = Lstat(mirror_.mnt(name));
    const struct stat host = Lstat(mirror_.src(name));
    ExpectSameAttributes(mount, host);
  }
  EXPECT_EQ(Lstat(mirror_.mnt("file")).st_nlink, 2u);
  EXPECT_EQ(Lstat(mirror_.mnt("dir")).st_nlink, 4u);
  EXPECT_TRUE(S_ISLNK(Lstat(mirror_.mnt("symlink")).st_mode));
  EXPECT_TRUE(S_ISFIFO(Lstat(mirror_.mnt("fifo")).st_mode));
}

// Binds a Unix socket at path (a socket node made through the mount); 0 or errno.
int BindSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int result = ErrnoOf(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  close(fd);
  return result;
}

// What users make belongs to them; in a set-group-ID directory (a team's
// tree) it gets the directory's group, and new directories keep the bit, as
// on the host. Device nodes only root can make.
TEST_F(AttributesTest, CreatedObjectsBelongToTheCallerWithASetGroupIdDirectorysGroup) {
  WriteFile(mirror_.src("target"), "t");
  ASSERT_EQ(mkdir(mirror_.src("setgid").c_str(), 0777), 0);
  ASSERT_EQ(chown(mirror_.src("setgid").c_str(), 0, 1001), 0);
  ASSERT_EQ(chmod(mirror_.src("setgid").c_str(), 02777), 0);
  EXPECT_EQ(RunAs(1000, 100,
                  [&] {
                    umask(022);
                    if (mkdir(mirror_.mnt("d0750").c_str(), 0750) != 0) return 1;
                    if (mkdir(mirror_.mnt("d0").c_str(), 0) != 0) return 2;
                    if (mkdir(mirror_.mnt("d0777").c_str(), 0777) != 0) return 3;
                    if (symlink("target", mirror_.mnt("link").c_str()) != 0) return 4;
                    if (mkfifo(mirror_.mnt("fifo").c_str(), 0666) != 0) return 5;
                    if (BindSocket(mirror_.mnt("socket")) != 0) return 8;
                    for (const char* dir : {"setgid", "setgid/d"}) {
                      const std::string in = mirror_.mnt(dir);
                      if (mkdir((in + "/d").c_str(), 0750) != 0) return 7;
                      close(open((in + "/file").c_str(), O_CREAT | O_WRONLY, 0644));
                      if (symlink("target", (in + "/link").c_str()) != 0) return 9;
                      if (mkfifo((in + "/fifo").c_str(), 0666) != 0) return 10;
                      if (BindSocket(in + "/socket") != 0) return 11;
                    }
                    umask(0);
                    if (mkdir(mirror_.mnt("sticky").c_str(), 01777) != 0) return 6;
                    return 0;
                  }),
            0);

  struct Expected {
    const char* name;
    mode_t mode;
    gid_t gid;
  };
  for (const Expected& want : {Expected{"d0750", S_IFDIR | 0750, 100},
                               Expected{"d0", S_IFDIR, 100},
                               Expected{"d0777", S_IFDIR | 0755, 100},  // umask 022
                               Expected{"sticky", S_IFDIR | 01777, 100},
                               Expected{"link", S_IFLNK | 0777, 100},
                               Expected{"fifo", S_IFIFO | 0644, 100},
                               Expected{"socket", S_IFSOCK | 0755, 100},
                               Expected{"setgid/d", S_IFDIR | 02750, 1001},
                               Expected{"setgid/file", S_IFREG | 0644, 1001},
                               Expected{"setgid/link", S_IFLNK | 0777, 1001},
                               Expected{"setgid/fifo", S_IFIFO | 0644, 1001},
                               Expected{"setgid/socket", S_IFSOCK | 0755, 1001},
                               Expected{"setgid/d/d", S_IFDIR | 02750, 1001}}) {
    SCOPED_TRACE(want.name);
    const struct stat st = Lstat(mirror_.src(want.name));
    EXPECT_EQ(st.st_mode, want.mode);
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, want.gid);
  }
  const struct stat target = Lstat(mirror_.src("target"));
  EXPECT_EQ(target.st_uid, 0u) << "the fix-up must change the link, not what it points to";
  EXPECT_EQ(target.st_gid, 0u);
}

TEST_F(AttributesTest, MkdirOfAnExistingNameFailsAndLeavesItAlone) {
  ASSERT_EQ(mkdir(mirror_.src("taken").c_str(), 0700), 0);
  ASSERT_EQ(chown(mirror_.src("taken").c_str(), 1001, 1001), 0);
  WriteFile(mirror_.src("file"), "x", 0600);

  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(mkdir(mirror_.mnt("taken").c_str(), 0777)); }),
            EEXIST);
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(mkdir(mirror_.mnt("file").c_str(), 0777)); }),
            EEXIST);
  const struct stat dir = Lstat(mirror_.src("taken"));
  EXPECT_EQ(dir.st_mode, S_IFDIR | 0700);
  EXPECT_EQ(dir.st_uid, 1001u);
  EXPECT_EQ(dir.st_gid, 1001u);
  const struct stat file = Lstat(mirror_.src("file"));
  EXPECT_EQ(file.st_mode, S_IFREG | 0600);
  EXPECT_EQ(file.st_uid, 0u);
}

TEST_F(AttributesTest, ChownChmodAndTimesReachTheRightObject) {
  WriteFile(mirror_.src("f"), "data", 0644);
  ASSERT_EQ(chown(mirror_.src("f").c_str(), 1000, 100), 0);
  ASSERT_EQ(symlink("f", mirror_.src("link").c_str()), 0);

  // An id of -1 leaves that id as it is.
  ASSERT_EQ(chown(mirror_.mnt("f").c_str(), static_cast<uid_t>(-1), 200), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_uid, 1000u);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_gid, 200u);
  ASSERT_EQ(chown(mirror_.mnt("f").c_str(), 1001, static_cast<gid_t>(-1)), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_uid, 1001u);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_gid, 200u);

  // lchown changes the link itself; its target keeps its owner.
  ASSERT_EQ(lchown(mirror_.mnt("link").c_str(), 1002, 300), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("link")).st_uid, 1002u);
  EXPECT_EQ(Lstat(mirror_.src("link")).st_gid, 300u);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_uid, 1001u);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_gid, 200u);

  // chmod on the file, and through the link (which follows it).
  ASSERT_EQ(chmod(mirror_.mnt("f").c_str(), 04604), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_mode, S_IFREG | 04604);
  ASSERT_EQ(chmod(mirror_.mnt("link").c_str(), 0600), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("f")).st_mode, S_IFREG | 0600);
  EXPECT_EQ(Lstat(mirror_.src("link")).st_mode & 0777, 0777u);

  // Times of the link itself, not of its target.
  SetTimes(mirror_.src("f"), {1000000000, 0}, {1000000000, 0});
  const timespec link_times[2] = {{1234567890, 111111111}, {1234567891, 222222222}};
  ASSERT_EQ(utimensat(AT_FDCWD, mirror_.mnt("link").c_str(), link_times, AT_SYMLINK_NOFOLLOW), 0)
      << strerror(errno);
  const struct stat link = Lstat(mirror_.src("link"));
  ExpectSameTime(link.st_atim, link_times[0], "link atime");
  ExpectSameTime(link.st_mtim, link_times[1], "link mtime");
  const struct stat unchanged = Lstat(mirror_.src("f"));
  ExpectSameTime(unchanged.st_atim, {1000000000, 0}, "target atime");
  ExpectSameTime(unchanged.st_mtim, {1000000000, 0}, "target mtime");

  // Times of a file, both and one of them.
  const timespec file_times[2] = {{1500000000, 5}, {1600000000, 999999999}};
  ASSERT_EQ(utimensat(AT_FDCWD, mirror_.mnt("f").c_str(), file_times, 0), 0) << strerror(errno);
  const struct stat file = Lstat(mirror_.src("f"));
  ExpectSameTime(file.st_atim, file_times[0], "file atime");
  ExpectSameTime(file.st_mtim, file_times[1], "file mtime");
  ExpectSameAttributes(Lstat(mirror_.mnt("f")), file);
}

TEST_F(AttributesTest, ReadlinkReturnsTheWholeTarget) {
  std::string longest;
  for (size_t i = 0; i < 4095; ++i) longest += i % 100 == 99 ? '/' : static_cast<char>('a' + i % 26);
  ASSERT_EQ(symlink(longest.c_str(), mirror_.src("long").c_str()), 0) << strerror(errno);
  ASSERT_EQ(symlink("s", mirror_.src("short").c_str()), 0);

  std::vector<char> buffer(8192, '\xee');
  ssize_t length = readlink(mirror_.mnt("long").c_str(), buffer.data(), buffer.size());
  ASSERT_EQ(length, 4095) << strerror(errno);
  EXPECT_EQ(std::string(buffer.data(), length), longest);
  length = readlink(mirror_.mnt("short").c_str(), buffer.data(), buffer.size());
  ASSERT_EQ(length, 1) << strerror(errno);
  EXPECT_EQ(buffer[0], 's');

  // A link of the longest contents made through the mount reads back whole on the host.
  ASSERT_EQ(symlink(longest.c_str(), mirror_.mnt("made").c_str()), 0) << strerror(errno);
  length = readlink(mirror_.src("made").c_str(), buffer.data(), buffer.size());
  ASSERT_EQ(length, 4095);
  EXPECT_EQ(std::string(buffer.data(), length), longest);
  EXPECT_EQ(ErrnoOf(readlink(mirror_.mnt("missing").c_str(), buffer.data(), buffer.size())), ENOENT);
  WriteFile(mirror_.src("plain"), "");
  EXPECT_EQ(ErrnoOf(readlink(mirror_.mnt("plain").c_str(), buffer.data(), buffer.size())), EINVAL);
}

// Builds the same small tree under two names: one is changed through the
// mount, the other directly on the host, and the two must agree.
class NamespaceParityTest : public AttributesTest {
 protected:
  void SetUp() override {
    AttributesTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* side : {"m", "h"}) {
      const std::string base = mirror_.src(side);
      ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
      WriteFile(base + "/file", "file contents");
      WriteFile(base + "/other", "other contents");
      for (const char* dir : {"/full", "/full2", "/empty", "/empty2"}) {
        ASSERT_EQ(mkdir((base + dir).c_str(), 0755), 0);
      }
      WriteFile(base + "/full/inside", "x");
      WriteFile(base + "/full2/inside2", "y");
    }
  }
  std::string M(const std::string& relative) const { return mirror_.mnt("m/" + relative); }
  std::string H(const std::string& relative) const { return mirror_.src("h/" + relative); }
};

TEST_F(NamespaceParityTest, ErrorsEqualTheHosts) {
  using Path = std::function<std::string(const std::string&)>;
  struct Case {
    const char* what;
    std::function<int(const Path&)> call;
  };
  const std::vector<Case> cases = {
      {"rmdir non-empty", [](const Path& p) { return ErrnoOf(rmdir(p("full").c_str())); }},
      {"rmdir missing", [](const Path& p) { return ErrnoOf(rmdir(p("nothing").c_str())); }},
      {"rmdir file", [](const Path& p) { return ErrnoOf(rmdir(p("file").c_str())); }},
      {"unlink missing", [](const Path& p) { return ErrnoOf(unlink(p("nothing").c_str())); }},
      {"unlink directory", [](const Path& p) { return ErrnoOf(unlink(p("empty").c_str())); }},
      {"rename missing",
       [](const Path& p) { return ErrnoOf(rename(p("nothing").c_str(), p("x").c_str())); }},
      {"rename dir over non-empty dir",
       [](const Path& p) { return ErrnoOf(rename(p("empty").c_str(), p("full").c_str())); }},
      {"rename non-empty dir over non-empty dir",
       [](const Path& p) { return ErrnoOf(rename(p("full2").c_str(), p("full").c_str())); }},
      {"rename file over dir",
       [](const Path& p) { return ErrnoOf(rename(p("file").c_str(), p("empty").c_str())); }},
      {"rename dir over file",
       [](const Path& p) { return ErrnoOf(rename(p("empty").c_str(), p("file").c_str())); }},
      {"rename dir into itself",
       [](const Path& p) { return ErrnoOf(rename(p("full").c_str(), p("full/sub").c_str())); }},
      {"link onto existing",
       [](const Path& p) { return ErrnoOf(link(p("file").c_str(), p("other").c_str())); }},
      {"link of a directory",
       [](const Path& p) { return ErrnoOf(link(p("empty").c_str(), p("dirlink").c_str())); }},
      {"link of missing",
       [](const Path& p) { return ErrnoOf(link(p("nothing").c_str(), p("y").c_str())); }},
      {"mkdir under a file",
       [](const Path& p) { return ErrnoOf(mkdir(p("file/sub").c_str(), 0755)); }},
      {"symlink onto existing",
       [](const Path& p) { return ErrnoOf(symlink("t", p("file").c_str())); }},
      {"chmod missing", [](const Path& p) { return ErrnoOf(chmod(p("nothing").c_str(), 0)); }},
      {"lchown missing", [](const Path& p) { return ErrnoOf(lchown(p("nothing").c_str(), 1, 1)); }},
  };
  const Path through_mount = [&](const std::string& r) { return M(r); };
  const Path on_host = [&](const std::string& r) { return H(r); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int host_errno = c.call(on_host);
    EXPECT_NE(host_errno, 0);
    EXPECT_EQ(c.call(through_mount), host_errno) << "host: " << strerror(host_errno);
  }
  // Nothing was changed by the failures.
  EXPECT_EQ(ReadFile(H("file")), "file contents");
  EXPECT_EQ(ReadFile(mirror_.src("m/file")), "file contents");
  EXPECT_EQ(ReadFile(mirror_.src("m/other")), "other contents");
  struct stat st;
  EXPECT_EQ(lstat(mirror_.src("m/full/inside").c_str(), &st), 0);
  EXPECT_EQ(lstat(mirror_.src("m/empty").c_str(), &st), 0);
  ExpectServing();
}

TEST_F(NamespaceParityTest, RenameLinkUnlinkRmdirPassThrough) {
  // rename of a file, also over an existing one.
  ASSERT_EQ(rename(M("file").c_str(), M("renamed").c_str()), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(mirror_.src("m/renamed")), "file contents");
  EXPECT_EQ(access(mirror_.src("m/file").c_str(), F_OK), -1);
  ASSERT_EQ(rename(M("renamed").c_str(), M("other").c_str()), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(mirror_.src("m/other")), "file contents");
  // rename of a directory over an empty one.
  ASSERT_EQ(rename(M("full").c_str(), M("empty").c_str()), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(mirror_.src("m/empty/inside")), "x");

  // Hard links share the inode and count.
  const ino_t ino = Lstat(mirror_.src("m/other")).st_ino;
  ASSERT_EQ(link(M("other").c_str(), M("hard").c_str()), 0) << strerror(errno);
  EXPECT_EQ(Lstat(mirror_.src("m/hard")).st_ino, ino);
  EXPECT_EQ(Lstat(mirror_.src("m/other")).st_nlink, 2u);
  EXPECT_EQ(Lstat(M("other")).st_nlink, 2u);
  EXPECT_EQ(Lstat(M("hard")).st_ino, ino);
  ASSERT_EQ(unlink(M("other").c_str()), 0) << strerror(errno);
  EXPECT_EQ(access(mirror_.src("m/other").c_str(), F_OK), -1);
  EXPECT_EQ(Lstat(M("hard")).st_nlink, 1u);
  EXPECT_EQ(ReadFile(M("hard")), "file contents");

  // rmdir of empty directories; the emptied one first.
  ASSERT_EQ(unlink(M("empty/inside").c_str()), 0) << strerror(errno);
  ASSERT_EQ(rmdir(M("empty").c_str()), 0) << strerror(errno);
  ASSERT_EQ(rmdir(M("empty2").c_str()), 0) << strerror(errno);
  EXPECT_EQ(access(mirror_.src("m/empty").c_str(), F_OK), -1);
  EXPECT_EQ(access(mirror_.src("m/empty2").c_str(), F_OK), -1);
}

TEST_F(AttributesTest, StatfsEqualsTheHosts) {
  struct statvfs mount {}, host {};
  ASSERT_EQ(statvfs(mirror_.mnt_dir().c_str(), &mount), 0) << strerror(errno);
  ASSERT_EQ(statvfs(mirror_.src_dir().c_str(), &host), 0) << strerror(errno);
  EXPECT_EQ(mount.f_bsize, host.f_bsize);
  EXPECT_EQ(mount.f_frsize, host.f_frsize);
  EXPECT_EQ(mount.f_blocks, host.f_blocks);
  EXPECT_EQ(mount.f_files, host.f_files);
  EXPECT_EQ(mount.f_namemax, host.f_namemax);
  // Free counts move with whatever else uses the host's filesystem; they
  // can never exceed the totals.
  EXPECT_LE(mount.f_bfree, mount.f_blocks);
  EXPECT_LE(mount.f_bavail, mount.f_bfree);
  EXPECT_LE(mount.f_ffree, mount.f_files);
}

TEST_F(AttributesTest, TruncateByPathWritesOneLineWithTheLow32BitsOfTheSize) {
  WriteFile(mirror_.src("f"), "0123456789");
  const std::string host = mirror_.src("f");
  struct Case {
    off_t size;
    const char* printed;
  };
  for (const Case& c : {Case{4, "4"}, Case{3 * kGiB, "-1073741824"},
                        Case{2 * kGiB, "-2147483648"}, Case{4 * kGiB, "0"},
                        Case{4 * kGiB + 5, "5"}, Case{7, "7"}}) {
    SCOPED_TRACE(c.size);
    std::string log;
    ASSERT_EQ(TruncateThroughMount("f", c.size, &log), 0) << strerror(errno);
    const std::string line = "Map file " + host + " failed. truncate " + c.printed + "\n";
    EXPECT_EQ(CountOccurrences(log, line), 1u) << log;
    EXPECT_EQ(CountOccurrences(log, "Map file "), 1u) << log;
    EXPECT_EQ(CountOccurrences(log, "Mapped file "), 0u) << log;
    EXPECT_EQ(Lstat(host).st_size, c.size);
    EXPECT_EQ(Lstat(mirror_.mnt("f")).st_size, c.size);
  }
  EXPECT_EQ(ReadFile(host), std::string("0123\0\0\0", 7));
  std::string log;
  ASSERT_EQ(TruncateThroughMount("f", 0, &log), 0);
  EXPECT_EQ(CountOccurrences(log, "Map file " + host + " failed. truncate 0\n"), 1u) << log;
  EXPECT_EQ(Lstat(host).st_size, 0);
}

TEST_F(AttributesTest, TruncateThatFailsStillWritesItsLine) {
  // The kernel answers these itself, before any request reaches the daemon.
  std::string log;
  EXPECT_EQ(TruncateThroughMount("missing", 1, &log), ENOENT);
  EXPECT_EQ(CountOccurrences(log, "truncate "), 0u) << log;
  ASSERT_EQ(mkdir(mirror_.src("dir").c_str(), 0755), 0);
  EXPECT_EQ(TruncateThroughMount("dir", 1, &log), EISDIR);

  // Beyond the largest file the host's filesystem allows: the daemon's call
  // gives what the host gives (EFBIG on most filesystems), after its line.
  WriteFile(mirror_.src("big"), "b");
  WriteFile(mirror_.src("big.twin"), "b");
  const off_t huge = off_t{1} << 62;
  const int host_errno = ErrnoOf(truncate(mirror_.src("big.twin").c_str(), huge));
  EXPECT_EQ(TruncateThroughMount("big", huge, &log), host_errno);
  EXPECT_EQ(CountOccurrences(log, "Map file " + mirror_.src("big") + " failed. truncate 0\n"), 1u)
      << log;

  // An immutable file refuses truncation even to the daemon.
  WriteFile(mirror_.src("frozen"), "frozen");
  const int fd = open(mirror_.src("frozen").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  const bool immutable = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (immutable) {
    EXPECT_EQ(TruncateThroughMount("frozen", 2, &log), EPERM);
    EXPECT_EQ(CountOccurrences(log, "Map file " + mirror_.src("frozen") + " failed. truncate 2\n"),
              1u)
        << log;
    flags &= ~FS_IMMUTABLE_FL;
    EXPECT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    EXPECT_EQ(ReadFile(mirror_.src("frozen")), "frozen");
  }
  close(fd);
  ExpectServing();
  if (!immutable) GTEST_SKIP() << "the host's filesystem has no immutable flag; EPERM case not run";
}

TEST_F(AttributesTest, RequestsOfTheUserHoldingAWriteOnlyHandleUseIt) {
  const std::string host = mirror_.src("f");
  WriteFile(host, "0123456789", 0666);
  ASSERT_EQ(chown(host.c_str(), 1000, 100), 0);
  const std::string path = mirror_.mnt("f");

  // Without a handle, nobody may execute a file that has no execute bit.
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(access(path.c_str(), X_OK)); }), EACCES);

  size_t mark = mirror_.LogMark();
  HeldOpen holder(1000, 100, {path}, O_WRONLY);
  ASSERT_EQ(holder.status(), 0) << strerror(holder.status());
  const int fd = RegisteredFd(mirror_.LogSince(mark), host);
  ASSERT_GE(fd, 0) << mirror_.LogSince(mark);
  const std::string fd_text = std::to_string(fd);

  // truncate goes to the handle.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(truncate(path.c_str(), 4)); }), 0);
  std::string log = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(log, "Mapped file " + host + " to handle " + fd_text + ". ftruncate 4\n"),
            1u)
      << log;
  EXPECT_EQ(CountOccurrences(log, "Map file "), 0u) << log;
  EXPECT_EQ(ReadFile(host), "0123");

  // getattr answers from the handle: the same file's attributes.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100,
                  [&] {
                    struct stat mount, on_host;
                    if (stat(path.c_str(), &mount) != 0 || lstat(host.c_str(), &on_host) != 0) {
                      return 1;
                    }
                    return mount.st_ino == on_host.st_ino && mount.st_size == 4 &&
                                   mount.st_mode == on_host.st_mode && mount.st_uid == 1000 &&
                                   mount.st_mtim.tv_nsec == on_host.st_mtim.tv_nsec
                               ? 0
                               : 2;
                  }),
            0);
  log = mirror_.LogSince(mark);
  EXPECT_NE(log.find("OpenFilesMap::GetMapping uid 1000 found " + host + " handle " + fd_text +
                     " refcount 2\n"),
            std::string::npos)
      << log;

  // Holding the file open for writing answers access() for that user alone;
  // for everyone else (root included) a file without execute bits is not
  // executable.
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(access(path.c_str(), X_OK)); }), 0);
  EXPECT_EQ(RunAs(1001, 100, [&] { return ErrnoOf(access(path.c_str(), X_OK)); }), EACCES);
  EXPECT_EQ(ErrnoOf(access(path.c_str(), X_OK)), EACCES);

  // utimens by the holder's user.
  const timespec times[2] = {{1111111111, 123}, {1222222222, 456}};
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(utimensat(AT_FDCWD, path.c_str(), times, 0)); }),
            0);
  const struct stat st = Lstat(host);
  ExpectSameTime(st.st_atim, times[0], "atime");
  ExpectSameTime(st.st_mtim, times[1], "mtime");

  // Another user's truncate goes by the path.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1001, 100, [&] { return ErrnoOf(truncate(path.c_str(), 3)); }), 0);
  log = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(log, "Map file " + host + " failed. truncate 3\n"), 1u) << log;
  EXPECT_EQ(CountOccurrences(log, "Mapped file "), 0u) << log;
  EXPECT_NE(log.find("Returning pair 1001" + host + "\n"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(host), "012");

  // The file is replaced on the host while the handle stays open on the old
  // one: the handle no longer counts for the path.
  const int old_file = open(host.c_str(), O_RDONLY);
  ASSERT_GE(old_file, 0);
  const ino_t old_ino = Lstat(host).st_ino;
  WriteFile(mirror_.src("f.new"), "new contents", 0666);
  ASSERT_EQ(rename(mirror_.src("f.new").c_str(), host.c_str()), 0);
  const ino_t new_ino = Lstat(host).st_ino;

  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(truncate(path.c_str(), 2)); }), 0);
  log = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(log, "Map file " + host + " failed. truncate 2\n"), 1u) << log;
  EXPECT_EQ(CountOccurrences(log, "Mapped file "), 0u) << log;
  EXPECT_EQ(ReadFile(host), "ne");
  char old_data[16] = {};
  EXPECT_EQ(pread(old_file, old_data, sizeof old_data, 0), 3);
  EXPECT_STREQ(old_data, "012");
  close(old_file);

  EXPECT_EQ(RunAs(1000, 100,
                  [&] {
                    struct stat now;
                    if (stat(path.c_str(), &now) != 0) return 1;
                    return now.st_ino == new_ino && now.st_ino != old_ino && now.st_size == 2 ? 0
                                                                                              : 2;
                  }),
            0);
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(access(path.c_str(), X_OK)); }), EACCES);

  // The registration ends with the holder's close.
  mark = mirror_.LogMark();
  holder.Release();
  EXPECT_TRUE(mirror_.WaitForLog(
      mark, "OpenFilesMap::RemoveMapping close " + host + " uid 1000 handle " + fd_text + "\n"))
      << mirror_.LogSince(mark);
}

TEST_F(AttributesTest, NamespaceChangesLeaveTheRegistryAlone) {
  // Both users may write the files; in the sticky tree each removes or
  // renames only what it owns.
  for (const char* name : {"f", "g", "h"}) WriteFile(mirror_.src(name), name, 0666);
  ASSERT_EQ(mkdir(mirror_.src("d").c_str(), 0777), 0);
  ASSERT_EQ(chown(mirror_.src("f").c_str(), 1000, 100), 0);
  for (const char* name : {"g", "h", "d"}) ASSERT_EQ(chown(mirror_.src(name).c_str(), 1001, 100), 0);
  size_t mark = mirror_.LogMark();
  HeldOpen holder(1000, 100, {mirror_.mnt("f"), mirror_.mnt("g"), mirror_.mnt("h")}, O_WRONLY);
  ASSERT_EQ(holder.status(), 0) << strerror(holder.status());
  std::string log = mirror_.LogSince(mark);
  const int f_fd = RegisteredFd(log, mirror_.src("f"));
  const int g_fd = RegisteredFd(log, mirror_.src("g"));
  ASSERT_GE(f_fd, 0) << log;
  ASSERT_GE(g_fd, 0) << log;

  // Another user renames, links, unlinks and removes directories, among them
  // the registered names: none of it may register, look up or drop anything.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1001, 100,
                  [&] {
                    if (link(mirror_.mnt("f").c_str(), mirror_.mnt("f2").c_str()) != 0) return 1;
                    if (rename(mirror_.mnt("g").c_str(), mirror_.mnt("g2").c_str()) != 0) return 2;
                    if (unlink(mirror_.mnt("h").c_str()) != 0) return 3;
                    if (mkdir(mirror_.mnt("d/sub").c_str(), 0755) != 0) return 4;
                    if (rmdir(mirror_.mnt("d/sub").c_str()) != 0) return 5;
                    if (rmdir(mirror_.mnt("d").c_str()) != 0) return 6;
                    return 0;
                  }),
            0);
  log = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::"), 0u) << log;
  EXPECT_EQ(ReadFile(mirror_.src("f2")), "f");
  EXPECT_EQ(ReadFile(mirror_.src("g2")), "g");
  EXPECT_EQ(access(mirror_.src("g").c_str(), F_OK), -1);
  EXPECT_EQ(access(mirror_.src("d").c_str(), F_OK), -1);

  // The holder's own user: its lookups borrow and give back references, and
  // nothing else happens to the registrations.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100,
                  [&] {
                    if (link(mirror_.mnt("f").c_str(), mirror_.mnt("f3").c_str()) != 0) return 1;
                    if (rename(mirror_.mnt("f3").c_str(), mirror_.mnt("f4").c_str()) != 0) return 2;
                    if (unlink(mirror_.mnt("f4").c_str()) != 0) return 3;
                    return 0;
                  }),
            0);
  log = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::AddMapping"), 0u) << log;
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::RemoveMapping close"), 0u) << log;
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::RemoveMapping erase"), 0u) << log;
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::GetMapping"),
            CountOccurrences(log, "OpenFilesMap::RemoveMapping found mapping"))
      << log;
  EXPECT_EQ(CountOccurrences(log, " refcount 3"), 0u) << log;
  EXPECT_EQ(CountOccurrences(log, " refcount now 0"), 0u) << log;

  // The registrations are still there under their original names, each with
  // its single reference: the holder's close drops them.
  mark = mirror_.LogMark();
  holder.Release();
  for (const auto& [name, fd] : {std::pair{"f", f_fd}, std::pair{"g", g_fd}}) {
    EXPECT_TRUE(mirror_.WaitForLog(mark, "OpenFilesMap::RemoveMapping close " + mirror_.src(name) +
                                             " uid 1000 handle " + std::to_string(fd) + "\n"))
        << mirror_.LogSince(mark);
  }
  ExpectServing();
}

}  // namespace
}  // namespace callerfs::testing

namespace callerfs::testing {
namespace {

// The base as an administrator may write it: relative, through a link. Keys
// and diagnostics show it as written.
class RelativeBaseTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.base_through_relative_link = true;
    return options;
  }
};

TEST_F(RelativeBaseTest, SettingOneTimeKeepsTheOther) {
  WriteFile(mirror_.src("f"), "x");
  SetTimes(mirror_.src("f"), {1500000000, 5}, {1600000000, 999999999});

  // touch -m: the access time stays.
  const timespec only_mtime[2] = {{0, UTIME_OMIT}, {1700000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, mirror_.mnt("f").c_str(), only_mtime, 0), 0) << strerror(errno);
  ExpectSameTime(Lstat(mirror_.src("f")).st_atim, {1500000000, 5}, "atime kept");
  ExpectSameTime(Lstat(mirror_.src("f")).st_mtim, only_mtime[1], "mtime set alone");

  // touch -a: the modification time stays.
  const timespec only_atime[2] = {{1710000000, 3}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, mirror_.mnt("f").c_str(), only_atime, 0), 0) << strerror(errno);
  ExpectSameTime(Lstat(mirror_.src("f")).st_atim, only_atime[0], "atime set alone");
  ExpectSameTime(Lstat(mirror_.src("f")).st_mtim, only_mtime[1], "mtime kept");

  const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ASSERT_EQ(utimensat(AT_FDCWD, mirror_.mnt("f").c_str(), now, 0), 0) << strerror(errno);
  EXPECT_GT(Lstat(mirror_.src("f")).st_mtim.tv_sec, 1700000000);
  EXPECT_NE(mirror_.Log().find("Returning pair 0src-link/f\n"), std::string::npos);

  // An archive unpacked through the mount keeps its times.
  ASSERT_EQ(mkdir(mirror_.src("packed").c_str(), 0755), 0);
  WriteFile(mirror_.src("packed/g"), "y");
  SetTimes(mirror_.src("packed/g"), {1400000000, 0}, {1450000000, 0});
  const std::string archive = mirror_.root() + "/packed.tar";
  ASSERT_EQ(RunProgram({"tar", "-C", mirror_.src_dir(), "-cf", archive, "packed"}), 0);
  ASSERT_EQ(RunProgram({"tar", "-C", mirror_.mnt_dir(), "--one-top-level=unpacked", "-xf", archive}), 0);
  ExpectSameTime(Lstat(mirror_.src("unpacked/packed/g")).st_mtim, {1450000000, 0}, "tar's mtime");
}

}  // namespace
}  // namespace callerfs::testing
