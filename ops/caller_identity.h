// Acting for the caller. Every host call a request makes runs on the serving
// thread with the caller's file-system uid and gid, the caller's supplementary
// groups and no effective capabilities, so the host kernel decides search,
// read, write and execute permissions, ACLs, sticky bits, quotas, reserved
// blocks and ptrace rules on the objects it actually resolves, exactly as it
// would for the caller. Only the few steps that need the daemon's privilege
// (clearing set-ID bits for a non-owner, the lock server, ownership fix-ups of
// a daemon that cannot act as others) take it back, one step at a time.
//
// A caller that is root keeps the daemon's credentials when it has all of the
// daemon's capabilities; a root caller with fewer acts as uid 0 with its own
// groups and effective capabilities (CapEff in its /proc status, read and
// kept like the groups). A daemon that is not root acts as itself.
//
// Thread model: credentials are per thread here (setfsuid, setfsgid, the raw
// setgroups system call and capset all act on the calling thread only). A
// thread keeps the last identity it took and switches only when the next
// caller differs. Each serving thread also gets its own umask (unshare of
// CLONE_FS on its first request), set to the caller's before anything is
// created.
#pragma once

#include <sys/types.h>

namespace callerfs::ops {

// Reads the daemon's own credentials (permitted capabilities, groups). Call
// once at start-up, before any request is served. Turns acting as the caller
// off when the daemon is not root.
void InitCallerIdentity();

// Whether requests run with their caller's identity (the daemon is root).
bool ActingAsCallers();

// Makes the serving thread the caller of the current request for the scope's
// lifetime. ok() is false when the switch did not take: the request must then
// be refused with EPERM. The thread stays the caller afterwards (the next
// request switches only when its caller differs).
class ActAsCaller {
 public:
  ActAsCaller();
  ActAsCaller(const ActAsCaller&) = delete;
  ActAsCaller& operator=(const ActAsCaller&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// Gives the serving thread the daemon's own credentials for one privileged
// step, and the caller's back afterwards. Nests; a no-op when requests do not
// run as their callers.
class AsDaemon {
 public:
  AsDaemon();
  AsDaemon(const AsDaemon&) = delete;
  AsDaemon& operator=(const AsDaemon&) = delete;
  ~AsDaemon();

 private:
  bool restore_;
};

// Sets the serving thread's umask to the caller's, so the host applies it
// (or a default ACL of the parent directory replaces it) to what the request
// creates; the kernel leaves modes unmasked (FUSE_CAP_DONT_MASK). Returns
// what the handler must still take off the mode itself: 0, or the caller's
// umask on a thread that could not get a umask of its own.
mode_t UseCallerUmask();

}  // namespace callerfs::ops
