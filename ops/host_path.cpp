#include "ops/host_path.h"

#include <linux/openat2.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "ops/caller_identity.h"
#include "ops/fd_proc_path.h"
#include "ops/host_tree.h"
#include "ops/kernel_interface.h"

namespace callerfs {
namespace {

constexpr unsigned long long kResolveBeneathNoLinks =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// Set once openat2 has answered ENOSYS (kernels before 5.6, some seccomp
// filters); resolution then walks one component at a time.
std::atomic<bool> openat2_missing{false};

// rel as a null-terminated string: in place when the view ends where its
// string does (views here always lie within one), else copied into buffer.
const char* Terminated(std::string_view rel, char (&buffer)[PATH_MAX]) {
  if (rel.data()[rel.size()] == '\0') return rel.data();
  std::memcpy(buffer, rel.data(), rel.size());
  buffer[rel.size()] = '\0';
  return buffer;
}

int Openat2(int dir, const char* rel, int flags) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.resolve = kResolveBeneathNoLinks;
  return static_cast<int>(::syscall(SYS_openat2, dir, rel, &how, sizeof how));
}

// The request path relative to the directory it is resolved from: the base,
// or the directory under the daemon's own mount point when the path lies at
// or below it (entering the mount would call back into this daemon).
struct Start {
  int dir;
  std::string_view rel;  // "" for that directory itself
};

Start StartOf(const char* path) {
  std::string_view rel(path);
  if (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  const HostTree& host_tree = GetHostTree();
  const std::string& covered = host_tree.covered;
  if (!covered.empty() && rel.starts_with(covered) &&
      (rel.size() == covered.size() || rel[covered.size()] == '/')) {
    rel.remove_prefix(std::min(rel.size(), covered.size() + 1));
    return {host_tree.covered_fd, rel};
  }
  return {host_tree.base_fd, rel};
}

// A link met where the walk asked for a directory shows as ENOTDIR (or ELOOP
// with O_NOFOLLOW); report every link as ELOOP, as openat2 does.
int LinkAwareErrno(int dir, const char* name) {
  const int error = errno;
  struct stat st;
  if ((error == ENOTDIR || error == ELOOP) && ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    return ELOOP;
  }
  return error;
}

}  // namespace

namespace ops {

int OpenBeneathByWalk(int dir, std::string_view rel, int flags) {
  if (rel.empty()) rel = ".";
  UniqueFd step(-1);
  int at = dir;
  for (;;) {
    const size_t slash = rel.find('/');
    const std::string_view component = rel.substr(0, slash);
    if (component.size() > NAME_MAX) {
      errno = ENAMETOOLONG;
      return -1;
    }
    if (component == "..") {  // never sent by the kernel; refused as openat2 refuses escapes
      errno = EXDEV;
      return -1;
    }
    char name[NAME_MAX + 1];
    std::memcpy(name, component.data(), component.size());
    name[component.size()] = '\0';
    const bool last = slash == std::string_view::npos;
    const int fd = ::openat(at, name, (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1) {
      errno = LinkAwareErrno(at, name);
      return -1;
    }
    if (last) {
      struct stat st;
      // O_PATH | O_NOFOLLOW opens a final link itself instead of failing.
      if ((flags & O_PATH) && ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        ::close(fd);
        errno = ELOOP;
        return -1;
      }
      return fd;
    }
    step.reset(fd);
    at = fd;
    rel.remove_prefix(slash + 1);
  }
}

int OpenBeneath(int dir, std::string_view rel, int flags) {
  if (openat2_missing.load(std::memory_order_relaxed)) return OpenBeneathByWalk(dir, rel, flags);
  char buffer[PATH_MAX];
  UniqueFd step(-1);
  int at = dir;
  // openat2 takes fewer than PATH_MAX bytes: a longer path is resolved in
  // pieces, each ending at a "/".
  while (rel.size() >= PATH_MAX) {
    const size_t cut = rel.rfind('/', PATH_MAX - 1);
    if (cut == std::string_view::npos || cut == 0) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = Openat2(at, Terminated(rel.substr(0, cut), buffer), O_PATH | O_DIRECTORY);
    if (fd == -1) break;
    step.reset(fd);
    at = fd;
    rel.remove_prefix(cut + 1);
  }
  if (rel.size() < PATH_MAX) {
    const int fd = Openat2(at, rel.empty() ? "." : Terminated(rel, buffer), flags);
    if (fd != -1 || errno != ENOSYS) return fd;
  } else if (errno != ENOSYS) {
    return -1;
  }
  openat2_missing.store(true, std::memory_order_relaxed);
  return OpenBeneathByWalk(at, rel, flags);
}

PinnedParent::PinnedParent(const char* path) {
  const Start start = StartOf(path);
  dir_ = start.dir;
  if (start.rel.empty()) return;  // the directory itself, as "."
  const size_t slash = start.rel.rfind('/');
  if (slash == std::string_view::npos) {
    name_ = start.rel.data();
    return;
  }
  name_ = start.rel.data() + slash + 1;
  owned_.reset(OpenBeneath(start.dir, start.rel.substr(0, slash), O_PATH | O_DIRECTORY));
  if (!owned_) error_ = errno;
  dir_ = owned_.get();
}

int PinnedParent::ErrorForChange() const {
  if (error_ != 0) return error_;
  return OnKernelInterface(dir_) ? EACCES : 0;
}

int PinnedParent::Stat(struct stat* st) const {
  if (error_ != 0) {
    errno = error_;
    return -1;
  }
  return ::fstatat(dir_, name_, st, AT_SYMLINK_NOFOLLOW);
}

gid_t PinnedParent::GroupForNewObject(gid_t caller_gid) const {
  struct stat st;
  if (::fstat(dir_, &st) == 0 && (st.st_mode & S_ISGID)) return static_cast<gid_t>(-1);
  return caller_gid;
}

int PinnedParent::OpenName(int flags) const {
  return ::openat(dir_, name_, flags | O_NOFOLLOW | O_CLOEXEC);
}

PinnedObject::PinnedObject(const char* path, int open_flags) {
  const Start start = StartOf(path);
  fd_.reset(OpenBeneath(start.dir, start.rel, open_flags));
  if (!fd_) error_ = errno;
}

PinnedObject::PinnedObject(int dir, const char* name, int open_flags) {
  fd_.reset(OpenBeneath(dir, name, open_flags));
  if (!fd_) error_ = errno;
}

int PinnedObject::ErrorForChange() const {
  if (!fd_) return error_;
  return OnKernelInterface(fd_.get()) ? EACCES : 0;
}

int PinnedObject::Stat(struct stat* st) const {
  if (!fd_) {
    errno = error_;
    return -1;
  }
  return ::fstat(fd_.get(), st);
}

const char* PinnedObject::ProcPath(char (&buffer)[32]) const { return FdProcPath(fd_.get(), buffer); }

int CheckAccess(int fd, int mask) {
  if (::faccessat(fd, "", mask, AT_EMPTY_PATH | AT_EACCESS) == 0) return 0;
  if ((errno != EINVAL && errno != ENOSYS) || ActingAsCallers()) return -1;
  char proc_path[32];  // kernels before 5.8, where the daemon acts as itself
  return ::access(FdProcPath(fd, proc_path), mask);
}

int ReopenRegularFile(const PinnedObject& object, int flags) {
  struct stat st;
  if (::fstat(object.fd(), &st) == -1) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : ENXIO;
    return -1;
  }
  // Kernel interfaces all live on anonymous devices (major 0); disk file
  // systems are spared the extra call.
  if (::major(st.st_dev) == 0 && OnKernelInterface(object.fd())) {
    errno = EACCES;
    return -1;
  }
  char proc_path[32];
  return ::open(object.ProcPath(proc_path), (flags & ~(O_NOFOLLOW | O_CREAT | O_EXCL)) | O_CLOEXEC);
}

}  // namespace ops
}  // namespace callerfs
