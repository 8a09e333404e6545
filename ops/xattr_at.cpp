#include "ops/xattr_at.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "ops/fd_proc_path.h"

namespace callerfs::ops {
namespace {

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
long XattrCall(int dir, const char* name, AtCall at_call, PathCall path_call) {
  if (!xattrat_missing.load(std::memory_order_relaxed)) {
    const long result = at_call();
    if (result != -1 || errno != ENOSYS) return result;
    xattrat_missing.store(true, std::memory_order_relaxed);
  }
  char proc_path[PATH_MAX];
  return path_call(FdProcPath(dir, name, proc_path));
}

}  // namespace

ssize_t GetXattrAt(int dir, const char* name, const char* attribute, void* value, size_t size) {
  return XattrCall(
      dir, name,
      [&] {
        XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
        return ::syscall(kGetxattrat, dir, name, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args);
      },
      [&](const char* path) { return ::lgetxattr(path, attribute, value, size); });
}

ssize_t ListXattrAt(int dir, const char* name, char* list, size_t size) {
  return XattrCall(
      dir, name, [&] { return ::syscall(kListxattrat, dir, name, AT_SYMLINK_NOFOLLOW, list, size); },
      [&](const char* path) { return ::llistxattr(path, list, size); });
}

int SetXattrAt(int dir, const char* name, const char* attribute, const void* value, size_t size,
               int flags) {
  return static_cast<int>(XattrCall(
      dir, name,
      [&] {
        XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size),
                       static_cast<uint32_t>(flags)};
        return ::syscall(kSetxattrat, dir, name, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args);
      },
      [&](const char* path) { return ::lsetxattr(path, attribute, value, size, flags); }));
}

int RemoveXattrAt(int dir, const char* name, const char* attribute) {
  return static_cast<int>(XattrCall(
      dir, name, [&] { return ::syscall(kRemovexattrat, dir, name, AT_SYMLINK_NOFOLLOW, attribute); },
      [&](const char* path) { return ::lremovexattr(path, attribute); }));
}

}  // namespace callerfs::ops
