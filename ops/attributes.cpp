// Attribute and namespace handlers: pass-throughs to the same path on the
// host, resolved beneath the base without following links (host_path.h),
// except that mkdir, symlink and mknod (FIFOs and sockets) give what they
// make to the caller, with the group of a set-group-ID directory, and
// getattr, truncate, utimens and access act on the caller's registered
// write-only handle for the path when there is one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "ops/host_path.h"
#include "ops/ops.h"
#include "ops/syscall_result.h"
#include "ops/write_handle.h"
#include "registry/diagnostics.h"

namespace callerfs::ops {
namespace {

// Whether the object open at fd still looks like what this request just
// made: the right type and owned by the daemon. Between our mkdirat,
// symlinkat or mknodat and opening the name again, anyone may rename another
// object into it; fixing up that one would hand it to the caller with root's
// privilege. st receives the object's attributes.
bool LooksJustMade(int fd, mode_t type, struct stat& st) {
  return ::fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_uid == ::geteuid();
}

// Gives a link, FIFO or socket this request made to the caller, through a
// descriptor of the node itself. 0 when it is no longer ours to fix up.
int GiveNodeToCaller(const PinnedParent& at, mode_t type) {
  const UniqueFd node(at.OpenName(O_PATH));
  struct stat st;
  if (!node || !LooksJustMade(node.get(), type, st)) return 0;
  const fuse_context* caller = fuse_get_context();
  return ResultOf(::fchownat(node.get(), "", caller->uid, at.GroupForNewObject(caller->gid),
                             AT_EMPTY_PATH));
}

// A directory made a moment ago holds only "." and "..". One read of a small
// buffer tells: it holds those two and any third entry there is.
bool IsEmptyDirectory(int fd) {
  alignas(8) char buffer[1024];
  const long size = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
  if (size < 0) return false;
  for (long at = 0; at < size;) {
    struct Entry {
      ino64_t ino;
      off64_t off;
      unsigned short reclen;
      unsigned char type;
      char name[1];
    };
    const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
    if (std::strcmp(entry->name, ".") != 0 && std::strcmp(entry->name, "..") != 0) return false;
    at += entry->reclen;
  }
  return true;
}

}  // namespace

int Getattr(const char* path, struct stat* st) {
  const PinnedParent at(path);
  const KeyPath key(path);
  BorrowedWriteHandle handle(key.c_str(), at);
  if (handle) {
    *st = handle.stat();
    return 0;
  }
  return ResultOf(at.Stat(st));
}

int Fgetattr(const char*, struct stat* st, fuse_file_info* fi) {
  return ResultOf(::fstat(FdOf(fi), st));
}

int Readlink(const char* path, char* buf, size_t size) {
  if (size == 0) return -EINVAL;
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  const ssize_t length = ::readlinkat(at.dir(), at.name(), buf, size - 1);
  if (length == -1) return -errno;
  buf[length] = '\0';
  return 0;
}

// FIFOs and sockets belong to their maker, who must be able to open and
// connect to them (only root can make device nodes, so those stay root's).
int Mknod(const char* path, mode_t mode, dev_t rdev) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  if (::mknodat(at.dir(), at.name(), mode, S_ISFIFO(mode) ? 0 : rdev) == -1) return -errno;
  if (!S_ISFIFO(mode) && !S_ISSOCK(mode)) return 0;
  return GiveNodeToCaller(at, mode & S_IFMT);
}

// The directory always stays once made; of the fix-up failures only EPERM is
// reported, so a daemon without the right to give objects away says so.
int Mkdir(const char* path, mode_t mode) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  if (::mkdirat(at.dir(), at.name(), mode) == -1) return -errno;
  const UniqueFd dir(at.OpenName(O_RDONLY | O_DIRECTORY));
  struct stat st;
  if (!dir || !LooksJustMade(dir.get(), S_IFDIR, st) || !IsEmptyDirectory(dir.get())) {
    return 0;  // no longer ours to fix up
  }
  const fuse_context* caller = fuse_get_context();
  if (::fchown(dir.get(), caller->uid, at.GroupForNewObject(caller->gid)) == -1 && errno == EPERM) {
    return -EPERM;
  }
  // Keeps the set-group-ID bit a directory inherits from a set-group-ID parent.
  if (::fchmod(dir.get(), mode | (st.st_mode & S_ISGID)) == -1 && errno == EPERM) return -EPERM;
  return 0;
}

int Unlink(const char* path) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  return ResultOf(::unlinkat(at.dir(), at.name(), 0));
}

int Rmdir(const char* path) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  return ResultOf(::unlinkat(at.dir(), at.name(), AT_REMOVEDIR));
}

int Symlink(const char* target, const char* path) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  if (::symlinkat(target, at.dir(), at.name()) == -1) return -errno;
  return GiveNodeToCaller(at, S_IFLNK);
}

int Rename(const char* from, const char* to) {
  const PinnedParent old_at(from);
  if (old_at.error()) return -old_at.error();
  const PinnedParent new_at(to);
  if (new_at.error()) return -new_at.error();
  return ResultOf(::renameat(old_at.dir(), old_at.name(), new_at.dir(), new_at.name()));
}

// Flags 0: a link is linked as itself, never followed.
int Link(const char* from, const char* to) {
  const PinnedParent old_at(from);
  if (old_at.error()) return -old_at.error();
  const PinnedParent new_at(to);
  if (new_at.error()) return -new_at.error();
  return ResultOf(::linkat(old_at.dir(), old_at.name(), new_at.dir(), new_at.name(), 0));
}

// There is no fchmod for an O_PATH descriptor; its /proc/self/fd path names
// exactly the pinned object.
int Chmod(const char* path, mode_t mode) {
  const PinnedObject object(path, O_PATH);
  if (object.error()) return -object.error();
  char proc_path[32];
  return ResultOf(::chmod(object.ProcPath(proc_path), mode));
}

int Chown(const char* path, uid_t uid, gid_t gid) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  return ResultOf(::fchownat(at.dir(), at.name(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

// The size is printed with %i, i.e. its low 32 bits as a signed number.
// truncate(2) of the pinned object's /proc/self/fd path opens nothing, so a
// FIFO or device under the name is refused (EINVAL) without being opened.
int Truncate(const char* path, off_t size) {
  const int printed_size = static_cast<int>(size);
  const PinnedParent at(path);
  const KeyPath key(path);
  BorrowedWriteHandle handle(key.c_str(), at);
  if (handle) {
    Diagnostic("Mapped file %s to handle %i. ftruncate %i\n", key.c_str(), handle.fd(),
               printed_size);
    return ResultOf(::ftruncate(handle.fd(), size));
  }
  Diagnostic("Map file %s failed. truncate %i\n", key.c_str(), printed_size);
  if (at.error()) return -at.error();
  const PinnedObject object(at.dir(), at.name(), O_PATH);
  if (object.error()) return -object.error();
  char proc_path[32];
  return ResultOf(::truncate(object.ProcPath(proc_path), size));
}

int Ftruncate(const char*, off_t size, fuse_file_info* fi) {
  return ResultOf(::ftruncate(FdOf(fi), size));
}

int Utimens(const char* path, const struct timespec times[2]) {
  const PinnedParent at(path);
  const KeyPath key(path);
  BorrowedWriteHandle handle(key.c_str(), at);
  if (handle) return ResultOf(::futimens(handle.fd(), times));
  if (at.error()) return -at.error();
  return ResultOf(::utimensat(at.dir(), at.name(), times, AT_SYMLINK_NOFOLLOW));
}

// Holding the file open for writing is taken as permission enough.
int Access(const char* path, int mask) {
  const PinnedParent at(path);
  const KeyPath key(path);
  BorrowedWriteHandle handle(key.c_str(), at);
  if (handle) return 0;
  if (at.error()) return -at.error();
  const PinnedObject object(at.dir(), at.name(), O_PATH);
  if (object.error()) return -object.error();
  if (::faccessat(object.fd(), "", mask, AT_EMPTY_PATH) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -errno;
  char proc_path[32];  // kernels before 5.8 take no flags here
  return ResultOf(::access(object.ProcPath(proc_path), mask));
}

int Statfs(const char* path, struct statvfs* st) {
  const PinnedObject object(path, O_PATH);
  if (object.error()) return -object.error();
  return ResultOf(::fstatvfs(object.fd(), st));
}

}  // namespace callerfs::ops
