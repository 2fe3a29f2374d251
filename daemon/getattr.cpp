// The attributes of a name: its records looked up, checked against the
// physical file, and written the first time the file is met.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "handle.h"
#include "log.h"
#include "mapping.h"
#include "operations.h"
#include "plain.h"
#include "records.h"
#include "recovery.h"
#include "state.h"

namespace {

// What the index holds for a name, read in one transaction that ends
// before anything is stored.
struct StoredRecords {
  std::string physical;
  bool named = false;  // a ".name" record gives the physical name
  FileCommands commands;
  struct stat attributes;
  bool hasAttributes = false;
  struct timespec stamps[2];
  bool hasStamps = false;
  FileIdentity identity;
  bool hasIdentity = false;
  // Read only where no attributes are stored: a size recorded without them
  // by an earlier version. MDB_NOTFOUND: none.
  int64_t size = 0;
  int sizeRc = MDB_NOTFOUND;

  bool any() const { return hasAttributes || sizeRc == 0 || hasStamps; }
};

StoredRecords lookUpRecords(const std::string& logical) {
  StoredRecords rec;
  MetaSnapshot meta("meta");
  rec.named = meta.text(logical, META_NAME, rec.physical) == 0;
  readStoredCommands(meta, logical, rec.commands);
  rec.hasAttributes = meta.fixed(logical, META_STAT, &rec.attributes, sizeof rec.attributes) == 0;
  rec.hasStamps = meta.fixed(logical, META_MTIME, rec.stamps, sizeof rec.stamps) == 0;
  rec.hasIdentity = meta.fixed(logical, META_IDENT, &rec.identity, sizeof rec.identity) == 0;
  if (!rec.hasAttributes) rec.sizeRc = meta.fixed(logical, META_SIZE, &rec.size, sizeof rec.size);
  return rec;
}

// The physical name of a name without a ".name" record: its write rule's,
// or, where that leads nowhere, a file another program put under the root
// (or a view's file), found by name as a listing would show it without
// listing its directory.
std::string physicalOfUnrecorded(const std::string& logical, uint32_t* flags) {
  std::string physical = getPhysicalPath(logical, flags, nullptr);
  struct stat probe;
  if (lstat(physical.c_str(), &probe) != 0 && errno == ENOENT) {
    if (std::string found = physicalByReadRules(logical); !found.empty()) return found;
  }
  return physical;
}

// Records whose physical file has gone (removed behind the daemon's back)
// describe nothing: they go, so that the name is absent and can be made
// again. A file being written keeps them. Whether they went.
bool dropGhostRecords(const std::string& logical, const std::string& physical,
                      const StoredRecords& rec, int error, CallerPrefix& caller) {
  if (error != ENOENT || !rec.any() || writerOpen(logical)) return false;
  logCaller(LOG_INFO, caller, "[getattr] %s: %s has gone, records dropped\n", logical.c_str(),
            physical.c_str());
  MetaBatch().erase(logical, META_ALL, "meta").erase(physical, META_ALL, "real").commit();
  return true;
}

// Whether records no longer describe the physical file as it is now:
// another program changed it, a writer died (the stamps still the zero
// ones of a conversion's start), or they were written before records
// carried an identity.
bool recordsStale(const StoredRecords& rec, const struct stat& now) {
  static const struct timespec zero[2] = {};
  return !rec.hasIdentity || !sameIdentity(rec.identity, identityOf(now)) ||
         (rec.hasStamps && std::memcmp(rec.stamps, zero, sizeof zero) == 0);
}

// The stored attributes, derived again first where they are stale.
int recordedAttributes(const std::string& logical, const std::string& physical,
                       const StoredRecords& rec, struct stat* st, CallerPrefix& caller) {
  *st = rec.attributes;
  struct stat now;
  if (lstat(physical.c_str(), &now) != 0) {
    if (dropGhostRecords(logical, physical, rec, errno, caller)) return -ENOENT;
  } else if (recordsStale(rec, now)) {
    validateRecords(logical);
    readMetaFixed(logical, META_STAT, st, sizeof *st);
  }
  return 0;
}

// The attributes of a name without stored attributes: the physical file's
// with the recorded converted size, or, the first time the file is met,
// measured and recorded (MAP_NAME_KNOWN then added to `flags`).
int unrecordedAttributes(std::string& logical, const std::string& physical,
                         const StoredRecords& rec, struct stat* st, uint32_t* flags,
                         CallerPrefix& caller) {
  if (lstat(physical.c_str(), st) != 0) {
    const int error = errno;
    if (dropGhostRecords(logical, physical, rec, error, caller)) return -ENOENT;
    logCaller(LOG_DEBUG, caller, "[getattr] res=%d lstat(%s) failed %s\n", rec.sizeRc,
              physical.c_str(), std::strerror(error));
    if (rec.sizeRc == MDB_NOTFOUND && updateVaskInfo(logical, physical, st) != 0) {
      logAt(LOG_DEBUG, "no entry found, set statRC=-1\n");
      return -ENOENT;
    }
    return -error;
  }
  if (rec.sizeRc == 0) {
    st->st_size = rec.size;
    if (rec.named) validateRecords(logical);
  } else if (rec.sizeRc == MDB_NOTFOUND) {
    if (updateVaskInfo(logical, physical, st) != 0) {
      logAt(LOG_DEBUG, "no entry found, set statRC=-1\n");
      return -ENOENT;
    }
    *flags |= MAP_NAME_KNOWN;
  }
  return 0;
}

}  // namespace

int vaskFS_getattr(const char* path, struct stat* st, fuse_file_info* fi) try {
  // fstat(2) of an open plain file, also once its name is gone.
  if (const FileHandle* open = handleOf(fi); open != nullptr && open->plain) {
    if (fstat(open->fd, st) == -1) return -errno;
    if (vaskfsArgs.viewMode) st->st_mode &= ~static_cast<mode_t>(0222);
    return 0;
  }
  std::string logical = logicalName(path);
  CallerPrefix caller;
  if (lstat(logical.c_str(), st) == 0) {
    if (!S_ISREG(st->st_mode)) {
      logCaller(LOG_DEBUG, caller, "[getattr] %s NO regular file\n", logical.c_str());
      return 0;
    }
    logCaller(LOG_DEBUG, caller, "[getattr] %s UNEXPECTEDLY found\n", logical.c_str());
  }

  const StoredRecords rec = lookUpRecords(logical);
  uint32_t flags = 0;
  std::string physical;
  if (rec.named) {
    flags = MAP_NAME_KNOWN;
    physical = rec.physical;
    logAt(LOG_INFO, "map user path: %s to real path: %s\n", logical.c_str(), physical.c_str());
  } else {
    physical = physicalOfUnrecorded(logical, &flags);
  }

  // A physical file first met under another name than its read rule gives
  // it belongs to that name.
  FileCommands commands = rec.commands;
  if (plainFile(logical, physical, commands, false) &&
      (rec.named || commands.shownAs == logical)) {
    logCaller(LOG_DEBUG, caller, "[getattr] %s stored unchanged as %s\n", logical.c_str(),
              physical.c_str());
    return plainAttributes(logical, physical, rec.named, commands, st);
  }

  const int rc = rec.hasAttributes
                     ? recordedAttributes(logical, physical, rec, st, caller)
                     : unrecordedAttributes(logical, physical, rec, st, &flags, caller);
  if (logOn(LOG_INFO)) {
    if ((flags & MAP_NAME_KNOWN) != 0) {
      logCaller(LOG_INFO, caller, "[getattr] %s mapped to %s\n", logical.c_str(), physical.c_str());
    } else {
      logCaller(LOG_INFO, caller, "[getattr] %s\n", logical.c_str());
    }
  }
  if (rc != 0) return rc;
  if (vaskfsArgs.viewMode) st->st_mode &= ~static_cast<mode_t>(0222);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
