// Whether the daemon's mount is still there when it stops: an unmount that
// failed must not end in exit status 0.
#pragma once

#include <string>

namespace callerfs {

// The device ("major:minor") of the top mount at mountpoint (an absolute,
// resolved path), as this process's mount table shows it; empty when none.
std::string MountDeviceAt(const std::string& mountpoint);

// Whether a mount of device is in this process's mount table.
bool DeviceMounted(const std::string& device);

}  // namespace callerfs
