// OpenFilesMap: the process-wide registry of descriptors the daemon holds open
// for its callers, keyed by (caller uid, path). The handlers name the caller:
// the registry knows nothing of requests.
//
// Ownership: the registry owns its keys and records (with their path copies).
// It does not duplicate descriptors: the registry and the opener hold the same
// number. A record registered with close_on_last_drop is closed by the drop
// that takes its count from 1; nothing is closed when the registry itself is
// destroyed at process exit.
//
// Invariants while `lock_` is free:
//   - path_map_ and fd_map_ correspond one to one (same size; every fd_map_
//     record points at the path_map_ entry that maps to its descriptor);
//   - a key and a descriptor are registered at most once;
//   - every reference count is >= 1;
//   - descriptor -1 and empty paths are never registered.
//
// Thread safety: every public operation takes `lock_` itself (non-recursive)
// and never calls another locking operation while holding it. The diagnostic
// lines are made under the lock, so they come out in the order of the events;
// the close function runs after the lock is released (a close may block), on
// a descriptor already unregistered, so no other request can reach it. GetMappingWithMode,
// CloseMapping and RemoveMappingByPath lock more than once; between the steps
// other threads may act, and each step looks the descriptor up afresh.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace callerfs {

// Access-mode bits plus O_PATH: a handle is write-only when
// (flags & kWriteOnlyMask) == O_WRONLY.
inline constexpr int kWriteOnlyMask = O_ACCMODE | O_PATH;
// 0x200003 where O_PATH has the kernel's generic number (alpha, parisc and
// sparc number it otherwise).
#if !defined(__alpha__) && !defined(__hppa__) && !defined(__sparc__)
static_assert(kWriteOnlyMask == 0x200003);
#endif

struct MappingKey {
  int32_t uid;
  std::string path;
};

// Non-owning form of a key, so lookups need no path copy.
struct MappingKeyView {
  int32_t uid;
  std::string_view path;
};

// Ordered by uid (signed), then path bytes as unsigned, shorter first.
struct MappingKeyLess {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    if (a.uid != b.uid) return a.uid < b.uid;
    // std::string_view compares through char_traits<char>, which orders
    // bytes as unsigned char.
    return std::string_view(a.path) < std::string_view(b.path);
  }
};

class OpenFilesMap {
 public:
  using CloseFunction = int (*)(int);
  using CallerUidSource = uint32_t (*)();

  static OpenFilesMap& Instance();

  OpenFilesMap(const OpenFilesMap&) = delete;
  OpenFilesMap& operator=(const OpenFilesMap&) = delete;

  // nullptr selects the system close().
  void SetCloseFunction(CloseFunction close_fn);

  // Registers fd under (uid, path) with one reference. False, with nothing
  // changed, for a null/empty path, fd -1, an fd already registered or a key
  // already registered.
  bool AddMapping(uid_t uid, const char* path, int fd, int flags, bool close_on_last_drop);

  // Descriptor registered for (uid, path) with a reference taken, or -1.
  int GetMapping(uid_t uid, const char* path);

  // Flags recorded for fd, or -1 when fd is not registered. No reference taken.
  int GetMode(int fd);

  // References held on fd, or 0 when fd is not registered. Takes none and
  // writes nothing.
  int ReferenceCount(int fd);

  // As GetMapping, but only when (flags & mask) == wanted; otherwise the
  // reference is given back and the result is -1.
  int GetMappingWithMode(uid_t uid, const char* path, int mask, int wanted);

  // Drops one reference; the last one erases the record (and closes fd when
  // it was registered with close_on_last_drop). False when fd is unknown.
  bool RemoveMapping(int fd);

  // Marks fd to be closed at its last drop, then drops one reference.
  bool CloseMapping(int fd);

  // Drops one reference of the descriptor registered for (uid, path).
  bool RemoveMappingByPath(uid_t uid, const char* path);

  // The key (uid, path); writes the key line. Callers hold the lock.
  MappingKey MakeKey(uid_t uid, const char* path);

  // The forms above that key by a uid, taking it from the caller-uid source
  // instead: the unit tests' way of acting as several users in turn. Without
  // a source they key under uid -1, which no caller has.
  bool AddMapping(const char* path, int fd, int flags, bool close_on_last_drop) {
    return AddMapping(SourcedUid(), path, fd, flags, close_on_last_drop);
  }
  int GetMapping(const char* path) { return GetMapping(SourcedUid(), path); }
  int GetMappingWithMode(const char* path, int mask, int wanted) {
    return GetMappingWithMode(SourcedUid(), path, mask, wanted);
  }
  bool RemoveMappingByPath(const char* path) { return RemoveMappingByPath(SourcedUid(), path); }

  // Installs the caller-uid source of the forms without a uid; nullptr
  // removes it.
  static void SetCallerUidSource(CallerUidSource source);

 private:
  struct HandleEntry;
  using PathMap = std::map<MappingKey, int, MappingKeyLess>;
  using FdMap = std::map<int, HandleEntry>;

  struct HandleEntry {
    PathMap::iterator path_entry;
    int32_t flags;
    int32_t refcount;
    bool close_on_last_drop;
  };

  OpenFilesMap() = default;
  ~OpenFilesMap() = default;

  // The caller-uid source's answer, or uid -1 without one.
  static uid_t SourcedUid();
  // As MakeKey, without copying the path.
  MappingKeyView MakeKeyView(uid_t uid, std::string_view path);
  // Drop step of RemoveMapping; lock_ held. The descriptor the caller must
  // close once lock_ is released, or -1.
  int DropLocked(FdMap::iterator record);

  // Guards path_map_, fd_map_ and close_fn_. Taken after it: only what a
  // diagnostic line takes (the queue's mutex), as registry lines are made
  // under it. The close function, which takes the lock owners' and the
  // descriptor quota's mutexes, runs after it is let go, so neither is ever
  // taken under it. It is taken after the library lock records' in-flight
  // mutex (daemon/lock_records.cpp).
  std::mutex lock_;
  PathMap path_map_;                     // guarded by lock_
  FdMap fd_map_;                         // guarded by lock_
  CloseFunction close_fn_ = ::close;     // guarded by lock_
};

}  // namespace callerfs
