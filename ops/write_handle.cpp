#include "ops/write_handle.h"

#include <fcntl.h>

#include "registry/open_files_map.h"

namespace callerfs::ops {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

BorrowedWriteHandle::BorrowedWriteHandle(const char* path, int excluded_flags) {
  OpenFilesMap& registry = OpenFilesMap::Instance();
  const int fd = registry.GetMappingWithMode(path, kWriteOnlyMask | excluded_flags, O_WRONLY);
  if (fd == -1) return;
  struct stat at_path;
  if (::fstat(fd, &stat_) == 0 && ::lstat(path, &at_path) == 0 && SameFile(stat_, at_path)) {
    fd_ = fd;
    return;
  }
  registry.RemoveMapping(fd);  // stale: the path names another file, or none
}

BorrowedWriteHandle::~BorrowedWriteHandle() {
  if (fd_ == -1) return;
  try {
    OpenFilesMap::Instance().RemoveMapping(fd_);
  } catch (...) {
    // Only a failure to take the registry's mutex lands here; a destructor
    // must not throw, and the reference cannot be given back without it.
  }
}

int BorrowedWriteHandle::Detach() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

}  // namespace callerfs::ops
