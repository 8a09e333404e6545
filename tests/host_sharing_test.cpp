// Files that processes on the host use while users of the mount do: names the
// host removed while the kernel still caches them, O_DIRECT, and a database
// written on both sides at once.
#include <fcntl.h>
#include <sys/mman.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

// Mounted with the kernel's caches on: the library's (Default, SingleThread),
// none (Coherent), or a minute of names and attributes (LongCaches).
class HostSharingTest : public MountTest, public ::testing::WithParamInterface<std::string> {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.no_kernel_cache = false;
    if (GetParam() == "SingleThread") options.extra_args = {"-s"};
    if (GetParam() == "Coherent") options.options = "coherent";
    if (GetParam() == "LongCaches") options.options = "attr_timeout=60,entry_timeout=60";
    return options;
  }
};
using CachedNamesTest = HostSharingTest;

TEST_P(CachedNamesTest, CreateOfANameTheHostRemovedMakesItAndAPlainOpenFindsNothing) {
  struct stat st;
  for (const char* name : {"made-again", "gone"}) {
    WriteFile(mirror_.src(name), "host");
    ASSERT_EQ(stat(mirror_.mnt(name).c_str(), &st), 0);  // the kernel now holds the name
    ASSERT_EQ(unlink(mirror_.src(name).c_str()), 0);
  }
  EXPECT_EQ(RunAs(1000, 100, [&] {
              const int fd = open(mirror_.mnt("made-again").c_str(), O_CREAT | O_WRONLY, 0600);
              return fd == -1 ? errno : close(fd);
            }),
            0);
  EXPECT_EQ(stat(mirror_.src("made-again").c_str(), &st) == 0 ? st.st_uid : 0, 1000u);
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(open(mirror_.mnt("gone").c_str(), O_RDONLY)); }),
            ENOENT);
}

// O_DIRECT writes then reads, aligned (4 KiB to 1 MiB, one or more requests)
// and not (EINVAL), give through the mount what they give on a host file.
TEST_P(HostSharingTest, DirectIoGivesWhatTheHostGives) {
  const std::pair<size_t, off_t> cases[] = {{4096, 0},       {20480, 4096}, {135168, 8192},
                                            {1 << 20, 4096}, {4096, 100},   {1000, 0}};
  const std::unique_ptr<char, decltype(&std::free)> buffers(
      static_cast<char*>(std::aligned_alloc(4096, 2 << 20)), &std::free);
  char* const out = buffers.get();
  char* const in = out + (1 << 20);
  for (const auto& [size, offset] : cases) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 7 + offset);
    std::string seen[2];  // on the host, through the mount: the two results, the data read
    for (int side = 0; side < 2; ++side) {
      const int fd = open((side ? mirror_.mnt("direct") : mirror_.src("direct.host")).c_str(),
                          O_RDWR | O_CREAT | O_DIRECT, 0644);
      ASSERT_GE(fd, 0) << strerror(errno);
      const ssize_t wrote = pwrite(fd, out, size, offset);
      seen[side] = std::to_string(wrote == -1 ? -errno : wrote) + " ";
      const ssize_t read = pread(fd, in, size, offset);
      seen[side] += std::to_string(read == -1 ? -errno : read) + " ";
      seen[side].append(in, std::max<ssize_t>(read, 0));
      close(fd);
    }
    EXPECT_TRUE(seen[0] == seen[1]) << size << " bytes at " << offset << ": host "
                                    << seen[0].substr(0, 12) << ", mount " << seen[1].substr(0, 12);
  }
  EXPECT_TRUE(ReadFile(mirror_.src("direct")) == ReadFile(mirror_.src("direct.host")));
  if (std::string(GetParam()) == "Coherent") return;  // no shared mappings under direct_io
  // A shared mapping of a file opened with O_DIRECT, its end not on a block:
  // the pages go back whole, as on the host.
  std::string mapped[2];
  for (int side = 0; side < 2; ++side) {
    const int fd = open((side ? mirror_.mnt("mapped") : mirror_.src("mapped.host")).c_str(),
                        O_RDWR | O_CREAT | O_DIRECT, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    constexpr size_t kSize = 5000;
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    void* map = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED) << strerror(errno);
    std::memcpy(map, out, kSize);
    mapped[side] = std::to_string(msync(map, kSize, MS_SYNC) == 0 ? 0 : errno);
    munmap(map, kSize);
    close(fd);
  }
  EXPECT_EQ(mapped[1], mapped[0]) << "msync through the mount";
  EXPECT_TRUE(ReadFile(mirror_.src("mapped")) == ReadFile(mirror_.src("mapped.host")));
}

// Runs sql `times` times on the database, each in its own transaction; the
// first column of the last row it gives goes to *value. SQLITE_CANTOPEN when
// opening a file (a journal) ever failed, else the first other error, or 0.
int RunSql(const std::string& database, const char* sql, int times, int* value = nullptr) {
  sqlite3* db = nullptr;
  if (sqlite3_open(database.c_str(), &db) != SQLITE_OK) return sqlite3_errcode(db);
  sqlite3_busy_timeout(db, 60000);
  const auto keep = [](void* out, int, char** columns, char**) {
    if (out != nullptr) *static_cast<int*>(out) = std::atoi(columns[0]);
    return 0;
  };
  int outcome = 0;
  for (int i = 0; i < times; ++i) {
    const int code = sqlite3_exec(db, sql, keep, value, nullptr);
    if (code != SQLITE_OK && outcome != SQLITE_CANTOPEN) outcome = code;
  }
  sqlite3_close(db);
  return outcome;
}

// A rollback-journal database written at once by a process on the host and by
// two users through the mount, 50 inserts each. Coherent: every insert
// succeeds and every row is there. Default: the kernel's page cache of the
// open database may be stale (rows lost), but no journal open fails because
// the kernel still held a name the host had removed.
TEST_P(HostSharingTest, DatabaseWrittenOnBothSides) {
  if (GetParam() == "SingleThread") GTEST_SKIP() << "with -s, locks are not shared with the host";
  ASSERT_EQ(mkdir(mirror_.src("db").c_str(), 0777), 0);
  ASSERT_EQ(chmod(mirror_.src("db").c_str(), 0777), 0);
  const std::string host_db = mirror_.src("db/rows.db"), mount_db = mirror_.mnt("db/rows.db");
  ASSERT_EQ(RunSql(host_db, "CREATE TABLE t(who)", 1), 0);
  ASSERT_EQ(chmod(host_db.c_str(), 0666), 0);
  Actor writers[] = {{0, 0, {[&] { return RunSql(host_db, "INSERT INTO t VALUES(0)", 50); }}},
                     {1000, 100, {[&] { return RunSql(mount_db, "INSERT INTO t VALUES(1)", 50); }}},
                     {1001, 100, {[&] { return RunSql(mount_db, "INSERT INTO t VALUES(2)", 50); }}}};
  for (Actor& writer : writers) writer.Start();
  int rows = 0;
  for (Actor& writer : writers) {
    const int outcome = writer.Wait(std::chrono::minutes(5));
    EXPECT_NE(outcome, SQLITE_CANTOPEN) << "a journal open failed";
    EXPECT_TRUE(outcome == 0 || GetParam() != "Coherent") << sqlite3_errstr(outcome);
  }
  EXPECT_EQ(RunSql(host_db, "SELECT count(*) FROM t", 1, &rows), 0);
  EXPECT_TRUE(rows == 150 || GetParam() != "Coherent") << rows << " rows of 150";
}

const auto kModeName = [](const auto& info) { return info.param; };
INSTANTIATE_TEST_SUITE_P(Modes, HostSharingTest,
                         ::testing::Values("Default", "SingleThread", "Coherent"), kModeName);
INSTANTIATE_TEST_SUITE_P(Modes, CachedNamesTest, ::testing::Values("LongCaches"), kModeName);

}  // namespace
}  // namespace callerfs::testing
