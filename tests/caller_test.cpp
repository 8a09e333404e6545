// The host decides what a user may do through the mount, on the objects it
// actually resolves: no route through renames, exchanges, races, /proc or the
// daemon's own mount gives a user more than the host would give them.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;
constexpr gid_t kTeam = 300;

int Exchange(const std::string& a, const std::string& b) {
  return ErrnoOf(static_cast<int>(
      syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE)));
}

// Calls fn until `duration` has passed; true when it ever returned true.
template <typename Fn>
bool AnyWithin(std::chrono::seconds duration, Fn fn) {
  bool any = false;
  for (const auto end = std::chrono::steady_clock::now() + duration;
       std::chrono::steady_clock::now() < end;) {
    any |= fn();
  }
  return any;
}

// In a child acting as uid and gid: loops fn until killed.
template <typename Fn>
pid_t LoopInChild(uid_t uid, gid_t gid, Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    for (;;) fn();
  }
  return pid;
}

void EndChild(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// (1), (5): a process of user 1000 that becomes root again, as a set-uid-root
// program does, with its /proc attributes cached while it was the user's;
// root's links in /proc; a sysctl; the daemon's own memory.
void KernelInterfaces(Mirror& m) {
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t victim = fork();
  if (victim == 0) {
    char c;
    // Dumpable again after the change, so /proc shows the process as the user's.
    if (setresuid(1000, 1000, 0) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0 ||
        write(ready[1], "u", 1) != 1 || read(go[0], &c, 1) != 1 ||
        setresuid(0, 0, 0) != 0 || write(ready[1], "r", 1) != 1) {
      _exit(1);
    }
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const std::string proc = m.mnt_dir() + "/proc/";
  const std::string mem = proc + std::to_string(victim) + "/mem";
  Actor user(1000, 1000,
             {[&] {
                struct stat st;
                return stat(mem.c_str(), &st) == 0 && st.st_uid == 1000 ? 0 : 1;
              },
              [&] { return ErrnoOf(open(mem.c_str(), O_RDWR)); },
              [&] {
                char target[256];
                return ErrnoOf(static_cast<int>(readlink((proc + "1/exe").c_str(), target, 256)));
              },
              [&] { return ErrnoOf(open((proc + "sys/kernel/ns_last_pid").c_str(), O_WRONLY)); },
              [&] { return ErrnoOf(open((proc + "self/mem").c_str(), O_RDWR)); },
              [&] {
                struct stat st;
                return ErrnoOf(stat((proc + "1").c_str(), &st));
              }});
  EXPECT_EQ(user.Step(), 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(user.Step(), EACCES) << "a root process's memory opened for writing";
  EXPECT_EQ(user.Step(), EACCES) << "readlink of a root process's exe";
  EXPECT_EQ(user.Step(), EACCES) << "a sysctl opened for writing";
  EXPECT_NE(user.Step(), 0) << "the daemon's own memory opened";
  EXPECT_EQ(user.Step(), 0) << "stat in /proc, after all that";
  EndChild(victim);
  for (const int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// (2): in a group-writable team directory, a user exchanges their own
// directory with a teammate's private one, once and then in a loop.
struct Team {
  explicit Team(Mirror& m) : m(m) {
    const std::string team = m.src("team");
    EXPECT_EQ(mkdir(team.c_str(), 0775), 0);
    EXPECT_EQ(chown(team.c_str(), 0, kTeam), 0);
    EXPECT_EQ(chmod(team.c_str(), 02775), 0);
    for (const auto& [name, uid, text] : {std::tuple{"mine", 1000, "mine"}, {"theirs", 1001, "SECRET"}}) {
      const std::string dir = team + "/" + name;
      EXPECT_EQ(mkdir(dir.c_str(), 0700), 0);
      WriteFile(dir + "/notes", text, 0600);
      EXPECT_EQ(chown(dir.c_str(), uid, kTeam), 0);
      EXPECT_EQ(chown((dir + "/notes").c_str(), uid, kTeam), 0);
    }
  }
  int Swap() const { return Exchange(m.src("team/mine"), m.src("team/theirs")); }
  // Whether the user, reaching "mine/notes" through the mount, read, opened
  // for appending or changed the mode of the teammate's file.
  bool ReachedTheirs() const {
    const std::string notes = m.mnt("team/mine/notes");
    bool reached = ReadFile(notes) == "SECRET";
    const int fd = open(notes.c_str(), O_WRONLY | O_APPEND);
    struct stat st;
    if (fd != -1) {
      reached |= fstat(fd, &st) == 0 && st.st_uid == 1001;
      close(fd);
    }
    chmod(notes.c_str(), 0644);  // judged on the host afterwards
    return reached;
  }
  void ExpectTheirsUntouched() const {
    struct stat st;
    ASSERT_EQ(stat(m.src("team/mine").c_str(), &st), 0);
    const std::string theirs = m.src(st.st_uid == 1001 ? "team/mine/notes" : "team/theirs/notes");
    EXPECT_EQ(ReadFile(theirs), "SECRET");
    ASSERT_EQ(stat(theirs.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  Mirror& m;
};

void ExchangedDirectory(Mirror& m) {
  const Team team(m);
  Actor user(1000, kTeam,
             {[&] { return ReadFile(m.mnt("team/mine/notes")) == "mine" ? 0 : 1; },
              [&] { return team.Swap(); }, [&] { return team.ReachedTheirs() ? 1 : 0; }});
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(user.Step(), 0) << "the teammate's file was reached";
  team.ExpectTheirsUntouched();
}

void ExchangedDirectoryRaced(Mirror& m) {
  const Team team(m);
  const pid_t swapper = LoopInChild(1000, kTeam, [&] { team.Swap(); });
  EXPECT_EQ(RunAs(1000, kTeam, [&] { return AnyWithin(5s, [&] { return team.ReachedTheirs(); }); }), 0);
  EndChild(swapper);
  team.ExpectTheirsUntouched();
}

// (3): a victim's file appears between the kernel's lookup and the daemon's
// create; the racing user must never open it for writing or truncate it.
void CreateRaced(Mirror& m) {
  const std::string host = m.src("race"), through = m.mnt("race");
  const pid_t victim = LoopInChild(1001, 1001, [&] {
    const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd == -1) return;
    const bool written = write(fd, "victim", 6) == 6;
    close(fd);
    std::this_thread::sleep_for(100us);
    struct stat st;
    if (written && stat(host.c_str(), &st) == 0 && st.st_uid == 1001 && ReadFile(host) != "victim") {
      rename(host.c_str(), (host + ".hit").c_str());
    }
    unlink(host.c_str());
  });
  EXPECT_EQ(RunAs(1000, 1000,
                  [&] {
                    return AnyWithin(5s, [&] {
                      const int fd = open(through.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                      if (fd == -1) return false;
                      struct stat st;
                      const bool theirs = fstat(fd, &st) == 0 && st.st_uid == 1001;
                      close(fd);
                      if (!theirs) unlink(through.c_str());
                      return theirs;
                    });
                  }),
            0);
  EndChild(victim);
  EXPECT_NE(access(m.src("race.hit").c_str(), F_OK), 0) << "the victim's file was truncated";
}

// (6): a directory above the mount point is renamed; requests under its new
// name must not re-enter the mount, and SIGTERM must leave no mount behind.
void RenamedAncestor(Mirror& m) {
  const std::string moved = m.root() + ".moved";
  ASSERT_EQ(rename(m.root().c_str(), moved.c_str()), 0);
  const std::string mnt = moved + "/mnt";
  struct stat st;
  EXPECT_EQ(stat((mnt + moved + "/mnt").c_str(), &st), 0) << strerror(errno);
  EXPECT_EQ(stat((mnt + moved + "/mnt/anything").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(stat((mnt + moved + "/src").c_str(), &st), 0) << strerror(errno);
  ASSERT_EQ(rename(moved.c_str(), m.root().c_str()), 0);
  kill(m.daemon_pid(), SIGTERM);
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (m.IsMounted() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(m.IsMounted()) << "SIGTERM left the mount behind";
  const int status = m.SignalAndReap(0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

struct Route {
  const char* name;
  MountOptions options;
  void (*check)(Mirror&);
};

// Each route on a mount of its own.
void RunRoutes(std::span<const Route> routes) {
  const std::string reason = MountUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  for (const Route& route : routes) {
    SCOPED_TRACE(route.name);
    Mirror mirror;
    mirror.Start(route.options);
    if (::testing::Test::HasFatalFailure()) return;
    route.check(mirror);
    mirror.Stop();
  }
}

MountOptions With(bool whole_tree, bool kernel_cache, std::vector<std::string> args = {}) {
  MountOptions options;
  options.whole_tree = whole_tree;
  options.no_kernel_cache = !kernel_cache;
  options.options = "default_permissions";
  options.extra_args = std::move(args);
  return options;
}

TEST(CallerRouteTest, NoRouteGivesAUserMoreThanTheHostWould) {
  const Route routes[] = {
      {"proc, thread pool", With(true, true), KernelInterfaces},
      {"proc, one thread", With(true, true, {"-s"}), KernelInterfaces},
      {"exchanged directory", With(false, true), ExchangedDirectory},
      {"exchanged directory, raced", With(false, false), ExchangedDirectoryRaced},
      {"create, raced", With(false, false), CreateRaced},
      {"renamed ancestor of the mount point", With(true, false, {"-s"}), RenamedAncestor},
  };
  RunRoutes(routes);
}

// ---------------------------------------------------------------------------
// What the host grants natively, granted through the mount too, and nothing
// more: programs that may be run but not read, the privileges a write
// removes, lock queries after the last close, opens that would have shared
// another open's descriptor, root callers with fewer capabilities.

mode_t HostMode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : static_cast<mode_t>(-1);
}

// Runs path as uid 1000; what the runner saw: 0 when the program ran and its
// memory stayed closed to the runner (as on the host for a program it may
// not read), else the errno of the exec or of opening its memory.
int RunUnreadableProgram(const std::string& path) {
  return RunAs(1000, 1000, [&] {
    const pid_t runner = fork();
    if (runner == 0) {
      execl(path.c_str(), "xsleep", "5", static_cast<char*>(nullptr));
      _exit(errno);
    }
    const std::string proc = "/proc/" + std::to_string(runner);
    int status = 0, result = ETIMEDOUT;
    for (int tries = 0; tries < 500; ++tries, std::this_thread::sleep_for(10ms)) {
      if (waitpid(runner, &status, WNOHANG) == runner) return WEXITSTATUS(status);
      if (ReadFile(proc + "/comm") != "xsleep\n") continue;
      const int mem = open((proc + "/mem").c_str(), O_RDONLY);
      result = mem == -1 ? (errno == EACCES ? 0 : errno) : EEXIST;
      if (mem != -1) close(mem);
      break;
    }
    kill(runner, SIGKILL);
    waitpid(runner, nullptr, 0);
    return result;
  });
}

// With default_permissions the kernel leaves the process undumpable; without
// it, it would not, and the program is refused.
void ExecuteOnlyProgram(Mirror& m, int expected) {
  std::filesystem::copy_file("/bin/sleep", m.src("xsleep"));
  ASSERT_EQ(chmod(m.src("xsleep").c_str(), 0111), 0);
  EXPECT_EQ(RunUnreadableProgram(m.mnt("xsleep")), expected) << strerror(expected);
}

// security.capability of revision 2: cap_setuid permitted and effective.
constexpr unsigned char kCapSetuid[20] = {0x01, 0, 0, 0x02, 0x80};

void WritesRemovePrivileges(Mirror& m) {
  struct Case {
    const char* name;
    mode_t mode;
    std::function<int(const std::string&)> act;
    int expected;
    mode_t mode_after;
    bool capability_after;
  };
  const auto open_and = [](int flags, const std::function<int(int)>& act) {
    return [=](const std::string& path) {
      const int fd = open(path.c_str(), flags);
      if (fd == -1) return errno;
      const int result = act(fd);
      return close(fd) == 0 ? result : errno;
    };
  };
  const auto truncated = [](const std::string& path) { return ErrnoOf(truncate(path.c_str(), 3)); };
  const Case cases[] = {
      {"fallocate", 06777,
       open_and(O_WRONLY, [](int fd) { return ErrnoOf(fallocate(fd, 0, 0, 8192)); }), 0, 0777, false},
      {"write", 06777,
       open_and(O_WRONLY | O_APPEND,
                [](int fd) { return write(fd, "hi", 2) == 2 ? 0 : errno; }),
       0, 0777, false},
      // No open clears the set-ID bits first: the kernel's mode change does.
      {"truncate", 06777, truncated, 0, 0777, false},
      {"truncate, set-group-ID alone", 02777, truncated, 0, 0777, false},
      {"truncate without write permission", 06755, truncated, EACCES, 06755, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string host = m.src(c.name);
    WriteFile(host, "data", 0600);
    ASSERT_EQ(chmod(host.c_str(), c.mode), 0);
    ASSERT_EQ(setxattr(host.c_str(), "security.capability", kCapSetuid, sizeof kCapSetuid, 0), 0)
        << strerror(errno);
    EXPECT_EQ(RunAs(1000, 1000, [&] { return c.act(m.mnt(c.name)); }), c.expected);
    EXPECT_EQ(HostMode(host), c.mode_after);
    EXPECT_EQ(getxattr(host.c_str(), "security.capability", nullptr, 0) > 0, c.capability_after);
  }
}

// The querying descriptor is opened first: a file opened after the locking
// one is closed may reuse its memory, and so its lock owner's number.
int LockQueryAfterLastClose(const std::string& path) {
  const int query_fd = open(path.c_str(), O_RDWR), fd = open(path.c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (query_fd == -1 || fd == -1 || fcntl(fd, F_OFD_SETLK, &lock) != 0) return errno;
  close(fd);
  // The release that ends the lock reaches the daemon after close returns.
  bool unlocked = false;
  for (int tries = 0; tries < 200 && !unlocked; ++tries, std::this_thread::sleep_for(10ms)) {
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    unlocked = fcntl(query_fd, F_OFD_GETLK, &query) == 0 && query.l_type == F_UNLCK;
  }
  close(query_fd);
  return unlocked ? 0 : EDEADLK;
}

void LockQueriesAnswerFromTheHost(Mirror& m) {
  WriteFile(m.src("locked"), "x", 0666);
  EXPECT_EQ(RunAs(1000, 1000, [&] { return LockQueryAfterLastClose(m.mnt("locked")); }), 0)
      << "F_OFD_GETLK reports a lock that its last close ended";
  struct stat st;
  ASSERT_EQ(stat(m.src("locked").c_str(), &st), 0);
  EXPECT_EQ(ReadFile("/proc/locks").find(":" + std::to_string(st.st_ino) + " "), std::string::npos);
}

// With the kernel's attribute cache, an appending write arrives at the size
// the kernel last saw; only the host's own appending descriptor puts it after
// what a host process appended meanwhile.
void AppendingOpenKeepsHostAppends(Mirror& m) {
  const std::string host = m.src("log");
  WriteFile(host, "AAAA\n", 0666);
  int plain = -1, appending = -1;
  Actor user(1000, 1000,
             {[&] {
                plain = open(m.mnt("log").c_str(), O_WRONLY);
                appending = open(m.mnt("log").c_str(), O_WRONLY | O_APPEND);
                return plain == -1 || appending == -1 ? errno : 0;
              },
              [&] { return write(appending, "MOUNT", 5) == 5 ? 0 : errno; },
              [&] { return ErrnoOf(close(plain)) + ErrnoOf(close(appending)); }});
  ASSERT_EQ(user.Step(), 0);
  std::ofstream(host, std::ios::app) << "HOST\n";
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(user.Step(), 0);
  EXPECT_EQ(ReadFile(host), "AAAA\nHOST\nMOUNT");
}

// With atomic_o_trunc the truncation is the open's own.
void TruncatingOpenThatShares(Mirror& m) {
  const std::string host = m.src("trunc");
  WriteFile(host, "0123456789", 0666);
  int first = -1, second = -1;
  Actor user(1000, 1000,
             {[&] { return ErrnoOf(first = open(m.mnt("trunc").c_str(), O_WRONLY)); },
              [&] { return ErrnoOf(second = open(m.mnt("trunc").c_str(), O_WRONLY | O_TRUNC)); },
              [&] { return ErrnoOf(close(first)) + ErrnoOf(close(second)); }});
  ASSERT_EQ(user.Step(), 0);
  ASSERT_EQ(user.Step(), 0);
  EXPECT_NE(m.Log().find("refcount 2\n"), std::string::npos) << "the opens did not share";
  EXPECT_EQ(ReadFile(host), "");
  EXPECT_EQ(user.Step(), 0);
}

// A process of the same uid that lacks the file's group is refused what the
// host refuses it, while another process of that uid holds the file open.
void ProcessWithoutTheGroup(Mirror& m) {
  const std::string host = m.src("team-file");
  WriteFile(host, "data", 0620);
  ASSERT_EQ(chown(host.c_str(), 0, kTeam), 0);
  const std::string path = m.mnt("team-file");
  int fd = -1;
  Actor member(1000, kTeam,
               {[&] { return ErrnoOf(fd = open(path.c_str(), O_WRONLY)); },
                [&] { return ErrnoOf(close(fd)); }});
  Actor outsider(1000, 1000,
                 {[&] { return ErrnoOf(open(path.c_str(), O_WRONLY)); },
                  [&] { return ErrnoOf(truncate(path.c_str(), 0)); },
                  [&] { return ErrnoOf(utimensat(AT_FDCWD, path.c_str(), nullptr, 0)); }});
  ASSERT_EQ(member.Step(), 0);
  EXPECT_EQ(outsider.Step(), EACCES) << "open for writing";
  EXPECT_EQ(outsider.Step(), EACCES) << "truncate";
  EXPECT_EQ(outsider.Step(), EACCES) << "setting the times to now";
  EXPECT_EQ(member.Step(), 0);
  EXPECT_EQ(ReadFile(host), "data");
}

// As uid 0 with only these capabilities (all of them: ~0) and as many
// supplementary groups (a long Groups line comes before CapEff in /proc).
int OpenAsRootWith(uint64_t capabilities, size_t groups, const std::string& path) {
  return RunAs(0, 0, [&] {
    std::vector<gid_t> gids(groups);
    for (size_t i = 0; i < groups; ++i) gids[i] = static_cast<gid_t>(100000 + i);
    if (setgroups(gids.size(), gids.data()) != 0) return 124;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int i = 0; i < 2; ++i) {
      data[i].effective = data[i].permitted = static_cast<uint32_t>(capabilities >> (32 * i));
    }
    if (capabilities != ~0ull && syscall(SYS_capset, &header, data) != 0) return 125;
    const int fd = open(path.c_str(), O_RDONLY);
    return fd == -1 ? errno : ErrnoOf(close(fd));
  });
}

void RootWithFewerCapabilities(Mirror& m) {
  WriteFile(m.src("private"), "secret", 0600);
  ASSERT_EQ(chown(m.src("private").c_str(), 1000, 1000), 0);
  constexpr uint64_t kReadSearch = 1ull << CAP_DAC_READ_SEARCH;
  for (const auto& [name, capabilities, groups, expected] :
       {std::tuple{"no capabilities", 0ull, size_t{0}, EACCES},
        {"CAP_DAC_READ_SEARCH alone", kReadSearch, size_t{0}, 0},
        {"CAP_DAC_READ_SEARCH alone, 3000 groups", kReadSearch, size_t{3000}, 0},
        {"no capabilities, 3000 groups", 0ull, size_t{3000}, EACCES},
        {"full root", ~0ull, size_t{0}, 0}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(OpenAsRootWith(capabilities, groups, m.src("private")), expected) << "on the host";
    EXPECT_EQ(OpenAsRootWith(capabilities, groups, m.mnt("private")), expected)
        << "through the mount";
  }
}

// Without default_permissions: the host alone decides.
MountOptions HostChecksOnly(bool kernel_cache, std::string options = {}) {
  MountOptions host_only = With(false, kernel_cache);
  host_only.options = std::move(options);
  return host_only;
}

TEST(CallerRouteTest, TheHostsAnswerForEveryCaller) {
  const Route routes[] = {
      {"execute-only program", With(false, false), [](Mirror& m) { ExecuteOnlyProgram(m, 0); }},
      {"execute-only program, no default_permissions", HostChecksOnly(false),
       [](Mirror& m) { ExecuteOnlyProgram(m, EACCES); }},
      {"privileges a write removes", With(false, false), WritesRemovePrivileges},
      {"lock query after the last close", HostChecksOnly(false), LockQueriesAnswerFromTheHost},
      {"appending open beside a plain one", HostChecksOnly(true), AppendingOpenKeepsHostAppends},
      {"truncating open that shares", HostChecksOnly(false, "atomic_o_trunc"), TruncatingOpenThatShares},
      {"process without the file's group", HostChecksOnly(false), ProcessWithoutTheGroup},
      {"root with fewer capabilities", HostChecksOnly(false), RootWithFewerCapabilities},
  };
  RunRoutes(routes);
}

// What the host does for the caller on its own: keep reserved blocks for
// root, and let a directory's default ACL replace the caller's umask.
class HostRulesTest : public MountTest {};

TEST_F(HostRulesTest, ReservedBlocksStayRoots) {
  const std::string image = mirror_.root() + "/reserved.img", dir = mirror_.src("reserved");
  std::ofstream(image).close();
  ASSERT_EQ(truncate(image.c_str(), 8 << 20), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(RunProgram({"mkfs.ext4", "-q", "-m", "5", image}), 0);
  if (RunProgram({"mount", "-o", "loop", image, dir}) != 0) GTEST_SKIP() << "no loop device here";
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
  const std::string chunk(64 << 10, 'u');
  const int written = RunAs(1000, 1000, [&] {
    const int fd = open(mirror_.mnt("reserved/fill").c_str(), O_WRONLY | O_CREAT, 0644);
    while (write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const int error = errno;
    return fsync(fd) == 0 && close(fd) == 0 ? error : errno;
  });
  EXPECT_EQ(written, ENOSPC);
  struct statvfs fs;
  ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
  EXPECT_GT(fs.f_bfree * fs.f_bsize, 200u << 10) << "the user wrote into root's reserve";
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  EXPECT_EQ(RunProgram({"umount", dir}), 0);
}

TEST_F(HostRulesTest, DefaultAclGivesTheHostsModes) {
  const auto make = [](const std::string& dir) {
    const int fd = open((dir + "/file").c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd == -1 || close(fd) != 0) return errno;
    return ErrnoOf(mkdir((dir + "/dir").c_str(), 0777));
  };
  const auto mode = [](const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  };
  for (const char* name : {"native", "mounted", "plain"}) {
    ASSERT_EQ(mkdir(mirror_.src(name).c_str(), 0777), 0);
    ASSERT_EQ(chmod(mirror_.src(name).c_str(), 0777), 0);
  }
  for (const char* name : {"native", "mounted"}) {
    ASSERT_EQ(RunProgram({"setfacl", "-d", "-m", "u::rwx,g::rwx,o::---,m::rwx", mirror_.src(name)}), 0);
  }
  umask(077);
  EXPECT_EQ(RunAs(1000, 1000, [&] { return make(mirror_.src("native")); }), 0);
  EXPECT_EQ(RunAs(1000, 1000, [&] { return make(mirror_.mnt("mounted")); }), 0);
  EXPECT_EQ(RunAs(1000, 1000, [&] { return make(mirror_.mnt("plain")); }), 0);
  umask(022);
  for (const char* object : {"/file", "/dir"}) {
    EXPECT_EQ(mode(mirror_.src("mounted") + object), mode(mirror_.src("native") + object)) << object;
  }
  EXPECT_EQ(mode(mirror_.src("mounted/file")), 0660u);
  EXPECT_EQ(mode(mirror_.src("plain/file")), 0600u) << "the caller's umask outside such directories";
  EXPECT_EQ(mode(mirror_.src("plain/dir")), 0700u);
}

// Quotas bind the caller where the daemon holds CAP_SYS_RESOURCE, which an
// empty effective set then withholds; this needs an ext4 image with the quota
// feature and the capability in the daemon's bounding set.
TEST_F(HostRulesTest, QuotasBindTheCaller) {
  std::ifstream status("/proc/self/status");
  std::string line;
  unsigned long long bounding = 0;
  while (std::getline(status, line)) {
    if (line.rfind("CapBnd:", 0) == 0) bounding = std::stoull(line.substr(7), nullptr, 16);
  }
  if ((bounding & (1ull << 24)) == 0) {
    GTEST_SKIP() << "CAP_SYS_RESOURCE is not in this machine's bounding set: quotas never bind "
                    "root here, so there is nothing to tell apart";
  }
  GTEST_SKIP() << "quota images need the quota tools, which this suite does not install";
}

}  // namespace
}  // namespace callerfs::testing
