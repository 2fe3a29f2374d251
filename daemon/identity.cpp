// The caller's file-system identity on the serving thread.
//
// setfsuid, setfsgid and the raw setgroups system call change the calling
// thread only (glibc's setgroups() would change every thread of the
// process), which is what a daemon serving on several threads needs.
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state.h"
#include "log.h"
#include "identity.h"

namespace {

// The daemon's own groups, read once before the first switch.
struct OwnGroups {
  std::vector<gid_t> list;
  bool read = false;
};

OwnGroups& ownGroups() {
  // Read once, by whichever serving thread comes first; C++ makes the
  // others wait for it.
  static OwnGroups own = [] {
    OwnGroups read;
    const int n = getgroups(0, nullptr);
    if (n > 0) {
      read.list.resize(static_cast<size_t>(n));
      const int got = getgroups(n, read.list.data());
      read.list.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    read.read = true;
    return read;
  }();
  return own;
}

int setThreadGroups(const std::vector<gid_t>& groups) {
  return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.data()));
}

// The "Groups:" line of /proc/<pid>/status, for when libfuse cannot tell.
bool groupsFromProc(pid_t pid, std::vector<gid_t>& out) {
  char name[40];
  std::snprintf(name, sizeof name, "/proc/%d/status", static_cast<int>(pid));
  FILE* status = std::fopen(name, "re");
  if (status == nullptr) return false;
  char line[4096];
  bool found = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Groups:", 7) != 0) continue;
    found = true;
    char* at = line + 7;
    for (;;) {
      char* end = nullptr;
      const unsigned long gid = std::strtoul(at, &end, 10);
      if (end == at) break;
      out.push_back(static_cast<gid_t>(gid));
      at = end;
    }
    break;
  }
  std::fclose(status);
  return found;
}

}  // namespace

bool identitySwitching() {
  static const bool root = geteuid() == 0;
  return root;
}

CallerIdentity requestIdentity() {
  CallerIdentity id;
  const fuse_context* ctx = fuseServing ? fuse_get_context() : nullptr;
  // Requests the kernel sends without credentials (release) carry uid 0
  // and pid 0: they run as the daemon, or as the handle's opener.
  if (ctx == nullptr || ctx->uid == 0 || !identitySwitching()) return id;
  id.uid = ctx->uid;
  id.gid = ctx->gid;
  id.valid = true;
  gid_t list[256];
  const int n = fuse_getgroups(256, list);
  if (n >= 0 && n <= 256) {
    id.groups.assign(list, list + n);
  } else if (n > 256) {
    id.groups.resize(static_cast<size_t>(n));
    const int again = fuse_getgroups(n, id.groups.data());
    id.groups.resize(again >= 0 && again <= n ? static_cast<size_t>(again) : 0);
  } else if (!groupsFromProc(ctx->pid, id.groups)) {
    // Without the caller's groups only its own uid and gid grant access.
    id.groups.clear();
  }
  return id;
}

IdentityGuard::IdentityGuard(const CallerIdentity& id) {
  if (!id.valid) return;
  ownGroups();
  // Groups and gid first: once the fsuid is not 0 the thread has lost the
  // file capabilities but keeps CAP_SETGID, and the order is undone in
  // reverse below.
  if (setThreadGroups(id.groups) != 0) {
    logAt(LOG_ERROR, "setgroups for uid %d failed: %s\n", static_cast<int>(id.uid),
          std::strerror(errno));
    failed_ = true;
  }
  setfsgid(id.gid);
  setfsuid(id.uid);
  // setfsuid reports the old value, not a failure: ask again.
  if (static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) != id.uid ||
      static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) != id.gid) {
    logAt(LOG_ERROR, "cannot take the identity %d:%d\n", static_cast<int>(id.uid),
          static_cast<int>(id.gid));
    failed_ = true;
  }
  switched_ = true;
}

IdentityGuard::~IdentityGuard() {
  if (!switched_) return;
  setfsuid(0);
  setfsgid(0);
  setThreadGroups(ownGroups().list);
}

DaemonIdentity::DaemonIdentity()
    : uid_(static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)))),
      gid_(static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)))) {
  setfsuid(0);
  setfsgid(0);
}

DaemonIdentity::~DaemonIdentity() {
  setfsgid(gid_);
  setfsuid(uid_);
}
