#pragma once

#include <fuse.h>

namespace callerfs {

// The operation table handed to the FUSE library: every slot callerfs fills.
extern const fuse_operations kOperations;

}  // namespace callerfs
