#pragma once

#include <fuse.h>

namespace callerfs {

// The operation table handed to the FUSE library: every slot callerfs fills.
// lock_server: POSIX locks are served through the lock server (the lock
// slot); otherwise the slot stays empty and the kernel keeps them.
const fuse_operations& Operations(bool lock_server);

}  // namespace callerfs
