#include "ops/long_wait.h"

#include <atomic>

namespace callerfs::ops {
namespace {

// Written once before requests are served; end before begin, so a thread that
// sees begin sees end too.
std::atomic<WaitAdmission (*)(uid_t&)> begin_hook{nullptr};
std::atomic<void (*)(uid_t)> end_hook{nullptr};

}  // namespace

void InstallLongWaitHooks(const LongWaitHooks& hooks) {
  end_hook.store(hooks.end, std::memory_order_release);
  begin_hook.store(hooks.begin, std::memory_order_release);
}

LongWait::LongWait(bool may_last) {
  if (!may_last) return;
  const auto begin = begin_hook.load(std::memory_order_acquire);
  if (begin != nullptr) state_ = begin(uid_);
}

LongWait::~LongWait() {
  if (state_ == WaitAdmission::kWaiting) end_hook.load(std::memory_order_relaxed)(uid_);
}

}  // namespace callerfs::ops
