// The kernel's passthrough of plain files, on libfuse 3.14.
//
// The kernel serves an open file from a backing file when INIT asked for
// passthrough (FUSE_PASSTHROUGH, in the second word of flags that
// FUSE_INIT_EXT opens, and a stacking depth) and the open reply carries
// FOPEN_PASSTHROUGH and the id of a backing file registered on /dev/fuse
// beforehand. libfuse 3.14 fills neither, and sends its replies by
// writev(2) on the session's descriptor, on the thread that answers. So a
// request that wants a reply changed arms this thread, and the daemon's own
// writev, which the dynamic linker puts before libc's for libfuse too, adds
// the fields to that one reply before it passes it on.
#include "passthrough.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "log.h"

bool passthroughWanted = true;

namespace {

// The kernel's names, from its fuse.h of protocol 7.40, which the headers
// of this libfuse predate.
constexpr uint32_t kInitExt = 1u << 30;
constexpr uint32_t kPassthroughFlags2 = 1u << (37 - 32);
constexpr uint32_t kOpenDirectIo = 1u << 0;
constexpr uint32_t kOpenKeepCache = 1u << 1;
constexpr uint32_t kOpenPassthrough = 1u << 7;
// The depth of file systems stacked on the backing files: the root's file
// system stacks on nothing, and the mount stays usable as a lower layer of
// an overlay. A root on an overlay is refused backing files (ELOOP), and
// the mount goes through the daemon.
constexpr uint32_t kStackDepth = 1;

struct BackingMap {
  int32_t fd;
  uint32_t flags;
  uint64_t padding;
};
constexpr unsigned long kBackingOpen = _IOW(229, 1, BackingMap);
constexpr unsigned long kBackingClose = _IOW(229, 2, uint32_t);

struct OutHeader {
  uint32_t len;
  int32_t error;
  uint64_t unique;
};
// The reply to INIT as far as the fields the daemon sets.
struct InitOut {
  uint32_t major, minor, maxReadahead, flags;
  uint16_t maxBackground, congestionThreshold;
  uint32_t maxWrite, timeGran;
  uint16_t maxPages, mapAlignment;
  uint32_t flags2, maxStackDepth;
  uint32_t unused[6];
};
static_assert(sizeof(InitOut) == 64);
struct OpenOut {
  uint64_t fh;
  uint32_t openFlags;
  int32_t backingId;
};

// The reply this thread's request wants changed: the next one it writes to
// the session (a create looks its new file up in between, without a reply).
struct ArmedReply {
  enum Kind { None, Init, Open } kind = None;
  uint64_t fh = 0;
  int backingId = 0;
};
thread_local ArmedReply armed;

// The session's descriptor, set at init (-1: nothing to change).
std::atomic<int> fuseFd{-1};
// Cleared when the kernel refuses the first backing file: the whole mount
// then stays with the page cache, since one kernel inode cannot mix both.
std::atomic<bool> available{true};
std::once_flag firstBacking;

struct Backing {
  int id = 0;
  int users = 0;
};
std::mutex backingMutex;  // guards backings(); a leaf
// One backing id per physical file, for as long as a handle uses it: the
// kernel lets all open files of one inode share one backing file only.
std::map<std::pair<dev_t, ino_t>, Backing>& backings() {
  static std::map<std::pair<dev_t, ino_t>, Backing> table;
  return table;
}

using WritevFn = ssize_t (*)(int, const iovec*, int);
WritevFn nextWritev() {
  static const WritevFn next = reinterpret_cast<WritevFn>(dlsym(RTLD_NEXT, "writev"));
  return next;
}

// Sends `iov` with its last buffer's tail `size` bytes replaced by `patch`
// (a copy: libfuse's buffers stay as they are).
ssize_t sendChanged(int fd, const iovec* iov, int count, const void* patch, size_t size) {
  iovec parts[8];
  if (count > 8) return nextWritev()(fd, iov, count);
  std::memcpy(parts, iov, sizeof(iovec) * static_cast<size_t>(count));
  const iovec& last = iov[count - 1];
  char body[512];
  if (last.iov_len > sizeof body || last.iov_len < size) return nextWritev()(fd, iov, count);
  std::memcpy(body, last.iov_base, last.iov_len);
  std::memcpy(body + last.iov_len - size, patch, size);
  parts[count - 1].iov_base = body;
  return nextWritev()(fd, parts, count);
}

ssize_t sendInit(int fd, const iovec* iov, int count) {
  if (count != 2 || iov[0].iov_len != sizeof(OutHeader) || iov[1].iov_len != sizeof(InitOut))
    return nextWritev()(fd, iov, count);
  InitOut out;
  std::memcpy(&out, iov[1].iov_base, sizeof out);
  if (static_cast<const OutHeader*>(iov[0].iov_base)->error != 0 || out.major != 7)
    return nextWritev()(fd, iov, count);
  out.flags |= kInitExt;
  out.flags2 |= kPassthroughFlags2;
  out.maxStackDepth = kStackDepth;
  return sendChanged(fd, iov, count, &out, sizeof out);
}

ssize_t sendOpen(int fd, const iovec* iov, int count, const ArmedReply& reply) {
  const iovec& last = iov[count - 1];
  if (count < 2 || static_cast<const OutHeader*>(iov[0].iov_base)->error != 0 ||
      last.iov_len < sizeof(OpenOut))
    return nextWritev()(fd, iov, count);
  OpenOut out;
  std::memcpy(&out, static_cast<const char*>(last.iov_base) + last.iov_len - sizeof out,
              sizeof out);
  // Open and create end their reply with the open file's fields.
  if (out.fh != reply.fh) return nextWritev()(fd, iov, count);
  // libfuse's kernel_cache and auto_cache add a flag that the kernel
  // refuses beside a backing file, whose page cache it uses; direct I/O
  // would only stop shared mappings.
  out.openFlags = (out.openFlags & ~(kOpenDirectIo | kOpenKeepCache)) | kOpenPassthrough;
  out.backingId = reply.backingId;
  return sendChanged(fd, iov, count, &out, sizeof out);
}

// A backing id for the physical file open as `fd`, shared with the other
// handles of the same file; 0 when there is none.
int backingFor(int fd, dev_t device, ino_t inode) {
  std::lock_guard<std::mutex> guard(backingMutex);  // the backing ids
  Backing& b = backings()[{device, inode}];
  if (b.id == 0) {
    const BackingMap map = {fd, 0, 0};
    // The kernel reads and writes the file with a copy of the credentials
    // that register it (the first opener's file-system identity), for every
    // opener; a write by a user without CAP_FSETID still clears the
    // set-user-ID bit first, through the mount (a setattr to the daemon).
    const int id = ioctl(fuseFd.load(), kBackingOpen, &map);
    if (id <= 0) {
      const int e = errno;
      backings().erase({device, inode});
      bool first = false;
      std::call_once(firstBacking, [&] { first = true; });
      if (first) {
        available = false;
        logAt(LOG_INFO,
              "the kernel gives no backing files (%s): plain files go through the daemon\n",
              std::strerror(e));
      } else {
        logAt(LOG_ERROR, "no backing file for a plain file: %s\n", std::strerror(e));
      }
      return 0;
    }
    std::call_once(firstBacking, [] {
      logAt(LOG_INFO, "plain files are served by the kernel from their physical files\n");
    });
    b.id = id;
  }
  ++b.users;
  return b.id;
}

}  // namespace

extern "C" ssize_t writev(int fd, const iovec* iov, int count) {
  if (armed.kind != ArmedReply::None && fd == fuseFd.load() && count >= 1) {
    const ArmedReply reply = armed;
    armed = {};
    return reply.kind == ArmedReply::Init ? sendInit(fd, iov, count)
                                          : sendOpen(fd, iov, count, reply);
  }
  return nextWritev()(fd, iov, count);
}

void askForPassthrough(fuse_conn_info* conn) {
  (void)conn;
  if (!passthroughWanted) return;
  fuse_context* ctx = fuse_get_context();
  if (ctx == nullptr || ctx->fuse == nullptr) return;
  fuseFd = fuse_session_fd(fuse_get_session(ctx->fuse));
  armed = {ArmedReply::Init, 0, 0};
}

int passThrough(FileHandle& h, fuse_file_info* fi) {
  if (fuseFd.load() == -1 || !available) return 0;
  if (!h.plain || h.fd == -1) {
    if (!passedThroughOpen(h.logicalPath, &h)) return 0;
    logAt(LOG_ERROR, "%s converts now, but the kernel still serves it stored unchanged: busy\n",
          h.logicalPath.c_str());
    return -EBUSY;
  }
  struct stat st;
  if (fstat(h.fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  if (passedThroughElsewhere(h.logicalPath, st.st_dev, st.st_ino, &h)) {
    logAt(LOG_ERROR, "%s was replaced under the root while open: busy until it is closed\n",
          h.logicalPath.c_str());
    return -EBUSY;
  }
  // The kernel opens the physical file again with the application's flags;
  // an O_DIRECT the file system cannot take would come back as EIO.
  if ((fi->flags & O_DIRECT) != 0) {
    const int flags = fcntl(h.fd, F_GETFL);
    if (flags == -1 || fcntl(h.fd, F_SETFL, flags | O_DIRECT) == -1) return -EINVAL;
    fcntl(h.fd, F_SETFL, flags);
  }
  const int id = backingFor(h.fd, st.st_dev, st.st_ino);
  if (id == 0) {
    // The kernel refused this file only: it goes through the daemon,
    // uncached, which any kernel inode without a backing file takes.
    if (available) {
      fi->direct_io = 1;
      fi->keep_cache = 0;
    }
    return 0;
  }
  h.backingId = id;
  h.backingDevice = st.st_dev;
  h.backingInode = st.st_ino;
  fi->direct_io = 0;
  fi->keep_cache = 0;
  // A handle of a file whose conversion waits for the kernel's handles
  // waits too.
  if (const FileHandle* waiting = conversionWaits(h.logicalPath, &h); waiting != nullptr) {
    h.convertAtRelease = true;
    h.convertAs = waiting->convertAs;
  }
  armed = {ArmedReply::Open, fi->fh, id};
  return 0;
}

int kernelInodeBusy(const FileHandle& h) {
  if (fuseFd.load() == -1 || !available || !passedThroughOpen(h.logicalPath, &h)) return 0;
  struct stat st;
  if (lstat(h.physicalPath.c_str(), &st) == 0) {
    if (!passedThroughElsewhere(h.logicalPath, st.st_dev, st.st_ino, &h)) return 0;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    return 0;  // the open itself will say what is wrong
  }
  logAt(LOG_ERROR, "%s was replaced under the root while open: busy until it is closed\n",
        h.logicalPath.c_str());
  return -EBUSY;
}

void endPassthrough(FileHandle& h) {
  if (h.backingId <= 0) return;
  std::lock_guard<std::mutex> guard(backingMutex);  // the backing ids
  auto it = backings().find({h.backingDevice, h.backingInode});
  if (it != backings().end() && it->second.id == h.backingId && --it->second.users == 0) {
    const uint32_t id = static_cast<uint32_t>(h.backingId);
    if (ioctl(fuseFd.load(), kBackingClose, &id) != 0)
      logAt(LOG_ERROR, "backing file %u not closed: %s\n", id, std::strerror(errno));
    backings().erase(it);
  }
  h.backingId = 0;
}
