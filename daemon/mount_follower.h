// Keeps the daemon's private copy of the host's mount namespace showing the
// host's mounts. A descriptor of the host's mountinfo, opened while still in
// the host's namespace, keeps reading the host's table; poll(2) reports
// POLLPRI on it once after any change (changes coalesce), so one thread waits
// in poll, re-reads the whole table, compares it with the last reading and
// replays the difference into the copy: what went is detached; what came is
// cloned in the host's namespace (open_tree) and attached at the same place in
// the copy (move_mount), where any clone of the daemon's own mount it carried
// is detached again. The thread sleeps in poll while the table is still.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>

#include "base/unique_fd.h"
#include "daemon/mount_table.h"

namespace callerfs {

struct FollowedNamespaces {
  int host_namespace = -1;  // /proc/.../ns/mnt of the host's namespace
  int copy_namespace = -1;  // and of the copy the daemon serves from
  int host_mounts = -1;     // the host's mountinfo
  MountTable known;         // the host's table as the copy shows it now
  int own_id = 0;           // the daemon's own mount in the host's table
  dev_t own_dev = 0;
  std::string own_mountpoint;
};

class MountFollower {
 public:
  // Replays what changed since `known`, then follows the host from a thread
  // of its own. The descriptors are borrowed and must outlive the follower.
  explicit MountFollower(FollowedNamespaces namespaces);
  MountFollower(const MountFollower&) = delete;
  MountFollower& operator=(const MountFollower&) = delete;
  // Stops following; the copy keeps what it shows.
  ~MountFollower();

  bool following() const { return thread_.joinable(); }

 private:
  void Follow();
  // Both false when the thread could not get back into the copy: following
  // ends there.
  bool CatchUp();
  void Detach(const MountEntry& gone);
  bool Attach(const MountEntry& came);
  void DetachOwnMountClones(const std::string& below);

  FollowedNamespaces namespaces_;
  UniqueFd stop_;  // an eventfd: readable once the follower is to end
  std::thread thread_;
};

}  // namespace callerfs
