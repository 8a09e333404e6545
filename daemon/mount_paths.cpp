// The scan follows the FUSE library's command-line shape closely enough to
// find the mount point and the subdir module's base directory without parsing
// options itself: the library still validates everything after hand-over.
#include "daemon/mount_paths.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace callerfs {
namespace {

constexpr std::string_view kModulesOption = "modules=";
constexpr std::string_view kSubdirModule = "subdir";
constexpr std::string_view kSubdirOption = "subdir=";

// An option counts only where an option begins: at the start of the list or
// right after a comma. Only the first occurrence in a list is considered.
std::optional<size_t> FindOptionStart(std::string_view list, std::string_view option) {
  const size_t at = list.find(option);
  if (at == std::string_view::npos) return std::nullopt;
  if (at != 0 && list[at - 1] != ',') return std::nullopt;
  return at;
}

// True when the list's modules= option names the subdir module as one of its
// ':'-separated elements.
bool RequestsSubdirModule(std::string_view list) {
  const std::optional<size_t> modules = FindOptionStart(list, kModulesOption);
  if (!modules) return false;
  const size_t value_start = *modules + kModulesOption.size();
  const size_t at = list.find(kSubdirModule, value_start);
  if (at == std::string_view::npos) return false;
  const size_t comma = list.find(',', value_start);
  if (comma != std::string_view::npos && at > comma) return false;
  const char before = list[at - 1];  // at >= value_start > 0
  if (before != '=' && before != ':') return false;
  const size_t after = at + kSubdirModule.size();
  return after == list.size() || list[after] == ',' || list[after] == ':';
}

std::optional<std::string_view> FindSubdirValue(std::string_view list) {
  const std::optional<size_t> option = FindOptionStart(list, kSubdirOption);
  if (!option) return std::nullopt;
  const std::string_view value = list.substr(*option + kSubdirOption.size());
  return value.substr(0, value.find(','));
}

std::string WithoutTrailingSlash(std::string_view path) {
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::optional<std::string> Resolve(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace

void PublishMountPaths(int argc, char** argv) {
  const char* mountpoint = nullptr;
  bool option_list_next = false;
  bool subdir_module = false;
  std::optional<std::string_view> subdir;

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    if (arg[0] == '-') {
      if (arg[std::strlen(arg) - 1] == 'o') {
        option_list_next = true;  // "-o": the next argument is an option list
      } else if (arg[1] == '-' && i == argc - 2) {
        mountpoint = argv[argc - 1];  // "--" style: the last argument is the mount point
        break;
      } else {
        option_list_next = false;
      }
    } else if (!option_list_next) {
      mountpoint = arg;  // the last candidate wins
    } else {
      if (RequestsSubdirModule(arg)) subdir_module = true;
      if (std::optional<std::string_view> value = FindSubdirValue(arg)) subdir = value;
      option_list_next = false;
    }
  }

  if (mountpoint != nullptr) {
    if (std::optional<std::string> resolved = Resolve(WithoutTrailingSlash(mountpoint))) {
      ::setenv("QD_MOUNTPOINT", resolved->c_str(), 1);
    }
  }
  if (subdir_module && subdir && !subdir->empty()) PublishBaseDirectory(*subdir);
}

void PublishBaseDirectory(std::string_view given) {
  const std::string base = WithoutTrailingSlash(given);
  ::setenv("QD_MOUNTSUBDIR", Resolve(base).value_or(base).c_str(), 1);
}

}  // namespace callerfs
