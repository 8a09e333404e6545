// Closing host descriptors that lock owners may still hold locks through.
// The registry calls its close function after releasing its lock, on a
// descriptor it has unregistered (so no request can reach it any more); a
// release closes a descriptor the registry never took the same way. The lock
// owners recorded on it are unlocked at the lock server first.
#pragma once

namespace callerfs::ops {

// Unlocks the lock owners recorded on fd, then closes it, giving its
// opener's charge back: the registry's close function.
int CloseHostDescriptor(int fd);

}  // namespace callerfs::ops
