// Resolution beneath the base: both strategies (openat2, and the component
// walk used where the kernel lacks it) refuse every link, magic links and
// escapes included, reach paths longer than PATH_MAX, and split request paths
// into the right directory, last name and registry key; extended attributes
// reach the last name with the kernel's *at calls and without them.
#include "ops/host_path.h"
#include "ops/host_tree.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstddef>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace callerfs::ops {
namespace {

class HostPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/callerfs-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/a/b");
    std::filesystem::create_directories(root_ + "/covered/inside");
    close(open((root_ + "/a/b/file").c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_EQ(symlink("a", (root_ + "/link-to-a").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (root_ + "/a/etc").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/root", (root_ + "/a/magic").c_str()), 0);
    ASSERT_EQ(mkfifo((root_ + "/a/fifo").c_str(), 0644), 0);
    base_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  }
  void TearDown() override {
    close(base_);
    std::filesystem::remove_all(root_);
    SetHostTree({});
  }
  std::string root_;
  int base_ = -1;
};

int ErrnoOfOpen(int fd) {
  if (fd == -1) return errno;
  close(fd);
  return 0;
}

TEST_F(HostPathTest, BothStrategiesRefuseEveryLink) {
  struct Case {
    const char* rel;
    int flags;
    int error;
  };
  const Case cases[] = {
      {"", O_PATH, 0},
      {"a/b/file", O_PATH, 0},
      {"a/b", O_RDONLY | O_DIRECTORY, 0},
      {"a/fifo", O_PATH, 0},                  // found, never opened for reading
      {"link-to-a/b/file", O_PATH, ELOOP},    // a link as a directory
      {"link-to-a", O_PATH, ELOOP},           // a link as the last name
      {"a/etc/passwd", O_PATH, ELOOP},        // an absolute link
      {"a/magic/etc", O_PATH, ELOOP},         // a link to a /proc magic link
      {"a/b/file/x", O_PATH, ENOTDIR},
      {"a/missing/x", O_PATH, ENOENT},
      {"a/b/../../..", O_PATH, EXDEV},        // never sent by the kernel; never escapes
  };
  for (const auto open_beneath : {&OpenBeneath, &OpenBeneathByWalk}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.rel) + (open_beneath == &OpenBeneath ? " (openat2)" : " (walk)"));
      EXPECT_EQ(ErrnoOfOpen(open_beneath(base_, c.rel, c.flags)), c.error);
    }
  }
}

TEST_F(HostPathTest, PathsLongerThanPathMaxAreResolvedInPieces) {
  const std::string name(255, 'n');
  std::string rel;
  int dir = dup(base_);
  while (rel.size() < 6000) {
    ASSERT_EQ(mkdirat(dir, name.c_str(), 0755), 0);
    const int next = openat(dir, name.c_str(), O_PATH | O_DIRECTORY);
    close(dir);
    dir = next;
    rel += (rel.empty() ? "" : "/") + name;
  }
  close(dir);
  for (const auto open_beneath : {&OpenBeneath, &OpenBeneathByWalk}) {
    EXPECT_EQ(ErrnoOfOpen(open_beneath(base_, rel, O_PATH | O_DIRECTORY)), 0);
  }
}

TEST_F(HostPathTest, RequestPathsSplitIntoDirectoryNameAndKey) {
  HostTree tree;
  tree.base_fd = base_;
  tree.key_prefix = "base-as-given/";
  tree.covered = "covered";
  tree.covered_fd = open((root_ + "/covered").c_str(), O_PATH | O_DIRECTORY);
  SetHostTree(tree);

  EXPECT_STREQ(KeyPath("/").c_str(), "base-as-given/");
  EXPECT_STREQ(KeyPath("/a/b/file").c_str(), "base-as-given/a/b/file");

  struct stat st;
  const PinnedParent root("/");
  EXPECT_EQ(root.dir(), base_);
  EXPECT_STREQ(root.name(), ".");
  const PinnedParent top("/a");
  EXPECT_EQ(top.dir(), base_);  // no descriptor opened for a name in the base
  const PinnedParent deep("/a/b/file");
  ASSERT_EQ(deep.error(), 0);
  EXPECT_STREQ(deep.name(), "file");
  EXPECT_EQ(deep.Stat(&st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(PinnedParent("/link-to-a/b").error(), ELOOP);

  // At and below the mount point: the covered directory, never the path.
  const PinnedParent mount_point("/covered");
  EXPECT_EQ(mount_point.dir(), tree.covered_fd);
  EXPECT_STREQ(mount_point.name(), ".");
  EXPECT_EQ(PinnedParent("/covered/inside").dir(), tree.covered_fd);
  EXPECT_EQ(PinnedParent("/coveredx").dir(), base_);
  close(tree.covered_fd);
}

// Makes this process's *xattrat calls fail as on a kernel without them.
bool WithoutXattrAtCalls() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 463, 0, 2),  // setxattrat .. removexattrat
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 466, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(HostPathTest, ExtendedAttributesOfTheLastNameWithOrWithoutTheAtCalls) {
  HostTree tree;
  tree.base_fd = base_;
  SetHostTree(tree);
  // Set, read, list and remove one attribute of a file two levels down;
  // the link's own attributes are the link's, not its target's.
  const auto round_trip = [] {
    const PinnedParent file("/a/b/file");
    char value[16] = {};
    char list[64] = {};
    return file.SetXattr("user.t", "v1", 2, XATTR_CREATE) == 0 &&
           file.GetXattr("user.t", value, sizeof value) == 2 && std::string(value) == "v1" &&
           file.ListXattr(list, sizeof list) == 7 && std::string(list) == "user.t" &&
           PinnedParent("/link-to-a").GetXattr("user.t", value, sizeof value) == -1 &&
           errno == ENODATA && file.RemoveXattr("user.t") == 0 &&
           file.GetXattr("user.t", value, sizeof value) == -1 && errno == ENODATA;
  };
  EXPECT_TRUE(round_trip()) << std::strerror(errno);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(WithoutXattrAtCalls() && round_trip() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "through /proc/self/fd";
}

}  // namespace
}  // namespace callerfs::ops
