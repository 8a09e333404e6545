#include "ops/descriptor_close.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

// The lock library's header has no C++ linkage guard.
extern "C" {
#include <ulockmgr.h>
}

#include "ops/caller_identity.h"
#include "registry/descriptor_quota.h"
#include "registry/lock_owners.h"

namespace callerfs::ops {

// Ends every lock owner still recorded on fd: a whole-file unlock through the
// lock library releases the owner's locks on the file and, when it holds no
// other file, its server process and socket. Then closes fd.
int CloseHostDescriptor(int fd) {
  thread_local std::vector<LockOwners::Owner> owners;
  LockOwners::Instance().TakeAll(fd, owners);
  if (!owners.empty()) {
    const AsDaemon daemon;  // the lock library may have to start its server
    for (LockOwners::Owner& owner : owners) {
      struct flock unlock {};
      unlock.l_type = F_UNLCK;
      unlock.l_whence = SEEK_SET;
      ulockmgr_op(fd, F_SETLK, &unlock, &owner.owner, sizeof owner.owner);
      LockOwners::Uncharge(owner);
    }
  }
  return DescriptorQuota::Instance().Close(fd);
}

}  // namespace callerfs::ops
