// UserShares: how many requests each user has in flight in the request loop,
// so that no user occupies more than a share of the pool's threads.
//
// A request of a user who already has `share` requests in flight is not
// served by the worker that read it: it is copied to that user's queue and
// the worker reads on. It is served when one of that user's own requests
// ends (by the worker that served that one). Past `queue_limit` queued
// requests a user's further requests are refused. Root (uid 0, also the
// kernel's requests without a caller) is never counted.
//
// Thread safety: the counts live in a fixed table of atomics (lock-free;
// a slot, once a uid has it, keeps it); the queues are guarded by `mutex_`,
// taken only when a user is at their share, and never across a system call.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace callerfs {

class UserShares {
 public:
  // Slots for distinct uids; uids beyond them are not counted.
  static constexpr size_t kSlots = 4096;

  struct Deferred {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    explicit operator bool() const { return data != nullptr; }
  };

  enum class Admission {
    kServe,     // a place was taken: serve it, then call Leave
    kDeferred,  // copied to the user's queue: call Resume
    kRefused,   // the user's queue is full (or out of memory): answer an error
  };

  // share 0: nobody is ever held back.
  UserShares(int share, size_t queue_limit);
  UserShares(const UserShares&) = delete;
  UserShares& operator=(const UserShares&) = delete;

  Admission Admit(uid_t uid, const void* request, size_t size);
  // After a request admitted with kServe (or one Resume or Leave handed
  // out) has been served: gives its place back. Returns a queued request of
  // the same user to serve now, its place taken, or an empty one.
  Deferred Leave(uid_t uid);
  // After kDeferred: the oldest queued request of uid with a place taken for
  // it when one came free meanwhile, or an empty one.
  Deferred Resume(uid_t uid);

  struct UserLoad {
    uid_t uid;
    int in_flight;
    int queued;
  };
  // Users with requests in flight or queued, for the status report.
  std::vector<UserLoad> Loads() const;

  int share() const { return share_; }

 private:
  struct Slot {
    std::atomic<uint32_t> key{0};  // uid + 1; 0: free
    std::atomic<int> in_flight{0};
    std::atomic<int> queued{0};
  };
  Slot* Find(uid_t uid);

  const int share_;
  const size_t queue_limit_;
  std::unique_ptr<Slot[]> slots_;
  mutable std::mutex mutex_;  // guards queues_; no lock is taken after it
  std::unordered_map<uid_t, std::deque<Deferred>> queues_;
};

}  // namespace callerfs
