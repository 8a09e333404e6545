// Mount initialisation: the control entry point and its caller resolver, and
// the redirection of standard error to an inherited descriptor.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;

// A fresh directory for files the daemon writes outside the mirrored tree;
// removed with its contents on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/callerfs-init-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::map<std::string, std::string> ParseReport(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

class ControlEntryPointTest : public MountTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok()) << strerror(errno);
    report_ = scratch_.file("report");
    MountTest::SetUp();
  }

  MountOptions Options() const override {
    MountOptions options;
    options.environment = PreloadEnvironment(CALLERFS_PROBE_LIBRARY);
    options.environment.push_back("KIVO_PROBE_REPORT=" + report_);
    return options;
  }

  // Makes the daemon check access to the probe file on behalf of the calling
  // thread and returns what the probe recorded while serving that request.
  std::map<std::string, std::string> Probe() {
    unlink(report_.c_str());
    EXPECT_EQ(access(mirror_.mnt(".kivo-probe").c_str(), R_OK), 0) << strerror(errno);
    return ParseReport(ReadFile(report_));
  }

  ScratchDir scratch_;
  std::string report_;
};

TEST_F(ControlEntryPointTest, ResolverIdentifiesTheThreadAndProcessOfEachRequest) {
  WriteFile(mirror_.src(".kivo-probe"), "");

  // A request made by a secondary thread of this process.
  pid_t thread_id = 0;
  std::map<std::string, std::string> from_thread;
  std::thread requester([&] {
    thread_id = gettid();
    from_thread = Probe();
  });
  requester.join();
  ASSERT_NE(thread_id, getpid());
  ASSERT_FALSE(from_thread.empty()) << "the probe wrote no report: the daemon's access "
                                       "request did not reach the wrapped access(2)";
  EXPECT_EQ(from_thread["command"], "32768");
  EXPECT_EQ(from_thread["calls"], "1");
  EXPECT_EQ(from_thread["resolver0"], std::to_string(thread_id));
  EXPECT_EQ(from_thread["resolver1"], std::to_string(getpid()));
  EXPECT_EQ(from_thread["mountpoint"], Canonical(mirror_.mnt_dir()));
  EXPECT_EQ(from_thread["subdir"], Canonical(mirror_.src_dir()));

  // The main thread: thread id and process id coincide.
  std::map<std::string, std::string> from_main = Probe();
  EXPECT_EQ(from_main["resolver0"], std::to_string(getpid()));
  EXPECT_EQ(from_main["resolver1"], std::to_string(getpid()));

  // Another process, acting as another user: the resolver names that process.
  unlink(report_.c_str());
  const pid_t child = fork();
  ASSERT_GE(child, 0) << strerror(errno);
  if (child == 0) {
    if (setgid(100) != 0 || setuid(1000) != 0) _exit(126);
    _exit(access(mirror_.mnt(".kivo-probe").c_str(), F_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::map<std::string, std::string> from_child = ParseReport(ReadFile(report_));
  EXPECT_EQ(from_child["resolver0"], std::to_string(child));
  EXPECT_EQ(from_child["resolver1"], std::to_string(child));
  // Still the one registration made at mount time.
  EXPECT_EQ(from_child["calls"], "1");
}

class PlainInitTest : public MountTest {};

TEST_F(PlainInitTest, MountWithoutAControlEntryPointServesRequests) {
  WriteFile(mirror_.src(".kivo-probe"), "");
  EXPECT_EQ(access(mirror_.mnt(".kivo-probe").c_str(), R_OK), 0) << strerror(errno);
  struct stat st;
  EXPECT_EQ(stat(mirror_.mnt(".kivo-probe").c_str(), &st), 0) << strerror(errno);
  WriteFile(mirror_.mnt("made-through-mount"), "data");
  EXPECT_EQ(ReadFile(mirror_.src("made-through-mount")), "data");
}

// KESTROVA_ERROR_HANDLE values that name no usable descriptor leave standard
// error where it was. The daemon runs with -d so the library traces every
// request to standard error; a lookup of a marker name shows where it went.
class ErrorHandleIgnoredTest : public ::testing::TestWithParam<std::optional<std::string>> {};

TEST_P(ErrorHandleIgnoredTest, StandardErrorStaysAndTheMountWorks) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  MountOptions options;
  options.extra_args = {"-d"};
  if (GetParam().has_value()) options.environment = {"KESTROVA_ERROR_HANDLE=" + *GetParam()};
  Mirror mirror;
  mirror.Start(options);
  ASSERT_FALSE(HasFatalFailure());

  WriteFile(mirror.src("present"), "x");
  struct stat st;
  EXPECT_EQ(stat(mirror.mnt("present").c_str(), &st), 0) << strerror(errno);
  EXPECT_EQ(stat(mirror.mnt("marker-after-init").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (mirror.Stderr().find("marker-after-init") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(mirror.Stderr().find("marker-after-init"), std::string::npos)
      << "the library's trace of the lookup did not reach the daemon's standard error";
  mirror.Stop();
}

INSTANTIATE_TEST_SUITE_P(Values, ErrorHandleIgnoredTest,
                         ::testing::Values(std::nullopt, std::optional<std::string>(""),
                                           std::optional<std::string>("0"),
                                           std::optional<std::string>("abc"),
                                           std::optional<std::string>("77")),
                         [](const ::testing::TestParamInfo<std::optional<std::string>>& info) {
                           if (!info.param.has_value()) return std::string("Unset");
                           if (info.param->empty()) return std::string("Empty");
                           if (*info.param == "0") return std::string("Zero");
                           if (*info.param == "abc") return std::string("NotNumeric");
                           return std::string("ClosedDescriptor");
                         });

// A value naming an inherited open descriptor (read as atoi does, so trailing
// text is ignored) makes that descriptor the daemon's standard error from
// mount initialisation on.
class ErrorHandleRedirectTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ErrorHandleRedirectTest, LaterStandardErrorGoesToTheNamedDescriptor) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok()) << strerror(errno);
  const std::string redirected = scratch.file("redirected.err");
  MountOptions options;
  options.extra_args = {"-d"};
  options.inherited_file_path = redirected;
  options.inherited_fd = 9;
  options.environment = {"KESTROVA_ERROR_HANDLE=" + GetParam()};
  Mirror mirror;
  mirror.Start(options);
  ASSERT_FALSE(HasFatalFailure());

  struct stat st;
  EXPECT_EQ(stat(mirror.mnt("marker-after-init").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  WriteFile(mirror.src("present"), "x");
  EXPECT_EQ(stat(mirror.mnt("present").c_str(), &st), 0) << strerror(errno);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (ReadFile(redirected).find("marker-after-init") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(ReadFile(redirected).find("marker-after-init"), std::string::npos)
      << "redirected file:\n" << ReadFile(redirected);
  EXPECT_EQ(mirror.Stderr().find("marker-after-init"), std::string::npos)
      << "the trace still reached the original standard error";
  // The diagnostics on standard output are not affected.
  EXPECT_EQ(ReadFile(redirected).find("Returning pair"), std::string::npos);
  mirror.Stop();
}

INSTANTIATE_TEST_SUITE_P(Values, ErrorHandleRedirectTest, ::testing::Values("9", "9 trailing"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param == "9" ? std::string("Number")
                                                    : std::string("NumberWithTrailingText");
                         });

// Write system calls the daemon has made so far (replies to the kernel
// included).
long WriteCalls(pid_t pid) {
  std::istringstream io(ReadFile("/proc/" + std::to_string(pid) + "/io"));
  std::string key;
  long value = 0;
  while (io >> key >> value) {
    if (key == "syscw:") return value;
  }
  return -1;
}

// Writes made while serving a number of stats through a fresh mount whose
// standard output goes to output_path (the log file when empty).
long WritesForStats(const std::string& output_path, int stats, std::string* log) {
  Mirror mirror;
  MountOptions options;
  options.output_path = output_path;
  mirror.Start(options);
  if (::testing::Test::HasFatalFailure()) return -1;
  WriteFile(mirror.src("f"), "x");
  const long before = WriteCalls(mirror.daemon_pid());
  struct stat st;
  for (int i = 0; i < stats; ++i) EXPECT_EQ(stat(mirror.mnt("f").c_str(), &st), 0);
  const long after = WriteCalls(mirror.daemon_pid());
  if (log != nullptr) *log = mirror.Log();
  mirror.Stop();
  return after - before;
}

// In the background standard output is /dev/null: the lines reach no one and
// are not written; in the foreground every one of them is.
TEST(DiagnosticsOutputTest, LinesAreWrittenUnlessOutputIsDevNull) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  constexpr int kStats = 500;
  std::string log;
  const long logged = WritesForStats("", kStats, &log);
  const long discarded = WritesForStats("/dev/null", kStats, nullptr);
  ASSERT_GT(logged, 0);
  ASSERT_GT(discarded, 0);
  EXPECT_GE(CountOccurrences(log, "Returning pair 0"), static_cast<size_t>(kStats));
  // Each stat makes at least one key line when the lines are written.
  EXPECT_GE(logged - discarded, kStats) << "logged " << logged << ", discarded " << discarded;
}

}  // namespace
}  // namespace callerfs::testing
