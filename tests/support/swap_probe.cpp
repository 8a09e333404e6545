// Preloaded into the daemon by the swap tests: it plays the other user who
// swaps a name between the daemon's system calls. Right after the daemon's
// call on a name with one of these endings, it changes what the name refers
// to, in the same directory:
//   *.swap-dir    after mkdirat:   the new directory moves away; the name
//                                  becomes a link to "victim-dir"
//   *.swap-link   after symlinkat: "victim-file" is renamed over the new link
//   *.swap-setid  after a write open (the daemon re-opens the file it pinned
//                 through /proc/self/fd/N): "victim-link" (a link to a set-ID
//                 file) is renamed over the opened name
//   *.swap-create before an exclusive create: the file appears, owned by root
//                 and writable by all
// It also plays a failing disk:
//   *.fail-eio    the daemon's open of the file for its data (through
//                 /proc/self/fd/N) fails with EIO
// The daemon's thread acts as the caller when the probe runs on it; the other
// user is root, so the probe takes root's identity for its swap.
#include <dlfcn.h>
#include <fcntl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "tests/support/as_root.h"

namespace {

bool EndsWith(const std::string& text, const char* ending) {
  const std::string end(ending);
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Sibling(const std::string& path, const char* name) {
  return path.substr(0, path.rfind('/') + 1) + name;
}

// The host path a descriptor refers to, as /proc shows it.
std::string PathOf(int fd) {
  char target[PATH_MAX];
  const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target,
                                  sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenatFunction = int (*)(int, const char*, int, ...);

// The file a /proc/self/fd/N path stands for.
std::string ReopenedPath(const char* path) {
  constexpr char kProcFd[] = "/proc/self/fd/";
  if (std::string(path).rfind(kProcFd, 0) != 0) return "";
  return PathOf(std::atoi(path + sizeof kProcFd - 1));
}

int SwappingOpen(OpenFunction real, const char* path, int flags, mode_t mode) {
  if (EndsWith(ReopenedPath(path), ".fail-eio")) {
    errno = EIO;
    return -1;
  }
  const int fd = real(path, flags, mode);
  const int access = flags & O_ACCMODE;
  if (fd >= 0 && (access == O_WRONLY || access == O_RDWR)) {
    const std::string opened = PathOf(fd);
    if (EndsWith(opened, ".swap-setid")) {
      const AsRoot root;
      rename(Sibling(opened, "victim-link").c_str(), opened.c_str());
    }
  }
  return fd;
}

int SwappingOpenat(OpenatFunction real, int dir, const char* name, int flags, mode_t mode) {
  if (EndsWith(name, ".swap-create") && (flags & O_CREAT) && (flags & O_EXCL)) {
    const AsRoot root;
    const int made = real(dir, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (made >= 0) {
      fchmod(made, 0666);
      const char text[] = "host";
      if (write(made, text, sizeof text - 1) < 0) perror("swap probe");
      close(made);
    }
  }
  return real(dir, name, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int mkdirat(int dir, const char* name, mode_t mode) {
  static const auto real = Real<int (*)(int, const char*, mode_t)>("mkdirat");
  const int result = real(dir, name, mode);
  if (result == 0 && EndsWith(name, ".swap-dir")) {
    const AsRoot root;
    renameat(dir, name, dir, (std::string(name) + ".moved").c_str());
    if (symlinkat((PathOf(dir) + "/victim-dir").c_str(), dir, name) != 0) perror("swap probe");
  }
  return result;
}

__attribute__((visibility("default"))) int symlinkat(const char* target, int dir, const char* name) {
  static const auto real = Real<int (*)(const char*, int, const char*)>("symlinkat");
  const int result = real(target, dir, name);
  if (result == 0 && EndsWith(name, ".swap-link")) {
    const AsRoot root;
    renameat(dir, "victim-file", dir, name);
  }
  return result;
}

#define CALLERFS_SWAP_OPEN(function)                                                     \
  __attribute__((visibility("default"))) int function(const char* path, int flags, ...) { \
    static const auto real = Real<OpenFunction>(#function);                              \
    va_list args;                                                                        \
    va_start(args, flags);                                                               \
    const mode_t mode = ModeArgument(flags, args);                                       \
    va_end(args);                                                                        \
    return SwappingOpen(real, path, flags, mode);                                        \
  }
#define CALLERFS_SWAP_OPENAT(function)                                                            \
  __attribute__((visibility("default"))) int function(int dir, const char* name, int flags, ...) { \
    static const auto real = Real<OpenatFunction>(#function);                                     \
    va_list args;                                                                                 \
    va_start(args, flags);                                                                        \
    const mode_t mode = ModeArgument(flags, args);                                                \
    va_end(args);                                                                                 \
    return SwappingOpenat(real, dir, name, flags, mode);                                          \
  }

// With _FORTIFY_SOURCE a call without a mode argument goes to the checked
// entry points, which take no mode (they refuse O_CREAT without one).
#define CALLERFS_SWAP_OPEN_CHECKED(function, plain)                                \
  __attribute__((visibility("default"))) int function(const char* path, int flags) { \
    static const auto real = Real<OpenFunction>(#plain);                           \
    return SwappingOpen(real, path, flags, 0);                                     \
  }
#define CALLERFS_SWAP_OPENAT_CHECKED(function, plain)                                       \
  __attribute__((visibility("default"))) int function(int dir, const char* name, int flags) { \
    static const auto real = Real<OpenatFunction>(#plain);                                  \
    return SwappingOpenat(real, dir, name, flags, 0);                                       \
  }

CALLERFS_SWAP_OPEN(open)
CALLERFS_SWAP_OPEN(open64)
CALLERFS_SWAP_OPENAT(openat)
CALLERFS_SWAP_OPENAT(openat64)
CALLERFS_SWAP_OPEN_CHECKED(__open_2, open)
CALLERFS_SWAP_OPEN_CHECKED(__open64_2, open64)
CALLERFS_SWAP_OPENAT_CHECKED(__openat_2, openat)
CALLERFS_SWAP_OPENAT_CHECKED(__openat64_2, openat64)

}  // extern "C"
