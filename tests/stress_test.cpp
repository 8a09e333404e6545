// Concurrency stress through a real mount: two users, each a process with
// several threads, run a random mix of opens (write-only, read-only and
// read-write, so that write-only opens of one user share descriptors), data
// calls, truncation by descriptor and by path, stat, getxattr, renames,
// unlinks and closes over a few shared paths for a bounded time. Next to that,
// every thread keeps a small model of its own private files (which object each
// name holds, the bytes each object must contain, which descriptors are open on
// which object) and checks the mount against it as it goes: data read through
// descriptors, sizes and extended attributes seen by path, truncation by path
// after the name was renamed away or replaced. Afterwards the daemon must still
// serve, hold no descriptor on the tree, and every private file must hold
// exactly what its writer wrote, through the mount and on the host.
//
// CALLERFS_STRESS_SECONDS sets the duration (default 60 s, 20 s in sanitizer
// builds); CALLERFS_STRESS_SEED fixes the random seed.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mount_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CALLERFS_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CALLERFS_STRESS_SANITIZED 1
#endif
#endif

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uid_t kUsers[] = {1000, 1001};
constexpr gid_t kGroup = 100;
constexpr int kThreadsPerUser = 4;
constexpr int kPrivateNames = 3;  // names per thread, in its user's directory
constexpr int kMaxHeld = 4;       // descriptors a thread keeps open per kind
constexpr size_t kMaxFileSize = 64 << 10;
constexpr size_t kMaxFailuresPerThread = 30;
// Counts of expected errors are kept under this prefix, next to the calls.
constexpr char kErrorKey[] = "refused: ";

int StressSeconds() {
  if (const char* value = std::getenv("CALLERFS_STRESS_SECONDS")) {
    const int seconds = std::atoi(value);
    if (seconds > 0) return seconds;
  }
#ifdef CALLERFS_STRESS_SANITIZED
  return 20;
#else
  return 60;
#endif
}

uint64_t StressSeed() {
  if (const char* value = std::getenv("CALLERFS_STRESS_SEED"))
    return std::strtoull(value, nullptr, 0);
  return static_cast<uint64_t>(Clock::now().time_since_epoch().count());
}

std::string UserDir(uid_t uid) { return "u" + std::to_string(uid); }

// Paths that every thread of both users works on. A user's directory is
// writable by that user only, so the other user's writes there are refused.
std::vector<std::string> SharedNames() {
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) names.push_back("shared/s" + std::to_string(i));
  for (uid_t uid : kUsers) {
    for (int i = 0; i < 2; ++i) names.push_back(UserDir(uid) + "/s" + std::to_string(i));
  }
  return names;
}

std::string PrivateName(uid_t uid, int thread, int k) {
  return UserDir(uid) + "/p" + std::to_string(thread) + "-" + std::to_string(k);
}

std::string ExpectedPath(const std::string& report_dir, uid_t uid, int thread, int k) {
  return report_dir + "/expect-" + std::to_string(uid) + "-" + std::to_string(thread) + "-" +
         std::to_string(k);
}

bool IsWritable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }
bool IsReadable(int flags) { return (flags & O_ACCMODE) != O_WRONLY; }

std::string FlagsText(int flags) {
  std::string text = (flags & O_ACCMODE) == O_RDONLY   ? "O_RDONLY"
                     : (flags & O_ACCMODE) == O_WRONLY ? "O_WRONLY"
                                                       : "O_RDWR";
  if (flags & O_CREAT) text += "|O_CREAT";
  if (flags & O_EXCL) text += "|O_EXCL";
  if (flags & O_TRUNC) text += "|O_TRUNC";
  if (flags & O_APPEND) text += "|O_APPEND";
  return text;
}

// Reads a whole file through an open descriptor from offset 0.
bool ReadAll(int fd, std::string& out) {
  out.clear();
  char buffer[16384];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, at);
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer, static_cast<size_t>(got));
    at += got;
  }
}

// The bytes a private object must contain, and its identity (stored in the
// file's user.obj attribute when the object is made).
struct Object {
  long id = 0;
  std::string data;
};

struct PrivateHeld {
  int fd;
  int flags;
  std::shared_ptr<Object> object;
};

struct SharedHeld {
  int fd;
  int flags;
  std::string path;
};

class Worker {
 public:
  Worker(std::string mnt, std::string src, std::string report_dir, uid_t uid, int index,
         uint64_t seed, Clock::time_point end)
      : mnt_(std::move(mnt)),
        src_(std::move(src)),
        report_dir_(std::move(report_dir)),
        uid_(uid),
        index_(index),
        seed_(seed),
        random_(seed),
        end_(end) {
    for (const std::string& name : SharedNames()) shared_.push_back(mnt_ + "/" + name);
  }

  void Run() {
    while (Clock::now() < end_ && failures_.size() < kMaxFailuresPerThread) {
      if (Chance(50)) {
        PrivateStep();
      } else {
        SharedStep();
      }
      ++steps_;
    }
    Finish();
  }

  long steps() const { return steps_; }
  uint64_t seed() const { return seed_; }
  const std::vector<std::string>& failures() const { return failures_; }
  const std::map<std::string, long>& counts() const { return counts_; }

 private:
  // ---- helpers ---------------------------------------------------------
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }
  size_t Pick(size_t n) { return static_cast<size_t>(random_() % n); }

  std::string RandomBytes(size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>('a' + random_() % 26);
    return bytes;
  }

  void Fail(const std::string& what) {
    if (failures_.size() >= kMaxFailuresPerThread) return;
    std::string text =
        "uid " + std::to_string(uid_) + " thread " + std::to_string(index_) + ": " + what;
    if (failures_.empty()) {
      text += "\n  private calls before it, oldest first:";
      for (size_t i = 0; i < journal_.size(); ++i) {
        text += "\n    " + journal_[(journal_next_ + i) % journal_.size()];
      }
    }
    failures_.push_back(text);
  }

  // The last private calls, for the report of the first failure.
  void Note(const std::string& call) {
    if (journal_.size() < kJournalLength) {
      journal_.push_back(call);
    } else {
      journal_[journal_next_] = call;
      journal_next_ = (journal_next_ + 1) % kJournalLength;
    }
  }

  // Records an unexpected errno of a shared-path call; errors in `allowed`
  // are a normal outcome of the other threads' renames, unlinks and rights.
  void Expect(int result, const char* call, const std::string& path,
              std::initializer_list<int> allowed) {
    if (result != -1) return;
    const int error = errno;
    for (int ok : allowed) {
      if (error == ok) {
        ++counts_[std::string(kErrorKey) + call + " " + strerrorname_np(error)];
        return;
      }
    }
    Fail(std::string(call) + " " + path + ": " + std::strerror(error));
  }

  std::string Private(int k) const { return mnt_ + "/" + PrivateName(uid_, index_, k); }
  std::string PrivateOnHost(int k) const { return src_ + "/" + PrivateName(uid_, index_, k); }

  // ---- private files: one writer, a model to check against --------------
  void PrivateStep() {
    switch (Pick(12)) {
      case 0:
      case 1:
        PrivateOpen();
        break;
      case 2:
      case 3:
        PrivatePwrite();
        break;
      case 4:
        PrivateAppend();
        break;
      case 5:
        PrivateFtruncate();
        break;
      case 6:
        PrivateTruncate();
        break;
      case 7:
        PrivateCheckDescriptor();
        break;
      case 8:
        PrivateCheckName(static_cast<int>(Pick(kPrivateNames)));
        break;
      case 9:
        PrivateRename();
        break;
      case 10:
        if (Chance(40)) {
          PrivateUnlink();
        } else {
          PrivateClose();
        }
        break;
      default:
        PrivateClose();
        break;
    }
  }

  void PrivateOpen() {
    if (private_held_.size() >= kMaxHeld) PrivateClose();
    const int k = static_cast<int>(Pick(kPrivateNames));
    // A write-only appending open may become the registered descriptor: the
    // model then checks that later positional opens still write at their
    // offsets.
    static constexpr int kChoices[] = {O_WRONLY,           O_WRONLY,         O_RDWR,
                                       O_RDONLY,           O_WRONLY | O_TRUNC, O_RDWR | O_TRUNC,
                                       O_RDWR | O_APPEND,  O_WRONLY | O_APPEND};
    int flags = kChoices[Pick(std::size(kChoices))];
    const bool exists = names_[k] != nullptr;
    if (!exists) {
      flags |= O_CREAT | (Chance(50) ? O_EXCL : 0);
      if (!IsWritable(flags)) flags = (flags & ~O_ACCMODE) | O_WRONLY;
    } else if (Chance(20)) {
      flags |= O_CREAT;
    }
    const std::string path = Private(k);
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    ++counts_["private open " + FlagsText(flags & ~(O_CREAT | O_EXCL))];
    if (fd == -1) {
      Fail("open " + path + " " + FlagsText(flags) + ": " + std::strerror(errno));
      return;
    }
    if (!exists) {
      names_[k] = std::make_shared<Object>();
      names_[k]->id = (static_cast<long>(uid_) * 100 + index_) * 1000000 + ++next_object_;
      const std::string id = std::to_string(names_[k]->id);
      if (setxattr(path.c_str(), "user.obj", id.data(), id.size(), 0) != 0) {
        Fail("setxattr user.obj " + path + ": " + std::strerror(errno));
      }
    }
    if ((flags & O_TRUNC) && IsWritable(flags)) names_[k]->data.clear();
    private_held_.push_back({fd, flags, names_[k]});
    Note("open " + std::to_string(k) + " " + FlagsText(flags) + " = fd " + std::to_string(fd) +
         " on object " + std::to_string(names_[k]->id) + (exists ? "" : " (new)") + ", size " +
         std::to_string(names_[k]->data.size()));
  }

  PrivateHeld* PickHeld(bool want_write, bool want_append) {
    std::vector<PrivateHeld*> fitting;
    for (PrivateHeld& held : private_held_) {
      if (want_write && !IsWritable(held.flags)) continue;
      if (!want_write && !IsReadable(held.flags)) continue;
      if (want_write && ((held.flags & O_APPEND) != 0) != want_append) continue;
      fitting.push_back(&held);
    }
    return fitting.empty() ? nullptr : fitting[Pick(fitting.size())];
  }

  void PrivatePwrite() {
    PrivateHeld* held = PickHeld(true, false);
    if (held == nullptr) return;
    std::string& data = held->object->data;
    const size_t length = 1 + Pick(4096);
    const size_t offset = Pick(std::min(data.size() + 2048, kMaxFileSize - length));
    const std::string bytes = RandomBytes(length);
    ++counts_["private pwrite"];
    const ssize_t wrote = pwrite(held->fd, bytes.data(), length, static_cast<off_t>(offset));
    if (wrote != static_cast<ssize_t>(length)) {
      Fail("pwrite " + std::to_string(length) + " at " + std::to_string(offset) + " (" +
           FlagsText(held->flags) + "): " + (wrote < 0 ? std::strerror(errno) : "short"));
      return;
    }
    if (data.size() < offset + length) data.resize(offset + length, '\0');
    data.replace(offset, length, bytes);
    Note("pwrite fd " + std::to_string(held->fd) + " " + std::to_string(length) + " at " +
         std::to_string(offset) + ", object " + std::to_string(held->object->id) + " size now " +
         std::to_string(data.size()));
  }

  void PrivateAppend() {
    PrivateHeld* held = PickHeld(true, true);
    if (held == nullptr) return;
    std::string& data = held->object->data;
    if (data.size() + 4096 > kMaxFileSize) return;
    const std::string bytes = RandomBytes(1 + Pick(4096));
    ++counts_["private append"];
    const ssize_t wrote = write(held->fd, bytes.data(), bytes.size());
    if (wrote != static_cast<ssize_t>(bytes.size())) {
      Fail("appending write: " + std::string(wrote < 0 ? std::strerror(errno) : "short"));
      return;
    }
    data += bytes;
    Note("append fd " + std::to_string(held->fd) + " " + std::to_string(bytes.size()) +
         ", object " + std::to_string(held->object->id) + " size now " +
         std::to_string(data.size()));
  }

  void PrivateFtruncate() {
    PrivateHeld* held = PickHeld(true, Chance(20));
    if (held == nullptr) return;
    std::string& data = held->object->data;
    const size_t size = Pick(std::min(data.size() + 2048, kMaxFileSize));
    ++counts_["private ftruncate"];
    if (ftruncate(held->fd, static_cast<off_t>(size)) != 0) {
      Fail("ftruncate (" + FlagsText(held->flags) + "): " + std::strerror(errno));
      return;
    }
    data.resize(size, '\0');
    Note("ftruncate fd " + std::to_string(held->fd) + " to " + std::to_string(size) + ", object " +
         std::to_string(held->object->id));
  }

  void PrivateTruncate() {
    const int k = static_cast<int>(Pick(kPrivateNames));
    const std::string path = Private(k);
    ++counts_["private truncate"];
    if (names_[k] == nullptr) {
      if (truncate(path.c_str(), 0) != -1 || errno != ENOENT) {
        Fail("truncate of the missing " + path + " gave " + std::strerror(errno));
      }
      return;
    }
    std::string& data = names_[k]->data;
    const size_t size = Pick(std::min(data.size() + 2048, kMaxFileSize));
    if (truncate(path.c_str(), static_cast<off_t>(size)) != 0) {
      Fail("truncate " + path + ": " + std::strerror(errno));
      return;
    }
    data.resize(size, '\0');
    Note("truncate " + std::to_string(k) + " to " + std::to_string(size) + ", object " +
         std::to_string(names_[k]->id));
  }

  void PrivateCheckDescriptor() {
    if (private_held_.empty()) return;
    PrivateHeld& held = private_held_[Pick(private_held_.size())];
    ++counts_["private check by descriptor"];
    Note("check fd " + std::to_string(held.fd));
    struct stat st;
    if (fstat(held.fd, &st) != 0) {
      Fail(std::string("fstat: ") + std::strerror(errno));
      return;
    }
    if (static_cast<size_t>(st.st_size) != held.object->data.size()) {
      Fail("fstat of object " + std::to_string(held.object->id) + " gives size " +
           std::to_string(st.st_size) + ", expected " + std::to_string(held.object->data.size()));
    }
    if (!IsReadable(held.flags)) return;
    std::string contents;
    if (!ReadAll(held.fd, contents)) {
      Fail(std::string("pread: ") + std::strerror(errno));
    } else if (contents != held.object->data) {
      Fail("object " + std::to_string(held.object->id) + " read through its descriptor (" +
           FlagsText(held.flags) + ") differs: " + std::to_string(contents.size()) +
           " bytes, expected " + std::to_string(held.object->data.size()));
    }
  }

  // Size and user.obj by path, then the contents through a fresh descriptor.
  std::string CheckName(const std::string& path, const std::shared_ptr<Object>& object) {
    struct stat st;
    if (object == nullptr) {
      if (lstat(path.c_str(), &st) == 0) return path + " exists, expected it gone";
      if (errno != ENOENT) return "stat " + path + ": " + std::strerror(errno);
      return "";
    }
    if (lstat(path.c_str(), &st) != 0) return "stat " + path + ": " + std::strerror(errno);
    if (static_cast<size_t>(st.st_size) != object->data.size()) {
      return "stat " + path + " gives size " + std::to_string(st.st_size) + ", expected " +
             std::to_string(object->data.size()) + " (object " + std::to_string(object->id) + ")";
    }
    char id[32] = {};
    const ssize_t length = getxattr(path.c_str(), "user.obj", id, sizeof id - 1);
    if (length < 0) return "getxattr user.obj " + path + ": " + std::strerror(errno);
    if (std::string(id, static_cast<size_t>(length)) != std::to_string(object->id)) {
      return "getxattr user.obj " + path + " gives " + id + ", expected " +
             std::to_string(object->id);
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return "open " + path + " for reading: " + std::strerror(errno);
    std::string contents;
    const bool read_ok = ReadAll(fd, contents);
    const int read_error = errno;
    const int closed = close(fd);
    if (!read_ok) return "read " + path + ": " + std::strerror(read_error);
    if (closed != 0) return "close " + path + ": " + std::strerror(errno);
    if (contents != object->data) {
      size_t first = 0;
      while (first < contents.size() && first < object->data.size() &&
             contents[first] == object->data[first]) {
        ++first;
      }
      return path + " holds " + std::to_string(contents.size()) + " bytes, expected " +
             std::to_string(object->data.size()) + "; first difference at " +
             std::to_string(first) + " (object " + std::to_string(object->id) + ")";
    }
    return "";
  }

  void PrivateCheckName(int k) {
    ++counts_["private check by path"];
    Note("check name " + std::to_string(k));
    const std::string problem = CheckName(Private(k), names_[k]);
    if (!problem.empty()) Fail(problem);
  }

  void PrivateRename() {
    const int from = static_cast<int>(Pick(kPrivateNames));
    const int to = static_cast<int>(Pick(kPrivateNames));
    if (from == to || names_[from] == nullptr) return;
    ++counts_["private rename"];
    if (rename(Private(from).c_str(), Private(to).c_str()) != 0) {
      Fail("rename " + Private(from) + " " + Private(to) + ": " + std::strerror(errno));
      return;
    }
    names_[to] = names_[from];
    names_[from] = nullptr;
    Note("rename " + std::to_string(from) + " " + std::to_string(to) + ", object " +
         std::to_string(names_[to]->id));
  }

  void PrivateUnlink() {
    const int k = static_cast<int>(Pick(kPrivateNames));
    if (names_[k] == nullptr) return;
    ++counts_["private unlink"];
    if (unlink(Private(k).c_str()) != 0) {
      Fail("unlink " + Private(k) + ": " + std::strerror(errno));
      return;
    }
    Note("unlink " + std::to_string(k) + ", object " + std::to_string(names_[k]->id));
    names_[k] = nullptr;
  }

  void PrivateClose() {
    if (private_held_.empty()) return;
    const size_t at = Pick(private_held_.size());
    ++counts_["private close"];
    if (close(private_held_[at].fd) != 0) {
      Fail("close (" + FlagsText(private_held_[at].flags) + "): " + std::strerror(errno));
    }
    Note("close fd " + std::to_string(private_held_[at].fd) + ", object " +
         std::to_string(private_held_[at].object->id));
    private_held_.erase(private_held_.begin() + static_cast<long>(at));
  }

  // ---- shared paths: anything goes, only the errors are checked ---------
  void SharedStep() {
    const std::string& path = shared_[Pick(shared_.size())];
    switch (Pick(20)) {
      case 0:
      case 1:
      case 2:
        SharedOpen(path, true);
        break;
      case 3:
        SharedOpen(path, false);
        break;
      case 4:
      case 5:
        SharedPwrite();
        break;
      case 6:
        SharedPread();
        break;
      case 7:
        SharedFtruncate();
        break;
      case 8:
        ++counts_["shared truncate"];
        Expect(truncate(path.c_str(), static_cast<off_t>(Pick(kMaxFileSize))), "truncate", path,
               {ENOENT, EACCES});
        break;
      case 9:
      case 10: {
        struct stat st;
        ++counts_["shared stat"];
        Expect(stat(path.c_str(), &st), "stat", path, {ENOENT});
        break;
      }
      case 11: {
        char value[256];
        const char* name = Chance(60) ? "user.tag" : "security.capability";
        ++counts_[std::string("shared getxattr ") + name];
        Expect(static_cast<int>(getxattr(path.c_str(), name, value, sizeof value)), "getxattr",
               path, {ENOENT, ENODATA});
        break;
      }
      case 12: {
        const std::string& to = shared_[Pick(shared_.size())];
        ++counts_["shared rename"];
        Expect(rename(path.c_str(), to.c_str()), "rename", path + " -> " + to, {ENOENT, EACCES});
        break;
      }
      case 13:
        ++counts_["shared unlink"];
        Expect(unlink(path.c_str()), "unlink", path, {ENOENT, EACCES});
        break;
      case 14:
        SharedList();
        break;
      case 15:
        OthersPrivate();
        break;
      case 16: {
        if (shared_held_.empty()) break;
        struct stat st;
        ++counts_["shared fstat"];
        // fstat through the mount is a stat of the open file's current name.
        // The library hides a file unlinked or renamed over while open, but
        // only once its open has completed: a name removed by another thread
        // while this open was in flight is gone, and the stat says ENOENT.
        if (fstat(shared_held_[Pick(shared_held_.size())].fd, &st) != 0 && errno != ENOENT) {
          Fail(std::string("fstat of a shared descriptor: ") + std::strerror(errno));
        }
        break;
      }
      default:
        SharedClose();
        break;
    }
  }

  void SharedOpen(const std::string& path, bool keep) {
    static constexpr int kChoices[] = {O_WRONLY,
                                       O_WRONLY,
                                       O_WRONLY | O_CREAT,
                                       O_RDONLY,
                                       O_RDWR,
                                       O_RDWR | O_CREAT,
                                       O_WRONLY | O_TRUNC,
                                       O_WRONLY | O_CREAT | O_EXCL,
                                       O_WRONLY | O_APPEND};
    const int flags = kChoices[Pick(std::size(kChoices))];
    if (keep && shared_held_.size() >= kMaxHeld) SharedClose();
    ++counts_["shared open " + FlagsText(flags)];
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd == -1) {
      Expect(-1, "open", path + " " + FlagsText(flags), {ENOENT, EACCES, EEXIST});
      return;
    }
    if (keep) {
      shared_held_.push_back({fd, flags, path});
      return;
    }
    if (IsWritable(flags)) {
      const std::string bytes = RandomBytes(1 + Pick(512));
      if (pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(Pick(kMaxFileSize))) < 0) {
        Fail("pwrite " + path + ": " + std::strerror(errno));
      }
    }
    if (close(fd) != 0) Fail("close " + path + ": " + std::strerror(errno));
  }

  SharedHeld* PickShared(bool want_write) {
    std::vector<SharedHeld*> fitting;
    for (SharedHeld& held : shared_held_) {
      if (want_write ? IsWritable(held.flags) : IsReadable(held.flags)) fitting.push_back(&held);
    }
    return fitting.empty() ? nullptr : fitting[Pick(fitting.size())];
  }

  void SharedPwrite() {
    SharedHeld* held = PickShared(true);
    if (held == nullptr) return;
    const std::string bytes = RandomBytes(1 + Pick(8192));
    const off_t offset = static_cast<off_t>(Pick(kMaxFileSize - bytes.size()));
    ++counts_["shared pwrite"];
    const ssize_t wrote = pwrite(held->fd, bytes.data(), bytes.size(), offset);
    if (wrote != static_cast<ssize_t>(bytes.size())) {
      Fail("pwrite " + held->path + " (" + FlagsText(held->flags) +
           "): " + (wrote < 0 ? std::strerror(errno) : "short"));
    }
  }

  void SharedPread() {
    SharedHeld* held = PickShared(false);
    if (held == nullptr) return;
    char buffer[8192];
    ++counts_["shared pread"];
    if (pread(held->fd, buffer, sizeof buffer, static_cast<off_t>(Pick(kMaxFileSize))) < 0) {
      Fail("pread " + held->path + ": " + std::strerror(errno));
    }
  }

  void SharedFtruncate() {
    SharedHeld* held = PickShared(true);
    if (held == nullptr) return;
    ++counts_["shared ftruncate"];
    if (ftruncate(held->fd, static_cast<off_t>(Pick(kMaxFileSize))) != 0) {
      Fail("ftruncate " + held->path + ": " + std::strerror(errno));
    }
  }

  void SharedClose() {
    if (shared_held_.empty()) return;
    const size_t at = Pick(shared_held_.size());
    ++counts_["shared close"];
    if (close(shared_held_[at].fd) != 0) {
      Fail("close " + shared_held_[at].path + ": " + std::strerror(errno));
    }
    shared_held_.erase(shared_held_.begin() + static_cast<long>(at));
  }

  void SharedList() {
    const char* dirs[] = {"shared", "u1000", "u1001"};
    const std::string dir = mnt_ + "/" + dirs[Pick(3)];
    ++counts_["list"];
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
      Fail("opendir " + dir + ": " + std::strerror(errno));
      return;
    }
    errno = 0;
    while (readdir(stream) != nullptr) {
    }
    if (errno != 0) Fail("readdir " + dir + ": " + std::strerror(errno));
    closedir(stream);
  }

  // Read-only calls on any thread's private files, the other user's too.
  void OthersPrivate() {
    const uid_t uid = kUsers[Pick(2)];
    const std::string path = mnt_ + "/" +
                             PrivateName(uid, static_cast<int>(Pick(kThreadsPerUser)),
                                         static_cast<int>(Pick(kPrivateNames)));
    switch (Pick(3)) {
      case 0: {
        struct stat st;
        ++counts_["others' private stat"];
        Expect(stat(path.c_str(), &st), "stat", path, {ENOENT});
        break;
      }
      case 1: {
        char value[32];
        ++counts_["others' private getxattr"];
        Expect(static_cast<int>(getxattr(path.c_str(), "user.obj", value, sizeof value)),
               "getxattr", path, {ENOENT, ENODATA});
        break;
      }
      default: {
        ++counts_["others' private read"];
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1) {
          Expect(-1, "open", path + " O_RDONLY", {ENOENT});
          return;
        }
        char buffer[4096];
        if (pread(fd, buffer, sizeof buffer, 0) < 0) {
          Fail("pread " + path + ": " + std::strerror(errno));
        }
        if (close(fd) != 0) Fail("close " + path + ": " + std::strerror(errno));
        break;
      }
    }
  }

  // ---- the end: close everything, check and record the private files ------
  void Finish() {
    while (!shared_held_.empty()) SharedClose();
    while (!private_held_.empty()) PrivateClose();
    for (int k = 0; k < kPrivateNames; ++k) {
      PrivateCheckName(k);
      const std::string expected = ExpectedPath(report_dir_, uid_, index_, k);
      std::ofstream out(expected, std::ios::binary | std::ios::trunc);
      if (names_[k] == nullptr) {
        out << "absent";
        if (access(PrivateOnHost(k).c_str(), F_OK) == 0 || errno != ENOENT) {
          Fail(PrivateOnHost(k) + " exists on the host, expected it gone");
        }
        continue;
      }
      out << "present\n" << names_[k]->data;
      if (ReadFile(PrivateOnHost(k)) != names_[k]->data) {
        Fail(PrivateOnHost(k) + " on the host differs from what was written (object " +
             std::to_string(names_[k]->id) + ")");
      }
    }
  }

  const std::string mnt_, src_, report_dir_;
  const uid_t uid_;
  const int index_;
  const uint64_t seed_;
  std::mt19937_64 random_;
  const Clock::time_point end_;

  std::vector<std::string> shared_;
  std::vector<SharedHeld> shared_held_;
  std::array<std::shared_ptr<Object>, kPrivateNames> names_;
  std::vector<PrivateHeld> private_held_;
  long next_object_ = 0;
  long steps_ = 0;
  std::vector<std::string> failures_;
  std::map<std::string, long> counts_;
  static constexpr size_t kJournalLength = 16;
  std::vector<std::string> journal_;
  size_t journal_next_ = 0;
};

// The body of one user's process: its threads, then a report file for the
// parent. Returns the exit code: 0 when no thread saw a failure.
int RunUser(const std::string& mnt, const std::string& src, const std::string& report_dir,
            uid_t uid, uint64_t seed, int seconds) {
  umask(0);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < kThreadsPerUser; ++t) {
    workers.push_back(std::make_unique<Worker>(mnt, src, report_dir, uid, t,
                                               seed + uid * 16 + static_cast<uint64_t>(t), end));
  }
  std::vector<std::thread> threads;
  for (auto& worker : workers) threads.emplace_back([&worker] { worker->Run(); });
  for (std::thread& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::ofstream report(report_dir + "/report-" + std::to_string(uid), std::ios::trunc);
  bool failed = false;
  std::map<std::string, long> totals;
  for (auto& worker : workers) {
    long calls = 0;
    for (const auto& [name, count] : worker->counts()) {
      totals[name] += count;
      if (name.rfind(kErrorKey, 0) != 0) calls += count;
    }
    report << "thread " << (&worker - &workers[0]) << " seed " << worker->seed() << ": "
           << worker->steps() << " steps, " << calls << " operations\n";
    for (const std::string& failure : worker->failures()) {
      report << "FAIL " << failure << "\n";
      failed = true;
    }
  }
  report << "elapsed " << elapsed << "\n";
  for (const auto& [name, count] : totals) report << "count " << name << ": " << count << "\n";
  report.close();
  return failed ? 1 : 0;
}

// Runs fn in a child as root with a time limit, so a hung daemon cannot hang
// the test; returns fn's result or 128 + the signal that ended the child.
int Bounded(std::chrono::seconds limit, const std::function<int()>& fn) {
  return RunAs(0, 0, [&] {
    alarm(static_cast<unsigned>(limit.count()));
    return fn();
  });
}

bool DaemonAlive(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line)) return false;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

std::vector<std::string> SanitizerReports(const std::string& text) {
  std::vector<std::string> found;
  for (const char* marker :
       {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error"}) {
    if (text.find(marker) != std::string::npos) found.push_back(marker);
  }
  return found;
}

std::vector<std::string> HiddenNames(const std::string& src) {
  std::vector<std::string> hidden;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(src, error)) {
    if (entry.path().filename().string().rfind(".fuse_hidden", 0) == 0) {
      hidden.push_back(entry.path().string());
    }
  }
  return hidden;
}

class StressTest : public MountTest {
 protected:
  // A multi-user mount: the kernel checks each caller's rights.
  MountOptions Options() const override {
    MountOptions options;
    options.options = "default_permissions";
    // Under this load the FUSE library now and then loses one of its own
    // 256-byte path buffers (allocated and never freed inside the library);
    // the leak check of the other mount tests covers the daemon's code.
    options.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
    return options;
  }

  void SetUp() override {
    MountTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    char pattern[] = "/tmp/callerfs-stress-report-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    report_dir_ = pattern;
    ASSERT_EQ(chmod(report_dir_.c_str(), 0777), 0);
  }

  void TearDown() override {
    MountTest::TearDown();
    if (!report_dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(report_dir_, ignored);
    }
  }

  // Shared directory and per-user directories with a few files to start with,
  // some carrying a user.tag attribute.
  void MakeTree() {
    ASSERT_EQ(mkdir(mirror_.src("shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod(mirror_.src("shared").c_str(), 0777), 0);
    for (uid_t uid : kUsers) {
      const std::string dir = mirror_.src(UserDir(uid));
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      ASSERT_EQ(chown(dir.c_str(), uid, kGroup), 0);
    }
    int n = 0;
    for (const std::string& name : SharedNames()) {
      const std::string host = mirror_.src(name);
      const bool in_shared = name.rfind("shared/", 0) == 0;
      WriteFile(host, "initial contents of " + name + "\n", 0644);
      ASSERT_EQ(chmod(host.c_str(), in_shared ? 0666 : 0644), 0);
      const uid_t owner =
          in_shared ? kUsers[n++ % 2] : (name.rfind("u1000/", 0) == 0 ? 1000 : 1001);
      ASSERT_EQ(chown(host.c_str(), owner, kGroup), 0);
      ASSERT_EQ(setxattr(host.c_str(), "user.tag", name.data(), name.size(), 0), 0);
    }
  }

  std::string report_dir_;
};

TEST_F(StressTest, TwoUsersWithFourThreadsEachKeepTheDaemonServingAndPrivateDataIntact) {
  MakeTree();
  ASSERT_FALSE(HasFatalFailure());
  const int seconds = StressSeconds();
  const uint64_t seed = StressSeed();
  std::printf("stress: %d s, seed %" PRIu64 " (CALLERFS_STRESS_SEED to repeat)\n", seconds, seed);
  std::fflush(stdout);

  // Each child ends on its own: a hung call is cut by the alarm, and the
  // parent kills whatever is still there well after that.
  std::map<pid_t, uid_t> children;
  for (uid_t uid : kUsers) {
    const std::string mnt = mirror_.mnt_dir(), src = mirror_.src_dir(), reports = report_dir_;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(static_cast<unsigned>(seconds + 120));
      if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(uid) != 0) _exit(126);
      _exit(RunUser(mnt, src, reports, uid, seed, seconds));
    }
    children[pid] = uid;
  }
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(seconds + 180);
  std::map<uid_t, int> statuses;
  while (!children.empty()) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0 && children.count(pid)) {
      statuses[children[pid]] = status;
      children.erase(pid);
      continue;
    }
    if (Clock::now() > give_up) {
      for (const auto& [child, uid] : children) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        statuses[uid] = status;
      }
      ADD_FAILURE() << "user processes did not end in time; killed them";
      break;
    }
    std::this_thread::sleep_for(50ms);
  }

  for (uid_t uid : kUsers) {
    const std::string report = ReadFile(report_dir_ + "/report-" + std::to_string(uid));
    std::printf("---- uid %u ----\n%s", uid, report.c_str());
    const int status = statuses[uid];
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "uid " << uid << " ended with status " << status << ":\n"
        << report;
    EXPECT_NE(report.find("elapsed"), std::string::npos) << "uid " << uid << " wrote no report";
  }
  std::fflush(stdout);

  // The daemon still serves and lets go of everything.
  ASSERT_TRUE(DaemonAlive(mirror_.daemon_pid())) << mirror_.Stderr();
  EXPECT_TRUE(mirror_.running());
  EXPECT_EQ(Bounded(20s,
                    [&] {
                      struct stat st;
                      return ErrnoOf(stat(mirror_.mnt("shared").c_str(), &st));
                    }),
            0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors(20s));
  for (const std::string& held : mirror_.OpenTreeDescriptors())
    ADD_FAILURE() << "still open: " << held;
  // The library's stand-ins for files unlinked while open go at their last close.
  const Clock::time_point hidden_deadline = Clock::now() + 10s;
  while (!HiddenNames(mirror_.src_dir()).empty() && Clock::now() < hidden_deadline) {
    std::this_thread::sleep_for(50ms);
  }
  for (const std::string& hidden : HiddenNames(mirror_.src_dir())) {
    ADD_FAILURE() << "left behind: " << hidden;
  }

  // Every private file holds what its writer wrote, seen by root through the
  // mount and on the host.
  for (uid_t uid : kUsers) {
    for (int t = 0; t < kThreadsPerUser; ++t) {
      for (int k = 0; k < kPrivateNames; ++k) {
        const std::string name = PrivateName(uid, t, k);
        const std::string expected = ReadFile(ExpectedPath(report_dir_, uid, t, k));
        if (expected.empty()) {
          ADD_FAILURE() << name << ": its writer recorded nothing";
          continue;
        }
        if (expected == "absent") {
          EXPECT_FALSE(fs::exists(mirror_.src(name))) << name;
          continue;
        }
        const std::string data = expected.substr(std::string("present\n").size());
        EXPECT_TRUE(ReadFile(mirror_.src(name)) == data) << name << " on the host differs";
        EXPECT_TRUE(ReadFile(mirror_.mnt(name)) == data) << name << " through the mount differs";
      }
    }
  }

  const std::string errors = mirror_.Stderr();
  EXPECT_TRUE(SanitizerReports(errors).empty()) << errors;
}

}  // namespace
}  // namespace callerfs::testing
