// Namespace operations: mknod, mkdir, unlink, rmdir, symlink, rename, link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "checker.h"

int xmp_mknod(const char* path, mode_t mode, dev_t rdev) {
  return onPath("mknod", path, [&](const std::string& phys) {
    if (S_ISREG(mode)) {
      const int fd = open(phys.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
      if (fd == -1) return -errno;
      return negErrno(close(fd));
    }
    if (S_ISFIFO(mode)) return negErrno(mkfifo(phys.c_str(), mode));
    return negErrno(mknod(phys.c_str(), mode, rdev));
  });
}

int xmp_mkdir(const char* path, mode_t mode) {
  return onPath("mkdir", path,
                [&](const std::string& phys) { return negErrno(mkdir(phys.c_str(), mode)); });
}

int xmp_unlink(const char* path) {
  return onPath("unlink", path,
                [&](const std::string& phys) { return negErrno(unlink(phys.c_str())); });
}

int xmp_rmdir(const char* path) {
  return onPath("rmdir", path,
                [&](const std::string& phys) { return negErrno(rmdir(phys.c_str())); });
}

// The link text is stored as the caller gave it: prefixing it with the root
// would make every link made through the mount point outside the mirror.
int xmp_symlink(const char* from, const char* to) try {
  std::string phys;
  if (const int rc = physicalPath(to, phys)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[symlink] %s -> %s\n", callerName().c_str(), from, phys.c_str());
  }
  return negErrno(symlink(from, phys.c_str()));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_rename(const char* from, const char* to, unsigned int flags) try {
  // The plain rename cannot honour RENAME_NOREPLACE or RENAME_EXCHANGE.
  if (flags != 0) return -EINVAL;
  std::string physFrom, physTo;
  if (const int rc = physicalPath(from, physFrom)) return rc;
  if (const int rc = physicalPath(to, physTo)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[rename] %s -> %s\n", callerName().c_str(), physFrom.c_str(), physTo.c_str());
  }
  return negErrno(rename(physFrom.c_str(), physTo.c_str()));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_link(const char* from, const char* to) try {
  std::string physFrom, physTo;
  if (const int rc = physicalPath(from, physFrom)) return rc;
  if (const int rc = physicalPath(to, physTo)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[link] %s -> %s\n", callerName().c_str(), physFrom.c_str(), physTo.c_str());
  }
  return negErrno(link(physFrom.c_str(), physTo.c_str()));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
