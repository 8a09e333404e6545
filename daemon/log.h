// Events an administrator needs to see, in the system log (identity
// "callerfs", facility daemon). In the background the daemon's standard
// output and error are /dev/null, so the log is the only place they show; in
// the foreground each line goes to standard error as well. The registry's
// diagnostic lines on standard output are not events and never come here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
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

// A request failed for a reason that is not the caller's doing: error is
// the positive errno returned (EIO, ENOMEM); what is the text of an
// exception caught instead, or null.
void LogFailedRequest(int error, const char* what) noexcept;

// A user's open was refused at the per-user descriptor cap. At most one line
// per user per minute: a program retrying in a loop must not flood the log.
void LogDescriptorCapReached(uid_t uid, long cap) noexcept;

// Allows one event per key in each period; the first event of a key always
// passes. Thread-safe. Keys not seen for a period are forgotten once many
// have gathered.
class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateLimit(Clock::duration period) : period_(period) {}
  bool Allow(uid_t key, Clock::time_point now);

 private:
  static constexpr size_t kForgetAbove = 4096;
  const Clock::duration period_;
  std::mutex lock_;  // guards last_
  std::unordered_map<uid_t, Clock::time_point> last_;
};

}  // namespace callerfs
