// The daemon changes owners and modes as root, so every such change must act
// on the object the request itself made or opened, never on whatever the name
// refers to a moment later. A preloaded probe swaps names right between the
// daemon's system calls (see support/swap_probe.cpp); the tests check that
// the swapped-in objects keep their owners and modes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

struct stat Lstat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
  return st;
}

class SwapTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.environment = PreloadEnvironment(CALLERFS_SWAP_PROBE_LIBRARY);
    return options;
  }
};

TEST_F(SwapTest, MkdirFixUpNeverReachesADirectorySwappedIn) {
  ASSERT_EQ(mkdir(mirror_.src("victim-dir").c_str(), 0700), 0);
  const int made = RunAs(1000, 100, [&] {
    return ErrnoOf(mkdir(mirror_.mnt("new.swap-dir").c_str(), 0777));
  });
  // The kernel finds a link under the new name, not the directory it asked
  // for, and reports EIO: the swap is visible, the victim must not be hurt.
  EXPECT_TRUE(made == 0 || made == EIO) << strerror(made);
  const struct stat victim = Lstat(mirror_.src("victim-dir"));
  EXPECT_EQ(victim.st_uid, 0u);
  EXPECT_EQ(victim.st_gid, 0u);
  EXPECT_EQ(victim.st_mode & 07777, 0700u) << "the fix-up followed the swapped-in link";
  // The directory this mkdir made was moved away before its fix-up.
  EXPECT_TRUE(S_ISDIR(Lstat(mirror_.src("new.swap-dir.moved")).st_mode));
}

TEST_F(SwapTest, SymlinkFixUpNeverGivesAwayAFileSwappedIn) {
  WriteFile(mirror_.src("victim-file"), "root's", 0600);
  const int made = RunAs(1000, 100, [&] {
    return ErrnoOf(symlink("target", mirror_.mnt("new.swap-link").c_str()));
  });
  EXPECT_TRUE(made == 0 || made == EIO) << strerror(made);  // a file where a link was made
  const struct stat swapped_in = Lstat(mirror_.src("new.swap-link"));
  ASSERT_TRUE(S_ISREG(swapped_in.st_mode));
  EXPECT_EQ(swapped_in.st_uid, 0u) << "the root-owned file was given to the caller";
  EXPECT_EQ(swapped_in.st_gid, 0u);
}

TEST_F(SwapTest, SetIdClearingNeverReachesAFileSwappedIn) {
  // The opened file and a set-ID file that a link swapped in points to.
  WriteFile(mirror_.src("opened.swap-setid"), "x", 0666);
  ASSERT_EQ(chmod(mirror_.src("opened.swap-setid").c_str(), 06777), 0);
  ASSERT_EQ(link(mirror_.src("opened.swap-setid").c_str(), mirror_.src("opened-file").c_str()), 0);
  WriteFile(mirror_.src("victim-setid"), "y", 0755);
  ASSERT_EQ(chmod(mirror_.src("victim-setid").c_str(), 06755), 0);
  ASSERT_EQ(symlink(mirror_.src("victim-setid").c_str(), mirror_.src("victim-link").c_str()), 0);

  const int opened = RunAs(1000, 100, [&] {
    const int fd = open(mirror_.mnt("opened.swap-setid").c_str(), O_WRONLY);
    if (fd == -1) return errno;
    close(fd);
    return 0;
  });
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(Lstat(mirror_.src("victim-setid")).st_mode & 07777, 06755u)
      << "the swapped-in link's target lost its set-ID bits";
  EXPECT_EQ(Lstat(mirror_.src("opened-file")).st_mode & 07777, 0777u)
      << "the file actually opened kept its set-ID bits";
}

TEST_F(SwapTest, CreateThatMeetsAFileMadeMeanwhileLeavesItsOwner) {
  const std::string path = mirror_.mnt("new.swap-create");
  const int created = RunAs(1000, 100, [&] {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd == -1) return errno;
    const bool written = pwrite(fd, "user", 4, 0) == 4;
    close(fd);
    return written ? 0 : EIO;
  });
  EXPECT_EQ(created, 0);
  const struct stat st = Lstat(mirror_.src("new.swap-create"));
  EXPECT_EQ(st.st_uid, 0u) << "a file the daemon did not make was given to the caller";
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(ReadFile(mirror_.src("new.swap-create")), "user");

  // An exclusive create of such a name fails instead.
  const int exclusive = RunAs(1000, 100, [&] {
    return ErrnoOf(open(mirror_.mnt("other.swap-create").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
  });
  EXPECT_EQ(exclusive, EEXIST);
  EXPECT_EQ(Lstat(mirror_.src("other.swap-create")).st_uid, 0u);
}

}  // namespace
}  // namespace callerfs::testing
