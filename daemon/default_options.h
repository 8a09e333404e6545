// The mount options the daemon adds to the library's command line.
#pragma once

#include "daemon/command_line.h"

namespace callerfs {

// Adds what every mount should have unless the command line says otherwise:
// big writes, the page cache kept across opens of an unchanged file
// (auto_cache), and the base directory, made absolute, as the mount's source
// (fsname, with subtype=callerfs). With coherent, instead of auto_cache:
// direct_io and no attribute, entry or negative caching. Explicit options win.
bool AddDefaultOptions(CommandLine& line);

// Adds an option for the library ahead of the user's, and so ahead of any
// "--" before the mount point.
bool AddLibraryOption(CommandLine& line, const char* option);

}  // namespace callerfs
