// Resolution beneath the base: both strategies (openat2, and the component
// walk used where the kernel lacks it) refuse every link, magic links and
// escapes included, reach paths longer than PATH_MAX, and split request paths
// into the right directory, last name and registry key.
#include "ops/host_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
}  // namespace callerfs::ops
