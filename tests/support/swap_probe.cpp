// Preloaded into the daemon by the swap tests: it plays the other user who
// swaps a name between the daemon's system calls. Right after the daemon's
// call on a name with one of these endings, it changes what the name refers
// to, in the same directory:
//   *.swap-dir    after mkdir:   the new directory moves away; the name becomes
//                                a link to "victim-dir"
//   *.swap-link   after symlink: "victim-file" is renamed over the new link
//   *.swap-setid  after a write open: "victim-link" (a link to a set-ID file)
//                                is renamed over the opened name
//   *.swap-create before an exclusive create: the file appears, owned by root
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

bool EndsWith(const char* path, const char* ending) {
  const std::string text(path);
  const std::string end(ending);
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Sibling(const char* path, const char* name) {
  const std::string text(path);
  return text.substr(0, text.rfind('/') + 1) + name;
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);

int SwappingOpen(OpenFunction real, const char* path, int flags, mode_t mode) {
  if (EndsWith(path, ".swap-create") && (flags & O_CREAT) && (flags & O_EXCL)) {
    const int made = real(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (made >= 0) {
      const char text[] = "host";
      if (write(made, text, sizeof text - 1) < 0) perror("swap probe");
      close(made);
    }
  }
  const int fd = real(path, flags, mode);
  const int access = flags & O_ACCMODE;
  if (fd >= 0 && EndsWith(path, ".swap-setid") && (access == O_WRONLY || access == O_RDWR)) {
    rename(Sibling(path, "victim-link").c_str(), path);
  }
  return fd;
}

mode_t ModeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int mkdir(const char* path, mode_t mode) {
  static const auto real = Real<int (*)(const char*, mode_t)>("mkdir");
  const int result = real(path, mode);
  if (result == 0 && EndsWith(path, ".swap-dir")) {
    rename(path, (std::string(path) + ".moved").c_str());
    symlink(Sibling(path, "victim-dir").c_str(), path);
  }
  return result;
}

__attribute__((visibility("default"))) int symlink(const char* target, const char* path) {
  static const auto real = Real<int (*)(const char*, const char*)>("symlink");
  const int result = real(target, path);
  if (result == 0 && EndsWith(path, ".swap-link")) {
    rename(Sibling(path, "victim-file").c_str(), path);
  }
  return result;
}

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  static const auto real = Real<OpenFunction>("open");
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return SwappingOpen(real, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  static const auto real = Real<OpenFunction>("open64");
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return SwappingOpen(real, path, flags, mode);
}

}  // extern "C"
