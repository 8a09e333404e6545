#include "ops/kernel_interface.h"

#include <fuse.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace callerfs::ops {
namespace {

// The serving thread's supplementary groups are the caller's (the raw
// getgroups system call reads this thread's).
bool InThreadGroups(gid_t gid) {
  gid_t groups[64];
  const long count = ::syscall(SYS_getgroups, 64, groups);
  if (count < 0) return false;  // more than 64: the group bits are not granted
  return std::find(groups, groups + count, gid) != groups + count;
}

}  // namespace

bool OnKernelInterface(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case 0x62656570:  // configfs
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case BINFMTFS_MAGIC:
    case NSFS_MAGIC:
    case 0x65735543:  // fusectl
    case 0x19800202:  // mqueue: a queue made here would be the daemon's, counted against root's limits
      return true;
    default:
      return false;
  }
}

bool CallerMayListProcDirectory(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return true;
  const fuse_context* caller = fuse_get_context();
  struct stat st;
  if (caller->uid == 0 || ::fstat(fd, &st) != 0) return true;
  mode_t granted = st.st_mode;  // others
  if (st.st_uid == caller->uid) {
    granted >>= 6;
  } else if (st.st_gid == caller->gid || InThreadGroups(st.st_gid)) {
    granted >>= 3;
  }
  return (granted & (S_IROTH | S_IXOTH)) == (S_IROTH | S_IXOTH);
}

}  // namespace callerfs::ops
