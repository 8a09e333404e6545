#include "ops/mounter_process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "ops/caller_identity.h"
#include "ops/host_tree.h"

namespace callerfs::ops {
namespace {

// The process's stack, taken from the waiting thread's own (the thread does
// nothing while the process runs). Path resolution keeps a few PATH_MAX
// buffers on it.
constexpr size_t kStackSize = 128 * 1024;

struct Mounters {
  std::mutex mutex;  // guards list; no lock is taken after it
  std::vector<FuseMounter> list;
};
Mounters& TheMounters() {
  static auto* mounters = new Mounters;
  return *mounters;
}

// What the process is to do, and its answer, in the memory it shares with
// the waiting thread.
struct Errand {
  int (*work)(void*);
  void* state;
  ActingUser user;
  pid_t daemon;
  std::initializer_list<int> descriptors;
  int socket;  // its end of the socket a descriptor goes back over
  bool hands_back;
  int result;  // stays -EINTR unless the process gets to the end
};

// Copies one of the daemon's descriptors into the process's table under the
// same number.
bool TakeDescriptor(int daemon, int fd) {
  if (fd < 0) return true;
  const int copy = static_cast<int>(::syscall(SYS_pidfd_getfd, daemon, fd, 0));  // close-on-exec
  if (copy < 0) return false;
  if (copy == fd) return true;
  const bool placed = ::dup3(copy, fd, O_CLOEXEC) == fd;
  ::close(copy);
  return placed;
}

// Copies of the descriptors the errand needs, and nothing else of the
// daemon's, in a table of the process's own: a table shared with the daemon
// would keep whatever the mounter killed the process holding. Done while
// the process is still root (taking another process's descriptors needs the
// right to trace it).
bool TakeDescriptors(const Errand& errand) {
  if (::syscall(SYS_close_range, 0U, ~0U, CLOSE_RANGE_UNSHARE) != 0) return false;
  const HostTree& tree = GetHostTree();
  int highest = std::max({errand.socket, tree.base_fd, tree.covered_fd});
  for (const int fd : errand.descriptors) highest = std::max(highest, fd);
  const int opened = static_cast<int>(::syscall(SYS_pidfd_open, errand.daemon, 0));
  if (opened < 0) return false;
  const int daemon = ::fcntl(opened, F_DUPFD_CLOEXEC, highest + 1);  // clear of every number taken
  ::close(opened);
  if (daemon < 0) return false;
  bool taken = TakeDescriptor(daemon, errand.socket) && TakeDescriptor(daemon, tree.base_fd) &&
               TakeDescriptor(daemon, tree.covered_fd);
  for (const int fd : errand.descriptors) taken = taken && TakeDescriptor(daemon, fd);
  ::close(daemon);
  return taken;
}

// Raw system calls: the C library's wrappers would change the ids of every
// thread of the daemon. The memory the process shares with the daemon stays
// undumpable, so its user can neither trace it nor read it: the kernel makes
// it so on the change of ids (unless fs.suid_dumpable is 1, the setting its
// documentation calls insecure), and the process says so once more.
bool BecomeUser(const ActingUser& user) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return ::syscall(SYS_setgroups, user.group_count, user.groups) == 0 &&
         ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) == 0 &&
         ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) == 0 &&
         ::syscall(SYS_prctl, PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 &&
         ::syscall(SYS_capset, &header, none) == 0;
}

// One byte carrying one descriptor (SCM_RIGHTS), as sent and as received.
struct DescriptorMessage {
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};

  DescriptorMessage() {
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }
  DescriptorMessage(const DescriptorMessage&) = delete;
  DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

bool SendDescriptor(int socket, int fd) {
  DescriptorMessage message;
  cmsghdr* rights = CMSG_FIRSTHDR(&message.header);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof fd);
  std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
  return ::sendmsg(socket, &message.header, MSG_NOSIGNAL) == 1;
}

int ReceiveDescriptor(int socket) {
  DescriptorMessage message;
  if (::recvmsg(socket, &message.header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) != 1) return -1;
  const cmsghdr* rights = CMSG_FIRSTHDR(&message.header);
  if (rights == nullptr || rights->cmsg_type != SCM_RIGHTS || rights->cmsg_len != CMSG_LEN(sizeof(int))) {
    return -1;
  }
  int fd;
  std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
  return fd;
}

// The serving thread, and so the process at its start, acts for the user
// with no effective capabilities; the daemon's permitted ones come back for
// the steps up to BecomeUser.
bool RaiseCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3];
  if (::syscall(SYS_capget, &header, sets) != 0) return false;
  for (auto& set : sets) set.effective = set.permitted;
  return ::syscall(SYS_capset, &header, sets) == 0;
}

int RunErrand(void* argument) {
  Errand& errand = *static_cast<Errand*>(argument);
  if (!RaiseCapabilities() || !TakeDescriptors(errand) || !BecomeUser(errand.user)) {
    errand.result = -EPERM;
    return 0;
  }
  int result = errand.work(errand.state);
  if (errand.hands_back && result >= 0) result = SendDescriptor(errand.socket, result) ? 0 : -EIO;
  errand.result = result;
  return 0;
}

}  // namespace

void SetFuseMounters(std::vector<FuseMounter> mounters) {
  std::erase_if(mounters, [](const FuseMounter& mounter) { return mounter.uid == 0; });
  Mounters& known = TheMounters();
  const std::lock_guard lock(known.mutex);
  known.list.swap(mounters);
}

bool ActingForFuseMounter(const char* path) {
  ActingUser user;
  if (!ActingForUser(user)) return false;
  const std::string_view request = path != nullptr ? path : "";
  Mounters& known = TheMounters();
  const std::lock_guard lock(known.mutex);
  return std::any_of(known.list.begin(), known.list.end(), [&](const FuseMounter& mounter) {
    if (mounter.uid != user.uid || mounter.gid != user.gid) return false;
    const std::string_view at = mounter.at;
    return path == nullptr || at == "/" ||
           (request.starts_with(at) && (request.size() == at.size() || request[at.size()] == '/'));
  });
}

bool OnFuse(int fd) {
  constexpr long kFuseMagic = 0x65735546;
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == kFuseMagic;
}

namespace internal {

int RunInMountersProcess(int (*work)(void*), void* state, std::initializer_list<int> descriptors,
                         UniqueFd* handed_back) {
  Errand errand{work, state, {}, ::getpid(), descriptors, -1, handed_back != nullptr, -EINTR};
  if (!ActingForUser(errand.user)) return -EACCES;
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sockets) != 0) return -errno;
  const UniqueFd ours(sockets[0]);
  UniqueFd theirs(sockets[1]);
  errand.socket = theirs.get();
  alignas(64) char stack[kStackSize];
  // The process runs none of the daemon's signal handlers: it starts with
  // every signal blocked, and the mounter may still stop or kill it. This
  // thread waits until it has ended (CLONE_VFORK).
  sigset_t all, saved;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = ::clone(RunErrand, stack + sizeof stack, CLONE_VM | CLONE_FILES | CLONE_VFORK, &errand);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (pid == -1) return -clone_error;
  while (::waitpid(pid, nullptr, __WALL) == -1 && errno == EINTR) {
  }
  theirs.reset(-1);
  if (handed_back != nullptr && errand.result == 0) {
    handed_back->reset(ReceiveDescriptor(ours.get()));
    if (!*handed_back) return -EIO;
  }
  return errand.result;
}

}  // namespace internal
}  // namespace callerfs::ops
