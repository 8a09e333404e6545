#include "tests/support/actor.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

// Channels of the actors alive in this process; a new child closes the
// others' ends so each child sees only its own.
std::set<int>& LiveChannels() {
  static std::set<int> channels;
  return channels;
}

}  // namespace

Actor::Actor(uid_t uid, gid_t gid, std::vector<Action> steps) : steps_(std::move(steps)) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(ends[0]);
    for (int fd : LiveChannels()) close(fd);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    Serve(ends[1]);
  }
  close(ends[1]);
  if (pid_ < 0) {
    close(ends[0]);
    return;
  }
  channel_ = ends[0];
  LiveChannels().insert(channel_);
}

void Actor::Start() {
  const char command = 's';
  if (channel_ != -1) send(channel_, &command, 1, MSG_NOSIGNAL);
}

int Actor::Wait(std::chrono::milliseconds timeout) {
  if (!Ready(timeout)) return kStepTimedOut;
  int result = 0;
  if (recv(channel_, &result, sizeof result, MSG_WAITALL) != sizeof result) return kActorGone;
  return result;
}

bool Actor::Ready(std::chrono::milliseconds timeout) {
  if (channel_ == -1) return true;
  pollfd fd{channel_, POLLIN, 0};
  return poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
}

void Actor::Finish() {
  if (channel_ != -1) {
    const char command = 'x';
    send(channel_, &command, 1, MSG_NOSIGNAL);
    LiveChannels().erase(channel_);
    close(channel_);
    channel_ = -1;
  }
  if (pid_ <= 0) return;
  int status = 0;
  ReapWithin(pid_, std::chrono::seconds(10), &status);
  pid_ = -1;
}

void Actor::Serve(int channel) {
  size_t next = 0;
  char command = 0;
  while (recv(channel, &command, 1, 0) == 1 && command == 's') {
    const int result = next < steps_.size() ? steps_[next++]() : -1;
    if (send(channel, &result, sizeof result, MSG_NOSIGNAL) != sizeof result) break;
  }
  _exit(0);
}

}  // namespace callerfs::testing
