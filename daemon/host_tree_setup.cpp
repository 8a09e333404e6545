// Setting up the host side before mounting: the mount point's checks, the
// base directory opened and installed as the host tree (with the directory
// the mount will cover, when it lies inside the base), and paths as df,
// findmnt and the system log show them.
#include "daemon/host_tree_setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "ops/host_tree.h"

namespace callerfs {

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return "/";
  if (path.starts_with('/')) return path;
  std::error_code failed;
  const std::filesystem::path absolute = std::filesystem::absolute(path, failed);
  if (failed) return path;
  std::string shown = absolute.lexically_normal().string();
  if (shown.size() > 1 && shown.ends_with('/')) shown.pop_back();
  return shown;
}

bool CheckMountPoint(const CommandLine& line, std::string& error) {
  struct statx st;
  if (line.mountpoint.empty()) return true;
  if (::statx(AT_FDCWD, line.mountpoint.c_str(), 0, STATX_TYPE, &st) != 0) {
    if (errno == ENOTCONN) {
      // A FUSE mount whose daemon ended without unmounting: nothing can be
      // mounted there until it is detached.
      error = line.mountpoint + " is a dead mount (its daemon ended without unmounting): clear it with "
              "fusermount -u " + line.mountpoint + ", and mount with -o auto_unmount to avoid it next time";
      return false;
    }
    return true;  // missing or unreachable: the library says so in its own words
  }
  if (!S_ISDIR(st.stx_mode)) {
    // The library mounts over a file too, and every access then fails.
    error = "cannot mount at " + line.mountpoint + ": not a directory";
    return false;
  }
  // Mounts over a mount stack silently and hide the first one.
  if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 && !line.nonempty) {
    error = line.mountpoint + " is already a mount point (-o nonempty mounts over it)";
    return false;
  }
  return true;
}

bool OpenHostTree(const CommandLine& line, std::string& error) {
  HostTree tree;
  const char* base = line.base.empty() ? "/" : line.base.c_str();
  tree.base_fd = ::open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tree.base_fd == -1) {
    error = std::string("cannot use ") + base + " as the base directory: " + std::strerror(errno);
    return false;
  }
  if (!line.base.empty()) {
    tree.key_prefix = line.base;
    if (tree.key_prefix.back() != '/') tree.key_prefix += '/';
    if (tree.key_prefix == "/") tree.key_prefix.clear();  // keys are then the request paths
  }

  // A mount point strictly inside the base would make requests below it
  // enter the mount, i.e. call back into this daemon. A descriptor opened
  // now, before mounting, keeps showing the directory the mount covers.
  char base_real[PATH_MAX], mount_real[PATH_MAX];
  if (!line.mountpoint.empty() && ::realpath(base, base_real) != nullptr &&
      ::realpath(line.mountpoint.c_str(), mount_real) != nullptr) {
    std::string_view inside(base_real), mount(mount_real);
    if (inside == "/") inside = "";
    if (mount.size() > inside.size() + 1 && mount.starts_with(inside) &&
        mount[inside.size()] == '/') {
      tree.covered = std::string(mount.substr(inside.size() + 1));
      // -1 if it cannot be opened: requests there then fail instead.
      tree.covered_fd = ::open(mount_real, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
  }
  tree.kernel_checks_permissions = line.default_permissions;
  SetHostTree(std::move(tree));
  return true;
}

}  // namespace callerfs
