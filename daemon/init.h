#pragma once

#include <fuse.h>
#include <sys/types.h>

namespace callerfs {

// Mount-time hook: registry close function (which gives descriptor charges
// back), callers' umasks left to the host, optional standard-error
// redirection, and the caller resolver offered to the control entry point
// when the process provides one.
void* Init(fuse_conn_info* conn);
void Destroy(void* private_data);

// The process (want_tgid != 0) or thread (0) making the current request.
int CallerPid(int want_tgid);

// Thread-group id of pid from /proc, or -1.
int ReadTgid(pid_t pid);

}  // namespace callerfs
