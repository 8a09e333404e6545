// The mount options callerfs adds to the library's command line unless the
// user's own say otherwise, and where it adds them: ahead of the user's
// options (explicit ones win) and of the mount point.
#include "daemon/default_options.h"

#include <fuse.h>

#include <string>
#include <string_view>

#include "daemon/host_tree_setup.h"

namespace callerfs {
namespace {

// In an option list "," separates options and "\\" escapes.
std::string EscapedOptionValue(std::string_view value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

bool AddLibraryOption(CommandLine& line, const char* option) {
  return fuse_opt_insert_arg(&line.library_args, 3, option) == 0;
}

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
  if (!line.fsname_given) options += ",fsname=" + EscapedOptionValue(AbsolutePath(line.base));
  if (!line.subtype_given) options += ",subtype=callerfs";  // an fsname drops the default one
  return AddLibraryOption(line, options.c_str());
}

}  // namespace callerfs
