// The command line as callerfs reads it: the options it takes for itself,
// those it refuses (with their one-line reasons), pairs that contradict each
// other, and the warnings about risky choices; what is left goes to the FUSE
// library.
//
// callerfs adds the base directory to every path itself, relative to a
// descriptor opened at start-up, instead of leaving it to the FUSE library's
// subdir module (which re-resolves the base text on every request). So the
// module's options are taken off the library's command line here, and so is a
// SOURCE argument in front of the mount point (the form mount(8) uses).
#include "daemon/command_line.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace callerfs {
namespace {

enum Key {
  kModules,
  kSubdir,
  kMaxFilesPerUser,
  kMaxThreads,
  kNoFail,
  kCoherent,
  kRefused,  // one of kRefusals
  // Noted in CommandLine and kept for the library:
  kHelp,
  kVersion,
  kForeground,
  kSingleThread,
  kAllowOther,
  kAllowRoot,
  kDefaultPermissions,
  kFsname,
  kSubtype,
  kMaxWrite,
  kAutoCache,
  kNoAutoCache,
  kKernelCache,
  kDirectIo,
  kNonempty,
};

// Options refused whatever else the line says, each with the reason its line
// gives. An option ending in "=" stands for any value.
struct Refusal {
  const char* option;
  const char* reason;
};
constexpr char kShowsWrongOwner[] =
    "is refused: files would show an owner or mode they do not have on the host";
constexpr char kLinksUnchanged[] = "is not supported: symbolic links are passed through unchanged";
// The thread pool ends an interrupted lock wait by signalling the waiting
// thread with SIGUSR1; the library's own interrupt handling (intr) would
// signal the same threads, with a signal of its choosing, at moments the pool
// does not account for.
constexpr char kLoopOwnsInterrupts[] =
    "is refused: callerfs's request loop handles interrupted requests itself (with SIGUSR1)";
constexpr Refusal kRefusals[] = {
    // The library would show every file with this owner, group or mode, and
    // default_permissions would then judge callers by it, not by the host's
    // owners and modes.
    {"uid=", kShowsWrongOwner},
    {"gid=", kShowsWrongOwner},
    {"umask=", kShowsWrongOwner},
    {"rellinks", kLinksUnchanged},
    {"norellinks", kLinksUnchanged},
    {"intr", kLoopOwnsInterrupts},
    {"intr_signal=", kLoopOwnsInterrupts},
};

// Pairs of options that ask for opposite things of the page cache.
struct Contradiction {
  bool CommandLine::*first;
  const char* first_name;
  bool CommandLine::*second;
  const char* second_name;
  const char* reason;
};
constexpr Contradiction kContradictions[] = {
    {&CommandLine::coherent, "coherent", &CommandLine::auto_cache, "auto_cache",
     "coherent reads every file from the host, auto_cache keeps its pages across opens"},
    {&CommandLine::coherent, "coherent", &CommandLine::kernel_cache, "kernel_cache",
     "coherent reads every file from the host, kernel_cache keeps its pages whatever the host writes"},
    {&CommandLine::direct_io, "direct_io", &CommandLine::kernel_cache, "kernel_cache",
     "direct_io bypasses the page cache that kernel_cache would keep"},
};

constexpr fuse_opt kKnownOptions[] = {
    FUSE_OPT_KEY("modules=", kModules),
    FUSE_OPT_KEY("subdir=", kSubdir),
    FUSE_OPT_KEY("max_files_per_user=", kMaxFilesPerUser),
    FUSE_OPT_KEY("max_threads=", kMaxThreads),
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
    FUSE_OPT_KEY("allow_root", kAllowRoot),
    FUSE_OPT_KEY("default_permissions", kDefaultPermissions),
    FUSE_OPT_KEY("fsname=", kFsname),
    FUSE_OPT_KEY("subtype=", kSubtype),
    FUSE_OPT_KEY("max_write=", kMaxWrite),
    FUSE_OPT_KEY("auto_cache", kAutoCache),
    FUSE_OPT_KEY("noauto_cache", kNoAutoCache),
    FUSE_OPT_KEY("kernel_cache", kKernelCache),
    FUSE_OPT_KEY("direct_io", kDirectIo),
    FUSE_OPT_KEY("nonempty", kNonempty),
};

// More serving threads than this would only exhaust the host's tasks.
constexpr long kMostThreads = 65536;
// What fuse_opt_parse matches: the options above and the refused ones.
constexpr auto kOptions = [] {
  std::array<fuse_opt, std::size(kKnownOptions) + std::size(kRefusals) + 1> all{};
  size_t next = 0;
  for (const fuse_opt& option : kKnownOptions) all[next++] = option;
  for (const Refusal& refusal : kRefusals) all[next++] = FUSE_OPT_KEY(refusal.option, kRefused);
  all[next] = FUSE_OPT_END;
  return all;
}();

// The refusal whose option arg is.
const Refusal& RefusalOf(std::string_view arg) {
  for (const Refusal& refusal : kRefusals) {
    const std::string_view option(refusal.option);
    if (option.ends_with('=') ? arg.starts_with(option) : arg == option) return refusal;
  }
  return kRefusals[0];  // unreachable: fuse_opt_parse matched one of them
}

struct ParseState {
  CommandLine* line;
  std::vector<std::string> positionals;
  bool subdir_module = false;
  std::optional<std::string> subdir;
  std::string error;
};

// Refuses the command line with a one-line reason (fuse_opt_parse's -1).
int Refuse(ParseState& state, std::string reason) {
  state.error = std::move(reason);
  return -1;
}

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
    case kAllowRoot: line.allow_root = true; break;
    case kDefaultPermissions: line.default_permissions = true; break;
    case kFsname: line.fsname_given = true; break;
    case kSubtype: line.subtype_given = true; break;
    case kMaxWrite: line.max_write_given = true; break;
    case kAutoCache: line.auto_cache_given = line.auto_cache = true; break;
    case kNoAutoCache: line.auto_cache_given = true; break;
    case kKernelCache: line.kernel_cache = true; break;
    case kDirectIo: line.direct_io = true; break;
    case kNonempty: line.nonempty = true; break;
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
      case kRefused:
        return Refuse(state, std::string("the option ") + arg + " " + RefusalOf(arg).reason);
      case kMaxFilesPerUser:
        if (TakeCount(arg, state.line->max_files_per_user, state.error) != 0) return -1;
        if (state.line->max_files_per_user == 0) {
          return Refuse(state, std::string(arg) + ": every open by a user other than root would fail");
        }
        return 0;
      case kMaxThreads:
        if (TakeCount(arg, state.line->max_threads, state.error) != 0) return -1;
        if (state.line->max_threads == 0 || state.line->max_threads > kMostThreads) {
          return Refuse(state, std::string(arg) + ": give between 1 and " +
                                   std::to_string(kMostThreads) + " threads");
        }
        return 0;
      case kMaxWrite:
        if (long bytes = -1; TakeCount(arg, bytes, state.error) == 0 && bytes == 0) {
          return Refuse(state, std::string(arg) + ": no write could carry any data");
        }
        state.error.clear();  // not a count: the library names it in its own words
        NoteOption(*state.line, key);
        return 1;
      case kFsname:
        if (arg[std::strlen("fsname=")] == '\0') {
          return Refuse(state, "fsname= names nothing: give a name, or leave it out to show the source");
        }
        NoteOption(*state.line, key);
        return 1;
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

// fuse_opt_parse hands a "--" back among the kept options. Options are added
// after parsing, and the mount point is put back last (behind a "--" of its
// own when it looks like an option), so none may stay: the library would
// take every option after it for a mount point.
void RemoveSeparators(fuse_args& args) {
  int kept = 0;
  for (int i = 0; i < args.argc; ++i) {
    if (i > 0 && std::strcmp(args.argv[i], "--") == 0) {
      std::free(args.argv[i]);
      continue;
    }
    args.argv[kept++] = args.argv[i];
  }
  args.argc = kept;
  if (args.argv != nullptr) args.argv[kept] = nullptr;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
  ParseState state;
  state.line = &line;
  // "-o ''" (the systemd unit's OPTIONS= left empty) asks for nothing; the
  // library would report an unknown option with no name.
  std::vector<char*> given;
  for (int i = 0; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "-o") == 0 && argv[i + 1][0] == '\0') {
      ++i;
      continue;
    }
    given.push_back(argv[i]);
  }
  given.push_back(nullptr);
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(given.size()) - 1, given.data());
  fuse_args& out = line.library_args;
  out = FUSE_ARGS_INIT(0, nullptr);
  if (fuse_opt_parse(&args, &state, kOptions.data(), Process) == -1) {
    error = state.error.empty() ? "cannot parse the command line" : state.error;
    return false;
  }
  out = args;  // fuse_opt_parse leaves the kept arguments in args
  RemoveSeparators(out);
  const auto fail = [&](std::string reason) {
    fuse_opt_free_args(&out);
    error = std::move(reason);
    return false;
  };

  if (state.subdir_module && !state.subdir) {
    return fail("modules=subdir needs subdir=DIRECTORY");
  }
  if (state.subdir && !state.subdir_module) {
    return fail("subdir=" + *state.subdir + " needs the subdir module: write -o modules=subdir,subdir=" +
                *state.subdir + ", or give the directory as SOURCE before the mount point");
  }
  if (state.subdir_module) {
    if (state.subdir->empty()) {
      return fail("subdir= names no directory");
    }
    line.base = *state.subdir;
  }

  for (const Contradiction& pair : kContradictions) {
    if (line.*pair.first && line.*pair.second) {
      return fail(std::string("the options ") + pair.first_name + " and " + pair.second_name +
                  " contradict each other: " + pair.reason);
    }
  }

  std::vector<std::string>& positionals = state.positionals;
  // SOURCE and MOUNTPOINT come first: what follows them is the stray one.
  if (positionals.size() > 2) {
    return fail("unexpected argument '" + positionals[2] + "': give at most SOURCE and MOUNTPOINT");
  }
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
  if (positionals.size() == 1) {
    line.mountpoint = positionals[0];
    // The library's own options all come before its mount point; one that
    // looks like an option is marked as none.
    if ((line.mountpoint.starts_with('-') && fuse_opt_add_arg(&out, "--") == -1) ||
        fuse_opt_add_arg(&out, line.mountpoint.c_str()) == -1) {
      return fail("out of memory");
    }
  }

  // use_ino always comes first, so the host's inode numbers reach callers.
  if (fuse_opt_insert_arg(&out, 1, "-o") == -1 || fuse_opt_insert_arg(&out, 2, "use_ino") == -1) {
    return fail("out of memory");
  }
  return true;
}

void WarnAboutRisks(const CommandLine& line) {
  // With allow_root as well the library refuses the pair in its own line;
  // a warning beside it would only distract.
  if (line.allow_other && !line.allow_root && !line.default_permissions) {
    std::fprintf(stderr,
                 "callerfs: warning: allow_other without default_permissions: the host checks "
                 "every request as its caller, but the kernel does not check cached attributes "
                 "first\n");
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr,
                 "callerfs: warning: not running as root: every user of the mount acts as uid %u, "
                 "what users create belongs to it, and set-ID bits are not cleared\n",
                 static_cast<unsigned>(::geteuid()));
  }
}

}  // namespace callerfs
