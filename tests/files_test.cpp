// Open files through a real mount: descriptor sharing between write-only opens
// of one user, set-ID clearing, ownership of created files, data integrity,
// POSIX record locks, and that no descriptor outlives its last release.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;

int OpenInto(int& fd, const std::string& path, int flags, mode_t mode = 0) {
  fd = open(path.c_str(), flags, mode);
  return fd == -1 ? errno : 0;
}

int CloseFd(int& fd) {
  const int result = close(fd);
  fd = -1;
  return result == -1 ? errno : 0;
}

int PwriteAll(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, data, size, offset);
    if (written < 0) return errno;
    if (written == 0) return EIO;
    data += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
  return 0;
}

int WriteString(int fd, const std::string& data) {
  const ssize_t written = write(fd, data.data(), data.size());
  if (written < 0) return errno;
  return written == static_cast<ssize_t>(data.size()) ? 0 : EIO;
}

int PwriteString(int fd, const std::string& data, off_t offset) {
  return PwriteAll(fd, data.data(), data.size(), offset);
}

// A regular file on the host with exact mode and owner.
void MakeHostFile(const std::string& path, const std::string& content, mode_t mode,
                  uid_t uid = 0, gid_t gid = 0) {
  WriteFile(path, content, 0600);
  ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << strerror(errno);
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << strerror(errno);  // after chown, which clears set-ID
}

mode_t HostMode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The registry's lines, parsed. Lines are written under the registry's lock,
// so their order in the log is the order of the events.
struct RegistryLine {
  enum Kind { kAdd, kGet, kDrop, kClose, kEraseOnly } kind;
  std::string path;
  int uid = -1;  // not on AddMapping lines
  int fd = -1;
  int count = 0;  // reference count after the event
};

bool SplitLast(std::string_view text, std::string_view separator, std::string_view& head,
               std::string_view& tail) {
  const size_t at = text.rfind(separator);
  if (at == std::string_view::npos) return false;
  head = text.substr(0, at);
  tail = text.substr(at + separator.size());
  return true;
}

int Number(std::string_view text) { return std::stoi(std::string(text)); }

std::vector<RegistryLine> RegistryLines(const std::string& log) {
  std::vector<RegistryLine> lines;
  size_t begin = 0;
  while (begin < log.size()) {
    size_t end = log.find('\n', begin);
    if (end == std::string::npos) end = log.size();
    std::string_view line(log.data() + begin, end - begin);
    begin = end + 1;
    std::string_view rest, head, tail, middle;
    RegistryLine parsed{RegistryLine::kAdd, "", -1, -1, 0};
    auto strip = [&](std::string_view prefix) {
      if (line.substr(0, prefix.size()) != prefix) return false;
      rest = line.substr(prefix.size());
      return true;
    };
    if (strip("OpenFilesMap::AddMapping Injected mapping ")) {
      if (!SplitLast(rest, " refcount ", head, tail) || !SplitLast(head, " to ", head, middle)) {
        continue;
      }
      parsed = {RegistryLine::kAdd, std::string(head), -1, Number(middle), Number(tail)};
    } else if (strip("OpenFilesMap::GetMapping uid ")) {
      const size_t found = rest.find(" found ");
      if (found == std::string_view::npos) continue;
      const int uid = Number(rest.substr(0, found));
      rest = rest.substr(found + 7);
      if (!SplitLast(rest, " refcount ", head, tail) || !SplitLast(head, " handle ", head, middle)) {
        continue;
      }
      parsed = {RegistryLine::kGet, std::string(head), uid, Number(middle), Number(tail)};
    } else if (strip("OpenFilesMap::RemoveMapping found mapping ")) {
      std::string_view fd_text, uid_text;
      if (!SplitLast(rest, " refcount now ", head, tail) || !SplitLast(head, " to ", head, fd_text) ||
          !SplitLast(head, " uid ", head, uid_text)) {
        continue;
      }
      parsed = {RegistryLine::kDrop, std::string(head), Number(uid_text), Number(fd_text),
                Number(tail)};
    } else if (strip("OpenFilesMap::RemoveMapping close ") ||
               strip("OpenFilesMap::RemoveMapping erase but NOT close ")) {
      const bool closes = line.find(" close ") == sizeof("OpenFilesMap::RemoveMapping") - 1;
      std::string_view fd_text, uid_text;
      if (!SplitLast(rest, " handle ", head, fd_text) || !SplitLast(head, " uid ", head, uid_text)) {
        continue;
      }
      parsed = {closes ? RegistryLine::kClose : RegistryLine::kEraseOnly, std::string(head),
                Number(uid_text), Number(fd_text), 0};
    } else {
      continue;
    }
    lines.push_back(parsed);
  }
  return lines;
}

std::vector<RegistryLine> LinesOf(const std::string& log, const std::string& path,
                                  RegistryLine::Kind kind) {
  std::vector<RegistryLine> matching;
  for (const RegistryLine& line : RegistryLines(log)) {
    if (line.path == path && line.kind == kind) matching.push_back(line);
  }
  return matching;
}

// The registry's reference count for a descriptor as of its last line about
// it: 0 when that line closed it (or there is none).
int RefcountOf(const std::string& log, int fd) {
  int count = 0;
  for (const RegistryLine& line : RegistryLines(log)) {
    if (line.fd == fd) count = line.count;
  }
  return count;
}

// How many descriptors the daemon holds on one file of the tree.
size_t DaemonDescriptorsOn(const Mirror& mirror, const std::string& host_path) {
  const std::vector<std::string> held = mirror.OpenTreeDescriptors();
  return static_cast<size_t>(std::count(held.begin(), held.end(), host_path));
}

size_t DaemonDescriptorCount(const Mirror& mirror) {
  return ProcEntryCount(mirror.daemon_pid(), "fd");
}

class FilesTest : public MountTest {};

// ---------------------------------------------------------------------------
// Sharing of write-only descriptors

TEST_F(FilesTest, SecondWriteOnlyOpenBySameUserSharesOneDescriptorUntilBothClose) {
  for (const bool close_first_opener_first : {true, false}) {
    SCOPED_TRACE(close_first_opener_first ? "first opener closes first"
                                          : "second opener closes first");
    const std::string name = close_first_opener_first ? "shared-a" : "shared-b";
    const std::string host = mirror_.src(name);
    MakeHostFile(host, "0123456789", 0666);
    int first = -1, second = -1;
    Actor user(1000, 100,
               {[&] { return OpenInto(first, mirror_.mnt(name), O_WRONLY); },
                [&] { return OpenInto(second, mirror_.mnt(name), O_WRONLY); },
                [&] { return PwriteString(first, "ab", 0) + PwriteString(second, "yz", 8); },
                [&] { return CloseFd(close_first_opener_first ? first : second); },
                [&] { return PwriteString(close_first_opener_first ? second : first, "MM", 4); },
                [&] { return CloseFd(close_first_opener_first ? second : first); }});
    ASSERT_TRUE(user.ok());

    ASSERT_EQ(user.Step(), 0);
    const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
    ASSERT_EQ(added.size(), 1u) << mirror_.Log();
    const int fd = added[0].fd;

    ASSERT_EQ(user.Step(), 0);
    std::string log = mirror_.Log();
    EXPECT_EQ(LinesOf(log, host, RegistryLine::kAdd).size(), 1u) << log;
    bool shared = false;
    for (const RegistryLine& get : LinesOf(log, host, RegistryLine::kGet)) {
      shared |= get.uid == 1000 && get.fd == fd && get.count == 2;
    }
    EXPECT_TRUE(shared) << "no GetMapping line with refcount 2:\n" << log;
    EXPECT_EQ(RefcountOf(log, fd), 2) << log;
    EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 1u);

    // Both opens write through the one host descriptor at their own offsets.
    ASSERT_EQ(user.Step(), 0);
    EXPECT_EQ(ReadFile(host), "ab234567yz");

    // The first release leaves the descriptor open for the other open.
    ASSERT_EQ(user.Step(), 0);
    EXPECT_TRUE(WaitUntil([&] { return RefcountOf(mirror_.Log(), fd) == 1; }))
        << "the first release was not seen:\n" << mirror_.Log();
    EXPECT_TRUE(LinesOf(mirror_.Log(), host, RegistryLine::kClose).empty()) << mirror_.Log();
    EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 1u);
    ASSERT_EQ(user.Step(), 0);
    EXPECT_EQ(ReadFile(host), "ab23MM67yz");

    const size_t mark = mirror_.LogMark();
    ASSERT_EQ(user.Step(), 0);
    const std::string close_line = "OpenFilesMap::RemoveMapping close " + host + " uid 1000 handle " +
                                   std::to_string(fd) + "\n";
    EXPECT_TRUE(mirror_.WaitForLog(mark, close_line)) << mirror_.LogSince(mark);
    EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
    EXPECT_EQ(CountOccurrences(mirror_.Log(), close_line), 1u);
    EXPECT_EQ(LinesOf(mirror_.Log(), host, RegistryLine::kClose).size(), 1u);
  }
}

// The kernel hands every write its offset (the end of the file for an
// appending open), and the daemon writes there: a flag of one open must not
// move the writes of another open that shares its host descriptor.
TEST_F(FilesTest, AppendFlagOfOneOpenNeverMovesTheOtherOpensWrites) {
  struct Order {
    const char* name;
    int first_flags;
    int second_flags;
  };
  for (const Order& order : {Order{"append-second", O_WRONLY, O_WRONLY | O_APPEND},
                             Order{"append-first", O_WRONLY | O_APPEND, O_WRONLY}}) {
    SCOPED_TRACE(order.name);
    const std::string host = mirror_.src(order.name);
    MakeHostFile(host, "0123456789", 0666);
    const bool first_appends = (order.first_flags & O_APPEND) != 0;
    int first = -1, second = -1;
    int& positional = first_appends ? second : first;
    int& appending = first_appends ? first : second;
    Actor user(1000, 100,
               {[&] { return OpenInto(first, mirror_.mnt(order.name), order.first_flags); },
                [&] { return OpenInto(second, mirror_.mnt(order.name), order.second_flags); },
                [&] { return PwriteString(positional, "ab", 0); },
                [&] { return WriteString(appending, "XY"); },
                [&] { return PwriteString(positional, "cd", 4); },
                [&] { return CloseFd(first) + CloseFd(second); }});
    ASSERT_TRUE(user.ok());
    ASSERT_EQ(user.Step(), 0);
    ASSERT_EQ(user.Step(), 0);
    const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
    ASSERT_EQ(added.size(), 1u);
    // An appending descriptor would put the positional writes at the end, a
    // plain one the appending writes at the kernel's idea of the end: the
    // second open gets a descriptor of its own (which the registry refuses).
    EXPECT_EQ(RefcountOf(mirror_.Log(), added[0].fd), 1) << "the opens share";
    EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 2u);

    ASSERT_EQ(user.Step(), 0);
    EXPECT_EQ(ReadFile(host), "ab23456789");
    ASSERT_EQ(user.Step(), 0);
    EXPECT_EQ(ReadFile(host), "ab23456789XY");
    ASSERT_EQ(user.Step(), 0);
    EXPECT_EQ(ReadFile(host), "ab23cd6789XY");
    ASSERT_EQ(user.Step(), 0);
  }
}

TEST_F(FilesTest, WriteOnlyOpensOfTwoUsersNeverShare) {
  const std::string host = mirror_.src("two-users");
  MakeHostFile(host, "..........", 0666);
  int fd = -1;
  Actor alice(1000, 100,
              {[&] { return OpenInto(fd, mirror_.mnt("two-users"), O_WRONLY); },
               [&] { return PwriteString(fd, "aa", 0); }, [&] { return CloseFd(fd); }});
  Actor bob(1001, 100,
            {[&] { return OpenInto(fd, mirror_.mnt("two-users"), O_WRONLY); },
             [&] { return PwriteString(fd, "bb", 2); }, [&] { return CloseFd(fd); }});
  ASSERT_TRUE(alice.ok() && bob.ok());
  ASSERT_EQ(alice.Step(), 0);
  ASSERT_EQ(bob.Step(), 0);
  const std::string log = mirror_.Log();
  const std::vector<RegistryLine> added = LinesOf(log, host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 2u) << log;
  EXPECT_NE(added[0].fd, added[1].fd);
  EXPECT_NE(log.find("Returning pair 1001" + host + "\n"), std::string::npos);
  for (const RegistryLine& get : LinesOf(log, host, RegistryLine::kGet)) {
    EXPECT_FALSE(get.uid == 1001 && get.fd == added[0].fd) << "user 1001 found user 1000's handle";
  }
  EXPECT_EQ(RefcountOf(log, added[0].fd), 1);
  EXPECT_EQ(RefcountOf(log, added[1].fd), 1);
  EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 2u);

  ASSERT_EQ(alice.Step(), 0);
  ASSERT_EQ(bob.Step(), 0);
  EXPECT_EQ(ReadFile(host), "aabb......");
  ASSERT_EQ(alice.Step(), 0);
  ASSERT_EQ(bob.Step(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_TRUE(WaitUntil([&] { return LinesOf(mirror_.Log(), host, RegistryLine::kClose).size() == 2; }))
      << mirror_.Log();
}

TEST_F(FilesTest, ReadWriteOpenNeverSharesAndItsRefusedDescriptorIsClosedAtRelease) {
  const std::string host = mirror_.src("rw");
  MakeHostFile(host, "0123456789", 0666);
  int writer = -1, reader_writer = -1;
  Actor user(1000, 100,
             {[&] { return OpenInto(writer, mirror_.mnt("rw"), O_WRONLY); },
              [&] { return OpenInto(reader_writer, mirror_.mnt("rw"), O_RDWR); },
              [&] {
                char buffer[4] = {};
                if (PwriteString(reader_writer, "RW", 0) != 0) return 1;
                if (pread(reader_writer, buffer, 4, 0) != 4) return 2;
                return std::string(buffer, 4) == "RW23" ? 0 : 3;
              },
              [&] { return CloseFd(reader_writer); }, [&] { return CloseFd(writer); }});
  ASSERT_TRUE(user.ok());
  ASSERT_EQ(user.Step(), 0);
  ASSERT_EQ(user.Step(), 0);
  const std::string log = mirror_.Log();
  const std::vector<RegistryLine> added = LinesOf(log, host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 1u) << "the read-write open was registered:\n" << log;
  EXPECT_EQ(RefcountOf(log, added[0].fd), 1) << "the read-write open shares:\n" << log;
  EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 2u);
  ASSERT_EQ(user.Step(), 0);

  ASSERT_EQ(user.Step(), 0);
  EXPECT_TRUE(WaitUntil([&] { return DaemonDescriptorsOn(mirror_, host) == 1; }))
      << "the refused descriptor was not closed at its release";
  EXPECT_TRUE(LinesOf(mirror_.Log(), host, RegistryLine::kClose).empty());
  ASSERT_EQ(user.Step(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

TEST_F(FilesTest, WriteOnlyOpenAfterReadOnlyRegistrationGetsItsOwnDescriptor) {
  const std::string host = mirror_.src("ro-first");
  MakeHostFile(host, "0123456789", 0666);
  int reader = -1, writer = -1;
  Actor user(1000, 100,
             {[&] { return OpenInto(reader, mirror_.mnt("ro-first"), O_RDONLY); },
              [&] { return OpenInto(writer, mirror_.mnt("ro-first"), O_WRONLY); },
              [&] {
                char buffer[10] = {};
                if (PwriteString(writer, "WO", 3) != 0) return 1;
                if (pread(reader, buffer, 10, 0) != 10) return 2;
                return std::string(buffer, 10) == "012WO56789" ? 0 : 3;
              },
              [&] { return CloseFd(writer); }, [&] { return CloseFd(reader); }});
  ASSERT_TRUE(user.ok());
  ASSERT_EQ(user.Step(), 0);
  const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 1u);
  const size_t mark = mirror_.LogMark();
  ASSERT_EQ(user.Step(), 0);
  const std::string since = mirror_.LogSince(mark);
  // The sharing step found the read-only registration and gave it back.
  EXPECT_NE(since.find("OpenFilesMap::GetMapping uid 1000 found " + host + " handle " +
                       std::to_string(added[0].fd) + " refcount 2\n"),
            std::string::npos)
      << since;
  EXPECT_TRUE(LinesOf(since, host, RegistryLine::kAdd).empty()) << since;
  EXPECT_EQ(RefcountOf(mirror_.Log(), added[0].fd), 1);
  EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 2u);
  ASSERT_EQ(user.Step(), 0);
  EXPECT_EQ(ReadFile(host), "012WO56789");

  ASSERT_EQ(user.Step(), 0);
  EXPECT_TRUE(WaitUntil([&] { return DaemonDescriptorsOn(mirror_, host) == 1; }))
      << "the unregistered write-only descriptor was not closed at its release";
  EXPECT_EQ(RefcountOf(mirror_.Log(), added[0].fd), 1);
  ASSERT_EQ(user.Step(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

// ---------------------------------------------------------------------------
// Set-ID bits

struct SetIdCase {
  const char* name;
  mode_t mode;
  uid_t owner;
  uid_t caller;
  int flags;
  mode_t expected;
};

TEST_F(FilesTest, WriteOpenByNonOwnerClearsSetIdBitsAndKeepsTheRest) {
  const SetIdCase cases[] = {
      {"suid-sgid-wronly", 06757, 0, 1000, O_WRONLY, 0757},
      {"suid-wronly", 04757, 0, 1000, O_WRONLY, 0757},
      {"sgid-wronly", 02757, 0, 1000, O_WRONLY, 0757},
      {"sgid-no-group-exec", 02646, 0, 1000, O_WRONLY, 0646},
      {"sticky-and-all-bits", 07777, 0, 1000, O_WRONLY, 01777},
      {"other-user-owner", 06777, 1001, 1000, O_WRONLY, 0777},
      {"read-write", 06757, 0, 1000, O_RDWR, 0757},
      {"sgid-read-write", 02646, 0, 1000, O_RDWR, 0646},
      {"root-non-owner", 06755, 1001, 0, O_WRONLY, 0755},
      {"root-non-owner-rw", 04700, 1001, 0, O_RDWR, 0700},
      {"read-only", 06757, 0, 1000, O_RDONLY, 06757},
      {"owner-wronly", 06755, 1000, 1000, O_WRONLY, 06755},
      {"owner-read-write", 06755, 1000, 1000, O_RDWR, 06755},
      {"root-owner", 06755, 0, 0, O_WRONLY, 06755},
      {"no-set-id-bits", 01757, 0, 1000, O_WRONLY, 01757},
  };
  for (const SetIdCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string host = mirror_.src(c.name);
    MakeHostFile(host, "content", c.mode, c.owner, 200);  // a group the callers are not in
    ASSERT_EQ(HostMode(host), c.mode);
    EXPECT_EQ(RunAs(c.caller, 100, [&] {
                const int fd = open(mirror_.mnt(c.name).c_str(), c.flags);
                if (fd == -1) return errno;
                return close(fd) == 0 ? 0 : errno;
              }),
              0);
    EXPECT_EQ(HostMode(host), c.expected) << std::oct << HostMode(host);
    EXPECT_EQ(ReadFile(host), "content");
  }
}

// Clears an inode flag (immutable, append-only) when the test ends, so the
// fixture can remove the tree.
class InodeFlagGuard {
 public:
  InodeFlagGuard(const std::string& path, int flag) : path_(path) {
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    ok_ = fd != -1 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
          (flags |= flag, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd != -1) close(fd);
  }
  ~InodeFlagGuard() {
    const int fd = open(path_.c_str(), O_RDONLY);
    int flags = 0;
    if (fd != -1 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
      ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd != -1) close(fd);
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

TEST_F(FilesTest, FailedWriteOpenLeavesSetIdBits) {
  // A directory: the write open fails with EISDIR.
  ASSERT_EQ(mkdir(mirror_.src("sgid-dir").c_str(), 0700), 0);
  ASSERT_EQ(chmod(mirror_.src("sgid-dir").c_str(), 02777), 0);
  for (const int flags : {O_WRONLY, O_RDWR}) {
    EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(open(mirror_.mnt("sgid-dir").c_str(), flags)); }),
              EISDIR);
    EXPECT_EQ(HostMode(mirror_.src("sgid-dir")), 02777u);
  }

  // An immutable file: the host refuses even the daemon's open (EPERM).
  const std::string immutable = mirror_.src("immutable");
  MakeHostFile(immutable, "content", 06757);
  InodeFlagGuard immutable_flag(immutable, FS_IMMUTABLE_FL);
  if (!immutable_flag.ok()) GTEST_SKIP() << "the tree's filesystem has no immutable flag";
  for (const int flags : {O_WRONLY, O_RDWR}) {
    EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(open(mirror_.mnt("immutable").c_str(), flags)); }),
              EPERM);
    EXPECT_EQ(HostMode(immutable), 06757u);
  }

  // An append-only file: an appending open succeeds, the mode change after it
  // fails, and the open stands with the bits kept.
  const std::string append_only = mirror_.src("append-only");
  MakeHostFile(append_only, "content", 06757);
  InodeFlagGuard append_flag(append_only, FS_APPEND_FL);
  ASSERT_TRUE(append_flag.ok());
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("append-only").c_str(), O_WRONLY | O_APPEND);
              if (fd == -1) return errno;
              return close(fd) == 0 ? 0 : errno;
            }),
            0);
  EXPECT_EQ(HostMode(append_only), 06757u);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

TEST_F(FilesTest, SharingWriteOnlyOpenMakesNoSetIdCheck) {
  const std::string host = mirror_.src("later-suid");
  MakeHostFile(host, "content", 0666);
  int first = -1, second = -1;
  Actor user(1000, 100,
             {[&] { return OpenInto(first, mirror_.mnt("later-suid"), O_WRONLY); },
              [&] { return OpenInto(second, mirror_.mnt("later-suid"), O_WRONLY); },
              [&] { return CloseFd(second) + CloseFd(first); }});
  ASSERT_TRUE(user.ok());
  ASSERT_EQ(user.Step(), 0);
  ASSERT_EQ(chmod(host.c_str(), 06666), 0);
  ASSERT_EQ(user.Step(), 0);
  const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(RefcountOf(mirror_.Log(), added[0].fd), 2) << "the second open did not share";
  EXPECT_EQ(HostMode(host), 06666u);
  ASSERT_EQ(user.Step(), 0);
  EXPECT_EQ(HostMode(host), 06666u);

  // A new (not sharing) write open by the same user does clear them.
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("later-suid").c_str(), O_WRONLY);
              return fd == -1 ? errno : (close(fd), 0);
            }),
            0);
  EXPECT_EQ(HostMode(host), 0666u);
}

// Through the mount the kernel resolves symbolic links itself; the daemon
// decides on the file it actually opened, whoever owns the link.
TEST_F(FilesTest, SetIdRuleAppliesToTheFileReachedThroughALink) {
  MakeHostFile(mirror_.src("root-target"), "r", 06757);
  MakeHostFile(mirror_.src("untouched"), "u", 06757);
  ASSERT_EQ(symlink("root-target", mirror_.src("link-to-root").c_str()), 0);
  ASSERT_EQ(lchown(mirror_.src("link-to-root").c_str(), 1000, 100), 0);
  MakeHostFile(mirror_.src("own-target"), "o", 06755, 1000, 100);
  ASSERT_EQ(symlink("own-target", mirror_.src("link-to-own").c_str()), 0);
  ASSERT_EQ(mkdir(mirror_.src("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../untouched", mirror_.src("sub/decoy").c_str()), 0);
  ASSERT_EQ(symlink("../root-target", mirror_.src("sub/up").c_str()), 0);

  auto open_as_user = [&](const std::string& name) {
    return RunAs(1000, 100, [&] {
      const int fd = open(mirror_.mnt(name).c_str(), O_WRONLY);
      return fd == -1 ? errno : (close(fd), 0);
    });
  };
  EXPECT_EQ(open_as_user("link-to-own"), 0);
  EXPECT_EQ(HostMode(mirror_.src("own-target")), 06755u) << "the owner's bits were cleared";

  EXPECT_EQ(open_as_user("sub/up"), 0);
  EXPECT_EQ(HostMode(mirror_.src("root-target")), 0757u);
  EXPECT_EQ(HostMode(mirror_.src("untouched")), 06757u);
  MakeHostFile(mirror_.src("root-target"), "r", 06757);
  EXPECT_EQ(open_as_user("link-to-root"), 0);
  EXPECT_EQ(HostMode(mirror_.src("root-target")), 0757u);
  EXPECT_EQ(HostMode(mirror_.src("untouched")), 06757u);
  struct stat st;
  ASSERT_EQ(lstat(mirror_.src("link-to-root").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(st.st_uid, 1000u);
}

// With default_permissions the kernel checks access as the caller: an open
// refused there never reaches the daemon and changes nothing.
class FilesWithPermissionChecksTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.options = "default_permissions";
    return options;
  }
};

// A user's own FIFO and socket work for that user (agents, job servers).
TEST_F(FilesWithPermissionChecksTest, UsersOwnFifoAndSocketWorkForThem) {
  EXPECT_EQ(RunAs(1000, 100, [&] {
              umask(077);
              const std::string fifo = mirror_.mnt("fifo");
              if (mkfifo(fifo.c_str(), 0600) != 0) return 1;
              if (chmod(fifo.c_str(), 0660) != 0) return 2;
              const pid_t writer = fork();
              if (writer == 0) {
                const int fd = open(fifo.c_str(), O_WRONLY);
                _exit(fd >= 0 && write(fd, "ping", 4) == 4 ? 0 : 1);
              }
              char got[8] = "";
              const int fd = open(fifo.c_str(), O_RDONLY);
              if (fd < 0 || read(fd, got, sizeof got) != 4 || std::string(got, 4) != "ping") return 3;
              close(fd);
              int status = 0;
              if (waitpid(writer, &status, 0) != writer || status != 0) return 4;

              const int server = socket(AF_UNIX, SOCK_STREAM, 0);
              sockaddr_un address{};
              address.sun_family = AF_UNIX;
              std::strncpy(address.sun_path, mirror_.mnt("agent.sock").c_str(), sizeof address.sun_path - 1);
              const auto* raw = reinterpret_cast<sockaddr*>(&address);
              if (bind(server, raw, sizeof address) != 0 || listen(server, 1) != 0) return 5;
              const int client = socket(AF_UNIX, SOCK_STREAM, 0);
              return connect(client, raw, sizeof address) == 0 ? 0 : 6;
            }),
            0);
  EXPECT_EQ(HostMode(mirror_.src("fifo")), 0660u);
}

TEST_F(FilesWithPermissionChecksTest, RefusedWriteOpenLeavesSetIdBitsAndAllowedOneClearsThem) {
  MakeHostFile(mirror_.src("not-writable"), "content", 06755);
  MakeHostFile(mirror_.src("writable"), "content", 06757);
  for (const int flags : {O_WRONLY, O_RDWR}) {
    EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(open(mirror_.mnt("not-writable").c_str(), flags)); }),
              EACCES);
    EXPECT_EQ(HostMode(mirror_.src("not-writable")), 06755u);
  }
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("writable").c_str(), O_WRONLY);
              return fd == -1 ? errno : (close(fd), 0);
            }),
            0);
  EXPECT_EQ(HostMode(mirror_.src("writable")), 0757u);
}

// ---------------------------------------------------------------------------
// Ownership of created files

TEST_F(FilesTest, CreateAndMknodGiveTheCallersOwnershipAndUmaskedMode) {
  struct Made {
    const char* name;
    bool by_mknod;
    mode_t umask_value;
    mode_t requested;
    mode_t expected;
  };
  const Made made[] = {
      {"created-022", false, 022, 0666, 0644}, {"created-077", false, 077, 0666, 0600},
      {"created-000", false, 000, 0640, 0640}, {"mknod-002", true, 002, 0664, 0664},
      {"mknod-027", true, 027, 0777, 0750},
  };
  for (const Made& m : made) {
    SCOPED_TRACE(m.name);
    const size_t mark = mirror_.LogMark();
    EXPECT_EQ(RunAs(1000, 100, [&] {
                umask(m.umask_value);
                if (m.by_mknod) return ErrnoOf(mknod(mirror_.mnt(m.name).c_str(), S_IFREG | m.requested, 0));
                const int fd = open(mirror_.mnt(m.name).c_str(), O_CREAT | O_WRONLY, m.requested);
                return fd == -1 ? errno : (close(fd), 0);
              }),
              0);
    struct stat st;
    ASSERT_EQ(lstat(mirror_.src(m.name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 100u);
    EXPECT_EQ(st.st_mode & 07777, m.expected) << std::oct << (st.st_mode & 07777);
    // Registered under the caller's uid, and closed at its release (for
    // mknod within the request itself).
    const std::string host = mirror_.src(m.name);
    EXPECT_NE(mirror_.LogSince(mark).find("Returning pair 1000" + host + "\nOpenFilesMap::AddMapping Injected mapping " + host + " to "),
              std::string::npos)
        << mirror_.LogSince(mark);
    EXPECT_TRUE(mirror_.WaitForLog(mark, "OpenFilesMap::RemoveMapping close " + host + " uid 1000 handle "));
  }
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

TEST_F(FilesTest, CreatedWriteOnlyDescriptorServesTheCreatorsTruncate) {
  const std::string host = mirror_.src("created");
  int fd = -1;
  Actor user(1000, 100,
             {[&] { return OpenInto(fd, mirror_.mnt("created"), O_CREAT | O_WRONLY, 0644); },
              [&] { return PwriteString(fd, "0123456789", 0); },
              [&] { return ErrnoOf(truncate(mirror_.mnt("created").c_str(), 3)); },
              [&] { return CloseFd(fd); }});
  ASSERT_TRUE(user.ok());
  ASSERT_EQ(user.Step(), 0);
  ASSERT_EQ(user.Step(), 0);
  const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 1u);
  const size_t mark = mirror_.LogMark();
  ASSERT_EQ(user.Step(), 0);
  EXPECT_NE(mirror_.LogSince(mark).find("Mapped file " + host + " to handle " +
                                        std::to_string(added[0].fd) + ". ftruncate 3\n"),
            std::string::npos)
      << mirror_.LogSince(mark);
  EXPECT_EQ(ReadFile(host), "012");
  ASSERT_EQ(user.Step(), 0);
}

TEST_F(FilesTest, OpeningAnExistingFileWithCreateFlagKeepsItsOwner) {
  const std::string host = mirror_.src("roots");
  MakeHostFile(host, "root data", 0666);
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("roots").c_str(), O_CREAT | O_WRONLY, 0600);
              return fd == -1 ? errno : (close(fd), 0);
            }),
            0);
  struct stat st;
  ASSERT_EQ(lstat(host.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(ReadFile(host), "root data");
  EXPECT_EQ(RunAs(1000, 100, [&] {
              return ErrnoOf(open(mirror_.mnt("roots").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600));
            }),
            EEXIST);
  ASSERT_EQ(lstat(host.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

// With negative entries cached, the kernel sends a create request for a name
// that has since appeared on the host, so the daemon meets an existing file in
// its create handler.
class FilesWithNegativeEntriesTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.options = "negative_timeout=60";
    options.extra_args = {"-d"};  // the library's trace names each request
    return options;
  }
};

TEST_F(FilesWithNegativeEntriesTest, CreateOfANameThatAppearedOnTheHostOpensItAsItIs) {
  struct stat st;
  for (const char* name : {"appeared", "appeared-suid", "appeared-excl"}) {
    EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(stat(mirror_.mnt(name).c_str(), &st)); }), ENOENT);
  }
  MakeHostFile(mirror_.src("appeared"), "host data", 0666);
  MakeHostFile(mirror_.src("appeared-suid"), "host data", 06666);
  MakeHostFile(mirror_.src("appeared-excl"), "host data", 0666);

  const size_t mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("appeared").c_str(), O_CREAT | O_WRONLY, 0600);
              if (fd == -1) return errno;
              const int result = PwriteString(fd, "HOST", 0);
              return close(fd) == 0 ? result : errno;
            }),
            0);
  // It really went through the create handler, and was registered under the caller.
  EXPECT_TRUE(WaitUntil([&] {
    const std::string trace = mirror_.Stderr();
    const size_t create = trace.find("create flags: ");
    return create != std::string::npos &&
           trace.find(" /appeared ", create) < trace.find('\n', create);
  })) << "no create request for /appeared";
  EXPECT_NE(mirror_.LogSince(mark).find("Returning pair 1000" + mirror_.src("appeared") +
                                        "\nOpenFilesMap::AddMapping Injected mapping " +
                                        mirror_.src("appeared") + " to "),
            std::string::npos);
  ASSERT_EQ(lstat(mirror_.src("appeared").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(ReadFile(mirror_.src("appeared")), "HOST data");

  // An existing set-ID file opened this way by a non-owner loses its bits.
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("appeared-suid").c_str(), O_CREAT | O_WRONLY, 0600);
              return fd == -1 ? errno : (close(fd), 0);
            }),
            0);
  ASSERT_EQ(lstat(mirror_.src("appeared-suid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);

  // O_EXCL still refuses it.
  EXPECT_EQ(RunAs(1000, 100, [&] {
              return ErrnoOf(open(mirror_.mnt("appeared-excl").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600));
            }),
            EEXIST);
  ASSERT_EQ(lstat(mirror_.src("appeared-excl").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(ReadFile(mirror_.src("appeared-excl")), "host data");
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

// ---------------------------------------------------------------------------
// Data

struct Chunk {
  off_t offset;
  size_t size;
};

// Splits [begin, end) into consecutive chunks of 1 byte .. 1 MiB.
std::vector<Chunk> RandomChunks(off_t begin, off_t end, std::mt19937_64& random) {
  std::uniform_int_distribution<size_t> size_of(1, 1 << 20);
  std::vector<Chunk> chunks;
  for (off_t at = begin; at < end;) {
    const size_t size = std::min<size_t>(size_of(random), static_cast<size_t>(end - at));
    chunks.push_back({at, size});
    at += static_cast<off_t>(size);
  }
  return chunks;
}

std::unique_ptr<char[]> RandomBytes(size_t size, std::mt19937_64& random) {
  std::unique_ptr<char[]> bytes(new char[size]);
  size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    const uint64_t word = random();
    std::memcpy(bytes.get() + at, &word, 8);
  }
  for (; at < size; ++at) bytes[at] = static_cast<char>(random());
  return bytes;
}

int WriteChunks(int fd, const char* data, const std::vector<Chunk>& chunks) {
  for (const Chunk& chunk : chunks) {
    const int result = PwriteAll(fd, data + chunk.offset, chunk.size, chunk.offset);
    if (result != 0) return result;
  }
  return 0;
}

// Empty when the file holds exactly the expected bytes, else what differs.
std::string CompareWithFile(const std::string& path, const char* expected, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd == -1) return path + ": " + strerror(errno);
  std::vector<char> buffer(1 << 20);
  size_t at = 0;
  std::string problem;
  while (problem.empty()) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      problem = "read: " + std::string(strerror(errno));
    } else if (got == 0) {
      if (at != size) problem = "ends at " + std::to_string(at) + " of " + std::to_string(size);
      break;
    } else if (at + static_cast<size_t>(got) > size) {
      problem = "longer than " + std::to_string(size);
    } else if (std::memcmp(buffer.data(), expected + at, static_cast<size_t>(got)) != 0) {
      problem = "differs in the block at " + std::to_string(at);
    }
    at += got > 0 ? static_cast<size_t>(got) : 0;
  }
  close(fd);
  return problem.empty() ? "" : path + ": " + problem;
}

TEST_F(FilesTest, ConcurrentRandomWritesOfTwoProcessesSharingOneDescriptorReadBackIdentical) {
  constexpr size_t kSize = 256u << 20;
  std::mt19937_64 random(20240611);
  const std::unique_ptr<char[]> data = RandomBytes(kSize, random);
  std::vector<Chunk> chunks = RandomChunks(0, kSize, random);
  std::shuffle(chunks.begin(), chunks.end(), random);
  std::vector<Chunk> mine, theirs;
  for (const Chunk& chunk : chunks) (random() % 2 ? mine : theirs).push_back(chunk);

  const std::string host = mirror_.src("big");
  MakeHostFile(host, "", 0666);
  int fd = -1;
  const char* bytes = data.get();
  Actor first(1000, 100,
              {[&] { return OpenInto(fd, mirror_.mnt("big"), O_WRONLY); },
               [&] { return WriteChunks(fd, bytes, mine); }, [&] { return CloseFd(fd); }});
  Actor second(1000, 100,
               {[&] { return OpenInto(fd, mirror_.mnt("big"), O_WRONLY); },
                [&] { return WriteChunks(fd, bytes, theirs); }, [&] { return CloseFd(fd); }});
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_EQ(first.Step(), 0);
  ASSERT_EQ(second.Step(), 0);
  const std::vector<RegistryLine> added = LinesOf(mirror_.Log(), host, RegistryLine::kAdd);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(RefcountOf(mirror_.Log(), added[0].fd), 2) << "the processes do not share";
  EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 1u);

  first.Start();
  second.Start();
  EXPECT_EQ(first.Wait(120s), 0);
  EXPECT_EQ(second.Wait(120s), 0);
  EXPECT_EQ(first.Step(), 0);
  EXPECT_EQ(second.Step(), 0);
  EXPECT_EQ(CompareWithFile(mirror_.mnt("big"), bytes, kSize), "");
  EXPECT_EQ(CompareWithFile(host, bytes, kSize), "");
}

TEST_F(FilesTest, ConcurrentRandomWritesOfTwoUsersWithOwnDescriptorsReadBackIdentical) {
  constexpr size_t kSize = 64u << 20;
  std::mt19937_64 random(77);
  const std::unique_ptr<char[]> data = RandomBytes(kSize, random);
  std::vector<Chunk> lower = RandomChunks(0, kSize / 2, random);
  std::vector<Chunk> upper = RandomChunks(kSize / 2, kSize, random);
  std::shuffle(lower.begin(), lower.end(), random);
  std::shuffle(upper.begin(), upper.end(), random);

  const std::string host = mirror_.src("halves");
  MakeHostFile(host, "", 0666);
  int fd = -1;
  const char* bytes = data.get();
  Actor alice(1000, 100,
              {[&] { return OpenInto(fd, mirror_.mnt("halves"), O_WRONLY); },
               [&] { return WriteChunks(fd, bytes, lower); }, [&] { return CloseFd(fd); }});
  Actor bob(1001, 100,
            {[&] { return OpenInto(fd, mirror_.mnt("halves"), O_WRONLY); },
             [&] { return WriteChunks(fd, bytes, upper); }, [&] { return CloseFd(fd); }});
  ASSERT_TRUE(alice.ok() && bob.ok());
  ASSERT_EQ(alice.Step(), 0);
  ASSERT_EQ(bob.Step(), 0);
  EXPECT_EQ(LinesOf(mirror_.Log(), host, RegistryLine::kAdd).size(), 2u);
  EXPECT_EQ(DaemonDescriptorsOn(mirror_, host), 2u);
  alice.Start();
  bob.Start();
  EXPECT_EQ(alice.Wait(120s), 0);
  EXPECT_EQ(bob.Wait(120s), 0);
  EXPECT_EQ(alice.Step(), 0);
  EXPECT_EQ(bob.Step(), 0);
  EXPECT_EQ(CompareWithFile(mirror_.mnt("halves"), bytes, kSize), "");
  EXPECT_EQ(CompareWithFile(host, bytes, kSize), "");
}

TEST_F(FilesTest, AppendingWritesLandAtTheCurrentEnd) {
  const std::string host = mirror_.src("log");
  MakeHostFile(host, "abc", 0666);
  const int fd = open(mirror_.mnt("log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0) << strerror(errno);
  EXPECT_EQ(WriteString(fd, "def"), 0);
  EXPECT_EQ(ReadFile(host), "abcdef");
  // Grown on the host meanwhile: the next append goes after that.
  const int host_fd = open(host.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(host_fd, 0);
  EXPECT_EQ(WriteString(host_fd, "ghi"), 0);
  close(host_fd);
  EXPECT_EQ(WriteString(fd, "jkl"), 0);
  EXPECT_EQ(close(fd), 0);
  EXPECT_EQ(ReadFile(host), "abcdefghijkl");
}

TEST_F(FilesTest, SharedMappingWritesReachTheHostFile) {
  const std::string host = mirror_.src("mapped");
  MakeHostFile(host, std::string(8192, 'a'), 0666);
  const int fd = open(mirror_.mnt("mapped").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << strerror(errno);
  void* mapping = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mapping, MAP_FAILED) << strerror(errno);
  char* bytes = static_cast<char*>(mapping);
  EXPECT_EQ(bytes[10], 'a');
  std::memcpy(bytes + 100, "mapped", 6);
  EXPECT_EQ(msync(mapping, 8192, MS_SYNC), 0) << strerror(errno);
  std::string expected(8192, 'a');
  expected.replace(100, 6, "mapped");
  EXPECT_EQ(ReadFile(host), expected);
  std::memcpy(bytes + 5000, "second", 6);
  EXPECT_EQ(munmap(mapping, 8192), 0);
  EXPECT_EQ(close(fd), 0);
  expected.replace(5000, 6, "second");
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(host) == expected; }))
      << "the page written before munmap did not reach the host";
}

TEST_F(FilesTest, ReadsSyncsTruncationAndFlushOnAnOpenDescriptor) {
  const std::string host = mirror_.src("plain");
  MakeHostFile(host, "hello", 0666);
  const int fd = open(mirror_.mnt("plain").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << strerror(errno);
  char buffer[16];
  // At and past the end: 0, not an error; a short read just before it.
  EXPECT_EQ(pread(fd, buffer, sizeof buffer, 5), 0);
  EXPECT_EQ(pread(fd, buffer, sizeof buffer, 1000), 0);
  EXPECT_EQ(pread(fd, buffer, sizeof buffer, 3), 2);
  EXPECT_EQ(std::string(buffer, 2), "lo");

  EXPECT_EQ(PwriteString(fd, " world", 5), 0);
  EXPECT_EQ(fsync(fd), 0) << strerror(errno);
  EXPECT_EQ(fdatasync(fd), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(host), "hello world");

  // Truncation through the descriptor uses the ftruncate slot, not the
  // path-based truncate (which would write its routing line).
  const size_t mark = mirror_.LogMark();
  EXPECT_EQ(ftruncate(fd, 4), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(host), "hell");
  EXPECT_EQ(ftruncate(fd, 6), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(host), std::string("hell\0\0", 6));
  struct stat st;
  EXPECT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 6);
  EXPECT_EQ(mirror_.LogSince(mark).find("truncate"), std::string::npos) << mirror_.LogSince(mark);

  // Closing a duplicate flushes; the original descriptor stays usable.
  const int duplicate = dup(fd);
  ASSERT_GE(duplicate, 0);
  EXPECT_EQ(close(duplicate), 0) << strerror(errno);
  EXPECT_EQ(pread(fd, buffer, 4, 0), 4) << strerror(errno);
  EXPECT_EQ(std::string(buffer, 4), "hell");
  EXPECT_EQ(PwriteString(fd, "o", 4), 0);
  EXPECT_EQ(close(fd), 0);
  EXPECT_EQ(ReadFile(host), std::string("hello\0", 6));
}

// ---------------------------------------------------------------------------
// POSIX record locks

int SetLock(int fd, int command, short type, off_t start, off_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  return fcntl(fd, command, &lock) == -1 ? errno : 0;
}

// Memory shared with forked children, for results richer than an exit code.
template <typename T>
class Shared {
 public:
  Shared() {
    void* memory = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    value_ = memory == MAP_FAILED ? nullptr : new (memory) T{};
  }
  ~Shared() {
    if (value_ != nullptr) munmap(value_, sizeof(T));
  }
  T* get() const { return value_; }

 private:
  T* value_;
};

TEST_F(FilesTest, RecordLocksConflictBetweenProcessesAndDropAtClose) {
  const std::string host = mirror_.src("locked");
  MakeHostFile(host, std::string(200, 'x'), 0666);
  Shared<struct flock> reported;
  ASSERT_NE(reported.get(), nullptr);
  int fd = -1;
  Actor holder(1000, 100,
               {[&] { return OpenInto(fd, mirror_.mnt("locked"), O_RDWR); },
                [&] { return SetLock(fd, F_SETLK, F_WRLCK, 0, 100); },
                [&] { return CloseFd(fd); }});
  Actor contender(1001, 100,
                  {[&] { return OpenInto(fd, mirror_.mnt("locked"), O_RDWR); },
                   [&] { return SetLock(fd, F_SETLK, F_WRLCK, 50, 10); },
                   [&] { return SetLock(fd, F_SETLK, F_RDLCK, 99, 1); },
                   [&] {
                     struct flock* lock = reported.get();
                     *lock = {};
                     lock->l_type = F_WRLCK;
                     lock->l_whence = SEEK_SET;
                     lock->l_start = 50;
                     lock->l_len = 10;
                     return fcntl(fd, F_GETLK, lock) == -1 ? errno : 0;
                   },
                   [&] { return SetLock(fd, F_SETLK, F_WRLCK, 100, 100); },
                   [&] { return SetLock(fd, F_SETLKW, F_WRLCK, 0, 100); },
                   [&] { return CloseFd(fd); }});
  ASSERT_TRUE(holder.ok() && contender.ok());
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(contender.Step(), 0);

  // A conflicting range is refused, for writing and for reading.
  const int conflict = contender.Step();
  EXPECT_TRUE(conflict == EAGAIN || conflict == EACCES) << conflict;
  const int read_conflict = contender.Step();
  EXPECT_TRUE(read_conflict == EAGAIN || read_conflict == EACCES) << read_conflict;
  // F_GETLK names the holder's lock.
  ASSERT_EQ(contender.Step(), 0);
  EXPECT_EQ(reported.get()->l_type, F_WRLCK);
  EXPECT_EQ(reported.get()->l_start, 0);
  EXPECT_EQ(reported.get()->l_len, 100);
  EXPECT_NE(reported.get()->l_pid, 0);
  // A range next to it is free.
  EXPECT_EQ(contender.Step(), 0);

  // The locks are real locks on the host file.
  const int host_fd = open(host.c_str(), O_RDWR);
  ASSERT_GE(host_fd, 0);
  const int host_conflict = SetLock(host_fd, F_SETLK, F_WRLCK, 10, 1);
  EXPECT_TRUE(host_conflict == EAGAIN || host_conflict == EACCES) << host_conflict;
  const int host_second_range = SetLock(host_fd, F_SETLK, F_WRLCK, 150, 1);
  EXPECT_TRUE(host_second_range == EAGAIN || host_second_range == EACCES) << host_second_range;

  // A waiting lock blocks until the holder closes the file.
  contender.Start();
  EXPECT_FALSE(contender.Ready(300ms)) << "F_SETLKW did not wait for the holder";
  EXPECT_EQ(holder.Step(), 0);
  EXPECT_EQ(contender.Wait(30s), 0) << "the holder's close did not release its lock";
  EXPECT_EQ(SetLock(host_fd, F_SETLK, F_WRLCK, 10, 1), EAGAIN) << "the contender holds it now";

  // The contender's close drops its locks too.
  EXPECT_EQ(contender.Step(), 0);
  EXPECT_TRUE(WaitUntil([&] { return SetLock(host_fd, F_SETLK, F_WRLCK, 0, 200) == 0; }))
      << "locks survived the close";
  close(host_fd);
}

// How locks are kept decides only where they are seen: a waiter gets the lock
// when its holder unlocks or closes, and the holder's requests are served
// while a waiter waits, in every mode.
struct LockMode {
  const char* name;
  std::vector<std::string> extra_args;
  std::vector<std::string> environment;
  bool host_sees_locks;   // served by the lock server, on the host files
  bool says_no_server;    // the one line on standard error
};

void PrintTo(const LockMode& mode, std::ostream* out) { *out << mode.name; }

class RecordLocksTest : public MountTest, public ::testing::WithParamInterface<LockMode> {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.extra_args = GetParam().extra_args;
    options.environment = GetParam().environment;
    return options;
  }
};

bool WaitsInFcntl(pid_t pid) {
  return WaitUntil([&] { return InSystemCall(pid, SYS_fcntl); }, 30s);
}

TEST_P(RecordLocksTest, WaiterGetsTheLockWhenTheHolderUnlocksOrCloses) {
  const LockMode& mode = GetParam();
  const std::string host = mirror_.src("locked");
  MakeHostFile(host, std::string(100, 'x'), 0666);
  int fd = -1;
  Actor holder(1000, 100,
               {[&] { return OpenInto(fd, mirror_.mnt("locked"), O_RDWR); },
                [&] { return SetLock(fd, F_SETLK, F_WRLCK, 0, 100); },
                [&] { return SetLock(fd, F_SETLK, F_UNLCK, 0, 100); },
                [&] { return SetLock(fd, F_SETLKW, F_WRLCK, 0, 100); },
                [&] { return CloseFd(fd); }});
  Actor waiter(1001, 100,
               {[&] { return OpenInto(fd, mirror_.mnt("locked"), O_RDWR); },
                [&] { return SetLock(fd, F_SETLKW, F_WRLCK, 0, 100); },
                [&] { return CloseFd(fd); }});
  ASSERT_TRUE(holder.ok() && waiter.ok());
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(waiter.Step(), 0);

  // A request that is never served hangs its caller: the daemon is then
  // killed, so every caller returns and the test can end.
  const auto served = [&](Actor& actor) {
    const int result = actor.Wait(30s);
    if (result == Actor::kStepTimedOut) mirror_.SignalAndReap(SIGKILL);
    return result;
  };
  waiter.Start();
  ASSERT_TRUE(WaitsInFcntl(waiter.pid()));
  const int host_fd = open(host.c_str(), O_RDWR);
  ASSERT_GE(host_fd, 0);
  EXPECT_EQ(SetLock(host_fd, F_SETLK, F_WRLCK, 10, 1), mode.host_sees_locks ? EAGAIN : 0);
  EXPECT_EQ(SetLock(host_fd, F_SETLK, F_UNLCK, 10, 1), 0);
  close(host_fd);
  EXPECT_FALSE(waiter.Ready(0ms)) << "F_SETLKW did not wait for the holder";

  holder.Start();  // unlocks while the waiter waits
  ASSERT_EQ(served(holder), 0) << "the holder's unlock was not served";
  ASSERT_EQ(served(waiter), 0) << "the unlock did not wake the waiter";

  holder.Start();  // now waits in turn, until the waiter closes
  ASSERT_TRUE(WaitsInFcntl(holder.pid()));
  waiter.Start();
  ASSERT_EQ(served(waiter), 0);
  ASSERT_EQ(served(holder), 0) << "the close did not wake the holder";
  EXPECT_EQ(holder.Step(), 0);

  EXPECT_EQ(CountOccurrences(mirror_.Stderr(), "callerfs: no lock server ("),
            mode.says_no_server ? 1u : 0u)
      << mirror_.Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RecordLocksTest,
    ::testing::Values(LockMode{"LockServer", {}, {}, true, false},
                      LockMode{"SingleThread", {"-s"}, {}, false, false},
                      LockMode{"NoLockServer", {}, {"CALLERFS_NO_LOCK_SERVER=1"}, false, true}),
    [](const ::testing::TestParamInfo<LockMode>& info) { return std::string(info.param.name); });

// Waiters killed while they wait leave nothing behind in the daemon: no
// thread, descriptor or lock-server process stays until the holder unlocks.
// The lock server detaches from the daemon, so this test process becomes a
// child subreaper: the servers its daemon starts are then found below it. The
// daemon starts with a PATH that has no lock server on it.
class LockServerTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.environment = {"PATH=/nonexistent"};
    return options;
  }
  void SetUp() override {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    MountTest::SetUp();
  }
  void TearDown() override {
    MountTest::TearDown();
    EXPECT_TRUE(WaitUntil([] { return Servers().empty(); }, 30s))
        << Servers().size() << " lock servers outlived their daemon";
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  // The lock servers below this process, once those that ended and were
  // given to it are reaped.
  static std::vector<pid_t> Servers() {
    for (const pid_t server : DescendantsNamed(getpid(), "ulockmgr_server")) {
      waitpid(server, nullptr, WNOHANG);
    }
    return DescendantsNamed(getpid(), "ulockmgr_server");
  }
};

TEST_F(LockServerTest, KilledWaitersLeaveNoThreadDescriptorOrProcessBehind) {
  constexpr size_t kWaiters = 50;
  MakeHostFile(mirror_.src("locked"), "x", 0666);
  int fd = -1;
  Actor holder(1000, 100,
               {[&] { return OpenInto(fd, mirror_.mnt("locked"), O_RDWR); },
                [&] { return SetLock(fd, F_SETLK, F_WRLCK, 0, 0); },
                [&] { return CloseFd(fd); }});
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_EQ(holder.Step(), 0);
  // Threads, descriptors and lock servers of the daemon: at most these once
  // the waiters are gone, whatever they held meanwhile.
  const auto counts = [daemon = mirror_.daemon_pid()] {
    return std::vector<size_t>{ProcEntryCount(daemon, "task"), ProcEntryCount(daemon, "fd"),
                               Servers().size()};
  };
  std::vector<size_t> most = counts();
  const size_t servers = most[2];
  ASSERT_GE(servers, 1u) << "the lock server was not started, or not from the fixed search path";

  std::vector<pid_t> waiters;
  for (size_t i = 0; i < kWaiters; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(100) != 0 || setuid(1001) != 0) _exit(126);
      const int waiting = open(mirror_.mnt("locked").c_str(), O_RDWR);
      _exit(SetLock(waiting, F_SETLKW, F_WRLCK, 0, 0));
    }
    waiters.push_back(pid);
  }
  // Each waiting owner has a server process of its own while its request is
  // served: once they are all there, every request has reached the daemon.
  for (const pid_t pid : waiters) EXPECT_TRUE(WaitsInFcntl(pid));
  EXPECT_TRUE(WaitUntil([&] { return Servers().size() >= servers + kWaiters; }, 30s))
      << Servers().size() << " lock servers for " << kWaiters << " waiters";
  for (const pid_t pid : waiters) kill(pid, SIGKILL);

  std::vector<size_t> now;
  EXPECT_TRUE(WaitUntil([&] { return std::ranges::equal(now = counts(), most, std::less_equal<>()); }, 30s))
      << "threads, descriptors, lock servers while the holder still holds the lock: "
      << ::testing::PrintToString(now) << ", at most " << ::testing::PrintToString(most);

  EXPECT_EQ(holder.Step(), 0);  // the close unlocks: a waiter left behind ends now
  for (const pid_t pid : waiters) {
    int status = 0;
    ReapWithin(pid, 30s, &status);
  }
}

// Lock owners count against the user's descriptor cap (ENOLCK past it), and
// the kernel never unlocks an OFD lock's owner at close: once the user's files
// are closed, every owner's server process, socket and host lock is gone.
class LockOwnersTest : public LockServerTest {
 protected:
  MountOptions Options() const override {
    MountOptions options = LockServerTest::Options();
    options.options = "max_files_per_user=100";
    // The FUSE library keeps a record of every lock it granted until the
    // owner unlocks through it. The daemon hands it an unlock of each owner
    // it ends at a last close, so the leak check sees whether all went.
    return options;
  }
};

// A lock still granted when the daemon ends keeps the library's record of it,
// which the library never frees: the leak check would report the library's.
class LockOwnersAtExitTest : public LockOwnersTest {
 protected:
  MountOptions Options() const override {
    MountOptions options = LockOwnersTest::Options();
    options.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
    return options;
  }
};

bool HostHasLocksOn(ino_t ino) {
  return ReadFile("/proc/locks").find(":" + std::to_string(ino) + " ") != std::string::npos;
}

TEST_F(LockOwnersTest, OwnersAreCappedAndAllGoWhenTheirFilesClose) {
  constexpr int kOpens = 400;
  const std::string host = mirror_.src("locked");
  MakeHostFile(host, "x", 0666);
  struct stat st;
  ASSERT_EQ(stat(host.c_str(), &st), 0);
  const pid_t daemon = mirror_.daemon_pid();
  const size_t descriptors = ProcEntryCount(daemon, "fd");
  Shared<std::pair<int, int>> outcome;  // locks granted, refused with ENOLCK
  ASSERT_NE(outcome.get(), nullptr);
  EXPECT_EQ(RunAs(1000, 100,
                  [&] {
                    for (int i = 0; i < kOpens; ++i) {  // all closed when the process exits
                      const int fd = open(mirror_.mnt("locked").c_str(), O_WRONLY);
                      if (fd == -1) return 1;
                      const int error = SetLock(fd, F_OFD_SETLK, F_WRLCK, i, 1);
                      if (error != 0 && error != ENOLCK) return 2;
                      ++(error == 0 ? outcome.get()->first : outcome.get()->second);
                    }
                    return 0;
                  }),
            0);
  EXPECT_GE(outcome.get()->first, 90);
  EXPECT_GT(outcome.get()->second, 0) << "no owner was refused past the cap";
  // The connection to the lock server stays open, and its first process.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Servers().size() <= 1 && ProcEntryCount(daemon, "fd") <= descriptors + 1 &&
               !HostHasLocksOn(st.st_ino);
      },
      30s))
      << Servers().size() << " lock servers, " << ProcEntryCount(daemon, "fd") << " descriptors (from "
      << descriptors << "), host locks: " << HostHasLocksOn(st.st_ino);
}

// Waits in progress neither keep the daemon from ending on SIGTERM nor hang
// their callers. (The holder's lock is still granted when the daemon ends.)
TEST_F(LockOwnersAtExitTest, TerminationEndsWaitsInProgress) {
  MakeHostFile(mirror_.src("locked"), "x", 0666);
  const int held = open(mirror_.mnt("locked").c_str(), O_RDWR);
  ASSERT_GE(held, 0) << std::strerror(errno);
  ASSERT_EQ(SetLock(held, F_SETLK, F_WRLCK, 0, 0), 0);
  std::vector<pid_t> waiters;
  for (int i = 0; i < 4; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(SetLock(open(mirror_.mnt("locked").c_str(), O_RDWR), F_SETLKW, F_WRLCK, 0, 0));
    waiters.push_back(pid);
  }
  for (const pid_t pid : waiters) ASSERT_TRUE(WaitsInFcntl(pid));
  const int status = mirror_.SignalAndReap(SIGTERM);  // fails the test unless it ends within 10 s
  close(held);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << mirror_.Stderr();
  for (const pid_t pid : waiters) {
    int waiter_status = 0;
    EXPECT_TRUE(ReapWithin(pid, 10s, &waiter_status)) << "a waiter still hangs";
  }
}

// ---------------------------------------------------------------------------
// Descriptor accounting

// Opens of every kind by several users at once; every descriptor the daemon
// opened is closed once its last open is released.
TEST_F(FilesTest, ThousandsOfOpensAndReleasesLeaveNoDescriptorBehind) {
  constexpr int kFiles = 6;
  constexpr int kRounds = 1000;
  for (int i = 0; i < kFiles; ++i) MakeHostFile(mirror_.src("f" + std::to_string(i)), "data", 0666);
  ASSERT_EQ(mkdir(mirror_.src("dir").c_str(), 0777), 0);
  const size_t descriptors_before = DaemonDescriptorCount(mirror_);

  auto workload = [&](unsigned seed) {
    return [&, seed] {
      std::mt19937 random(seed);
      for (int round = 0; round < kRounds; ++round) {
        const std::string path = mirror_.mnt("f" + std::to_string(random() % kFiles));
        int a = -1, b = -1;
        switch (random() % 7) {
          case 0:  // two write-only opens: the second shares
            if (OpenInto(a, path, O_WRONLY) || OpenInto(b, path, O_WRONLY)) return 10;
            if (PwriteString(random() % 2 ? a : b, "d", 0)) return 11;
            if (random() % 2) std::swap(a, b);
            if (CloseFd(a) || CloseFd(b)) return 12;
            break;
          case 1:
            if (OpenInto(a, path, O_RDONLY) || CloseFd(a)) return 20;
            break;
          case 2:
            if (OpenInto(a, path, O_RDWR) || CloseFd(a)) return 30;
            break;
          case 3:
            if (OpenInto(a, mirror_.mnt("missing"), O_WRONLY) != ENOENT) return 40;
            if (OpenInto(a, mirror_.mnt("missing"), O_RDONLY) != ENOENT) return 41;
            break;
          case 4:
            if (OpenInto(a, mirror_.mnt("dir"), O_WRONLY) != EISDIR) return 50;
            if (OpenInto(a, mirror_.mnt("dir"), O_RDONLY | O_DIRECTORY) || CloseFd(a)) return 51;
            break;
          case 5:  // read-only registration first: the write-only open is refused
            if (OpenInto(a, path, O_RDONLY) || OpenInto(b, path, O_WRONLY)) return 60;
            if (random() % 2) std::swap(a, b);
            if (CloseFd(a) || CloseFd(b)) return 61;
            break;
          case 6:  // a write-only registration and a read-write open beside it
            if (OpenInto(a, path, O_WRONLY) || OpenInto(b, path, O_RDWR)) return 70;
            if (random() % 2) std::swap(a, b);
            if (CloseFd(a) || CloseFd(b)) return 71;
            break;
        }
      }
      return 0;
    };
  };
  Actor alice(1000, 100, {workload(1)});
  Actor bob(1001, 100, {workload(2)});
  Actor root(0, 0, {workload(3)});
  Actor alice_again(1000, 100, {workload(4)});
  ASSERT_TRUE(alice.ok() && bob.ok() && root.ok() && alice_again.ok());
  for (Actor* actor : {&alice, &bob, &root, &alice_again}) actor->Start();
  for (Actor* actor : {&alice, &bob, &root, &alice_again}) EXPECT_EQ(actor->Wait(120s), 0);
  for (Actor* actor : {&alice, &bob, &root, &alice_again}) actor->Finish();

  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors(10s));
  EXPECT_TRUE(WaitUntil([&] { return DaemonDescriptorCount(mirror_) == descriptors_before; }))
      << DaemonDescriptorCount(mirror_) << " descriptors, " << descriptors_before << " before";
  const std::string log = mirror_.Log();
  const size_t added = CountOccurrences(log, "OpenFilesMap::AddMapping Injected mapping ");
  EXPECT_GT(added, 1000u);
  EXPECT_EQ(CountOccurrences(log, "OpenFilesMap::RemoveMapping close "), added);
  EXPECT_EQ(CountOccurrences(log, "erase but NOT close"), 0u);
}

// A user holding the cap gets EMFILE for every further open, create or
// opendir, while other users and root open as before; a shared write-only
// open holds no descriptor of its own, and released opens count no more.
class FilesPerUserCapTest : public MountTest {
 protected:
  static constexpr int kCap = 4;
  MountOptions Options() const override {
    MountOptions options;
    options.options = "max_files_per_user=" + std::to_string(kCap);
    return options;
  }
};

TEST_F(FilesPerUserCapTest, UserPastTheCapGetsEmfileWhileOthersStillOpen) {
  for (const char* name : {"w", "r1", "r2", "r3"}) MakeHostFile(mirror_.src(name), "data", 0666);
  for (const char* name : {"d1", "d2"}) ASSERT_EQ(mkdir(mirror_.src(name).c_str(), 0777), 0);
  struct Open {
    const char* name;
    int flags;
  };
  // The user's opens: the second shares the first's descriptor.
  const std::vector<Open> held = {{"w", O_WRONLY}, {"w", O_WRONLY}, {"d1", O_RDONLY | O_DIRECTORY},
                                  {"r1", O_RDONLY}, {"r2", O_RDWR}};
  const std::vector<Open> refused = {{"r3", O_RDONLY}, {"new", O_WRONLY | O_CREAT},
                                     {"d2", O_RDONLY | O_DIRECTORY}, {"w", O_RDWR}};
  std::vector<int> fds;  // each actor's own copy
  const auto open_all = [&](const std::vector<Open>& opens) {
    return [&, opens] {
      for (const Open& open : opens) {
        int fd = -1;
        if (const int error = OpenInto(fd, mirror_.mnt(open.name), open.flags, 0644)) return error;
        fds.push_back(fd);
      }
      return 0;
    };
  };
  const auto each_refused = [&] {
    for (const Open& open : refused) {
      int fd = -1;
      if (OpenInto(fd, mirror_.mnt(open.name), open.flags, 0644) != EMFILE) return 1;
    }
    return 0;
  };
  const auto close_all = [&] {
    for (int& fd : fds) {
      if (const int error = CloseFd(fd)) return error;
    }
    fds.clear();
    return 0;
  };
  Actor user(1000, 100, {open_all(held), each_refused, close_all, open_all(held), each_refused,
                         close_all});
  Actor other(1001, 100, {open_all({{"w", O_WRONLY}, {"r1", O_RDONLY}, {"r3", O_RDWR},
                                    {"d2", O_RDONLY | O_DIRECTORY}}),
                          close_all});
  ASSERT_TRUE(user.ok() && other.ok());
  ASSERT_EQ(user.Step(), 0);
  EXPECT_EQ(user.Step(), 0) << "an open past the cap was not refused with EMFILE";
  EXPECT_FALSE(std::filesystem::exists(mirror_.src("new")));
  EXPECT_EQ(other.Step(), 0) << "another user's opens failed while one user held the cap";
  EXPECT_EQ(RunAs(0, 0, [&] { return open_all(std::vector<Open>(2 * kCap, {"r1", O_RDONLY}))(); }), 0)
      << "root is held to the cap";

  // Released, the user's descriptors count no more.
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(other.Step(), 0);
  ASSERT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_EQ(user.Step(), 0) << "released opens still count";
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(user.Step(), 0);
}

// ---------------------------------------------------------------------------
// Space allocation

struct FallocateCase {
  const char* what;
  int mode;
  off_t offset, length;
  bool kernel_refuses;  // never reaches the daemon: EOPNOTSUPP, the file unchanged
};

// 16 patterned blocks, on disk, so that both copies start with one allocation.
void MakeAllocatedFile(const std::string& path) {
  std::string data(16 * 4096, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
  WriteFile(path, data, 0666);
  const int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(fsync(fd), 0) << strerror(errno);
  close(fd);
}

// A file given a call through the mount ends as a host file given it directly:
// same error, size, allocated blocks and contents, also as read back through a
// descriptor whose pages were cached before the call.
TEST_F(FilesTest, FallocateModesLeaveTheFileAsTheSameCallOnTheHost) {
  constexpr off_t kBlock = 4096;
  const FallocateCase cases[] = {
      {"allocate past the end, as posix_fallocate", 0, 14 * kBlock, 8 * kBlock, false},
      {"reserve past the end, size kept", FALLOC_FL_KEEP_SIZE, 14 * kBlock, 8 * kBlock, false},
      {"punch a hole", FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, kBlock + 100, 3 * kBlock, false},
      {"zero a range", FALLOC_FL_ZERO_RANGE, 1000, 5 * kBlock, false},
      {"zero past the end", FALLOC_FL_ZERO_RANGE, 15 * kBlock, 4 * kBlock, false},
      {"zero past the end, size kept", FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, 15 * kBlock,
       4 * kBlock, false},
      {"past the host's largest file: EFBIG", 0, off_t{1} << 50, kBlock, false},
      {"collapse", FALLOC_FL_COLLAPSE_RANGE, kBlock, kBlock, true},
      {"insert", FALLOC_FL_INSERT_RANGE, kBlock, kBlock, true},
  };
  for (const FallocateCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "space" + std::to_string(&c - cases);
    MakeAllocatedFile(mirror_.src(name));
    MakeAllocatedFile(mirror_.src(name + ".host"));
    const int host_fd = open(mirror_.src(name + ".host").c_str(), O_RDWR);
    const int host_error =
        c.kernel_refuses ? EOPNOTSUPP : ErrnoOf(fallocate(host_fd, c.mode, c.offset, c.length));
    close(host_fd);

    const int fd = open(mirror_.mnt(name).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    std::string contents(32 * kBlock, '\0');
    ASSERT_EQ(pread(fd, contents.data(), contents.size(), 0), 16 * kBlock);
    EXPECT_EQ(ErrnoOf(fallocate(fd, c.mode, c.offset, c.length)), host_error);
    contents.resize(std::max<ssize_t>(0, pread(fd, contents.data(), contents.size(), 0)));
    close(fd);
    struct stat through_mount, on_host;
    ASSERT_EQ(stat(mirror_.mnt(name).c_str(), &through_mount), 0);
    ASSERT_EQ(stat(mirror_.src(name + ".host").c_str(), &on_host), 0);
    EXPECT_EQ(through_mount.st_size, on_host.st_size);
    EXPECT_EQ(through_mount.st_blocks, on_host.st_blocks);
    EXPECT_TRUE(contents == ReadFile(mirror_.src(name + ".host"))) << "the contents differ";
  }
}

}  // namespace
}  // namespace callerfs::testing
