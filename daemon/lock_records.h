// The FUSE library's own records of the POSIX locks it granted. The library
// answers F_GETLK and F_OFD_GETLK from them before asking the lock handler,
// and forgets an owner's locks only when an unlock of that owner passes
// through it. The daemon's unlock of the owners left on a descriptor at its
// last close (those of OFD locks, which the kernel never unlocks) does not
// pass through it, so queries would go on reporting locks the host no longer
// holds, and the records (one per lock) would never be freed.
//
// So before the library sees a RELEASE that will close a descriptor with lock
// owners still recorded on it, the request loop hands the library a
// whole-file unlock of each of them on the same node and open file, as if the
// kernel had sent it. The library forgets that owner's records and calls the
// lock handler, which unlocks the owner on the host as the close would have.
// The replies go to a channel that discards them: the kernel never sent these
// requests and never hears of them.
#pragma once

#include <fuse_lowlevel.h>

namespace callerfs {

// Call for every request buffer received, on the thread that serves it,
// before fuse_session_process_buf. Never from inside a handler: the library
// holds the node's path there, and a rename or unlink waiting for it would
// keep the unlock (and so the handler) waiting forever.
// Returns whether the request is a release counted as in flight: then call
// ReleaseServed with it once it has been served.
bool DropLibraryLockRecords(fuse_session* session, const fuse_buf& request);
void ReleaseServed(const fuse_buf& request);

}  // namespace callerfs
