// The extended-attribute calls on a name in a directory, not following a link
// there: the *at system calls where the kernel has them (Linux 6.13), which
// spare a walk through /proc, else the l* calls on /proc/self/fd/DIR/NAME. As
// the l* calls: a count or 0, or -1 with errno set.
#pragma once

#include <sys/types.h>

namespace callerfs::ops {

ssize_t GetXattrAt(int dir, const char* name, const char* attribute, void* value, size_t size);
ssize_t ListXattrAt(int dir, const char* name, char* list, size_t size);
int SetXattrAt(int dir, const char* name, const char* attribute, const void* value, size_t size,
               int flags);
int RemoveXattrAt(int dir, const char* name, const char* attribute);

}  // namespace callerfs::ops
