// Files stored unchanged: the rules that write and read them convert
// nothing, so they are served by the physical file's own descriptor, at any
// offset, through the kernel's page cache, with the physical file's
// attributes. Databases, linkers and editors need exactly that.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "corekit/corekit.h"
#include "state.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "passthrough.h"

namespace {

// The command a rule gives for `name`, with `inserted` put into it, and
// the name its target pattern makes of `name`.
bool ruleCommands(const std::string& name, const char* dbName, const std::string& inserted,
                  std::string& command, std::string& format, std::string* target = nullptr) {
  ConfigEntry rule;
  initConfEntry(rule);
  if (getConf4Name(name, rule, SEARCH_MATCH, dbName) != 0) return false;
  command = rule.fileString;
  insertName(command, inserted);
  format = rule.formatString;
  if (target != nullptr && pat2str(name, rule.targetPattern, *target) > 0 && !target->empty() &&
      (*target)[0] == '/')
    target->erase(0, 1);
  return true;
}

// What a plain file looked like when its page cache was last known to be
// right: at its last open or the release of a writer. The cache is kept at
// the next open only when the physical file is still the same.
struct CacheStamp {
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
};

bool sameStamp(const CacheStamp& a, const struct stat& st) {
  return a.ino == st.st_ino && a.size == st.st_size && a.mtime.tv_sec == st.st_mtim.tv_sec &&
         a.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

std::mutex& stampLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<std::string, CacheStamp>& cacheStamps() {
  static std::unordered_map<std::string, CacheStamp> stamps;
  return stamps;
}

// Records the physical file's stamp; true when it equals the one before.
bool rememberStamp(const std::string& physical, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  std::lock_guard<std::mutex> guard(stampLock());
  CacheStamp& stamp = cacheStamps()[physical];
  const bool same = sameStamp(stamp, st);
  stamp = {st.st_ino, st.st_size, st.st_mtim};
  return same;
}

}  // namespace

void readStoredCommands(MetaSnapshot& meta, std::string_view logical, FileCommands& c) {
  c.hasWrite = meta.text(logical, META_WRITE, c.write) == 0;
  if (c.hasWrite && meta.text(logical, META_WFORMAT, c.writeFormat) != 0) c.writeFormat.clear();
  c.hasRead = meta.text(logical, META_READ, c.read) == 0;
  if (c.hasRead && meta.text(logical, META_RFORMAT, c.readFormat) != 0) c.readFormat.clear();
}

bool plainFile(const std::string& logical, const std::string& physical, FileCommands& c,
               bool ruleInForce) {
  // A stored side that converts settles it without looking at the rules.
  if (c.hasRead && !plainCommands(c.read, c.readFormat)) return false;
  if (c.hasWrite && !ruleInForce && !plainCommands(c.write, c.writeFormat)) return false;
  if (!c.hasWrite || ruleInForce) {
    std::string command, format;
    if (ruleCommands(logical, "confW", physical, command, format)) {
      c.write = std::move(command);
      c.writeFormat = std::move(format);
      c.hasWrite = true;
      c.learnt = true;
    }
  }
  if (!c.hasRead) {
    if (!ruleCommands(physical, "confR", physical, c.read, c.readFormat, &c.shownAs))
      return false;
    c.hasRead = true;
    c.learnt = true;
  }
  return c.hasWrite && plainCommands(c.write, c.writeFormat) &&
         plainCommands(c.read, c.readFormat);
}

void addPlainRecords(MetaBatch& batch, const std::string& logical, const std::string& physical,
                     const FileCommands& c) {
  batch.put(logical, META_NAME, "meta", physical)
      .put(physical, META_NAME, "real", logical)
      .put(logical, META_WRITE, "meta", c.write)
      .put(logical, META_WFORMAT, "meta", c.writeFormat)
      .put(logical, META_READ, "meta", c.read)
      .put(logical, META_RFORMAT, "meta", c.readFormat);
}

int storePlainRecords(const std::string& logical, const std::string& physical,
                      const FileCommands& c) {
  MetaBatch batch;
  addPlainRecords(batch, logical, physical, c);
  return batch.commit();
}

int openPlain(FileHandle& h, fuse_file_info* fi, bool create, mode_t mode) {
  const int access = fi->flags & O_ACCMODE;
  if (vaskfsArgs.viewMode && access != O_RDONLY) return -EACCES;
  // A file the kernel serves from its physical file stays stored unchanged
  // until those opens are closed (passthrough.h).
  const bool rewrite = create || (access != O_RDONLY && (fi->flags & O_TRUNC) != 0 &&
                                  !passedThroughOpen(h.logicalPath, &h));
  FileCommands c;
  if (!create) {
    MetaSnapshot meta("meta");
    readStoredCommands(meta, h.logicalPath, c);
  }
  // A rewrite from the start takes the write rule in force; a change in
  // place keeps the file as it is stored.
  // A name whose kernel inode the kernel serves from a plain file takes no
  // converted open until those are closed (passthrough.h).
  if (!plainFile(h.logicalPath, h.physicalPath, c, rewrite))
    return passedThroughOpen(h.logicalPath, &h) ? -EBUSY : 1;
  if (const int busy = kernelInodeBusy(h); busy != 0) return busy;
  // The kernel has checked the access already and hands the flags on; the
  // application's O_DIRECT would ask for aligned buffers the daemon does
  // not have.
  int flags = fi->flags & ~(O_CREAT | O_EXCL | O_NOCTTY | O_DIRECT);
  if (create) flags |= O_CREAT | (fi->flags & O_EXCL);
  h.fd = open(h.physicalPath.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (h.fd == -1) return -errno;
  h.plain = true;
  h.direction = access == O_RDONLY ? 0 : 1;
  fi->direct_io = 0;
  fi->keep_cache = rememberStamp(h.physicalPath, h.fd) && !create ? 1 : 0;
  if (create || c.learnt || (h.mapFlags & MAP_NAME_KNOWN) == 0)
    storePlainRecords(h.logicalPath, h.physicalPath, c);
  h.mapFlags |= MAP_NAME_KNOWN | MAP_HAS_WRITE;
  return 0;
}

void releasePlain(FileHandle& h) {
  // What this handle wrote went through the page cache, which is therefore
  // right for the next open.
  if (h.direction != 0) rememberStamp(h.physicalPath, h.fd);
}

int plainAttributes(const std::string& logical, const std::string& physical, bool recorded,
                    const FileCommands& c, struct stat* st) {
  if (lstat(physical.c_str(), st) != 0) {
    const int e = errno;
    if (e == ENOENT && recorded) {
      logAt(LOG_INFO, "[getattr] %s: %s has gone, records dropped\n", logical.c_str(),
            physical.c_str());
      MetaBatch().erase(logical, META_ALL, "meta").erase(physical, META_ALL, "real").commit();
    }
    return -e;
  }
  if (c.learnt || !recorded) storePlainRecords(logical, physical, c);
  if (vaskfsArgs.viewMode) st->st_mode &= ~static_cast<mode_t>(0222);
  return 0;
}
