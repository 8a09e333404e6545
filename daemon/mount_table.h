// The host's mount table as /proc/PID/mountinfo shows it, and what changed
// between two readings of it. The daemon serves from a private copy of the
// host's mount namespace and replays these changes into it (see
// mount_follower.h); this part only reads and compares.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace callerfs {

struct MountEntry {
  int id = 0;
  int parent = 0;
  dev_t dev = 0;             // the file system's device (major:minor)
  std::string root;          // what of that file system is mounted
  std::string mountpoint;    // unescaped
  std::string options;       // per-mount options (rw, nosuid, ...)
  std::string type;          // "ext4", "fuse.sshfs", ...
  std::string super_options; // the file system's own (user_id=, allow_other, ...)

  bool IsFuse() const;
  // A FUSE file system that only its mounter may use: the kernel lets no
  // other process in whose real, effective and saved ids are not the
  // mounter's uid and gid.
  bool FuseForMounterOnly() const;
  // The mounter's uid and gid as the FUSE file system shows them (-1: not given).
  long FuseOption(std::string_view name) const;
  // Whether the mount lies at path or below it.
  bool At(std::string_view path) const;
  bool AtOrBelow(std::string_view path) const;
};

using MountTable = std::vector<MountEntry>;

// Parses mountinfo text; lines that do not parse are skipped.
MountTable ParseMountTable(std::string_view text);
// Reads a mountinfo descriptor from its start (it shows the namespace it was
// opened in); empty when it cannot be read.
MountTable ReadMountTable(int fd);

// The changes from before to after, reduced to what a replay needs: every
// entry of `gone` is to be detached (children of a detached mount go with
// it and are left out), every entry of `came` is to be cloned with its
// children (a new mount whose parent is also new is left out). A mount that
// moved or changed its per-mount options is in both.
struct MountChanges {
  std::vector<MountEntry> gone;  // deepest first
  std::vector<MountEntry> came;  // in mount order
};
MountChanges DiffMountTables(const MountTable& before, const MountTable& after);

// The topmost mount at path in table, or null.
const MountEntry* TopmostAt(const MountTable& table, std::string_view path);

}  // namespace callerfs
