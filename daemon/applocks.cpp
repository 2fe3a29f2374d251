// Applications' locks, carried by open file descriptions of the daemon's:
// one per fcntl lock owner and file (a process's record locks are one
// owner's, whatever descriptor set them), one per open file for flock.
// Open file description locks on those give exactly the semantics the
// application asked for, also on a filesystem shared by several hosts.
#include "applocks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "handle.h"
#include "identity.h"

unsigned lockServingThreads = 8;

namespace {
// Serving threads now waiting for an application's lock.
std::atomic<unsigned> lockWaiters{0};
}  // namespace

struct LockDescriptor {
  int fd = -1;
  // A converted file's stand-in, kept open while a lock may be taken on it.
  std::shared_ptr<LockDescriptor> anchor;

  explicit LockDescriptor(int d) : fd(d) {}
  LockDescriptor(const LockDescriptor&) = delete;
  LockDescriptor& operator=(const LockDescriptor&) = delete;
  ~LockDescriptor() {
    if (fd != -1) close(fd);  // its locks go with it
  }
};

namespace {

using Descriptor = std::shared_ptr<LockDescriptor>;

// A leaf: nothing waits for an application's lock while it is held.
std::mutex tableMutex;  // guards standIns(), owners() and flocks() below

// A converted file's stand-in here: an anonymous file whose locks are the
// file's locks among this mount's users, by file key.
std::map<std::string, std::weak_ptr<LockDescriptor>>& standIns() {
  static std::map<std::string, std::weak_ptr<LockDescriptor>> table;
  return table;
}
std::map<std::pair<std::string, uint64_t>, Descriptor>& owners() {
  static std::map<std::pair<std::string, uint64_t>, Descriptor> table;
  return table;
}
std::unordered_map<const FileHandle*, Descriptor>& flocks() {
  static std::unordered_map<const FileHandle*, Descriptor> table;
  return table;
}

// The file a handle's locks belong to: the physical file, or the logical
// name of a converted file whose physical file is not there yet.
int fileKey(const FileHandle& h, std::string& key) {
  struct stat st;
  if (h.plain) {
    if (h.fd == -1 || fstat(h.fd, &st) != 0) return -EBADF;
    key = "plain " + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino);
  } else if (lstat(h.physicalPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    key = "converted " + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino);
  } else {
    key = "name " + h.logicalPath;
  }
  return 0;
}

// A new open file description of the file open as `fd`, as the daemon: the
// kernel has already checked that the application's descriptor allows the
// lock it asks for.
int reopen(int fd) {
  DaemonIdentity daemon;
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  int e = EBADF;
  for (const int mode : {O_RDWR, O_RDONLY, O_WRONLY}) {
    const int made = open(link.c_str(), mode | O_CLOEXEC | O_NOCTTY);
    if (made != -1) return made;
    e = errno;
  }
  errno = e;
  return -1;
}

// A descriptor that carries `h`'s locks, opened now. Called with tableMutex.
int openCarrier(const FileHandle& h, const std::string& key, Descriptor& made) {
  if (h.plain) {
    const int fd = reopen(h.fd);
    if (fd == -1) return -errno;
    made = std::make_shared<LockDescriptor>(fd);
    return 0;
  }
  auto& ins = standIns();
  Descriptor anchor = ins[key].lock();
  if (anchor == nullptr) {
    const int fd = memfd_create("vaskFS lock", MFD_CLOEXEC);
    if (fd == -1) return -errno;
    anchor = std::make_shared<LockDescriptor>(fd);
    ins[key] = anchor;
    if (ins.size() > 256) std::erase_if(ins, [](const auto& in) { return in.second.expired(); });
  }
  const int fd = reopen(anchor->fd);
  if (fd == -1) return -errno;
  made = std::make_shared<LockDescriptor>(fd);
  made->anchor = std::move(anchor);
  return 0;
}

bool wholeFile(const struct flock& lock) {
  return lock.l_whence == SEEK_SET && lock.l_start == 0 && lock.l_len == 0;
}

// Tries `attempt` until it does not find the lock taken; when `wait`, waits
// between tries (a blocking lock request must not hold a serving thread for
// good: the kernel interrupts it when the application is signalled).
template <class Attempt>
int untilFree(bool wait, Attempt attempt) {
  bool counted = false;
  struct Uncount {
    bool& counted;
    ~Uncount() {
      if (counted) lockWaiters.fetch_sub(1);
    }
  } uncount{counted};
  for (useconds_t pause = 1000;; pause = std::min<useconds_t>(pause * 2, 64000)) {
    const int rc = attempt();
    if (rc != -EAGAIN && rc != -EACCES) return rc;
    if (!wait) return -EAGAIN;
    if (!counted) {
      if (lockWaiters.fetch_add(1) + 1 >= lockServingThreads) {
        lockWaiters.fetch_sub(1);
        return -EDEADLK;
      }
      counted = true;
    }
    if (fuse_interrupted() != 0) return -EINTR;
    usleep(pause);
  }
}

}  // namespace

int recordLockCarrier(FileHandle& h, uint64_t owner, int cmd, short type, LockCarrier& carrier) {
  if (const int rc = fileKey(h, carrier.file); rc != 0) return rc;
  carrier.owner = owner;
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  auto& table = owners();
  const auto key = std::make_pair(carrier.file, owner);
  if (const auto found = table.find(key); found != table.end()) {
    carrier.descriptor = found->second;
    return 0;
  }
  if (cmd != F_GETLK && type == F_UNLCK) return 0;
  if (const int rc = openCarrier(h, carrier.file, carrier.descriptor); rc != 0) return rc;
  if (cmd != F_GETLK) table.emplace(key, carrier.descriptor);
  return 0;
}

int flockCarrier(FileHandle& h, bool unlock, LockCarrier& carrier) {
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  auto& table = flocks();
  if (const auto found = table.find(&h); found != table.end()) {
    carrier.descriptor = found->second;
    return 0;
  }
  if (unlock) return 0;
  std::string key;
  if (const int rc = fileKey(h, key); rc != 0) return rc;
  if (const int rc = openCarrier(h, key, carrier.descriptor); rc != 0) return rc;
  table.emplace(&h, carrier.descriptor);
  return 0;
}

int applyRecordLock(LockCarrier& carrier, int cmd, struct flock* lock) {
  if (carrier.descriptor == nullptr) {
    if (cmd == F_GETLK) return -EBADF;
    return 0;  // nothing held, nothing to unlock
  }
  const int fd = carrier.descriptor->fd;
  if (cmd == F_GETLK) {
    struct flock probe = *lock;
    probe.l_pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &probe) == -1) return -errno;
    // Another open file description's lock has no process; the kernel
    // reports 0 rather than a number that names some other process.
    if (probe.l_pid < 0) probe.l_pid = 0;
    *lock = probe;
    return 0;
  }
  struct flock wanted = *lock;
  wanted.l_pid = 0;
  if (wanted.l_type == F_UNLCK) {
    if (fcntl(fd, F_OFD_SETLK, &wanted) == -1) return -errno;
    // A close(2) unlocks the whole file: the owner holds nothing more here.
    if (wholeFile(wanted)) {
      std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
      auto& table = owners();
      const auto found = table.find(std::make_pair(carrier.file, carrier.owner));
      if (found != table.end() && found->second == carrier.descriptor) table.erase(found);
    }
    return 0;
  }
  return untilFree(cmd == F_SETLKW, [&] {
    struct flock attempt = wanted;
    return fcntl(fd, F_OFD_SETLK, &attempt) == 0 ? 0 : -errno;
  });
}

int applyFlock(LockCarrier& carrier, int op) {
  if (carrier.descriptor == nullptr) return 0;
  const int fd = carrier.descriptor->fd;
  if ((op & LOCK_UN) != 0) return flock(fd, LOCK_UN) == 0 ? 0 : -errno;
  const int kind = op & (LOCK_SH | LOCK_EX);
  return untilFree((op & LOCK_NB) == 0,
                   [&] { return flock(fd, kind | LOCK_NB) == 0 ? 0 : -errno; });
}

void dropHandleLocks(const FileHandle& h) {
  Descriptor gone;  // closed outside the table's lock
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  auto& table = flocks();
  if (const auto found = table.find(&h); found != table.end()) {
    gone = std::move(found->second);
    table.erase(found);
  }
}
