#include "daemon/locks.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "base/log.h"

namespace callerfs {
namespace {

// Whether search_path (directories separated by ':') has an executable
// regular file called name.
bool FoundOnSearchPath(const char* name, const char* search_path) {
  std::string_view rest(search_path);
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    if (dir.empty()) continue;
    const std::string candidate = std::string(dir) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

void UseProgramSearchPath() { ::setenv("PATH", kProgramSearchPath, 1); }

bool ServeLocksThroughServer(CommandLine& line) {
  if (line.single_thread) return false;
  const char* turned_off = std::getenv(kNoLockServerVariable);
  std::string missing;
  if (turned_off != nullptr && *turned_off != '\0') {
    missing = std::string("turned off by ") + kNoLockServerVariable;
  } else if (!FoundOnSearchPath(kLockServer, kProgramSearchPath)) {
    missing = std::string(kLockServer) + " not found in " + kProgramSearchPath;
  }
  if (!missing.empty()) {
    LogLockServerMissing(missing);
    return false;
  }
  // An interrupted lock wait is ended by the request loop (LongWait), which
  // signals its thread; the lock library then drops the request at the server.
  return true;
}

}  // namespace callerfs
