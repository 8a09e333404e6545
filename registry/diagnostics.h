// Diagnostic lines on standard output: one per registry event and per routing
// decision of truncate and getxattr.
//
// Until the writer is started (tests, start-up), and whenever standard output
// is a regular file, each line is written and flushed at once by the thread
// that makes it. Otherwise (a pipe, a terminal, a socket), once the daemon
// serves, lines go through a bounded queue in the order they were made and one writer
// thread puts them on standard output, so a reader that stops reading (a
// full pipe) never holds a request: when the queue is full, lines are
// dropped and counted, and one line saying how many takes their place as
// soon as there is room again.
#pragma once

#include <chrono>
#include <cstdint>

namespace callerfs {

// Called once standard output is settled (after the move to the background,
// if any). When it is /dev/null the lines would reach no one: they are not
// made at all.
void SkipDiagnosticsIfDiscarded();

bool DiagnosticsWanted();

// Starts the writer thread; false (lines stay synchronous) when it cannot
// start. Call with one thread running, before requests are served.
bool StartDiagnosticsWriter();
// Waits up to timeout for the queued lines to be written, then stops the
// writer. A writer stuck on an unread pipe is left behind; the process is
// about to end.
void StopDiagnosticsWriter(std::chrono::milliseconds timeout);

// Lines dropped since start because standard output was not being read.
uint64_t DiagnosticLinesDropped();

// One diagnostic line (format ends with a newline).
[[gnu::format(printf, 1, 2)]] void Diagnostic(const char* format, ...);

}  // namespace callerfs
