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

#include "ops/long_wait.h"

namespace callerfs {

// Sent to a thread whose wait the caller interrupted (and to workers when the
// daemon stops); its handler does nothing, so the blocking call ends.
int InterruptSignal();
// Installs the signal's handler (no SA_RESTART). Call before workers start.
bool InstallInterruptHandler();

// Where interrupts go: the threads waiting in a LongWait, by request.
class LockWaits {
 public:
  // The hooks that make a LongWait one of these waits; the request loop
  // installs them before it serves.
  static ops::LongWaitHooks Hooks();
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

// The request the calling worker serves, for the hooks: set by the request
// loop before each request, cleared after it.
void SetServingRequest(uint64_t unique, uid_t uid);
void ClearServingRequest();

}  // namespace callerfs
