#pragma once

#include <string_view>

namespace callerfs {

// Scans the command line for the mount point and for the base directory of
// the `subdir` module and publishes them, resolved, as QD_MOUNTPOINT and
// QD_MOUNTSUBDIR in the daemon's environment. Never fails: what cannot be
// found or resolved is simply not published (see mount_paths.cpp).
//
// This is a reading of its own, not ParseCommandLine's: the two differ on
// lines the daemon serves (an option list glued to its -o, as in "-oro",
// makes the scan take the next argument for options; the scan looks at no
// glued list for modules= or subdir=), and libraries loaded into the daemon
// see what the scan publishes.
void PublishMountPaths(int argc, char** argv);

// Publishes a base directory given otherwise (as SOURCE) as QD_MOUNTSUBDIR,
// resolved when possible, as the scan does for subdir=.
void PublishBaseDirectory(std::string_view given);

}  // namespace callerfs
