// Control entry point provider for the init tests (see init_test.cpp).
//
// Preloaded into the daemon, it defines __kivo_ctl, so the daemon's mount-time
// hook finds it and hands over its caller resolver. It also wraps faccessat(2):
// when the daemon checks access to an object whose last name is
// ".kivo-probe", the wrapper asks the resolver about the current request (it
// runs on the thread serving that request) and writes what it saw to the file
// named by KIVO_PROBE_REPORT, as "key=value" lines:
//   command   the last command received (-1 if none)
//   calls     how many times __kivo_ctl was called
//   resolver0 the resolver's answer for flag 0 ("none" without a resolver)
//   resolver1 the resolver's answer for flag 1 ("none" without a resolver)
//   mountpoint, subdir  QD_MOUNTPOINT and QD_MOUNTSUBDIR ("(unset)" if unset)
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/as_root.h"

namespace {

using Resolver = int (*)(int);
using AccessFunction = int (*)(int, const char*, int, int);

constexpr char kProbeName[] = ".kivo-probe";
constexpr int kRegisterCallerResolver = 0x8000;

std::atomic<int> last_command{-1};
std::atomic<int> control_calls{0};
std::atomic<Resolver> resolver{nullptr};

bool NamesProbe(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* last = slash != nullptr ? slash + 1 : path;
  return std::strcmp(last, kProbeName) == 0;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "(unset)";
}

void WriteReport() {
  const char* report_path = std::getenv("KIVO_PROBE_REPORT");
  if (report_path == nullptr || *report_path == '\0') return;
  const Resolver resolve = resolver.load();
  std::string report;
  report += "command=" + std::to_string(last_command.load()) + "\n";
  report += "calls=" + std::to_string(control_calls.load()) + "\n";
  report += "resolver0=" + (resolve != nullptr ? std::to_string(resolve(0)) : "none") + "\n";
  report += "resolver1=" + (resolve != nullptr ? std::to_string(resolve(1)) : "none") + "\n";
  report += "mountpoint=" + EnvironmentValue("QD_MOUNTPOINT") + "\n";
  report += "subdir=" + EnvironmentValue("QD_MOUNTSUBDIR") + "\n";
  const AsRoot root;  // the daemon's thread acts as the caller
  const int fd = ::open(report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) return;
  size_t done = 0;
  while (done < report.size()) {
    const ssize_t written = ::write(fd, report.data() + done, report.size() - done);
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
  ::close(fd);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int __kivo_ctl(int command, void* argument) {
  last_command.store(command);
  control_calls.fetch_add(1);
  if (command == kRegisterCallerResolver) resolver.store(reinterpret_cast<Resolver>(argument));
  return 0;
}

// The daemon checks access on a descriptor (an empty path): its name is
// what /proc shows for that descriptor.
extern "C" __attribute__((visibility("default"))) int faccessat(int dir, const char* path, int mode,
                                                               int flags) {
  static const AccessFunction real_faccessat =
      reinterpret_cast<AccessFunction>(::dlsym(RTLD_NEXT, "faccessat"));
  char target[PATH_MAX] = "";
  if (path[0] == '\0' && (flags & AT_EMPTY_PATH)) {
    const std::string link = "/proc/self/fd/" + std::to_string(dir);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0) target[length] = '\0';
  }
  if (NamesProbe(path[0] != '\0' ? path : target)) WriteReport();
  if (real_faccessat == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_faccessat(dir, path, mode, flags);
}
