#include "daemon/interrupts.h"

#include <linux/fuse.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace callerfs {
namespace {

constexpr int kInterruptSignal = SIGUSR1;

struct Waiter {
  uint64_t unique;
  pthread_t thread;
  uid_t uid;
  bool interrupted;
};

struct Table {
  // Guards everything below; no lock is taken after it. Taken after the
  // request loop's current_pool_mutex (the status report's count of waits).
  std::mutex mutex;
  bool stopping = false;
  int per_user_bound = 0;  // 0: no wait is bounded (before SetBounds)
  int total_bound = 0;
  std::vector<Waiter> waiters;
  std::unordered_map<uid_t, int> by_user;  // waits per uid, while > 0
  // Interrupts that arrived before their request began a wait (or for
  // requests that never do); the kernel never reuses a unique.
  std::array<uint64_t, 16> early{};
  size_t next_early = 0;
};
Table& TheTable() {
  static auto* table = new Table;  // workers left on a hung call may outlive main
  return *table;
}

thread_local bool on_worker = false;
thread_local uint64_t serving_unique = 0;
thread_local uid_t serving_uid = 0;

void IgnoreInterrupt(int) {}

}  // namespace

int InterruptSignal() { return kInterruptSignal; }

bool InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = IgnoreInterrupt;  // no SA_RESTART: the wait must end
  sigemptyset(&action.sa_mask);
  return ::sigaction(kInterruptSignal, &action, nullptr) == 0;
}

LongWaits& LongWaits::Instance() {
  static LongWaits waits;
  return waits;
}

void LongWaits::SetBounds(int per_user, int total) {
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  s.per_user_bound = per_user;
  s.total_bound = total;
}

void LongWaits::Route(const void* request, size_t size) {
  if (size < sizeof(fuse_in_header) + sizeof(fuse_interrupt_in)) return;
  fuse_interrupt_in body;
  std::memcpy(&body, static_cast<const char*>(request) + sizeof(fuse_in_header), sizeof body);
  const uint64_t unique = body.unique;
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  const auto waiter =
      std::ranges::find_if(s.waiters, [&](const Waiter& w) { return w.unique == unique; });
  if (waiter == s.waiters.end()) {
    s.early[s.next_early++ % s.early.size()] = unique;
    return;
  }
  waiter->interrupted = true;
  ::pthread_kill(waiter->thread, kInterruptSignal);
}

void LongWaits::RepeatInterrupts() {
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  for (const Waiter& waiter : s.waiters) {
    if (waiter.interrupted) ::pthread_kill(waiter.thread, kInterruptSignal);
  }
}

void LongWaits::Stop() {
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  s.stopping = true;
}

int LongWaits::Waiting() {
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  return static_cast<int>(s.waiters.size());
}

void SetServingRequest(uint64_t unique, uid_t uid) {
  on_worker = true;
  serving_unique = unique;
  serving_uid = uid;
}

void ClearServingRequest() { serving_unique = 0; }

namespace {

ops::WaitAdmission BeginWait(uid_t& uid) {
  if (!on_worker) return ops::WaitAdmission::kUntracked;
  Table& s = TheTable();
  uid = serving_uid;
  const std::lock_guard lock(s.mutex);
  if (s.stopping || (serving_unique != 0 && std::ranges::find(s.early, serving_unique) != s.early.end())) {
    return ops::WaitAdmission::kInterrupted;
  }
  int& mine = s.by_user[uid];
  const bool bounded = s.total_bound > 0;
  if (bounded && (static_cast<int>(s.waiters.size()) >= s.total_bound ||
                  (uid != 0 && mine >= s.per_user_bound))) {
    if (mine == 0) s.by_user.erase(uid);
    return ops::WaitAdmission::kRefused;
  }
  ++mine;
  s.waiters.push_back({serving_unique, ::pthread_self(), uid, false});
  return ops::WaitAdmission::kWaiting;
}

void EndWait(uid_t uid) {
  Table& s = TheTable();
  const std::lock_guard lock(s.mutex);
  const pthread_t me = ::pthread_self();
  std::erase_if(s.waiters, [&](const Waiter& w) { return ::pthread_equal(w.thread, me); });
  const auto mine = s.by_user.find(uid);
  if (mine != s.by_user.end() && --mine->second <= 0) s.by_user.erase(mine);
}

}  // namespace

ops::LongWaitHooks LongWaits::Hooks() { return {BeginWait, EndWait}; }

}  // namespace callerfs
