// Namespace operations: names made, removed, renamed and linked with their
// records kept in step; modes and owners.
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "corekit/corekit.h"
#include "state.h"
#include "log.h"
#include "identity.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "operations.h"

namespace {

int replyOf(int rc) { return rc == -1 ? -errno : 0; }

// The usual shape: refused in the view, one name, one info line, one call.
template <class Call>
int onLogical(const char* operation, const char* path, Call call) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const std::string logical = logicalName(path);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[%s] %s\n", operation, logical.c_str());
  return replyOf(call(logical));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

// The commands of `logical` as stored, the rules filling what is not.
bool storedPlain(const std::string& logical, const std::string& physical, FileCommands& c) {
  {
    MetaSnapshot meta("meta");
    readStoredCommands(meta, logical, c);
  }
  return plainFile(logical, physical, c, false);
}

// Whether `mode` is `now` with set-user-ID or set-group-ID taken away and
// nothing else changed.
bool dropsPrivilegeOnly(mode_t now, mode_t mode) {
  constexpr mode_t kPrivilege = S_ISUID | S_ISGID;
  now &= 07777;
  mode &= 07777;
  return mode != now && (mode | kPrivilege) == (now | kPrivilege) && (mode & ~now) == 0;
}

}  // namespace

int vaskFS_readlink(const char* path, char* buf, size_t size) try {
  const std::string logical = logicalName(path);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[readlink] %s\n", logical.c_str());
  if (size == 0) return -EINVAL;
  const ssize_t n = readlink(logical.c_str(), buf, size - 1);
  if (n == -1) return -errno;
  buf[n] = '\0';
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_mknod(const char* path, mode_t mode, dev_t rdev) {
  return onLogical("mknod", path, [&](const std::string& l) {
    if (S_ISREG(mode)) {
      const int fd = open(l.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      return fd == -1 ? -1 : close(fd);
    }
    if (S_ISFIFO(mode)) return mkfifo(l.c_str(), mode);
    return mknod(l.c_str(), mode, rdev);
  });
}

int vaskFS_mkdir(const char* path, mode_t mode) {
  return onLogical("mkdir", path, [&](const std::string& l) { return mkdir(l.c_str(), mode); });
}

int vaskFS_rmdir(const char* path) {
  return onLogical("rmdir", path, [&](const std::string& l) { return rmdir(l.c_str()); });
}

int vaskFS_unlink(const char* path) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const MappedName name = mapName(path, "unlink");
  if (unlink(name.physical.c_str()) == -1) {
    // A file removed behind the daemon's back leaves only its records:
    // removing the name removes them, so that it can be made again.
    std::string stored;
    if (errno != ENOENT || readMetaText(name.logical, META_NAME, "meta", stored) != 0)
      return -errno;
  }
  forgetOpenHandles(name.logical);
  MetaBatch().erase(name.logical, META_ALL, "meta").erase(name.physical, META_ALL, "real").commit();
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_symlink(const char* from, const char* to) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  // The link text is what the application gave, unchanged: it is resolved
  // by whoever follows the link, not by us.
  const std::string text = from != nullptr ? from : "";
  const std::string logical = logicalName(to);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[symlink] %s -> %s\n", text.c_str(), logical.c_str());
  return replyOf(symlink(text.c_str(), logical.c_str()));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_link(const char* from, const char* to) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const std::string source = logicalName(from);
  const std::string target = logicalName(to);
  uint32_t mapFlags = 0;
  const std::string physical = getPhysicalPath(source, &mapFlags, nullptr);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[link] %s -> %s\n", source.c_str(), target.c_str());
  if ((mapFlags & MAP_NAME_KNOWN) == 0) return replyOf(link(source.c_str(), target.c_str()));
  // Two names of one converted stream could not be kept in step (records,
  // sizes, appends): refused, and git and others fall back to a rename.
  // Files stored unchanged get a real link of their physical files.
  FileCommands sourceCommands, targetCommands;
  if (!storedPlain(source, physical, sourceCommands)) return -EPERM;
  uint32_t targetFlags = 0;
  const std::string targetPhysical = getPhysicalPath(target, &targetFlags, nullptr);
  if (!plainFile(target, targetPhysical, targetCommands, true)) return -EPERM;
  if (link(physical.c_str(), targetPhysical.c_str()) == -1) return -errno;
  storePlainRecords(target, targetPhysical, targetCommands);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_chmod(const char* path, mode_t mode, fuse_file_info* /*fi*/) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const MappedName name = mapName(path, "chmod");
  // A symlink at the physical name is refused (EOPNOTSUPP), never followed.
  if (fchmodat(AT_FDCWD, name.physical.c_str(), mode, AT_SYMLINK_NOFOLLOW) == -1) {
    struct stat now;
    const int refused = errno;
    if (refused != EPERM) return -refused;
    const uid_t caller = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
    if (lstat(name.physical.c_str(), &now) != 0 || !S_ISREG(now.st_mode) ||
        !dropsPrivilegeOnly(now.st_mode, mode) || !openForWritingBy(name.logical, caller))
      return -EPERM;
    // The kernel clears set-user-ID and set-group-ID this way when another
    // user than the owner writes the file: that must not fail for want of
    // ownership. Only a writer of the file gets it, who clears the bits by
    // writing anyway.
    DaemonIdentity daemon;
    if (fchmodat(AT_FDCWD, name.physical.c_str(), mode, AT_SYMLINK_NOFOLLOW) == -1) return -errno;
  }
  if ((name.flags & MAP_NAME_KNOWN) != 0) {
    editStoredStat(name.logical, name.physical, [&](struct stat& st) {
      st.st_mode = (st.st_mode & S_IFMT) | (mode & ~static_cast<mode_t>(S_IFMT));
    });
  }
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* /*fi*/) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const std::string logical = logicalName(path);
  uint32_t flags = 0;
  const std::string physical = getPhysicalPath(logical, &flags, nullptr);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[chown] %s uid:%d gid:%d\n", physical.c_str(), static_cast<int>(uid),
            static_cast<int>(gid));
  if (lchown(physical.c_str(), uid, gid) == -1) return -errno;
  if ((flags & MAP_NAME_KNOWN) != 0) {
    editStoredStat(logical, physical, [&](struct stat& st) {
      if (uid != static_cast<uid_t>(-1)) st.st_uid = uid;
      if (gid != static_cast<gid_t>(-1)) st.st_gid = gid;
    });
  }
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
