#include "ops/host_tree.h"

#include <unistd.h>

#include <cstring>
#include <utility>

namespace callerfs {
namespace {

HostTree host_tree;

}  // namespace

void SetHostTree(HostTree tree) { host_tree = std::move(tree); }

const HostTree& GetHostTree() { return host_tree; }

void UseBaseInPrivateView(int base_fd) {
  if (host_tree.base_fd != -1) ::close(host_tree.base_fd);
  if (host_tree.covered_fd != -1) ::close(host_tree.covered_fd);
  host_tree.base_fd = base_fd;
  host_tree.covered.clear();
  host_tree.covered_fd = -1;
}

namespace ops {

KeyPath::KeyPath(const char* path) : text_(path) {
  const std::string& prefix = host_tree.key_prefix;
  if (prefix.empty()) return;  // the whole tree: keys are the request paths
  const char* rest = path[0] == '/' ? path + 1 : path;
  const size_t rest_size = std::strlen(rest);
  if (prefix.size() + rest_size < sizeof buffer_) {
    std::memcpy(buffer_, prefix.data(), prefix.size());
    std::memcpy(buffer_ + prefix.size(), rest, rest_size + 1);
    text_ = buffer_;
  } else {
    long_text_.reserve(prefix.size() + rest_size);
    long_text_.append(prefix).append(rest, rest_size);
    text_ = long_text_.c_str();
  }
}

}  // namespace ops
}  // namespace callerfs
