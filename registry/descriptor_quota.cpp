#include "registry/descriptor_quota.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "base/log.h"

namespace callerfs {
namespace {

constexpr size_t kSlotMask = DescriptorQuota::kTableSize - 1;
static_assert((DescriptorQuota::kTableSize & kSlotMask) == 0, "the table size is a power of two");

bool Exempt(uid_t uid) { return uid == 0 || uid == DescriptorQuota::kNoOwner; }

}  // namespace

void DescriptorQuota::FreeDeleter::operator()(uid_t* table) const { std::free(table); }

DescriptorQuota& DescriptorQuota::Instance() {
  static DescriptorQuota instance;
  return instance;
}

bool DescriptorQuota::Configure(long descriptor_limit, long per_user_cap) {
  const long usable = std::clamp<long>(descriptor_limit, 0, kMaxDescriptors);
  const long reserve = std::min<long>(kReserve, usable / 4);
  // calloc: the table's pages stay untouched (and unbacked) until used.
  owners_.reset(static_cast<uid_t*>(std::calloc(std::max<long>(usable - reserve, 1), sizeof(uid_t))));
  if (!owners_) return false;
  admitted_below_ = static_cast<int>(usable - reserve);
  per_user_cap_ = per_user_cap;
  return true;
}

// Fibonacci hashing: consecutive uids land far apart.
size_t DescriptorQuota::Home(uid_t uid) {
  return (static_cast<uint32_t>(uid) * 2654435761u) >> (32 - 12) & kSlotMask;
}
static_assert(DescriptorQuota::kTableSize == 1 << 12, "Home takes the top 12 bits");

size_t DescriptorQuota::Find(uid_t uid) const {
  size_t index = Home(uid);
  while (slots_[index].count != 0 && slots_[index].uid != uid) index = (index + 1) & kSlotMask;
  return index;
}

void DescriptorQuota::Erase(size_t index) {
  // Backward shift: a later slot of the chain moves into the hole unless its
  // home lies cyclically in (hole, later], where lookups still reach it.
  size_t hole = index;
  for (size_t later = (index + 1) & kSlotMask; slots_[later].count != 0;
       later = (later + 1) & kSlotMask) {
    const size_t home = Home(slots_[later].uid);
    const bool reachable = hole <= later ? hole < home && home <= later : hole < home || home <= later;
    if (!reachable) {
      slots_[hole] = slots_[later];
      hole = later;
    }
  }
  slots_[hole] = {};
}

bool DescriptorQuota::Charge(uid_t uid) {
  if (Exempt(uid)) return true;
  std::unique_lock guard(lock_);
  Slot& slot = slots_[Find(uid)];
  if (slot.count == 0) {
    if (users_ >= kMaxUsers || per_user_cap_ < 1) return false;
    slot = {uid, 1};
    ++users_;
    return true;
  }
  if (slot.count >= per_user_cap_) {
    guard.unlock();  // the log line may mean a write to a socket
    LogDescriptorCapReached(uid, per_user_cap_);
    return false;
  }
  ++slot.count;
  return true;
}

void DescriptorQuota::Uncharge(uid_t uid) noexcept {
  if (Exempt(uid)) return;
  try {
    std::lock_guard guard(lock_);
    const size_t index = Find(uid);
    if (slots_[index].count == 0) return;  // never charged: nothing to give back
    if (--slots_[index].count == 0) {
      Erase(index);
      --users_;
    }
  } catch (...) {
    // Only a failure to take the mutex lands here; the charge stays taken.
  }
}

bool DescriptorQuota::Keep(int fd, uid_t uid) {
  if (fd < 0 || fd >= admitted_below_) return false;
  if (!Exempt(uid)) std::atomic_ref<uid_t>(owners_[fd]).store(uid + 1, std::memory_order_release);
  return true;
}

uid_t DescriptorQuota::Forget(int fd) {
  if (fd < 0 || fd >= admitted_below_) return kNoOwner;
  const uid_t stored = std::atomic_ref<uid_t>(owners_[fd]).exchange(0, std::memory_order_acq_rel);
  return stored == 0 ? kNoOwner : stored - 1;
}

int DescriptorQuota::Close(int fd) {
  const uid_t owner = Forget(fd);
  const int result = ::close(fd);
  const int saved = errno;
  Uncharge(owner);
  errno = saved;
  return result;
}

std::vector<std::pair<uid_t, long>> DescriptorQuota::Holders() {
  std::vector<std::pair<uid_t, long>> holders;
  std::lock_guard guard(lock_);
  for (const Slot& slot : slots_) {
    if (slot.count != 0) holders.emplace_back(slot.uid, slot.count);
  }
  return holders;
}

long DescriptorQuota::Held(uid_t uid) {
  if (Exempt(uid)) return 0;
  std::lock_guard guard(lock_);
  return slots_[Find(uid)].count;
}

}  // namespace callerfs
