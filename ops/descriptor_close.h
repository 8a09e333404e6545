// Closing host descriptors that lock owners may still hold locks through.
// The registry closes a descriptor at its last drop with its lock held, and
// unlocking an owner means a round trip to the lock server, which must not
// happen under that lock. So the registry's close function leaves such a
// descriptor open (it is unregistered already, so no request can reach it)
// and the thread that dropped the reference unlocks and closes it once its
// request is done (the operation table's wrapper calls FinishDeferredClose).
#pragma once

namespace callerfs::ops {

// The registry's close function: closes fd (giving its opener's charge back),
// or, when lock owners are recorded on it, leaves it to FinishDeferredClose.
int CloseRegistered(int fd);

// Call after every request: unlocks and closes what the registry left to this
// thread, if anything.
void FinishDeferredClose();

}  // namespace callerfs::ops
