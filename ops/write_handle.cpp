#include "ops/write_handle.h"

#include <fcntl.h>
#include <fuse.h>

#include "registry/open_files_map.h"

namespace callerfs::ops {

bool BorrowedWriteHandle::Borrow(const char* key_path, int must_agree, int open_flags) {
  fd_ = OpenFilesMap::Instance().GetMappingWithMode(fuse_get_context()->uid, key_path,
                                                    kWriteOnlyMask | must_agree,
                                                    O_WRONLY | (open_flags & must_agree));
  if (fd_ == -1) return false;
  if (::fstat(fd_, &stat_) == 0) return true;
  GiveBack();
  return false;
}

void BorrowedWriteHandle::GiveBack() noexcept {
  if (fd_ == -1) return;
  const int saved = errno;
  try {
    OpenFilesMap::Instance().RemoveMapping(fd_);
  } catch (...) {
    // Only a failure to take the registry's mutex lands here; a destructor
    // must not throw, and the reference cannot be given back without it.
  }
  errno = saved;
  fd_ = -1;
}

int BorrowedWriteHandle::Detach() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

}  // namespace callerfs::ops
