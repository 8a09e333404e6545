// Fuzzes the command-line scan that publishes the mount paths: the input is
// split at zero bytes into arguments (a 0xff byte alone stands for a null
// entry). The scan must never crash, read out of bounds or change arguments,
// and what it publishes must be absolute or, for an unresolvable base
// directory, the value given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/mount_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> storage = {"callerfs"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      storage.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) storage.push_back(current);

  std::vector<char*> argv;
  std::vector<std::string> before;
  for (std::string& arg : storage) {
    // Arguments live in their own allocations, so reading past one is caught.
    char* copy = arg == "\xff" ? nullptr : strdup(arg.c_str());
    argv.push_back(copy);
    before.push_back(copy ? copy : "");
  }
  argv.push_back(nullptr);

  unsetenv("QD_MOUNTPOINT");
  unsetenv("QD_MOUNTSUBDIR");
  callerfs::PublishMountPaths(static_cast<int>(argv.size() - 1), argv.data());

  if (const char* mountpoint = getenv("QD_MOUNTPOINT")) {
    if (mountpoint[0] != '/') abort();
  }
  for (size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] != nullptr && before[i] != argv[i]) abort();
    free(argv[i]);
  }
  return 0;
}
