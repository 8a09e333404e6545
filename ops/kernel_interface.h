// Recognising the kernel's interface file systems (/proc, /sys and the like),
// where the daemon would act as itself whoever the caller: resolution and the
// handlers ask here before they open, change or list anything there.
#pragma once

namespace callerfs::ops {

// Whether fd lies on a kernel interface file system (procfs, sysfs, cgroup,
// debugfs and the like). What their files do depends on the process that
// opens, writes or reads links in them, and that would be the daemon, never
// the caller: they are listed and stat'ed, but not opened or changed.
bool OnKernelInterface(int fd);

// Whether the caller may list the directory fd, which lies on /proc, as the
// host would let them. The host decides as the caller everywhere in /proc
// but in the daemon's own process, whose directories (fd, task/N/fd, ...)
// the kernel lets the daemon list whatever its identity: there the
// directory's mode decides, as it does for any other process. true for
// directories elsewhere.
bool CallerMayListProcDirectory(int fd);

}  // namespace callerfs::ops
