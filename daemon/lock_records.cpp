#include "daemon/lock_records.h"

#include <fcntl.h>
#include <linux/fuse.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "registry/lock_owners.h"
#include "registry/open_files_map.h"

namespace callerfs {
namespace {

// A unique the kernel never gives a request: it numbers requests with even
// uniques from 2 on, and their interrupts with odd ones just above them.
constexpr uint64_t kInjectedUnique = UINT64_MAX;
constexpr uint64_t kToTheEnd = INT64_MAX;  // the protocol's end offset of a lock to the end

struct UnlockRequest {
  fuse_in_header head;
  fuse_lk_in body;
};

int DiscardReply(fuse_chan*, const struct iovec[], size_t) { return 0; }

fuse_chan* DiscardingChannel() {
  static fuse_chan_ops operations{nullptr, DiscardReply, nullptr};
  static fuse_chan* const channel = fuse_chan_new(&operations, -1, 0, nullptr);
  return channel;
}

// The node id must be one the library knows (it aborts on any other): that
// of the RELEASE, whose open keeps the node until the library has seen it.
void HandLibraryUnlock(fuse_session* session, uint64_t node, uint64_t fh, uint64_t owner) {
  fuse_chan* channel = DiscardingChannel();
  if (channel == nullptr) return;
  UnlockRequest request{};
  request.head.len = sizeof request;
  request.head.opcode = FUSE_SETLK;
  request.head.unique = kInjectedUnique;
  request.head.nodeid = node;  // uid, gid, pid 0: the kernel's own, as for a release
  request.body.fh = fh;
  request.body.owner = owner;
  request.body.lk.start = 0;
  request.body.lk.end = kToTheEnd;
  request.body.lk.type = F_UNLCK;
  fuse_buf buffer{};
  buffer.size = sizeof request;
  buffer.mem = &request;
  fuse_session_process_buf(session, &buffer, channel);
}

// The descriptor a RELEASE closes a reference of, or -1 for any other request.
int ReleasedDescriptor(const fuse_buf& request) {
  constexpr size_t kReleaseSize = sizeof(fuse_in_header) + sizeof(fuse_release_in);
  if ((request.flags & FUSE_BUF_IS_FD) || request.size < kReleaseSize) return -1;
  fuse_in_header head;
  std::memcpy(&head, request.mem, sizeof head);
  if (head.opcode != FUSE_RELEASE || head.len < kReleaseSize) return -1;
  fuse_release_in release;
  std::memcpy(&release, static_cast<const char*>(request.mem) + sizeof head, sizeof release);
  return static_cast<int>(static_cast<uint32_t>(release.fh));
}

// Releases in flight per descriptor with lock owners: two last releases of
// one shared descriptor served at once must not each take the other's
// reference for one that stays.
struct InFlight {
  // Guards by_fd. Taken after it: the registry's mutex (ReferenceCount, which
  // makes no line) and no other.
  std::mutex mutex;
  std::unordered_map<int, int> by_fd;
};
InFlight& Releases() {
  static auto* releases = new InFlight;
  return *releases;
}

}  // namespace

bool DropLibraryLockRecords(fuse_session* session, const fuse_buf& request) {
  const int fd = ReleasedDescriptor(request);
  if (fd == -1 || !LockOwners::Instance().AnyOn(fd)) return false;
  bool last;
  {
    InFlight& releases = Releases();
    const std::lock_guard lock(releases.mutex);
    const int releasing = ++releases.by_fd[fd];
    // Owners are ended when their descriptor closes, at its last release;
    // an earlier one leaves them (and their locks) to the opens still
    // sharing it.
    last = OpenFilesMap::Instance().ReferenceCount(fd) - releasing <= 0;
  }
  if (last) {
    fuse_in_header head;
    std::memcpy(&head, request.mem, sizeof head);
    fuse_release_in release;
    std::memcpy(&release, static_cast<const char*>(request.mem) + sizeof head, sizeof release);
    thread_local std::vector<uint64_t> owners;
    LockOwners::Instance().OwnersOn(fd, owners);
    for (const uint64_t owner : owners) HandLibraryUnlock(session, head.nodeid, release.fh, owner);
  }
  return true;
}

void ReleaseServed(const fuse_buf& request) {
  const int fd = ReleasedDescriptor(request);
  if (fd == -1) return;
  InFlight& releases = Releases();
  const std::lock_guard lock(releases.mutex);
  const auto found = releases.by_fd.find(fd);
  if (found != releases.by_fd.end() && --found->second <= 0) releases.by_fd.erase(found);
}

}  // namespace callerfs
