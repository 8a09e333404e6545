// Unit tests of OpenFilesMap, the registry of open descriptors keyed by
// (caller uid, path). No mount: the caller's uid comes from a thread-local
// test value, descriptors are fake numbers closed by a recording close
// function, and the registry's diagnostic lines are captured from fd 1.
//
// The registry is a process-wide singleton, so every test gives back all the
// references it takes and uses paths of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "registry/open_files_map.h"

namespace callerfs {
namespace {

// Each thread acts as its own user.
thread_local uint32_t t_uid = 1000;
uint32_t TestUid() { return t_uid; }

// Records every call of the registry's close function.
std::mutex g_closed_mutex;
std::map<int, int> g_closed;  // descriptor -> number of close calls

int RecordingClose(int fd) {
  std::lock_guard guard(g_closed_mutex);
  ++g_closed[fd];
  return 0;
}

std::map<int, int> Closed() {
  std::lock_guard guard(g_closed_mutex);
  return g_closed;
}

void ResetClosed() {
  std::lock_guard guard(g_closed_mutex);
  g_closed.clear();
}

// Sends fd 1 to a temporary file (or /dev/null) while alive. Test
// assertions are never made while a capture is active, so gtest's own
// messages stay on the console.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(bool discard = false) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (discard) {
      file_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
      char name[] = "/tmp/registry_test_stdout_XXXXXX";
      file_ = ::mkstemp(name);
      if (file_ != -1) ::unlink(name);
    }
    if (saved_ == -1 || file_ == -1 || ::dup2(file_, STDOUT_FILENO) == -1) std::abort();
  }
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

  ~StdoutRedirect() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(file_);
  }

  // Everything written since construction.
  std::string Text() {
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
      const ssize_t n = ::pread(file_, buffer, sizeof buffer, offset);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    return text;
  }

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Runs f with stdout captured; returns f's result and the lines written.
template <typename F>
auto WithOutput(F&& f) {
  StdoutRedirect capture;
  auto result = f();
  return std::make_pair(result, capture.Text());
}

// Runs f with its diagnostic output thrown away; returns f's result.
template <typename F>
auto Quietly(F&& f) {
  StdoutRedirect discard(true);
  return f();
}

std::string KeyLine(uint32_t uid, const std::string& path) {
  return "Returning pair " + std::to_string(uid) + path + "\n";
}
std::string AddLine(const std::string& path, int fd) {
  return "OpenFilesMap::AddMapping Injected mapping " + path + " to " + std::to_string(fd) +
         " refcount 1\n";
}
std::string GetLine(int32_t uid, const std::string& path, int fd, int count) {
  return "OpenFilesMap::GetMapping uid " + std::to_string(uid) + " found " + path + " handle " +
         std::to_string(fd) + " refcount " + std::to_string(count) + "\n";
}
std::string FoundLine(const std::string& path, int32_t uid, int fd, int count) {
  return "OpenFilesMap::RemoveMapping found mapping " + path + " uid " + std::to_string(uid) +
         " to " + std::to_string(fd) + " refcount now " + std::to_string(count) + "\n";
}
std::string CloseLine(const std::string& path, int32_t uid, int fd) {
  return "OpenFilesMap::RemoveMapping close " + path + " uid " + std::to_string(uid) + " handle " +
         std::to_string(fd) + "\n";
}
std::string EraseLine(const std::string& path, int32_t uid, int fd) {
  return "OpenFilesMap::RemoveMapping erase but NOT close " + path + " uid " + std::to_string(uid) +
         " handle " + std::to_string(fd) + "\n";
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OpenFilesMap::SetCallerUidSource(TestUid);
    registry().SetCloseFunction(RecordingClose);
    ResetClosed();
    t_uid = 1000;
  }

  void TearDown() override { registry().SetCloseFunction(RecordingClose); }

  static OpenFilesMap& registry() { return OpenFilesMap::Instance(); }

  // Quiet helpers for set-up and clean-up steps whose lines are not checked.
  static bool Add(const char* path, int fd, int flags = O_WRONLY, bool close = true) {
    return Quietly([&] { return registry().AddMapping(path, fd, flags, close); });
  }
  static int Get(const char* path) {
    return Quietly([&] { return registry().GetMapping(path); });
  }
  static bool Drop(int fd) {
    return Quietly([&] { return registry().RemoveMapping(fd); });
  }
  // True when (uid, path) has no registration; the lookup takes no reference.
  static bool Unregistered(uint32_t uid, const char* path) {
    const uint32_t saved = t_uid;
    t_uid = uid;
    const int fd = Get(path);
    t_uid = saved;
    if (fd != -1) Drop(fd);
    return fd == -1;
  }
};

TEST_F(RegistryTest, RegistrationLookupAndDropWriteTheirLines) {
  auto [added, add_out] = WithOutput([] { return registry().AddMapping("/a", 7, O_WRONLY, true); });
  EXPECT_TRUE(added);
  EXPECT_EQ(add_out,
            "Returning pair 1000/a\n"
            "OpenFilesMap::AddMapping Injected mapping /a to 7 refcount 1\n");

  auto [found, get_out] = WithOutput([] { return registry().GetMapping("/a"); });
  EXPECT_EQ(found, 7);
  EXPECT_EQ(get_out,
            "Returning pair 1000/a\n"
            "OpenFilesMap::GetMapping uid 1000 found /a handle 7 refcount 2\n");

  auto [dropped, drop_out] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(dropped);
  EXPECT_EQ(drop_out,
            "OpenFilesMap::RemoveMapping found mapping /a uid 1000 to 7 refcount now 1\n");

  auto [last, last_out] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(last);
  EXPECT_EQ(last_out, "OpenFilesMap::RemoveMapping close /a uid 1000 handle 7\n");
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
}

TEST_F(RegistryTest, InvalidRegistrationsAreRefusedSilently) {
  auto [null_path, out1] =
      WithOutput([] { return registry().AddMapping(nullptr, 7, O_WRONLY, true); });
  EXPECT_FALSE(null_path);
  EXPECT_EQ(out1, "");
  auto [empty_path, out2] = WithOutput([] { return registry().AddMapping("", 7, O_WRONLY, true); });
  EXPECT_FALSE(empty_path);
  EXPECT_EQ(out2, "");
  auto [no_fd, out3] = WithOutput([] { return registry().AddMapping("/inv", -1, O_WRONLY, true); });
  EXPECT_FALSE(no_fd);
  EXPECT_EQ(out3, "");

  // None of them left anything behind.
  EXPECT_EQ(registry().GetMode(7), -1);
  EXPECT_EQ(registry().GetMode(-1), -1);
  EXPECT_TRUE(Unregistered(1000, "/inv"));
  EXPECT_TRUE(Closed().empty());
}

TEST_F(RegistryTest, AlreadyRegisteredDescriptorIsRefusedWithoutKeyLine) {
  ASSERT_TRUE(Add("/dup/one", 7, O_WRONLY | O_APPEND));

  // Same descriptor under another path, the same path, and for another user.
  auto [other_path, out1] =
      WithOutput([] { return registry().AddMapping("/dup/two", 7, O_RDONLY, false); });
  EXPECT_FALSE(other_path);
  EXPECT_EQ(out1, "");
  auto [same_path, out2] =
      WithOutput([] { return registry().AddMapping("/dup/one", 7, O_RDONLY, false); });
  EXPECT_FALSE(same_path);
  EXPECT_EQ(out2, "");
  t_uid = 2000;
  auto [other_user, out3] =
      WithOutput([] { return registry().AddMapping("/dup/one", 7, O_RDONLY, false); });
  EXPECT_FALSE(other_user);
  EXPECT_EQ(out3, "");
  t_uid = 1000;

  // The first registration is untouched: flags, count 1, its path only.
  EXPECT_EQ(registry().GetMode(7), O_WRONLY | O_APPEND);
  EXPECT_TRUE(Unregistered(1000, "/dup/two"));
  EXPECT_TRUE(Unregistered(2000, "/dup/one"));
  auto [last, out4] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(last);
  EXPECT_EQ(out4, CloseLine("/dup/one", 1000, 7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
}

TEST_F(RegistryTest, SecondDescriptorForSameKeyIsRefusedAfterKeyLine) {
  ASSERT_TRUE(Add("/same", 7, O_WRONLY));

  auto [second, out] = WithOutput([] { return registry().AddMapping("/same", 8, O_RDWR, true); });
  EXPECT_FALSE(second);
  EXPECT_EQ(out, KeyLine(1000, "/same"));

  // Descriptor 8 was not registered; the first one keeps its count of 1.
  EXPECT_EQ(registry().GetMode(8), -1);
  EXPECT_FALSE(Drop(8));
  auto [found, get_out] = WithOutput([] { return registry().GetMapping("/same"); });
  EXPECT_EQ(found, 7);
  EXPECT_EQ(get_out, KeyLine(1000, "/same") + GetLine(1000, "/same", 7, 2));
  EXPECT_EQ(registry().GetMode(7), O_WRONLY);

  // Descriptor 8 is free to be registered elsewhere.
  EXPECT_TRUE(Add("/same/elsewhere", 8));
  EXPECT_TRUE(Drop(8));

  EXPECT_TRUE(Drop(7));
  EXPECT_TRUE(Drop(7));
  EXPECT_FALSE(Drop(7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}, {8, 1}}));
}

TEST_F(RegistryTest, TwoUsersOfOnePathHaveIndependentRegistrations) {
  ASSERT_TRUE(Add("/shared", 7, O_WRONLY));
  t_uid = 2000;
  auto [added, add_out] =
      WithOutput([] { return registry().AddMapping("/shared", 8, O_RDWR, true); });
  EXPECT_TRUE(added);
  EXPECT_EQ(add_out, KeyLine(2000, "/shared") + AddLine("/shared", 8));

  auto [found2, out2] = WithOutput([] { return registry().GetMapping("/shared"); });
  EXPECT_EQ(found2, 8);
  EXPECT_EQ(out2, KeyLine(2000, "/shared") + GetLine(2000, "/shared", 8, 2));

  t_uid = 1000;
  auto [found1, out1] = WithOutput([] { return registry().GetMapping("/shared"); });
  EXPECT_EQ(found1, 7);
  EXPECT_EQ(out1, KeyLine(1000, "/shared") + GetLine(1000, "/shared", 7, 2));

  // A third user sees nothing: only the key line is written.
  t_uid = 3000;
  auto [none, out3] = WithOutput([] { return registry().GetMapping("/shared"); });
  EXPECT_EQ(none, -1);
  EXPECT_EQ(out3, KeyLine(3000, "/shared"));

  // Dropping user 2000's registration leaves user 1000's as it was.
  auto [d1, drop_out1] = WithOutput([] { return registry().RemoveMapping(8); });
  auto [d2, drop_out2] = WithOutput([] { return registry().RemoveMapping(8); });
  EXPECT_TRUE(d1);
  EXPECT_TRUE(d2);
  EXPECT_EQ(drop_out1, FoundLine("/shared", 2000, 8, 1));
  EXPECT_EQ(drop_out2, CloseLine("/shared", 2000, 8));
  EXPECT_EQ(Closed(), (std::map<int, int>{{8, 1}}));
  EXPECT_TRUE(Unregistered(2000, "/shared"));

  auto [d3, drop_out3] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(d3);
  EXPECT_EQ(drop_out3, FoundLine("/shared", 1000, 7, 1));
  EXPECT_TRUE(Drop(7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}, {8, 1}}));
}

TEST_F(RegistryTest, ReferenceCountsRiseAndFallAndLastDropClosesOnce) {
  auto [added, add_out] =
      WithOutput([] { return registry().AddMapping("/count", 7, O_WRONLY, true); });
  EXPECT_TRUE(added);
  EXPECT_EQ(add_out, KeyLine(1000, "/count") + AddLine("/count", 7));
  auto [g1, get_out1] = WithOutput([] { return registry().GetMapping("/count"); });
  auto [g2, get_out2] = WithOutput([] { return registry().GetMapping("/count"); });
  EXPECT_EQ(g1, 7);
  EXPECT_EQ(g2, 7);
  EXPECT_EQ(get_out1, KeyLine(1000, "/count") + GetLine(1000, "/count", 7, 2));
  EXPECT_EQ(get_out2, KeyLine(1000, "/count") + GetLine(1000, "/count", 7, 3));

  auto [r1, out1] = WithOutput([] { return registry().RemoveMapping(7); });
  auto [r2, out2] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(Closed().empty());
  auto [r3, out3] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(r1);
  EXPECT_TRUE(r2);
  EXPECT_TRUE(r3);
  EXPECT_EQ(out1, FoundLine("/count", 1000, 7, 2));
  EXPECT_EQ(out2, FoundLine("/count", 1000, 7, 1));
  EXPECT_EQ(out3, CloseLine("/count", 1000, 7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));

  auto [r4, out4] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_FALSE(r4);
  EXPECT_EQ(out4, "");
  auto [r5, out5] = WithOutput([] { return registry().RemoveMapping(-1); });
  EXPECT_FALSE(r5);
  EXPECT_EQ(out5, "");
  EXPECT_EQ(registry().GetMode(7), -1);
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));

  auto [miss, miss_out] = WithOutput([] { return registry().GetMapping("/count"); });
  EXPECT_EQ(miss, -1);
  EXPECT_EQ(miss_out, KeyLine(1000, "/count"));
}

TEST_F(RegistryTest, RegistrationWithoutCloseIsErasedButLeftOpen) {
  ASSERT_TRUE(Add("/keep", 7, O_RDONLY, false));
  EXPECT_EQ(Get("/keep"), 7);
  auto [r1, out1] = WithOutput([] { return registry().RemoveMapping(7); });
  auto [r2, out2] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(r1);
  EXPECT_TRUE(r2);
  EXPECT_EQ(out1, FoundLine("/keep", 1000, 7, 1));
  EXPECT_EQ(out2, EraseLine("/keep", 1000, 7));
  EXPECT_TRUE(Closed().empty());
  EXPECT_EQ(registry().GetMode(7), -1);
  EXPECT_TRUE(Unregistered(1000, "/keep"));
}

TEST_F(RegistryTest, GetModeReturnsFlagsAsRegistered) {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_SYNC;
  ASSERT_TRUE(Add("/mode", 7, flags));
  ASSERT_TRUE(Add("/mode/rd", 8, O_RDONLY));
  auto [mode, out] = WithOutput([] { return registry().GetMode(7); });
  EXPECT_EQ(mode, flags);
  EXPECT_EQ(out, "");  // no lines, no reference taken
  EXPECT_EQ(registry().GetMode(8), O_RDONLY);
  EXPECT_EQ(registry().GetMode(9), -1);
  EXPECT_EQ(registry().GetMode(-1), -1);
  EXPECT_TRUE(Drop(7));  // count was still 1
  EXPECT_TRUE(Drop(8));
  EXPECT_EQ(registry().GetMode(7), -1);
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}, {8, 1}}));
}

TEST_F(RegistryTest, WriteOnlyLookupMatchesOnlyWriteOnlyHandles) {
  struct Case {
    const char* path;
    int fd;
    int flags;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"/wo/plain", 10, O_WRONLY, true},
      {"/wo/append", 11, O_WRONLY | O_APPEND, true},
      {"/wo/trunc", 12, O_WRONLY | O_TRUNC | O_CREAT, true},
      {"/wo/rdonly", 13, O_RDONLY, false},
      {"/wo/rdwr", 14, O_RDWR, false},
      {"/wo/path", 15, O_WRONLY | O_PATH, false},
      {"/wo/rdwr-append", 16, O_RDWR | O_APPEND, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(Add(c.path, c.fd, c.flags));
    auto [fd, out] =
        WithOutput([&] { return registry().GetMappingWithMode(c.path, kWriteOnlyMask, O_WRONLY); });
    if (c.matches) {
      EXPECT_EQ(fd, c.fd);
      EXPECT_EQ(out, KeyLine(1000, c.path) + GetLine(1000, c.path, c.fd, 2));
      // The caller now holds a reference: two drops are needed.
      auto [r1, drop_out] = WithOutput([&] { return registry().RemoveMapping(c.fd); });
      EXPECT_TRUE(r1);
      EXPECT_EQ(drop_out, FoundLine(c.path, 1000, c.fd, 1));
    } else {
      // The reference taken by the lookup is given back at once.
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(out, KeyLine(1000, c.path) + GetLine(1000, c.path, c.fd, 2) +
                         FoundLine(c.path, 1000, c.fd, 1));
    }
    EXPECT_EQ(registry().GetMode(c.fd), c.flags);
    // Count back at 1: the next drop is the last.
    auto [r2, last_out] = WithOutput([&] { return registry().RemoveMapping(c.fd); });
    EXPECT_TRUE(r2);
    EXPECT_EQ(last_out, CloseLine(c.path, 1000, c.fd));
  }

  auto [none, out] = WithOutput(
      [] { return registry().GetMappingWithMode("/wo/none", kWriteOnlyMask, O_WRONLY); });
  EXPECT_EQ(none, -1);
  EXPECT_EQ(out, KeyLine(1000, "/wo/none"));

  std::map<int, int> expected;
  for (const Case& c : cases) expected[c.fd] = 1;
  EXPECT_EQ(Closed(), expected);
}

TEST_F(RegistryTest, BorrowerGivingBackLastReferenceCloses) {
  // An open registers the descriptor; a path-based request borrows it; the
  // file is released while the request still holds its reference.
  ASSERT_TRUE(Add("/borrow", 7, O_WRONLY));
  t_uid = 1000;
  const int borrowed =
      Quietly([] { return registry().GetMappingWithMode("/borrow", kWriteOnlyMask, O_WRONLY); });
  ASSERT_EQ(borrowed, 7);

  auto [released, release_out] = WithOutput([] { return registry().RemoveMapping(7); });
  EXPECT_TRUE(released);
  EXPECT_EQ(release_out, FoundLine("/borrow", 1000, 7, 1));
  EXPECT_TRUE(Closed().empty());
  EXPECT_EQ(registry().GetMode(7), O_WRONLY);  // still registered for the borrower

  auto [given_back, out] = WithOutput([&] { return registry().RemoveMapping(borrowed); });
  EXPECT_TRUE(given_back);
  EXPECT_EQ(out, CloseLine("/borrow", 1000, 7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
  EXPECT_TRUE(Unregistered(1000, "/borrow"));
}

TEST_F(RegistryTest, NullCloseFunctionRestoresSystemClose) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  registry().SetCloseFunction(nullptr);
  const bool added = Add("/sysclose", pipe_fds[0], O_RDONLY, true);
  const bool dropped = Drop(pipe_fds[0]);
  registry().SetCloseFunction(RecordingClose);
  EXPECT_TRUE(added);
  EXPECT_TRUE(dropped);
  errno = 0;
  EXPECT_EQ(::fcntl(pipe_fds[0], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(Closed().empty());
  EXPECT_NE(::fcntl(pipe_fds[1], F_GETFD), -1);
  ::close(pipe_fds[1]);
  if (!dropped) ::close(pipe_fds[0]);

  // Setting a function again replaces the system close.
  ASSERT_TRUE(::pipe2(pipe_fds, O_CLOEXEC) == 0);
  EXPECT_TRUE(Add("/sysclose", pipe_fds[0], O_RDONLY, true));
  EXPECT_TRUE(Drop(pipe_fds[0]));
  EXPECT_NE(::fcntl(pipe_fds[0], F_GETFD), -1);
  EXPECT_EQ(Closed(), (std::map<int, int>{{pipe_fds[0], 1}}));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST_F(RegistryTest, CloseMappingMarksForCloseAndDrops) {
  // Count 1: this drop is the last one, and closes although registered
  // without close.
  ASSERT_TRUE(Add("/mark/one", 7, O_RDONLY, false));
  auto [closed_now, out1] = WithOutput([] { return registry().CloseMapping(7); });
  EXPECT_TRUE(closed_now);
  EXPECT_EQ(out1, CloseLine("/mark/one", 1000, 7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
  EXPECT_EQ(registry().GetMode(7), -1);

  // Count 2: the mark outlives this drop and the next drop closes.
  ASSERT_TRUE(Add("/mark/two", 8, O_RDONLY, false));
  ASSERT_EQ(Get("/mark/two"), 8);
  auto [marked, out2] = WithOutput([] { return registry().CloseMapping(8); });
  EXPECT_TRUE(marked);
  EXPECT_EQ(out2, FoundLine("/mark/two", 1000, 8, 1));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
  auto [last, out3] = WithOutput([] { return registry().RemoveMapping(8); });
  EXPECT_TRUE(last);
  EXPECT_EQ(out3, CloseLine("/mark/two", 1000, 8));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}, {8, 1}}));

  auto [unknown, out4] = WithOutput([] { return registry().CloseMapping(8); });
  EXPECT_FALSE(unknown);
  EXPECT_EQ(out4, "");
  auto [none, out5] = WithOutput([] { return registry().CloseMapping(-1); });
  EXPECT_FALSE(none);
  EXPECT_EQ(out5, "");
}

TEST_F(RegistryTest, RemoveMappingByPathDropsTheCallersRegistration) {
  ASSERT_TRUE(Add("/bypath", 7, O_WRONLY));
  ASSERT_EQ(Get("/bypath"), 7);

  t_uid = 2000;  // another user's key: nothing to drop
  auto [other, out0] = WithOutput([] { return registry().RemoveMappingByPath("/bypath"); });
  EXPECT_FALSE(other);
  EXPECT_EQ(out0, KeyLine(2000, "/bypath"));

  t_uid = 1000;
  auto [r1, out1] = WithOutput([] { return registry().RemoveMappingByPath("/bypath"); });
  EXPECT_TRUE(r1);
  EXPECT_EQ(out1, KeyLine(1000, "/bypath") + FoundLine("/bypath", 1000, 7, 1));
  auto [r2, out2] = WithOutput([] { return registry().RemoveMappingByPath("/bypath"); });
  EXPECT_TRUE(r2);
  EXPECT_EQ(out2, KeyLine(1000, "/bypath") + CloseLine("/bypath", 1000, 7));
  auto [r3, out3] = WithOutput([] { return registry().RemoveMappingByPath("/bypath"); });
  EXPECT_FALSE(r3);
  EXPECT_EQ(out3, KeyLine(1000, "/bypath"));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));
}

TEST_F(RegistryTest, SameKeyAndDescriptorCanBeRegisteredAgainAfterLastDrop) {
  ASSERT_TRUE(Add("/again", 7, O_RDWR));
  ASSERT_TRUE(Drop(7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}}));

  auto [again, out] = WithOutput([] { return registry().AddMapping("/again", 7, O_WRONLY, true); });
  EXPECT_TRUE(again);
  EXPECT_EQ(out, KeyLine(1000, "/again") + AddLine("/again", 7));
  EXPECT_EQ(registry().GetMode(7), O_WRONLY);  // the new flags, not the old ones
  auto [found, get_out] = WithOutput([] { return registry().GetMapping("/again"); });
  EXPECT_EQ(found, 7);
  EXPECT_EQ(get_out, KeyLine(1000, "/again") + GetLine(1000, "/again", 7, 2));
  EXPECT_TRUE(Drop(7));
  EXPECT_TRUE(Drop(7));
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 2}}));
}

TEST_F(RegistryTest, LargeUidPrintsUnsignedInKeyLineAndSignedElsewhere) {
  t_uid = 4294967294u;
  auto [added, add_out] =
      WithOutput([] { return registry().AddMapping("/big", 7, O_WRONLY, true); });
  EXPECT_TRUE(added);
  EXPECT_EQ(add_out,
            "Returning pair 4294967294/big\n"
            "OpenFilesMap::AddMapping Injected mapping /big to 7 refcount 1\n");
  auto [found, get_out] = WithOutput([] { return registry().GetMapping("/big"); });
  EXPECT_EQ(found, 7);
  EXPECT_EQ(get_out,
            "Returning pair 4294967294/big\n"
            "OpenFilesMap::GetMapping uid -2 found /big handle 7 refcount 2\n");

  // Uids that differ only above bit 31 or in sign are different users.
  for (uint32_t other : {0u, 2147483647u, 2147483648u, 4294967295u, 1000u}) {
    EXPECT_TRUE(Unregistered(other, "/big")) << other;
  }
  t_uid = 2147483648u;
  EXPECT_TRUE(Add("/big", 8, O_WRONLY));
  t_uid = 4294967294u;

  auto [r1, out1] = WithOutput([] { return registry().RemoveMapping(7); });
  auto [r2, out2] = WithOutput([] { return registry().RemoveMapping(7); });
  auto [r3, out3] = WithOutput([] { return registry().RemoveMapping(8); });
  EXPECT_TRUE(r1);
  EXPECT_TRUE(r2);
  EXPECT_TRUE(r3);
  EXPECT_EQ(out1, "OpenFilesMap::RemoveMapping found mapping /big uid -2 to 7 refcount now 1\n");
  EXPECT_EQ(out2, "OpenFilesMap::RemoveMapping close /big uid -2 handle 7\n");
  EXPECT_EQ(out3, "OpenFilesMap::RemoveMapping close /big uid -2147483648 handle 8\n");
  EXPECT_EQ(Closed(), (std::map<int, int>{{7, 1}, {8, 1}}));
}

TEST_F(RegistryTest, KeysCompareWholePathBytes) {
  // Paths that share prefixes, differ in case, or hold bytes above 0x7f or
  // printf directives are all distinct keys and written verbatim.
  const std::vector<std::pair<std::string, int>> entries = {
      {"/k", 20},     {"/k/", 21},    {"/kk", 22},        {"/K", 23},
      {"/k\x01", 24}, {"/k\xff", 25}, {"/k\xc3\xa9", 26}, {"/100%d%s%n", 27},
  };
  for (const auto& [path, fd] : entries) ASSERT_TRUE(Add(path.c_str(), fd)) << path;
  for (const auto& [path, fd] : entries) {
    auto [found, out] = WithOutput([&] { return registry().GetMapping(path.c_str()); });
    EXPECT_EQ(found, fd) << path;
    EXPECT_EQ(out, KeyLine(1000, path) + GetLine(1000, path, fd, 2));
  }
  EXPECT_TRUE(Unregistered(1000, "/k/x"));
  EXPECT_TRUE(Unregistered(1000, "/"));
  for (const auto& [path, fd] : entries) {
    auto [r1, out1] = WithOutput([&] { return registry().RemoveMapping(fd); });
    auto [r2, out2] = WithOutput([&] { return registry().RemoveMapping(fd); });
    EXPECT_TRUE(r1 && r2) << path;
    EXPECT_EQ(out1, FoundLine(path, 1000, fd, 1));
    EXPECT_EQ(out2, CloseLine(path, 1000, fd));
  }
  EXPECT_EQ(Closed().size(), entries.size());
}

TEST_F(RegistryTest, NullPathLookupsFindNothing) {
  EXPECT_EQ(Quietly([] { return registry().GetMapping(nullptr); }), -1);
  EXPECT_EQ(
      Quietly([] { return registry().GetMappingWithMode(nullptr, kWriteOnlyMask, O_WRONLY); }), -1);
  EXPECT_FALSE(Quietly([] { return registry().RemoveMappingByPath(nullptr); }));
}

// Threads acting as three users register, look up and drop over a few shared
// paths at once. Each thread only gives back references it took itself.
TEST_F(RegistryTest, ConcurrentUseKeepsRegistrationsConsistent) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 4000;
  constexpr uint32_t kFirstUid = 3000;
  constexpr int kUsers = 3;
  const std::vector<std::string> paths = {"/conc/a", "/conc/b", "/conc/c", "/conc/d"};
  const std::vector<int> flag_choices = {O_WRONLY, O_WRONLY | O_APPEND, O_RDONLY, O_RDWR,
                                         O_WRONLY | O_PATH};

  struct Attempt {
    uint32_t uid;
    std::string path;
    int flags;
    bool close_on_last_drop;
    bool marked = false;  // CloseMapping was used on it
    bool added = false;
  };
  std::mutex attempts_mutex;
  std::map<int, Attempt> attempts;  // by fake descriptor; numbers never reused
  std::atomic<int> next_fd{100000};
  std::atomic<int> refused{0};
  std::atomic<int> borrowed_total{0};

  std::mutex errors_mutex;
  std::vector<std::string> errors;
  auto error = [&](std::string text) {
    std::lock_guard guard(errors_mutex);
    if (errors.size() < 20) errors.push_back(std::move(text));
  };
  auto attempt_of = [&](int fd) {
    std::lock_guard guard(attempts_mutex);
    auto it = attempts.find(fd);
    return it == attempts.end() ? std::optional<Attempt>() : std::optional<Attempt>(it->second);
  };

  {
    StdoutRedirect discard(true);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        t_uid = kFirstUid + static_cast<uint32_t>(t % kUsers);
        std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 17u);
        OpenFilesMap& reg = registry();
        std::vector<int> owned;     // registrations made by this thread
        std::vector<int> borrowed;  // references taken by lookups
        auto take = [&](std::vector<int>& from) {
          const size_t at = rng() % from.size();
          const int fd = from[at];
          from[at] = from.back();
          from.pop_back();
          return fd;
        };
        auto check_borrowed = [&](int fd, const std::string& path, bool write_only) {
          const std::optional<Attempt> a = attempt_of(fd);
          if (!a || !a->added)
            return error("lookup returned unregistered fd " + std::to_string(fd));
          if (a->uid != t_uid || a->path != path)
            return error("lookup of " + path + " returned fd of another key " + std::to_string(fd));
          if (write_only && (a->flags & kWriteOnlyMask) != O_WRONLY)
            return error("write-only lookup returned fd with flags " + std::to_string(a->flags));
        };

        auto give_back = [&] {
          const int fd = take(borrowed);
          // A held reference keeps the record alive.
          const std::optional<Attempt> a = attempt_of(fd);
          if (!a || reg.GetMode(fd) != a->flags)
            error("borrowed fd lost its record " + std::to_string(fd));
          if (!reg.RemoveMapping(fd)) error("drop of borrowed fd failed " + std::to_string(fd));
        };

        for (int i = 0; i < kIterations; ++i) {
          // Requests hold their references only briefly.
          if (borrowed.size() > 2) give_back();
          const std::string& path = paths[rng() % paths.size()];
          switch (rng() % 7) {
            case 0:
            case 1: {
              const int fd = next_fd.fetch_add(1);
              const int flags = flag_choices[rng() % flag_choices.size()];
              const bool close = rng() % 2 == 0;
              {
                std::lock_guard guard(attempts_mutex);
                attempts[fd] = Attempt{t_uid, path, flags, close};
                // Marked before the call: another thread may find it at once.
                attempts[fd].added = true;
              }
              if (reg.AddMapping(path.c_str(), fd, flags, close)) {
                owned.push_back(fd);
              } else {
                {
                  std::lock_guard guard(attempts_mutex);
                  attempts[fd].added = false;
                }
                ++refused;
                if (reg.GetMode(fd) != -1) error("refused fd registered " + std::to_string(fd));
              }
              break;
            }
            case 2: {
              const int fd = reg.GetMapping(path.c_str());
              if (fd == -1) break;
              check_borrowed(fd, path, false);
              borrowed.push_back(fd);
              ++borrowed_total;
              break;
            }
            case 3: {
              const int fd = reg.GetMappingWithMode(path.c_str(), kWriteOnlyMask, O_WRONLY);
              if (fd == -1) break;
              check_borrowed(fd, path, true);
              borrowed.push_back(fd);
              ++borrowed_total;
              break;
            }
            case 4:
              if (!borrowed.empty()) give_back();
              break;
            case 5:
            case 6: {
              if (owned.empty()) break;
              const int fd = take(owned);
              const std::optional<Attempt> a = attempt_of(fd);
              if (a && !a->close_on_last_drop && rng() % 3 == 0) {
                {
                  std::lock_guard guard(attempts_mutex);
                  attempts[fd].marked = true;
                }
                if (!reg.CloseMapping(fd))
                  error("CloseMapping of own fd failed " + std::to_string(fd));
              } else if (!reg.RemoveMapping(fd)) {
                error("drop of own fd failed " + std::to_string(fd));
              }
              break;
            }
          }
        }
        while (!borrowed.empty()) give_back();
        while (!owned.empty()) {
          if (!reg.RemoveMapping(take(owned))) error("final drop of own fd failed");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }

  EXPECT_EQ(errors, std::vector<std::string>{});

  // Every registration with close on last drop (or marked) was closed exactly
  // once; nothing else was closed.
  const std::map<int, int> closed = Closed();
  int added = 0;
  for (const auto& [fd, a] : attempts) {
    const auto it = closed.find(fd);
    const int count = it == closed.end() ? 0 : it->second;
    const bool must_close = a.added && (a.close_on_last_drop || a.marked);
    EXPECT_EQ(count, must_close ? 1 : 0) << "fd " << fd << " added " << a.added;
    if (a.added) ++added;
    EXPECT_EQ(registry().GetMode(fd), -1) << "fd " << fd << " still registered";
  }
  for (const auto& [fd, count] : closed) {
    EXPECT_TRUE(attempts.contains(fd)) << "closed a descriptor never offered: " << fd;
  }
  // The run exercised the interesting paths.
  EXPECT_GT(added, 50);
  EXPECT_GT(refused.load(), 10);
  EXPECT_GT(borrowed_total.load(), 50);

  // The registry is empty again.
  for (uint32_t uid = kFirstUid; uid < kFirstUid + kUsers; ++uid) {
    for (const std::string& path : paths)
      EXPECT_TRUE(Unregistered(uid, path.c_str())) << uid << path;
  }
}

TEST(RegistryInstanceTest, ConcurrentFirstCallsCreateOneInstance) {
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<OpenFilesMap*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      seen[t] = &OpenFilesMap::Instance();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]) << t;
  EXPECT_EQ(&OpenFilesMap::Instance(), seen[0]);
  // A fresh instance starts empty.
  EXPECT_EQ(OpenFilesMap::Instance().GetMode(0), -1);
  EXPECT_EQ(OpenFilesMap::Instance().GetMode(1), -1);
}

}  // namespace
}  // namespace callerfs
