// A forked child acting as one user. It runs prepared steps one at a time when
// the test says so, so a test can interleave several users' calls and keep
// descriptors open across them. Steps run in the child: whatever they capture
// by reference is the child's own copy. Each returns 0 when things went as
// the step expects, or an errno (or another code) otherwise.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <vector>

namespace callerfs::testing {

class Actor {
 public:
  using Action = std::function<int()>;
  static constexpr int kStepTimedOut = -2;
  static constexpr int kActorGone = -3;

  Actor(uid_t uid, gid_t gid, std::vector<Action> steps);
  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;
  ~Actor() { Finish(); }

  bool ok() const { return channel_ != -1; }
  pid_t pid() const { return pid_; }

  // Lets the child run its next step.
  void Start();
  // The result of the started step.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Whether the started step has ended within timeout.
  bool Ready(std::chrono::milliseconds timeout);
  int Step() {
    Start();
    return Wait();
  }
  // Tells the child to exit (killing it if it does not) and reaps it.
  void Finish();

 private:
  [[noreturn]] void Serve(int channel);

  std::vector<Action> steps_;
  pid_t pid_ = -1;
  int channel_ = -1;
};

}  // namespace callerfs::testing
