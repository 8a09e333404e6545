// Where a request's path lands on the host, resolved so that a user who can
// change names in the tree cannot make the daemon (root) act on anything the
// path does not name.
//
// The kernel follows every legitimate symbolic link before a path reaches the
// daemon, so below the base directory a link can only be the last name of a
// request that acts on the link itself; anywhere else it is a swap made on the
// host. Every handler goes through this module:
//   - the base directory is opened once at start-up and every path is taken
//     relative to it, never re-resolved from its text;
//   - no symbolic link (and no /proc magic link) is followed below the base;
//   - what is resolved is acted on through a descriptor, never the path again;
//   - paths at or below the daemon's own mount point are served from the
//     directory the mount covers, so no request re-enters the mount.
// Resolution allocates nothing for paths under PATH_MAX bytes. The base and
// the covered directory it starts from are the host tree's (host_tree.h);
// what it refuses to open on kernel interfaces, kernel_interface.h decides.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <string_view>

#include "base/unique_fd.h"
#include "ops/xattr_at.h"

namespace callerfs::ops {

// The directory that holds the request path's last name, resolved beneath
// the base without following any link, and that last name. The root of the
// tree (and the covered mount point) is "." in its own directory.
class PinnedParent {
 public:
  explicit PinnedParent(const char* path);
  PinnedParent(const PinnedParent&) = delete;
  PinnedParent& operator=(const PinnedParent&) = delete;

  // 0, or the errno that resolution failed with (ELOOP for a link).
  int error() const { return error_; }
  // error(), or EACCES for a directory on a kernel interface: for requests
  // that change the directory or its entries, or read a link there.
  int ErrorForChange() const;
  int dir() const { return dir_; }
  const char* name() const { return name_; }

  // fstatat of the last name, not following a link.
  int Stat(struct stat* st) const;
  // The group a new object made here should be given for a caller of group
  // caller_gid: in a set-group-ID directory the kernel has already given it
  // the directory's group, which stays ((gid_t)-1, "unchanged"); elsewhere
  // the caller's.
  gid_t GroupForNewObject(gid_t caller_gid) const;
  // Opens the last name itself with O_NOFOLLOW (a link gives ELOOP, or the
  // link itself with O_PATH). -1 with errno set on failure.
  int OpenName(int flags) const;
  // The extended-attribute calls on the last name, not following a link
  // (xattr_at.h).
  ssize_t GetXattr(const char* attribute, void* value, size_t size) const {
    return GetXattrAt(dir_, name_, attribute, value, size);
  }
  ssize_t ListXattr(char* list, size_t size) const { return ListXattrAt(dir_, name_, list, size); }
  int SetXattr(const char* attribute, const void* value, size_t size, int flags) const {
    return SetXattrAt(dir_, name_, attribute, value, size, flags);
  }
  int RemoveXattr(const char* attribute) const { return RemoveXattrAt(dir_, name_, attribute); }

 private:
  UniqueFd owned_{-1};  // the parent's descriptor, unless it is the base or covered directory
  int dir_ = -1;
  const char* name_ = ".";
  int error_ = 0;
};

// The object a request path names, resolved beneath the base without
// following any link, final name included (a link gives ELOOP). open_flags
// are O_PATH for an object acted on through /proc/self/fd, or
// O_RDONLY | O_DIRECTORY for a directory to read.
class PinnedObject {
 public:
  PinnedObject(const char* path, int open_flags);
  PinnedObject(int dir, const char* name, int open_flags);  // a name below a pinned parent

  int error() const { return fd_ ? 0 : error_; }
  // error(), or EACCES for an object on a kernel interface.
  int ErrorForChange() const;
  int fd() const { return fd_.get(); }
  // fstat of the object.
  int Stat(struct stat* st) const;
  int release() { return fd_.release(); }
  // "/proc/self/fd/N" for calls that must act on the object by path
  // (chmod, truncate, a re-open with other flags).
  const char* ProcPath(char (&buffer)[32]) const;

 private:
  UniqueFd fd_{-1};
  int error_ = 0;
};

// The host's answer to access(2) with mask on the object fd refers to (an
// O_PATH descriptor will do), for the serving thread's identity: the
// caller's while requests run as their callers (AT_EACCESS: file-system ids,
// groups and capabilities, where a plain access check would use the daemon's
// real uid), else the daemon's. 0, or -1 with errno set.
int CheckAccess(int fd, int mask);

// Opens a regular file from its pinned O_PATH descriptor with the request's
// flags, so the file opened is the one that was checked. Anything but a
// regular file is refused unopened: EISDIR for a directory, ELOOP for a link,
// ENXIO for a FIFO, socket or device (opening those could block the daemon or
// act on hardware), EACCES for a file of a kernel interface. -1 with errno
// set on failure.
int ReopenRegularFile(const PinnedObject& object, int flags);

// Resolution primitives, exposed for the unit tests: open rel (relative, no
// leading "/") beneath dir with flags, refusing every link. The first uses
// openat2 when the kernel has it; the second is the component walk used where
// it does not. -1 with errno set on failure.
int OpenBeneath(int dir, std::string_view rel, int flags);
int OpenBeneathByWalk(int dir, std::string_view rel, int flags);

}  // namespace callerfs::ops
