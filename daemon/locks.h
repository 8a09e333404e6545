// How POSIX record locks (fcntl F_SETLK, F_SETLKW, F_GETLK) taken through the
// mount are kept, decided once at start-up:
//   - by the lock server, a helper program started by the FUSE package's lock
//     library, which takes the locks on the host files themselves (seen by
//     processes locking them on the host too). Only with the thread pool: a
//     waiting lock occupies a daemon thread, and an interrupted wait (the
//     waiter killed or signalled) ends in the daemon as well, so that thread,
//     its descriptors and its server process are given back at once;
//   - by the kernel, for the mount only, when the daemon serves requests on
//     one thread (a waiting lock would hold that thread, so nothing, not even
//     the holder's unlock, could be served) or the lock server is missing.
#pragma once

#include "daemon/command_line.h"

namespace callerfs {

// Where the daemon looks for the programs it starts, whatever PATH it was
// given (or none at all).
inline constexpr char kProgramSearchPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr char kLockServer[] = "ulockmgr_server";
// Set to anything non-empty: the daemon acts as if the lock server were
// missing, and the kernel keeps the locks.
inline constexpr char kNoLockServerVariable[] = "CALLERFS_NO_LOCK_SERVER";

// Sets the daemon's PATH to kProgramSearchPath. The lock library starts the
// server through the shell, by name, so this is the path it is found on.
// Call before any thread starts.
void UseProgramSearchPath();

// Decides how locks are kept; true for the lock server. Adds the library
// options that choice needs and, when the server is wanted but missing, says
// so in one line on standard error.
bool ServeLocksThroughServer(CommandLine& line);

}  // namespace callerfs
