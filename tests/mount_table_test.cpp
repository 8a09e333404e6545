// Reading the host's mount table and reducing two readings to what the
// daemon replays into its own namespace.
#include "daemon/mount_table.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

namespace callerfs {
namespace {

std::vector<std::string> Points(const std::vector<MountEntry>& entries) {
  std::vector<std::string> points;
  for (const MountEntry& entry : entries) points.push_back(entry.mountpoint);
  return points;
}

constexpr char kBase[] =
    "21 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "22 21 0:20 / /proc rw - proc proc rw\n"
    "30 21 7:0 / /srv/disk rw - ext4 /dev/loop0 rw\n"
    "31 30 0:40 / /srv/disk/sub rw - tmpfs none rw\n"
    "40 21 0:50 / /srv/my\\040fuse rw,nosuid - fuse.tiny tiny rw,user_id=0,group_id=0\n";

TEST(MountTableTest, ParsesFieldsUnescapesAndSkipsBadLines) {
  const MountTable table = ParseMountTable(std::string(kBase) + "garbage line\n42 21 x / /y rw - t s o\n");
  ASSERT_EQ(table.size(), 5u);
  const MountEntry& fuse = table[4];
  EXPECT_EQ(fuse.id, 40);
  EXPECT_EQ(fuse.parent, 21);
  EXPECT_EQ(fuse.dev, makedev(0, 50));
  EXPECT_EQ(fuse.mountpoint, "/srv/my fuse");
  EXPECT_EQ(fuse.type, "fuse.tiny");
  EXPECT_TRUE(fuse.IsFuse());
  EXPECT_TRUE(fuse.FuseForMounterOnly());
  EXPECT_EQ(fuse.FuseOption("user_id"), 0);
  EXPECT_FALSE(table[2].IsFuse());
  EXPECT_TRUE(table[3].AtOrBelow("/srv/disk"));
  EXPECT_FALSE(table[3].AtOrBelow("/srv/dis"));
  EXPECT_EQ(TopmostAt(table, "/srv/disk")->id, 30);
  const MountTable shared = ParseMountTable("5 1 0:9 / /f rw - fuse x rw,user_id=0,allow_other,group_id=0\n");
  EXPECT_FALSE(shared[0].FuseForMounterOnly());
}

TEST(MountTableTest, ChangesAreReducedToWhatAReplayNeeds) {
  struct Case {
    const char* name;
    std::string after;
    std::vector<std::string> gone, came;
  };
  const std::string base = kBase;
  const Case cases[] = {
      {"still", base, {}, {}},
      {"a disk and the mount on it went", base.substr(0, base.find("30 21")) + base.substr(base.find("40 21")),
       {"/srv/disk"}, {}},
      {"only the inner mount went", base.substr(0, base.find("31 30")) + base.substr(base.find("40 21")),
       {"/srv/disk/sub"}, {}},
      {"a mount and one on it came",
       base + "50 21 0:60 / /mnt/new rw - tmpfs none rw\n51 50 0:61 / /mnt/new/in rw - tmpfs none rw\n",
       {}, {"/mnt/new"}},
      {"moved", [&] {
         std::string moved = base;
         moved.replace(moved.find("/srv/my\\040fuse"), 15, "/srv/elsewhere");
         return moved;
       }(),
       {"/srv/my fuse"}, {"/srv/elsewhere"}},
  };
  const MountTable before = ParseMountTable(base);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MountChanges changes = DiffMountTables(before, ParseMountTable(c.after));
    EXPECT_EQ(Points(changes.gone), c.gone);
    EXPECT_EQ(Points(changes.came), c.came);
  }
}

}  // namespace
}  // namespace callerfs
