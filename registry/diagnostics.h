// Diagnostic lines on standard output: one per registry event and per routing
// decision of truncate and getxattr.
#pragma once

#include <atomic>
#include <cstdio>

namespace callerfs {

namespace internal {
inline std::atomic<bool> diagnostics_discarded{false};
}

// Called at mount time, once the FUSE library has settled where standard
// output goes. In the background it is /dev/null: the lines would then cost a
// system call each (under the registry's lock, for its lines) and reach no one,
// so they are not written at all.
void SkipDiagnosticsIfDiscarded();

inline bool DiagnosticsWanted() {
  return !internal::diagnostics_discarded.load(std::memory_order_relaxed);
}

// One diagnostic line, written with the standard formatted print.
template <typename... Args>
void Diagnostic(const char* format, Args... args) {
  if (DiagnosticsWanted()) std::printf(format, args...);
}

}  // namespace callerfs
