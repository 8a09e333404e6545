#include "daemon/status.h"

#include <linux/fuse.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "daemon/request_loop.h"
#include "registry/descriptor_quota.h"
#include "registry/diagnostics.h"
#include "registry/lock_owners.h"

namespace callerfs {
namespace {

// Requests younger than this are not "waiting" yet.
constexpr double kInFlightAfterSeconds = 0.5;

const char* OperationName(uint32_t opcode) {
  switch (opcode) {
    case FUSE_LOOKUP: return "lookup";
    case FUSE_FORGET: return "forget";
    case FUSE_GETATTR: return "getattr";
    case FUSE_SETATTR: return "setattr";
    case FUSE_READLINK: return "readlink";
    case FUSE_SYMLINK: return "symlink";
    case FUSE_MKNOD: return "mknod";
    case FUSE_MKDIR: return "mkdir";
    case FUSE_UNLINK: return "unlink";
    case FUSE_RMDIR: return "rmdir";
    case FUSE_RENAME: return "rename";
    case FUSE_LINK: return "link";
    case FUSE_OPEN: return "open";
    case FUSE_READ: return "read";
    case FUSE_WRITE: return "write";
    case FUSE_STATFS: return "statfs";
    case FUSE_RELEASE: return "release";
    case FUSE_FSYNC: return "fsync";
    case FUSE_SETXATTR: return "setxattr";
    case FUSE_GETXATTR: return "getxattr";
    case FUSE_LISTXATTR: return "listxattr";
    case FUSE_REMOVEXATTR: return "removexattr";
    case FUSE_FLUSH: return "flush";
    case FUSE_INIT: return "init";
    case FUSE_OPENDIR: return "opendir";
    case FUSE_READDIR: return "readdir";
    case FUSE_RELEASEDIR: return "releasedir";
    case FUSE_FSYNCDIR: return "fsyncdir";
    case FUSE_GETLK: return "getlk";
    case FUSE_SETLK: return "setlk";
    case FUSE_SETLKW: return "setlkw";
    case FUSE_ACCESS: return "access";
    case FUSE_CREATE: return "create";
    case FUSE_INTERRUPT: return "interrupt";
    case FUSE_BMAP: return "bmap";
    case FUSE_DESTROY: return "destroy";
    case FUSE_IOCTL: return "ioctl";
    case FUSE_POLL: return "poll";
    case FUSE_BATCH_FORGET: return "batch_forget";
    case FUSE_FALLOCATE: return "fallocate";
    default: return "other";
  }
}

std::string ErrorName(int error) {
  const char* name = ::strerrorname_np(error);
  return name != nullptr ? name : "E" + std::to_string(error);
}

// As systemd-escape --path: "/" between names becomes "-", and every byte
// but letters, digits, "_" and a "." not in front is written \xNN.
std::string EscapedPath(std::string_view path) {
  while (path.size() > 1 && path.front() == '/') path.remove_prefix(1);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/" || path.empty()) return "-";
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c == '/') {
      out += '-';
    } else if (std::isalnum(c) || c == '_' || (c == '.' && i != 0)) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

struct Report {
  LoopStatus loop;
  std::vector<std::pair<uid_t, long>> descriptors;
  std::unordered_map<uid_t, size_t> lock_owners;
  long cap = 0;
  uint64_t dropped = 0;

  // Every user with something to show, in order.
  std::vector<uid_t> Users() const {
    std::vector<uid_t> users;
    for (const auto& [uid, count] : descriptors) users.push_back(uid);
    for (const auto& [uid, count] : lock_owners) users.push_back(uid);
    for (const auto& load : loop.users) users.push_back(load.uid);
    std::sort(users.begin(), users.end());
    users.erase(std::unique(users.begin(), users.end()), users.end());
    return users;
  }
  long Descriptors(uid_t uid) const {
    for (const auto& [who, count] : descriptors) {
      if (who == uid) return count;
    }
    return 0;
  }
  size_t LockOwnersOf(uid_t uid) const {
    const auto found = lock_owners.find(uid);
    return found == lock_owners.end() ? 0 : found->second;
  }
  LoopStatus::UserLoad Load(uid_t uid) const {
    for (const auto& load : loop.users) {
      if (load.uid == uid) return load;
    }
    return {uid, 0, 0};
  }
};

Report Gather() {
  Report report;
  SnapshotLoop(report.loop, kInFlightAfterSeconds);
  report.descriptors = DescriptorQuota::Instance().Holders();
  report.lock_owners = LockOwners::Instance().CountByUser();
  report.cap = DescriptorQuota::Instance().per_user_cap();
  report.dropped = DiagnosticLinesDropped();
  return report;
}

std::string AsText(const Report& r, const std::string& mountpoint) {
  const LoopStatus& loop = r.loop;
  std::string out = "callerfs at " + mountpoint + " (pid " + std::to_string(::getpid()) + ")\n";
  out += "threads: " + std::to_string(loop.workers) + " serving (" + std::to_string(loop.busy) +
         " busy, " + std::to_string(loop.workers - loop.busy - loop.parked) + " idle, " +
         std::to_string(loop.parked) + " parked), at most " + std::to_string(loop.max_threads) +
         "; " + std::to_string(loop.lock_waits) + " lock waits; at most " +
         std::to_string(loop.user_share) + " requests in flight per user\n";
  out += "requests in flight for longer than 0.5 s:";
  if (loop.in_flight.empty()) out += " none";
  out += "\n";
  for (const auto& request : loop.in_flight) {
    char age[32];
    std::snprintf(age, sizeof age, "%.1f s", request.age_seconds);
    out += std::string("  ") + OperationName(request.opcode) + " uid " + std::to_string(request.uid) +
           " pid " + std::to_string(request.pid) + " " +
           (request.path.empty() ? "-" : request.path) + " " + age + "\n";
  }
  out += "users (descriptors of " + std::to_string(r.cap) + " each):";
  const std::vector<uid_t> users = r.Users();
  if (users.empty()) out += " none";
  out += "\n";
  for (const uid_t uid : users) {
    const LoopStatus::UserLoad load = r.Load(uid);
    out += "  uid " + std::to_string(uid) + ": " + std::to_string(r.Descriptors(uid)) +
           " descriptors, " + std::to_string(r.LockOwnersOf(uid)) + " lock owners, " +
           std::to_string(load.in_flight) + " requests in flight, " + std::to_string(load.queued) +
           " queued\n";
  }
  out += "requests since start:";
  for (const auto& [opcode, count] : loop.requests_by_opcode) {
    out += std::string(" ") + OperationName(opcode) + " " + std::to_string(count);
  }
  out += "\nfailures since start:";
  if (loop.failures_by_errno.empty()) out += " none";
  for (const auto& [error, count] : loop.failures_by_errno) {
    out += " " + ErrorName(error) + " " + std::to_string(count);
  }
  out += "\nrequests refused past a user's queue: " + std::to_string(loop.refused_past_share) + "\n";
  out += "diagnostic lines dropped: " + std::to_string(r.dropped) + "\n";
  return out;
}

std::string AsJson(const Report& r, const std::string& mountpoint) {
  const LoopStatus& loop = r.loop;
  std::string out = "{\"mountpoint\":" + JsonString(mountpoint) +
                    ",\"pid\":" + std::to_string(::getpid());
  out += ",\"threads\":{\"serving\":" + std::to_string(loop.workers) +
         ",\"busy\":" + std::to_string(loop.busy) +
         ",\"idle\":" + std::to_string(loop.workers - loop.busy - loop.parked) +
         ",\"parked\":" + std::to_string(loop.parked) + ",\"max\":" + std::to_string(loop.max_threads) +
         ",\"lock_waits\":" + std::to_string(loop.lock_waits) +
         ",\"user_share\":" + std::to_string(loop.user_share) + "}";
  out += ",\"in_flight\":[";
  for (size_t i = 0; i < loop.in_flight.size(); ++i) {
    const auto& request = loop.in_flight[i];
    char age[32];
    std::snprintf(age, sizeof age, "%.3f", request.age_seconds);
    out += std::string(i ? "," : "") + "{\"operation\":\"" + OperationName(request.opcode) +
           "\",\"uid\":" + std::to_string(request.uid) + ",\"pid\":" + std::to_string(request.pid) +
           ",\"path\":" + (request.path.empty() ? "null" : JsonString(request.path)) +
           ",\"age_seconds\":" + age + "}";
  }
  out += "],\"descriptor_cap\":" + std::to_string(r.cap) + ",\"users\":[";
  bool first = true;
  for (const uid_t uid : r.Users()) {
    const LoopStatus::UserLoad load = r.Load(uid);
    out += std::string(first ? "" : ",") + "{\"uid\":" + std::to_string(uid) +
           ",\"descriptors\":" + std::to_string(r.Descriptors(uid)) +
           ",\"lock_owners\":" + std::to_string(r.LockOwnersOf(uid)) +
           ",\"in_flight\":" + std::to_string(load.in_flight) +
           ",\"queued\":" + std::to_string(load.queued) + "}";
    first = false;
  }
  out += "],\"requests\":{";
  first = true;
  for (const auto& [opcode, count] : loop.requests_by_opcode) {
    out += std::string(first ? "" : ",") + "\"" + OperationName(opcode) + "\":" + std::to_string(count);
    first = false;
  }
  out += "},\"failures\":{";
  first = true;
  for (const auto& [error, count] : loop.failures_by_errno) {
    out += std::string(first ? "" : ",") + "\"" + ErrorName(error) + "\":" + std::to_string(count);
    first = false;
  }
  out += "},\"refused_past_share\":" + std::to_string(loop.refused_past_share) +
         ",\"diagnostic_lines_dropped\":" + std::to_string(r.dropped) + "}\n";
  return out;
}

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<size_t>(n);
  }
}

struct Server {
  int listener = -1;
  int stop = -1;  // an eventfd
  std::string path;
  std::string mountpoint;
  std::thread thread;
};
Server server;

// One question: "json" or "text", answered for root only.
void Answer(int client) {
  struct ucred peer {};
  socklen_t length = sizeof peer;
  if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != 0) {
    WriteAll(client, "callerfs status: only root may ask\n");
    return;
  }
  char question[16] = {};
  struct pollfd wait = {client, POLLIN, 0};
  if (::poll(&wait, 1, 1000) != 1 || ::recv(client, question, sizeof question - 1, 0) <= 0) return;
  try {
    const Report report = Gather();
    WriteAll(client, std::string_view(question).starts_with("json") ? AsJson(report, server.mountpoint)
                                                                   : AsText(report, server.mountpoint));
  } catch (...) {
    WriteAll(client, "callerfs status: out of memory\n");
  }
}

void Listen() {
  for (;;) {
    struct pollfd fds[2] = {{server.listener, POLLIN, 0}, {server.stop, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int client = ::accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Answer(client);
    ::close(client);
  }
}

}  // namespace

std::string StatusSocketPath(const std::string& mountpoint) {
  return std::string(kStatusDirectory) + "/" + EscapedPath(mountpoint) + ".sock";
}

void StartStatusServer(const std::string& mountpoint) {
  server.mountpoint = mountpoint;
  server.path = StatusSocketPath(mountpoint);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (server.path.size() >= sizeof address.sun_path) {
    LogStatusUnavailable(server.path, "the path is too long for a socket");
    return;
  }
  std::memcpy(address.sun_path, server.path.c_str(), server.path.size() + 1);
  ::mkdir(kStatusDirectory, 0700);
  struct stat dir;
  if (::lstat(kStatusDirectory, &dir) != 0 || !S_ISDIR(dir.st_mode) || dir.st_uid != ::geteuid() ||
      (dir.st_mode & 077) != 0) {
    LogStatusUnavailable(server.path, "its directory is missing or not private to the daemon");
    return;
  }
  server.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  server.stop = ::eventfd(0, EFD_CLOEXEC);
  ::unlink(server.path.c_str());  // left by a daemon that was killed
  const mode_t saved = ::umask(0177);
  const bool bound = server.listener >= 0 && server.stop >= 0 &&
                     ::bind(server.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::umask(saved);
  if (!bound || ::listen(server.listener, 8) != 0) {
    LogStatusUnavailable(server.path, std::strerror(errno));
    StopStatusServer();
    return;
  }
  // The signals that end the daemon go to the main thread.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  try {
    server.thread = std::thread(Listen);
  } catch (...) {
    LogStatusUnavailable(server.path, "cannot start its thread");
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void StopStatusServer() {
  if (server.thread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(server.stop, &one, sizeof one);
    server.thread.join();
  }
  if (server.listener >= 0) {
    ::close(server.listener);
    ::unlink(server.path.c_str());
  }
  if (server.stop >= 0) ::close(server.stop);
  server.listener = server.stop = -1;
}

int RunStatusCommand(int argc, char** argv) {
  std::string mountpoint;
  bool json = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (mountpoint.empty()) {
      mountpoint = argv[i];
    } else {
      std::fprintf(stderr, "callerfs status: unexpected argument '%s'\n", argv[i]);
      return 1;
    }
  }
  if (mountpoint.empty()) {
    std::fprintf(stderr, "usage: callerfs status MOUNTPOINT [--json]\n");
    return 1;
  }
  // The mount point as the daemon resolved it; a dead or busy one is taken
  // as written.
  char resolved[PATH_MAX];
  const std::string path = StatusSocketPath(::realpath(mountpoint.c_str(), resolved) ? resolved : mountpoint);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    std::fprintf(stderr, "callerfs status: cannot reach the daemon of %s at %s: %s%s\n",
                 mountpoint.c_str(), path.c_str(), std::strerror(error),
                 error == EACCES ? " (only root may ask)" : "");
    return 1;
  }
  WriteAll(fd, json ? "json\n" : "text\n");
  char chunk[4096];
  ssize_t n;
  while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) std::fwrite(chunk, 1, static_cast<size_t>(n), stdout);
  ::close(fd);
  return 0;
}

}  // namespace callerfs
