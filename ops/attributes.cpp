// Attribute and namespace handlers: plain pass-throughs to the same path on
// the host, except that mkdir and symlink give what they make to the caller,
// and getattr, truncate, utimens and access act on the caller's registered
// write-only handle for the path when there is one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ops/ops.h"
#include "registry/diagnostics.h"
#include "ops/syscall_result.h"
#include "ops/write_handle.h"

namespace callerfs::ops {
namespace {

// Opens the object at path for an ownership fix-up, without following a final
// symbolic link, and only if it still looks like what this request just made:
// the right type and owned by the daemon. Between our mkdir/symlink and this
// open, anyone may rename another object into the name; fixing up that one
// would hand it to the caller with root's privilege.
UniqueFd OpenJustMade(const char* path, int open_flags, mode_t type) {
  UniqueFd fd(::open(path, open_flags | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) == -1 || (st.st_mode & S_IFMT) != type || st.st_uid != ::geteuid()) {
    return UniqueFd(-1);
  }
  return fd;
}

}  // namespace

int Getattr(const char* path, struct stat* st) {
  BorrowedWriteHandle handle(path);
  if (handle) {
    *st = handle.stat();
    return 0;
  }
  return ResultOf(::lstat(path, st));
}

int Fgetattr(const char*, struct stat* st, fuse_file_info* fi) {
  return ResultOf(::fstat(FdOf(fi), st));
}

int Readlink(const char* path, char* buf, size_t size) {
  if (size == 0) return -EINVAL;
  const ssize_t length = ::readlink(path, buf, size - 1);
  if (length == -1) return -errno;
  buf[length] = '\0';
  return 0;
}

int Mknod(const char* path, mode_t mode, dev_t rdev) {
  if (S_ISFIFO(mode)) return ResultOf(::mkfifo(path, mode));
  return ResultOf(::mknod(path, mode, rdev));
}

// The directory always stays once made; of the fix-up failures only EPERM is
// reported, so a daemon without the right to give objects away says so.
int Mkdir(const char* path, mode_t mode) {
  if (::mkdir(path, mode) == -1) return -errno;
  const fuse_context* caller = fuse_get_context();
  const UniqueFd dir = OpenJustMade(path, O_RDONLY | O_DIRECTORY, S_IFDIR);
  if (!dir) return 0;  // no longer ours to fix up
  if (::fchown(dir.get(), caller->uid, caller->gid) == -1 && errno == EPERM) return -EPERM;
  if (::fchmod(dir.get(), mode) == -1 && errno == EPERM) return -EPERM;
  return 0;
}

int Unlink(const char* path) { return ResultOf(::unlink(path)); }

int Rmdir(const char* path) { return ResultOf(::rmdir(path)); }

int Symlink(const char* target, const char* path) {
  if (::symlink(target, path) == -1) return -errno;
  const fuse_context* caller = fuse_get_context();
  const UniqueFd link = OpenJustMade(path, O_PATH, S_IFLNK);
  if (!link) return 0;  // no longer ours to fix up
  return ResultOf(::fchownat(link.get(), "", caller->uid, caller->gid, AT_EMPTY_PATH));
}

int Rename(const char* from, const char* to) { return ResultOf(::rename(from, to)); }

int Link(const char* from, const char* to) { return ResultOf(::link(from, to)); }

int Chmod(const char* path, mode_t mode) { return ResultOf(::chmod(path, mode)); }

int Chown(const char* path, uid_t uid, gid_t gid) { return ResultOf(::lchown(path, uid, gid)); }

// The size is printed with %i, i.e. its low 32 bits as a signed number.
int Truncate(const char* path, off_t size) {
  const int printed_size = static_cast<int>(size);
  BorrowedWriteHandle handle(path);
  if (handle) {
    Diagnostic("Mapped file %s to handle %i. ftruncate %i\n", path, handle.fd(), printed_size);
    return ResultOf(::ftruncate(handle.fd(), size));
  }
  Diagnostic("Map file %s failed. truncate %i\n", path, printed_size);
  return ResultOf(::truncate(path, size));
}

int Ftruncate(const char*, off_t size, fuse_file_info* fi) {
  return ResultOf(::ftruncate(FdOf(fi), size));
}

int Utimens(const char* path, const struct timespec times[2]) {
  BorrowedWriteHandle handle(path);
  if (handle) return ResultOf(::futimens(handle.fd(), times));
  return ResultOf(::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW));
}

// Holding the file open for writing is taken as permission enough.
int Access(const char* path, int mask) {
  BorrowedWriteHandle handle(path);
  if (handle) return 0;
  return ResultOf(::access(path, mask));
}

int Statfs(const char* path, struct statvfs* st) { return ResultOf(::statvfs(path, st)); }

}  // namespace callerfs::ops
