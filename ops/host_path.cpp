#include "ops/host_path.h"

#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ops/caller_identity.h"
#include "ops/fd_proc_path.h"

namespace callerfs {
namespace {

HostTree host_tree;

constexpr unsigned long long kResolveBeneathNoLinks =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// Set once openat2 has answered ENOSYS (kernels before 5.6, some seccomp
// filters); resolution then walks one component at a time.
std::atomic<bool> openat2_missing{false};

// The *at forms of the extended-attribute calls (Linux 6.13), by the C
// library's numbers where its headers have them. Otherwise by the numbers of
// the kernel's table shared by the architectures since Linux 5.1 (x86, arm,
// arm64, riscv, powerpc, s390 and the rest); alpha (which adds 110) and mips
// (whose ABIs add 4000, 5000 or 6000) number them otherwise, and there,
// without the headers' numbers, the calls are left out: -1 answers ENOSYS,
// and every call goes through /proc/self/fd.
#if defined(SYS_setxattrat)
constexpr long kSetxattrat = SYS_setxattrat;
constexpr long kGetxattrat = SYS_getxattrat;
constexpr long kListxattrat = SYS_listxattrat;
constexpr long kRemovexattrat = SYS_removexattrat;
#elif defined(__alpha__) || defined(__mips__)
constexpr long kSetxattrat = -1;
constexpr long kGetxattrat = -1;
constexpr long kListxattrat = -1;
constexpr long kRemovexattrat = -1;
#else
constexpr long kSetxattrat = 463;
constexpr long kGetxattrat = 464;
constexpr long kListxattrat = 465;
constexpr long kRemovexattrat = 466;
#endif
struct XattrArgs {
  uint64_t value;  // address of the value
  uint32_t size;
  uint32_t flags;  // setxattrat's XATTR_CREATE or XATTR_REPLACE
};

// Set once those calls have answered ENOSYS; every later call then goes
// through /proc/self/fd.
std::atomic<bool> xattrat_missing{false};

// at_call where the kernel has it; else path_call on the name's /proc path.
template <typename AtCall, typename PathCall>
long XattrCall(const ops::PinnedParent& at, AtCall at_call, PathCall path_call) {
  if (!xattrat_missing.load(std::memory_order_relaxed)) {
    const long result = at_call();
    if (result != -1 || errno != ENOSYS) return result;
    xattrat_missing.store(true, std::memory_order_relaxed);
  }
  char proc_path[PATH_MAX];
  return path_call(at.ProcPath(proc_path));
}

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

// The serving thread's supplementary groups are the caller's (the raw
// getgroups system call reads this thread's).
bool InThreadGroups(gid_t gid) {
  gid_t groups[64];
  const long count = ::syscall(SYS_getgroups, 64, groups);
  if (count < 0) return false;  // more than 64: the group bits are not granted
  return std::find(groups, groups + count, gid) != groups + count;
}

}  // namespace

void SetHostTree(HostTree tree) { host_tree = std::move(tree); }

const HostTree& GetHostTree() { return host_tree; }

void UseBaseInPrivateView(int base_fd) {
  if (host_tree.base_fd != -1) ::close(host_tree.base_fd);
  if (host_tree.covered_fd != -1) ::close(host_tree.covered_fd);
  host_tree.base_fd = base_fd;
  host_tree.covered.clear();
  host_tree.covered_fd = -1;
}

namespace ops {

bool OnKernelInterface(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case 0x62656570:  // configfs
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case BINFMTFS_MAGIC:
    case NSFS_MAGIC:
    case 0x65735543:  // fusectl
    case 0x19800202:  // mqueue: a queue made here would be the daemon's, counted against root's limits
      return true;
    default:
      return false;
  }
}

bool CallerMayListProcDirectory(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return true;
  const fuse_context* caller = fuse_get_context();
  struct stat st;
  if (caller->uid == 0 || ::fstat(fd, &st) != 0) return true;
  mode_t granted = st.st_mode;  // others
  if (st.st_uid == caller->uid) {
    granted >>= 6;
  } else if (st.st_gid == caller->gid || InThreadGroups(st.st_gid)) {
    granted >>= 3;
  }
  return (granted & (S_IROTH | S_IXOTH)) == (S_IROTH | S_IXOTH);
}

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

KeyPath::KeyPath(const char* path) : text_(path) {
  const std::string& prefix = host_tree.key_prefix;
  if (prefix.empty()) return;  // the whole tree: keys are the request paths
  const char* rest = path[0] == '/' ? path + 1 : path;
  const size_t rest_size = std::strlen(rest);
  if (prefix.size() + rest_size < sizeof buffer_) {
    std::memcpy(buffer_, prefix.data(), prefix.size());
    std::memcpy(buffer_ + prefix.size(), rest, rest_size + 1);
    text_ = buffer_;
  } else {
    long_text_.reserve(prefix.size() + rest_size);
    long_text_.append(prefix).append(rest, rest_size);
    text_ = long_text_.c_str();
  }
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

const char* PinnedParent::ProcPath(char (&buffer)[PATH_MAX]) const {
  return FdProcPath(dir_, name_, buffer);
}

ssize_t PinnedParent::GetXattr(const char* attribute, void* value, size_t size) const {
  return XattrCall(
      *this,
      [&] {
        XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
        return ::syscall(kGetxattrat, dir_, name_, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args);
      },
      [&](const char* path) { return ::lgetxattr(path, attribute, value, size); });
}

ssize_t PinnedParent::ListXattr(char* list, size_t size) const {
  return XattrCall(
      *this, [&] { return ::syscall(kListxattrat, dir_, name_, AT_SYMLINK_NOFOLLOW, list, size); },
      [&](const char* path) { return ::llistxattr(path, list, size); });
}

int PinnedParent::SetXattr(const char* attribute, const void* value, size_t size, int flags) const {
  return static_cast<int>(XattrCall(
      *this,
      [&] {
        XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size),
                       static_cast<uint32_t>(flags)};
        return ::syscall(kSetxattrat, dir_, name_, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args);
      },
      [&](const char* path) { return ::lsetxattr(path, attribute, value, size, flags); }));
}

int PinnedParent::RemoveXattr(const char* attribute) const {
  return static_cast<int>(XattrCall(
      *this, [&] { return ::syscall(kRemovexattrat, dir_, name_, AT_SYMLINK_NOFOLLOW, attribute); },
      [&](const char* path) { return ::lremovexattr(path, attribute); }));
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
