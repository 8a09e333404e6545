// Open files: every descriptor opened here is registered under (caller uid,
// path); a further write-only open by the same user shares the registered
// write-only descriptor when that would mean the same as an open of its own
// (ShareWriteHandle), and the registry's reference count decides when it is
// closed. The data handlers work from fh alone with positional I/O, so opens
// that share a descriptor never disturb one another's file position.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The lock library's header has no C++ linkage guard.
extern "C" {
#include <ulockmgr.h>
}

#include "base/syscall_result.h"
#include "base/unique_fd.h"
#include "ops/caller_identity.h"
#include "ops/descriptor_close.h"
#include "ops/direct_io.h"
#include "ops/file_handle.h"
#include "ops/host_path.h"
#include "ops/host_tree.h"
#include "ops/long_wait.h"
#include "ops/mounter_process.h"
#include "ops/ops.h"
#include "ops/write_handle.h"
#include "registry/descriptor_quota.h"
#include "registry/lock_owners.h"
#include "registry/open_files_map.h"

namespace callerfs::ops {
namespace {

constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;

// Flags of a host descriptor that change what pwrite does on it: with
// O_APPEND every write lands at the end whatever its offset (after what a
// host process appended meanwhile), with O_DIRECT unaligned writes fail, with
// O_SYNC or O_DSYNC each write waits for the disk. Opens that share a
// descriptor must agree on all of them, or writes would mean something else.
constexpr int kFlagsChangingWrites = O_APPEND | O_DIRECT | O_SYNC | O_DSYNC;

// The kernel's marker on the open it makes to run a file (__FMODE_EXEC).
// User space cannot set it: open() masks it and openat2 refuses it.
constexpr int kExecOpen = 040;

bool OpensForWriting(int flags) {
  const int access = flags & kWriteOnlyMask;
  return access == O_WRONLY || access == O_RDWR;
}

// A write-open by anyone but the owner drops the set-ID bits at once (the
// host would drop them only at the first write). Only the owner may change a
// mode, so this step takes the daemon's privilege back. Decided and done on
// the descriptor itself: a path could meanwhile name another file.
void ClearSetIdUnlessOwner(int fd, uid_t caller_uid) {
  struct stat st;
  if (::fstat(fd, &st) == -1) return;
  if (st.st_uid == caller_uid || (st.st_mode & kSetIdBits) == 0) return;
  const AsDaemon daemon;
  ::fchmod(fd, st.st_mode & 07777 & ~kSetIdBits);  // a failure leaves the bits; the open stands
}

constexpr bool IsWholeFileUnlock(const struct flock& lock) {
  return lock.l_type == F_UNLCK && lock.l_whence == SEEK_SET && lock.l_start == 0 &&
         lock.l_len == 0;
}

// What an open that failed answers. The kernel sends an open without O_CREAT
// for a name it still holds in its entry cache, even for an O_CREAT open; when
// the host has removed that name since, ENOENT would reach an O_CREAT caller.
// ESTALE makes the kernel look the name up again and retry: an O_CREAT open
// then creates the file, a plain one gets ENOENT from the new lookup.
int OpenFailure(int error) { return error == ENOENT ? -ESTALE : -error; }

// A further write-only open by the same user shares that user's registered
// write-only descriptor only when its own open would mean the same: the
// flags that change writes agree, and the host would let the caller open the
// file for writing now (another process of the same uid may lack a group,
// or the mode or an ACL changed since). An O_TRUNC open (the kernel sends the
// flag only with atomic_o_trunc) truncates, as its own open would have; when
// that fails the open goes its own way and meets the host's answer there.
bool ShareWriteHandle(const KeyPath& key, const PinnedObject& object, fuse_file_info* fi) {
  BorrowedWriteHandle shared(key.c_str(), object, kFlagsChangingWrites, fi->flags);
  if (!shared || CheckAccess(shared.fd(), W_OK) != 0) return false;
  if ((fi->flags & O_TRUNC) && ::ftruncate(shared.fd(), 0) != 0) return false;
  StoreFd(fi, shared.Detach());  // this open now holds that reference
  return true;
}

// Running a program takes only execute permission (a program of mode 0111
// runs on the host), but the kernel reads the program through this open. The
// host decides execute permission for the caller, on the pinned file; the
// read-only open is the daemon's. Only with default_permissions, though: the
// kernel then finds the program unreadable for its runner and makes the
// process undumpable, as on the host. Without it the kernel asks nobody, and
// the runner could read the program from /proc/PID/mem: the open is then the
// caller's, and only a program the caller may read runs. -1 with errno set.
int OpenToExecute(const PinnedObject& object) {
  if (CheckAccess(object.fd(), X_OK) != 0) return -1;
  if (!GetHostTree().kernel_checks_permissions) return ReopenRegularFile(object, O_RDONLY);
  const AsDaemon daemon;
  return ReopenRegularFile(object, O_RDONLY);
}

// Hands the descriptor to the open, registered under its caller's uid, with
// its opener recorded. A refused registration leaves it unregistered: release
// then closes it directly.
int Register(uid_t caller, const KeyPath& key, UniqueFd& fd, fuse_file_info* fi) {
  RecordOpener(fd.get());  // writeback and release act for this caller
  OpenFilesMap::Instance().AddMapping(caller, key.c_str(), fd.get(), fi->flags, true);
  StoreFd(fi, fd.release());
  return 0;
}

// Creates the last name in its pinned directory, or, without O_EXCL in the
// request, opens the file that appeared there since the kernel's lookup as
// open() would (regular files only), as the caller. made_here tells whether
// this call made the file: an existing one may need its set-ID bits cleared.
UniqueFd CreateOrOpen(const PinnedParent& at, int flags, mode_t mode, bool& made_here) {
  constexpr int kAttempts = 8;  // the name may keep appearing and vanishing
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    UniqueFd fd(::openat(at.dir(), at.name(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         mode));
    if (fd || errno != EEXIST || (flags & O_EXCL)) {
      made_here = static_cast<bool>(fd);
      return fd;
    }
    const PinnedObject existing(at.dir(), at.name(), O_PATH);
    if (existing.error() == ENOENT) continue;
    if (existing.error()) {
      errno = existing.error();
      return UniqueFd(-1);
    }
    made_here = false;
    return UniqueFd(ReopenRegularFile(existing, flags));
  }
  errno = EEXIST;
  return UniqueFd(-1);
}

}  // namespace

int Open(const char* path, fuse_file_info* fi) {
  const KeyPath key(path);
  const PinnedObject object(path, O_PATH);
  if ((fi->flags & kWriteOnlyMask) == O_WRONLY && ShareWriteHandle(key, object, fi)) return 0;
  if (object.error()) return OpenFailure(object.error());
  const uid_t caller = fuse_get_context()->uid;
  DescriptorCharge charge(caller);
  if (!charge) return -EMFILE;
  UniqueFd fd((fi->flags & kExecOpen) ? OpenToExecute(object) : ReopenRegularFile(object, fi->flags));
  if (!fd) return OpenFailure(errno);
  if (!charge.Keep(fd.get())) return -EMFILE;
  if (OpensForWriting(fi->flags)) ClearSetIdUnlessOwner(fd.get(), caller);
  return Register(caller, key, fd, fi);
}

// The file is made as the caller, with the caller's umask (or the parent's
// default ACL): the host gives it the caller's owner and group.
int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  const uid_t caller = fuse_get_context()->uid;
  DescriptorCharge charge(caller);
  if (!charge) return -EMFILE;
  bool made_here = false;
  UniqueFd fd = CreateOrOpen(at, fi->flags, mode & ~UseCallerUmask(), made_here);
  if (!fd) return -errno;
  if (!made_here && OpensForWriting(fi->flags)) {
    ClearSetIdUnlessOwner(fd.get(), caller);  // an existing file, opened as open() would
  }
  if (!charge.Keep(fd.get())) return -EMFILE;
  return Register(caller, KeyPath(path), fd, fi);
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return CountOf(ReadAt(FdOf(fi), buf, size, offset, fi->flags));
}

int Write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return CountOf(WriteAt(FdOf(fi), buf, size, offset, fi->flags, fi->writepage));
}

// Called on every close(2) of the caller's descriptor; the host descriptor
// stays open for other holders. Closing a duplicate reports what closing the
// descriptor would (e.g. delayed write errors on network filesystems).
int Flush(const char*, fuse_file_info* fi) { return ResultOf(::close(::dup(FdOf(fi)))); }

// The registry closes a registered descriptor at its last drop (through its
// close function, CloseHostDescriptor); one it did not take is closed here.
int Release(const char*, fuse_file_info* fi) {
  const int fd = FdOf(fi);
  if (!OpenFilesMap::Instance().RemoveMapping(fd)) CloseHostDescriptor(fd);
  return 0;
}

int Fsync(const char*, int datasync, fuse_file_info* fi) {
  const int fd = FdOf(fi);
  return ResultOf(datasync ? ::fdatasync(fd) : ::fsync(fd));
}

// Each lock owner costs a lock-server process until a whole-file unlock of
// it: it is charged to the caller's descriptor cap (ENOLCK past it) and
// recorded on the descriptor, which unlocks what is left at its last close.
// The lock library starts its server from the first call, so every call runs
// with the daemon's own credentials: nothing it starts may inherit a caller's.
int Lock(const char*, fuse_file_info* fi, int cmd, struct flock* lock) {
  const int fd = FdOf(fi);
  // The library unlocks after every flush (every close(2) of a caller);
  // nothing to do for an owner that never locked.
  if (lock->l_type == F_UNLCK && !LockOwners::Instance().Known(fi->lock_owner)) return 0;
  // F_SETLKW waits until the holder lets go, which may take a request of its
  // own. Past the bound of lock waits it is refused before anything starts.
  const LongWait wait(cmd == F_SETLKW);
  if (wait.interrupted()) return -EINTR;
  if (wait.refused()) return -ENOLCK;
  const bool whole_file_unlock = IsWholeFileUnlock(*lock);
  if (lock->l_type != F_UNLCK &&
      !LockOwners::Instance().Note(fd, fi->lock_owner, fuse_get_context()->uid)) {
    return -ENOLCK;
  }
  int result;
  {
    const AsDaemon daemon;
    result = ulockmgr_op(fd, cmd, lock, &fi->lock_owner, sizeof(fi->lock_owner));
  }
  if (whole_file_unlock) LockOwners::Instance().Forget(fd, fi->lock_owner);
  return result;
}

// Reserving space, punching holes and zeroing ranges act on the open
// descriptor, as on the host; a mode the host's filesystem refuses gives its
// error. (The kernel never sends the modes that move data, collapse and insert.)
int Fallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
  return ResultOf(::fallocate(FdOf(fi), mode, offset, length));
}

// For a mounter of a FUSE file system without allow_other: the file is
// opened (or made) in a process of their own and handed back; the descriptor
// cap and the registry then take it as any other. Reads and writes on it
// need nothing more: the kernel checks its mounter-only rule on opens and
// attribute requests only.
namespace for_mounter {
namespace {

// Charges the caller for the descriptor open_in_process (run in the
// mounter's process: a descriptor, or -errno) hands back, and registers it.
template <typename OpenInProcess>
int OpenInMountersProcess(const char* path, fuse_file_info* fi, OpenInProcess open_in_process) {
  const uid_t caller = fuse_get_context()->uid;
  DescriptorCharge charge(caller);
  if (!charge) return -EMFILE;
  UniqueFd fd(-1);
  if (const int result = InMountersProcess(open_in_process, {}, &fd); result != 0) return result;
  if (!charge.Keep(fd.get())) return -EMFILE;
  return Register(caller, KeyPath(path), fd, fi);
}

}  // namespace

int Open(const char* path, fuse_file_info* fi) {
  const int flags = fi->flags;
  return OpenInMountersProcess(path, fi, [&] {
    const PinnedObject object(path, O_PATH);
    if (object.error()) return OpenFailure(object.error());
    if ((flags & kExecOpen) && CheckAccess(object.fd(), X_OK) != 0) return -errno;
    const int opened = ReopenRegularFile(object, (flags & kExecOpen) ? O_RDONLY : flags);
    return opened == -1 ? OpenFailure(errno) : opened;
  });
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  const int flags = fi->flags;
  const mode_t masked = mode & ~UseCallerUmask();  // the process starts with this thread's umask
  return OpenInMountersProcess(path, fi, [&] {
    const PinnedParent at(path);
    if (at.error()) return -at.error();
    bool made_here = false;
    UniqueFd made = CreateOrOpen(at, flags, masked, made_here);
    return made ? made.release() : -errno;
  });
}

}  // namespace for_mounter
}  // namespace callerfs::ops
