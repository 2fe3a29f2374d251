// Data handed to libfuse and taken from it as buffer vectors. A plain
// file's data is named by its descriptor and offset, so that libfuse moves
// it between the kernel and the physical file with splice(2) and never
// copies it through the daemon's memory; a converted file's data goes
// through a memory buffer and its conversion, as before.
#include "buffers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "state.h"
#include "log.h"
#include "mapping.h"
#include "handle.h"
#include "operations.h"

namespace {

// A buffer vector of one buffer, the way libfuse frees it (free(3)).
fuse_bufvec* newVector(size_t size) {
  auto* vec = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
  if (vec != nullptr) *vec = FUSE_BUFVEC_INIT(size);
  return vec;
}

void nameDescriptor(fuse_buf& buf, int fd, off_t offset) {
  buf.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buf.fd = fd;
  buf.pos = offset;
}

}  // namespace

int vaskFS_read_buf(const char* path, fuse_bufvec** bufp, size_t size, off_t offset,
                    fuse_file_info* fi) {
  fuse_bufvec* vec = newVector(size);
  if (vec == nullptr) return -ENOMEM;
  *bufp = vec;
  FileHandle* h = handleOf(fi);
  // The descriptor stays open until libfuse has sent the reply: release
  // comes only after the kernel's last read, and a rename that moves a
  // writer to another file keeps the old descriptor until release.
  if (h != nullptr && h->plain && h->fd != -1) {
    nameDescriptor(vec->buf[0], h->fd, offset);
    return 0;
  }
  vec->buf[0].mem = std::malloc(size);
  if (vec->buf[0].mem == nullptr) return -ENOMEM;
  const int n = vaskFS_read(path, static_cast<char*>(vec->buf[0].mem), size, offset, fi);
  if (n < 0) return n;
  vec->buf[0].size = static_cast<size_t>(n);
  return 0;
}

int vaskFS_write_buf(const char* path, fuse_bufvec* buf, off_t offset, fuse_file_info* fi) {
  if (vaskfsArgs.viewMode) return -EACCES;
  const size_t size = fuse_buf_size(buf);
  FileHandle* h = handleOf(fi);
  if (h != nullptr && h->plain && h->fd != -1) {
    fuse_bufvec to = FUSE_BUFVEC_INIT(size);
    nameDescriptor(to.buf[0], h->fd, offset);
    const ssize_t n = fuse_buf_copy(&to, buf, FUSE_BUF_SPLICE_NONBLOCK);
    return static_cast<int>(n);
  }
  if (buf->count == 1 && (buf->buf[0].flags & FUSE_BUF_IS_FD) == 0)
    return vaskFS_write(path, static_cast<const char*>(buf->buf[0].mem), size, offset, fi);
  std::unique_ptr<char[]> data(new char[size]);
  fuse_bufvec into = FUSE_BUFVEC_INIT(size);
  into.buf[0].mem = data.get();
  const ssize_t got = fuse_buf_copy(&into, buf, static_cast<fuse_buf_copy_flags>(0));
  if (got < 0) return static_cast<int>(got);
  return vaskFS_write(path, data.get(), static_cast<size_t>(got), offset, fi);
}

unsigned askedReadSize = 0;

unsigned spliceableReadSize() {
  static const unsigned size = [] {
    // libfuse splices a reply through a pipe that must hold the data and a
    // page for each of its pieces (header, data, and one spare); a pipe
    // beyond pipe-max-size takes CAP_SYS_RESOURCE, which a container's root
    // may lack. Without the room every reply is copied through memory.
    const long page = sysconf(_SC_PAGESIZE);
    const unsigned largest = 1u << 20;  // the kernel's largest request, 256 pages
    const unsigned spare = 3 * static_cast<unsigned>(page);
    int ends[2];
    if (pipe(ends) != 0) return 0u;
    const int grown = fcntl(ends[0], F_SETPIPE_SZ, largest + spare);
    close(ends[0]);
    close(ends[1]);
    if (grown >= static_cast<int>(largest + spare)) return 0u;
    unsigned limit = 0;
    std::ifstream("/proc/sys/fs/pipe-max-size") >> limit;
    if (limit < largest / 4 + spare) return 0u;
    // Whole kernel requests of a power of two pages keep the read-ahead
    // windows on the boundaries of the readers' blocks.
    unsigned size = largest;
    while (size + spare > limit) size /= 2;
    return size;
  }();
  return size;
}

namespace {

// The "major:minor" of the file system mounted at `dir`, from
// /proc/self/mountinfo (a stat of the mount point would ask this daemon
// itself); empty when not found.
std::string deviceOf(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::ifstream info("/proc/self/mountinfo");
  std::string line, found;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (!(fields >> id >> parent >> device >> root >> point)) continue;
    // mountinfo writes space, tab, newline and backslash as octal escapes.
    std::string unescaped;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        unescaped += static_cast<char>(std::strtol(point.substr(i + 1, 3).c_str(), nullptr, 8));
        i += 3;
      } else {
        unescaped += point[i];
      }
    }
    if (unescaped == dir) found = device;  // the last mount there is ours
  }
  return found;
}

}  // namespace

void raiseReadAhead() {
  // A multiple of the largest request (max_write, 1 MiB): the kernel reads
  // ahead in requests of that size, and a few in flight keep a sequential
  // reader from waiting on each.
  constexpr int kReadAheadKiB = 4096;
  const std::string device = deviceOf(vaskfsArgs.mountDir);
  if (device.empty()) {
    logAt(LOG_INFO, "read-ahead left as it is: no mount found at %s\n",
          vaskfsArgs.mountDir.c_str());
    return;
  }
  const std::string knob = "/sys/class/bdi/" + device + "/read_ahead_kb";
  std::ofstream out(knob);
  out << kReadAheadKiB << '\n';
  out.close();
  if (!out)
    logAt(LOG_INFO, "read-ahead left as it is: %s not written: %s\n", knob.c_str(),
          std::strerror(errno));
  else
    logAt(LOG_INFO, "read-ahead of the mount raised to %d KiB (%s)\n", kReadAheadKiB, knob.c_str());
}
