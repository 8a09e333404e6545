// Extended attributes, always of the object itself (a final symbolic link is
// not followed). There are no *at forms of these calls and the f* forms do not
// take O_PATH descriptors, so they name the object as /proc/self/fd/DIR/NAME:
// the pinned parent, then the last name, which the l* calls do not follow.
// getxattr reads through the caller's registered write-only handle when there
// is one and reports a missing object as a missing attribute. listxattr shows
// callers other than root what the host would show them.
#include <linux/limits.h>
#include <sys/xattr.h>

#include <cstring>
#include <string_view>

#include "ops/host_path.h"
#include "ops/ops.h"
#include "ops/syscall_result.h"
#include "ops/write_handle.h"
#include "registry/diagnostics.h"
#include "registry/open_files_map.h"

namespace callerfs::ops {
namespace {

// Names the kernel lists only to privileged callers; the daemon lists as root.
constexpr std::string_view kTrustedPrefix = "trusted.";

// Drops the trusted.* names from a list of NUL-terminated names, in place;
// returns the length of what is left.
size_t DropTrustedNames(char* names, size_t length) {
  size_t kept = 0;
  for (size_t at = 0; at < length;) {
    const size_t size = ::strnlen(names + at, length - at) + 1;
    if (!std::string_view(names + at, size).starts_with(kTrustedPrefix)) {
      std::memmove(names + kept, names + at, size);
      kept += size;
    }
    at += size;
  }
  return kept;
}

}  // namespace

int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  char proc_path[PATH_MAX];
  return ResultOf(::lsetxattr(at.ProcPath(proc_path), name, value, size, flags));
}

int Getxattr(const char* path, const char* name, char* value, size_t size) {
  int result;
  {
    const PinnedParent at(path);
    const KeyPath key(path);
    BorrowedWriteHandle handle(key.c_str(), at);
    if (handle) {
      if (DiagnosticsWanted()) {
        Diagnostic("Mapped file %s to handle %i mode %i. fgetxattr %s\n", key.c_str(), handle.fd(),
                   OpenFilesMap::Instance().GetMode(handle.fd()), name);
      }
      result = CountOf(::fgetxattr(handle.fd(), name, value, size));
    } else {
      Diagnostic("Failed to map file %s to an open handle. lgetxattr %s\n", key.c_str(), name);
      char proc_path[PATH_MAX];
      result = at.error() ? -at.error() : CountOf(::lgetxattr(at.ProcPath(proc_path), name, value, size));
    }
  }
  if (result == -ENOENT) {
    errno = ENODATA;
    return -ENODATA;
  }
  return result;
}

int Listxattr(const char* path, char* list, size_t size) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  char proc_path[PATH_MAX];
  if (fuse_get_context()->uid == 0) return CountOf(::llistxattr(at.ProcPath(proc_path), list, size));
  // The whole list (the kernel never returns more than XATTR_LIST_MAX), so
  // both the size query and a buffer sized by it see the filtered length.
  char names[XATTR_LIST_MAX];
  const ssize_t length = ::llistxattr(at.ProcPath(proc_path), names, sizeof names);
  if (length == -1) return -errno;
  const size_t kept = DropTrustedNames(names, static_cast<size_t>(length));
  if (size == 0) return static_cast<int>(kept);
  if (kept > size) return -ERANGE;
  std::memcpy(list, names, kept);
  return static_cast<int>(kept);
}

int Removexattr(const char* path, const char* name) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  char proc_path[PATH_MAX];
  return ResultOf(::lremovexattr(at.ProcPath(proc_path), name));
}

}  // namespace callerfs::ops
