// Extended attributes of the physical files, ACLs included: the calls act
// on the physical file of a name and never follow a symbolic link, as the
// caller and without the daemon's capabilities.
#include "xattr.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "state.h"
#include "log.h"
#include "records.h"
#include "mapping.h"

namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

// Whether the list of names llistxattr gave holds `name`.
bool listed(const std::vector<char>& names, std::string_view name) {
  for (size_t at = 0; at < names.size();) {
    const std::string_view one(names.data() + at);
    if (one == name) return true;
    at += one.size() + 1;
  }
  return false;
}

// The physical file of a FUSE path: a directory, symbolic link or node is
// its own; a regular file is mapped as getattr maps it, and one only a read
// rule shows under the name is found as a lookup finds it.
MappedName physicalOf(const char* path, const char* operation) {
  MappedName name;
  name.logical = logicalName(path);
  struct stat st;
  if (lstat(name.logical.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    name.physical = name.logical;
    return name;
  }
  name = mapName(path, operation);
  if ((name.flags & MAP_NAME_KNOWN) == 0 && lstat(name.physical.c_str(), &st) != 0 &&
      errno == ENOENT) {
    if (std::string found = physicalByReadRules(name.logical); !found.empty())
      name.physical = std::move(found);
  }
  return name;
}

// A changed attribute changes the change time of the physical file, and an
// access ACL its mode: the stored attributes and identity follow, so that
// the daemon's own change is not taken for one made outside.
void keepRecordsCurrent(const MappedName& name, const char* attribute) {
  if ((name.flags & MAP_NAME_KNOWN) == 0) return;
  struct stat now;
  if (lstat(name.physical.c_str(), &now) != 0) return;
  const bool modeChanged = std::strcmp(attribute, kAccessAcl) == 0;
  editStoredStat(name.logical, name.physical, [&](struct stat& st) {
    if (modeChanged) st.st_mode = (st.st_mode & S_IFMT) | (now.st_mode & 07777);
    st.st_ctim = now.st_ctim;
  });
}

// Reads a list or value whose length may change between asking and
// reading: `call(buffer, size)` as l*xattr, size 0 asking for the length.
template <class Call>
ssize_t readGrowing(std::vector<char>& out, Call call) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t wanted = call(nullptr, 0);
    if (wanted <= 0) {
      out.clear();
      return wanted;
    }
    out.resize(static_cast<size_t>(wanted));
    const ssize_t got = call(out.data(), out.size());
    if (got >= 0) {
      out.resize(static_cast<size_t>(got));
      return got;
    }
    if (errno != ERANGE) return -1;
  }
  errno = ERANGE;
  return -1;
}

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

}  // namespace

int vaskFS_setxattr(const char* path, const char* name, const char* value, size_t size,
                    int flags) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const MappedName mapped = physicalOf(path, "setxattr");
  {
    WithoutCapabilities caller;
    if (caller.failed()) return -EPERM;
    if (lsetxattr(mapped.physical.c_str(), name, value, size, flags) == -1) return -errno;
  }
  keepRecordsCurrent(mapped, name);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_getxattr(const char* path, const char* name, char* value, size_t size) try {
  const MappedName mapped = physicalOf(path, nullptr);
  WithoutCapabilities caller;
  if (caller.failed()) return -EPERM;
  const ssize_t n = lgetxattr(mapped.physical.c_str(), name, value, size);
  return n == -1 ? -errno : static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_listxattr(const char* path, char* list, size_t size) try {
  const MappedName mapped = physicalOf(path, nullptr);
  WithoutCapabilities caller;
  if (caller.failed()) return -EPERM;
  const ssize_t n = llistxattr(mapped.physical.c_str(), list, size);
  return n == -1 ? -errno : static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_removexattr(const char* path, const char* name) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const MappedName mapped = physicalOf(path, "removexattr");
  {
    WithoutCapabilities caller;
    if (caller.failed()) return -EPERM;
    if (lremovexattr(mapped.physical.c_str(), name) == -1) return -errno;
  }
  keepRecordsCurrent(mapped, name);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int copyXattrs(const char* from, const char* to, bool sameData) {
  // A file capability goes only with the same data to the same owner: a
  // copy that now belongs to the user who renamed it gets none.
  struct stat old, made;
  const bool keepCapability =
      sameData && lstat(from, &old) == 0 && lstat(to, &made) == 0 && old.st_uid == made.st_uid;
  std::vector<char> names;
  if (readGrowing(names, [&](char* b, size_t s) { return llistxattr(from, b, s); }) < 0)
    return unsupported(errno) ? 0 : -1;
  int failure = 0;
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    if (!keepCapability && std::strcmp(name, "security.capability") == 0) continue;
    if (readGrowing(value, [&](char* b, size_t s) { return lgetxattr(from, name, b, s); }) < 0 ||
        lsetxattr(to, name, value.data(), value.size(), 0) == -1) {
      // One attribute that cannot be kept does not keep the others back.
      if (errno == ENODATA) continue;  // removed meanwhile
      logAt(LOG_ERROR, "cannot keep the attribute %s of %s on %s: %s\n", name, from, to,
            std::strerror(errno));
      if (failure == 0) failure = errno;
    }
  }
  // A new file in a directory with a default ACL has inherited it: what the
  // old file did not grant, its copy must not grant either.
  for (const char* acl : {kAccessAcl, kDefaultAcl}) {
    if (!listed(names, acl) && lremovexattr(to, acl) == -1 && errno != ENODATA &&
        !unsupported(errno) && failure == 0)
      failure = errno;
  }
  if (failure == 0) return 0;
  errno = failure;
  return -1;
}
