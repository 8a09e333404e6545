// A small FUSE file system for the mount tests: one read-only file, "hello",
// whose content is "hello\n". Run as: tiny_fs MOUNTPOINT [library options].
#include <fuse.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr char kName[] = "/hello";
constexpr char kContent[] = "hello\n";

int Getattr(const char* path, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = sizeof kContent - 1;
  return 0;
}

int Readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*) {
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  fill(buf, ".", nullptr, 0);
  fill(buf, "..", nullptr, 0);
  fill(buf, kName + 1, nullptr, 0);
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  return (fi->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info*) {
  const off_t length = sizeof kContent - 1;
  if (offset >= length) return 0;
  const size_t count = std::min<size_t>(size, static_cast<size_t>(length - offset));
  std::memcpy(buf, kContent + offset, count);
  return static_cast<int>(count);
}

}  // namespace

int main(int argc, char* argv[]) {
  fuse_operations operations{};
  operations.getattr = Getattr;
  operations.readdir = Readdir;
  operations.open = Open;
  operations.read = Read;
  return fuse_main(argc, argv, &operations, nullptr);
}
