// POSIX ACLs: the kernel enforces them once asked to, and leaves the umask
// to the daemon, which must apply it only where no default ACL is
// inherited.
#include <endian.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "state.h"
#include "xattr.h"

namespace {

// Whether the kernel leaves the umask to the daemon (FUSE_CAP_DONT_MASK
// granted at init, before the first request; read only afterwards).
bool daemonMasks = false;

// The xattr form of an ACL: a little-endian version 2 header, then entries
// of tag, permission and id.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kUserObj = 0x01, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
constexpr size_t kHeaderSize = 4, kEntrySize = 8;

// The permission bits a default ACL lets a new file have: its owner, mask
// (or owning group where it has no mask) and other entries. False when
// `acl` is not an ACL in this form.
bool aclModeBits(const std::vector<char>& acl, mode_t& bits) {
  if (acl.size() < kHeaderSize || (acl.size() - kHeaderSize) % kEntrySize != 0) return false;
  uint32_t version;
  std::memcpy(&version, acl.data(), sizeof version);
  if (le32toh(version) != kAclVersion) return false;
  int owner = -1, group = -1, mask = -1, other = -1;
  for (size_t at = kHeaderSize; at < acl.size(); at += kEntrySize) {
    uint16_t tag, perm;
    std::memcpy(&tag, acl.data() + at, sizeof tag);
    std::memcpy(&perm, acl.data() + at + 2, sizeof perm);
    const int p = le16toh(perm) & 07;
    switch (le16toh(tag)) {
      case kUserObj:
        owner = p;
        break;
      case kGroupObj:
        group = p;
        break;
      case kMask:
        mask = p;
        break;
      case kOther:
        other = p;
        break;
      default:
        break;
    }
  }
  if (owner < 0 || group < 0 || other < 0) return false;
  bits = static_cast<mode_t>(owner << 6 | (mask >= 0 ? mask : group) << 3 | other);
  return true;
}

// The default ACL of the directory `dir`; empty when it has none.
std::vector<char> defaultAcl(const std::string& dir) {
  std::vector<char> acl(256);
  for (;;) {
    const ssize_t n = getxattr(dir.c_str(), "system.posix_acl_default", acl.data(), acl.size());
    if (n >= 0) {
      acl.resize(static_cast<size_t>(n));
      return acl;
    }
    if (errno != ERANGE || acl.size() >= (1u << 20)) return {};
    acl.resize(acl.size() * 4);
  }
}

}  // namespace

mode_t creationMode(const std::string& physical, mode_t mode) {
  if (!daemonMasks) return mode;
  const size_t slash = physical.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : physical.substr(0, slash);
  mode_t granted = 0;
  // The file system gives the new file the directory's default ACL, cut by
  // the mode it is made with; the mode it reports must be cut alike.
  if (aclModeBits(defaultAcl(dir), granted)) return mode & (granted | ~static_cast<mode_t>(0777));
  const fuse_context* ctx = fuseServing ? fuse_get_context() : nullptr;
  return ctx != nullptr ? mode & ~ctx->umask : mode;
}

void askForAcls(fuse_conn_info* conn) {
  // The kernel's enforcement of ACLs brings default_permissions with it.
  // Where that is not in force already, the daemon's access() answers
  // instead of the kernel's mode check (a view refuses W_OK even to root)
  // and only the mounting user enters the mount anyway.
  if ((conn->capable & FUSE_CAP_POSIX_ACL) != 0 && vaskfsArgs.defaultPermissions)
    conn->want |= FUSE_CAP_POSIX_ACL;
  else
    conn->want &= ~FUSE_CAP_POSIX_ACL;
  if ((conn->capable & FUSE_CAP_DONT_MASK) != 0) {
    conn->want |= FUSE_CAP_DONT_MASK;
    daemonMasks = true;
  }
}
