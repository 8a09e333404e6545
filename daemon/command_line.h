// The daemon's command line: what callerfs takes for itself (the base
// directory, given as SOURCE or with the subdir module's options), what it
// refuses, and the argument vector the FUSE library gets for everything else.
// The options callerfs adds by default are in default_options.h, the host
// side's set-up from it in host_tree_setup.h.
#pragma once

#include <fuse.h>

#include <string>

namespace callerfs {

struct CommandLine {
  // Arguments for the FUSE library: "-o" "use_ino" first, then the user's
  // options without those callerfs handles, then the mount point.
  fuse_args library_args = FUSE_ARGS_INIT(0, nullptr);
  // The base directory as given (SOURCE, or subdir= with modules=subdir);
  // empty when none was given and the whole tree is mirrored.
  std::string base;
  bool source_form = false;  // given as the first of two positional arguments
  std::string mountpoint;    // as given; empty when none was given

  // What the command line asks for, as far as callerfs itself cares. The
  // options stay on the library's command line unless said otherwise.
  bool help = false;                  // -h, --help
  bool version = false;               // -V, --version
  bool foreground = false;            // -f, -d, -o debug
  bool single_thread = false;         // -s
  bool allow_other = false;           // -o allow_other
  bool default_permissions = false;   // -o default_permissions
  bool fsname_given = false;          // -o fsname=
  bool subtype_given = false;         // -o subtype=
  bool max_write_given = false;       // -o max_write=
  bool auto_cache_given = false;      // -o auto_cache or noauto_cache
  bool auto_cache = false;            // -o auto_cache itself
  bool kernel_cache = false;          // -o kernel_cache
  bool direct_io = false;             // -o direct_io
  bool allow_root = false;            // -o allow_root
  bool nonempty = false;              // -o nonempty
  // -o max_files_per_user=N (taken off the library's line); -1 when not given.
  long max_files_per_user = -1;
  // -o max_threads=N (taken off the library's line); 0 when not given.
  long max_threads = 0;
  // -o coherent (taken off the library's line): files written on the host and
  // through the mount at the same time; see AddDefaultOptions (default_options.h).
  bool coherent = false;
};

// Parses argv. False with a one-line reason in error when the line cannot
// work or would mislead: a stray positional argument, an option that
// defeats the ownership model (uid=, gid=, umask=), one the daemon's own
// request loop cannot honour (intr, intr_signal=), or two options that
// contradict each other (coherent or direct_io with a kept page cache);
// other errors are left to the library, which reports its own.
bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error);

// One warning line on standard error for each risky choice: allow_other
// without default_permissions, or a daemon that is not root.
void WarnAboutRisks(const CommandLine& line);

}  // namespace callerfs
