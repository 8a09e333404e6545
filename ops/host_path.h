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
// Resolution allocates nothing for paths under PATH_MAX bytes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace callerfs {

// The host side of the mount, fixed at start-up before requests are served
// and read-only afterwards.
struct HostTree {
  int base_fd = -1;            // the base directory
  std::string key_prefix;      // base text as given plus "/": registry keys and diagnostics
  std::string covered;         // mount point relative to the base, when it lies strictly inside
  int covered_fd = -1;         // the directory the mount covers, opened before mounting
  // Mounted with default_permissions: the kernel checks each caller's
  // permissions itself before requests reach the daemon.
  bool kernel_checks_permissions = false;
};

// Installs the tree; call once, before the FUSE library starts.
void SetHostTree(HostTree tree);
const HostTree& GetHostTree();
// Replaces the base with base_fd, the same directory opened inside the
// daemon's private mount namespace, where its own mount is not to be seen:
// nothing needs the covered directory any more. Call before serving requests.
void UseBaseInPrivateView(int base_fd);

namespace ops {

// Whether fd lies on a kernel interface file system (procfs, sysfs, cgroup,
// debugfs and the like). What their files do depends on the process that
// opens, writes or reads links in them, and that would be the daemon, never
// the caller: they are listed and stat'ed, but not opened or changed.
bool OnKernelInterface(int fd);

// Whether the caller may list the directory fd, which lies on /proc, as the
// host would let them. The host decides as the caller everywhere in /proc
// but in the daemon's own process, whose directories (fd, task/N/fd, ...)
// the kernel lets the daemon list whatever its identity: there the
// directory's mode decides, as it does for any other process. true for
// directories elsewhere.
bool CallerMayListProcDirectory(int fd);

// The path as the registry keys it and diagnostics print it: the base text as
// given, "/", then the request path without its leading "/" (so the root is
// "BASE/"). Without a base this is the request path itself, uncopied.
class KeyPath {
 public:
  explicit KeyPath(const char* path);
  KeyPath(const KeyPath&) = delete;
  KeyPath& operator=(const KeyPath&) = delete;
  const char* c_str() const { return text_; }

 private:
  const char* text_;
  std::string long_text_;  // only for keys of PATH_MAX bytes or more
  char buffer_[PATH_MAX];
};

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
  // "/proc/self/fd/DIR/NAME" into buffer, for calls that have no *at form
  // on older kernels (the l*xattr family); the final name is then still not
  // followed.
  const char* ProcPath(char (&buffer)[PATH_MAX]) const;
  // The extended-attribute calls on the last name, not following a link:
  // the *at system calls where the kernel has them (Linux 6.13), which spare
  // a walk through /proc, else the l* calls on ProcPath. As the l* calls:
  // a count or 0, or -1 with errno set.
  ssize_t GetXattr(const char* attribute, void* value, size_t size) const;
  ssize_t ListXattr(char* list, size_t size) const;
  int SetXattr(const char* attribute, const void* value, size_t size, int flags) const;
  int RemoveXattr(const char* attribute) const;

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

}  // namespace ops
}  // namespace callerfs
