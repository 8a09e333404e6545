// Extended attributes, always of the object itself (a final symbolic link is
// not followed), named by the pinned parent and the last name (the *at calls,
// or /proc/self/fd/DIR/NAME on older kernels: see host_path.h).
// getxattr reads through the caller's registered write-only handle when there
// is one and reports a missing object as a missing attribute. As every host
// call, they run as the caller (the host lists trusted.* names to privileged
// callers only), except the removal of a file's capabilities that a write
// brings about; attributes of kernel interfaces are never set or removed.

#include <fcntl.h>
#include <sys/xattr.h>

#include <cstring>

#include "base/syscall_result.h"
#include "ops/caller_identity.h"
#include "ops/host_path.h"
#include "ops/host_tree.h"
#include "ops/mounter_process.h"
#include "ops/ops.h"
#include "ops/write_handle.h"
#include "registry/diagnostics.h"
#include "registry/open_files_map.h"

namespace callerfs::ops {
namespace {

constexpr char kCapabilityAttribute[] = "security.capability";

// The kernel's client asks, with the caller's credentials, to remove a file's
// capabilities before a write, truncation or fallocate; removing them takes
// CAP_SETFCAP, yet on the host the kernel removes them itself for anyone who
// may write the file. So does the daemon, with its own credentials, once the
// host says the caller may write the pinned file. -EPERM otherwise, the
// host's answer to the caller's removal.
int RemoveCapabilitiesForWriter(const PinnedParent& at) {
  const PinnedObject object(at.dir(), at.name(), O_PATH);
  if (object.error()) return -object.error();
  if (CheckAccess(object.fd(), W_OK) != 0) return -EPERM;
  const AsDaemon daemon;
  char proc_path[32];
  return ResultOf(::removexattr(object.ProcPath(proc_path), kCapabilityAttribute));
}

// A missing object is a missing attribute.
int AttributeResult(int result) {
  if (result != -ENOENT) return result;
  errno = ENODATA;
  return -ENODATA;
}

}  // namespace

int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  return ResultOf(at.SetXattr(name, value, size, flags));
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
      result = at.error() ? -at.error() : CountOf(at.GetXattr(name, value, size));
    }
  }
  return AttributeResult(result);
}

int Listxattr(const char* path, char* list, size_t size) {
  const PinnedParent at(path);
  if (at.error()) return -at.error();
  return CountOf(at.ListXattr(list, size));
}

int Removexattr(const char* path, const char* name) {
  const PinnedParent at(path);
  if (const int error = at.ErrorForChange()) return -error;
  if (at.RemoveXattr(name) == 0) return 0;
  const int error = errno;
  if (error != EPERM || std::strcmp(name, kCapabilityAttribute) != 0) return -error;
  return RemoveCapabilitiesForWriter(at);
}

// For a mounter of a FUSE file system without allow_other, in a process of
// their own (see attributes.cpp); Setxattr and Listxattr run there as they are.
namespace for_mounter {

int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return InMountersProcess([&] { return ops::Setxattr(path, name, value, size, flags); });
}

int Getxattr(const char* path, const char* name, char* value, size_t size) {
  return AttributeResult(InMountersProcess([&] {
    const PinnedParent at(path);
    return at.error() ? -at.error() : CountOf(at.GetXattr(name, value, size));
  }));
}

int Listxattr(const char* path, char* list, size_t size) {
  return InMountersProcess([&] { return ops::Listxattr(path, list, size); });
}

int Removexattr(const char* path, const char* name) {
  return InMountersProcess([&] {
    const PinnedParent at(path);
    return at.error() ? -at.error() : ResultOf(at.RemoveXattr(name));
  });
}

}  // namespace for_mounter
}  // namespace callerfs::ops
