// Workload driver for bench/run.sh. Each timed command does its work in a
// directory given on the command line and prints the elapsed wall-clock time
// in seconds on stdout; the set-up commands print nothing.
//
//   populate DIR N [SIZE]     make N files f000000.. of SIZE bytes (default 0)
//   tree DIR TOP SUB FILES    TOP dirs, each with SUB dirs of FILES files
//   create DIR N              timed: open(O_CREAT|O_EXCL) + close of N files
//   stat DIR N                timed: lstat of the N files
//   rename DIR N              timed: rename f* to g* in the same directory
//   unlink DIR N              timed: unlink of the renamed g* files
//   csu DIR N                 timed: per file create, lstat, unlink
//   csu2 N DIR1 DIR2 [UID1 UID2]  timed: csu in two processes at once, each
//                             as its own user when the uids are given
//   swrite DIR N SIZE         timed: N files of SIZE bytes written
//   sread DIR N SIZE          timed: the same N files read back
//   holdopen DIR N UID GID    as UID/GID open N files read-only, print
//                             "ready N" and wait for a signal
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench-driver: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

long Number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) {
    std::fprintf(stderr, "bench-driver: not a count: %s\n", text);
    std::exit(2);
  }
  return value;
}

std::string Name(const std::string& dir, char prefix, long i) {
  char name[32];
  std::snprintf(name, sizeof name, "/%c%06ld", prefix, i);
  return dir + name;
}

using Clock = std::chrono::steady_clock;

void PrintElapsed(Clock::time_point start) {
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  std::printf("%.6f\n", elapsed.count());
}

void MakeFile(const std::string& path, const std::vector<char>& data) {
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd == -1) Die("create " + path);
  if (!data.empty() && ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    Die("write " + path);
  }
  if (::close(fd) == -1) Die("close " + path);
}

void Populate(const std::string& dir, long n, long size) {
  const std::vector<char> data(size, 'x');
  for (long i = 0; i < n; ++i) MakeFile(Name(dir, 'f', i), data);
}

void Tree(const std::string& dir, long top, long sub, long files) {
  const std::vector<char> data(100, 'x');
  for (long t = 0; t < top; ++t) {
    const std::string level1 = dir + "/d" + std::to_string(t);
    if (::mkdir(level1.c_str(), 0755) == -1) Die("mkdir " + level1);
    for (long s = 0; s < sub; ++s) {
      const std::string level2 = level1 + "/s" + std::to_string(s);
      if (::mkdir(level2.c_str(), 0755) == -1) Die("mkdir " + level2);
      for (long f = 0; f < files; ++f) MakeFile(Name(level2, 'f', f), data);
    }
  }
}

void Create(const std::string& dir, long n) {
  const auto start = Clock::now();
  Populate(dir, n, 0);
  PrintElapsed(start);
}

void Stat(const std::string& dir, long n) {
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i) {
    struct stat st;
    const std::string path = Name(dir, 'f', i);
    if (::lstat(path.c_str(), &st) == -1) Die("lstat " + path);
  }
  PrintElapsed(start);
}

void Rename(const std::string& dir, long n) {
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i) {
    const std::string from = Name(dir, 'f', i);
    if (::rename(from.c_str(), Name(dir, 'g', i).c_str()) == -1) Die("rename " + from);
  }
  PrintElapsed(start);
}

void Unlink(const std::string& dir, long n) {
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i) {
    const std::string path = Name(dir, 'g', i);
    if (::unlink(path.c_str()) == -1) Die("unlink " + path);
  }
  PrintElapsed(start);
}

void CreateStatUnlinkEach(const std::string& dir, long n) {
  const std::vector<char> none;
  for (long i = 0; i < n; ++i) {
    const std::string path = Name(dir, 'f', i);
    MakeFile(path, none);
    struct stat st;
    if (::lstat(path.c_str(), &st) == -1) Die("lstat " + path);
    if (::unlink(path.c_str()) == -1) Die("unlink " + path);
  }
}

void CreateStatUnlink(const std::string& dir, long n) {
  const auto start = Clock::now();
  CreateStatUnlinkEach(dir, n);
  PrintElapsed(start);
}

// Both children wait on one pipe so that they start together; the clock runs
// from their release until both have finished.
void CreateStatUnlinkTwice(long n, const std::string& dir1, const std::string& dir2,
                           uid_t uid1 = 0, uid_t uid2 = 0) {
  const uid_t uids[2] = {uid1, uid2};
  int gate[2];
  if (::pipe(gate) == -1) Die("pipe");
  pid_t children[2];
  const std::string* dirs[2] = {&dir1, &dir2};
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    if (children[c] == -1) Die("fork");
    if (children[c] == 0) {
      if (uids[c] != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uids[c]) != 0 ||
                           ::setuid(uids[c]) != 0)) {
        Die("setuid");
      }
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) == -1 && errno == EINTR) {
      }
      CreateStatUnlinkEach(*dirs[c], n);
      std::exit(0);
    }
  }
  ::close(gate[0]);
  const auto start = Clock::now();
  ::close(gate[1]);  // end of file releases both children
  bool failed = false;
  for (pid_t child : children) {
    int status = 0;
    if (::waitpid(child, &status, 0) == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      failed = true;
    }
  }
  if (failed) {
    std::fprintf(stderr, "bench-driver: a client failed\n");
    std::exit(1);
  }
  PrintElapsed(start);
}

void SmallWrite(const std::string& dir, long n, long size) {
  const auto start = Clock::now();
  Populate(dir, n, size);
  PrintElapsed(start);
}

void SmallRead(const std::string& dir, long n, long size) {
  std::vector<char> data(size + 1);
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i) {
    const std::string path = Name(dir, 'f', i);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) Die("open " + path);
    long total = 0;
    for (;;) {
      const ssize_t got = ::read(fd, data.data(), data.size());
      if (got == -1) Die("read " + path);
      if (got == 0) break;
      total += got;
    }
    if (total != size) {
      std::fprintf(stderr, "bench-driver: %s: read %ld bytes, expected %ld\n", path.c_str(), total,
                   size);
      std::exit(1);
    }
    ::close(fd);
  }
  PrintElapsed(start);
}

void HoldOpen(const std::string& dir, long n, long uid, long gid) {
  const rlim_t wanted = static_cast<rlim_t>(n) + 64;
  struct rlimit limit{wanted, wanted};
  if (::setrlimit(RLIMIT_NOFILE, &limit) == -1) Die("setrlimit RLIMIT_NOFILE");
  const gid_t group = static_cast<gid_t>(gid);
  if (::setgroups(1, &group) == -1) Die("setgroups");
  if (::setgid(group) == -1) Die("setgid");
  if (::setuid(static_cast<uid_t>(uid)) == -1) Die("setuid");
  std::vector<int> fds;
  fds.reserve(n);
  for (long i = 0; i < n; ++i) {
    const std::string path = Name(dir, 'f', i);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) Die("open " + path);
    fds.push_back(fd);
  }
  std::printf("ready %zu\n", fds.size());
  std::fflush(stdout);
  for (;;) ::pause();  // ended by the script's signal
}

void Usage() {
  std::fprintf(stderr,
               "usage: bench-driver populate DIR N [SIZE] | tree DIR TOP SUB FILES |\n"
               "  create|stat|rename|unlink|csu DIR N | csu2 N DIR1 DIR2 [UID1 UID2] |\n"
               "  swrite|sread DIR N SIZE | holdopen DIR N UID GID\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) Usage();
  const std::string command = argv[1];
  const std::string dir = argv[2];
  if (command == "populate" && (argc == 4 || argc == 5)) {
    Populate(dir, Number(argv[3]), argc == 5 ? Number(argv[4]) : 0);
  } else if (command == "tree" && argc == 6) {
    Tree(dir, Number(argv[3]), Number(argv[4]), Number(argv[5]));
  } else if (command == "create" && argc == 4) {
    Create(dir, Number(argv[3]));
  } else if (command == "stat" && argc == 4) {
    Stat(dir, Number(argv[3]));
  } else if (command == "rename" && argc == 4) {
    Rename(dir, Number(argv[3]));
  } else if (command == "unlink" && argc == 4) {
    Unlink(dir, Number(argv[3]));
  } else if (command == "csu" && argc == 4) {
    CreateStatUnlink(dir, Number(argv[3]));
  } else if (command == "csu2" && argc == 5) {
    CreateStatUnlinkTwice(Number(argv[2]), argv[3], argv[4]);
  } else if (command == "csu2" && argc == 7) {
    CreateStatUnlinkTwice(Number(argv[2]), argv[3], argv[4], Number(argv[5]), Number(argv[6]));
  } else if (command == "swrite" && argc == 5) {
    SmallWrite(dir, Number(argv[3]), Number(argv[4]));
  } else if (command == "sread" && argc == 5) {
    SmallRead(dir, Number(argv[3]), Number(argv[4]));
  } else if (command == "holdopen" && argc == 6) {
    HoldOpen(dir, Number(argv[3]), Number(argv[4]), Number(argv[5]));
  } else {
    Usage();
  }
  return 0;
}
