// Directory streams. A listing is read from the host once, in sequence, across
// as many requests as the replies need: each entry goes to the filler with the
// stream position that follows it, and an entry the filler could not take
// stays pending (by pointer, not copied) for the next request.
#include <dirent.h>

#include <memory>
#include <new>

#include "ops/host_path.h"
#include "ops/kernel_interface.h"
#include "ops/ops.h"
#include "registry/descriptor_quota.h"

namespace callerfs::ops {
namespace {

// Invariant: with no entry pending, `dir` stands at `offset`; with one
// pending, it stands just past that entry. The library serialises readdir
// calls per open directory, so the record needs no lock.
struct DirStream {
  DIR* dir;
  struct dirent* entry;  // pending entry, points into dir's buffer; or null
  off_t offset;          // position after the last entry the filler accepted
};

// An open directory's descriptor is charged to its opener until closed.
struct DirStreamDeleter {
  void operator()(DirStream* stream) const {
    if (stream->dir != nullptr) {
      DescriptorQuota& quota = DescriptorQuota::Instance();
      const uid_t owner = quota.Forget(::dirfd(stream->dir));
      ::closedir(stream->dir);
      quota.Uncharge(owner);
    }
    delete stream;
  }
};
using OwnedDirStream = std::unique_ptr<DirStream, DirStreamDeleter>;

DirStream* StreamOf(const fuse_file_info* fi) { return reinterpret_cast<DirStream*>(fi->fh); }

}  // namespace

int Opendir(const char* path, fuse_file_info* fi) {
  DescriptorCharge charge(fuse_get_context()->uid);
  if (!charge) return -EMFILE;
  OwnedDirStream stream(new (std::nothrow) DirStream{nullptr, nullptr, 0});
  if (!stream) return -ENOMEM;
  // Opened for reading beneath the base without following any link; a
  // directory open cannot block or touch a device.
  PinnedObject directory(path, O_RDONLY | O_DIRECTORY);
  if (directory.error()) return -directory.error();
  if (!CallerMayListProcDirectory(directory.fd())) return -EACCES;
  stream->dir = ::fdopendir(directory.fd());
  if (stream->dir == nullptr) return -errno;
  directory.release();  // the stream owns it now
  if (!charge.Keep(::dirfd(stream->dir))) return -EMFILE;
  fi->fh = reinterpret_cast<uint64_t>(stream.release());
  return 0;
}

int Readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi) {
  DirStream& d = *StreamOf(fi);
  if (offset != d.offset) {
    ::seekdir(d.dir, offset);
    d.entry = nullptr;
    d.offset = offset;
  }
  for (;;) {
    if (d.entry == nullptr) {
      d.entry = ::readdir(d.dir);
      if (d.entry == nullptr) return 0;  // end of directory (or a read error)
    }
    struct stat st {};
    st.st_ino = d.entry->d_ino;
    st.st_mode = DTTOIF(d.entry->d_type);
    const off_t next = ::telldir(d.dir);
    if (filler(buf, d.entry->d_name, &st, next) != 0) return 0;  // reply full: keep it pending
    d.entry = nullptr;
    d.offset = next;
  }
}

int Releasedir(const char*, fuse_file_info* fi) {
  const OwnedDirStream closing(StreamOf(fi));
  return 0;
}

}  // namespace callerfs::ops
