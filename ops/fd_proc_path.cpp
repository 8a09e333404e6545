#include "ops/fd_proc_path.h"

#include <cstdio>

namespace callerfs::ops {
namespace {

constexpr char kFdDirectory[] = "/proc/self/fd/";

}  // namespace

const char* FdProcPath(int fd, char (&buffer)[32]) {
  std::snprintf(buffer, sizeof buffer, "%s%d", kFdDirectory, fd);
  return buffer;
}

const char* FdProcPath(int fd, const char* name, char (&buffer)[PATH_MAX]) {
  std::snprintf(buffer, sizeof buffer, "%s%d/%s", kFdDirectory, fd, name);
  return buffer;
}

}  // namespace callerfs::ops
