// Extended attributes, always of the object itself (a final symbolic link is
// not followed). getxattr reads through the caller's registered write-only
// handle when there is one and reports a missing object as a missing attribute.
#include <sys/xattr.h>

#include "ops/ops.h"
#include "registry/diagnostics.h"
#include "ops/syscall_result.h"
#include "ops/write_handle.h"
#include "registry/open_files_map.h"

namespace callerfs::ops {

int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return ResultOf(::lsetxattr(path, name, value, size, flags));
}

int Getxattr(const char* path, const char* name, char* value, size_t size) {
  int result;
  {
    BorrowedWriteHandle handle(path);
    if (handle) {
      if (DiagnosticsWanted()) {
        Diagnostic("Mapped file %s to handle %i mode %i. fgetxattr %s\n", path, handle.fd(),
                   OpenFilesMap::Instance().GetMode(handle.fd()), name);
      }
      result = CountOf(::fgetxattr(handle.fd(), name, value, size));
    } else {
      Diagnostic("Failed to map file %s to an open handle. lgetxattr %s\n", path, name);
      result = CountOf(::lgetxattr(path, name, value, size));
    }
  }
  if (result == -ENOENT) {
    errno = ENODATA;
    return -ENODATA;
  }
  return result;
}

int Listxattr(const char* path, char* list, size_t size) {
  return CountOf(::llistxattr(path, list, size));
}

int Removexattr(const char* path, const char* name) {
  return ResultOf(::lremovexattr(path, name));
}

}  // namespace callerfs::ops
