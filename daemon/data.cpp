// The data path: write, read, flush, fsync, release and truncate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <utility>

#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "recovery.h"
#include "operations.h"
#include "xattr.h"
#include "rename.h"

namespace {

// A read or write that comes without file information opens the logical
// name itself for the one call.
template <class Call>
int withoutHandle(const char* path, int flags, Call call) {
  FileHandlePtr h = initNewHandle(path);
  h->fd = open(h->logicalPath.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  if (h->fd == -1) return -errno;
  const int rc = call(*h);
  close(h->fd);
  h->fd = -1;
  return rc;
}

int pwriteAll(FileHandle& h, const char* data, size_t size, off_t offset) {
  const ssize_t n = pwrite(h.fd, data, size, offset);
  if (n == -1) return -errno;
  h.bytesWritten += static_cast<uint64_t>(n);
  return static_cast<int>(n);
}

// The reply of a failed conversion call: its trace kept, its errno negated.
int conversionFailed(FileHandle& h, const char* call) {
  const int e = errno != 0 ? errno : EIO;
  keepTrace(h, call);
  return -e;
}

int preadReply(int fd, char* buffer, size_t size, off_t offset) {
  const ssize_t n = pread(fd, buffer, size, offset);
  return n == -1 ? -errno : static_cast<int>(n);
}

void logWrite(FileHandle& h, size_t size, off_t offset) {
  if (!logOn(LOG_INFO)) return;
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[write] %s %llu bytes at offset %lld\n", h.logicalPath.c_str(),
            static_cast<unsigned long long>(size), static_cast<long long>(offset));
}

void logRead(FileHandle& h, size_t size, off_t offset) {
  if (!logOn(LOG_INFO)) return;
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[read] %llu bytes from %s at offset %lld\n",
            static_cast<unsigned long long>(size), h.logicalPath.c_str(),
            static_cast<long long>(offset));
}

// What release records after data was written: attributes with the
// converted size, times (the wanted ones when utimens asked for them).
void recordWrittenFile(FileHandle& h, CallerPrefix& caller) {
  if (!h.replacedPhysical.empty())
    copyXattrs(h.replacedPhysical.c_str(), h.physicalPath.c_str(), false);
  struct stat st = {};
  if (h.direction == 3 && readMetaFixed(h.logicalPath, META_STAT, &st, sizeof st) == 0) {
    fchmodat(AT_FDCWD, h.physicalPath.c_str(), st.st_mode & ~static_cast<mode_t>(S_IFREG),
             AT_SYMLINK_NOFOLLOW);
  }
  struct timespec pair[2];
  if (lstat(h.physicalPath.c_str(), &st) == 0) {
    pair[0] = st.st_atim;
    pair[1] = st.st_mtim;
  } else {
    readMetaFixed(h.logicalPath, META_STAT, &st, sizeof st);
    clock_gettime(CLOCK_REALTIME, &pair[0]);
    pair[1] = pair[0];
  }
  st.st_size = h.offset;
  struct timespec wanted[2];
  if (readMetaFixed(h.logicalPath, META_NEWTS, wanted, sizeof wanted) == 0) {
    if (utimensat(AT_FDCWD, h.physicalPath.c_str(), wanted, AT_SYMLINK_NOFOLLOW) == 0) {
      logCaller(LOG_TRACE, caller, "[release] %s and restore wanted TS\n", h.logicalPath.c_str());
      // The physical file now carries the wanted times with UTIME_NOW and
      // UTIME_OMIT resolved; only resolved times are stored.
      struct stat applied;
      if (lstat(h.physicalPath.c_str(), &applied) == 0) {
        wanted[0] = applied.st_atim;
        wanted[1] = applied.st_mtim;
      }
      pair[0] = wanted[0];
      pair[1] = wanted[1];
      st.st_atim = wanted[0];
      st.st_mtim = wanted[1];
    } else if (logOn(LOG_TRACE)) {
      logCaller(LOG_TRACE, caller, "[release] %s but restore of wanted TS failed.\n",
                h.logicalPath.c_str());
    }
  } else if (logOn(LOG_TRACE)) {
    logCaller(LOG_TRACE, caller, "[release] %s and store TS\n", h.logicalPath.c_str());
  }
  MetaBatch records;
  records.put(h.logicalPath, META_MTIME, "meta", pair, sizeof pair)
      .put(h.logicalPath, META_STAT, "meta", &st, sizeof st)
      .erase(h.logicalPath, META_NEWTS, "meta");
  // The physical file as this write left it: a later change by another
  // program shows as a difference.
  struct stat physical;
  if (lstat(h.physicalPath.c_str(), &physical) == 0) {
    const FileIdentity id = identityOf(physical);
    records.put(h.logicalPath, META_IDENT, "meta", &id, sizeof id);
  } else {
    records.erase(h.logicalPath, META_IDENT, "meta");
  }
  records.commit();
}

void storeInverse(FileHandle& h, CallerPrefix& caller, const std::string& command,
                  const std::string& format) {
  const bool writer = h.direction != 0;
  if (!command.empty()) {
    logCaller(LOG_TRACE, caller, "[release] %s inverse Command: %s\n", h.logicalPath.c_str(),
              xiomask(command.c_str()).c_str());
    writeMetaBytes(h.logicalPath, writer ? META_READ : META_WRITE, "meta", command.data(),
                   command.size());
  }
  if (!format.empty()) {
    logCaller(LOG_TRACE, caller, "[release] %s inverse Format: %s\n", h.logicalPath.c_str(),
              format.c_str());
    writeMetaBytes(h.logicalPath, writer ? META_RFORMAT : META_WFORMAT, "meta", format.data(),
                   format.size());
  }
}

}  // namespace

int vaskFS_write(const char* path, const char* data, size_t size, off_t offset,
                 fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  FileHandle* h = handleOf(fi);
  if (h == nullptr) {
    logAt(LOG_INFO, "\nAiiiiii ------------> no fuse_file_info, call open in write ...\n\n");
    return withoutHandle(path, O_WRONLY, [&](FileHandle& own) {
      logWrite(own, size, offset);
      return pwriteAll(own, data, size, offset);
    });
  }
  if (h->offset > offset) {
    logAt(LOG_ERROR, "%s: offset %lld is smaller than expected offset %lld\n",
          h->logicalPath.c_str(), static_cast<long long>(offset),
          static_cast<long long>(h->offset));
  }
  logWrite(*h, size, offset);
  if (h->fd != -1) return pwriteAll(*h, data, size, offset);
  if (h->openPending && h->removed) {
    // The name went after a flush ended the stream: a new conversion would
    // make the file again. The data goes where a removed file's goes, to
    // nowhere anyone can read it from (a converted file is written only).
    h->bytesWritten += size;
    h->offset = offset + static_cast<off_t>(size);
    return static_cast<int>(size);
  }
  CallerPrefix caller;
  // A stream that was ended goes on where the descriptor writes, unless
  // another writer has written past that since: then at the file's end, so
  // that nothing is written over and nothing lost.
  const bool took = takeStream(*h, caller);
  if (h->openPending && (took || h->followsEnd || h->ended)) {
    const int64_t end = recordedSize(h->logicalPath);
    if (h->followsEnd || offset < end) {
      h->offset = std::max<int64_t>(h->offset, end);
      h->followsEnd = true;
    } else if (h->offset < end) {
      // Another writer has written past this handle's own end: the new
      // conversion appends to the file there, never starts it again.
      h->offset = end;
    }
  }
  if (h->followsEnd) offset = h->offset;
  if (h->openPending) {
    h->conversionStart = h->offset;
    if (const int rc = startConversion(*h); rc != 0) return rc;
  }
  // A stream that failed to end keeps its failure: nothing more is written.
  if (h->convHandle == nullptr) return -EIO;
  h->errorTrace[0] = '\0';
  const int64_t n = xiopwrite(h->errorTrace, h->convHandle, data, size, offset);
  if (n == -1) return conversionFailed(*h, "xiopwrite");
  h->bytesWritten += size;
  h->offset = offset + static_cast<off_t>(size);
  return static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) try {
  FileHandle* h = handleOf(fi);
  if (h == nullptr) {
    logAt(LOG_INFO, "\nAiiiiii ------------> no fuse_file_info, call open in read ...\n\n");
    return withoutHandle(path, O_RDONLY, [&](FileHandle& own) {
      logRead(own, size, offset);
      return preadReply(own.fd, buffer, size, offset);
    });
  }
  logRead(*h, size, offset);
  if (h->fd != -1) return preadReply(h->fd, buffer, size, offset);
  h->errorTrace[0] = '\0';
  const int64_t n = xiopread(h->errorTrace, h->convHandle, buffer, size, offset);
  if (n == -1) return conversionFailed(*h, "xiopread");
  return static_cast<int>(n);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

namespace {

// truncate(2) without following a symlink at the name.
int truncateName(const std::string& name, off_t size) {
  const int fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1) return -1;
  const int rc = ftruncate(fd, size);
  const int e = errno;
  close(fd);
  errno = e;
  return rc;
}

// The commands that write `logical`'s physical file: the stored ones, else
// the write rule's with the physical name put in. Empty when none.
void writeCommands(const std::string& logical, const std::string& physical, std::string& command,
                   std::string& format) {
  if (readMetaText(logical, META_WRITE, "meta", command) == 0) {
    if (readMetaText(logical, META_WFORMAT, "meta", format) != 0) format = "format.bin()";
    return;
  }
  ConfigEntry rule;
  initConfEntry(rule);
  command.clear();
  if (getConf4Name(logical, rule, SEARCH_MATCH, "confW") != 0) return;
  command = rule.fileString;
  insertName(command, physical);
  format = rule.formatString;
}

// A converted file truncated to 0 is an empty stream of its format (a
// zero-length file is no valid gzip or age file); its read command and its
// format follow. 0 or a negated errno.
int writeEmptyStream(const std::string& logical, const std::string& command,
                     const std::string& format) {
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  trace[0] = '\0';
  std::string state = stateText(logical);
  errno = 0;
  XioHandle* out = xiopopen(trace.get(), command.c_str(), format.c_str(), &state, 0);
  std::string inverse, inverseFormat;
  XioStateList states;
  int rc = out == nullptr ? -(errno != 0 ? errno : EIO) : 0;
  if (out != nullptr && xiopclose(trace.get(), out, &states, &inverse, &inverseFormat) != 0)
    rc = -(errno != 0 ? errno : EIO);
  vdOrgLstStaFree(&states);
  if (trace[0] != '\0')
    logAt(LOG_ERROR, "Error trace of truncate %s:\n%s\n", logical.c_str(), trace.get());
  if (rc != 0) return rc;
  if (!inverse.empty()) writeMetaBytes(logical, META_READ, "meta", inverse.data(), inverse.size());
  if (!inverseFormat.empty())
    writeMetaBytes(logical, META_RFORMAT, "meta", inverseFormat.data(), inverseFormat.size());
  return 0;
}

// Flushes a write handle's conversion; 0 or a negated errno.
int flushConversion(FileHandle& h, int flags) {
  h.errorTrace[0] = '\0';
  errno = 0;
  if (xiopflush(h.errorTrace, h.convHandle, flags) == 0) return 0;
  return conversionFailed(h, "xiopflush");
}

// Ends a handle's conversion and records what it wrote: at flush and
// release, and when a truncate ends the stream of a writer still open.
int endConversion(FileHandle& h, CallerPrefix& caller) {
  const bool wanted = !(h.direction == 0 && (h.mapFlags & MAP_HAS_WRITE) != 0);
  XioStateList states;
  std::string command, format;
  h.errorTrace[0] = '\0';
  XioHandle* conv = std::exchange(h.convHandle, nullptr);
  const int rc = xiopclose(h.errorTrace, conv, &states, wanted ? &command : nullptr,
                           wanted ? &format : nullptr);
  const int closeErrno = errno;
  if (rc != 0) {
    struct stat st;
    if (h.direction == 3 && lstat(h.physicalPath.c_str(), &st) != 0) {
      deleteMeta(h.logicalPath, META_ALL, "meta");
    } else {
      keepTrace(h, "xiopclose9");
    }
  } else {
    // An opened write conversion has replaced the physical file even when
    // nothing was written (O_TRUNC, a new file made with mode 0600): its
    // attributes are recorded in every case.
    if (h.removed) {
      logCaller(LOG_DEBUG, caller, "[release] %s was removed: nothing recorded\n",
                h.logicalPath.c_str());
    } else if (h.direction != 0) {
      if (logOn(LOG_TRACE) && !states.members.empty())
        logAt(LOG_TRACE, "member name: %s\n", states.members.front().member.c_str());
      recordWrittenFile(h, caller);
      finishReplacement(h);
    }
    if (!h.removed) storeInverse(h, caller, command, format);
  }
  vdOrgLstStaFree(&states);
  // Recorded (or failed): another process may look at the file now.
  dropWriterLock(h);
  return rc == 0 ? 0 : -(closeErrno != 0 ? closeErrno : EIO);
}

// Ends the stream of a write handle that stays open: the physical file is
// whole, and a later write on the handle (another descriptor of the same
// open file) starts a new conversion at the logical end, which appends a
// member, frame or stream. After a failure nothing more is written.
int endStream(FileHandle& h, CallerPrefix& caller) {
  const int rc = endConversion(h, caller);
  h.openPending = rc == 0;
  return rc;
}

}  // namespace

bool takeStream(FileHandle& self, CallerPrefix& caller) {
  bool taken = false;
  for (FileHandle* other : openWriters(self.logicalPath)) {
    if (other == &self || other->plain || other->convHandle == nullptr) continue;
    logCaller(LOG_DEBUG, caller, "[write] %s: the stream of another writer ends here\n",
              self.logicalPath.c_str());
    endStream(*other, caller);
    other->followsEnd = true;
    taken = true;
  }
  return taken;
}

namespace {

// An age layer never extends its file in place: an append lives in a
// temporary copy. Where age is the only layer, xiobyt's first sync flush
// puts the copy in the file's place; with another layer the copy stays
// apart until the stream ends, and a crash would keep the synced data only
// there. So such an append ends its stream at fsync. A string taken for
// one by mistake (a name holding "age(") only ends a stream early.
bool syncNeedsEnd(const FileHandle& h) {
  const std::string& s = h.conf.fileString;
  if (h.conversionStart <= 0 || s.find("age(") == std::string::npos) return false;
  return s.find("comp.") != std::string::npos || s.find("enc.") != std::string::npos ||
         s.find("cnv[") != std::string::npos;
}

// fsync(2) or fdatasync(2) of a name without following a final symlink;
// a directory when `directory`. 0 or a negated errno.
int syncName(const std::string& name, bool directory, bool dataOnly) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (directory ? O_DIRECTORY : 0);
  const int fd = open(name.c_str(), flags);
  if (fd == -1) return -errno;
  const int rc = (dataOnly ? fdatasync(fd) : fsync(fd)) == -1 ? -errno : 0;
  close(fd);
  return rc;
}

// The directory entry of a new physical file is durable only once its
// directory is synced.
int syncDirectoryOf(const std::string& physical) {
  const size_t slash = physical.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : physical.substr(0, slash);
  return syncName(dir, true, false);
}

// The records of the file are committed by then; an environment opened to
// defer its syncs is synced here. 0 or a negated errno.
int syncIndex() {
  unsigned int flags = 0;
  if (vaskfsArgs.env == nullptr || mdb_env_get_flags(vaskfsArgs.env, &flags) != 0) return 0;
  if ((flags & (MDB_NOSYNC | MDB_NOMETASYNC | MDB_MAPASYNC)) == 0) return 0;
  const int rc = mdb_env_sync(vaskfsArgs.env, 1);
  if (rc != 0) logAt(LOG_ERROR, "syncing the index failed: %s\n", mdb_strerror(rc));
  return rc == 0 ? 0 : -(rc > 0 ? rc : EIO);
}

// What fsync owes a write handle: its data on the disk, under its name.
int syncWriter(FileHandle& h, CallerPrefix& caller, bool dataOnly) {
  // A removed file has nothing to be found again under.
  if (h.removed) return h.convHandle != nullptr ? flushConversion(h, 0) : 0;
  if (h.convHandle == nullptr) {
    // Nothing written since the last flush ended the stream (or since the
    // open): what is there may still be in the page cache only.
    if (const int rc = syncName(h.physicalPath, false, dataOnly); rc != 0) return rc;
  } else if (const int rc = flushConversion(h, XIO_FLUSH_SYNC); rc != 0) {
    return rc;
  } else if (syncNeedsEnd(h)) {
    // The sync asked for above makes the close sync the copy, rename it
    // over the file and sync its directory.
    if (const int end = endStream(h, caller); end != 0) return end;
  }
  return syncDirectoryOf(h.physicalPath);
}

}  // namespace

int vaskFS_fsync(const char* path, int dataSync, fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  FileHandle* h = handleOf(fi);
  if (h == nullptr) return 0;
  CallerPrefix caller;
  if (h->fd != -1) {
    logCaller(LOG_INFO, caller, "[fsync] %s\n", h->logicalPath.c_str());
    return (dataSync != 0 ? fdatasync(h->fd) : fsync(h->fd)) == -1 ? -errno : 0;
  }
  if (h->direction == 0) {
    logCaller(LOG_INFO, caller, "[fsync] %s read only, nothing to sync for %s\n",
              h->logicalPath.c_str(), path != nullptr ? path : "");
    return 0;
  }
  logCaller(LOG_INFO, caller, "[fsync] %s\n", h->logicalPath.c_str());
  // What the application is told is safe must be on the disk and be found
  // again after a crash: the data, its directory entry and its records.
  if (const int rc = syncWriter(*h, caller, dataSync != 0); rc != 0) return rc;
  return syncIndex();
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_flush(const char* /*path*/, fuse_file_info* fi) try {
  FileHandle* h = handleOf(fi);
  if (h == nullptr) return 0;
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[flush] %s\n", h->logicalPath.c_str());
  if (h->direction != 0) h->ended = true;
  if (h->direction == 0 || h->convHandle == nullptr) return 0;
  // close(2) waits for this reply, unlike release's: the stream ends here,
  // so that the physical file is complete and its size recorded when
  // close returns, and a failure to store the data is reported.
  return endStream(*h, caller);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_release(const char* path, fuse_file_info* fi) try {
  FileHandlePtr h(handleOf(fi));
  if (h == nullptr) return 0;
  fi->fh = 0;
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[release] %s user-path %s\n", h->logicalPath.c_str(),
            path != nullptr ? path : "");
  if (h->convertAtRelease && !h->removed && conversionWaits(h->logicalPath, h.get()) == nullptr)
    noteConversionDue({h->logicalPath, h->convertAs, h->backingDevice, h->backingInode});
  if (h->convHandle == nullptr) {
    int rc = 0;
    if (h->plain) releasePlain(*h);
    if (h->fd != -1) {
      rc = close(h->fd) == -1 ? -errno : 0;
      h->fd = -1;
    }
    return rc;
  }
  // Flush ended the stream of every write before the last close; what is
  // left is a read handle, or data written after it (none in the usual
  // order of requests).
  return endConversion(*h, caller);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_truncate(const char* path, off_t size, fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  // ftruncate(2) of a plain file: its descriptor (the name may be gone, and
  // its mode need not allow writing any more).
  if (const FileHandle* open = handleOf(fi); open != nullptr && open->plain)
    return ftruncate(open->fd, size) == -1 ? -errno : 0;
  const std::string logical = logicalName(path);
  uint32_t flags = 0;
  const std::string physical = getPhysicalPath(logical, &flags, nullptr);
  CallerPrefix caller;
  if ((flags & MAP_NAME_KNOWN) != 0) {
    std::string command, format;
    writeCommands(logical, physical, command, format);
    FileCommands stored;
    {
      MetaSnapshot meta("meta");
      readStoredCommands(meta, logical, stored);
    }
    const bool plain = plainFile(logical, physical, stored, false);
    if (!plain && (size != 0 || command.empty())) {
      logCaller(LOG_ERROR, caller, "[truncate] %s to %ld is invalid\n", physical.c_str(),
                static_cast<long>(size));
      return -EINVAL;
    }
    logCaller(LOG_INFO, caller, "[truncate] %s\n", physical.c_str());
    if (plain) {
      if (truncateName(physical, size) == -1) return -errno;
    } else {
      // An open writer's stream ends here (close(2) returns before the
      // release comes); its next write starts a new one, from 0, as a
      // descriptor writes after a truncate.
      // A writer whose stream a flush has ended starts again from 0 too,
      // not with an append after the empty stream.
      // Another process writing it keeps its stream: nothing is cut
      // under it.
      const std::vector<FileHandle*> writers = openWriters(logical);
      if (writers.empty() && writerLockHeld(physical)) return -EBUSY;
      for (FileHandle* writer : writers) {
        if (writer->convHandle != nullptr) {
          endConversion(*writer, caller);
        } else if (!writer->openPending) {
          continue;
        }
        writer->openPending = true;
        writer->offset = 0;
      }
      if (const int rc = writeEmptyStream(logical, command, format); rc != 0) return rc;
    }
    // The presented times and the change stamp follow the physical file, so
    // that this change is not mistaken for one made outside.
    struct stat now;
    const bool known = lstat(physical.c_str(), &now) == 0;
    editStoredStat(logical, physical, [&](struct stat& st) {
      st.st_size = size;
      if (known) st.st_mtim = now.st_mtim, st.st_ctim = now.st_ctim;
    });
    return 0;
  }
  logCaller(LOG_INFO, caller, "[truncate] %s\n", logical.c_str());
  FileHandle* h = handleOf(fi);
  const int rc = h != nullptr && h->fd != -1 ? ftruncate(h->fd, size) : truncateName(logical, size);
  return rc == -1 ? -errno : 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_fallocate(const char* /*path*/, int mode, off_t offset, off_t length,
                     fuse_file_info* fi) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const FileHandle* h = handleOf(fi);
  // A converted stream has no places to reserve or punch.
  if (h == nullptr || !h->plain) return -EOPNOTSUPP;
  return fallocate(h->fd, mode, offset, length) == -1 ? -errno : 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

ssize_t vaskFS_copy_file_range(const char* /*pathIn*/, fuse_file_info* fiIn, off_t offsetIn,
                               const char* /*pathOut*/, fuse_file_info* fiOut, off_t offsetOut,
                               size_t size, int flags) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const FileHandle* in = handleOf(fiIn);
  const FileHandle* out = handleOf(fiOut);
  // Between converted files the kernel copies by reading and writing.
  if (in == nullptr || out == nullptr || !in->plain || !out->plain) return -EOPNOTSUPP;
  loff_t from = offsetIn, to = offsetOut;
  const ssize_t n = copy_file_range(in->fd, &from, out->fd, &to, size, static_cast<unsigned>(flags));
  return n == -1 ? -errno : n;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
