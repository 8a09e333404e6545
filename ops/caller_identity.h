// Acting for the caller. Every host call a request makes runs on the serving
// thread with the caller's file-system uid and gid, the caller's supplementary
// groups and no effective capabilities, so the host kernel decides search,
// read, write and execute permissions, ACLs, sticky bits, quotas, reserved
// blocks and ptrace rules on the objects it actually resolves, exactly as it
// would for the caller. Two places differ, each said where it is taken: a
// path request served through a write-only descriptor the caller holds open
// (write_handle.h) rests on what the host checked at that open; and on a FUSE
// file system that only its mounter may use, the mounter's requests run in
// a process of the mounter's own (mounter_process.h). Only the few steps that need the daemon's privilege
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

#include <cstddef>

namespace callerfs::ops {

// Reads the daemon's own credentials (permitted capabilities, groups) and
// makes room to record the opener of every descriptor below
// descriptor_limit. Call once at start-up, before any request is served.
// Turns acting as the caller off when the daemon is not root.
void InitCallerIdentity(long descriptor_limit);

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

// Requests that arrive without a caller (uid, gid and pid 0: the kernel
// writing a user's mapped pages back, every release) act for whoever opened
// the file: Open and Create record the caller of the request that made each
// descriptor, and ActAsOpener makes the serving thread that identity. No
// record (a descriptor not opened for a request) means the daemon.
void RecordOpener(int fd);
class ActAsOpener {
 public:
  explicit ActAsOpener(int fd);
  ActAsOpener(const ActAsOpener&) = delete;
  ActAsOpener& operator=(const ActAsOpener&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// The FUSE library hides a file unlinked while open by renaming it to a
// ".fuse_hidden" name, and unlinks that name when the last open is released,
// in a request without a caller. RecordHider notes the caller of a rename to
// such a name; ActAsHider then makes that later unlink act for them (for any
// other request, or a name nobody hid, it is ActAsCaller).
void RecordHider(const char* hidden_path);
class ActAsHider {
 public:
  explicit ActAsHider(const char* path);
  ActAsHider(const ActAsHider&) = delete;
  ActAsHider& operator=(const ActAsHider&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// The user (not root) the serving thread acts for now, for a process that
// must take that identity whole: false when the thread acts for root or as
// the daemon. The groups stay valid for the daemon's lifetime.
struct ActingUser {
  uid_t uid;
  gid_t gid;
  const gid_t* groups;
  size_t group_count;
};
bool ActingForUser(ActingUser& out);

// Whether the current request came without a caller (from the kernel itself).
bool RequestHasNoCaller();

// Makes the calling thread the daemon again for good: before anything that
// is not a request (leaving the loop, unmounting, signals). False when the
// daemon's credentials could not be taken back.
bool RestoreDaemonIdentity();

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
