#include "ops/direct_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ops/syscall_result.h"

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

ssize_t BouncedRead(int fd, char* buf, size_t size, off_t offset) {
  char* aligned = ThreadBuffer(size);
  if (aligned == nullptr) return -1;
  const ssize_t count = ::pread(fd, aligned, size, offset);
  if (count > 0) std::memcpy(buf, aligned, static_cast<size_t>(count));
  return count;
}

ssize_t BouncedWrite(int fd, const char* buf, size_t size, off_t offset) {
  char* aligned = ThreadBuffer(size);
  if (aligned == nullptr) return -1;
  std::memcpy(aligned, buf, size);
  return ::pwrite(fd, aligned, size, offset);
}

// After the host refused a call without O_DIRECT from the caller (result -1,
// errno EINVAL): a descriptor of the same file without O_DIRECT, for that
// call, when fd has it. Otherwise none, with errno EINVAL again.
UniqueFd WithoutDirect(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  UniqueFd buffered(-1);
  if (flags != -1 && (flags & O_DIRECT) != 0) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    buffered.reset(::open(path, (flags & ~O_DIRECT) | O_CLOEXEC));
  }
  errno = EINVAL;
  return buffered;
}

}  // namespace

ssize_t ReadAt(int fd, char* buf, size_t size, off_t offset, int caller_flags) {
  if (Bounces(buf, caller_flags)) return BouncedRead(fd, buf, size, offset);
  const ssize_t count = ::pread(fd, buf, size, offset);
  if (count != -1 || errno != EINVAL || (caller_flags & O_DIRECT) != 0) return count;
  const UniqueFd buffered = WithoutDirect(fd);
  return buffered ? ::pread(buffered.get(), buf, size, offset) : -1;
}

ssize_t WriteAt(int fd, const char* buf, size_t size, off_t offset, int caller_flags) {
  if (Bounces(buf, caller_flags)) return BouncedWrite(fd, buf, size, offset);
  const ssize_t count = ::pwrite(fd, buf, size, offset);
  if (count != -1 || errno != EINVAL || (caller_flags & O_DIRECT) != 0) return count;
  const UniqueFd buffered = WithoutDirect(fd);
  return buffered ? ::pwrite(buffered.get(), buf, size, offset) : -1;
}

}  // namespace callerfs::ops
