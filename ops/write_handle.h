#pragma once

#include <sys/stat.h>

namespace callerfs::ops {

// The caller's registered write-only handle for a path (the caller of the
// request being served: the registry is asked under its uid), borrowed from
// the registry for this object's lifetime; the destructor gives the reference
// back.
//
// A registration stays under the path it was opened with, whatever happens to
// that path later. A handle counts only while it and what the path names now
// (pinned: a PinnedParent or PinnedObject of the same request path) are the
// same file (device and inode); otherwise the reference is given back at once
// and the object holds no handle, so requests fall back to the path.
class BorrowedWriteHandle {
 public:
  // key_path: the registry's form of the path (KeyPath). The registered
  // handle counts only when its open flags agree with open_flags on every
  // bit of must_agree.
  template <typename Pinned>
  BorrowedWriteHandle(const char* key_path, const Pinned& pinned, int must_agree = 0,
                      int open_flags = 0) {
    if (!Borrow(key_path, must_agree, open_flags)) return;
    struct stat named;
    if (pinned.Stat(&named) != 0 || !SameFile(named)) GiveBack();
  }
  BorrowedWriteHandle(const BorrowedWriteHandle&) = delete;
  BorrowedWriteHandle& operator=(const BorrowedWriteHandle&) = delete;
  ~BorrowedWriteHandle() { GiveBack(); }

  explicit operator bool() const { return fd_ != -1; }
  int fd() const { return fd_; }
  // fstat of the handle; valid while the object holds one.
  const struct stat& stat() const { return stat_; }
  // Hands the reference over to the caller, who must give it back.
  int Detach();
  // Gives the reference back now; the object then holds no handle.
  void GiveBack() noexcept;

 private:
  // Looks the handle up and stats it; false when there is none.
  bool Borrow(const char* key_path, int must_agree, int open_flags);
  bool SameFile(const struct stat& named) const {
    return named.st_dev == stat_.st_dev && named.st_ino == stat_.st_ino;
  }

  int fd_ = -1;
  struct stat stat_;
};

}  // namespace callerfs::ops
