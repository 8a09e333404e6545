// Descriptor ownership: UniqueFd closes the descriptor it holds when it goes,
// so no path out of a function can leak one.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace callerfs {

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

// Also reachable as ops::UniqueFd, its name while only the handlers used it.
namespace ops {
using callerfs::UniqueFd;
}  // namespace ops

}  // namespace callerfs
