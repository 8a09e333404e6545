#include "ops/direct_io.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/unique_fd.h"
#include "ops/fd_proc_path.h"

namespace callerfs::ops {
namespace {

// A page: at least the memory alignment any block device asks of O_DIRECT.
constexpr size_t kAlignment = 4096;

bool Bounces(const void* buf, int caller_flags) {
  return (caller_flags & O_DIRECT) != 0 && reinterpret_cast<uintptr_t>(buf) % kAlignment != 0;
}

struct FreeDeleter {
  void operator()(char* data) const { std::free(data); }
};

// The serving thread's aligned buffer, at least size bytes; it grows to the
// largest request the thread has bounced and is freed when the thread ends.
// nullptr (errno ENOMEM) when it cannot grow.
char* ThreadBuffer(size_t size) {
  thread_local std::unique_ptr<char, FreeDeleter> buffer;
  thread_local size_t capacity = 0;
  if (capacity < size) {
    const size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    buffer.reset(static_cast<char*>(std::aligned_alloc(kAlignment, rounded)));
    capacity = buffer ? rounded : 0;
    if (!buffer) errno = ENOMEM;
  }
  return buffer.get();
}

// pread(2) with preadv2's flags (RWF_NOWAIT: -1 with EAGAIN where the
// read would have to wait), through the thread's aligned buffer when buf is
// not aligned for O_DIRECT.
ssize_t DirectRead(int fd, char* buf, size_t size, off_t offset, int rw_flags) {
  char* target = buf;
  if (Bounces(buf, O_DIRECT)) {
    target = ThreadBuffer(size);
    if (target == nullptr) return -1;
  }
  struct iovec iov = {target, size};
  const ssize_t count = ::preadv2(fd, &iov, 1, offset, rw_flags);
  if (count > 0 && target != buf) std::memcpy(buf, target, static_cast<size_t>(count));
  return count;
}

ssize_t BouncedWrite(int fd, const char* buf, size_t size, off_t offset) {
  char* aligned = ThreadBuffer(size);
  if (aligned == nullptr) return -1;
  std::memcpy(aligned, buf, size);
  return ::pwrite(fd, aligned, size, offset);
}

// A descriptor of the same file without O_DIRECT, for one call, when fd has
// it. Otherwise none, with errno set to error.
UniqueFd WithoutDirect(int fd, int error) {
  const int flags = ::fcntl(fd, F_GETFL);
  UniqueFd buffered(-1);
  if (flags != -1 && (flags & O_DIRECT) != 0) {
    char path[32];
    // Without O_NOFOLLOW too (a file made by create has it): the /proc entry
    // is a link to be followed, to exactly this file.
    buffered.reset(::open(FdProcPath(fd, path), (flags & ~(O_DIRECT | O_NOFOLLOW)) | O_CLOEXEC));
  }
  errno = error;
  return buffered;
}

// A read for a caller who opened with O_DIRECT. A direct read on the host
// takes the file's inode lock, and the caller may hold it: a write(2) into
// the same host file from a mapping of this file holds it while the fault
// on its source buffer becomes this read. So the direct read does not wait
// (RWF_NOWAIT); where it would, the data comes through the page cache,
// which takes no inode lock and holds what the host's file holds. Where
// the host's file system cannot read without waiting, it reads as before.
ssize_t DirectReadAt(int fd, char* buf, size_t size, off_t offset) {
  const ssize_t count = DirectRead(fd, buf, size, offset, RWF_NOWAIT);
  if (count != -1) return count;
  if (errno == EOPNOTSUPP) return DirectRead(fd, buf, size, offset, 0);
  if (errno != EAGAIN) return -1;  // an unaligned request: the host's EINVAL
  const UniqueFd buffered = WithoutDirect(fd, EAGAIN);
  // No O_DIRECT on the host descriptor (the caller set it since): it was a
  // cache miss, and a buffered read may wait.
  return ::pread(buffered ? buffered.get() : fd, buf, size, offset);
}

}  // namespace

ssize_t ReadAt(int fd, char* buf, size_t size, off_t offset, int caller_flags) {
  if ((caller_flags & O_DIRECT) != 0) return DirectReadAt(fd, buf, size, offset);
  const ssize_t count = ::pread(fd, buf, size, offset);
  if (count != -1 || errno != EINVAL) return count;
  const UniqueFd buffered = WithoutDirect(fd, EINVAL);
  return buffered ? ::pread(buffered.get(), buf, size, offset) : -1;
}

ssize_t WriteAt(int fd, const char* buf, size_t size, off_t offset, int caller_flags,
                bool page_writeback) {
  if (page_writeback && (caller_flags & O_DIRECT) != 0) {
    // Pages of a mapping go back whole, also past the end of the file: the
    // host would refuse such sizes on a direct descriptor, so they go
    // through the page cache, as the host writes its own mapped pages.
    const UniqueFd buffered = WithoutDirect(fd, EINVAL);
    return ::pwrite(buffered ? buffered.get() : fd, buf, size, offset);
  }
  if (Bounces(buf, caller_flags)) return BouncedWrite(fd, buf, size, offset);
  const ssize_t count = ::pwrite(fd, buf, size, offset);
  if (count != -1 || errno != EINVAL || (caller_flags & O_DIRECT) != 0) return count;
  const UniqueFd buffered = WithoutDirect(fd, EINVAL);
  return buffered ? ::pwrite(buffered.get(), buf, size, offset) : -1;
}

}  // namespace callerfs::ops
