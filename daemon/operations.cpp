#include "daemon/operations.h"

#include <array>
#include <cerrno>
#include <new>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>

#include "base/log.h"
#include "daemon/init.h"
#include "daemon/request_loop.h"
#include "ops/caller_identity.h"
#include "ops/file_handle.h"
#include "ops/mounter_process.h"
#include "ops/ops.h"

namespace callerfs {
namespace {

// Whose identity a handler's host calls run with (caller_identity.h).
enum class Identity {
  kCaller,  // the request's caller
  // Releases arrive without a caller: the opener of the descriptor.
  kOpener,
  // Writes of the kernel's page writeback arrive without a caller: the
  // opener; every other write is its caller's (root's with a real pid too).
  kWriter,
  // The library's unlink of a name it hid arrives without a caller: the user
  // who hid it.
  kHider,
  kAsIs,  // closing a directory stream, which no identity changes
};

template <typename... Args>
const fuse_file_info* LastFileInfo(Args... args) {
  return std::get<sizeof...(Args) - 1>(std::tie(args...));
}

template <Identity kIdentity, typename... Args>
bool TakeIdentity(Args... args) {
  if constexpr (kIdentity == Identity::kCaller) {
    return ops::ActAsCaller().ok();
  } else if constexpr (kIdentity == Identity::kOpener) {
    return ops::ActAsOpener(ops::FdOf(LastFileInfo(args...))).ok();
  } else if constexpr (kIdentity == Identity::kWriter) {
    const fuse_file_info* fi = LastFileInfo(args...);
    return fi->writepage ? ops::ActAsOpener(ops::FdOf(fi)).ok() : ops::ActAsCaller().ok();
  } else if constexpr (kIdentity == Identity::kHider) {
    return ops::ActAsHider(std::get<0>(std::tie(args...))).ok();
  } else {
    return true;
  }
}

// The FUSE library is C: no exception may unwind into it. The registry throws
// only when its mutex cannot be taken or memory runs out.
template <auto Handler, Identity kIdentity = Identity::kCaller>
struct Shielded;

// The slot a handler fills, for log lines: ops::Getattr fills "getattr".
// Read from the handler's name as the compiler spells the template argument
// (GCC: "[with auto Handler = callerfs::ops::Getattr]", Clang: "[Handler =
// &callerfs::ops::Getattr]"), so the table below needs no list of names.
template <auto Handler>
constexpr std::string_view HandlerName() {
  const std::string_view signature = __PRETTY_FUNCTION__;
  const size_t start = signature.find("ops::", signature.find("Handler = ")) + 5;
  size_t end = start;
  while (end < signature.size() && signature[end] != ';' && signature[end] != ']') ++end;
  return signature.substr(start, end - start);
}
template <auto Handler>
constexpr auto kSlotName = [] {
  std::array<char, HandlerName<Handler>().size() + 1> name{};
  for (size_t i = 0; i + 1 < name.size(); ++i) {
    const char c = HandlerName<Handler>()[i];
    name[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return name;
}();
static_assert(std::string_view(kSlotName<ops::Getattr>.data()) == "getattr");

// The path a request names, for log lines and the status report: the
// handler's first argument,
// except for symlink, whose first is the link's text; none for handlers that
// take no path.
template <auto Handler, typename First, typename... Rest>
const char* RequestPath(First first, Rest... rest) {
  if constexpr (std::string_view(kSlotName<Handler>.data()) == "symlink") {
    return std::get<0>(std::tuple(rest...));
  } else if constexpr (std::is_same_v<First, const char*>) {
    return first;
  } else {
    return nullptr;
  }
}

// The handler that serves a request again from the caller's own process when
// the serving thread was refused on a FUSE file system that only its mounter
// may use (mounter_process.h); none for requests that never meet that rule.
template <auto Handler>
constexpr auto kForMounter = nullptr;
#define CALLERFS_FOR_MOUNTER(name) \
  template <>                      \
  constexpr auto kForMounter<ops::name> = ops::for_mounter::name
CALLERFS_FOR_MOUNTER(Getattr);
CALLERFS_FOR_MOUNTER(Fgetattr);
CALLERFS_FOR_MOUNTER(Readlink);
CALLERFS_FOR_MOUNTER(Mknod);
CALLERFS_FOR_MOUNTER(Mkdir);
CALLERFS_FOR_MOUNTER(Unlink);
CALLERFS_FOR_MOUNTER(Rmdir);
CALLERFS_FOR_MOUNTER(Symlink);
CALLERFS_FOR_MOUNTER(Rename);
CALLERFS_FOR_MOUNTER(Link);
CALLERFS_FOR_MOUNTER(Chmod);
CALLERFS_FOR_MOUNTER(Chown);
CALLERFS_FOR_MOUNTER(Truncate);
CALLERFS_FOR_MOUNTER(Ftruncate);
CALLERFS_FOR_MOUNTER(Utimens);
CALLERFS_FOR_MOUNTER(Access);
CALLERFS_FOR_MOUNTER(Statfs);
CALLERFS_FOR_MOUNTER(Open);
CALLERFS_FOR_MOUNTER(Create);
CALLERFS_FOR_MOUNTER(Opendir);
CALLERFS_FOR_MOUNTER(Setxattr);
CALLERFS_FOR_MOUNTER(Getxattr);
CALLERFS_FOR_MOUNTER(Listxattr);
CALLERFS_FOR_MOUNTER(Removexattr);
#undef CALLERFS_FOR_MOUNTER

// Whether a request refused with EACCES is one to serve again for a mounter:
// its path (either path of a rename or link) lies on one of the caller's
// mounts that only they may use.
template <auto Handler, typename... Args>
bool ForMounter(Args... args) {
  constexpr std::string_view kSlot = kSlotName<Handler>.data();
  if constexpr (kSlot == "rename" || kSlot == "link") {
    const auto [from, to] = std::tuple(args...);
    return ops::ActingForFuseMounter(from) || ops::ActingForFuseMounter(to);
  } else {
    return ops::ActingForFuseMounter(RequestPath<Handler>(args...));
  }
}

template <auto Handler, typename... Args>
int Serve(Args... args) {
  const int result = Handler(args...);
  if constexpr (!std::is_null_pointer_v<std::remove_cv_t<decltype(kForMounter<Handler>)>>) {
    if (result == -EACCES && ForMounter<Handler>(args...)) return kForMounter<Handler>(args...);
  }
  return result;
}

template <typename... Args, int (*Handler)(Args...), Identity kIdentity>
struct Shielded<Handler, kIdentity> {
  static int Call(Args... args) noexcept {
    const ServingPath serving(RequestPath<Handler>(args...));
    const auto log_failure = [&](int error, const char* what) noexcept {
      LogFailedRequest(kSlotName<Handler>.data(), RequestPath<Handler>(args...), error, what);
    };
    try {
      if (!TakeIdentity<kIdentity>(args...)) {
        log_failure(EPERM, "cannot take the caller's identity");
        return CountedResult(-EPERM);
      }
      const int result = Serve<Handler>(args...);
      // Errors of the host or the daemon, not of the caller's request.
      if (result == -EIO || result == -ENOMEM) log_failure(-result, nullptr);
      return CountedResult(result);
    } catch (const std::bad_alloc&) {
      log_failure(ENOMEM, "out of memory");
      return CountedResult(-ENOMEM);
    } catch (const std::system_error& error) {
      log_failure(error.code().value() > 0 ? error.code().value() : EIO, error.what());
      return CountedResult(error.code().value() > 0 ? -error.code().value() : -EIO);
    } catch (...) {
      log_failure(EIO, "unknown exception");
      return CountedResult(-EIO);
    }
  }
};

fuse_operations MakeOperations(bool lock_server) {
  fuse_operations table{};
  table.getattr = Shielded<ops::Getattr>::Call;
  table.readlink = Shielded<ops::Readlink>::Call;
  table.mknod = Shielded<ops::Mknod>::Call;
  table.mkdir = Shielded<ops::Mkdir>::Call;
  table.unlink = Shielded<ops::Unlink, Identity::kHider>::Call;
  table.rmdir = Shielded<ops::Rmdir>::Call;
  table.symlink = Shielded<ops::Symlink>::Call;
  table.rename = Shielded<ops::Rename>::Call;
  table.link = Shielded<ops::Link>::Call;
  table.chmod = Shielded<ops::Chmod>::Call;
  table.chown = Shielded<ops::Chown>::Call;
  table.truncate = Shielded<ops::Truncate>::Call;
  table.open = Shielded<ops::Open>::Call;
  table.read = Shielded<ops::Read>::Call;
  table.write = Shielded<ops::Write, Identity::kWriter>::Call;
  table.statfs = Shielded<ops::Statfs>::Call;
  table.flush = Shielded<ops::Flush>::Call;
  table.release = Shielded<ops::Release, Identity::kOpener>::Call;
  table.fsync = Shielded<ops::Fsync>::Call;
  table.setxattr = Shielded<ops::Setxattr>::Call;
  table.getxattr = Shielded<ops::Getxattr>::Call;
  table.listxattr = Shielded<ops::Listxattr>::Call;
  table.removexattr = Shielded<ops::Removexattr>::Call;
  table.opendir = Shielded<ops::Opendir>::Call;
  table.readdir = Shielded<ops::Readdir>::Call;
  table.releasedir = Shielded<ops::Releasedir, Identity::kAsIs>::Call;
  table.init = Init;
  table.destroy = Destroy;
  table.access = Shielded<ops::Access>::Call;
  table.create = Shielded<ops::Create>::Call;
  table.ftruncate = Shielded<ops::Ftruncate>::Call;
  table.fgetattr = Shielded<ops::Fgetattr>::Call;
  // Without the slot the kernel keeps POSIX locks itself.
  if (lock_server) table.lock = Shielded<ops::Lock>::Call;
  table.utimens = Shielded<ops::Utimens>::Call;
  table.fallocate = Shielded<ops::Fallocate>::Call;
  // read, write, flush, release, fsync, readdir, releasedir, ftruncate,
  // fgetattr, lock and fallocate work from fh alone and never read the path.
  table.flag_nullpath_ok = 1;
  // Without this flag the library silently drops a request that sets only
  // one of the two times (touch -a, touch -m) and reports success. utimensat
  // and futimens take UTIME_NOW and UTIME_OMIT as they arrive.
  table.flag_utime_omit_ok = 1;
  return table;
}

}  // namespace

const fuse_operations& Operations(bool lock_server) {
  static const fuse_operations with_server = MakeOperations(true);
  static const fuse_operations kernel_locks = MakeOperations(false);
  return lock_server ? with_server : kernel_locks;
}

}  // namespace callerfs
