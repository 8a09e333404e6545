#include "registry/open_files_map.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "registry/diagnostics.h"

namespace callerfs {
namespace {

std::atomic<OpenFilesMap::CallerUidSource> caller_uid_source{nullptr};

// Registry lines are made under lock_, so they reach the output in the order
// the events happened.
template <typename... Args>
void Line(const char* format, Args... args) {
  Diagnostic(format, args...);
}

}  // namespace

OpenFilesMap& OpenFilesMap::Instance() {
  // Function-local static: constructed exactly once even when several
  // threads make the first call together.
  static OpenFilesMap instance;
  return instance;
}

void OpenFilesMap::SetCallerUidSource(CallerUidSource source) { caller_uid_source.store(source); }

uid_t OpenFilesMap::SourcedUid() {
  const CallerUidSource source = caller_uid_source.load(std::memory_order_relaxed);
  return source != nullptr ? source() : static_cast<uid_t>(-1);
}

void OpenFilesMap::SetCloseFunction(CloseFunction close_fn) {
  std::lock_guard guard(lock_);
  close_fn_ = close_fn ? close_fn : ::close;
}

MappingKeyView OpenFilesMap::MakeKeyView(uid_t uid, std::string_view path) {
  Line("Returning pair %u%.*s\n", uid, static_cast<int>(path.size()), path.data());
  return {static_cast<int32_t>(uid), path};
}

MappingKey OpenFilesMap::MakeKey(uid_t uid, const char* path) {
  const MappingKeyView view = MakeKeyView(uid, path);
  return {view.uid, std::string(view.path)};
}

bool OpenFilesMap::AddMapping(uid_t uid, const char* path, int fd, int flags, bool close_on_last_drop) {
  if (path == nullptr || fd == -1 || path[0] == '\0') return false;
  std::lock_guard guard(lock_);
  if (fd_map_.contains(fd)) return false;
  auto [path_entry, inserted] = path_map_.emplace(MakeKey(uid, path), fd);
  if (!inserted) return false;
  try {
    fd_map_.emplace(fd, HandleEntry{path_entry, flags, 1, close_on_last_drop});
  } catch (...) {
    path_map_.erase(path_entry);  // keep the two maps one to one
    throw;
  }
  Line("OpenFilesMap::AddMapping Injected mapping %s to %d refcount %d\n", path, fd, 1);
  return true;
}

int OpenFilesMap::GetMapping(uid_t uid, const char* path) {
  if (path == nullptr) return -1;
  std::lock_guard guard(lock_);
  auto found = path_map_.find(MakeKeyView(uid, path));
  if (found == path_map_.end()) return -1;
  const int fd = found->second;
  HandleEntry& record = fd_map_.find(fd)->second;
  ++record.refcount;
  Line("OpenFilesMap::GetMapping uid %d found %s handle %d refcount %d\n", found->first.uid,
       found->first.path.c_str(), fd, record.refcount);
  return fd;
}

int OpenFilesMap::GetMode(int fd) {
  std::lock_guard guard(lock_);
  auto record = fd_map_.find(fd);
  return record == fd_map_.end() ? -1 : record->second.flags;
}

int OpenFilesMap::ReferenceCount(int fd) {
  std::lock_guard guard(lock_);
  auto record = fd_map_.find(fd);
  return record == fd_map_.end() ? 0 : record->second.refcount;
}

int OpenFilesMap::GetMappingWithMode(uid_t uid, const char* path, int mask, int wanted) {
  const int fd = GetMapping(uid, path);
  if (fd == -1) return -1;
  if ((GetMode(fd) & mask) == wanted) return fd;
  RemoveMapping(fd);
  return -1;
}

bool OpenFilesMap::RemoveMapping(int fd) {
  if (fd == -1) return false;
  int to_close = -1;
  CloseFunction close_fn;
  {
    std::lock_guard guard(lock_);
    auto record = fd_map_.find(fd);
    if (record == fd_map_.end()) return false;
    to_close = DropLocked(record);
    close_fn = close_fn_;
  }
  // A close can block (a network file system flushing, a FUSE file system
  // below the base): never with lock_ held. The descriptor is unregistered
  // already, so no other request can reach it meanwhile.
  if (to_close != -1) close_fn(to_close);
  return true;
}

int OpenFilesMap::DropLocked(FdMap::iterator record) {
  HandleEntry& entry = record->second;
  const int fd = record->first;
  const MappingKey& key = entry.path_entry->first;
  const int32_t old_count = entry.refcount--;
  if (old_count > 1) {
    Line("OpenFilesMap::RemoveMapping found mapping %s uid %d to %d refcount now %d\n",
         key.path.c_str(), key.uid, fd, entry.refcount);
    return -1;
  }
  int to_close = -1;
  if (entry.close_on_last_drop) {
    Line("OpenFilesMap::RemoveMapping close %s uid %d handle %d\n", key.path.c_str(), key.uid, fd);
    to_close = fd;
  } else {
    Line("OpenFilesMap::RemoveMapping erase but NOT close %s uid %d handle %d\n", key.path.c_str(),
         key.uid, fd);
  }
  const PathMap::iterator path_entry = entry.path_entry;
  fd_map_.erase(record);
  path_map_.erase(path_entry);
  return to_close;
}

bool OpenFilesMap::CloseMapping(int fd) {
  if (fd == -1) return false;
  {
    std::lock_guard guard(lock_);
    auto record = fd_map_.find(fd);
    if (record == fd_map_.end()) return false;
    record->second.close_on_last_drop = true;
  }
  return RemoveMapping(fd);
}

bool OpenFilesMap::RemoveMappingByPath(uid_t uid, const char* path) {
  if (path == nullptr) return false;
  int fd;
  {
    std::lock_guard guard(lock_);
    auto found = path_map_.find(MakeKeyView(uid, path));
    if (found == path_map_.end()) return false;
    fd = found->second;
  }
  return RemoveMapping(fd);
}

}  // namespace callerfs
