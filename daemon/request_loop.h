// The request loop: a pool of worker threads, each reading a request from
// the kernel and serving it, that grows when its workers are held.
//
// Why not the library's pool: it keeps up to ten idle readers waiting in the
// kernel, which hands each request to the one that has slept longest, so
// nearly every request woke a cold thread, often on the other processor.
// Here the readers are as many as the processors (at least two), so the
// thread that replies usually finds the next request queued and takes it
// without sleeping.
//
// Growth: a request may block for as long as something outside the daemon
// wants (a lease break, a file system below the base that stopped
// answering, a lock wait, a self-deadlock of a careless caller). A watchdog
// (the main thread) is woken when every worker is busy and looks every 2 ms
// until none has been for 100 ms; when every
// worker has been in its request for longer than a few milliseconds, it
// gives the pool one more reader: a parked worker, or a new thread, up to
// max_threads. A worker that finishes its request while another worker is
// reading and the pool is beyond its size parks; a worker parked for two
// seconds ends. So short bursts start nothing, and surplus threads neither
// read nor churn.
//
// Fairness: no user has more than half of max_threads requests in flight;
// their further requests wait, without a worker, for one of their own to
// end (user_share.h). Lock waits are bounded too, and an interrupt from the
// kernel ends one (interrupts.h).
#pragma once

#include <fuse.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace callerfs {

struct LoopSettings {
  bool single_thread = false;  // -s: one worker, no growth
  int max_threads = 0;         // the bound on workers; 0: kDefaultMaxThreads
};

// Default bound on workers: far above what blocked requests of a few users
// need, and far below the host's task limits.
inline constexpr int kDefaultMaxThreads = 256;

// What ServeRequests' caller must do after it returns.
struct LoopEnd {
  int result = 0;  // 0 when the mount ended normally, -1 on an error
  // Workers still stuck in a host call (a hung file system below the base)
  // when the loop gave up waiting for them: the library's state must not be
  // freed under them.
  bool workers_left = false;
};

// Serves the mount until it is unmounted or the session is told to exit (the
// library's signal handlers do that on SIGTERM, SIGINT and SIGHUP). Every
// worker has ended, or been given up on, when it returns; the calling thread
// never serves a request, so it keeps the daemon's credentials.
LoopEnd ServeRequests(fuse* mounted, const LoopSettings& settings);

// Names the path of the request the calling worker serves, for the status
// report, for the scope's lifetime. nullptr names none.
class ServingPath {
 public:
  explicit ServingPath(const char* path);
  ServingPath(const ServingPath&) = delete;
  ServingPath& operator=(const ServingPath&) = delete;
  ~ServingPath();

 private:
  bool set_ = false;
};

// Counts a handler's result (failures by errno) and returns it.
int CountedResult(int result);

// A snapshot of the loop for the status report.
struct LoopStatus {
  int workers = 0, busy = 0, parked = 0, max_threads = 0, user_share = 0;
  int lock_waits = 0;
  struct InFlight {
    uint32_t opcode, uid, pid;
    std::string path;
    double age_seconds;
  };
  std::vector<InFlight> in_flight;  // requests older than `older_than`
  struct UserLoad {
    uid_t uid;
    int in_flight, queued;
  };
  std::vector<UserLoad> users;
  std::vector<std::pair<uint32_t, uint64_t>> requests_by_opcode;  // non-zero only
  std::vector<std::pair<int, uint64_t>> failures_by_errno;        // non-zero only
  uint64_t refused_past_share = 0;
};
// False when no loop is serving.
bool SnapshotLoop(LoopStatus& out, double older_than_seconds);

}  // namespace callerfs
