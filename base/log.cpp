#include "base/log.h"

#include <fuse.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace callerfs {
namespace {

std::atomic<bool> to_standard_error{false};

// syslog(3) and, in the foreground, the same text on standard error.
[[gnu::format(printf, 2, 3)]] void Event(int priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ::syslog(priority, "%s", text);
  if (to_standard_error.load(std::memory_order_relaxed)) std::fprintf(stderr, "callerfs: %s\n", text);
}

}  // namespace

void OpenSystemLog(bool foreground) {
  to_standard_error = foreground;
  // No LOG_NDELAY: the log socket is connected at the first event, so a log
  // daemon started later is still reached.
  ::openlog("callerfs", LOG_PID, LOG_DAEMON);
}

void LogStartup(const StartupFacts& facts) {
  Event(LOG_INFO, "starting to mirror %s at %s (%s, POSIX locks kept by %s, at most %ld open files per user)",
        facts.source.c_str(), facts.mountpoint.c_str(),
        facts.single_thread ? "one thread" : "thread pool",
        facts.lock_server ? "the lock server on the host files" : "the kernel for this mount only",
        facts.per_user_cap);
}

void LogShutdown(const std::string& mountpoint, int status) {
  Event(status == 0 ? LOG_INFO : LOG_ERR, "stopped serving %s (exit status %d)", mountpoint.c_str(),
        status);
}

void LogOwnMountVisible(const char* why) {
  Event(LOG_WARNING, "%s: paths below the mount point are served from the directory it covers", why);
}

void LogMountNotFollowed(const std::string& path, const char* why) noexcept {
  Event(LOG_WARNING, "cannot follow the host's mount table at %s (%s): the mirror shows there what it showed before",
        path.c_str(), why);
}

void LogLockServerMissing(const std::string& reason) {
  // Said on standard error whatever the mode: start-up output still reaches
  // the terminal that started the daemon.
  std::fprintf(stderr,
               "callerfs: no lock server (%s): POSIX locks are kept by the kernel, "
               "seen within this mount only\n",
               reason.c_str());
  ::syslog(LOG_WARNING, "no lock server (%s): POSIX locks are kept by the kernel, seen within this mount only",
           reason.c_str());
}

namespace {

// What failed requests are counted by: whose, which slot, which error.
struct FailureKey {
  uid_t uid;
  std::string_view operation;
  int error;
  bool operator==(const FailureKey&) const = default;
};
struct FailureKeyHash {
  size_t operator()(const FailureKey& key) const noexcept {
    return std::hash<std::string_view>()(key.operation) ^ (size_t{key.uid} << 16) ^
           static_cast<size_t>(key.error);
  }
};

}  // namespace

void LogFailedRequest(const char* operation, const char* path, int error, const char* what) noexcept {
  static KeyedRateLimit<FailureKey, FailureKeyHash> per_kind(std::chrono::minutes(1));
  const fuse_context* context = fuse_get_context();
  const unsigned uid = context != nullptr ? context->uid : 0;
  const int pid = context != nullptr ? context->pid : 0;
  std::optional<unsigned long> held_back;
  try {
    held_back = per_kind.Admit({uid, operation, error}, RateLimit::Clock::now());
  } catch (...) {
    return;  // no memory or mutex for the bookkeeping: skip the line
  }
  if (!held_back) return;
  char reason[256];
  std::snprintf(reason, sizeof reason, "%s%s%s%s", std::strerror(error), what != nullptr ? " (" : "",
                what != nullptr ? what : "", what != nullptr ? ")" : "");
  char more[96] = "";
  if (*held_back > 0) {
    std::snprintf(more, sizeof more, "; %lu more like it since the last such line not logged", *held_back);
  }
  // A name may hold any byte but "/" and NUL: control bytes must not break the line.
  char shown[512] = "";
  if (path != nullptr) {
    std::snprintf(shown, sizeof shown, " %s", path);
    for (char& c : shown) c = (c > 0 && c < ' ') || c == '\x7f' ? '?' : c;
  }
  Event(LOG_ERR, "%s%s by uid %u (pid %d) failed: %s%s", operation, shown, uid, pid, reason, more);
}

void LogDescriptorCapReached(uid_t uid, long cap) noexcept {
  static RateLimit per_user(std::chrono::minutes(1));
  try {
    if (!per_user.Allow(uid, RateLimit::Clock::now())) return;
  } catch (...) {
    return;  // no memory or mutex for the bookkeeping: skip the line
  }
  Event(LOG_WARNING, "uid %u reached its cap of %ld open files; further opens fail with EMFILE",
        static_cast<unsigned>(uid), cap);
}

namespace {

// Whether an event of this key may be logged now (at most once a minute).
bool OncePerMinute(RateLimit& limit, uid_t key) noexcept {
  try {
    return limit.Allow(key, RateLimit::Clock::now());
  } catch (...) {
    return false;  // no memory or mutex for the bookkeeping: skip the line
  }
}

}  // namespace

void LogRequestsPastShare(uid_t uid, int share, int error) noexcept {
  static RateLimit per_user(std::chrono::minutes(1));
  if (!OncePerMinute(per_user, uid)) return;
  Event(LOG_WARNING,
        "uid %u has %d requests in flight and a full queue; further requests get %s until one ends",
        static_cast<unsigned>(uid), share, std::strerror(error));
}

void LogPoolAtBound(int max_threads) noexcept {
  static RateLimit once(std::chrono::minutes(1));
  if (!OncePerMinute(once, 0)) return;
  Event(LOG_WARNING,
        "all %d serving threads are held in requests (max_threads); new requests wait for one to end",
        max_threads);
}

void LogWorkerNotStarted(int error) noexcept {
  static RateLimit once(std::chrono::minutes(1));
  if (!OncePerMinute(once, 0)) return;
  Event(LOG_ERR, "cannot start another serving thread (%s); requests are served by the others",
        std::strerror(error));
}

void LogStatusUnavailable(const std::string& path, const std::string& why) {
  Event(LOG_WARNING, "no status socket at %s (%s): callerfs status cannot ask this daemon",
        path.c_str(), why.c_str());
}

void LogUnmountFailed(const std::string& mountpoint) {
  Event(LOG_ERR, "could not unmount %s: it is still mounted (fusermount -u %s clears it)",
        mountpoint.c_str(), mountpoint.c_str());
}


}  // namespace callerfs
