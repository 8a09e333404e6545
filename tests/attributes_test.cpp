#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

class AttributesTest : public MountTest {};

TEST_F(AttributesTest, MkdirByUserGivesCallersOwnership) {
  ASSERT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(mkdir(mirror_.mnt("d").c_str(), 0750)); }), 0);
  struct stat st;
  ASSERT_EQ(lstat(mirror_.src("d").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 100u);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

}  // namespace
}  // namespace callerfs::testing
