// The host side of the mount, process-wide: the base directory every request
// path is taken relative to and the directory the mount covers, fixed at
// start-up; and the form the registry keys paths by (KeyPath).
#pragma once

#include <climits>
#include <string>

namespace callerfs {

// The host side of the mount, fixed at start-up before requests are served
// and read-only afterwards.
struct HostTree {
  int base_fd = -1;            // the base directory
  std::string key_prefix;      // base text as given plus "/": registry keys and diagnostics
  std::string covered;         // mount point relative to the base, when it lies strictly inside
  int covered_fd = -1;         // the directory the mount covers, opened before mounting
  // Mounted with default_permissions: the kernel checks each caller's
  // permissions itself before requests reach the daemon.
  bool kernel_checks_permissions = false;
};

// Installs the tree; call once, before the FUSE library starts.
void SetHostTree(HostTree tree);
const HostTree& GetHostTree();
// Replaces the base with base_fd, the same directory opened inside the
// daemon's private mount namespace, where its own mount is not to be seen:
// nothing needs the covered directory any more. Call before serving requests.
void UseBaseInPrivateView(int base_fd);

namespace ops {

// The path as the registry keys it and diagnostics print it: the base text as
// given, "/", then the request path without its leading "/" (so the root is
// "BASE/"). Without a base this is the request path itself, uncopied.
class KeyPath {
 public:
  explicit KeyPath(const char* path);
  KeyPath(const KeyPath&) = delete;
  KeyPath& operator=(const KeyPath&) = delete;
  const char* c_str() const { return text_; }

 private:
  const char* text_;
  std::string long_text_;  // only for keys of PATH_MAX bytes or more
  char buffer_[PATH_MAX];
};

}  // namespace ops
}  // namespace callerfs
