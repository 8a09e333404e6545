// For probes preloaded into the daemon: the daemon's serving thread acts as
// the caller, and a probe that plays root on the host takes root's
// file-system identity and capabilities on that thread for a scope.
#pragma once

#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

class AsRoot {
 public:
  AsRoot() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct raised[2] = {saved_[0], saved_[1]};
    for (auto& set : raised) set.effective = set.permitted;
    syscall(SYS_capset, &header_, raised);
    fsuid_ = setfsuid(0);
    fsgid_ = setfsgid(0);
  }
  ~AsRoot() {
    setfsgid(fsgid_);
    setfsuid(fsuid_);
    syscall(SYS_capset, &header_, saved_);
  }
  AsRoot(const AsRoot&) = delete;
  AsRoot& operator=(const AsRoot&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  int fsuid_ = 0;
  int fsgid_ = 0;
};
