// An open file's host descriptor as the FUSE library carries it between the
// requests of one open: in fuse_file_info's fh. Only the handlers and the
// operation table above them read it.
#pragma once

#include <fuse.h>

#include <cstdint>

namespace callerfs::ops {

// An open file's host descriptor lives in the low 32 bits of fh.
inline int FdOf(const fuse_file_info* fi) { return static_cast<int>(static_cast<uint32_t>(fi->fh)); }

// Stored sign-extended, as open() returned it.
inline void StoreFd(fuse_file_info* fi, int fd) {
  fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd));
}

}  // namespace callerfs::ops
