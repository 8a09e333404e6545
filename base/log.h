// Events an administrator needs to see, in the system log (identity
// "callerfs", facility daemon). In the background the daemon's standard
// output and error are /dev/null, so the log is the only place they show; in
// the foreground each line goes to standard error as well. The registry's
// diagnostic lines on standard output are not events and never come here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace callerfs {

// Call once, before the first event. Lines go to standard error too when
// foreground is set.
void OpenSystemLog(bool foreground);

struct StartupFacts {
  std::string source;      // the base directory as the mount shows it
  std::string mountpoint;  // as given
  bool single_thread = false;
  bool lock_server = false;
  long per_user_cap = 0;
};
void LogStartup(const StartupFacts& facts);
void LogShutdown(const std::string& mountpoint, int status);
// The daemon could not hide its own mount from itself (why says what failed).
void LogOwnMountVisible(const char* why);

// A change of the host's mount table at path could not be replayed into the
// daemon's mount namespace (why says what failed): the mirror shows there
// what it showed before the change.
void LogMountNotFollowed(const std::string& path, const char* why) noexcept;

// The lock server is missing (reason says why): the line always goes to
// standard error, which at start-up is still the terminal, and to the log.
void LogLockServerMissing(const std::string& reason);

// A request failed for a reason that is not the caller's doing: operation
// is the slot's name ("open"), path the request's path or null, error the
// positive errno returned (EIO, ENOMEM), what the text of an exception caught
// instead, or null. At most one line a minute per (uid, operation, error):
// a program retrying in a loop must not flood the log; the line that passes
// counts those left out since the last one.
void LogFailedRequest(const char* operation, const char* path, int error, const char* what) noexcept;

// A user's open was refused at the per-user descriptor cap. At most one line
// per user per minute: a program retrying in a loop must not flood the log.
void LogDescriptorCapReached(uid_t uid, long cap) noexcept;

// The request loop: a user past their share of the pool with a full queue
// (their request was answered error), the pool at its bound with every
// worker held, a worker thread that could not start (error: its errno).
// Each at most once a minute (per user for the first).
void LogRequestsPastShare(uid_t uid, int share, int error) noexcept;
void LogPoolAtBound(int max_threads) noexcept;
void LogWorkerNotStarted(int error) noexcept;

// The status socket could not be set up (why says why); the daemon serves
// without it.
void LogStatusUnavailable(const std::string& path, const std::string& why);

// The mount was still there after the daemon tried to unmount it.
void LogUnmountFailed(const std::string& mountpoint);

// Allows one event per key in each period, and counts those it holds back;
// the first event of a key always passes. Thread-safe. Keys not seen for a
// period are forgotten once many have gathered.
template <typename Key, typename Hash = std::hash<Key>>
class KeyedRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  explicit KeyedRateLimit(Clock::duration period) : period_(period) {}

  // When the event may be logged, how many of its key were held back since
  // the last one that was; nothing when it is held back itself.
  std::optional<unsigned long> Admit(const Key& key, Clock::time_point now) {
    std::lock_guard guard(lock_);
    if (last_.size() > kForgetAbove) {
      std::erase_if(last_, [&](const auto& entry) { return now - entry.second.admitted >= period_; });
    }
    const auto [entry, first] = last_.try_emplace(key, Seen{now, 0});
    if (first) return 0;
    Seen& seen = entry->second;
    if (now - seen.admitted < period_) {
      ++seen.held_back;
      return std::nullopt;
    }
    const unsigned long held_back = seen.held_back;
    seen = {now, 0};
    return held_back;
  }
  bool Allow(const Key& key, Clock::time_point now) { return Admit(key, now).has_value(); }

 private:
  struct Seen {
    Clock::time_point admitted;
    unsigned long held_back;
  };
  static constexpr size_t kForgetAbove = 4096;
  const Clock::duration period_;
  std::mutex lock_;  // guards last_; no lock is taken after it
  std::unordered_map<Key, Seen, Hash> last_;
};
using RateLimit = KeyedRateLimit<uid_t>;

}  // namespace callerfs
