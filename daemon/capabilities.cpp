// The serving thread's effective capabilities, dropped for requests whose
// outcome the kernel decides by the caller's privileges rather than by the
// file's permissions alone (extended attributes). Taking the caller's
// file-system identity drops only the file capabilities; CAP_SYS_ADMIN
// (trusted.*) and CAP_SETFCAP (security.capability) would stay.
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "xattr.h"

namespace {

// capget and capset without a library; pid 0 is the calling thread only.
bool readCapabilities(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, data) == 0;
}

bool writeCapabilities(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

WithoutCapabilities::WithoutCapabilities() {
  // Root callers keep root's rights.
  if (setfsuid(static_cast<uid_t>(-1)) == 0) return;
  __user_cap_data_struct data[2] = {};
  if (!readCapabilities(data)) {
    logAt(LOG_ERROR, "capget failed: %s\n", std::strerror(errno));
    failed_ = true;
    return;
  }
  effective_[0] = data[0].effective;
  effective_[1] = data[1].effective;
  if ((effective_[0] | effective_[1]) == 0) return;
  data[0].effective = data[1].effective = 0;
  if (!writeCapabilities(data)) {
    logAt(LOG_ERROR, "cannot drop the capabilities: %s\n", std::strerror(errno));
    failed_ = true;
    return;
  }
  dropped_ = true;
}

WithoutCapabilities::~WithoutCapabilities() {
  if (!dropped_) return;
  __user_cap_data_struct data[2] = {};
  // Raising effective capabilities from the permitted set needs none: the
  // thread gets back what it had, and IdentityGuard can then restore its
  // groups (CAP_SETGID).
  if (readCapabilities(data)) {
    data[0].effective = effective_[0];
    data[1].effective = effective_[1];
    if (writeCapabilities(data)) return;
  }
  logAt(LOG_ERROR, "cannot restore the capabilities: %s\n", std::strerror(errno));
}
