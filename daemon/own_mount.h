// Keeping the daemon out of its own mount. A request that resolves into the
// mount would call back into this daemon (a single thread then waits for
// itself; a pool recurses), and users can steer paths there by renaming or
// binding directories above or below the mount point. So, once mounted and
// while still single-threaded, the daemon moves into a copy of the host's
// mount namespace in which its own mount is detached: it never sees it,
// whatever anyone renames, and the directory the mount covers is simply what
// its path shows. The copy is a slave of the host's: nothing propagates back,
// and, where the host's root mount is shared (as systemd makes it), the
// host's later mounts and unmounts still reach the copy. Where it is not (as
// in some containers), the copy shows the mount table as it was at start, and
// every FUSE mount is detached in it, so that the daemon never holds another
// FUSE file system alive after the host unmounted it.
#pragma once

namespace callerfs {

class OwnMountHidden {
 public:
  // mountpoint: as the library resolved it. Re-opens the base directory
  // inside the copy (a descriptor keeps showing the namespace it was opened
  // in) and installs it as the host tree's base.
  explicit OwnMountHidden(const char* mountpoint);
  OwnMountHidden(const OwnMountHidden&) = delete;
  OwnMountHidden& operator=(const OwnMountHidden&) = delete;
  // Goes back to the host's namespace (where the library then unmounts);
  // call only when single-threaded again.
  ~OwnMountHidden();

  // Whether the daemon now runs in the copy; when false (e.g. the daemon is
  // not root), paths under the mount point are served from the directory it
  // covers instead (see host_path.h). why() says what failed.
  bool hidden() const { return saved_namespace_ != -1; }
  const char* why() const { return why_; }

 private:
  bool Enter(const char* mountpoint);

  int saved_namespace_ = -1;
  bool entered_copy_ = false;
  const char* why_ = "";
};

}  // namespace callerfs
