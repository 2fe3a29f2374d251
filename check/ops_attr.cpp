// Attributes and listings: getattr, chmod, chown, utimens, access, statfs,
// readdir, readlink, and init, which sets the kernel's caching.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "checker.h"

int xmp_getattr(const char* path, struct stat* st, fuse_file_info*) {
  return onPath("getattr", path,
                [&](const std::string& phys) { return negErrno(lstat(phys.c_str(), st)); });
}

int xmp_chmod(const char* path, mode_t mode, fuse_file_info*) {
  return onPath("chmod", path,
                [&](const std::string& phys) { return negErrno(chmod(phys.c_str(), mode)); });
}

int xmp_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) try {
  std::string phys;
  if (const int rc = physicalPath(path, phys)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[chown] %s uid:%d gid:%d\n", callerName().c_str(), phys.c_str(),
            static_cast<int>(uid), static_cast<int>(gid));
  }
  return negErrno(lchown(phys.c_str(), uid, gid));
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_utimens(const char* path, const struct timespec ts[2], fuse_file_info*) {
  return onPath("utimens", path, [&](const std::string& phys) {
    return negErrno(utimensat(AT_FDCWD, phys.c_str(), ts, AT_SYMLINK_NOFOLLOW));
  });
}

int xmp_access(const char* path, int mask) {
  return onPath("access", path,
                [&](const std::string& phys) { return negErrno(access(phys.c_str(), mask)); });
}

int xmp_statfs(const char* path, struct statvfs* st) {
  return onPath("statvfs", path,
                [&](const std::string& phys) { return negErrno(statvfs(phys.c_str(), st)); });
}

int xmp_readlink(const char* path, char* buf, size_t size) {
  return onPath("readlink", path, [&](const std::string& phys) {
    if (size == 0) return -EINVAL;
    const ssize_t n = readlink(phys.c_str(), buf, size - 1);
    if (n == -1) return -errno;
    buf[n] = '\0';
    return 0;
  });
}

int xmp_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
                fuse_readdir_flags) {
  return onPath("readdir", path, [&](const std::string& phys) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(phys.c_str()), closedir);
    if (!dir) return -errno;
    // Every call lists the whole directory; libfuse keeps the offsets.
    while (const dirent* entry = readdir(dir.get())) {
      struct stat st = {};
      st.st_ino = entry->d_ino;
      st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
      if (filler(buf, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
  });
}

void* xmp_init(fuse_conn_info*, fuse_config* cfg) {
  // The kernel keeps no names or attributes, so every lookup reaches the
  // checker and the root's own inode numbers show through.
  cfg->use_ino = 1;
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  // Daemonizing changed the working directory to "/".
  if (fchdir(savefd) == -1) perror("fchdir");
  close(savefd);
  savefd = -1;
  return nullptr;
}
