// Whether the daemon's mount is still there when it stops: an unmount that
// failed must not end in exit status 0.
#pragma once

#include <sys/types.h>

#include <string>

namespace callerfs {

// The device of the top mount at mountpoint (an absolute, resolved path), as
// this process's mount table shows it; 0 when there is none.
dev_t MountDeviceAt(const std::string& mountpoint);

// Whether a mount of device is in this process's mount table.
bool DeviceMounted(dev_t device);

}  // namespace callerfs
