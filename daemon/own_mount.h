// Keeping the daemon out of its own mount, and showing the host's mounts as
// they are. A request that resolved into the daemon's own mount would call
// back into this daemon (a single thread then waits for itself; a pool
// recurses), and users can steer paths there by renaming or binding
// directories above or below the mount point. So the daemon serves from a
// private copy of the host's mount namespace made before it mounts: its own
// mount is never in it, whatever anyone renames, and the directory the mount
// covers is simply what its path shows. Every other mount is the host's: a
// follower thread replays the host's later mounts and unmounts into the copy
// (mount_follower.h), whether the host's root mount is shared or private.
//
// The copy is made and the base re-opened in it before mounting, so from the
// first request on, every request is served from the copy.
#pragma once

#include <memory>

#include "base/unique_fd.h"
#include "daemon/mount_follower.h"
#include "daemon/mount_table.h"

namespace callerfs {

class OwnMountHidden {
 public:
  // Before mounting, while still one thread: makes the copy, re-opens the
  // base inside it and returns to the host's namespace (where the library
  // then mounts).
  OwnMountHidden();
  OwnMountHidden(const OwnMountHidden&) = delete;
  OwnMountHidden& operator=(const OwnMountHidden&) = delete;
  ~OwnMountHidden() { Leave(); }

  // After mounting, in the process that serves, still one thread: moves into
  // the copy, installs the base opened there and starts following the host.
  // mountpoint: as the library resolved it.
  void Enter(const char* mountpoint);
  // Stops following and goes back to the host's namespace (where the library
  // then unmounts); call only when single-threaded again.
  void Leave();

  // Whether the daemon now serves from the copy; when false (e.g. the daemon
  // is not root), paths under the mount point are served from the directory
  // it covers instead (see host_tree.h). why() says what failed.
  bool hidden() const { return entered_; }
  const char* why() const { return why_; }

 private:
  bool MakeCopy();

  UniqueFd host_namespace_{-1};
  UniqueFd copy_namespace_{-1};
  UniqueFd host_mounts_{-1};  // the host's mountinfo, read from the copy
  UniqueFd copy_base_{-1};
  MountTable at_copy_;  // the host's table when the copy was made
  std::unique_ptr<MountFollower> follower_;
  bool entered_ = false;
  const char* why_ = "";
};

}  // namespace callerfs
