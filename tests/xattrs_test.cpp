// Extended attributes through a real mount: the four calls against the host,
// their error cases, symbolic links acted on themselves, and getxattr's
// routing through the caller's registered write-only handle with its
// diagnostic line.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/actor.h"
#include "tests/support/mount_fixture.h"

namespace callerfs::testing {
namespace {

using namespace std::chrono_literals;

// A value, or the errno of the failing call.
struct Outcome {
  ssize_t result;
  int error;
  std::string value;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  if (outcome.result < 0) return out << "error " << strerror(outcome.error);
  return out << outcome.result << " bytes \"" << outcome.value.substr(0, 64) << "\"";
}

Outcome LGet(const std::string& path, const std::string& name, size_t size = 65536) {
  std::string buffer(size, '\0');
  const ssize_t result = lgetxattr(path.c_str(), name.c_str(), size ? buffer.data() : nullptr, size);
  const int error = result < 0 ? errno : 0;
  return {result, error, result > 0 ? buffer.substr(0, static_cast<size_t>(result)) : ""};
}

Outcome Get(const std::string& path, const std::string& name, size_t size = 65536) {
  std::string buffer(size, '\0');
  const ssize_t result = getxattr(path.c_str(), name.c_str(), size ? buffer.data() : nullptr, size);
  const int error = result < 0 ? errno : 0;
  return {result, error, result > 0 ? buffer.substr(0, static_cast<size_t>(result)) : ""};
}

int LSet(const std::string& path, const std::string& name, const std::string& value, int flags = 0) {
  return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), flags) == 0 ? 0 : errno;
}

// The names listed for an object, as a set (the order is the filesystem's).
std::set<std::string> LList(const std::string& path) {
  std::string buffer(65536, '\0');
  const ssize_t size = llistxattr(path.c_str(), buffer.data(), buffer.size());
  std::set<std::string> names;
  if (size < 0) return {"<error " + std::string(strerror(errno)) + ">"};
  for (size_t at = 0; at < static_cast<size_t>(size);) {
    const std::string name(buffer.data() + at);
    names.insert(name);
    at += name.size() + 1;
  }
  return names;
}

// Parses "Mapped file <host_path> to handle <fd> mode <flags>. fgetxattr <name>"
// out of text; false when no such line is there.
bool FindHandleLine(const std::string& text, const std::string& host_path, const std::string& name,
                    int& fd, int& flags) {
  const std::string head = "Mapped file " + host_path + " to handle ";
  const std::string tail = ". fgetxattr " + name + "\n";
  for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
    unsigned parsed_fd = 0, parsed_flags = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str() + head.size(), "%u mode %u%n", &parsed_fd, &parsed_flags, &consumed) != 2) {
      continue;
    }
    if (line.compare(head.size() + static_cast<size_t>(consumed), std::string::npos, tail) != 0) continue;
    fd = static_cast<int>(parsed_fd);
    flags = static_cast<int>(parsed_flags);
    return true;
  }
  return false;
}

// The descriptor of the registry's AddMapping line for a host path, or -1.
int RegisteredDescriptor(const std::string& log, const std::string& host_path) {
  const std::string prefix = "OpenFilesMap::AddMapping Injected mapping " + host_path + " to ";
  const size_t at = log.rfind(prefix);
  if (at == std::string::npos) return -1;
  return std::stoi(log.substr(at + prefix.size()));
}

class XattrsTest : public MountTest {};

TEST_F(XattrsTest, SetGetListRemoveThroughTheMountMatchTheHost) {
  WriteFile(mirror_.src("f"), "content", 0666);  // an ordinary user writes its attributes too
  ASSERT_EQ(mkdir(mirror_.src("d").c_str(), 0755), 0);
  for (const std::string name : {"f", "d"}) {
    SCOPED_TRACE(name);
    const std::string host = mirror_.src(name), mnt = mirror_.mnt(name);
    EXPECT_EQ(LSet(mnt, "user.color", "blue"), 0);
    EXPECT_EQ(LGet(host, "user.color"), (Outcome{4, 0, "blue"}));
    ASSERT_EQ(LSet(host, "user.size", "42"), 0);
    EXPECT_EQ(LGet(mnt, "user.size"), (Outcome{2, 0, "42"}));
    EXPECT_EQ(LGet(mnt, "user.color"), LGet(host, "user.color"));
    EXPECT_EQ(LList(mnt), LList(host));
    EXPECT_EQ(LList(mnt), (std::set<std::string>{"user.color", "user.size"}));
    // An empty value is a value.
    EXPECT_EQ(LSet(mnt, "user.empty", ""), 0);
    EXPECT_EQ(LGet(host, "user.empty"), (Outcome{0, 0, ""}));
    EXPECT_EQ(LGet(mnt, "user.empty"), (Outcome{0, 0, ""}));

    // Create-only and replace-only.
    EXPECT_EQ(LSet(mnt, "user.color", "red", XATTR_CREATE), EEXIST);
    EXPECT_EQ(LSet(mnt, "user.shape", "round", XATTR_REPLACE), ENODATA);
    EXPECT_EQ(LGet(host, "user.shape").error, ENODATA);
    EXPECT_EQ(LSet(mnt, "user.color", "green", XATTR_REPLACE), 0);
    EXPECT_EQ(LSet(mnt, "user.shape", "round", XATTR_CREATE), 0);
    EXPECT_EQ(LGet(host, "user.color").value, "green");
    EXPECT_EQ(LGet(host, "user.shape").value, "round");

    // Size queries, and buffers one byte too small.
    EXPECT_EQ(lgetxattr(mnt.c_str(), "user.shape", nullptr, 0), 5);
    char small[8];
    EXPECT_EQ(lgetxattr(mnt.c_str(), "user.shape", small, 4), -1);
    EXPECT_EQ(errno, ERANGE);
    const ssize_t list_size = llistxattr(host.c_str(), nullptr, 0);
    EXPECT_EQ(llistxattr(mnt.c_str(), nullptr, 0), list_size);
    std::string list(static_cast<size_t>(list_size), '\0');
    EXPECT_EQ(llistxattr(mnt.c_str(), list.data(), list.size() - 1), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(llistxattr(mnt.c_str(), list.data(), list.size()), list_size);

    // A name the object does not carry.
    EXPECT_EQ(LGet(mnt, "user.none").error, ENODATA);
    EXPECT_EQ(lremovexattr(mnt.c_str(), "user.none"), -1);
    EXPECT_EQ(errno, ENODATA);

    EXPECT_EQ(lremovexattr(mnt.c_str(), "user.color"), 0) << strerror(errno);
    EXPECT_EQ(LGet(host, "user.color").error, ENODATA);
    EXPECT_EQ(LGet(mnt, "user.color").error, ENODATA);
    EXPECT_EQ(LList(mnt), LList(host));
  }

  // The same calls made by an ordinary user.
  EXPECT_EQ(RunAs(1000, 100, [&] { return LSet(mirror_.mnt("f"), "user.by", "user"); }), 0);
  EXPECT_EQ(LGet(mirror_.src("f"), "user.by").value, "user");
  EXPECT_EQ(RunAs(1000, 100, [&] { return LGet(mirror_.mnt("f"), "user.by") == Outcome{4, 0, "user"} ? 0 : 1; }), 0);
  EXPECT_EQ(RunAs(1000, 100, [&] { return ErrnoOf(lremovexattr(mirror_.mnt("f").c_str(), "user.by")); }), 0);
  EXPECT_EQ(LGet(mirror_.src("f"), "user.by").error, ENODATA);
}

// The daemon lists as root; a user is shown what the host shows them: no
// trusted.* names, with a size query that matches the shorter list.
TEST_F(XattrsTest, ListingShowsOtherUsersWhatTheHostShowsThem) {
  const std::string host = mirror_.src("f"), mnt = mirror_.mnt("f");
  WriteFile(host, "");
  for (const char* name : {"trusted.a", "user.b", "trusted.c", "user.d"}) {
    ASSERT_EQ(LSet(host, name, "v"), 0) << name;
  }
  EXPECT_EQ(LList(mnt), LList(host));
  EXPECT_TRUE(LList(mnt).contains("trusted.a")) << "root sees every name";
  EXPECT_EQ(RunAs(1000, 100, [&] {
              if (LList(mnt) != LList(host)) return 1;
              if (LList(mnt) != std::set<std::string>{"user.b", "user.d"}) return 2;
              const ssize_t size = llistxattr(mnt.c_str(), nullptr, 0);
              if (size != llistxattr(host.c_str(), nullptr, 0)) return 3;
              std::string list(static_cast<size_t>(size), '\0');
              if (llistxattr(mnt.c_str(), list.data(), list.size() - 1) != -1 || errno != ERANGE) return 4;
              return llistxattr(mnt.c_str(), list.data(), list.size()) == size ? 0 : 5;
            }),
            0);
}

// The tree lives under /tmp; the largest value its filesystem takes depends on
// that filesystem (64 KiB at most). Whatever the host takes, the mount takes
// and returns unchanged, and one byte more fails as it does on the host.
TEST_F(XattrsTest, LargestValueTheHostTakesRoundTripsThroughTheMount) {
  WriteFile(mirror_.src("probe"), "");
  WriteFile(mirror_.src("f"), "");
  const std::string name = "user.big";
  auto value_of = [](size_t size) {
    std::string value(size, '\0');
    for (size_t i = 0; i < size; ++i) value[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return value;
  };
  // Each trial sets the name afresh, as the set through the mount will.
  auto host_error_for = [&](size_t size) {
    lremovexattr(mirror_.src("probe").c_str(), name.c_str());
    return LSet(mirror_.src("probe"), name, value_of(size));
  };
  size_t low = 0, high = 65536;  // the host takes low; does it take high?
  if (host_error_for(high) == 0) {
    low = high;
  } else {
    while (high - low > 1) {
      const size_t middle = (low + high) / 2;
      (host_error_for(middle) == 0 ? low : high) = middle;
    }
  }
  ASSERT_GT(low, 0u) << "the host takes no user attributes";
  const std::string value = value_of(low);
  EXPECT_EQ(LSet(mirror_.mnt("f"), name, value), 0) << low << " bytes";
  EXPECT_EQ(LGet(mirror_.src("f"), name), (Outcome{static_cast<ssize_t>(low), 0, value}));
  EXPECT_EQ(LGet(mirror_.mnt("f"), name), (Outcome{static_cast<ssize_t>(low), 0, value}));
  EXPECT_EQ(lgetxattr(mirror_.mnt("f").c_str(), name.c_str(), nullptr, 0), static_cast<ssize_t>(low));

  if (low < 65536) {
    const int host_error = host_error_for(low + 1);
    EXPECT_NE(host_error, 0);
    EXPECT_EQ(LSet(mirror_.mnt("f"), name, value_of(low + 1)), host_error);
    EXPECT_EQ(LGet(mirror_.src("f"), name).value, value) << "a refused value replaced the old one";
  }
  // Beyond the system's limit both refuse alike.
  EXPECT_EQ(LSet(mirror_.mnt("f"), name, value_of(65537)), host_error_for(65537));
}

TEST_F(XattrsTest, SymbolicLinksAreActedOnThemselves) {
  WriteFile(mirror_.src("target"), "t");
  ASSERT_EQ(symlink("target", mirror_.src("link").c_str()), 0);
  ASSERT_EQ(symlink("target", mirror_.src("host-link").c_str()), 0);
  const std::string mnt_link = mirror_.mnt("link"), host_link = mirror_.src("link");

  // trusted.* names work on links (for root); the link carries them, not its target.
  ASSERT_EQ(LSet(mirror_.src("host-link"), "trusted.tag", "L"), 0) << "the host refuses trusted.* on links";
  EXPECT_EQ(LSet(mnt_link, "trusted.tag", "L"), 0);
  EXPECT_EQ(LGet(host_link, "trusted.tag"), (Outcome{1, 0, "L"}));
  EXPECT_EQ(LGet(mirror_.src("target"), "trusted.tag").error, ENODATA);
  EXPECT_EQ(LGet(mnt_link, "trusted.tag"), (Outcome{1, 0, "L"}));
  EXPECT_EQ(LList(mnt_link), LList(host_link));
  EXPECT_EQ(LList(mnt_link).count("trusted.tag"), 1u);
  EXPECT_EQ(lremovexattr(mnt_link.c_str(), "trusted.tag"), 0) << strerror(errno);
  EXPECT_EQ(LGet(host_link, "trusted.tag").error, ENODATA);

  // security.* names: whatever the host does on a link, the mount does.
  const int host_security = LSet(mirror_.src("host-link"), "security.tag", "S");
  EXPECT_EQ(LSet(mnt_link, "security.tag", "S"), host_security);
  EXPECT_EQ(LGet(host_link, "security.tag"), LGet(mirror_.src("host-link"), "security.tag"));

  // user.* names are refused on links, on the host and through the mount.
  const int host_user = LSet(mirror_.src("host-link"), "user.tag", "U");
  EXPECT_EQ(host_user, EPERM);
  EXPECT_EQ(LSet(mnt_link, "user.tag", "U"), host_user);
  EXPECT_EQ(LGet(mirror_.src("target"), "user.tag").error, ENODATA);

  // The following calls act on the target.
  ASSERT_EQ(LSet(mirror_.src("target"), "user.tag", "T"), 0);
  EXPECT_EQ(Get(mnt_link, "user.tag"), (Outcome{1, 0, "T"}));
  EXPECT_EQ(setxattr(mnt_link.c_str(), "user.other", "O", 1, 0), 0) << strerror(errno);
  EXPECT_EQ(LGet(mirror_.src("target"), "user.other").value, "O");
}

// Every getxattr writes one line naming its route before its system call.
TEST_F(XattrsTest, GetxattrWritesOneLineNamingItsRoute) {
  const std::string host = mirror_.src("routed");
  WriteFile(host, "content", 0666);
  ASSERT_EQ(LSet(host, "user.route", "value"), 0);
  const std::string by_path_line = "Failed to map file " + host + " to an open handle. lgetxattr user.route\n";

  // Nobody holds the file open: by path, for a present and a missing name.
  size_t mark = mirror_.LogMark();
  EXPECT_EQ(LGet(mirror_.mnt("routed"), "user.route").value, "value");
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), "getxattr user.route"), 1u) << mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), by_path_line), 1u) << mirror_.LogSince(mark);
  mark = mirror_.LogMark();
  EXPECT_EQ(LGet(mirror_.mnt("routed"), "user.missing").error, ENODATA);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), "getxattr user.missing"), 1u);
  EXPECT_NE(mirror_.LogSince(mark).find("Failed to map file " + host +
                                        " to an open handle. lgetxattr user.missing\n"),
            std::string::npos);

  // User 1000 holds it open write-only: that user's reads go through the handle.
  int fd = -1;
  Actor holder(1000, 100,
               {[&] {
                  fd = open(mirror_.mnt("routed").c_str(), O_WRONLY);
                  return fd == -1 ? errno : 0;
                },
                [&] { return LGet(mirror_.mnt("routed"), "user.route") == Outcome{5, 0, "value"} ? 0 : 1; },
                [&] { return LGet(mirror_.mnt("routed"), "user.missing").error == ENODATA ? 0 : 1; },
                [&] {
                  char buffer[16];
                  const ssize_t size = fgetxattr(fd, "user.route", buffer, sizeof buffer);
                  return size == 5 && std::string(buffer, 5) == "value" ? 0 : 1;
                },
                [&] { return close(fd) == 0 ? 0 : errno; }});
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(holder.Step(), 0);
  const int registered = RegisteredDescriptor(mirror_.Log(), host);
  ASSERT_GE(registered, 0) << mirror_.Log();
  for (const char* name : {"user.route", "user.missing", "user.route"}) {
    SCOPED_TRACE(name);
    mark = mirror_.LogMark();
    ASSERT_EQ(holder.Step(), 0);
    const std::string since = mirror_.LogSince(mark);
    EXPECT_EQ(CountOccurrences(since, "getxattr user."), 1u) << since;
    int fd_in_line = -1, flags_in_line = -1;
    ASSERT_TRUE(FindHandleLine(since, host, name, fd_in_line, flags_in_line)) << since;
    EXPECT_EQ(fd_in_line, registered);
    EXPECT_EQ(flags_in_line & (O_ACCMODE | O_PATH), O_WRONLY) << flags_in_line;
  }

  // Another user's read goes by path.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1001, 100, [&] { return LGet(mirror_.mnt("routed"), "user.route").value == "value" ? 0 : 1; }), 0);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), "getxattr user.route"), 1u);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), by_path_line), 1u) << mirror_.LogSince(mark);

  ASSERT_EQ(holder.Step(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
  // Once released, the same user's reads go by path again.
  mark = mirror_.LogMark();
  EXPECT_EQ(RunAs(1000, 100, [&] { return LGet(mirror_.mnt("routed"), "user.route").value == "value" ? 0 : 1; }), 0);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), by_path_line), 1u) << mirror_.LogSince(mark);
}

// setxattr, listxattr and removexattr act on the path whoever holds the file
// open: they never ask the registry (no lookup line, no key line).
TEST_F(XattrsTest, SetListRemoveNeverConsultTheRegistry) {
  const std::string host = mirror_.src("held");
  WriteFile(host, "content", 0666);
  int fd = -1;
  Actor holder(1000, 100,
               {[&] {
                  fd = open(mirror_.mnt("held").c_str(), O_WRONLY);
                  return fd == -1 ? errno : 0;
                },
                [&] { return fsetxattr(fd, "user.held", "v", 1, 0) == 0 ? 0 : errno; },
                [&] {
                  char buffer[256];
                  const ssize_t size = flistxattr(fd, buffer, sizeof buffer);
                  return size == static_cast<ssize_t>(sizeof "user.held") &&
                                 std::string(buffer) == "user.held"
                             ? 0
                             : 1;
                },
                [&] { return fremovexattr(fd, "user.held") == 0 ? 0 : errno; },
                [&] { return close(fd) == 0 ? 0 : errno; }});
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(holder.Step(), 0);
  ASSERT_GE(RegisteredDescriptor(mirror_.Log(), host), 0);
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    const size_t mark = mirror_.LogMark();
    ASSERT_EQ(holder.Step(), 0);
    EXPECT_EQ(mirror_.LogSince(mark).find("Returning pair"), std::string::npos) << mirror_.LogSince(mark);
    EXPECT_EQ(mirror_.LogSince(mark).find("GetMapping"), std::string::npos) << mirror_.LogSince(mark);
    if (step == 0) {
      EXPECT_EQ(LGet(host, "user.held").value, "v");
    }
  }
  EXPECT_EQ(LGet(host, "user.held").error, ENODATA);
  ASSERT_EQ(holder.Step(), 0);
}

// A registration stays under the path it was opened with; once the host has
// another file at that path, the holder's reads go by path and see that file.
TEST_F(XattrsTest, GetxattrAfterTheHostReplacedTheFileGoesByPath) {
  const std::string host = mirror_.src("replaced");
  WriteFile(host, "old", 0666);
  ASSERT_EQ(LSet(host, "user.version", "old"), 0);
  int fd = -1;
  Actor holder(1000, 100,
               {[&] {
                  fd = open(mirror_.mnt("replaced").c_str(), O_WRONLY);
                  return fd == -1 ? errno : 0;
                },
                [&] { return LGet(mirror_.mnt("replaced"), "user.version").value == "old" ? 0 : 1; },
                [&] { return LGet(mirror_.mnt("replaced"), "user.version").value == "new" ? 0 : 1; },
                [&] { return close(fd) == 0 ? 0 : errno; }});
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(holder.Step(), 0);
  size_t mark = mirror_.LogMark();
  ASSERT_EQ(holder.Step(), 0);
  EXPECT_NE(mirror_.LogSince(mark).find("Mapped file " + host + " to handle "), std::string::npos);

  WriteFile(mirror_.src("replacement"), "new", 0666);
  ASSERT_EQ(LSet(mirror_.src("replacement"), "user.version", "new"), 0);
  ASSERT_EQ(rename(mirror_.src("replacement").c_str(), host.c_str()), 0);
  mark = mirror_.LogMark();
  EXPECT_EQ(holder.Step(), 0) << "the read did not see the file now at the path";
  const std::string since = mirror_.LogSince(mark);
  EXPECT_EQ(CountOccurrences(since, "getxattr user.version"), 1u) << since;
  EXPECT_NE(since.find("Failed to map file " + host + " to an open handle. lgetxattr user.version\n"),
            std::string::npos)
      << since;
  ASSERT_EQ(holder.Step(), 0);
  EXPECT_TRUE(mirror_.WaitForNoTreeDescriptors());
}

// With the kernel caching entries, a request can name an object that is gone
// on the host: getxattr reports the attribute as missing, not the object.
class XattrsCachedEntriesTest : public MountTest {
 protected:
  MountOptions Options() const override {
    MountOptions options;
    options.no_kernel_cache = false;
    options.options = "entry_timeout=30,attr_timeout=30";
    return options;
  }
};

TEST_F(XattrsCachedEntriesTest, ObjectRemovedOnTheHostReadsAsMissingAttribute) {
  WriteFile(mirror_.src("gone"), "x");
  ASSERT_EQ(LSet(mirror_.src("gone"), "user.kept", "v"), 0);
  struct stat st;
  ASSERT_EQ(stat(mirror_.mnt("gone").c_str(), &st), 0);
  EXPECT_EQ(LGet(mirror_.mnt("gone"), "user.kept").value, "v");
  ASSERT_EQ(unlink(mirror_.src("gone").c_str()), 0);

  const size_t mark = mirror_.LogMark();
  EXPECT_EQ(LGet(mirror_.mnt("gone"), "user.kept").error, ENODATA);
  EXPECT_EQ(LGet(mirror_.mnt("gone"), "user.kept", 0).error, ENODATA);
  EXPECT_EQ(CountOccurrences(mirror_.LogSince(mark), "Failed to map file " + mirror_.src("gone") +
                                                         " to an open handle. lgetxattr user.kept\n"),
            2u)
      << mirror_.LogSince(mark);
  // Only getxattr translates: the others report the missing object.
  EXPECT_EQ(llistxattr(mirror_.mnt("gone").c_str(), nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(LSet(mirror_.mnt("gone"), "user.kept", "w"), ENOENT);
}

}  // namespace
}  // namespace callerfs::testing
