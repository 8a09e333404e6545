#include "daemon/mount_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "daemon/mount_table.h"

namespace callerfs {
namespace {

MountTable OwnMountTable() {
  const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return {};
  MountTable table = ReadMountTable(fd);
  ::close(fd);
  return table;
}

}  // namespace

dev_t MountDeviceAt(const std::string& mountpoint) {
  const MountTable table = OwnMountTable();
  const MountEntry* top = TopmostAt(table, mountpoint);
  return top != nullptr ? top->dev : 0;
}

bool DeviceMounted(dev_t device) {
  const MountTable table = OwnMountTable();
  return std::ranges::any_of(table, [&](const MountEntry& entry) { return entry.dev == device; });
}

}  // namespace callerfs
