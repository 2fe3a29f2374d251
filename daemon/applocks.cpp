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
#include <chrono>
#include <condition_variable>
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
// Signalled, under tableMutex, when a handle's flock descriptor goes.
std::condition_variable flockDropped;

using Clock = std::chrono::steady_clock;

// How long after a close a flock that finds the file locked waits for the
// holder's release: the kernel sends that release after close(2) has
// returned, and another serving thread may still be on it. A holder that
// outlives the close (a dup or a child's copy) keeps its lock, and a
// refusal within this time comes at its end.
constexpr std::chrono::milliseconds kClosingHolderWait{500};

struct FlockEntry {
  Descriptor descriptor;
  std::string file;  // the file's key
  // Until when its release, and with it the end of its lock, may be on
  // the way: one of its descriptors was closed (a flush).
  Clock::time_point closingUntil{};
};

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
std::unordered_map<const FileHandle*, FlockEntry>& flocks() {
  static std::unordered_map<const FileHandle*, FlockEntry> table;
  return table;
}

// Until when another handle's flock on `file` may be about to go. Called
// with tableMutex.
Clock::time_point holdersClosingUntil(const std::string& file, const FileHandle* self) {
  Clock::time_point until{};
  for (const auto& [h, entry] : flocks())
    if (h != self && entry.file == file) until = std::max(until, entry.closingUntil);
  return until;
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
  carrier.handle = &h;
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  auto& table = flocks();
  if (const auto found = table.find(&h); found != table.end()) {
    // A handle that locks again after a close is still open elsewhere.
    found->second.closingUntil = {};
    carrier.descriptor = found->second.descriptor;
    carrier.file = found->second.file;
    return 0;
  }
  if (unlock) return 0;
  std::string key;
  if (const int rc = fileKey(h, key); rc != 0) return rc;
  if (const int rc = openCarrier(h, key, carrier.descriptor); rc != 0) return rc;
  carrier.file = key;
  table.emplace(&h, FlockEntry{carrier.descriptor, key});
  return 0;
}

void noteHandleClosing(const FileHandle& h) {
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  if (const auto found = flocks().find(&h); found != flocks().end())
    found->second.closingUntil = Clock::now() + kClosingHolderWait;
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
  const auto attempt = [&] { return flock(fd, kind | LOCK_NB) == 0 ? 0 : -errno; };
  const bool wait = (op & LOCK_NB) == 0;
  const int rc = untilFree(wait, attempt);
  if (wait || rc != -EAGAIN) return rc;
  // close(2) of the holder's last descriptor ends its lock on a local
  // file before it returns; here that end comes with a release that may
  // not be served yet.
  {
    std::unique_lock<std::mutex> guard(tableMutex);  // the lock tables
    Clock::time_point until = holdersClosingUntil(carrier.file, carrier.handle);
    if (until <= Clock::now()) return rc;
    do {
      flockDropped.wait_until(guard, until);
      until = holdersClosingUntil(carrier.file, carrier.handle);
    } while (until > Clock::now());
  }
  return attempt() == 0 ? 0 : -EAGAIN;
}

void dropHandleLocks(const FileHandle& h) {
  Descriptor gone;
  {
    std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
    const auto found = flocks().find(&h);
    if (found == flocks().end()) return;
    gone = std::move(found->second.descriptor);
    found->second.closingUntil = Clock::now() + kClosingHolderWait;
  }
  // Closed outside the table's lock; the entry stays until the lock is
  // gone, so that a flock waiting for it does not try too early.
  gone.reset();
  std::lock_guard<std::mutex> guard(tableMutex);  // the lock tables
  flocks().erase(&h);
  flockDropped.notify_all();
}
