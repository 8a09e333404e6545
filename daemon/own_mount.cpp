#include "daemon/own_mount.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "ops/host_tree.h"

namespace callerfs {
namespace {

int OpenOwn(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }

}  // namespace

OwnMountHidden::OwnMountHidden() {
  // Where the process stands: a relative mount point is resolved from here
  // after the copy is made.
  const UniqueFd cwd(OpenOwn(".", O_PATH | O_DIRECTORY));
  host_namespace_.reset(OpenOwn("/proc/thread-self/ns/mnt", O_RDONLY));
  host_mounts_.reset(OpenOwn("/proc/thread-self/mountinfo", O_RDONLY));
  if (!cwd || !host_namespace_ || !host_mounts_) {
    why_ = "cannot open its mount namespace in /proc";
    return;
  }
  at_copy_ = ReadMountTable(host_mounts_.get());
  const bool made = MakeCopy();
  if (copy_namespace_ && ::setns(host_namespace_.get(), CLONE_NEWNS) != 0) {
    // Mounting from inside the copy would hide the mount from everyone else.
    std::perror("callerfs: cannot return to the host's mount namespace");
    std::_Exit(1);
  }
  if (::fchdir(cwd.get()) != 0) std::perror("callerfs: cannot return to the working directory");
  if (!made) copy_namespace_.reset(-1);
}

bool OwnMountHidden::MakeCopy() {
  // The copy gets the working directory's mount translated; stand in the
  // base to carry it over.
  if (::fchdir(GetHostTree().base_fd) != 0) {
    why_ = "cannot enter the base directory";
    return false;
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    why_ = "cannot make a mount namespace of its own";
    return false;
  }
  copy_namespace_.reset(OpenOwn("/proc/thread-self/ns/mnt", O_RDONLY));
  // Private: nothing reaches the host from here, and nothing propagates in
  // from the host, so the follower's replay is the only way in.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why_ = "cannot make its mount namespace private";
    return false;
  }
  copy_base_.reset(OpenOwn(".", O_RDONLY | O_DIRECTORY));
  if (!copy_namespace_ || !copy_base_) {
    why_ = "cannot open the base directory in its mount namespace";
    return false;
  }
  return true;
}

void OwnMountHidden::Enter(const char* mountpoint) {
  if (!copy_namespace_) return;
  FollowedNamespaces followed;
  followed.own_mountpoint = mountpoint;
  // The daemon's mount: the newest FUSE mount at the mount point that the
  // copy does not have.
  const MountTable now = ReadMountTable(host_mounts_.get());
  for (const MountEntry& entry : now) {
    const bool known = std::any_of(at_copy_.begin(), at_copy_.end(),
                                   [&](const MountEntry& old) { return old.id == entry.id; });
    if (entry.At(mountpoint) && entry.IsFuse() && !known) {
      followed.own_id = entry.id;
      followed.own_dev = entry.dev;
    }
  }
  // Other threads may already run (the status socket's, a sanitizer's), and
  // a thread that shares its file-system attributes cannot change namespaces.
  if (::unshare(CLONE_FS) != 0 || ::setns(copy_namespace_.get(), CLONE_NEWNS) != 0) {
    why_ = "cannot enter its mount namespace";
    return;
  }
  entered_ = true;
  UseBaseInPrivateView(copy_base_.release());
  followed.host_namespace = host_namespace_.get();
  followed.copy_namespace = copy_namespace_.get();
  followed.host_mounts = host_mounts_.get();
  followed.known = std::move(at_copy_);
  follower_ = std::make_unique<MountFollower>(std::move(followed));
}

void OwnMountHidden::Leave() {
  follower_.reset();
  if (entered_ && (::unshare(CLONE_FS) != 0 || ::setns(host_namespace_.get(), CLONE_NEWNS) != 0)) {
    std::perror("callerfs: cannot return to the host's mount namespace to unmount");
  }
  entered_ = false;
}


}  // namespace callerfs
