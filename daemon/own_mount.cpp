#include "daemon/own_mount.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ops/host_path.h"

namespace callerfs {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescaped(const char* field) {
  std::string out;
  for (const char* at = field; *at != '\0'; ++at) {
    if (at[0] == '\\' && at[1] >= '0' && at[1] <= '3' && at[2] != '\0' && at[3] != '\0') {
      out += static_cast<char>((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
      at += 3;
    } else {
      out += *at;
    }
  }
  return out;
}

struct MountLine {
  std::string mountpoint;
  std::string type;
  bool shared = false;
};

// This process's mounts, in mount order.
std::vector<MountLine> ReadMounts() {
  std::vector<MountLine> mounts;
  FILE* info = std::fopen("/proc/self/mountinfo", "re");
  if (info == nullptr) return mounts;
  char* line = nullptr;
  size_t capacity = 0;
  while (::getline(&line, &capacity, info) > 0) {
    // id parent major:minor root mountpoint options [optional...] - type source super
    MountLine mount;
    int field = 0;
    bool after_separator = false;
    char* save = nullptr;
    for (char* token = ::strtok_r(line, " \n", &save); token != nullptr;
         token = ::strtok_r(nullptr, " \n", &save), ++field) {
      if (field == 4) mount.mountpoint = Unescaped(token);
      if (field > 5 && !after_separator) {
        if (std::strcmp(token, "-") == 0) {
          after_separator = true;
          field = 100;  // the type comes next
        } else if (std::strncmp(token, "shared:", 7) == 0) {
          mount.shared = true;
        }
      } else if (field == 101) {
        mount.type = token;
      }
    }
    mounts.push_back(std::move(mount));
  }
  std::free(line);
  std::fclose(info);
  return mounts;
}

bool RootIsShared(const std::vector<MountLine>& mounts) {
  bool shared = false;
  for (const MountLine& mount : mounts) {
    if (mount.mountpoint == "/") shared = mount.shared;  // the last one is on top
  }
  return shared;
}

bool IsFuse(const std::string& type) {
  return type == "fuse" || type == "fuseblk" || type.starts_with("fuse.");
}

// Leaves the base directory after a failed step. "/" is always there and
// nothing later depends on the working directory, so the result is not used.
void LeaveBase() { [[maybe_unused]] const int ignored = ::chdir("/"); }

}  // namespace

OwnMountHidden::OwnMountHidden(const char* mountpoint) {
  saved_namespace_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  if (saved_namespace_ == -1) {
    why_ = "cannot open /proc/self/ns/mnt";
    return;
  }
  if (!Enter(mountpoint)) {
    if (entered_copy_ && ::setns(saved_namespace_, CLONE_NEWNS) != 0) {
      std::perror("callerfs: cannot return to the host's mount namespace");
    }
    ::close(saved_namespace_);
    saved_namespace_ = -1;
  }
}

bool OwnMountHidden::Enter(const char* mountpoint) {
  const bool root_shared = RootIsShared(ReadMounts());
  // The copy gets the working directory's mount translated; stand in the
  // base to carry it over.
  if (::fchdir(GetHostTree().base_fd) != 0) {
    why_ = "cannot enter the base directory";
    return false;
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    why_ = "cannot make a mount namespace of its own";
    return LeaveBase(), false;
  }
  entered_copy_ = true;
  // Without this the detach below would reach the host's namespace too.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
    why_ = "cannot make its mount namespace a slave of the host's";
    return LeaveBase(), false;
  }
  bool detached = ::umount2(mountpoint, MNT_DETACH) == 0;
  if (!root_shared) {
    // Deepest first, so each mount point is still reachable.
    const std::vector<MountLine> mounts = ReadMounts();
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
      if (IsFuse(it->type) && ::umount2(it->mountpoint.c_str(), MNT_DETACH) == 0 &&
          it->mountpoint == mountpoint) {
        detached = true;
      }
    }
  }
  const int base = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (::chdir("/") != 0 || !detached || base == -1) {
    if (base != -1) ::close(base);
    why_ = "cannot detach its own mount in its mount namespace";
    return false;
  }
  UseBaseInPrivateView(base);
  return true;
}

OwnMountHidden::~OwnMountHidden() {
  if (saved_namespace_ == -1) return;
  if (::setns(saved_namespace_, CLONE_NEWNS) != 0) {
    std::perror("callerfs: cannot return to the host's mount namespace to unmount");
  }
  ::close(saved_namespace_);
}

}  // namespace callerfs
