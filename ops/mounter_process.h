// Serving the mounter of a FUSE file system mounted without allow_other.
//
// The kernel lets into such a file system only processes whose real,
// effective and saved uids and gids are all its mounter's. The serving
// threads keep root's real and saved uid (a user holding them could signal
// the daemon and change its limits), so on such a mount every request fails
// with EACCES there, as it does for everyone else on the host. For its
// mounter, a request refused that way is served again from a short-lived
// process that takes the mounter's ids whole and ends with the request.
//
// The process shares the daemon's memory (it writes its answers in place and
// the serving thread waits for it to end) but not its descriptors: it starts
// from an empty table holding copies of only the few descriptors the request
// needs, under the daemon's numbers, and hands a descriptor it opens back
// over a socket. The mounter may stop or kill it at any instant, so what runs
// in it makes system calls only: no lock, no allocation, nothing another
// thread could be left waiting for.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

namespace callerfs::ops {

// A FUSE file system without allow_other on the host, where the mirror
// shows it: at, a request path ("/" when it covers the whole tree).
struct FuseMounter {
  uid_t uid;
  gid_t gid;
  std::string at;
};
// Replaces the last list. Root's are left out: the threads serve it already.
void SetFuseMounters(std::vector<FuseMounter> mounters);

// Whether the serving thread acts for a user who mounted such a file system
// at or above path (any of theirs, for a null path: a request on an open
// file).
bool ActingForFuseMounter(const char* path);

// Whether fd lies on a FUSE file system.
bool OnFuse(int fd);

namespace internal {
int RunInMountersProcess(int (*work)(void*), void* state, std::initializer_list<int> descriptors,
                         UniqueFd* handed_back);
}  // namespace internal

// Runs work() in a process of the user the serving thread acts for (see
// above), which sees the base directory and the descriptors listed. work
// returns 0, a count or -errno, and its result is returned; -EINTR when the
// process was killed, -EPERM when it could not take the user's ids. With
// handed_back, a descriptor work returns reaches the daemon there, and 0 is
// returned for it.
template <typename Work>
int InMountersProcess(Work&& work, std::initializer_list<int> descriptors = {},
                      UniqueFd* handed_back = nullptr) {
  auto run = [](void* state) { return (*static_cast<std::remove_reference_t<Work>*>(state))(); };
  return internal::RunInMountersProcess(run, &work, descriptors, handed_back);
}

}  // namespace callerfs::ops
