// Positional reads and writes on an open file's host descriptor, also when
// that descriptor bypasses the host's page cache (opened with O_DIRECT).
//
// Such a descriptor needs the memory of every transfer aligned to the host
// device's block size, and the FUSE library's buffers are not (a write's data
// starts right after the request's header). For a caller who asked for
// O_DIRECT the data then goes through a page-aligned buffer of the serving
// thread: it still bypasses the host's page cache, and offsets and sizes reach
// the host unchanged, so an unaligned request gets the host's own answer
// (EINVAL). A caller without O_DIRECT on such a descriptor (one who dropped
// the flag since its open, or the kernel writing a mapped page back) gets
// what a descriptor without it gives.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace callerfs::ops {

// pread(2) and pwrite(2) on fd, with their results and errno. caller_flags
// are the caller's open flags as the request carries them; page_writeback
// marks the kernel writing a mapped page back.
ssize_t ReadAt(int fd, char* buf, size_t size, off_t offset, int caller_flags);
ssize_t WriteAt(int fd, const char* buf, size_t size, off_t offset, int caller_flags,
                bool page_writeback);

}  // namespace callerfs::ops
