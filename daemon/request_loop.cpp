#include "daemon/request_loop.h"

#include <fuse_lowlevel.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "daemon/lock_records.h"

namespace callerfs {
namespace {

// The head of every request the kernel sends, as the protocol defines it.
struct RequestHead {
  uint32_t length;
  uint32_t opcode;
  uint64_t unique;
  uint64_t node;
  uint32_t uid, gid, pid, padding;
};
constexpr uint32_t kInterruptOpcode = 36;  // body: the unique of the request interrupted

// Sent to a thread whose lock wait the caller interrupted; its handler does
// nothing, so the blocking call the thread is in ends with EINTR.
constexpr int kInterruptSignal = SIGUSR1;
// How often the main thread repeats an interrupt while its wait goes on (the
// signal can land just before the thread blocks, and then does not end it).
constexpr time_t kInterruptRepeatSeconds = 1;
constexpr useconds_t kStopRepeatMicroseconds = 20'000;

class Pool;

struct Worker {
  explicit Worker(Pool* owner) : pool(owner) {}
  Pool* pool;
  pthread_t thread{};
  std::unique_ptr<char[]> buffer;
  std::atomic<bool> finished{false};
};

struct Waiter {
  uint64_t unique;
  pthread_t thread;
  bool interrupted;
};

class Pool {
 public:
  Pool(fuse_session* session, unsigned size);
  ~Pool() { ::sem_destroy(&wake_main_); }

  bool Start();
  // The main thread's part: waits for the end of the session while repeating
  // interrupts of waits still going on; then stops every worker.
  int Run();

  // LongWait's two halves, on a worker thread serving request unique.
  bool BeginLongWait(uint64_t unique);
  void EndLongWait();

 private:
  static void* Work(void* worker);
  // Serves until the session ends (true) or this worker leaves the pool
  // (false: self is gone).
  bool Serve(Worker& self);
  bool StartWorker();  // mutex_ held
  // After a request: a worker beyond the pool's size (started for a long
  // wait that has ended) leaves. Whether this worker left.
  bool Retired(Worker& self);
  void ForwardInterrupt(uint64_t unique);
  void SignalInterruptedWaiters();  // mutex_ held
  void StopWorkers();
  // Readers beyond the pool's size: workers not held by a long wait, less
  // the size (negative when a long wait holds one of them).
  int Surplus() const { return workers_.load() - long_waits_.load() - size_; }

  fuse_session* const session_;
  fuse_chan* const channel_;
  const size_t buffer_size_;
  const int size_;
  std::atomic<int> workers_{0};
  std::atomic<int> long_waits_{0};
  sem_t wake_main_;  // a worker ended, or an interrupt is to be repeated
  std::atomic<bool> failed_{false};

  std::mutex mutex_;  // guards what follows
  bool stopping_ = false;
  std::list<Worker> worker_list_;
  std::vector<Waiter> waiters_;
  // Interrupts that arrived before their request began a long wait (or for
  // requests that never do); the kernel never reuses a unique.
  std::array<uint64_t, 16> early_interrupts_{};
  size_t next_early_ = 0;
};

thread_local Pool* serving_pool = nullptr;
thread_local uint64_t serving_unique = 0;

void IgnoreInterrupt(int) {}

Pool::Pool(fuse_session* session, unsigned size)
    : session_(session),
      channel_(fuse_session_next_chan(session, nullptr)),
      buffer_size_(fuse_chan_bufsize(channel_)),
      size_(static_cast<int>(size)) {
  ::sem_init(&wake_main_, 0, 0);
}

bool Pool::Start() {
  struct sigaction action {};
  action.sa_handler = IgnoreInterrupt;  // no SA_RESTART: the wait must end
  sigemptyset(&action.sa_mask);
  if (::sigaction(kInterruptSignal, &action, nullptr) != 0) return false;
  const std::lock_guard lock(mutex_);
  for (int i = 0; i < size_; ++i) {
    if (!StartWorker()) return false;
  }
  return true;
}

bool Pool::StartWorker() {
  Worker& worker = worker_list_.emplace_back(this);
  worker.buffer.reset(new (std::nothrow) char[buffer_size_]);
  // The signals that end the daemon go to the main thread, whose wait they
  // cut short; workers keep only the interrupt signal.
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const bool started = worker.buffer && ::pthread_create(&worker.thread, nullptr, Work, &worker) == 0;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (!started) {
    worker_list_.pop_back();
    return false;
  }
  workers_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void* Pool::Work(void* worker) {
  Worker& self = *static_cast<Worker*>(worker);
  serving_pool = self.pool;
  if (self.pool->Serve(self)) self.finished.store(true);
  return nullptr;
}

bool Pool::Serve(Worker& self) {
  while (!fuse_session_exited(session_)) {
    fuse_chan* channel = channel_;
    fuse_buf request{};
    request.mem = self.buffer.get();
    request.size = buffer_size_;
    const int received = fuse_session_receive_buf(session_, &request, &channel);
    if (received == -EINTR) continue;
    if (received <= 0) {  // 0: unmounted, or the session ended
      if (received < 0) failed_.store(true, std::memory_order_relaxed);
      fuse_session_exit(session_);
      break;
    }
    serving_unique = 0;
    if (!(request.flags & FUSE_BUF_IS_FD) && static_cast<size_t>(received) >= sizeof(RequestHead)) {
      const auto* head = static_cast<const RequestHead*>(request.mem);
      serving_unique = head->unique;
      if (head->opcode == kInterruptOpcode &&
          static_cast<size_t>(received) >= sizeof(RequestHead) + sizeof(uint64_t)) {
        uint64_t interrupted;
        std::memcpy(&interrupted, head + 1, sizeof interrupted);
        ForwardInterrupt(interrupted);
      }
    }
    DropLibraryLockRecords(session_, request);
    fuse_session_process_buf(session_, &request, channel);
    if (Surplus() > 0 && Retired(self)) {
      return false;
    }
  }
  ::sem_post(&wake_main_);
  return true;
}

bool Pool::Retired(Worker& self) {
  const std::lock_guard lock(mutex_);
  if (stopping_ || Surplus() <= 0) {
    return false;
  }
  ::pthread_detach(::pthread_self());
  workers_.fetch_sub(1, std::memory_order_relaxed);
  worker_list_.remove_if([&](const Worker& w) { return &w == &self; });
  return true;
}

bool Pool::BeginLongWait(uint64_t unique) {
  const std::lock_guard lock(mutex_);
  if (stopping_ ||
      (unique != 0 && std::ranges::find(early_interrupts_, unique) != early_interrupts_.end())) {
    return false;
  }
  waiters_.push_back({unique, ::pthread_self(), false});
  long_waits_.fetch_add(1);
  // Another reader in this one's place, unless one is spare already.
  if (Surplus() < 0) StartWorker();
  return true;
}

void Pool::EndLongWait() {
  const std::lock_guard lock(mutex_);
  const pthread_t me = ::pthread_self();
  std::erase_if(waiters_, [&](const Waiter& w) { return ::pthread_equal(w.thread, me); });
  long_waits_.fetch_sub(1);
}

void Pool::ForwardInterrupt(uint64_t unique) {
  const std::lock_guard lock(mutex_);
  const auto waiter =
      std::ranges::find_if(waiters_, [&](const Waiter& w) { return w.unique == unique; });
  if (waiter == waiters_.end()) {
    early_interrupts_[next_early_++ % early_interrupts_.size()] = unique;
    return;
  }
  waiter->interrupted = true;
  ::pthread_kill(waiter->thread, kInterruptSignal);
  ::sem_post(&wake_main_);  // the main thread repeats it while the wait lasts
}

void Pool::SignalInterruptedWaiters() {
  for (const Waiter& waiter : waiters_) {
    if (waiter.interrupted) ::pthread_kill(waiter.thread, kInterruptSignal);
  }
}

int Pool::Run() {
  while (!fuse_session_exited(session_)) {
    // Timed, so that an exit signalled just before the wait is not missed.
    struct timespec until;
    ::clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += kInterruptRepeatSeconds;
    ::sem_timedwait(&wake_main_, &until);
    const std::lock_guard lock(mutex_);
    SignalInterruptedWaiters();
  }
  StopWorkers();
  return failed_.load() ? -1 : 0;
}

// Each worker ends when it next finds the session ended. One that waits for
// a request or a lock is woken by the interrupt signal, repeated until it
// has ended, since a signal that lands just before its thread blocks does
// not wake it. (Cancelling threads instead would unwind frames the address
// sanitizer cannot follow.)
void Pool::StopWorkers() {
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;  // from now on no worker starts or leaves on its own
      bool all_ended = true;
      for (Worker& worker : worker_list_) {
        if (worker.finished.load()) continue;
        all_ended = false;
        ::pthread_kill(worker.thread, kInterruptSignal);
      }
      if (all_ended) break;
    }
    ::usleep(kStopRepeatMicroseconds);
  }
  for (Worker& worker : worker_list_) ::pthread_join(worker.thread, nullptr);
  worker_list_.clear();
}

unsigned ProcessorsAvailable() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace

int ServeOnThreadPool(fuse* mounted) {
  const unsigned threads = std::max(2u, ProcessorsAvailable());
  // The library's cache cleaner (for -o remember), as its own loop runs it.
  if (fuse_start_cleanup_thread(mounted) != 0) return -1;
  int result = -1;
  {
    Pool pool(fuse_get_session(mounted), threads);
    if (pool.Start()) {
      result = pool.Run();
    } else {
      fuse_session_exit(fuse_get_session(mounted));
      pool.Run();
    }
  }
  fuse_stop_cleanup_thread(mounted);
  return result;
}

LongWait::LongWait(bool may_last) {
  if (!may_last || serving_pool == nullptr) return;
  interrupted_ = !serving_pool->BeginLongWait(serving_unique);
  on_pool_ = !interrupted_;
}

LongWait::~LongWait() {
  if (on_pool_) serving_pool->EndLongWait();
}

}  // namespace callerfs
