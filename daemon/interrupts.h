// Interrupt routing: which serving thread waits, in a LongWait
// (ops/long_wait.h), for which request, so that an INTERRUPT from the kernel
// ends that wait. The waiting thread gets a signal, whose handler does
// nothing, so its blocking call ends with EINTR. An interrupt that arrives
// before its request begins to wait is kept in a small ring of early ones,
// and the wait then does not begin. A signal that lands just before its
// thread blocks does not end the call, so the request loop has interrupts
// repeated until their waits end.
//
// The same table bounds how many such waits run at once, per user and in
// all, so that lock waits alone never take the pool's threads: past the bound
// a wait is refused (the lock handler answers ENOLCK). It is one table, under
// one mutex, because a wait is admitted, bounded and made reachable by
// interrupts in one step.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "ops/long_wait.h"

namespace callerfs {

// Sent to a thread whose wait the caller interrupted (and to workers when the
// daemon stops); its handler does nothing, so the blocking call ends.
int InterruptSignal();
// Installs the signal's handler (no SA_RESTART). Call before workers start.
bool InstallInterruptHandler();

// The threads waiting in a LongWait, by request.
class LongWaits {
 public:
  static LongWaits& Instance();

  // The hooks that make each LongWait one of these waits; the request loop
  // installs them before it serves.
  static ops::LongWaitHooks Hooks();
  // Waits at once: per user, and in all.
  void SetBounds(int per_user, int total);
  // An INTERRUPT request as received (its header first, size bytes): signals
  // the thread waiting for the request it names, or remembers that request
  // for a wait about to begin.
  void Route(const void* request, size_t size);
  // Signals again every interrupted wait still going on.
  void RepeatInterrupts();
  // From now on no wait begins.
  void Stop();
  // Waits in progress, for the status report.
  int Waiting();
};

// The request the calling worker serves, for the hooks: set by the request
// loop before each request, cleared after it.
void SetServingRequest(uint64_t unique, uid_t uid);
void ClearServingRequest();

}  // namespace callerfs
