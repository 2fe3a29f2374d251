// Whose rights a request uses. The serving thread takes its caller's
// file-system identity for the request (the kernel keeps it per thread),
// so a guard lives and dies within one request on one thread.
#pragma once

#include <sys/types.h>

#include <vector>

// The file-system identity of a request's caller. Not valid: the request
// runs as the daemon itself (root callers, requests without credentials,
// a daemon that cannot switch).
struct CallerIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  bool valid = false;
};

// Whether the daemon can take other identities (it runs as root).
bool identitySwitching();
// The caller of the request being served, with its supplementary groups.
CallerIdentity requestIdentity();

// Runs the serving thread with `id` (fsuid, fsgid, groups) until it ends,
// so the kernel checks and owns what the daemon does on the caller's
// behalf. failed(): the identity could not be taken fully and the request
// must not go on.
class IdentityGuard {
 public:
  explicit IdentityGuard(const CallerIdentity& id);
  ~IdentityGuard();
  IdentityGuard(const IdentityGuard&) = delete;
  IdentityGuard& operator=(const IdentityGuard&) = delete;
  bool failed() const { return failed_; }

 private:
  bool switched_ = false;
  bool failed_ = false;
};

// Runs the serving thread as the daemon itself until it ends, inside a
// request that runs as its caller: for the few steps the kernel asks for
// whoever the caller is.
class DaemonIdentity {
 public:
  DaemonIdentity();
  ~DaemonIdentity();
  DaemonIdentity(const DaemonIdentity&) = delete;
  DaemonIdentity& operator=(const DaemonIdentity&) = delete;

 private:
  uid_t uid_;
  gid_t gid_;
};
