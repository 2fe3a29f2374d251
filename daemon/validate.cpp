// The records as a cache of the physical file: each carries the identity of
// the file it describes, every lookup compares it with the file, and a file
// another program changed is examined again. The writer lock keeps two
// processes on one root (a second mount, a view, another host) from
// recovering or re-recording a file while the other writes it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "identity.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "recovery.h"
#include "cutfile.h"

FileIdentity identityOf(const struct stat& physical) {
  FileIdentity id;
  id.device = physical.st_dev;
  id.inode = physical.st_ino;
  id.size = physical.st_size;
  id.modified = physical.st_mtim;
  id.changed = physical.st_ctim;
  return id;
}

bool sameIdentity(const FileIdentity& a, const FileIdentity& b) {
  auto same = [](const timespec& x, const timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         same(a.modified, b.modified) && same(a.changed, b.changed);
}

int editStoredStat(const std::string& logical, const std::string& physical,
                   const std::function<void(struct stat&)>& edit) {
  struct stat stored;
  FileIdentity known;
  bool identified;
  {
    MetaSnapshot meta("meta");
    if (const int rc = meta.fixed(logical, META_STAT, &stored, sizeof stored); rc != 0) return rc;
    identified = meta.fixed(logical, META_IDENT, &known, sizeof known) == 0;
  }
  edit(stored);
  MetaBatch batch;
  batch.put(logical, META_STAT, "meta", &stored, sizeof stored);
  struct stat now;
  if (identified && lstat(physical.c_str(), &now) == 0) {
    const FileIdentity fresh = identityOf(now);
    batch.put(logical, META_IDENT, "meta", &fresh, sizeof fresh);
  }
  return batch.commit();
}

// ---- the writer lock --------------------------------------------------------

namespace {

struct SharedLock {
  int fd = -1;
  int holders = 0;
};

// Guards the table of writer locks by inode; a leaf: nothing else is
// locked while it is held.
std::mutex lockTableMutex;
std::map<std::pair<dev_t, ino_t>, SharedLock>& lockTable() {
  static std::map<std::pair<dev_t, ino_t>, SharedLock> table;
  return table;
}

struct flock wholeFile(short type) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

int takeWriterLock(FileHandle& h) {
  if (h.writerLock || h.plain) return 0;
  // As the writer: a caller who cannot open the file for writing cannot
  // write it either, and its conversion fails with the real reason.
  const int fd = open(h.physicalPath.c_str(),
                      O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  std::lock_guard<std::mutex> guard(lockTableMutex);
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  auto& table = lockTable();
  if (auto found = table.find(key); found != table.end()) {
    close(fd);
    ++found->second.holders;
  } else {
    struct flock lock = wholeFile(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) == -1) {
      const int e = errno;
      close(fd);
      if (e == EAGAIN || e == EACCES) {
        logAt(LOG_INFO, "%s is written by another process\n", h.physicalPath.c_str());
        return -EBUSY;
      }
      // A file system without locks: nothing to keep apart there.
      logAt(LOG_DEBUG, "no writer lock on %s: %s\n", h.physicalPath.c_str(), std::strerror(e));
      return 0;
    }
    table[key] = SharedLock{fd, 1};
  }
  h.writerLock = true;
  h.lockDevice = st.st_dev;
  h.lockInode = st.st_ino;
  return 0;
}

void dropWriterLock(FileHandle& h) {
  if (!h.writerLock) return;
  h.writerLock = false;
  std::lock_guard<std::mutex> guard(lockTableMutex);
  auto& table = lockTable();
  const auto found = table.find(std::make_pair(h.lockDevice, h.lockInode));
  if (found == table.end() || --found->second.holders > 0) return;
  close(found->second.fd);  // the lock goes with its open file description
  table.erase(found);
}

bool writerLockHeld(const std::string& physical) {
  // As the daemon: the state of a lock is no secret of the file's data, and
  // a caller who may not read the file must not make a writer invisible.
  DaemonIdentity daemon;
  const int fd =
      open(physical.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return false;
  struct flock lock = wholeFile(F_WRLCK);
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

// ---- validation -------------------------------------------------------------

namespace {

// The converted size of `physical` by the command that reads it; -1 when it
// cannot be found.
int64_t convertedSize(const std::string& logical, const std::string& physical,
                      const FileCommands& c) {
  std::string command = c.read, format = c.readFormat;
  if (!c.hasRead) {
    ConfigEntry rule;
    initConfEntry(rule);
    if (getConf4Name(physical, rule, SEARCH_MATCH, "confR") != 0) return -1;
    command = rule.fileString;
    insertName(command, physical);
    format = rule.formatString;
  }
  if (format.empty()) format = "format.bin()";
  auto trace = std::make_unique<char[]>(2 * XIO_TRACE_SIZE);
  trace[0] = '\0';
  const int64_t size = xiopsize(trace.get(), command.c_str(), format.c_str());
  if (trace[0] != '\0')
    logAt(LOG_ERROR, "ERROR TRACE of xiopsize(%s %s) for %s:\n%s\n",
          xiomask(command.c_str()).c_str(), format.c_str(), logical.c_str(), trace.get());
  return size;
}

}  // namespace

void validateRecords(const std::string& logical) {
  if (vaskfsArgs.env == nullptr || logical == ".") return;
  std::string physical;
  FileCommands commands;
  struct stat stored;
  FileIdentity known;
  struct timespec stamps[2];
  bool hasStat, identified, started;
  {
    MetaSnapshot meta("meta");
    if (meta.text(logical, META_NAME, physical) != 0) return;
    static const struct timespec zero[2] = {};
    started = meta.fixed(logical, META_MTIME, stamps, sizeof stamps) == 0 &&
              std::memcmp(stamps, zero, sizeof zero) == 0;
    readStoredCommands(meta, logical, commands);
    hasStat = meta.fixed(logical, META_STAT, &stored, sizeof stored) == 0;
    identified = meta.fixed(logical, META_IDENT, &known, sizeof known) == 0;
  }
  // The zero stamps of a write conversion's start: its writer may have died.
  if (started && recoverInterrupted(logical)) return;
  struct stat now;
  // Gone: the lookup drops the records. Not a regular file: not ours.
  if (lstat(physical.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) return;
  if (identified && sameIdentity(known, identityOf(now))) return;
  // Plain files show their physical file's attributes: nothing to derive.
  const FileCommands& c = commands;
  if ((c.hasRead || c.hasWrite) && (!c.hasRead || plainCommands(c.read, c.readFormat)) &&
      (!c.hasWrite || plainCommands(c.write, c.writeFormat)))
    return;
  // Being written, here or by another process: its records are the
  // writer's until it ends.
  if (writerOpen(logical) || writerLockHeld(physical)) return;
  int64_t size = convertedSize(logical, physical, commands);
  // Cut off by a writer that died elsewhere (another host, another mount).
  if (size < 0 && recoverCutFile(logical, physical) && lstat(physical.c_str(), &now) == 0)
    size = convertedSize(logical, physical, commands);
  struct stat fresh = now;
  // A file that cannot be decoded keeps its physical size; reading it
  // reports the failure.
  if (size >= 0) fresh.st_size = size;
  if (vaskfsArgs.viewMode) fresh.st_mode &= ~static_cast<mode_t>(0222);
  const FileIdentity id = identityOf(now);
  const struct timespec times[2] = {now.st_atim, now.st_mtim};
  if (logOn(LOG_INFO))
    logAt(LOG_INFO, "%s changed outside the mount: %lld bytes (recorded %lld)\n", physical.c_str(),
          static_cast<long long>(fresh.st_size),
          hasStat ? static_cast<long long>(stored.st_size) : -1LL);
  MetaBatch()
      .put(logical, META_STAT, "meta", &fresh, sizeof fresh)
      .put(logical, META_IDENT, "meta", &id, sizeof id)
      .put(logical, META_MTIME, "meta", times, sizeof times)
      .erase(logical, META_SIZE, "meta")
      .commit();
}
