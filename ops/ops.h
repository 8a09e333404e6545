// The filesystem's request handlers, one per slot of the operation table and
// named after it. Each returns 0 (or a count) on success and -errno on failure.
#pragma once

#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace callerfs::ops {

// attributes.cpp: attributes and the namespace.
int Getattr(const char* path, struct stat* st);
int Fgetattr(const char* path, struct stat* st, fuse_file_info* fi);
int Readlink(const char* path, char* buf, size_t size);
int Mknod(const char* path, mode_t mode, dev_t rdev);
int Mkdir(const char* path, mode_t mode);
int Unlink(const char* path);
int Rmdir(const char* path);
int Symlink(const char* target, const char* path);
int Rename(const char* from, const char* to);
int Link(const char* from, const char* to);
int Chmod(const char* path, mode_t mode);
int Chown(const char* path, uid_t uid, gid_t gid);
int Truncate(const char* path, off_t size);
int Ftruncate(const char* path, off_t size, fuse_file_info* fi);
int Utimens(const char* path, const struct timespec times[2]);
int Access(const char* path, int mask);
int Statfs(const char* path, struct statvfs* st);

// files.cpp: open files and their data.
int Open(const char* path, fuse_file_info* fi);
int Create(const char* path, mode_t mode, fuse_file_info* fi);
int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi);
int Write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi);
int Flush(const char* path, fuse_file_info* fi);
int Release(const char* path, fuse_file_info* fi);
int Fsync(const char* path, int datasync, fuse_file_info* fi);
int Lock(const char* path, fuse_file_info* fi, int cmd, struct flock* lock);
int Fallocate(const char* path, int mode, off_t offset, off_t length, fuse_file_info* fi);

// directories.cpp: directory streams.
int Opendir(const char* path, fuse_file_info* fi);
int Readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi);
int Releasedir(const char* path, fuse_file_info* fi);

// xattrs.cpp: extended attributes.
int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags);
int Getxattr(const char* path, const char* name, char* value, size_t size);
int Listxattr(const char* path, char* list, size_t size);
int Removexattr(const char* path, const char* name);

// The same requests for a user who mounted a FUSE file system without
// allow_other, served again from a process of their own (mounter_process.h)
// after the serving thread was refused with EACCES. Each is defined beside
// its handler.
namespace for_mounter {
int Getattr(const char* path, struct stat* st);
int Fgetattr(const char* path, struct stat* st, fuse_file_info* fi);
int Readlink(const char* path, char* buf, size_t size);
int Mknod(const char* path, mode_t mode, dev_t rdev);
int Mkdir(const char* path, mode_t mode);
int Unlink(const char* path);
int Rmdir(const char* path);
int Symlink(const char* target, const char* path);
int Rename(const char* from, const char* to);
int Link(const char* from, const char* to);
int Chmod(const char* path, mode_t mode);
int Chown(const char* path, uid_t uid, gid_t gid);
int Truncate(const char* path, off_t size);
int Ftruncate(const char* path, off_t size, fuse_file_info* fi);
int Utimens(const char* path, const struct timespec times[2]);
int Access(const char* path, int mask);
int Statfs(const char* path, struct statvfs* st);
int Open(const char* path, fuse_file_info* fi);
int Create(const char* path, mode_t mode, fuse_file_info* fi);
int Opendir(const char* path, fuse_file_info* fi);
int Setxattr(const char* path, const char* name, const char* value, size_t size, int flags);
int Getxattr(const char* path, const char* name, char* value, size_t size);
int Listxattr(const char* path, char* list, size_t size);
int Removexattr(const char* path, const char* name);
}  // namespace for_mounter

}  // namespace callerfs::ops
