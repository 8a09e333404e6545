#include "daemon/request_loop.h"

#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <new>

#include "base/log.h"
#include "daemon/interrupts.h"
#include "daemon/lock_records.h"
#include "daemon/user_share.h"

namespace callerfs {
namespace {

using Nanos = int64_t;
constexpr Nanos kMillisecond = 1'000'000;
// A worker in one request for longer than this counts as held.
constexpr Nanos kHeldAfter = 5 * kMillisecond;
// How often the watchdog looks while every worker is busy.
constexpr Nanos kWatchTick = 2 * kMillisecond;
// Ticks without every worker busy before the watchdog rests (100 ms).
constexpr int kQuietTicksBeforeRest = 50;
// How often the main thread wakes otherwise (to repeat interrupts).
constexpr Nanos kIdleWake = 1000 * kMillisecond;
// A worker parked this long ends.
constexpr Nanos kParkedLife = 2000 * kMillisecond;
// How long a stop waits for workers held in host calls.
constexpr Nanos kStopGrace = 3000 * kMillisecond;
constexpr useconds_t kStopRepeatMicroseconds = 20'000;
// Requests of one user queued beyond their share; past it they are refused.
constexpr size_t kQueuedPerUser = 64;
constexpr uint32_t kOpcodes = 64;  // request counters (the protocol's opcodes are fewer)
constexpr int kErrnos = 134;       // failure counters (every errno Linux defines)

Nanos Now() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000 + now.tv_nsec;
}

struct timespec MonotonicIn(Nanos delay) {
  const Nanos at = Now() + delay;
  return {static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
}

std::array<std::atomic<uint64_t>, kErrnos> failures_by_errno{};

class Pool;

struct Worker {
  explicit Worker(Pool* owner) : pool(owner) { ::sem_init(&wake, 0, 0); }
  ~Worker() { ::sem_destroy(&wake); }
  Pool* const pool;
  pthread_t thread{};
  std::unique_ptr<char[]> buffer;
  sem_t wake;           // posted when a parked worker is wanted again
  bool parked = false;  // guarded by the pool's mutex_
  std::atomic<bool> finished{false};
  // The request in progress, read by the watchdog and the status report.
  std::atomic<Nanos> busy_since{0};  // 0: not in a request
  std::atomic<uint32_t> opcode{0}, uid{0}, pid{0};
  std::atomic<const char*> path{nullptr};
  std::atomic<bool> path_read{false};  // a status report copies path
  // Requests served, by opcode; written by this worker only.
  std::array<std::atomic<uint64_t>, kOpcodes> served{};
};

thread_local Worker* serving_worker = nullptr;

// Requests that never hold a place in a user's share: they come from the
// kernel itself, or end nothing a user waits for.
bool CountedForUser(const fuse_in_header& head) {
  switch (head.opcode) {
    case FUSE_INIT:
    case FUSE_DESTROY:
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT:
      return false;
    default:
      return head.uid != 0;
  }
}

class Pool {
 public:
  Pool(fuse_session* session, int size, int max_threads);
  ~Pool() { ::sem_destroy(&wake_main_); }

  bool Start();
  // The main thread's part: the watchdog, until the session ends; then
  // stops every worker.
  LoopEnd Run();
  void Snapshot(LoopStatus& out, double older_than_seconds);

 private:
  static void* Work(void* worker);
  void Serve(Worker& self);
  void Dispatch(Worker& self, fuse_buf& request, size_t received, fuse_chan* channel);
  void ServeOne(Worker& self, fuse_buf& request, fuse_chan* channel, const fuse_in_header& head);
  void ServeDeferred(Worker& self, UserShares::Deferred& deferred, fuse_chan* channel);
  void Refuse(fuse_chan* channel, const fuse_in_header& head);
  // After a request: true to go on reading (perhaps after a park), false
  // when this worker left the pool (its record is gone).
  bool StayAfterRequest(Worker& self);
  bool Surplus() const;
  bool StartWorker();  // mutex_ held
  void Grow();         // mutex_ held
  void Watch();
  // True when every worker ended within the grace time.
  bool StopWorkers();
  int NonParked() const { return workers_.load() - parked_.load(); }

  fuse_session* const session_;
  fuse_chan* const channel_;
  const size_t buffer_size_;
  const int size_;
  const int max_threads_;
  const bool can_grow_;
  UserShares shares_;
  std::atomic<int> workers_{0};
  std::atomic<int> busy_{0};
  std::atomic<int> parked_{0};
  std::atomic<bool> armed_{false};  // the watchdog looks every tick
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> refused_{0};
  sem_t wake_main_;  // every worker is busy, or one ended

  // Guards worker_list_, each Worker::parked, stopping_ and retired_served_.
  // Taken after it: only what a log line takes (Grow). Taken before it:
  // current_pool_mutex only (a status report).
  std::mutex mutex_;
  bool stopping_ = false;
  std::list<Worker> worker_list_;
  std::array<uint64_t, kOpcodes> retired_served_{};
  int quiet_ticks_ = 0;  // the main thread's own
};

Pool::Pool(fuse_session* session, int size, int max_threads)
    : session_(session),
      channel_(fuse_session_next_chan(session, nullptr)),
      buffer_size_(fuse_chan_bufsize(channel_)),
      size_(size),
      max_threads_(max_threads),
      can_grow_(max_threads > size),
      shares_(max_threads > size ? max_threads / 2 : 0, kQueuedPerUser) {
  ::sem_init(&wake_main_, 0, 0);
}

bool Pool::Start() {
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
  int error = ENOMEM;
  if (worker.buffer) error = ::pthread_create(&worker.thread, nullptr, Work, &worker);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (error != 0) {
    worker_list_.pop_back();
    errno = error;
    return false;
  }
  workers_.fetch_add(1);
  return true;
}

void* Pool::Work(void* worker) {
  Worker& self = *static_cast<Worker*>(worker);
  serving_worker = &self;
  self.pool->Serve(self);
  return nullptr;
}

void Pool::Serve(Worker& self) {
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
    Dispatch(self, request, static_cast<size_t>(received), channel);
    if (!StayAfterRequest(self)) return;
  }
  self.finished.store(true);
  ::sem_post(&wake_main_);
}

void Pool::Dispatch(Worker& self, fuse_buf& request, size_t received, fuse_chan* channel) {
  fuse_in_header head{};
  if ((request.flags & FUSE_BUF_IS_FD) || received < sizeof head) {
    return ServeOne(self, request, channel, head);
  }
  std::memcpy(&head, request.mem, sizeof head);
  if (head.opcode == FUSE_INTERRUPT) LongWaits::Instance().Route(request.mem, received);
  if (!CountedForUser(head)) return ServeOne(self, request, channel, head);
  UserShares::Deferred next;
  switch (shares_.Admit(head.uid, request.mem, received)) {
    case UserShares::Admission::kServe:
      ServeOne(self, request, channel, head);
      next = shares_.Leave(head.uid);
      break;
    case UserShares::Admission::kDeferred:
      next = shares_.Resume(head.uid);
      break;
    case UserShares::Admission::kRefused:
      return Refuse(channel, head);
  }
  while (next) {
    ServeDeferred(self, next, channel);
    next = shares_.Leave(head.uid);
  }
}

void Pool::ServeDeferred(Worker& self, UserShares::Deferred& deferred, fuse_chan* channel) {
  fuse_in_header head;
  std::memcpy(&head, deferred.data.get(), sizeof head);
  fuse_buf request{};
  request.mem = deferred.data.get();
  request.size = deferred.size;
  ServeOne(self, request, channel, head);
}

void Pool::ServeOne(Worker& self, fuse_buf& request, fuse_chan* channel,
                    const fuse_in_header& head) {
  self.opcode.store(head.opcode, std::memory_order_relaxed);
  self.uid.store(head.uid, std::memory_order_relaxed);
  self.pid.store(head.pid, std::memory_order_relaxed);
  self.busy_since.store(Now(), std::memory_order_relaxed);
  if (head.opcode < kOpcodes) {
    auto& count = self.served[head.opcode];
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  // The last reader to go busy wakes the watchdog, once until it rests.
  if (busy_.fetch_add(1) + 1 >= NonParked() && can_grow_ && !armed_.load() && !armed_.exchange(true)) {
    ::sem_post(&wake_main_);
  }
  SetServingRequest(head.unique, head.uid);
  const bool counted_release = DropLibraryLockRecords(session_, request);
  fuse_session_process_buf(session_, &request, channel);
  if (counted_release) ReleaseServed(request);
  ClearServingRequest();
  busy_.fetch_sub(1);
  self.busy_since.store(0, std::memory_order_relaxed);
}

// The user's queue is full: the request is answered at once, without the
// library (which never saw it).
void Pool::Refuse(fuse_chan* channel, const fuse_in_header& head) {
  const bool lock = head.opcode == FUSE_SETLK || head.opcode == FUSE_SETLKW;
  fuse_out_header reply{};
  reply.len = sizeof reply;
  reply.error = lock ? -ENOLCK : -EAGAIN;
  reply.unique = head.unique;
  struct iovec iov = {&reply, sizeof reply};
  fuse_chan_send(channel, &iov, 1);
  refused_.fetch_add(1, std::memory_order_relaxed);
  LogRequestsPastShare(head.uid, shares_.share(), lock ? ENOLCK : EAGAIN);
}

// Beyond the pool's size, with another worker reading: this one is spare.
bool Pool::Surplus() const {
  const int readers = NonParked();
  return readers > size_ && readers - busy_.load() >= 2;
}

bool Pool::StayAfterRequest(Worker& self) {
  if (!Surplus()) return true;
  std::unique_lock lock(mutex_);
  if (stopping_ || !Surplus()) return true;
  self.parked = true;
  parked_.fetch_add(1);
  lock.unlock();
  const struct timespec until = MonotonicIn(kParkedLife);
  while (::sem_clockwait(&self.wake, CLOCK_MONOTONIC, &until) == -1 && errno == EINTR) {
  }
  lock.lock();
  if (!self.parked) {
    // Wanted again (the post may have come just after the wait timed out).
    ::sem_trywait(&self.wake);
    return true;
  }
  self.parked = false;
  parked_.fetch_sub(1);
  workers_.fetch_sub(1);
  for (uint32_t op = 0; op < kOpcodes; ++op) retired_served_[op] += self.served[op].load();
  ::pthread_detach(::pthread_self());
  worker_list_.remove_if([&](const Worker& w) { return &w == &self; });
  return false;
}

void Pool::Grow() {
  for (Worker& worker : worker_list_) {
    if (!worker.parked) continue;
    worker.parked = false;
    parked_.fetch_sub(1);
    ::sem_post(&worker.wake);
    return;
  }
  if (workers_.load() >= max_threads_) return LogPoolAtBound(max_threads_);
  if (!StartWorker()) LogWorkerNotStarted(errno);
}

void Pool::Watch() {
  const Nanos now = Now();
  const std::lock_guard lock(mutex_);
  if (stopping_) return;
  bool all_held = true;
  for (const Worker& worker : worker_list_) {
    if (worker.parked) continue;
    const Nanos since = worker.busy_since.load(std::memory_order_relaxed);
    if (since == 0 || now - since < kHeldAfter) {
      all_held = false;
      break;
    }
  }
  if (all_held) {
    quiet_ticks_ = 0;
    return Grow();
  }
  // Under steady load the workers are all busy now and then: the watchdog
  // rests only after a while without that, so that it is not woken (a
  // system call of a worker) once every few requests.
  if (busy_.load() >= NonParked()) {
    quiet_ticks_ = 0;
  } else if (++quiet_ticks_ >= kQuietTicksBeforeRest) {
    quiet_ticks_ = 0;
    armed_.store(false);
    // A worker that went busy just now saw the watchdog awake.
    if (busy_.load() >= NonParked()) armed_.store(true);
  }
}

LoopEnd Pool::Run() {
  Nanos last_repeat = Now();
  while (!fuse_session_exited(session_)) {
    const struct timespec until = MonotonicIn(armed_.load() ? kWatchTick : kIdleWake);
    ::sem_clockwait(&wake_main_, CLOCK_MONOTONIC, &until);  // a stop signal cuts it short
    if (armed_.load()) Watch();
    const Nanos now = Now();
    if (now - last_repeat >= kIdleWake) {
      LongWaits::Instance().RepeatInterrupts();
      last_repeat = now;
    }
  }
  const bool all_ended = StopWorkers();
  return {failed_.load() ? -1 : 0, !all_ended};
}

// Each worker ends when it next finds the session ended. One that waits for
// a request or a lock is woken by the interrupt signal, repeated, since a
// signal that lands just before its thread blocks does not wake it. A worker
// held in a host call that no signal ends (a file system below the base that
// stopped answering) is given up on after the grace time.
bool Pool::StopWorkers() {
  LongWaits::Instance().Stop();
  const Nanos deadline = Now() + kStopGrace;
  bool all_ended = false;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;  // from now on no worker starts, parks or leaves
      all_ended = true;
      for (Worker& worker : worker_list_) {
        if (worker.finished.load()) continue;
        all_ended = false;
        if (worker.parked) {
          worker.parked = false;
          parked_.fetch_sub(1);
          ::sem_post(&worker.wake);
        }
        ::pthread_kill(worker.thread, InterruptSignal());
      }
      if (all_ended || Now() > deadline) break;
    }
    ::usleep(kStopRepeatMicroseconds);
  }
  const std::lock_guard lock(mutex_);
  for (Worker& worker : worker_list_) {
    if (worker.finished.load()) {
      ::pthread_join(worker.thread, nullptr);
    } else {
      ::pthread_detach(worker.thread);
    }
  }
  if (all_ended) worker_list_.clear();
  return all_ended;
}

void Pool::Snapshot(LoopStatus& out, double older_than_seconds) {
  const Nanos now = Now();
  const Nanos older_than = static_cast<Nanos>(older_than_seconds * 1e9);
  std::array<uint64_t, kOpcodes> served{};
  {
    const std::lock_guard lock(mutex_);
    out.workers = workers_.load();
    out.busy = busy_.load();
    out.parked = parked_.load();
    out.max_threads = max_threads_;
    out.user_share = shares_.share();
    served = retired_served_;
    for (Worker& worker : worker_list_) {
      for (uint32_t op = 0; op < kOpcodes; ++op) served[op] += worker.served[op].load();
      const Nanos since = worker.busy_since.load();
      if (since == 0 || now - since < older_than) continue;
      LoopStatus::InFlight request{worker.opcode.load(), worker.uid.load(), worker.pid.load(), {},
                                   static_cast<double>(now - since) / 1e9};
      worker.path_read.store(true);
      if (const char* path = worker.path.load()) request.path = path;
      worker.path_read.store(false);
      out.in_flight.push_back(std::move(request));
    }
  }
  for (uint32_t op = 0; op < kOpcodes; ++op) {
    if (served[op] != 0) out.requests_by_opcode.emplace_back(op, served[op]);
  }
  for (int error = 0; error < kErrnos; ++error) {
    const uint64_t count = failures_by_errno[error].load(std::memory_order_relaxed);
    if (count != 0) out.failures_by_errno.emplace_back(error, count);
  }
  for (const UserShares::UserLoad& load : shares_.Loads()) {
    out.users.push_back({load.uid, load.in_flight, load.queued});
  }
  out.refused_past_share = refused_.load(std::memory_order_relaxed);
  out.lock_waits = LongWaits::Instance().Waiting();
}

unsigned ProcessorsAvailable() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

// Guards current_pool. Taken after it, for a status report: the pool's
// mutex_, then (once that is let go) the long waits' table mutex.
std::mutex current_pool_mutex;
Pool* current_pool = nullptr;

}  // namespace

LoopEnd ServeRequests(fuse* mounted, const LoopSettings& settings) {
  const int max_threads = settings.single_thread ? 1
                          : settings.max_threads > 0 ? settings.max_threads
                                                     : kDefaultMaxThreads;
  const int size = std::min<int>(max_threads, std::max(2u, ProcessorsAvailable()));
  // Lock waits alone never take more than half the pool, nor one user more
  // than half of their share.
  LongWaits::Instance().SetBounds(std::max(1, max_threads / 4), std::max(1, max_threads / 2));
  ops::InstallLongWaitHooks(LongWaits::Hooks());
  if (!InstallInterruptHandler()) return {-1, false};
  // The library's cache cleaner (for -o remember), as its own loop runs it.
  if (fuse_start_cleanup_thread(mounted) != 0) return {-1, false};
  auto* pool = new Pool(fuse_get_session(mounted), size, max_threads);
  {
    const std::lock_guard lock(current_pool_mutex);
    current_pool = pool;
  }
  LoopEnd end;
  if (pool->Start()) {
    end = pool->Run();
  } else {
    fuse_session_exit(fuse_get_session(mounted));
    end = pool->Run();
    end.result = -1;
  }
  {
    const std::lock_guard lock(current_pool_mutex);
    current_pool = nullptr;
  }
  // Workers still held in a host call keep using the pool and the library's
  // session: both stay, and the process ends soon.
  if (!end.workers_left) {
    fuse_stop_cleanup_thread(mounted);
    delete pool;
  }
  return end;
}

bool SnapshotLoop(LoopStatus& out, double older_than_seconds) {
  const std::lock_guard lock(current_pool_mutex);
  if (current_pool == nullptr) return false;
  current_pool->Snapshot(out, older_than_seconds);
  return true;
}

ServingPath::ServingPath(const char* path) {
  if (serving_worker == nullptr || path == nullptr) return;
  serving_worker->path.store(path);
  set_ = true;
}

ServingPath::~ServingPath() {
  if (!set_) return;
  serving_worker->path.store(nullptr);
  // A status report copying the path finishes before the library frees it.
  while (serving_worker->path_read.load()) {
  }
}

int CountedResult(int result) {
  if (result < 0 && -result < kErrnos) {
    failures_by_errno[-result].fetch_add(1, std::memory_order_relaxed);
  }
  return result;
}

}  // namespace callerfs
