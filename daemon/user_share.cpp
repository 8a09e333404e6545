#include "daemon/user_share.h"

#include <cstring>
#include <new>

namespace callerfs {

UserShares::UserShares(int share, size_t queue_limit)
    : share_(share), queue_limit_(queue_limit), slots_(new Slot[kSlots]) {}

UserShares::Slot* UserShares::Find(uid_t uid) {
  if (uid == 0 || uid == static_cast<uid_t>(-1) || share_ <= 0) return nullptr;
  const uint32_t key = uid + 1;
  size_t index = (uid * 2654435761u) % kSlots;
  for (size_t probes = 0; probes < kSlots; ++probes, index = (index + 1) % kSlots) {
    Slot& slot = slots_[index];
    uint32_t found = slot.key.load(std::memory_order_acquire);
    if (found == 0 && slot.key.compare_exchange_strong(found, key)) return &slot;
    if (found == key) return &slot;
  }
  return nullptr;
}

UserShares::Admission UserShares::Admit(uid_t uid, const void* request, size_t size) {
  Slot* slot = Find(uid);
  if (slot == nullptr) return Admission::kServe;
  if (slot->in_flight.fetch_add(1) < share_) return Admission::kServe;
  slot->in_flight.fetch_sub(1);
  try {
    Deferred copy{std::unique_ptr<char[]>(new char[size]), size};
    std::memcpy(copy.data.get(), request, size);
    const std::lock_guard lock(mutex_);
    std::deque<Deferred>& queue = queues_[uid];
    if (queue.size() >= queue_limit_) return Admission::kRefused;
    queue.push_back(std::move(copy));
    slot->queued.fetch_add(1);
  } catch (const std::bad_alloc&) {
    return Admission::kRefused;
  }
  return Admission::kDeferred;
}

UserShares::Deferred UserShares::Resume(uid_t uid) {
  Slot* slot = Find(uid);
  if (slot == nullptr) return {};
  const std::lock_guard lock(mutex_);
  const auto queue = queues_.find(uid);
  if (queue == queues_.end() || queue->second.empty()) return {};
  // Whoever gave a place back after this user's request was queued, or
  // this thread now: one of them sees the other (both orders are total).
  if (slot->in_flight.fetch_add(1) >= share_) {
    slot->in_flight.fetch_sub(1);
    return {};
  }
  Deferred next = std::move(queue->second.front());
  queue->second.pop_front();
  slot->queued.fetch_sub(1);
  if (queue->second.empty()) queues_.erase(queue);
  return next;
}

UserShares::Deferred UserShares::Leave(uid_t uid) {
  Slot* slot = Find(uid);
  if (slot == nullptr) return {};
  slot->in_flight.fetch_sub(1);
  if (slot->queued.load() == 0) return {};
  return Resume(uid);
}

std::vector<UserShares::UserLoad> UserShares::Loads() const {
  std::vector<UserLoad> loads;
  for (size_t i = 0; i < kSlots; ++i) {
    const Slot& slot = slots_[i];
    const uint32_t key = slot.key.load(std::memory_order_acquire);
    if (key == 0) continue;
    const int in_flight = slot.in_flight.load(std::memory_order_relaxed);
    const int queued = slot.queued.load(std::memory_order_relaxed);
    if (in_flight > 0 || queued > 0) loads.push_back({key - 1, in_flight, queued});
  }
  return loads;
}

}  // namespace callerfs
