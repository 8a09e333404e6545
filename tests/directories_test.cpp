// Directory listings through a real mount: every entry of the host directory
// exactly once, with the host's inode number, type and stream position, and
// seekdir/telldir/rewinddir working on those positions.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

struct Entry {
  std::string name;
  ino_t ino;
  unsigned char type;
  off_t next;  // d_off: the position after this entry

  bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& entry, std::ostream* out) {
  *out << "{\"" << entry.name << "\", ino " << entry.ino << ", type " << int{entry.type}
       << ", next " << entry.next << "}";
}

Entry EntryOf(const dirent* d) { return {d->d_name, d->d_ino, d->d_type, d->d_off}; }

// Reads up to count entries (all when count is negative) from an open stream.
std::vector<Entry> ReadEntries(DIR* dir, long count = -1) {
  std::vector<Entry> entries;
  for (long i = 0; count < 0 || i < count; ++i) {
    errno = 0;
    const dirent* d = readdir(dir);
    if (d == nullptr) {
      EXPECT_EQ(errno, 0) << "readdir failed: " << strerror(errno);
      break;
    }
    entries.push_back(EntryOf(d));
  }
  return entries;
}

// The whole listing of a directory, in stream order; empty when it cannot
// be opened (the failure is reported).
std::vector<Entry> List(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  EXPECT_NE(dir, nullptr) << path << ": " << strerror(errno);
  if (dir == nullptr) return {};
  std::vector<Entry> entries = ReadEntries(dir);
  closedir(dir);
  return entries;
}

// By name; a name listed more than once is reported.
std::map<std::string, Entry> ByName(const std::vector<Entry>& entries) {
  std::map<std::string, Entry> by_name;
  for (const Entry& entry : entries) {
    EXPECT_TRUE(by_name.emplace(entry.name, entry).second) << "listed twice: " << entry.name;
  }
  return by_name;
}

// Names, inode numbers and types through the mount equal the host's.
void ExpectSameListing(const std::vector<Entry>& mount, const std::vector<Entry>& host) {
  const std::map<std::string, Entry> mount_names = ByName(mount);
  const std::map<std::string, Entry> host_names = ByName(host);
  EXPECT_EQ(mount.size(), host.size());
  EXPECT_EQ(mount_names.size(), host_names.size());
  size_t mismatches = 0;
  for (const auto& [name, want] : host_names) {
    const auto got = mount_names.find(name);
    if (got == mount_names.end()) {
      if (++mismatches <= 10) ADD_FAILURE() << "missing through the mount: " << name;
      continue;
    }
    if (got->second.ino != want.ino || got->second.type != want.type) {
      if (++mismatches <= 10) {
        ADD_FAILURE() << "entry differs: mount " << ::testing::PrintToString(got->second)
                      << ", host " << ::testing::PrintToString(want);
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(mount_names.contains(".") && mount_names.contains(".."));
}

// Fills dir (on the host) with count entries named entry-NNNNNN: mostly empty
// regular files, every 1000th a directory, a symbolic link and a FIFO.
void Populate(const std::string& dir, int count) {
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  const int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirfd, 0) << strerror(errno);
  char name[32];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "entry-%06d", i);
    int result;
    switch (i % 1000) {
      case 1: result = mkdirat(dirfd, name, 0755); break;
      case 2: result = symlinkat("entry-000000", dirfd, name); break;
      case 3: result = mkfifoat(dirfd, name, 0644); break;
      default: result = mknodat(dirfd, name, S_IFREG | 0644, 0); break;
    }
    if (result != 0) {
      close(dirfd);
      FAIL() << "creating " << name << ": " << strerror(errno);
    }
  }
  close(dirfd);
}

class DirectoriesTest : public MountTest {
 protected:
  void ExpectServing() {
    struct stat st;
    EXPECT_EQ(stat(mirror_.mnt_dir().c_str(), &st), 0) << strerror(errno);
  }
};

TEST_F(DirectoriesTest, HundredThousandEntriesListCompletelyWithTheHostsInodesAndTypes) {
  constexpr int kCount = 100000;
  Populate(mirror_.src("big"), kCount);
  ASSERT_FALSE(HasFatalFailure());

  const std::vector<Entry> host = List(mirror_.src("big"));
  ASSERT_EQ(host.size(), kCount + 2u);
  const std::vector<Entry> mount = List(mirror_.mnt("big"));
  ExpectSameListing(mount, host);

  // Every kind of entry arrived with its type.
  const std::map<std::string, Entry> names = ByName(mount);
  EXPECT_EQ(names.at("entry-000000").type, DT_REG);
  EXPECT_EQ(names.at("entry-001001").type, DT_DIR);
  EXPECT_EQ(names.at("entry-002002").type, DT_LNK);
  EXPECT_EQ(names.at("entry-099003").type, DT_FIFO);
  EXPECT_EQ(names.at(".").type, DT_DIR);
  EXPECT_EQ(names.at("..").type, DT_DIR);
}

TEST_F(DirectoriesTest, SeekdirTelldirAndRewinddirFollowTheHostsPositions) {
  Populate(mirror_.src("dir"), 3000);
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<Entry> host = List(mirror_.src("dir"));

  DIR* dir = opendir(mirror_.mnt("dir").c_str());
  ASSERT_NE(dir, nullptr) << strerror(errno);
  const std::vector<Entry> first = ReadEntries(dir, 300);
  ASSERT_EQ(first.size(), 300u);
  const long saved = telldir(dir);
  const std::vector<Entry> then = ReadEntries(dir, 200);
  ASSERT_EQ(then.size(), 200u);
  const std::vector<Entry> more = ReadEntries(dir, 700);

  // Back to the saved position: the same entries follow.
  seekdir(dir, saved);
  EXPECT_EQ(telldir(dir), saved);
  EXPECT_EQ(ReadEntries(dir, 200), then);
  // And to a position handed out earlier still.
  seekdir(dir, first[9].next);
  const std::vector<Entry> from_tenth = ReadEntries(dir, 5);
  EXPECT_EQ(from_tenth, std::vector<Entry>(first.begin() + 10, first.begin() + 15));

  // rewinddir starts over; the whole listing follows exactly once.
  rewinddir(dir);
  const std::vector<Entry> again = ReadEntries(dir);
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again.front(), first.front());
  ExpectSameListing(again, host);
  // The stream stays at its end.
  for (int i = 0; i < 3; ++i) {
    errno = 0;
    EXPECT_EQ(readdir(dir), nullptr);
    EXPECT_EQ(errno, 0);
  }
  closedir(dir);

  // The positions are the host's own: each entry's d_off through the mount
  // is the one the host reports for it, and the order is the host's.
  ASSERT_EQ(again.size(), host.size());
  for (size_t i = 0; i < host.size(); ++i) {
    if (again[i] != host[i]) {
      ADD_FAILURE() << "entry " << i << ": mount " << ::testing::PrintToString(again[i])
                    << ", host " << ::testing::PrintToString(host[i]);
      break;
    }
  }
  ExpectServing();
}

TEST_F(DirectoriesTest, OpendirErrorsAndSmallDirectories) {
  WriteFile(mirror_.src("file"), "x");
  errno = 0;
  EXPECT_EQ(opendir(mirror_.mnt("missing").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(opendir(mirror_.mnt("file").c_str()), nullptr);
  EXPECT_EQ(errno, ENOTDIR);

  ASSERT_EQ(mkdir(mirror_.src("empty").c_str(), 0755), 0);
  const std::map<std::string, Entry> empty = ByName(List(mirror_.mnt("empty")));
  EXPECT_EQ(empty.size(), 2u);
  EXPECT_TRUE(empty.contains(".") && empty.contains(".."));
  struct stat st;
  ASSERT_EQ(lstat(mirror_.src("empty").c_str(), &st), 0);
  EXPECT_EQ(empty.at(".").ino, st.st_ino);
  ASSERT_EQ(lstat(mirror_.src_dir().c_str(), &st), 0);
  EXPECT_EQ(empty.at("..").ino, st.st_ino);

  // Names with bytes that separators, parsers or encodings might trip over.
  ASSERT_EQ(mkdir(mirror_.src("odd").c_str(), 0755), 0);
  const std::vector<std::string> odd = {"with space",    "new\nline",     "com,ma",
                                        "tab\there",     "\xff\xfe\x80",  "caf\xc3\xa9",
                                        " leading",      "trailing ",     "-dash",
                                        "quote\"'`",     "back\\slash",   "\x01\x1f"};
  for (const std::string& name : odd) WriteFile(mirror_.src("odd/" + name), name);
  ASSERT_EQ(symlink("with space", mirror_.src("odd/link,to space").c_str()), 0);
  const std::vector<Entry> mount = List(mirror_.mnt("odd"));
  ExpectSameListing(mount, List(mirror_.src("odd")));
  EXPECT_EQ(mount.size(), odd.size() + 3);
  for (const std::string& name : odd) {
    EXPECT_EQ(ReadFile(mirror_.mnt("odd/" + name)), name) << name;
  }
  ExpectServing();
}

TEST_F(DirectoriesTest, TwoProcessesListingAtOnceBothSeeEverything) {
  constexpr int kCount = 20000;
  Populate(mirror_.src("shared"), kCount);
  ASSERT_FALSE(HasFatalFailure());
  std::set<std::string> expected;
  for (const Entry& entry : List(mirror_.src("shared"))) expected.insert(entry.name);
  ASSERT_EQ(expected.size(), kCount + 2u);

  // Both start together and each lists the directory several times; each
  // child exits 0 only when every listing had every name exactly once.
  int barrier[2];
  ASSERT_EQ(pipe(barrier), 0);
  std::vector<pid_t> children;
  for (uid_t uid : {1000u, 1001u}) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(barrier[1]);
      if (setgroups(0, nullptr) != 0 || setgid(100) != 0 || setuid(uid) != 0) _exit(126);
      char byte;
      (void)!read(barrier[0], &byte, 1);
      for (int round = 0; round < 4; ++round) {
        DIR* dir = opendir(mirror_.mnt("shared").c_str());
        if (dir == nullptr) _exit(1);
        std::set<std::string> seen;
        size_t count = 0;
        while (const dirent* d = readdir(dir)) {
          ++count;
          seen.insert(d->d_name);
        }
        closedir(dir);
        if (count != expected.size() || seen != expected) _exit(2 + round);
      }
      _exit(0);
    }
    if (pid > 0) children.push_back(pid);
  }
  close(barrier[0]);
  close(barrier[1]);  // releases both at once
  ASSERT_EQ(children.size(), 2u);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  ExpectServing();
}

}  // namespace
}  // namespace callerfs::testing
