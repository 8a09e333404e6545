// Turning system-call results into handler results. Each helper takes the
// call's return value as its argument, so errno is read right after the call
// and before anything else can overwrite it.
#pragma once

#include <sys/types.h>

#include <cerrno>

namespace callerfs {

// 0 on success, -errno when the call returned -1.
inline int ResultOf(long result) { return result == -1 ? -errno : 0; }

// The count on success, -errno when the call returned -1.
inline int CountOf(ssize_t result) { return result == -1 ? -errno : static_cast<int>(result); }

}  // namespace callerfs
