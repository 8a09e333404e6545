#pragma once

#include <sys/stat.h>

namespace callerfs::ops {

// The caller's registered write-only handle for a path, borrowed from the
// registry for this object's lifetime; the destructor gives the reference back.
//
// A registration stays under the path it was opened with, whatever happens to
// that path later. A handle counts only while it and the path still name the
// same file (device and inode); otherwise the reference is given back at once
// and the object holds no handle, so requests fall back to the path.
class BorrowedWriteHandle {
 public:
  // excluded_flags: open flags the registered handle must not carry.
  explicit BorrowedWriteHandle(const char* path, int excluded_flags = 0);
  BorrowedWriteHandle(const BorrowedWriteHandle&) = delete;
  BorrowedWriteHandle& operator=(const BorrowedWriteHandle&) = delete;
  ~BorrowedWriteHandle();

  explicit operator bool() const { return fd_ != -1; }
  int fd() const { return fd_; }
  // fstat of the handle; valid while the object holds one.
  const struct stat& stat() const { return stat_; }
  // Hands the reference over to the caller, who must give it back.
  int Detach();

 private:
  int fd_ = -1;
  struct stat stat_;
};

}  // namespace callerfs::ops
