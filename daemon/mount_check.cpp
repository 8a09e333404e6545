#include "daemon/mount_check.h"

#include <fstream>
#include <sstream>

namespace callerfs {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Calls fn(device, mountpoint) for each line, in mount order.
template <typename Fn>
void ForEachMount(Fn fn) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // id parent major:minor root mountpoint ...
    std::istringstream fields(line);
    std::string id, parent, device, root, mountpoint;
    if (fields >> id >> parent >> device >> root >> mountpoint) fn(device, Unescaped(mountpoint));
  }
}

}  // namespace

std::string MountDeviceAt(const std::string& mountpoint) {
  std::string found;
  ForEachMount([&](const std::string& device, const std::string& at) {
    if (at == mountpoint) found = device;  // the last one is on top
  });
  return found;
}

bool DeviceMounted(const std::string& device) {
  bool mounted = false;
  ForEachMount([&](const std::string& at_device, const std::string&) {
    mounted = mounted || at_device == device;
  });
  return mounted;
}

}  // namespace callerfs
