// Waits that last as long as another process wants: a lock wait lasts until
// the holder lets go, which may take a request of its own. A handler marks
// such a wait with a LongWait scope around the blocking call.
//
// What the scope means belongs to the request loop, which installs its hooks
// at start-up (before any request is served, as the registry's close function
// is installed): while the scope lasts, an interrupt of the request from the
// kernel reaches the waiting thread as a signal, which ends the blocking call
// with EINTR; and the loop bounds how many such waits run at once, per user
// and in all, so that waits alone never take its threads. Without hooks (no
// request loop, as in unit tests) a LongWait does nothing.
#pragma once

#include <sys/types.h>

namespace callerfs::ops {

// How the request loop takes a wait that is about to begin.
enum class WaitAdmission {
  kUntracked,    // nothing to track (not a serving thread of the loop): wait
  kWaiting,      // tracked until the scope ends: wait
  kInterrupted,  // the request was interrupted already, or the daemon stops
  kRefused,      // past the bound of waits
};

struct LongWaitHooks {
  // Called as a wait begins, on the thread serving the request; what it
  // stores in uid is handed to end.
  WaitAdmission (*begin)(uid_t& uid) = nullptr;
  // Called as a wait that begin admitted with kWaiting ends, on the same
  // thread.
  void (*end)(uid_t uid) = nullptr;
};

// Installs the request loop's hooks. Call before requests are served.
void InstallLongWaitHooks(const LongWaitHooks& hooks);

// Marks a wait that may last as long as another process wants, for the
// request the calling thread serves. With may_last false it does nothing.
class LongWait {
 public:
  explicit LongWait(bool may_last = true);
  LongWait(const LongWait&) = delete;
  LongWait& operator=(const LongWait&) = delete;
  ~LongWait();

  // The kernel interrupted the request before the wait began (or the daemon
  // is stopping): do not start it (answer EINTR).
  bool interrupted() const { return state_ == WaitAdmission::kInterrupted; }
  // Past the bound of waits: refuse the wait (ENOLCK).
  bool refused() const { return state_ == WaitAdmission::kRefused; }

 private:
  WaitAdmission state_ = WaitAdmission::kUntracked;
  uid_t uid_ = 0;
};

}  // namespace callerfs::ops
