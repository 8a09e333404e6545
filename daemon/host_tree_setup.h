// The host side's set-up from the command line, before mounting: the mount
// point's checks, the base directory installed as the host tree, and paths
// as the daemon shows them.
#pragma once

#include <string>

#include "daemon/command_line.h"

namespace callerfs {

// False with a one-line reason when the mount point is not a directory, is
// already a mount point and nonempty was not given, or is a dead mount left
// by a daemon that ended without unmounting (the line gives the command
// that clears it). Must run before mounting.
bool CheckMountPoint(const CommandLine& line, std::string& error);

// Opens the base directory (following links: the administrator chose it)
// and, when the mount point lies inside it, the directory the mount will
// cover, and installs them as the host tree. Must run before mounting.
// False with a one-line reason in error when the base cannot be used.
bool OpenHostTree(const CommandLine& line, std::string& error);

// path as df, findmnt and the system log show it: a relative path is made
// absolute from the working directory at start-up (the move to the
// background changes it), an absolute one is kept exactly as written, and
// an empty one (the whole tree) is "/".
std::string AbsolutePath(const std::string& path);

}  // namespace callerfs
