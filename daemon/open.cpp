// Opening and creating files through the conversion interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "corekit/corekit.h"
#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "identity.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "recovery.h"
#include "operations.h"
#include "xattr.h"
#include "cutfile.h"

int64_t recordedSize(const std::string& logical) {
  struct stat st;
  if (readMetaFixed(logical, META_STAT, &st, sizeof st) == 0) return st.st_size;
  int64_t size = 0;
  if (readMetaFixed(logical, META_SIZE, &size, sizeof size) == 0) return size;
  return 0;
}

std::string stateText(const std::string& logical) {
  char comment[64];
  std::snprintf(comment, sizeof comment, "vaskFS version %s-%d", VASKFS_VERSION, VASKFS_BUILD);
  std::string text;
  text.reserve(logical.size() + 64);
  text.append("state(file='").append(doubleApostrophes(logical));
  text.append("' comment='").append(comment).append("')");
  return text;
}

namespace {

void logXioOpen(CallerPrefix& caller, const FileHandle& h, const std::string& state) {
  if (!logOn(LOG_DEBUG)) return;
  logCaller(LOG_DEBUG, caller, "[xioopen] '%s' '%s' '%s' (offset=%lld)\n",
            xiomask(h.conf.fileString.c_str()).c_str(), h.conf.formatString.c_str(), state.c_str(),
            static_cast<long long>(h.offset));
}

// Looks the write rule up again when building the handle found none.
bool findWriteRule(FileHandle& h) {
  if (h.conf.isSet == 1) return true;
  if (getConf4Name(h.logicalPath, h.conf, SEARCH_MATCH, "confW") != 0) return false;
  insertName(h.conf.fileString, h.physicalPath);
  return true;
}

void readFormatOrBin(const FileHandle& h, uint32_t kind, std::string& out) {
  if (readMetaText(h.logicalPath, kind, "meta", out) != 0) out = "format.bin()";
}


// Chooses file and format string for the direction; 0 or a negated errno.
int chooseCommands(FileHandle& h, int flags) {
  std::string stored;
  if ((flags & O_ACCMODE) == O_WRONLY) {
    h.direction = 1;
    if (!findWriteRule(h)) {
      if (readMetaText(h.logicalPath, META_WRITE, "meta", h.conf.fileString) != 0) return -ENOENT;
      readFormatOrBin(h, META_WFORMAT, h.conf.formatString);
    }
    if ((flags & O_APPEND) != 0) {
      h.offset = recordedSize(h.logicalPath);
      h.followsEnd = true;
    }
    return 0;
  }
  h.direction = 0;
  if (readMetaText(h.logicalPath, META_WRITE, "meta", stored) == 0) h.mapFlags |= MAP_HAS_WRITE;
  if (h.useIR != 0 && readMetaText(h.logicalPath, META_READ, "meta", h.conf.fileString) == 0) {
    readFormatOrBin(h, META_RFORMAT, h.conf.formatString);
    return 0;
  }
  if (getConf4Name(h.physicalPath, h.conf, SEARCH_MATCH, "confR") != 0) return -ENOENT;
  insertName(h.conf.fileString, h.physicalPath);
  return 0;
}

// Whether the physical file belongs to another logical name ("k.txt.gz"
// written by a catch-all rule where "k.txt" is stored): writing it would
// give two names one physical file.
bool takenByAnother(const FileHandle& h) {
  std::string owner;
  return readMetaText(h.physicalPath, META_NAME, "real", owner) == 0 && owner != h.logicalPath;
}

// A rewrite from the start takes the physical name of the write rule in
// force (its conversion comes from that rule already), unless that name
// holds another file; the old physical file stays until the new is whole.
void followRuleInForce(FileHandle& h) {
  if (h.conf.isSet != 1) return;
  const std::string built = ruleName(h.logicalPath);
  if (built.empty() || built == h.physicalPath) return;
  if (exists(built) && ownerOf(built) != h.logicalPath) return;
  const std::string from = "'" + doubleApostrophes(h.physicalPath) + "'";
  const size_t at = h.conf.fileString.find(from);
  if (at == std::string::npos) return;
  h.conf.fileString.replace(at, from.size(), "'" + doubleApostrophes(built) + "'");
  h.replacedPhysical = h.physicalPath;
  setPhysicalName(h, built);
  h.mapFlags &= ~MAP_NAME_KNOWN;  // the new name pair is stored at the start
}

}  // namespace

void finishReplacement(FileHandle& h) {
  if (h.replacedPhysical.empty()) return;
  if (unlink(h.replacedPhysical.c_str()) == -1 && errno != ENOENT)
    logAt(LOG_ERROR, "cannot remove %s, replaced by %s: %s\n", h.replacedPhysical.c_str(),
          h.physicalPath.c_str(), std::strerror(errno));
  deleteMeta(h.replacedPhysical, META_ALL, "real");
  h.replacedPhysical.clear();
}

int startConversion(FileHandle& h) {
  h.openPending = false;
  CallerPrefix caller;
  std::string state;
  if (h.direction != 0) state = stateText(h.logicalPath);
  logXioOpen(caller, h, state);
  // Before the conversion cuts or appends to the file: a writer in another
  // process must not be written over.
  const bool made =
      h.direction != 0 && h.offset == 0 && makeToLock(h.physicalPath, h.conf.fileString);
  if (h.direction != 0)
    if (const int rc = takeWriterLock(h); rc != 0) return rc;
  h.errorTrace[0] = '\0';
  errno = 0;
  h.convHandle = xiopopen(h.errorTrace, h.conf.fileString.c_str(), h.conf.formatString.c_str(),
                          h.direction != 0 ? &state : nullptr, h.offset);
  if (h.convHandle == nullptr) {
    const int e = errno;
    keepTrace(h, "xioopen");
    if (made) unmakeToLock(h.physicalPath);
    dropWriterLock(h);
    return -e;
  }
  // A file the conversion has just made is locked now that it exists.
  if (h.direction != 0) takeWriterLock(h);
  logAt(LOG_DEBUG, "xioopen returned hdl = %p\n", static_cast<void*>(h.convHandle));
  MetaBatch records;
  if (h.direction != 0) {
    const struct timespec zero[2] = {};
    records.put(h.logicalPath, META_WRITE, "meta", h.conf.fileString)
        .put(h.logicalPath, META_WFORMAT, "meta", h.conf.formatString)
        .put(h.logicalPath, META_MTIME, "meta", zero, sizeof zero);
  }
  if ((h.mapFlags & MAP_NAME_KNOWN) == 0) {
    records.put(h.logicalPath, META_NAME, "meta", h.physicalPath)
        .put(h.physicalPath, META_NAME, "real", h.logicalPath);
  }
  records.commit();
  return 0;
}

namespace {

// The kernel's open of a program it is about to run (execve, or the
// interpreter of a script), marked in the flags it passes on; open(2)
// drops the bit, so no application can ask for it.
constexpr int kExecOpen = 0x20;

// Whether an open is the kernel's for running the file, with its execute
// permission already checked by the kernel: an execute-only program
// (0711) is run by users who may not read it, so the daemon reads its
// physical file itself. Reading it with read(2) stays refused by the kernel.
bool executeOpen(const fuse_file_info* fi) {
  return vaskfsArgs.defaultPermissions && (fi->flags & kExecOpen) != 0 &&
         (fi->flags & O_ACCMODE) == O_RDONLY;
}

}  // namespace

int vaskFS_open(const char* path, fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode && (fi->flags & O_ACCMODE) == O_WRONLY) return -EACCES;
  std::optional<DaemonIdentity> asDaemon;
  if (executeOpen(fi)) asDaemon.emplace();
  validateRecords(logicalName(path));
  FileHandlePtr h = initNewHandle(path);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[open] %s\n", h->logicalPath.c_str());
  logOpenFlags(fi->flags);
  const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  if (writing && takenByAnother(*h)) return -EEXIST;
  if (const int rc = openPlain(*h, fi, false, 0); rc <= 0) {
    if (rc == 0) fi->fh = reinterpret_cast<uint64_t>(h.release());
    return rc;
  }
  // Sizes and offsets of a converted file are the converted ones: the
  // kernel must not cache or map its pages.
  fi->direct_io = 1;
  if (const int rc = chooseCommands(*h, fi->flags); rc != 0) return rc;
  // Writers of one converted file share its one stream: an O_APPEND open
  // joins it at its end; another kind of write cannot be served meanwhile.
  if (h->direction != 0 && streamBusy(h->logicalPath, h.get()) &&
      (fi->flags & (O_APPEND | O_TRUNC)) != O_APPEND)
    return -EBUSY;
  // Another process (a second mount of the root) writing the file: its
  // stream cannot be joined from here, so the writer is told at open.
  if (h->direction != 0 && openWriters(h->logicalPath).size() == 1 &&
      writerLockHeld(h->physicalPath))
    return -EBUSY;
  if (h->direction != 0 && (fi->flags & O_TRUNC) != 0) {
    followRuleInForce(*h);
    if (takenByAnother(*h)) return -EEXIST;
  }
  // Opening a converted stream for writing replaces the file. Without
  // O_TRUNC that waits for the first write, so that an open which writes
  // nothing (touch, an editor's probe) leaves the data as it was.
  if (h->direction != 0 && (fi->flags & O_TRUNC) == 0) {
    h->openPending = true;
  } else if (const int rc = startConversion(*h); rc != 0) {
    return rc;
  }
  h->bytesWritten = 0;
  fi->fh = reinterpret_cast<uint64_t>(h.release());
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_create(const char* path, mode_t mode, fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  // Two processes may both have found the name missing: the later one
  // opens the stream the first has begun instead of starting it again.
  if (streamBusy(logicalName(path), nullptr)) {
    if ((fi->flags & O_EXCL) != 0) return -EEXIST;
    return vaskFS_open(path, fi);
  }
  FileHandlePtr h = initNewHandle(path);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[create] %s\n", h->logicalPath.c_str());
  logOpenFlags(fi->flags);
  const bool ruled = findWriteRule(*h);
  h->bytesWritten = 0;
  h->direction = 3;
  // ">>" of a name not there yet: every write goes to the end, as an
  // O_APPEND open's does, also after other writers have joined.
  h->followsEnd = (fi->flags & O_APPEND) != 0;
  h->convHandle = nullptr;
  // Creating needs a write rule; stored commands are not consulted.
  if (!ruled) return -ENOENT;
  if (takenByAnother(*h)) return -EEXIST;
  mode = creationMode(h->physicalPath, mode);
  if (const int rc = openPlain(*h, fi, true, mode); rc <= 0) {
    if (rc == 0) fi->fh = reinterpret_cast<uint64_t>(h.release());
    return rc;
  }
  fi->direct_io = 1;

  std::string state = stateText(h->logicalPath);
  logXioOpen(caller, *h, state);
  const bool made = makeToLock(h->physicalPath, h->conf.fileString);
  if (const int rc = takeWriterLock(*h); rc != 0) return rc;
  h->errorTrace[0] = '\0';
  errno = 0;
  h->convHandle =
      xiopopen(h->errorTrace, h->conf.fileString.c_str(), h->conf.formatString.c_str(), &state, 0);
  if (h->convHandle == nullptr) {
    const int e = errno;
    if (made) unmakeToLock(h->physicalPath);
    if (h->errorTrace[0] != '\0') logAt(LOG_ERROR, "Error trace of xioopen:\n%s\n", h->errorTrace);
    // Without a handle there is nothing to write through: never report a
    // created file that cannot take data.
    return e != 0 ? -e : -EIO;
  }
  logAt(LOG_DEBUG, "xioopen returned hdl = %p\n", static_cast<void*>(h->convHandle));
  takeWriterLock(*h);

  // The new file's attributes until its release: those of the physical
  // file just made (its owner is the caller, its group as the directory
  // gives it), with the mode asked for and nothing written yet. Where it
  // cannot be read, those of its directory.
  struct stat st;
  std::memset(&st, 0xFF, sizeof st);
  int rc = lstat(h->physicalPath.c_str(), &st);
  if (rc != 0) {
    std::string dir;
    if (pat2str(h->physicalPath, "[path]", dir) <= 0 || dir.empty()) dir = ".";
    rc = lstat(dir.c_str(), &st);
  }
  st.st_size = 0;
  st.st_ino = 0;
  st.st_blocks = 0;
  st.st_nlink = 1;  // not the directory's count: tools take more for hard links
  st.st_mode = mode | S_IFREG;
  if (logOn(LOG_INFO)) logAt(LOG_INFO, "lstat(%s) returned %d\n", h->physicalPath.c_str(), rc);
  const struct timespec zero[2] = {};
  const FileHandle& f = *h;
  writeMetaRecords(
      {{f.logicalPath, META_WRITE, "meta", f.conf.fileString.data(), f.conf.fileString.size()},
       {f.logicalPath, META_WFORMAT, "meta", f.conf.formatString.data(),
        f.conf.formatString.size()},
       {f.logicalPath, META_NAME, "meta", f.physicalPath.data(), f.physicalPath.size()},
       {f.physicalPath, META_NAME, "real", f.logicalPath.data(), f.logicalPath.size()},
       {f.logicalPath, META_MTIME, "meta", zero, sizeof zero},
       {f.logicalPath, META_STAT, "meta", &st, sizeof st}});

  h->mapFlags |= MAP_NAME_KNOWN | MAP_HAS_WRITE;
  fi->fh = reinterpret_cast<uint64_t>(h.release());
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
