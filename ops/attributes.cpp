// Attribute and namespace handlers: pass-throughs to the same path on the
// host, resolved beneath the base without following links (host_path.h) and
// made with the caller's identity (caller_identity.h), so that the host
// decides permissions and what a request makes is the caller's. getattr,
// truncate, utimens and access act on the caller's registered write-only
// handle for the path when the registry has one and the path, resolved as the
// caller, still names its file (write_handle.h); truncate and utimens only
// while the host says the caller may write the file. access is where the host
// is not asked: a caller holding the file open for writing is granted every
// mask. Kernel interfaces (/proc, /sys) are listed and stat'ed, never changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "base/syscall_result.h"
#include "base/unique_fd.h"
#include "ops/caller_identity.h"
#include "ops/file_handle.h"
#include "ops/host_path.h"
#include "ops/host_tree.h"
#include "ops/mounter_process.h"
#include "ops/ops.h"
#include "ops/write_handle.h"
#include "registry/diagnostics.h"

namespace callerfs::ops {
namespace {

// The names the FUSE library gives files it hides.
constexpr std::string_view kHiddenNamePrefix = ".fuse_hidden";

// What a request makes, it makes as the caller, so the host gives it the
// caller's owner and group (the directory's, in a set-group-ID directory)
// and nothing is left to fix up. A daemon that is not root acts as itself;
// it then tries to give a link, node or directory it made to the caller, as
// far as it may. Between making the name and opening it again anyone may
// rename another object into it: only an object of the right type that the
// daemon owns is touched. 0, or the fix-up's -errno.
int GiveToCaller(const PinnedParent& at, mode_t type) {
  const UniqueFd made(at.OpenName(O_PATH));
  struct stat st;
  const fuse_context* caller = fuse_get_context();
  if (!made || ::fstat(made.get(), &st) != 0 || st.st_uid == caller->uid ||
      (st.st_mode & S_IFMT) != type || st.st_uid != ::geteuid()) {
    return 0;
  }
  const AsDaemon daemon;
  return ResultOf(::fchownat(made.get(), "", caller->uid, at.GroupForNewObject(caller->gid),
                             AT_EMPTY_PATH));
}

// A change made through the caller's registered write-only handle skips
// what the host checks on the path: the handle is used only while the caller
// may write the file now (a mode, group or ACL may have changed since the
// open). Otherwise the path form runs, and the host answers as it would.
void KeepOnlyWhileWritable(BorrowedWriteHandle& handle) {
  if (handle && CheckAccess(handle.fd(), W_OK) != 0) handle.GiveBack();
}

// Whether mode is the object's mode now with one or both set-ID bits off.
bool OnlyClearsSetIdBits(const PinnedObject& object, mode_t mode) {
  constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;
  struct stat st;
  if (object.Stat(&st) != 0) return false;
  const mode_t now = st.st_mode & 07777;
  const mode_t cleared = now & ~(mode & 07777);
  return cleared != 0 && (cleared & ~kSetIdBits) == 0 && (mode & 07777 & ~now) == 0;
}

// The kernel's client asks, with the caller's credentials, to clear the
// set-ID bits before a write, truncation or fallocate by a caller without
// CAP_FSETID; on the host the kernel clears them itself, for anyone who may
// write the file. So does the daemon, with its own credentials, once the host
// says the caller may write the pinned file. -EPERM otherwise, the host's
// answer to the caller's change of mode.
int ClearSetIdForWriter(const PinnedObject& object, mode_t mode) {
  if (CheckAccess(object.fd(), W_OK) != 0) return -EPERM;
  const AsDaemon daemon;
  char proc_path[32];
  return ResultOf(::chmod(object.ProcPath(proc_path), mode));
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
  if (const int error = at.ErrorForChange()) return -error;
  const ssize_t length = ::readlinkat(at.dir(), at.name(), buf, size - 1);
  if (length == -1) return -errno;
  buf[length] = '\0';
  return 0;
}

// FIFOs and sockets belong to their maker, who must be able to open and
// connect to them (only root can make device nodes, so those stay root's).
int Mknod(const char* path, mode_t mode, dev_t rdev) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  mode &= ~UseCallerUmask();
  if (::mknodat(at.dir(), at.name(), mode, S_ISFIFO(mode) ? 0 : rdev) == -1) return -errno;
  if (!S_ISFIFO(mode) && !S_ISSOCK(mode)) return 0;
  return GiveToCaller(at, mode & S_IFMT);
}

// The mode is left as the host made it: the caller's umask, or the parent's
// default ACL in its place, and the set-group-ID bit of a set-group-ID parent.
// The directory always stays once made; of the fix-up failures only EPERM is
// reported, so a daemon without the right to give objects away says so.
int Mkdir(const char* path, mode_t mode) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  if (::mkdirat(at.dir(), at.name(), mode & ~UseCallerUmask()) == -1) return -errno;
  return GiveToCaller(at, S_IFDIR) == -EPERM ? -EPERM : 0;
}

int Unlink(const char* path) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  return ResultOf(::unlinkat(at.dir(), at.name(), 0));
}

int Rmdir(const char* path) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  return ResultOf(::unlinkat(at.dir(), at.name(), AT_REMOVEDIR));
}

int Symlink(const char* target, const char* path) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  if (::symlinkat(target, at.dir(), at.name()) == -1) return -errno;
  return GiveToCaller(at, S_IFLNK);
}

int Rename(const char* from, const char* to) {
  const PinnedParent old_at(from);
  if (const int error = old_at.ErrorForChange()) return -error;
  const PinnedParent new_at(to);
  if (const int error = new_at.ErrorForChange()) return -error;
  const int result = ResultOf(::renameat(old_at.dir(), old_at.name(), new_at.dir(), new_at.name()));
  // The library hides a file unlinked while open under such a name; its
  // unlink at the last release then acts for the user who hid it.
  if (result == 0 && std::string_view(new_at.name()).starts_with(kHiddenNamePrefix)) {
    RecordHider(to);
  }
  return result;
}

// Flags 0: a link is linked as itself, never followed.
int Link(const char* from, const char* to) {
  const PinnedParent old_at(from);
  if (const int error = old_at.ErrorForChange()) return -error;
  const PinnedParent new_at(to);
  if (const int error = new_at.ErrorForChange()) return -error;
  return ResultOf(::linkat(old_at.dir(), old_at.name(), new_at.dir(), new_at.name(), 0));
}

// There is no fchmod for an O_PATH descriptor; its /proc/self/fd path names
// exactly the pinned object. A change the host refuses that only clears
// set-ID bits is the kernel's own, sent before a write, truncation or
// fallocate by a caller without CAP_FSETID: see ClearSetIdForWriter.
int Chmod(const char* path, mode_t mode) {
  const PinnedObject object(path, O_PATH);
  if (const int error = object.ErrorForChange()) return -error;
  char proc_path[32];
  if (::chmod(object.ProcPath(proc_path), mode) == 0) return 0;
  const int error = errno;
  if (error != EPERM || !OnlyClearsSetIdBits(object, mode)) return -error;
  return ClearSetIdForWriter(object, mode);
}

int Chown(const char* path, uid_t uid, gid_t gid) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
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
  KeepOnlyWhileWritable(handle);
  if (handle) {
    Diagnostic("Mapped file %s to handle %i. ftruncate %i\n", key.c_str(), handle.fd(),
               printed_size);
    return ResultOf(::ftruncate(handle.fd(), size));
  }
  Diagnostic("Map file %s failed. truncate %i\n", key.c_str(), printed_size);
  if (at.error()) return -at.error();
  const PinnedObject object(at.dir(), at.name(), O_PATH);
  if (const int error = object.ErrorForChange()) return -error;
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
  KeepOnlyWhileWritable(handle);
  if (handle) return ResultOf(::futimens(handle.fd(), times));
  if (const int error = at.ErrorForChange()) return -error;
  return ResultOf(::utimensat(at.dir(), at.name(), times, AT_SYMLINK_NOFOLLOW));
}

// Holding the file open for writing is taken as permission enough, for any
// mask: the host is not asked. Otherwise the host answers for the caller.
int Access(const char* path, int mask) {
  const PinnedParent at(path);
  const KeyPath key(path);
  BorrowedWriteHandle handle(key.c_str(), at);
  if (handle) return 0;
  if (at.error()) return -at.error();
  const PinnedObject object(at.dir(), at.name(), O_PATH);
  if (object.error()) return -object.error();
  return ResultOf(CheckAccess(object.fd(), mask));
}

// A FUSE file system that lets only its mounter in answers anyone else with
// its type alone, a name length of 0 included: for its mounter that is the
// refusal that sends the request to their own process.
int Statfs(const char* path, struct statvfs* st) {
  const PinnedObject object(path, O_PATH);
  if (object.error()) return -object.error();
  const int result = ResultOf(::fstatvfs(object.fd(), st));
  if (result == 0 && st->f_namemax == 0 && ActingForFuseMounter(path)) return -EACCES;
  return result;
}

// For a mounter of a FUSE file system without allow_other, in a process of
// their own. Readlink, Mknod, Mkdir, Unlink, Rmdir, Symlink, Link and Chown
// run there as they are (system calls only: what a mounter's process
// runs must take no lock); the others without the registry and without the
// daemon's own steps, which such a file system would refuse the daemon anyway.
namespace for_mounter {
namespace {

// call on the pinned object's /proc/self/fd path, for calls that have no
// form on an O_PATH descriptor.
template <typename Call>
int AtProcPath(const char* path, Call call) {
  const PinnedObject object(path, O_PATH);
  if (object.error()) return -object.error();
  char proc_path[32];
  return ResultOf(call(object.ProcPath(proc_path)));
}

}  // namespace

int Getattr(const char* path, struct stat* st) {
  return InMountersProcess([&] { return ResultOf(PinnedParent(path).Stat(st)); });
}

int Fgetattr(const char*, struct stat* st, fuse_file_info* fi) {
  if (!OnFuse(FdOf(fi))) return -EACCES;
  return InMountersProcess([&] { return ResultOf(::fstat(FdOf(fi), st)); }, {FdOf(fi)});
}

int Readlink(const char* path, char* buf, size_t size) {
  return InMountersProcess([&] { return ops::Readlink(path, buf, size); });
}

int Mknod(const char* path, mode_t mode, dev_t rdev) {
  return InMountersProcess([&] { return ops::Mknod(path, mode, rdev); });
}

int Mkdir(const char* path, mode_t mode) {
  return InMountersProcess([&] { return ops::Mkdir(path, mode); });
}

int Unlink(const char* path) {
  return InMountersProcess([&] { return ops::Unlink(path); });
}

int Rmdir(const char* path) {
  return InMountersProcess([&] { return ops::Rmdir(path); });
}

int Symlink(const char* target, const char* path) {
  return InMountersProcess([&] { return ops::Symlink(target, path); });
}

int Rename(const char* from, const char* to) {
  const int result = InMountersProcess([&] {
    const PinnedParent old_at(from), new_at(to);
    if (const int error = old_at.error() ? old_at.error() : new_at.error()) return -error;
    return ResultOf(::renameat(old_at.dir(), old_at.name(), new_at.dir(), new_at.name()));
  });
  const char* name = std::strrchr(to, '/');
  if (result == 0 && std::string_view(name != nullptr ? name + 1 : to).starts_with(kHiddenNamePrefix)) {
    RecordHider(to);
  }
  return result;
}

int Link(const char* from, const char* to) {
  return InMountersProcess([&] { return ops::Link(from, to); });
}

int Chmod(const char* path, mode_t mode) {
  return InMountersProcess(
      [&] { return AtProcPath(path, [&](const char* at) { return ::chmod(at, mode); }); });
}

int Chown(const char* path, uid_t uid, gid_t gid) {
  return InMountersProcess([&] { return ops::Chown(path, uid, gid); });
}

int Truncate(const char* path, off_t size) {
  return InMountersProcess(
      [&] { return AtProcPath(path, [&](const char* at) { return ::truncate(at, size); }); });
}

int Ftruncate(const char*, off_t size, fuse_file_info* fi) {
  if (!OnFuse(FdOf(fi))) return -EACCES;
  return InMountersProcess([&] { return ResultOf(::ftruncate(FdOf(fi), size)); }, {FdOf(fi)});
}

int Utimens(const char* path, const struct timespec times[2]) {
  return InMountersProcess([&] {
    const PinnedParent at(path);
    if (at.error()) return -at.error();
    return ResultOf(::utimensat(at.dir(), at.name(), times, AT_SYMLINK_NOFOLLOW));
  });
}

int Access(const char* path, int mask) {
  return InMountersProcess([&] {
    const PinnedObject object(path, O_PATH);
    if (object.error()) return -object.error();
    return ResultOf(::faccessat(object.fd(), "", mask, AT_EMPTY_PATH | AT_EACCESS));
  });
}

int Statfs(const char* path, struct statvfs* st) {
  return InMountersProcess([&] {
    const PinnedObject object(path, O_PATH);
    return object.error() ? -object.error() : ResultOf(::fstatvfs(object.fd(), st));
  });
}

}  // namespace for_mounter
}  // namespace callerfs::ops
