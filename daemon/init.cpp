#include "daemon/init.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ops/caller_identity.h"
#include "ops/descriptor_close.h"
#include "registry/diagnostics.h"
#include "registry/open_files_map.h"

namespace callerfs {
namespace {

constexpr char kErrorHandleVariable[] = "KESTROVA_ERROR_HANDLE";
constexpr char kControlEntryPoint[] = "__kivo_ctl";
constexpr int kRegisterCallerResolver = 0x8000;

using ControlEntryPoint = int (*)(int command, void* argument);

void RedirectStandardError() {
  const char* handle = std::getenv(kErrorHandleVariable);
  if (handle == nullptr) return;
  const int fd = std::atoi(handle);
  if (fd != 0) ::dup2(fd, STDERR_FILENO);  // a bad descriptor leaves stderr as it was
}

void OfferCallerResolver() {
  auto control = reinterpret_cast<ControlEntryPoint>(::dlsym(RTLD_DEFAULT, kControlEntryPoint));
  if (control != nullptr) control(kRegisterCallerResolver, reinterpret_cast<void*>(&CallerPid));
}

}  // namespace

void* Init(fuse_conn_info* conn) {
  // Served on a worker of the daemon's own request loop, which its main
  // thread starts with the daemon's credentials; a worker keeps the identity
  // of the last caller it served, so what init sets up is made as the daemon
  // whatever the thread served before.
  const ops::AsDaemon daemon;
  try {
    // A descriptor the registry closes gives its owner's charge back, and
    // its lock owners are unlocked.
    OpenFilesMap::Instance().SetCloseFunction(ops::CloseHostDescriptor);
  } catch (...) {
    // Only a failure to take the registry's mutex lands here; the default
    // close function would then leave charges taken.
  }
  // Modes arrive unmasked: each request applies its caller's umask on the
  // host, where a parent's default ACL takes its place as it does natively.
  conn->want |= FUSE_CAP_DONT_MASK & conn->capable;
  SkipDiagnosticsIfDiscarded();
  RedirectStandardError();
  OfferCallerResolver();
  return fuse_get_context()->private_data;
}

void Destroy(void*) {}

int CallerPid(int want_tgid) {
  const fuse_context* context = fuse_get_context();
  const pid_t candidate = context != nullptr ? context->pid : ::getpid();
  if (want_tgid == 0) return candidate;
  const int tgid = ReadTgid(candidate);
  return tgid >= 0 ? tgid : ::getpgid(candidate);
}

int ReadTgid(pid_t pid) {
  char path[512];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* status = std::fopen(path, "re");
  if (status == nullptr) return -1;
  int tgid = -1;
  char line[512];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Tgid: %d", &tgid) == 1) break;
  }
  std::fclose(status);
  return tgid;
}

}  // namespace callerfs
