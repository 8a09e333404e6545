// DescriptorQuota: how many host descriptors the daemon holds open for each
// user, so that one user holding thousands of files open cannot make every
// other user's open fail for want of descriptors.
//
// What is counted: every descriptor an open, create or opendir leaves open for
// its caller, charged to the caller's uid until that descriptor is closed. An
// open that shares a registered descriptor holds nothing new and is not
// charged. Opens by root (uid 0) are never refused for the per-user cap.
// Independently of the cap, a descriptor numbered inside the reserve (the
// last `reserve` numbers below the limit) is refused for everyone, root
// included, so the daemon's own short-lived descriptors (flush's duplicate,
// path resolution, the lock server's sockets) always find free numbers.
//
// Ownership: the quota owns its per-uid counter table (fixed size, no
// allocation per request) and its owner table, one entry per descriptor
// number, allocated once by Configure. It never opens or closes anything
// except in Close, which closes the descriptor it is given.
//
// Thread safety: the per-uid counters are guarded by `lock_`, held for a
// table probe and never across a system call. The owner table is written
// without the lock: an entry is set after its descriptor is opened and
// cleared before it is closed, so no two threads ever hold the same number
// at once. The configuration is written before requests are served and only
// read afterwards.
//
// Lifecycle: constructed unconfigured (every uid capped at 0, no descriptor
// admitted); Configure once before the FUSE library starts; from then on
// Charge, then Keep or Uncharge, for every open; Forget (or Close) before
// every close of a descriptor that may have been kept. Nothing is released
// at process exit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace callerfs {

class DescriptorQuota {
 public:
  // Per-uid counters held at most at once: a new uid beyond them is refused.
  static constexpr size_t kTableSize = 4096;
  static constexpr size_t kMaxUsers = kTableSize / 4 * 3;
  // Descriptor numbers kept free for the daemon's own work, at most.
  static constexpr int kReserve = 128;
  // The owner table covers at most this many descriptor numbers; higher ones
  // count as reserved.
  static constexpr int kMaxDescriptors = 1 << 22;
  // Owner of a descriptor that was not charged to anyone.
  static constexpr uid_t kNoOwner = static_cast<uid_t>(-1);

  static DescriptorQuota& Instance();

  DescriptorQuota() = default;
  DescriptorQuota(const DescriptorQuota&) = delete;
  DescriptorQuota& operator=(const DescriptorQuota&) = delete;

  // descriptor_limit: the daemon's soft RLIMIT_NOFILE. per_user_cap: the
  // most descriptors any one non-root uid may hold. False when the owner
  // table cannot be allocated.
  bool Configure(long descriptor_limit, long per_user_cap);

  // Takes one descriptor's charge for uid; false when uid already holds the
  // cap (or too many uids hold descriptors). Root is never refused, nor
  // counted; neither is kNoOwner, which names no caller.
  bool Charge(uid_t uid);
  // Gives back a charge taken with Charge and not kept, or one Forget
  // returned.
  void Uncharge(uid_t uid) noexcept;
  // Records fd as held under uid's charge; false when fd lies in the reserve
  // (the caller then closes it and gives the charge back).
  bool Keep(int fd, uid_t uid);
  // Clears fd's record and returns the uid it was charged to, or kNoOwner.
  // Call before closing fd; Uncharge the result after closing it.
  uid_t Forget(int fd);
  // Forget, close, Uncharge: the registry's close function.
  int Close(int fd);

  // Descriptors currently charged to uid (for tests and diagnostics).
  long Held(uid_t uid);
  // Every uid holding descriptors, with how many, and the cap (for the
  // status report).
  std::vector<std::pair<uid_t, long>> Holders();
  long per_user_cap() const { return per_user_cap_; }

 private:
  struct Slot {
    uid_t uid;
    uint32_t count;  // 0: the slot is free
  };

  static size_t Home(uid_t uid);
  // Index of uid's slot, or of the free slot where it would go; lock_ held.
  size_t Find(uid_t uid) const;
  // Empties slot index, moving later slots of its probe chain back; lock_ held.
  void Erase(size_t index);

  long per_user_cap_ = 0;
  int admitted_below_ = 0;  // descriptors numbered from here on are reserved
  struct FreeDeleter {
    void operator()(uid_t* table) const;
  };
  // Per admitted descriptor number: 0, or the uid it is charged to plus 1.
  // Accessed through std::atomic_ref; zero-filled pages cost nothing until used.
  std::unique_ptr<uid_t[], FreeDeleter> owners_;

  // Guards slots_ and users_. No lock is taken after it (Charge lets it go
  // before its log line). It is taken after the lock owners' mutex
  // (LockOwners::Note gives a charge back under it), never under the
  // registry's.
  std::mutex lock_;
  Slot slots_[kTableSize] = {};  // guarded by lock_; open addressing
  size_t users_ = 0;             // guarded by lock_; slots in use
};

// One open's charge, given back unless the descriptor is kept.
class DescriptorCharge {
 public:
  DescriptorCharge(DescriptorQuota& quota, uid_t uid)
      : quota_(quota), uid_(uid), granted_(quota.Charge(uid)) {}
  explicit DescriptorCharge(uid_t uid) : DescriptorCharge(DescriptorQuota::Instance(), uid) {}
  DescriptorCharge(const DescriptorCharge&) = delete;
  DescriptorCharge& operator=(const DescriptorCharge&) = delete;
  ~DescriptorCharge() {
    if (granted_) quota_.Uncharge(uid_);
  }

  // Whether the charge was granted.
  explicit operator bool() const { return granted_; }
  // Hands the charge to fd; false when fd lies in the reserve, and the charge
  // is then given back when this object goes.
  bool Keep(int fd) {
    if (!quota_.Keep(fd, uid_)) return false;
    granted_ = false;
    return true;
  }

 private:
  DescriptorQuota& quota_;
  const uid_t uid_;
  bool granted_;
};

}  // namespace callerfs
