// The daemon changes owners and modes as root, so every such change must act
// on the object the request itself made or opened, never on whatever the name
// refers to a moment later. A preloaded probe swaps names right between the
// daemon's system calls (see support/swap_probe.cpp); the tests check that
// the swapped-in objects keep their owners and modes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using ops::UniqueFd;

struct stat Lstat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
  return st;
}

class SwapTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.environment = PreloadEnvironment(CALLERFS_SWAP_PROBE_LIBRARY);
    return options;
  }
};

TEST_F(SwapTest, MkdirFixUpNeverReachesADirectorySwappedIn) {
  ASSERT_EQ(mkdir(mirror_.src("victim-dir").c_str(), 0700), 0);
  const int made = RunAs(1000, 100, [&] {
    return ErrnoOf(mkdir(mirror_.mnt("new.swap-dir").c_str(), 0777));
  });
  // The kernel finds a link under the new name, not the directory it asked
  // for, and reports EIO: the swap is visible, the victim must not be hurt.
  EXPECT_TRUE(made == 0 || made == EIO) << strerror(made);
  const struct stat victim = Lstat(mirror_.src("victim-dir"));
  EXPECT_EQ(victim.st_uid, 0u);
  EXPECT_EQ(victim.st_gid, 0u);
  EXPECT_EQ(victim.st_mode & 07777, 0700u) << "the fix-up followed the swapped-in link";
  // The directory this mkdir made was moved away before its fix-up.
  EXPECT_TRUE(S_ISDIR(Lstat(mirror_.src("new.swap-dir.moved")).st_mode));
}

TEST_F(SwapTest, SymlinkFixUpNeverGivesAwayAFileSwappedIn) {
  WriteFile(mirror_.src("victim-file"), "root's", 0600);
  const int made = RunAs(1000, 100, [&] {
    return ErrnoOf(symlink("target", mirror_.mnt("new.swap-link").c_str()));
  });
  EXPECT_TRUE(made == 0 || made == EIO) << strerror(made);  // a file where a link was made
  const struct stat swapped_in = Lstat(mirror_.src("new.swap-link"));
  ASSERT_TRUE(S_ISREG(swapped_in.st_mode));
  EXPECT_EQ(swapped_in.st_uid, 0u) << "the root-owned file was given to the caller";
  EXPECT_EQ(swapped_in.st_gid, 0u);
}

TEST_F(SwapTest, SetIdClearingNeverReachesAFileSwappedIn) {
  // The opened file and a set-ID file that a link swapped in points to.
  WriteFile(mirror_.src("opened.swap-setid"), "x", 0666);
  ASSERT_EQ(chmod(mirror_.src("opened.swap-setid").c_str(), 06777), 0);
  ASSERT_EQ(link(mirror_.src("opened.swap-setid").c_str(), mirror_.src("opened-file").c_str()), 0);
  WriteFile(mirror_.src("victim-setid"), "y", 0755);
  ASSERT_EQ(chmod(mirror_.src("victim-setid").c_str(), 06755), 0);
  ASSERT_EQ(symlink(mirror_.src("victim-setid").c_str(), mirror_.src("victim-link").c_str()), 0);

  const int opened = RunAs(1000, 100, [&] {
    const int fd = open(mirror_.mnt("opened.swap-setid").c_str(), O_WRONLY);
    if (fd == -1) return errno;
    close(fd);
    return 0;
  });
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(Lstat(mirror_.src("victim-setid")).st_mode & 07777, 06755u)
      << "the swapped-in link's target lost its set-ID bits";
  EXPECT_EQ(Lstat(mirror_.src("opened-file")).st_mode & 07777, 0777u)
      << "the file actually opened kept its set-ID bits";
}

TEST_F(SwapTest, CreateThatMeetsAFileMadeMeanwhileLeavesItsOwner) {
  const std::string path = mirror_.mnt("new.swap-create");
  const int created = RunAs(1000, 100, [&] {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd == -1) return errno;
    const bool written = pwrite(fd, "user", 4, 0) == 4;
    close(fd);
    return written ? 0 : EIO;
  });
  EXPECT_EQ(created, 0);
  const struct stat st = Lstat(mirror_.src("new.swap-create"));
  EXPECT_EQ(st.st_uid, 0u) << "a file the daemon did not make was given to the caller";
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(ReadFile(mirror_.src("new.swap-create")), "user");

  // An exclusive create of such a name fails instead.
  const int exclusive = RunAs(1000, 100, [&] {
    return ErrnoOf(open(mirror_.mnt("other.swap-create").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
  });
  EXPECT_EQ(exclusive, EEXIST);
  EXPECT_EQ(Lstat(mirror_.src("other.swap-create")).st_uid, 0u);
}

// Everything about a tree that a request could change: names, types, modes,
// owners, times, sizes, contents, link targets and extended attributes.
std::string Snapshot(const std::string& dir) {
  std::string out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string path = entry.path().string();
    const struct stat st = Lstat(path);
    out += path + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
           std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
           std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_atim.tv_nsec) + " ";
    if (S_ISREG(st.st_mode)) out += ReadFile(path);
    if (S_ISLNK(st.st_mode)) out += std::filesystem::read_symlink(path).string();
    char names[256] = "";
    const ssize_t size = llistxattr(path.c_str(), names, sizeof names);
    if (size > 0) out += " xattrs " + std::string(names, static_cast<size_t>(size));
    out += "\n";
  }
  return out;
}

// A request through the mount on names below one directory P (and O, an
// untouched sibling, for calls on two names); 0 or the errno it failed with.
using Request = std::function<int(const std::string& P, const std::string& O)>;

int OpenAndUse(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags, 0644);
  if (fd == -1) return errno;
  char byte;
  const int result = (flags & O_ACCMODE) == O_RDONLY ? ErrnoOf(static_cast<int>(read(fd, &byte, 1)))
                                                      : ErrnoOf(static_cast<int>(write(fd, "x", 1)));
  close(fd);
  return result == 0 ? 0 : result;
}

struct SwapCase {
  const char* call;
  bool opens;  // must fail whatever was swapped in: nothing can be opened "as the link itself"
  Request request;
};

const SwapCase kSwapCases[] = {
    {"stat", false, [](auto& P, auto&) { struct stat st; return ErrnoOf(lstat((P + "/fresh").c_str(), &st)); }},
    {"readlink", false, [](auto& P, auto&) { char b[64]; return ErrnoOf(static_cast<int>(readlink((P + "/l").c_str(), b, sizeof b))); }},
    {"open read", true, [](auto& P, auto&) { return OpenAndUse(P + "/f", O_RDONLY); }},
    {"open write", true, [](auto& P, auto&) { return OpenAndUse(P + "/f", O_WRONLY); }},
    {"open append", true, [](auto& P, auto&) { return OpenAndUse(P + "/f", O_WRONLY | O_APPEND); }},
    {"open truncate", true, [](auto& P, auto&) { return OpenAndUse(P + "/f", O_RDWR | O_TRUNC); }},
    {"create", true, [](auto& P, auto&) { return OpenAndUse(P + "/new", O_WRONLY | O_CREAT); }},
    {"truncate", false, [](auto& P, auto&) { return ErrnoOf(truncate((P + "/f").c_str(), 0)); }},
    {"chmod", false, [](auto& P, auto&) { return ErrnoOf(chmod((P + "/f").c_str(), 04777)); }},
    {"chown", false, [](auto& P, auto&) { return ErrnoOf(chown((P + "/f").c_str(), 1000, 100)); }},
    {"utimens", false, [](auto& P, auto&) { return ErrnoOf(utimensat(AT_FDCWD, (P + "/f").c_str(), nullptr, 0)); }},
    {"access", false, [](auto& P, auto&) { return ErrnoOf(access((P + "/f").c_str(), W_OK)); }},
    {"statfs", false, [](auto& P, auto&) { struct statvfs st; return ErrnoOf(statvfs((P + "/f").c_str(), &st)); }},
    {"opendir", true, [](auto& P, auto&) {
       DIR* dir = opendir((P + "/sub").c_str());
       if (dir == nullptr) return errno;
       while (readdir(dir) != nullptr) {}
       closedir(dir);
       return 0; }},
    {"mkdir", false, [](auto& P, auto&) { return ErrnoOf(mkdir((P + "/new").c_str(), 0777)); }},
    {"mknod", false, [](auto& P, auto&) { return ErrnoOf(mkfifo((P + "/new").c_str(), 0666)); }},
    {"symlink", false, [](auto& P, auto&) { return ErrnoOf(symlink("x", (P + "/new").c_str())); }},
    {"link from", false, [](auto& P, auto& O) { return ErrnoOf(link((P + "/f").c_str(), (O + "/new").c_str())); }},
    {"link to", false, [](auto& P, auto& O) { return ErrnoOf(link((O + "/f").c_str(), (P + "/new").c_str())); }},
    {"rename from", false, [](auto& P, auto& O) { return ErrnoOf(rename((P + "/f").c_str(), (O + "/new").c_str())); }},
    {"rename to", false, [](auto& P, auto& O) { return ErrnoOf(rename((O + "/f").c_str(), (P + "/f").c_str())); }},
    {"unlink", false, [](auto& P, auto&) { return ErrnoOf(unlink((P + "/f").c_str())); }},
    {"rmdir", false, [](auto& P, auto&) { return ErrnoOf(rmdir((P + "/empty").c_str())); }},
    {"setxattr", false, [](auto& P, auto&) { return ErrnoOf(setxattr((P + "/f").c_str(), "user.x", "1", 1, 0)); }},
    {"getxattr", false, [](auto& P, auto&) { char b[64]; return ErrnoOf(static_cast<int>(getxattr((P + "/f").c_str(), "user.secret", b, sizeof b))); }},
    {"listxattr", false, [](auto& P, auto&) { char b[256]; return ErrnoOf(static_cast<int>(listxattr((P + "/f").c_str(), b, sizeof b))); }},
    {"removexattr", false, [](auto& P, auto&) { return ErrnoOf(removexattr((P + "/f").c_str(), "user.secret")); }},
};

// The kernel keeps names and attributes for 100 s: once looked up (or found
// missing), a name is not looked up again, so a swap on the host lands between
// the kernel's lookup and the request, whatever the timing. Without
// default_permissions every request (access included) reaches the daemon.
class SwapTableTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.no_kernel_cache = false;
    options.options = "entry_timeout=100,attr_timeout=100,negative_timeout=100";
    return options;
  }

  // Root's tree that every swap points into, with each name the requests use.
  void MakeVictim() {
    const std::string victim = mirror_.src("victim");
    ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
    for (const char* name : {"f", "fresh"}) {
      WriteFile(victim + "/" + name, "root's", 0600);
      ASSERT_EQ(setxattr((victim + "/" + name).c_str(), "user.secret", "s", 1, 0), 0);
    }
    ASSERT_EQ(symlink("root's secret target", (victim + "/l").c_str()), 0);
    ASSERT_EQ(mkdir((victim + "/sub").c_str(), 0700), 0);
    WriteFile(victim + "/sub/inside", "root's");
    ASSERT_EQ(mkdir((victim + "/empty").c_str(), 0700), 0);
  }

  // The user's directory for one case: the same names, the user's own.
  std::string MakeUserDir(const std::string& name) {
    const std::string dir = mirror_.src(name);
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/f", "user's", 0644);
    EXPECT_EQ(symlink("user's target", (dir + "/l").c_str()), 0);
    EXPECT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    EXPECT_EQ(mkdir((dir + "/empty").c_str(), 0755), 0);
    RunProgram({"chown", "-hR", "1000:100", dir});
    return name;
  }

  // Looks every name up through the mount, so the kernel caches it, and
  // holds each one that exists open (O_PATH: no request reaches the daemon)
  // until the case is over. An entry nothing holds may be evicted at any
  // moment (memory pressure, or anyone writing /proc/sys/vm/drop_caches on a
  // shared machine); the kernel would then look the name up again, meet the
  // swapped-in object itself and never ask the daemon: a directory swapped
  // for a link is followed to the host (EACCES, not ELOOP), and a FIFO is
  // opened by the kernel, which waits for a writer.
  std::vector<UniqueFd> Prime(const std::string& dir) {
    std::vector<UniqueFd> held;
    for (const char* name : {"", "/f", "/l", "/sub", "/empty", "/new"}) {
      UniqueFd fd(open(mirror_.mnt(dir + name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      if (fd) held.push_back(std::move(fd));
    }
    return held;
  }

  // The missing name ("new") cannot be held; when the kernel forgets it, a
  // request on it that finds a swapped-in FIFO waits in the kernel's own
  // open of the FIFO, which says nothing about the daemon.
  static constexpr int kKernelOpenedFifo = -100;

  // Runs the request as uid 1000. A request still unanswered after half a
  // minute (patience for a sanitized daemon on a loaded machine: an answer
  // takes milliseconds) is taken as blocked, unless the kernel itself is
  // waiting in a FIFO's open.
  int RunRequest(const SwapCase& swap_case, const std::string& dir, const std::string& other) {
    Actor user(1000, 100, {[&] { return swap_case.request(mirror_.mnt(dir), mirror_.mnt(other)); }});
    user.Start();
    const int result = user.Wait(std::chrono::seconds(30));
    if (result != Actor::kStepTimedOut) return result;
    const bool in_fifo_open = ReadFile("/proc/" + std::to_string(user.pid()) + "/wchan") == "wait_for_partner";
    kill(user.pid(), SIGKILL);
    return in_fifo_open ? kKernelOpenedFifo : result;
  }
};

TEST_F(SwapTableTest, NoRequestReachesWhatASwappedInLinkNames) {
  MakeVictim();
  const std::string victim = mirror_.src("victim");
  Snapshot(victim);  // its own reads set the access times once (relatime)
  const std::string before = Snapshot(victim);
  int serial = 0;
  for (const SwapCase& swap_case : kSwapCases) {
    // Swaps on the host, after the kernel has looked the names up.
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> swaps = {
        {"directory", [&](const std::string& dir) {
           ASSERT_EQ(rename(mirror_.src(dir).c_str(), mirror_.src(dir + ".gone").c_str()), 0);
           ASSERT_EQ(symlink(victim.c_str(), mirror_.src(dir).c_str()), 0);
         }},
        {"last name", [&](const std::string& dir) {
           for (const char* name : {"f", "l", "sub", "empty", "new", "fresh"}) {
             std::filesystem::remove_all(mirror_.src(dir + "/" + name));
             ASSERT_EQ(symlink((victim + "/" + name).c_str(), mirror_.src(dir + "/" + name).c_str()), 0);
           }
         }},
        {"daemon's memory", [&](const std::string& dir) {
           for (const char* name : {"f", "sub", "new"}) {
             std::filesystem::remove_all(mirror_.src(dir + "/" + name));
             ASSERT_EQ(symlink("/proc/self/mem", mirror_.src(dir + "/" + name).c_str()), 0);
           }
         }},
        {"FIFO", [&](const std::string& dir) {
           for (const char* name : {"f", "sub", "new"}) {
             std::filesystem::remove_all(mirror_.src(dir + "/" + name));
             ASSERT_EQ(mkfifo(mirror_.src(dir + "/" + name).c_str(), 0666), 0);
           }
         }},
    };
    for (const auto& [swapped, swap] : swaps) {
      SCOPED_TRACE(std::string(swap_case.call) + ", swapped: " + swapped);
      int result = kKernelOpenedFifo;
      // The case again, on new names, while the kernel forgot the missing
      // name before the request: it never reached the daemon.
      for (int attempt = 0; attempt < 3 && result == kKernelOpenedFifo; ++attempt) {
        const std::string dir = MakeUserDir("case" + std::to_string(++serial));
        const std::string other = MakeUserDir("other" + std::to_string(serial));
        const std::vector<UniqueFd> held_dir = Prime(dir);
        const std::vector<UniqueFd> held_other = Prime(other);
        swap(dir);
        result = RunRequest(swap_case, dir, other);
      }
      EXPECT_NE(result, kKernelOpenedFifo) << "the kernel forgot a missing name three times running";
      EXPECT_NE(result, Actor::kStepTimedOut) << "the request blocked";
      if (swapped == "directory") {
        EXPECT_EQ(result, ELOOP) << strerror(result);
      } else if (swap_case.opens) {
        EXPECT_NE(result, 0);
      }
      EXPECT_EQ(Snapshot(victim), before);
    }
  }
}

}  // namespace
}  // namespace callerfs::testing
