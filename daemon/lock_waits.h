// Requests that wait for as long as another process wants: lock waits.
//
// Such a wait holds a worker of the request loop like any blocked request
// (the pool grows around it), but two things are its own:
//   - it ends when the caller is interrupted: the kernel then sends an
//     INTERRUPT naming the request, and the waiting thread gets a signal,
//     which ends its blocking call with EINTR;
//   - there is a bound on how many wait at once, per user and in all, so
//     that lock waits alone never take the pool's threads: past it a
//     waiting lock is refused with ENOLCK.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace callerfs {

// Sent to a thread whose wait the caller interrupted (and to workers when the
// daemon stops); its handler does nothing, so the blocking call ends.
int InterruptSignal();
// Installs the signal's handler (no SA_RESTART). Call before workers start.
bool InstallInterruptHandler();

// Where interrupts go: the threads waiting in a LongWait, by request.
class LockWaits {
 public:
  // Lock waits at once: per user, and in all.
  void SetBounds(int per_user, int total);
  // The kernel interrupted request unique: signal its waiting thread, or
  // remember it for a wait about to begin.
  void Forward(uint64_t unique);
  // Signals again every interrupted wait still going on (a signal that
  // lands just before its thread blocks does not end the call).
  void RepeatInterrupts();
  // From now on no wait begins.
  void Stop();
  // Waits in progress, for the status report.
  int Waiting();

  static LockWaits& Instance();
};

// Marks a wait that may last as long as another process wants on a serving
// thread of the request loop, for the request being served. With may_last
// false, or outside the pool's threads, it does nothing.
class LongWait {
 public:
  explicit LongWait(bool may_last = true);
  LongWait(const LongWait&) = delete;
  LongWait& operator=(const LongWait&) = delete;
  ~LongWait();

  // The kernel interrupted the request before the wait began (or the daemon
  // is stopping): do not start it (answer EINTR).
  bool interrupted() const { return state_ == kInterrupted; }
  // Past the bound of waits: refuse the wait (ENOLCK).
  bool refused() const { return state_ == kRefused; }

 private:
  enum Outcome { kNone, kWaiting, kInterrupted, kRefused };
  Outcome state_ = kNone;
  uid_t uid_ = 0;
};

// The request the calling worker serves, for LongWait: set by the request
// loop before each request, cleared after it.
void SetServingRequest(uint64_t unique, uid_t uid);
void ClearServingRequest();

}  // namespace callerfs
