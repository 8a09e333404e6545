// Paths through /proc/self/fd that name what one of the daemon's descriptors
// refers to, for the calls that take no descriptor (chmod, truncate, a
// re-open with other flags, the l*xattr calls). Every such path is made here.
#pragma once

#include <climits>

namespace callerfs::ops {

// "/proc/self/fd/N" into buffer.
const char* FdProcPath(int fd, char (&buffer)[32]);

// "/proc/self/fd/N/NAME": the entry name in the directory fd, into buffer.
const char* FdProcPath(int fd, const char* name, char (&buffer)[PATH_MAX]);

}  // namespace callerfs::ops
