#include "daemon/log.h"

#include <fuse.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

void LogFailedRequest(int error, const char* what) noexcept {
  const fuse_context* context = fuse_get_context();
  const unsigned uid = context != nullptr ? context->uid : 0;
  const int pid = context != nullptr ? context->pid : 0;
  char reason[256];
  if (what != nullptr) {
    std::snprintf(reason, sizeof reason, "%s (%s)", std::strerror(error), what);
  } else {
    std::snprintf(reason, sizeof reason, "%s", std::strerror(error));
  }
  Event(LOG_ERR, "a request of uid %u (pid %d) failed: %s", uid, pid, reason);
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

bool RateLimit::Allow(uid_t key, Clock::time_point now) {
  std::lock_guard guard(lock_);
  if (last_.size() > kForgetAbove) {
    std::erase_if(last_, [&](const auto& entry) { return now - entry.second >= period_; });
  }
  const auto [entry, first] = last_.try_emplace(key, now);
  if (first) return true;
  if (now - entry->second < period_) return false;
  entry->second = now;
  return true;
}

}  // namespace callerfs
