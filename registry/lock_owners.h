// LockOwners: the lock owners the lock server holds locks for, per host
// descriptor. Each owner the kernel names costs a server process and a socket
// until a whole-file unlock of it on that descriptor, and the kernel never
// sends that unlock for an open file description's (OFD) lock owner. So the
// owners seen on each descriptor are recorded here, charged to the user who
// locked (their descriptor cap bounds them), dropped when a whole-file unlock
// of them passes through, and taken back all at once when the descriptor is
// closed for the last time, so that the closer can unlock them.
//
// Thread safety: one mutex guards the table; it is held for table work only,
// never across a system call. A count of recorded owners lets the common case
// (no locks on the descriptor being closed) skip the mutex.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace callerfs {

class LockOwners {
 public:
  struct Owner {
    uint64_t owner;
    uid_t uid;  // charged with one descriptor of their cap
  };

  static LockOwners& Instance();

  // Records owner on fd for uid. True when recorded (now or before); false,
  // with nothing recorded, when uid has reached their descriptor cap.
  bool Note(int fd, uint64_t owner, uid_t uid);
  // Forgets owner on fd and gives its charge back (after a whole-file unlock).
  void Forget(int fd, uint64_t owner);
  // Whether any owner is recorded on fd.
  bool AnyOn(int fd);
  // Whether owner is recorded on any descriptor: the lock server knows only
  // owners recorded here, and unlocking an owner it does not know does
  // nothing.
  bool Known(uint64_t owner);
  // The owners recorded on fd, into out (replacing its contents); the table
  // keeps them.
  void OwnersOn(int fd, std::vector<uint64_t>& out);
  // Takes every owner recorded on fd out of the table, into out (replacing
  // its contents). Their charges stay taken: give each back with Uncharge
  // once it is unlocked.
  void TakeAll(int fd, std::vector<Owner>& out);
  static void Uncharge(const Owner& owner);
  // Recorded owners per uid that locked (for the status report).
  std::unordered_map<uid_t, size_t> CountByUser();

 private:
  // Guards by_fd_ and descriptors_of_. Taken after it: the descriptor
  // quota's mutex only (Note gives back a charge it no longer needs). Never
  // taken under the registry's: the registry's close function, which takes
  // the owners off a descriptor, runs after the registry lets its mutex go.
  std::mutex lock_;
  std::unordered_map<int, std::vector<Owner>> by_fd_;  // guarded by lock_
  std::unordered_map<uint64_t, int> descriptors_of_;   // guarded by lock_; owner -> count
  void Recorded(uint64_t owner, int change);            // lock_ held
  std::atomic<size_t> recorded_{0};                    // owners in by_fd_
};

}  // namespace callerfs
