// Extended attributes and POSIX ACLs: kept on the physical file of every
// name, set and read as the caller, and carried over whenever the daemon
// puts a new physical file in the place of an old one.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/types.h>

#include <string>

// The four FUSE operations, run as the caller (IdentityGuard held) with the
// serving thread's effective capabilities dropped while they act, so that
// the kernel's rules for "user.", "trusted." and "security." apply to that
// caller. Changes are refused with EACCES in view mode.
int vaskFS_setxattr(const char* path, const char* name, const char* value, size_t size, int flags);
int vaskFS_getxattr(const char* path, const char* name, char* value, size_t size);
int vaskFS_listxattr(const char* path, char* list, size_t size);
int vaskFS_removexattr(const char* path, const char* name);

// Copies every extended attribute of the physical file `from` (ACLs
// included) onto `to`, neither followed when it is a symbolic link; an
// attribute `to` has already is overwritten. A file capability is carried
// over only when `sameData` (the kernel drops it on any write) and `to`
// has the owner of `from`. Runs with the
// thread's identity and capabilities as they are: a converting rename keeps
// the "trusted." attributes its caller could not read. 0, or -1 with errno
// (a file system without extended attributes has nothing to copy: 0).
int copyXattrs(const char* from, const char* to, bool sameData = true);

// The mode to make a new file, directory or node with at `physical`: where
// its directory has a default ACL, `mode` cut by what that ACL grants (the
// file system then gives the new file the ACL itself); elsewhere `mode`
// without the caller's umask, which the kernel leaves to the daemon once
// ACLs are served.
mode_t creationMode(const std::string& physical, mode_t mode);

// Asks for the kernel's enforcement of POSIX ACLs when it offers it and
// checks permissions itself (default_permissions, given or added for
// allow_other), and for the umask to be left to creationMode. Called by
// vaskFS_init.
void askForAcls(fuse_conn_info* conn);

// Drops the serving thread's effective capabilities until it ends, when the
// thread acts for another user than root (capabilities are per thread).
// failed(): they could not be dropped and the request must not go on.
class WithoutCapabilities {
 public:
  WithoutCapabilities();
  ~WithoutCapabilities();
  WithoutCapabilities(const WithoutCapabilities&) = delete;
  WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
  bool failed() const { return failed_; }

 private:
  bool dropped_ = false;
  bool failed_ = false;
  unsigned int effective_[2] = {};
};

