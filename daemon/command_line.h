// The daemon's command line: what callerfs takes for itself (the base
// directory, given as SOURCE or with the subdir module's options) and the
// argument vector the FUSE library gets for everything else.
#pragma once

#include <fuse.h>

#include <string>

namespace callerfs {

struct CommandLine {
  // Arguments for the FUSE library: "-o" "use_ino" first, then the user's
  // options without those callerfs handles, then the mount point.
  fuse_args library_args = FUSE_ARGS_INIT(0, nullptr);
  // The base directory as given (SOURCE, or subdir= with modules=subdir);
  // empty when none was given and the whole tree is mirrored.
  std::string base;
  bool source_form = false;  // given as the first of two positional arguments
  std::string mountpoint;    // as given; empty when none was given
};

// Parses argv. False with a one-line reason in error when the line cannot
// work; otherwise errors are left to the library, which reports its own.
bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error);

// Opens the base directory (following links: the administrator chose it)
// and, when the mount point lies inside it, the directory the mount will
// cover, and installs them as the host tree. Must run before mounting.
// False with a one-line reason in error when the base cannot be used.
bool OpenHostTree(const CommandLine& line, std::string& error);

}  // namespace callerfs
