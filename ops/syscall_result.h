// Turning system-call results into handler results. Each helper takes the
// call's return value as its argument, so errno is read right after the call
// and before anything else can overwrite it.
#pragma once

#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace callerfs::ops {

// 0 on success, -errno when the call returned -1.
inline int ResultOf(long result) { return result == -1 ? -errno : 0; }

// The count on success, -errno when the call returned -1.
inline int CountOf(ssize_t result) { return result == -1 ? -errno : static_cast<int>(result); }

// An open file's host descriptor lives in the low 32 bits of fh.
inline int FdOf(const fuse_file_info* fi) { return static_cast<int>(static_cast<uint32_t>(fi->fh)); }

// Stored sign-extended, as open() returned it.
inline void StoreFd(fuse_file_info* fi, int fd) {
  fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd));
}

// Owns one descriptor until released or destroyed.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(-1); }
  // Closes the descriptor held (keeping errno) and takes fd instead.
  void reset(int fd) {
    if (fd_ != -1) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ != -1; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace callerfs::ops
