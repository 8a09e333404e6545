// `callerfs status MOUNTPOINT [--json]`: what a running daemon is doing.
//
// The daemon listens on a Unix socket of its own, /run/callerfs/NAME.sock,
// where NAME is the mount point escaped as systemd escapes paths (the unit's
// instance name). The directory is root's with mode 0700, the socket 0600,
// and the daemon answers only a peer whose uid is 0: no user but root can
// reach it. The socket is not in the mount, and is removed at stop.
//
// The report: the serving threads (busy, idle, parked, the bound); every
// request in flight for longer than half a second, with its operation, uid,
// pid, path and age; per user, descriptors held and lock owners against the
// cap, requests in flight and queued; requests per operation and failures
// per errno since start; diagnostic lines dropped. --json prints the same as
// one JSON object.
#pragma once

#include <string>

namespace callerfs {

inline constexpr char kStatusDirectory[] = "/run/callerfs";

// The socket's path for a mount point (absolute, as given or resolved).
std::string StatusSocketPath(const std::string& mountpoint);

// Starts answering on the socket for mountpoint; logs why when it cannot
// (the daemon serves anyway). Call with one thread running.
void StartStatusServer(const std::string& mountpoint);
// Stops answering and removes the socket.
void StopStatusServer();

// The subcommand: argv[0] "callerfs", argv[1] "status", then the mount point
// and optionally --json. Returns the exit status.
int RunStatusCommand(int argc, char** argv);

}  // namespace callerfs
