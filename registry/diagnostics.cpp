#include "registry/diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace callerfs {
namespace {

// About ten thousand lines: an `ls -lR` of a few thousand entries fits while
// the reader catches up; beyond it a reader that has stopped costs nothing.
constexpr size_t kQueueBytes = 1 << 20;
constexpr size_t kLineBytes = 512;  // longer lines are formatted on the heap

std::atomic<bool> discarded{false};
std::atomic<bool> queued{false};  // the writer runs: lines go through the queue

struct Queue {
  // Guards the fields below; no other lock is taken after it. Taken under the
  // registry's mutex (its lines are made there).
  std::mutex mutex;
  std::condition_variable changed;
  std::string pending;     // lines not yet handed to the writer, in order
  bool writing = false;    // the writer holds lines it has not finished writing
  bool stopping = false;
  uint64_t dropped = 0;    // lines dropped since the last notice
  std::atomic<uint64_t> dropped_total{0};
  std::thread writer;
};
// Never destroyed: a writer left on an unread pipe may outlive main.
Queue& TheQueue() {
  static Queue* queue = new Queue;
  return *queue;
}

int DroppedNotice(char* buffer, size_t size, uint64_t dropped) {
  return std::snprintf(buffer, size,
                       "callerfs: %llu diagnostic lines dropped: standard output was not being read\n",
                       static_cast<unsigned long long>(dropped));
}

void WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == -1 && errno != EINTR) {
      return;  // standard output closed or broken: these lines reach no one
    }
  }
}

void WriterLoop() {
  Queue& q = TheQueue();
  std::string out;
  out.reserve(kQueueBytes);
  std::unique_lock lock(q.mutex);
  for (;;) {
    q.changed.wait(lock, [&] { return !q.pending.empty() || q.dropped > 0 || q.stopping; });
    if (q.dropped > 0) {
      // Output drains again: say how many lines it missed, where they were.
      char notice[128];
      const int length = DroppedNotice(notice, sizeof notice, q.dropped);
      q.pending.append(notice, static_cast<size_t>(length));
      q.dropped = 0;
    }
    if (q.pending.empty()) return;  // stopping, all written
    out.swap(q.pending);
    q.writing = true;
    lock.unlock();
    WriteAll(out);
    out.clear();
    lock.lock();
    q.writing = false;
    q.changed.notify_all();  // StopDiagnosticsWriter may wait for the drain
  }
}

void Enqueue(const char* line, size_t length) {
  Queue& q = TheQueue();
  char notice[128];
  const std::lock_guard lock(q.mutex);
  size_t notice_length = 0;
  if (q.dropped > 0) {
    notice_length = static_cast<size_t>(DroppedNotice(notice, sizeof notice, q.dropped));
  }
  if (q.pending.size() + notice_length + length > kQueueBytes) {
    ++q.dropped;
    q.dropped_total.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const bool was_empty = q.pending.empty();
  q.pending.append(notice, notice_length).append(line, length);
  q.dropped = 0;
  if (was_empty) q.changed.notify_all();
}

}  // namespace

void SkipDiagnosticsIfDiscarded() {
  struct stat out, null;
  const bool is_null = ::fstat(STDOUT_FILENO, &out) == 0 && ::stat("/dev/null", &null) == 0 &&
                       S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
  discarded.store(is_null, std::memory_order_relaxed);
}

bool DiagnosticsWanted() { return !discarded.load(std::memory_order_relaxed); }

bool StartDiagnosticsWriter() {
  if (!DiagnosticsWanted() || queued.load()) return true;
  // A regular file always takes what is written: lines stay synchronous,
  // on it when their request is answered.
  struct stat out;
  if (::fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) return true;
  Queue& q = TheQueue();
  try {
    q.pending.reserve(kQueueBytes);
    q.writer = std::thread(WriterLoop);
  } catch (...) {
    return false;
  }
  std::fflush(stdout);  // what stdio holds goes first
  queued.store(true);
  return true;
}

void StopDiagnosticsWriter(std::chrono::milliseconds timeout) {
  if (!queued.load()) return;
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  const bool drained =
      q.changed.wait_for(lock, timeout, [&] { return q.pending.empty() && !q.writing; });
  q.stopping = true;
  q.changed.notify_all();
  lock.unlock();
  queued.store(false);
  if (drained) {
    q.writer.join();
  } else {
    q.writer.detach();
  }
}

uint64_t DiagnosticLinesDropped() {
  return TheQueue().dropped_total.load(std::memory_order_relaxed);
}

void Diagnostic(const char* format, ...) {
  if (!DiagnosticsWanted()) return;
  va_list args;
  va_start(args, format);
  if (!queued.load(std::memory_order_acquire)) {
    std::vprintf(format, args);
    std::fflush(stdout);
    va_end(args);
    return;
  }
  char line[kLineBytes];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  if (length >= 0 && static_cast<size_t>(length) < sizeof line) {
    Enqueue(line, static_cast<size_t>(length));
  } else if (length >= 0) {
    try {
      std::string long_line(static_cast<size_t>(length) + 1, '\0');
      std::vsnprintf(long_line.data(), long_line.size(), format, again);
      Enqueue(long_line.data(), static_cast<size_t>(length));
    } catch (...) {
      // No memory for one long line: it is lost, the request goes on.
    }
  }
  va_end(again);
  va_end(args);
}

}  // namespace callerfs
