#include "daemon/lock_records.h"

#include <fcntl.h>
#include <linux/fuse.h>

#include <cstdint>
#include <cstring>
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

}  // namespace

void DropLibraryLockRecords(fuse_session* session, const fuse_buf& request) {
  constexpr size_t kReleaseSize = sizeof(fuse_in_header) + sizeof(fuse_release_in);
  if ((request.flags & FUSE_BUF_IS_FD) || request.size < kReleaseSize) return;
  fuse_in_header head;
  std::memcpy(&head, request.mem, sizeof head);
  if (head.opcode != FUSE_RELEASE || head.len < kReleaseSize) return;
  fuse_release_in release;
  std::memcpy(&release, static_cast<const char*>(request.mem) + sizeof head, sizeof release);
  const int fd = static_cast<int>(static_cast<uint32_t>(release.fh));
  // Owners are ended when their descriptor closes, at its last release; an
  // earlier one leaves them (and their locks) to the opens still sharing it.
  if (!LockOwners::Instance().AnyOn(fd) || OpenFilesMap::Instance().ReferenceCount(fd) > 1) return;
  thread_local std::vector<uint64_t> owners;
  LockOwners::Instance().OwnersOn(fd, owners);
  for (const uint64_t owner : owners) HandLibraryUnlock(session, head.nodeid, release.fh, owner);
}

}  // namespace callerfs
