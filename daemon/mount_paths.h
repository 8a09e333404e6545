#pragma once

#include <string_view>

namespace callerfs {

// Scans the command line for the mount point and for the base directory of
// the `subdir` module and publishes them, resolved, as QD_MOUNTPOINT and
// QD_MOUNTSUBDIR in the daemon's environment. Never fails: what cannot be
// found or resolved is simply not published (see mount_paths.cpp).
void PublishMountPaths(int argc, char** argv);

// Publishes a base directory given otherwise (as SOURCE) as QD_MOUNTSUBDIR,
// resolved when possible, as the scan does for subdir=.
void PublishBaseDirectory(std::string_view given);

}  // namespace callerfs
