// callerfs adds the base directory to every path itself, relative to a
// descriptor opened at start-up, instead of leaving it to the FUSE library's
// subdir module (which re-resolves the base text on every request). So the
// module's options are taken off the library's command line here, and so is a
// SOURCE argument in front of the mount point (the form mount(8) uses).
#include "daemon/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "ops/host_path.h"

namespace callerfs {
namespace {

enum Key {
  kModules,
  kSubdir,
  kRelLinks,
  kMaxFilesPerUser,
  kNoFail,
  kCoherent,
  // Noted in CommandLine and kept for the library:
  kHelp,
  kVersion,
  kForeground,
  kSingleThread,
  kAllowOther,
  kDefaultPermissions,
  kFsname,
  kSubtype,
  kMaxWrite,
  kAutoCache,
};

const fuse_opt kOptions[] = {
    FUSE_OPT_KEY("modules=", kModules),
    FUSE_OPT_KEY("subdir=", kSubdir),
    FUSE_OPT_KEY("rellinks", kRelLinks),
    FUSE_OPT_KEY("norellinks", kRelLinks),
    FUSE_OPT_KEY("max_files_per_user=", kMaxFilesPerUser),
    FUSE_OPT_KEY("nofail", kNoFail),
    FUSE_OPT_KEY("coherent", kCoherent),
    FUSE_OPT_KEY("-h", kHelp),
    FUSE_OPT_KEY("--help", kHelp),
    FUSE_OPT_KEY("-ho", kHelp),
    FUSE_OPT_KEY("-V", kVersion),
    FUSE_OPT_KEY("--version", kVersion),
    FUSE_OPT_KEY("-f", kForeground),
    FUSE_OPT_KEY("-d", kForeground),
    FUSE_OPT_KEY("debug", kForeground),
    FUSE_OPT_KEY("-s", kSingleThread),
    FUSE_OPT_KEY("allow_other", kAllowOther),
    FUSE_OPT_KEY("default_permissions", kDefaultPermissions),
    FUSE_OPT_KEY("fsname=", kFsname),
    FUSE_OPT_KEY("subtype=", kSubtype),
    FUSE_OPT_KEY("max_write=", kMaxWrite),
    FUSE_OPT_KEY("auto_cache", kAutoCache),
    FUSE_OPT_KEY("noauto_cache", kAutoCache),
    FUSE_OPT_END,
};

struct ParseState {
  CommandLine* line;
  std::vector<std::string> positionals;
  bool subdir_module = false;
  std::optional<std::string> subdir;
  std::string error;
};

// modules=a:subdir:b keeps a:b for the library.
int TakeSubdirModule(ParseState& state, std::string_view list, fuse_args* out) {
  std::string others;
  while (!list.empty()) {
    const size_t colon = list.find(':');
    const std::string_view module = list.substr(0, colon);
    if (module == "subdir") {
      state.subdir_module = true;
    } else if (!module.empty()) {
      if (!others.empty()) others += ':';
      others += module;
    }
    list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
  }
  if (others.empty()) return 0;
  return fuse_opt_add_arg(out, ("-omodules=" + others).c_str());
}

// A non-negative decimal count, as N in -o name=N.
int TakeCount(const char* option, long& count, std::string& error) {
  const char* text = std::strchr(option, '=') + 1;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0 || errno != 0) {
    error = std::string(option) + ": not a count";
    return -1;
  }
  count = value;
  return 0;
}

void NoteOption(CommandLine& line, int key) {
  switch (key) {
    case kHelp: line.help = true; break;
    case kVersion: line.version = true; break;
    case kForeground: line.foreground = true; break;
    case kSingleThread: line.single_thread = true; break;
    case kAllowOther: line.allow_other = true; break;
    case kDefaultPermissions: line.default_permissions = true; break;
    case kFsname: line.fsname_given = true; break;
    case kSubtype: line.subtype_given = true; break;
    case kMaxWrite: line.max_write_given = true; break;
    case kAutoCache: line.auto_cache_given = true; break;
    default: break;
  }
}

int Process(void* data, const char* arg, int key, fuse_args* out) {
  ParseState& state = *static_cast<ParseState*>(data);
  try {
    switch (key) {
      case FUSE_OPT_KEY_NONOPT:
        state.positionals.emplace_back(arg);
        return 0;
      case kModules:
        return TakeSubdirModule(state, std::string_view(arg).substr(std::strlen("modules=")), out);
      case kSubdir:
        state.subdir = std::string(arg + std::strlen("subdir="));
        return 0;
      case kRelLinks:
        state.error = std::string("the option ") + arg +
                      " is not supported: symbolic links are passed through unchanged";
        return -1;
      case kMaxFilesPerUser:
        return TakeCount(arg, state.line->max_files_per_user, state.error);
      case kNoFail:
        return 0;  // mount(8)'s own option, for fstab: nothing to do here
      case kCoherent:
        state.line->coherent = true;
        return 0;
      default:
        NoteOption(*state.line, key);
        return 1;  // the library's own
    }
  } catch (...) {
    state.error = "out of memory";
    return -1;
  }
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
  ParseState state;
  state.line = &line;
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  fuse_args& out = line.library_args;
  out = FUSE_ARGS_INIT(0, nullptr);
  if (fuse_opt_parse(&args, &state, kOptions, Process) == -1) {
    error = state.error.empty() ? "cannot parse the command line" : state.error;
    return false;
  }
  out = args;  // fuse_opt_parse leaves the kept arguments in args
  const auto fail = [&](std::string reason) {
    fuse_opt_free_args(&out);
    error = std::move(reason);
    return false;
  };

  if (state.subdir_module && !state.subdir) {
    return fail("modules=subdir needs subdir=DIRECTORY");
  }
  if (state.subdir && !state.subdir_module) {
    // Not ours without the module: the library refuses it, as it always has.
    fuse_opt_add_arg(&out, ("-osubdir=" + *state.subdir).c_str());
  }
  if (state.subdir_module) {
    if (state.subdir->empty()) {
      return fail("subdir= names no directory");
    }
    line.base = *state.subdir;
  }

  std::vector<std::string>& positionals = state.positionals;
  if (positionals.size() == 2) {
    if (state.subdir_module) {
      return fail("the base directory is given twice (SOURCE and subdir=" + line.base + ")");
    }
    line.base = positionals[0];
    line.source_form = true;
    positionals.erase(positionals.begin());
    if (line.base.empty()) {
      return fail("SOURCE names no directory");
    }
  }
  if (positionals.size() == 1) line.mountpoint = positionals[0];
  // More than two are passed on for the library to refuse.
  for (const std::string& positional : positionals) fuse_opt_add_arg(&out, positional.c_str());

  // use_ino always comes first, so the host's inode numbers reach callers.
  if (fuse_opt_insert_arg(&out, 1, "-o") == -1 || fuse_opt_insert_arg(&out, 2, "use_ino") == -1) {
    return fail("out of memory");
  }
  return true;
}

namespace {

// In an option list "," separates options and "\\" escapes; the source
// is passed on exactly as written.
std::string EscapedOptionValue(std::string_view value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

bool AddDefaultOptions(CommandLine& line) {
  std::string options = "-obig_writes";
  if (!line.max_write_given) options += ",max_write=131072";
  if (line.coherent) {
    // Every read and write reaches the host file, every name is looked up
    // again. The timeouts come before the user's options: explicit ones win.
    options += ",direct_io,attr_timeout=0,entry_timeout=0,negative_timeout=0";
  } else if (!line.auto_cache_given) {
    options += ",auto_cache";
  }
  if (!line.fsname_given) options += ",fsname=" + EscapedOptionValue(line.base.empty() ? "/" : line.base);
  if (!line.subtype_given) options += ",subtype=callerfs";  // an fsname drops the default one
  return fuse_opt_insert_arg(&line.library_args, 3, options.c_str()) == 0;
}

void WarnAboutRisks(const CommandLine& line) {
  if (line.allow_other && !line.default_permissions) {
    std::fprintf(stderr,
                 "callerfs: warning: allow_other without default_permissions: every user of the "
                 "mount acts as root inside the tree\n");
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr,
                 "callerfs: warning: not running as root: what users create keeps the daemon's "
                 "owner, and set-ID bits are not cleared\n");
  }
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
  SetHostTree(std::move(tree));
  return true;
}

}  // namespace callerfs
