// Reading parameter files and checking access to them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "corekit/clp/clp.h"

namespace {

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int failWith(int err, const char* what, const char* fileName, std::string& error) {
  error = std::string(what) + " '" + fileName + "' failed: " + strerror(err);
  return err;
}

}  // namespace

int siClpFile2String(const char* fileName, std::string& out, std::string& error) {
  out.clear();
  error.clear();
  if (fileName == nullptr || *fileName == '\0') {
    error = "no file name given";
    return EINVAL;
  }
  try {
    Fd fd(open(fileName, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return failWith(errno, "open of", fileName, error);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return failWith(errno, "stat of", fileName, error);
    if (S_ISDIR(st.st_mode)) return failWith(EISDIR, "read of", fileName, error);
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        out.clear();
        return failWith(err, "read of", fileName, error);
      }
      if (n == 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    out.clear();
    out.shrink_to_fit();
    error.clear();
    return ENOMEM;
  }
  return 0;
}

int siClpSaf(const char* resource) {
  if (resource == nullptr || *resource == '\0') return EINVAL;
  if (access(resource, R_OK) != 0) return errno;
  return 0;
}
