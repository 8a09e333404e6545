#include "daemon/mount_follower.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <future>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/log.h"
#include "ops/fd_proc_path.h"
#include "ops/host_tree.h"
#include "ops/mounter_process.h"

namespace callerfs {
namespace {

// Not yet in every C library's headers (Linux 5.2).
#ifndef OPEN_TREE_CLONE
constexpr unsigned kOpenTreeClone = 1;
constexpr unsigned kOpenTreeCloexec = O_CLOEXEC;
constexpr unsigned kMoveMountFEmptyPath = 0x4;
#else
constexpr unsigned kOpenTreeClone = OPEN_TREE_CLONE;
constexpr unsigned kOpenTreeCloexec = OPEN_TREE_CLOEXEC;
constexpr unsigned kMoveMountFEmptyPath = MOVE_MOUNT_F_EMPTY_PATH;
#endif

// The calling thread's own view (not the process's first thread's).
MountTable ReadThisThreadsTable() {
  const UniqueFd mounts(::open("/proc/thread-self/mountinfo", O_RDONLY | O_CLOEXEC));
  return mounts ? ReadMountTable(mounts.get()) : MountTable{};
}

// Who may be served from a process of their own, and where
// (mounter_process.h): the mount points as request paths below the base.
void PublishFuseMounters(const MountTable& table) {
  char link[32], base[PATH_MAX];
  const ssize_t length = ::readlink(ops::FdProcPath(GetHostTree().base_fd, link), base, sizeof base - 1);
  if (length <= 0) return;
  const std::string_view base_path(base, static_cast<size_t>(length));
  std::vector<ops::FuseMounter> mounters;
  for (const MountEntry& entry : table) {
    const long uid = entry.FuseOption("user_id"), gid = entry.FuseOption("group_id");
    if (!entry.FuseForMounterOnly() || uid < 0 || gid < 0) continue;
    std::string at;
    if (entry.AtOrBelow(base_path)) {
      at = base_path == "/" ? entry.mountpoint : entry.mountpoint.substr(base_path.size());
    } else if (entry.mountpoint != "/" && (!base_path.starts_with(entry.mountpoint) ||
                                           base_path[entry.mountpoint.size()] != '/')) {
      continue;  // beside the base: never reached through the mirror
    }
    mounters.push_back({static_cast<uid_t>(uid), static_cast<gid_t>(gid), at.empty() ? "/" : at});
  }
  ops::SetFuseMounters(std::move(mounters));
}

}  // namespace

MountFollower::MountFollower(FollowedNamespaces namespaces)
    : namespaces_(std::move(namespaces)), stop_(::eventfd(0, EFD_CLOEXEC)) {
  if (!stop_) {
    LogMountNotFollowed("/", std::strerror(errno));
    return;
  }
  std::promise<void> caught_up;
  std::future<void> done = caught_up.get_future();
  // Signals belong to the threads that serve and stop the daemon.
  sigset_t all, saved;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &saved);
  try {
    thread_ = std::thread([this, &caught_up] {
      // setns into a mount namespace needs file-system attributes of its own.
      const bool may_switch = ::unshare(CLONE_FS) == 0;
      const bool in_copy = may_switch && CatchUp();
      caught_up.set_value();
      if (in_copy) Follow();
      if (!may_switch) LogMountNotFollowed("/", "cannot switch mount namespaces on the follower's thread");
    });
  } catch (const std::system_error& error) {
    LogMountNotFollowed("/", error.what());
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (thread_.joinable()) done.wait();
}

MountFollower::~MountFollower() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  if (::write(stop_.get(), &one, sizeof one) != sizeof one) {
    LogMountNotFollowed("/", "cannot tell the follower to stop");
  }
  thread_.join();
}

void MountFollower::Follow() {
  pollfd watched[2] = {{namespaces_.host_mounts, POLLPRI, 0}, {stop_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) == -1) {
      if (errno == EINTR) continue;
      LogMountNotFollowed("/", std::strerror(errno));
      return;
    }
    if (watched[1].revents != 0) return;
    if ((watched[0].revents & (POLLPRI | POLLERR)) && !CatchUp()) return;
  }
}

bool MountFollower::CatchUp() {
  MountTable now = ReadMountTable(namespaces_.host_mounts);
  if (now.empty()) return true;  // an unreadable table says nothing about the host
  const MountChanges changes = DiffMountTables(namespaces_.known, now);
  for (const MountEntry& gone : changes.gone) Detach(gone);
  for (const MountEntry& came : changes.came) {
    if (!Attach(came)) return false;
  }
  namespaces_.known = std::move(now);
  PublishFuseMounters(namespaces_.known);
  return true;
}

// What the host mounted on the daemon's own mount is never in the copy.
void MountFollower::Detach(const MountEntry& gone) {
  if (gone.id == namespaces_.own_id || gone.AtOrBelow(namespaces_.own_mountpoint)) return;
  const MountTable copy = ReadThisThreadsTable();
  const MountEntry* top = TopmostAt(copy, gone.mountpoint);
  const auto same = [&](const MountEntry* entry) {
    return entry != nullptr && entry->dev == gone.dev && entry->root == gone.root;
  };
  if (!same(top)) {
    const bool anywhere = std::any_of(copy.begin(), copy.end(), [&](const MountEntry& entry) {
      return entry.At(gone.mountpoint) && same(&entry);
    });
    if (anywhere) LogMountNotFollowed(gone.mountpoint, "unmounted on the host beneath another mount");
    return;
  }
  if (::umount2(gone.mountpoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
    LogMountNotFollowed(gone.mountpoint, std::strerror(errno));
  }
}

bool MountFollower::Attach(const MountEntry& came) {
  if (came.id == namespaces_.own_id || came.AtOrBelow(namespaces_.own_mountpoint)) return true;
  if (::setns(namespaces_.host_namespace, CLONE_NEWNS) != 0) {
    LogMountNotFollowed(came.mountpoint, std::strerror(errno));
    return true;
  }
  const UniqueFd tree(static_cast<int>(::syscall(SYS_open_tree, AT_FDCWD, came.mountpoint.c_str(),
                                                      kOpenTreeClone | kOpenTreeCloexec | AT_RECURSIVE)));
  const int clone_error = errno;
  if (::setns(namespaces_.copy_namespace, CLONE_NEWNS) != 0) {
    // Acting on the host's namespace from here on would change the host.
    LogMountNotFollowed(came.mountpoint, "cannot return to the daemon's mount namespace; no longer following");
    return false;
  }
  if (!tree) {
    LogMountNotFollowed(came.mountpoint, std::strerror(clone_error));
  } else if (::syscall(SYS_move_mount, tree.get(), "", AT_FDCWD, came.mountpoint.c_str(),
                       kMoveMountFEmptyPath) != 0) {
    LogMountNotFollowed(came.mountpoint, std::strerror(errno));
  } else {
    DetachOwnMountClones(came.mountpoint);
  }
  return true;
}

// A recursive clone of a tree that holds the daemon's mount (a bind of an
// ancestor of the mount point) brings a copy of it along.
void MountFollower::DetachOwnMountClones(const std::string& below) {
  const MountTable copy = ReadThisThreadsTable();
  for (auto it = copy.rbegin(); it != copy.rend(); ++it) {
    if (it->dev == namespaces_.own_dev && it->AtOrBelow(below) &&
        ::umount2(it->mountpoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
      LogMountNotFollowed(it->mountpoint, "cannot detach the daemon's own mount brought along");
    }
  }
}

}  // namespace callerfs
