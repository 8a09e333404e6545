// Directory streams. A listing is read from the host once, in sequence, across
// as many requests as the replies need: each entry goes to the filler with the
// stream position that follows it, and entries the filler could not take stay
// in the stream's buffer for the next request. The entries are read with
// getdents64 from the directory's descriptor: a directory of a FUSE file
// system that only its mounter may use can be read, but not stat'ed, from the
// daemon's threads (see mounter_process.h).
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "ops/host_path.h"
#include "ops/kernel_interface.h"
#include "ops/mounter_process.h"
#include "ops/ops.h"
#include "registry/descriptor_quota.h"

namespace callerfs::ops {
namespace {

// Invariant: the host's stream stands just past the buffer's last entry, and
// buffer[next, end) holds the entries not yet accepted, the first of them at
// `offset`. The library serialises readdir calls per open directory, so the
// record needs no lock.
struct DirStream {
  int fd = -1;
  off_t offset = 0;  // position after the last entry the filler accepted
  size_t next = 0;
  size_t end = 0;
  alignas(dirent64) char buffer[32768];
};

// An open directory's descriptor is charged to its opener until closed.
struct DirStreamDeleter {
  void operator()(DirStream* stream) const {
    if (stream->fd != -1) {
      DescriptorQuota& quota = DescriptorQuota::Instance();
      const uid_t owner = quota.Forget(stream->fd);
      ::close(stream->fd);
      quota.Uncharge(owner);
    }
    delete stream;
  }
};
using OwnedDirStream = std::unique_ptr<DirStream, DirStreamDeleter>;

DirStream* StreamOf(const fuse_file_info* fi) { return reinterpret_cast<DirStream*>(fi->fh); }

// Gives fi a stream over the directory opened as `directory`, charged to
// the caller.
int StartStream(UniqueFd directory, DescriptorCharge& charge, fuse_file_info* fi) {
  OwnedDirStream stream(new (std::nothrow) DirStream);
  if (!stream) return -ENOMEM;
  stream->fd = directory.release();
  if (!charge.Keep(stream->fd)) return -EMFILE;
  fi->fh = reinterpret_cast<uint64_t>(stream.release());
  return 0;
}

}  // namespace

int Opendir(const char* path, fuse_file_info* fi) {
  DescriptorCharge charge(fuse_get_context()->uid);
  if (!charge) return -EMFILE;
  // Opened for reading beneath the base without following any link; a
  // directory open cannot block or touch a device.
  PinnedObject directory(path, O_RDONLY | O_DIRECTORY);
  if (directory.error()) return -directory.error();
  if (!CallerMayListProcDirectory(directory.fd())) return -EACCES;
  return StartStream(UniqueFd(directory.release()), charge, fi);
}

int Readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi) {
  DirStream& d = *StreamOf(fi);
  if (offset != d.offset) {
    if (::lseek(d.fd, offset, SEEK_SET) == -1) return -errno;
    d.next = d.end = 0;
    d.offset = offset;
  }
  for (;;) {
    if (d.next == d.end) {
      const long read = ::syscall(SYS_getdents64, d.fd, d.buffer, sizeof d.buffer);
      if (read <= 0) return 0;  // end of directory (or a read error)
      d.next = 0;
      d.end = static_cast<size_t>(read);
    }
    const auto* entry = reinterpret_cast<const dirent64*>(d.buffer + d.next);
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = DTTOIF(entry->d_type);
    if (filler(buf, entry->d_name, &st, entry->d_off) != 0) return 0;  // reply full: keep it
    d.next += entry->d_reclen;
    d.offset = entry->d_off;
  }
}

int Releasedir(const char*, fuse_file_info* fi) {
  const OwnedDirStream closing(StreamOf(fi));
  return 0;
}

namespace for_mounter {

// For a mounter of a FUSE file system without allow_other: the directory is
// opened in a process of their own and handed back; reading it needs
// nothing more.
int Opendir(const char* path, fuse_file_info* fi) {
  DescriptorCharge charge(fuse_get_context()->uid);
  if (!charge) return -EMFILE;
  UniqueFd directory(-1);
  const int result = InMountersProcess(
      [&] {
        PinnedObject opened(path, O_RDONLY | O_DIRECTORY);
        return opened.error() ? -opened.error() : opened.release();
      },
      {}, &directory);
  if (result != 0) return result;
  return StartStream(std::move(directory), charge, fi);
}

}  // namespace for_mounter
}  // namespace callerfs::ops
