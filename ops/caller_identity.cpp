#include "ops/caller_identity.h"

#include <fcntl.h>
#include <fuse.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "ops/syscall_result.h"

namespace callerfs::ops {
namespace {

// How long a process's supplementary groups, once read from /proc, are
// trusted for its requests on one thread: a process rarely changes them, and
// re-reading costs more than the request itself. One second, like the
// kernel's default attribute and entry caches.
constexpr long kGroupsFreshMs = 1000;
constexpr size_t kGroupsCacheSize = 4;  // processes remembered per thread
constexpr int kMostGroups = 65536;      // the kernel's NGROUPS_MAX

// The daemon's own credentials, read once before requests are served.
struct DaemonCredentials {
  bool acting = false;  // requests run as their callers
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};  // effective = permitted
};
DaemonCredentials daemon_credentials;

enum class InForce { kDaemon, kCaller, kUnknown };

// What the serving thread's credentials are now. uid, gid and groups name
// the last caller the thread became; AsDaemon leaves them in place so it can
// go back. A new thread is taken as unknown: the library starts its workers
// from serving threads, whose credentials they inherit.
struct ThreadIdentity {
  bool own_fs = false;  // has its own umask (unshare of CLONE_FS)
  InForce in_force = InForce::kUnknown;
  // The effective set is the caller's (empty, or a root caller's own), or
  // unknown: raise before any switch.
  bool effective_empty = true;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  uint64_t effective = 0;  // the caller's effective capabilities: none but a root caller's
};
thread_local ThreadIdentity identity;

struct CachedGroups {
  pid_t pid = 0;  // 0: empty slot
  uid_t uid = 0;
  gid_t gid = 0;
  long read_at_ms = 0;
  std::vector<gid_t> groups;
};
thread_local std::array<CachedGroups, kGroupsCacheSize> groups_cache;
thread_local size_t groups_cache_next = 0;

// A root process's effective capabilities, kept as its groups are.
struct CachedCapabilities {
  pid_t pid = 0;  // 0: empty slot
  long read_at_ms = 0;
  uint64_t effective = 0;
};
thread_local std::array<CachedCapabilities, kGroupsCacheSize> capabilities_cache;
thread_local size_t capabilities_cache_next = 0;

long NowMs() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

uint64_t DaemonCapabilities() {
  const auto* caps = daemon_credentials.caps;
  return caps[0].permitted | static_cast<uint64_t>(caps[1].permitted) << 32;
}

// The daemon's permitted set, with effective as the effective set.
int Capset(uint64_t effective) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // 0: this thread
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
    data[i] = daemon_credentials.caps[i];
    data[i].effective = static_cast<uint32_t>(effective >> (32 * i)) & data[i].permitted;
  }
  return static_cast<int>(::syscall(SYS_capset, &header, data));
}

// With the caller's effective set the thread can change none of its ids, so
// every switch starts by taking the daemon's capabilities back.
bool RaiseCapabilities() {
  if (!identity.effective_empty) return true;
  if (Capset(DaemonCapabilities()) != 0) return false;
  identity.effective_empty = false;
  return true;
}

// glibc's setgroups changes every thread of the process; the system call
// changes this one.
bool SetIds(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  ::setfsgid(gid);
  if (static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != gid) return false;
  if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return false;
  ::setfsuid(uid);  // reports no failure: read the result back
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid;
}

bool BecomeDaemon() {
  if (identity.in_force == InForce::kDaemon) return true;
  const DaemonCredentials& d = daemon_credentials;
  if (!RaiseCapabilities() || !SetIds(d.uid, d.gid, d.groups)) {
    identity.in_force = InForce::kUnknown;
    return false;
  }
  identity.in_force = InForce::kDaemon;
  return true;
}

// Makes the thread the identity recorded in `identity` (uid, gid, groups,
// effective capabilities).
bool BecomeRecordedCaller() {
  if (RaiseCapabilities() && SetIds(identity.uid, identity.gid, identity.groups) &&
      Capset(identity.effective) == 0) {
    identity.effective_empty = true;
    identity.in_force = InForce::kCaller;
    return true;
  }
  // Never leave a half-made caller with the daemon's capabilities.
  if (Capset(0) == 0) identity.effective_empty = true;
  identity.in_force = InForce::kUnknown;
  return false;
}

// The caller's supplementary groups, as its process has them (read from
// /proc by the library), or none when they cannot be read: never groups the
// process does not have.
const std::vector<gid_t>& CallerGroups(const fuse_context& caller) {
  const long now = NowMs();
  for (CachedGroups& entry : groups_cache) {
    if (entry.pid == caller.pid && entry.uid == caller.uid && entry.gid == caller.gid &&
        now - entry.read_at_ms < kGroupsFreshMs) {
      return entry.groups;
    }
  }
  CachedGroups& entry = groups_cache[groups_cache_next];
  groups_cache_next = (groups_cache_next + 1) % kGroupsCacheSize;
  entry = CachedGroups{caller.pid, caller.uid, caller.gid, now, std::move(entry.groups)};
  // /proc may hide other users' processes from an unprivileged reader.
  RaiseCapabilities();
  if (entry.groups.size() < 32) entry.groups.resize(32);
  int count = fuse_getgroups(static_cast<int>(entry.groups.size()), entry.groups.data());
  if (count > static_cast<int>(entry.groups.size()) && count <= kMostGroups) {
    entry.groups.resize(count);
    count = fuse_getgroups(count, entry.groups.data());
  }
  entry.groups.resize(count < 0 || count > static_cast<int>(entry.groups.size()) ? 0 : count);
  return entry.groups;
}

bool BecomeCaller(const fuse_context& caller, uint64_t effective = 0) {
  const std::vector<gid_t>& groups = CallerGroups(caller);
  if (identity.in_force == InForce::kCaller && identity.uid == caller.uid &&
      identity.gid == caller.gid && identity.groups == groups && identity.effective == effective) {
    // Already this caller; the group lookup may have raised capabilities.
    if (!identity.effective_empty && Capset(effective) == 0) identity.effective_empty = true;
    return identity.effective_empty;
  }
  identity.uid = caller.uid;
  identity.gid = caller.gid;
  identity.groups = groups;
  identity.effective = effective;
  return BecomeRecordedCaller();
}

// The effective capabilities of process pid, from the CapEff line of its
// /proc status, or none when they cannot be read: never capabilities the
// process does not have.
uint64_t ReadEffectiveCapabilities(pid_t pid) {
  constexpr std::string_view kKey = "\nCapEff:\t";
  constexpr size_t kDigits = 16;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  RaiseCapabilities();  // /proc may hide other users' processes from an unprivileged reader
  const UniqueFd status(::open(path, O_RDONLY | O_CLOEXEC));
  if (!status) return 0;
  char buffer[4096];
  size_t held = 0;
  for (;;) {
    const ssize_t got = ::read(status.get(), buffer + held, sizeof buffer - held);
    if (got <= 0) return 0;
    held += static_cast<size_t>(got);
    const std::string_view text(buffer, held);
    const size_t at = text.find(kKey);
    const size_t digits = at + kKey.size();
    if (at != std::string_view::npos && digits + kDigits <= held) {
      uint64_t effective = 0;
      std::from_chars(buffer + digits, buffer + digits + kDigits, effective, 16);
      return effective;
    }
    // Keep what may be the start of the line (a long Groups line comes first).
    const size_t keep = at != std::string_view::npos ? held - at : std::min(held, kKey.size());
    std::memmove(buffer, buffer + held - keep, keep);
    held = keep;
  }
}

uint64_t CallerCapabilities(pid_t pid) {
  const long now = NowMs();
  for (const CachedCapabilities& entry : capabilities_cache) {
    if (entry.pid == pid && now - entry.read_at_ms < kGroupsFreshMs) return entry.effective;
  }
  CachedCapabilities& entry = capabilities_cache[capabilities_cache_next];
  capabilities_cache_next = (capabilities_cache_next + 1) % kGroupsCacheSize;
  entry = CachedCapabilities{pid, now, ReadEffectiveCapabilities(pid)};
  return entry.effective;
}

// A root caller with every capability the daemon has acts with the daemon's
// credentials. One with fewer (a reduced bounding set, root in a container)
// acts as uid 0 with its own groups and the capabilities it has, so the host
// refuses it what it would refuse it natively. Requests the kernel makes on
// its own (no process) keep the daemon's.
bool BecomeRootCaller(const fuse_context& caller) {
  if (caller.pid == 0) return BecomeDaemon();
  const uint64_t effective = CallerCapabilities(caller.pid) & DaemonCapabilities();
  if (effective == DaemonCapabilities()) return BecomeDaemon();
  return BecomeCaller(caller, effective);
}

// A serving thread's umask must not change the other threads': each gets its
// own file-system attributes on its first request.
void EnsureOwnFsAttributes() {
  if (identity.own_fs) return;
  identity.own_fs = ::unshare(CLONE_FS) == 0;
}

}  // namespace

void InitCallerIdentity() {
  DaemonCredentials& d = daemon_credentials;
  d.uid = ::geteuid();
  d.gid = ::getegid();
  d.acting = d.uid == 0;
  if (!d.acting) return;
  const int count = ::getgroups(0, nullptr);
  d.groups.resize(count > 0 ? count : 0);
  if (count > 0 && ::getgroups(count, d.groups.data()) != count) d.groups.clear();
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  if (::syscall(SYS_capget, &header, d.caps) != 0) {
    d.acting = false;  // without the capability sets no switch could be undone
    return;
  }
  for (auto& set : d.caps) set.effective = set.permitted;
}

bool ActingAsCallers() { return daemon_credentials.acting; }

ActAsCaller::ActAsCaller() : ok_(true) {
  EnsureOwnFsAttributes();
  if (!daemon_credentials.acting) return;
  const int saved = errno;
  const fuse_context* caller = fuse_get_context();
  ok_ = caller->uid == 0 ? BecomeRootCaller(*caller) : BecomeCaller(*caller);
  errno = saved;
}

AsDaemon::AsDaemon() : restore_(false) {
  if (!daemon_credentials.acting || identity.in_force == InForce::kDaemon) return;
  const int saved = errno;
  restore_ = identity.in_force == InForce::kCaller;
  BecomeDaemon();
  errno = saved;
}

AsDaemon::~AsDaemon() {
  if (!restore_) return;
  const int saved = errno;
  BecomeRecordedCaller();
  errno = saved;
}

mode_t UseCallerUmask() {
  const mode_t mask = fuse_get_context()->umask & 0777;
  if (!identity.own_fs) return mask;
  ::umask(mask);
  return 0;
}

}  // namespace callerfs::ops
