// The multi-threaded request loop: a fixed pool of threads, one per
// processor (at least two), each reading a request from the kernel and
// serving it.
//
// Why not the library's pool: it starts a thread whenever the last idle one
// takes a request and keeps up to ten idle, all waiting in the kernel. The
// kernel hands each request to the waiter that has slept longest, so nearly
// every request woke a cold thread, often on the other processor, while the
// thread that had just replied went back to sleep. With no more readers than
// processors, the thread that replies usually finds the next request already
// queued and takes it without sleeping.
//
// A fixed pool must not be starved by requests that wait on other processes:
// a lock wait can last until a process that needs this daemon lets go. Such a
// wait is marked with LongWait; while it lasts, another thread reads in its
// place, and an interrupt the kernel sends for the request (the caller got a
// signal) ends it.
#pragma once

#include <fuse.h>

namespace callerfs {

// Serves the mount until it is unmounted or the session is told to exit (the
// library's signal handlers do that on SIGTERM, SIGINT and SIGHUP).
// One thread per processor the daemon may run on, at least two. 0 when the
// mount ended normally, -1 on an error.
int ServeOnThreadPool(fuse* mounted);

// Marks a wait that may last as long as another process wants (a lock wait)
// on a thread of the pool. Elsewhere (the single-threaded loop, tests), or
// when may_last is false, it does nothing.
class LongWait {
 public:
  explicit LongWait(bool may_last = true);
  LongWait(const LongWait&) = delete;
  LongWait& operator=(const LongWait&) = delete;
  ~LongWait();

  // The kernel interrupted the request before the wait began: do not start it
  // (answer EINTR). Later interrupts reach the thread as a signal, which ends
  // a blocking system call with EINTR.
  bool interrupted() const { return interrupted_; }

 private:
  bool on_pool_ = false;
  bool interrupted_ = false;
};

}  // namespace callerfs
