// Open files: open, create, read, write (the sequential check), release,
// fsync and truncate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "checker.h"

int xmp_open(const char* path, fuse_file_info* fi) {
  return onPath("open", path, [&](const std::string& phys) {
    auto handle = std::make_unique<CheckHandle>();
    // An appending file is written at its end: that is where writes are expected.
    if ((fi->flags & O_APPEND) != 0) {
      struct stat st;
      if (lstat(phys.c_str(), &st) == 0) handle->expectedOffset = st.st_size;
    }
    const int fd = open(phys.c_str(), fi->flags);
    if (fd == -1) return -errno;
    handle->fd = fd;
    handle->writeOnly = (fi->flags & O_ACCMODE) == O_WRONLY ? 1 : 0;
    fi->fh = reinterpret_cast<uint64_t>(handle.release());
    return 0;
  });
}

int xmp_create(const char* path, mode_t mode, fuse_file_info* fi) {
  return onPath("create", path, [&](const std::string& phys) {
    auto handle = std::make_unique<CheckHandle>();
    const int fd = open(phys.c_str(), fi->flags, mode);
    if (fd == -1) return -errno;
    handle->fd = fd;
    handle->writeOnly = 1;
    fi->fh = reinterpret_cast<uint64_t>(handle.release());
    return 0;
  });
}

namespace {

// A descriptor opened for one call when libfuse passes no handle.
struct TemporaryFd {
  int fd;
  explicit TemporaryFd(int f) : fd(f) {}
  TemporaryFd(const TemporaryFd&) = delete;
  TemporaryFd& operator=(const TemporaryFd&) = delete;
  ~TemporaryFd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

int xmp_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) try {
  std::string phys;
  if (const int rc = physicalPath(path, phys)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[read] %lu bytes from %s at offset %lld\n", callerName().c_str(),
            static_cast<unsigned long>(size), phys.c_str(), static_cast<long long>(offset));
  }
  CheckHandle* handle = handleOf(fi);
  if (handle != nullptr) {
    if (handle->writeOnly == 1) {
      report("usage error: reading from %s when open for output\n", phys.c_str());
    }
    const ssize_t n = pread(static_cast<int>(handle->fd), buf, size, offset);
    return n == -1 ? -errno : static_cast<int>(n);
  }
  TemporaryFd own(open(phys.c_str(), O_RDONLY));
  if (own.fd == -1) return -errno;
  const ssize_t n = pread(own.fd, buf, size, offset);
  return n == -1 ? -errno : static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_write(const char* path, const char* buf, size_t size, off_t offset,
              fuse_file_info* fi) try {
  std::string phys;
  if (const int rc = physicalPath(path, phys)) return rc;
  if (fileLog != nullptr) {
    logLine("%s[write] %s %lu bytes at offset %lld\n", callerName().c_str(), phys.c_str(),
            static_cast<unsigned long>(size), static_cast<long long>(offset));
  }
  CheckHandle* handle = handleOf(fi);
  if (handle != nullptr) {
    // Test, write and update as one step, so that concurrent writes through
    // one open file are judged against each other's ends.
    std::lock_guard<std::mutex> lock(handle->offsetLock);
    if (handle->writeOnly == 0) {
      report("usage error: writing to %s when open for input\n", phys.c_str());
    }
    if (offset < handle->expectedOffset) {
      report("%s: offset %lld is smaller than expected offset %lld\n", phys.c_str(),
             static_cast<long long>(offset), static_cast<long long>(handle->expectedOffset));
    }
    const ssize_t n = pwrite(static_cast<int>(handle->fd), buf, size, offset);
    if (n == -1) return -errno;
    handle->expectedOffset = offset + static_cast<int64_t>(size);
    return static_cast<int>(n);
  }
  TemporaryFd own(open(phys.c_str(), O_WRONLY));
  if (own.fd == -1) return -errno;
  const ssize_t n = pwrite(own.fd, buf, size, offset);
  return n == -1 ? -errno : static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_release(const char* path, fuse_file_info* fi) try {
  if (fileLog != nullptr) logLine("%s[release] ./%s\n", callerName().c_str(), path);
  std::unique_ptr<CheckHandle> handle(handleOf(fi));
  fi->fh = 0;
  return 0;  // the handle's destructor closes the descriptor
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_fsync(const char* path, int, fuse_file_info*) try {
  if (fileLog != nullptr) logLine("%s[fsync] ./%s\n", callerName().c_str(), path);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int xmp_truncate(const char* path, off_t size, fuse_file_info* fi) {
  return onPath("truncate", path, [&](const std::string& phys) {
    // The expected offset stays: a shortened file is still written where the
    // application left off, which is what the check is about.
    CheckHandle* handle = handleOf(fi);
    if (handle != nullptr) return negErrno(ftruncate(static_cast<int>(handle->fd), size));
    return negErrno(truncate(phys.c_str(), size));
  });
}
