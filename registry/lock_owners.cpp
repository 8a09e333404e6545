#include "registry/lock_owners.h"

#include <algorithm>

#include "registry/descriptor_quota.h"

namespace callerfs {

LockOwners& LockOwners::Instance() {
  static LockOwners instance;
  return instance;
}

bool LockOwners::Note(int fd, uint64_t owner, uid_t uid) {
  {
    std::lock_guard guard(lock_);
    const auto found = by_fd_.find(fd);
    if (found != by_fd_.end() &&
        std::any_of(found->second.begin(), found->second.end(),
                    [&](const Owner& o) { return o.owner == owner; })) {
      return true;
    }
  }
  // Charged outside the table's lock: the quota has its own.
  if (!DescriptorQuota::Instance().Charge(uid)) return false;
  std::lock_guard guard(lock_);
  std::vector<Owner>& owners = by_fd_[fd];
  if (std::any_of(owners.begin(), owners.end(), [&](const Owner& o) { return o.owner == owner; })) {
    DescriptorQuota::Instance().Uncharge(uid);  // recorded meanwhile by another request
    return true;
  }
  owners.push_back({owner, uid});
  Recorded(owner, 1);
  return true;
}

void LockOwners::Forget(int fd, uint64_t owner) {
  if (recorded_.load(std::memory_order_relaxed) == 0) return;
  uid_t charged = DescriptorQuota::kNoOwner;
  {
    std::lock_guard guard(lock_);
    const auto found = by_fd_.find(fd);
    if (found == by_fd_.end()) return;
    std::vector<Owner>& owners = found->second;
    const auto it =
        std::find_if(owners.begin(), owners.end(), [&](const Owner& o) { return o.owner == owner; });
    if (it == owners.end()) return;
    charged = it->uid;
    owners.erase(it);
    if (owners.empty()) by_fd_.erase(found);
    Recorded(owner, -1);
  }
  DescriptorQuota::Instance().Uncharge(charged);
}

bool LockOwners::AnyOn(int fd) {
  if (recorded_.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard guard(lock_);
  return by_fd_.count(fd) != 0;
}

void LockOwners::OwnersOn(int fd, std::vector<uint64_t>& out) {
  out.clear();
  if (recorded_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard guard(lock_);
  const auto found = by_fd_.find(fd);
  if (found == by_fd_.end()) return;
  for (const Owner& owner : found->second) out.push_back(owner.owner);
}

void LockOwners::TakeAll(int fd, std::vector<Owner>& out) {
  out.clear();
  if (recorded_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard guard(lock_);
  const auto found = by_fd_.find(fd);
  if (found == by_fd_.end()) return;
  out.swap(found->second);
  by_fd_.erase(found);
  for (const Owner& owner : out) Recorded(owner.owner, -1);
}

bool LockOwners::Known(uint64_t owner) {
  if (recorded_.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard guard(lock_);
  return descriptors_of_.count(owner) != 0;
}

void LockOwners::Recorded(uint64_t owner, int change) {
  recorded_.fetch_add(change, std::memory_order_relaxed);
  int& count = descriptors_of_[owner];
  count += change;
  if (count <= 0) descriptors_of_.erase(owner);
}

void LockOwners::Uncharge(const Owner& owner) { DescriptorQuota::Instance().Uncharge(owner.uid); }

std::unordered_map<uid_t, size_t> LockOwners::CountByUser() {
  std::unordered_map<uid_t, size_t> counts;
  std::lock_guard guard(lock_);
  for (const auto& [fd, owners] : by_fd_) {
    for (const Owner& owner : owners) ++counts[owner.uid];
  }
  return counts;
}

}  // namespace callerfs
