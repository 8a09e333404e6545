#include "ops/caller_identity.h"

#include <fuse.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/unique_fd.h"

namespace callerfs::ops {
namespace {

// How long a process's supplementary groups, once read from /proc, are
// trusted for its requests on one thread: a process rarely changes them, and
// re-reading costs more than the request itself. One second, like the
// kernel's default attribute and entry caches.
constexpr long kGroupsFreshMs = 1000;
constexpr size_t kGroupsCacheSize = 4;  // processes remembered per thread
constexpr int kMostGroups = 65536;      // the kernel's NGROUPS_MAX
// Distinct group lists kept (see Interned): far more than a host's users
// have; past it a new list is taken as no groups at all, never as more.
constexpr size_t kMostGroupLists = 65536;
// Hidden names whose hider is remembered; the oldest go first past it.
constexpr size_t kMostHiddenNames = 4096;

// Supplementary group lists are interned: each distinct list is stored once
// and never freed, so identities compare and are recorded by pointer.
using GroupList = std::vector<gid_t>;

const GroupList* Interned(const GroupList& groups) {
  static std::mutex mutex;  // guards lists; no lock is taken after it
  static auto* lists = new std::set<GroupList>{GroupList{}};
  const std::lock_guard lock(mutex);
  if (lists->size() >= kMostGroupLists && !lists->contains(groups)) return &*lists->begin();
  return &*lists->insert(groups).first;
}

const GroupList* NoGroups() {
  static const GroupList* none = Interned({});
  return none;
}

// Who a request acts for.
struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  const GroupList* groups = nullptr;
  uint64_t effective = 0;  // capabilities: none but a root caller's own
};

// The saved group id a thread acting for a user other than root takes. A
// FUSE file system mounted without allow_other lets in only processes whose
// real, effective and saved uids and gids are all its mounter's; the thread's
// uids stay root's (a user matching them could signal the daemon), so with
// them alone every root-mounted one would let every user in. A saved gid no
// group has makes the kernel refuse the thread there, as it refuses the user
// on the host. It grants nothing: the thread's file-system gid decides access.
constexpr gid_t kSavedGidOfNoGroup = static_cast<gid_t>(-2);

// The daemon's own credentials, read once before requests are served.
struct DaemonCredentials {
  bool acting = false;  // requests run as their callers
  uid_t uid = 0;
  gid_t gid = 0;
  gid_t saved_gid = 0;
  const GroupList* groups = nullptr;
  __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};  // effective = permitted
};
DaemonCredentials daemon_credentials;

enum class InForce { kDaemon, kCaller, kUnknown };

// What the serving thread's credentials are now. uid, gid and groups name
// the last caller the thread became; AsDaemon leaves them in place so it can
// go back. A new thread is taken as unknown: threads may be started from
// threads that served requests, whose credentials they inherit.
struct ThreadIdentity {
  bool own_fs = false;  // has its own umask (unshare of CLONE_FS)
  InForce in_force = InForce::kUnknown;
  // The effective set is the caller's (empty, or a root caller's own), or
  // unknown: raise before any switch.
  bool effective_empty = true;
  Identity caller;  // the last caller taken
};
thread_local ThreadIdentity identity;

struct CachedGroups {
  pid_t pid = 0;  // 0: empty slot
  uid_t uid = 0;
  gid_t gid = 0;
  long read_at_ms = 0;
  const GroupList* groups = nullptr;
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

// With an empty effective set the thread can change none of its ids, so
// every switch starts by taking the daemon's capabilities back.
bool RaiseCapabilities() {
  if (!identity.effective_empty) return true;
  if (Capset(DaemonCapabilities()) != 0) return false;
  identity.effective_empty = false;
  return true;
}

// glibc's setgroups and setresgid change every thread of the process; the
// system calls change this one. setresgid also resets the file-system gid,
// so it comes first.
bool SetIds(uid_t uid, gid_t gid, const GroupList& groups, gid_t saved_gid) {
  if (::syscall(SYS_setresgid, -1, -1, saved_gid) != 0) return false;
  ::setfsgid(gid);
  if (static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != gid) return false;
  if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return false;
  ::setfsuid(uid);  // reports no failure: read the result back
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid;
}

bool BecomeDaemon() {
  if (identity.in_force == InForce::kDaemon) return true;
  const DaemonCredentials& d = daemon_credentials;
  if (!RaiseCapabilities() || !SetIds(d.uid, d.gid, *d.groups, d.saved_gid)) {
    identity.in_force = InForce::kUnknown;
    return false;
  }
  identity.in_force = InForce::kDaemon;
  return true;
}

// Makes the thread the identity recorded in `identity.caller`.
bool BecomeRecordedCaller() {
  const Identity& caller = identity.caller;
  if (RaiseCapabilities() &&
      SetIds(caller.uid, caller.gid, *caller.groups, caller.uid == 0 ? daemon_credentials.saved_gid : kSavedGidOfNoGroup) &&
      Capset(caller.effective) == 0) {
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
const GroupList* CallerGroups(const fuse_context& caller) {
  const long now = NowMs();
  for (CachedGroups& entry : groups_cache) {
    if (entry.pid == caller.pid && entry.uid == caller.uid && entry.gid == caller.gid &&
        now - entry.read_at_ms < kGroupsFreshMs) {
      return entry.groups;
    }
  }
  thread_local GroupList read;
  // /proc may hide other users' processes from an unprivileged reader.
  RaiseCapabilities();
  if (read.size() < 32) read.resize(32);
  int count = fuse_getgroups(static_cast<int>(read.size()), read.data());
  if (count > static_cast<int>(read.size()) && count <= kMostGroups) {
    read.resize(count);
    count = fuse_getgroups(count, read.data());
  }
  const bool readable = count >= 0 && count <= static_cast<int>(read.size());
  read.resize(readable ? count : 0);
  CachedGroups& entry = groups_cache[groups_cache_next];
  groups_cache_next = (groups_cache_next + 1) % kGroupsCacheSize;
  entry = CachedGroups{caller.pid, caller.uid, caller.gid, now, Interned(read)};
  return entry.groups;
}

bool BecomeIdentity(const Identity& wanted) {
  if (wanted.uid == 0 && wanted.effective == DaemonCapabilities()) return BecomeDaemon();
  if (identity.in_force == InForce::kCaller && identity.caller.uid == wanted.uid &&
      identity.caller.gid == wanted.gid && identity.caller.groups == wanted.groups &&
      identity.caller.effective == wanted.effective) {
    // Already this caller; a group lookup may have raised capabilities.
    if (!identity.effective_empty && Capset(wanted.effective) == 0) identity.effective_empty = true;
    return identity.effective_empty;
  }
  identity.caller = wanted;
  return BecomeRecordedCaller();
}

bool BecomeCaller(const fuse_context& caller, uint64_t effective = 0) {
  return BecomeIdentity({caller.uid, caller.gid, CallerGroups(caller), effective});
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

// The opener of each descriptor, by number. A slot is written when its
// descriptor has just been opened and read only while it is still open, so
// no two threads ever race on one; the atomics make that visible to the
// checkers, which cannot see the kernel hand the number over.
struct OpenerSlot {
  std::atomic<uint64_t> ids{0};                   // uid << 32 | gid
  std::atomic<uint64_t> effective{0};             // a root caller's capabilities
  std::atomic<const GroupList*> groups{nullptr};  // nullptr: none recorded
};
OpenerSlot* openers = nullptr;  // set before requests are served
long openers_size = 0;

bool OpenerOf(int fd, Identity& out) {
  if (fd < 0 || fd >= openers_size) return false;
  const GroupList* groups = openers[fd].groups.load(std::memory_order_acquire);
  if (groups == nullptr) return false;
  const uint64_t ids = openers[fd].ids.load(std::memory_order_relaxed);
  out = {static_cast<uid_t>(ids >> 32), static_cast<gid_t>(ids), groups,
         openers[fd].effective.load(std::memory_order_relaxed)};
  return true;
}

// Who hid each hidden name still present, by request path.
struct Hiders {
  std::mutex mutex;  // guards by_path and order; no lock is taken after it
  std::unordered_map<std::string, Identity> by_path;
  std::vector<std::string> order;  // oldest first
};
Hiders& TheHiders() {
  static auto* hiders = new Hiders;
  return *hiders;
}

bool TakeHider(const char* path, Identity& out) {
  Hiders& h = TheHiders();
  const std::lock_guard lock(h.mutex);
  const auto found = h.by_path.find(path);
  if (found == h.by_path.end()) return false;
  out = found->second;
  h.by_path.erase(found);
  std::erase(h.order, path);
  return true;
}

// A serving thread's umask must not change the other threads': each gets its
// own file-system attributes on its first request.
void EnsureOwnFsAttributes() {
  if (identity.own_fs) return;
  identity.own_fs = ::unshare(CLONE_FS) == 0;
}

}  // namespace

void InitCallerIdentity(long descriptor_limit) {
  DaemonCredentials& d = daemon_credentials;
  d.uid = ::geteuid();
  d.gid = ::getegid();
  gid_t real_gid, effective_gid;
  if (::getresgid(&real_gid, &effective_gid, &d.saved_gid) != 0) d.saved_gid = d.gid;
  d.acting = d.uid == 0;
  d.groups = NoGroups();
  if (!d.acting) return;
  const int count = ::getgroups(0, nullptr);
  GroupList groups(count > 0 ? count : 0);
  if (count > 0 && ::getgroups(count, groups.data()) != count) groups.clear();
  d.groups = Interned(groups);
  // Zero-filled pages cost nothing until descriptors with their numbers exist.
  openers = static_cast<OpenerSlot*>(std::calloc(descriptor_limit, sizeof(OpenerSlot)));
  openers_size = openers != nullptr ? descriptor_limit : 0;
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

bool ActingForUser(ActingUser& out) {
  const Identity& caller = identity.caller;
  if (identity.in_force != InForce::kCaller || caller.uid == 0 || caller.groups == nullptr) return false;
  out = {caller.uid, caller.gid, caller.groups->data(), caller.groups->size()};
  return true;
}

bool RequestHasNoCaller() {
  const fuse_context* context = fuse_get_context();
  return context->uid == 0 && context->gid == 0 && context->pid == 0;
}

void RecordOpener(int fd) {
  if (fd < 0 || fd >= openers_size) return;
  const Identity who = identity.in_force == InForce::kCaller
                           ? identity.caller
                           : Identity{0, 0, NoGroups(), DaemonCapabilities()};
  openers[fd].ids.store(uint64_t{who.uid} << 32 | who.gid, std::memory_order_relaxed);
  openers[fd].effective.store(who.effective, std::memory_order_relaxed);
  openers[fd].groups.store(who.groups, std::memory_order_release);
}

ActAsOpener::ActAsOpener(int fd) : ok_(true) {
  EnsureOwnFsAttributes();
  if (!daemon_credentials.acting) return;
  const int saved = errno;
  Identity opener;
  ok_ = OpenerOf(fd, opener) ? BecomeIdentity(opener) : BecomeDaemon();
  errno = saved;
}

void RecordHider(const char* hidden_path) {
  if (!daemon_credentials.acting || identity.in_force != InForce::kCaller) return;
  Hiders& h = TheHiders();
  try {
    const std::lock_guard lock(h.mutex);
    if (h.order.size() >= kMostHiddenNames) {
      h.by_path.erase(h.order.front());
      h.order.erase(h.order.begin());
    }
    if (h.by_path.insert_or_assign(hidden_path, identity.caller).second) {
      h.order.emplace_back(hidden_path);
    }
  } catch (...) {
    // Without memory the hidden name is unlinked by the daemon, as before.
  }
}

ActAsHider::ActAsHider(const char* path) : ok_(true) {
  EnsureOwnFsAttributes();
  if (!daemon_credentials.acting) return;
  const int saved = errno;
  Identity hider;
  if (path != nullptr && RequestHasNoCaller() && TakeHider(path, hider)) {
    ok_ = BecomeIdentity(hider);
  } else {
    ok_ = ActAsCaller().ok();
  }
  errno = saved;
}

bool RestoreDaemonIdentity() {
  if (!daemon_credentials.acting) return true;
  return BecomeDaemon();
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
