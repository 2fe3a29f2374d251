// Renaming: the physical file follows the logical name, and its records
// follow both. A renamed file is left as writing its new name would have
// left it: under the physical name and in the conversion that the new
// name's write rule gives. Where that conversion is the one the file is
// stored with, the physical file is renamed; otherwise the data is
// converted into the new physical name, and the old file goes only once
// the new one is whole and synced.
#include "rename.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "corekit/corekit.h"
#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "operations.h"
#include "xattr.h"

// The physical name the write rule of `logical` gives, never a stored one;
// empty when no rule builds one.
std::string ruleName(const std::string& logical) {
  ConfigEntry rule;
  initConfEntry(rule);
  std::string built;
  if (getConf4Name(logical, rule, SEARCH_MATCH, "confW") != 0 ||
      pat2str(logical, rule.targetPattern, built) <= 0)
    return "";
  if (built[0] == '/') built.erase(0, 1);
  return reservedPath(built) ? logical : built;
}

// The logical name a physical file shows under: its record, else its read
// rule, else its own name.
std::string ownerOf(const std::string& physical) {
  std::string owner;
  if (readMetaText(physical, META_NAME, "real", owner) == 0) return owner;
  ConfigEntry rule;
  initConfEntry(rule);
  if (getConf4Name(physical, rule, SEARCH_MATCH, "confR") == 0 &&
      pat2str(physical, rule.targetPattern, owner) > 0)
    return owner[0] == '/' ? owner.substr(1) : owner;
  return physical;
}

bool exists(const std::string& physical) {
  struct stat st;
  return lstat(physical.c_str(), &st) == 0;
}

namespace {

std::string quotedName(const std::string& name) { return "'" + doubleApostrophes(name) + "'"; }

// Puts `to` in place of the quoted name `from` in a stored command; whether
// the command named `from`.
bool replaceName(std::string& command, const std::string& from, const std::string& to) {
  const std::string quoted = quotedName(from);
  const size_t at = command.find(quoted);
  if (at == std::string::npos) return false;
  command.replace(at, quoted.size(), to.empty() ? "''" : quotedName(to));
  return true;
}

}  // namespace

void moveCommands(MetaBatch& batch, const std::string& oldLogical, const std::string& newLogical,
                  const std::string& oldPhysical, const std::string& newPhysical) {
  if (oldPhysical == newPhysical) return;
  for (const uint32_t kind : {META_WRITE, META_READ}) {
    std::string command;
    if (readMetaText(oldLogical, kind, "meta", command) == 0 &&
        replaceName(command, oldPhysical, newPhysical))
      batch.put(newLogical, kind, "meta", command);
  }
}

namespace {

// Where a converted copy is made: beside the target, under a name that the
// listing hides and nobody can guess or plant beforehand (made with
// O_EXCL), so that the target stays as it was until the copy is whole.
// Empty when it cannot be made; errno tells why.
std::string besideTarget(const std::string& target) {
  std::string dir, name;
  if (pat2str(target, "[path]", dir) < 0) dir.clear();
  if (pat2str(target, "[name]", name) < 0) name = target;
  // Room for the prefix and the random part within a name's 255 bytes.
  if (name.size() > 200) name.resize(200);
  std::string temp = (dir.empty() ? "" : dir + "/") + ".vaskIndex.tmp." + name + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd == -1) return "";
  close(fd);
  return temp;
}

// fsync(2) of a regular file or a directory by name, never through a link.
int syncName(const std::string& name, bool directory) {
  const int fd = open(
      name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (directory ? O_DIRECTORY : 0));
  if (fd == -1) return -1;
  const int rc = fsync(fd);
  const int e = errno;
  close(fd);
  errno = e;
  return rc;
}

int syncDirectoryOf(const std::string& physical) {
  const size_t slash = physical.rfind('/');
  return syncName(slash == std::string::npos ? "."
                  : slash == 0               ? "/"
                                             : physical.substr(0, slash),
                  true);
}

}  // namespace

bool destinationOf(const std::string& logical, Destination& d) {
  initConfEntry(d.rule);
  if (getConf4Name(logical, d.rule, SEARCH_MATCH, "confW") != 0 ||
      pat2str(logical, d.rule.targetPattern, d.physical) <= 0)
    return false;
  if (d.physical[0] == '/') d.physical.erase(0, 1);
  // A pattern that would reach the index keeps the data under the logical
  // name, as a write of the name does.
  if (reservedPath(d.physical)) d.physical = logical;
  d.plain = plainCommands(d.rule.fileString, d.rule.formatString);
  return true;
}

// A file whose writing command is not known (put under the root by other
// means) is converted, which is right whatever it holds.
bool storedAs(const std::string& logical, const std::string& physical, const Destination& d) {
  FileCommands c;
  {
    MetaSnapshot meta("meta");
    readStoredCommands(meta, logical, c);
  }
  if (plainFile(logical, physical, c, false)) return d.plain;
  if (d.plain || !c.hasWrite || !replaceName(c.write, physical, "")) return false;
  const std::string& format = c.writeFormat.empty() ? std::string("format.bin()") : c.writeFormat;
  return c.write == d.rule.fileString && format == d.rule.formatString;
}

namespace {

// Ends the streams of the converted writers of `logical`, so that the copy
// reads everything written so far, and the physical file is whole.
void endWriterStreams(const std::string& logical) {
  for (FileHandle* writer : openWriters(logical)) {
    if (writer->plain || writer->convHandle == nullptr) continue;
    fuse_file_info fi = {};
    fi.fh = reinterpret_cast<uint64_t>(writer);
    vaskFS_flush(nullptr, &fi);
  }
}

// A writer that had the file open before a converting rename goes on
// writing into the new file, after what the copy holds: into its stream as
// an appended member, or at its offsets when the new file is stored
// unchanged. Nothing it writes later is lost.
void followCopy(FileHandle& h, const std::string& newLogical, const Destination& d,
                int64_t copied) {
  if (h.fd != -1) h.retiredFds.push_back(h.fd);
  h.fd = -1;
  h.logicalPath = newLogical;
  h.physicalPath = d.physical;
  h.conf = d.rule;
  insertName(h.conf.fileString, d.physical);
  h.replacedPhysical.clear();
  h.mapFlags |= MAP_NAME_KNOWN | MAP_HAS_WRITE;
  h.direction = 1;
  h.offset = copied;
  h.plain = d.plain;
  if (d.plain) {
    h.openPending = false;
    h.fd = open(d.physical.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (h.fd == -1) {
      logAt(LOG_ERROR, "writer of %s cannot follow it to %s: %s\n", newLogical.c_str(),
            d.physical.c_str(), strerror(errno));
      h.removed = true;
    }
    return;
  }
  h.openPending = true;
  h.followsEnd = true;
}

// The replaced target's physical file, when the rename put the data under
// another physical name: it goes, as rename(2) drops the old inode.
void dropReplaced(const std::string& replaced, const std::string& now) {
  if (replaced.empty() || replaced == now) return;
  if (unlink(replaced.c_str()) == -1 && errno != ENOENT)
    logAt(LOG_ERROR, "replaced %s not removed: %s\n", replaced.c_str(), strerror(errno));
}

// Reads `from` through the mount's own read path and writes it through the
// write rule of `d` into `temp`, which is synced. The copied size, or a
// negated errno.
int64_t copyInto(const char* from, const std::string& newLogical, const Destination& d,
                 const std::string& temp, std::string& inverse, std::string& inverseFormat) {
  std::string fileString = d.rule.fileString;
  insertName(fileString, temp);
  std::string state = stateText(newLogical);
  fuse_file_info in = {};
  in.flags = O_RDONLY;
  if (const int rc = vaskFS_open(from, &in); rc != 0) return rc;
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  trace[0] = '\0';
  errno = 0;
  XioHandle* out =
      xiopopen(trace.get(), fileString.c_str(), d.rule.formatString.c_str(), &state, 0);
  int rc = out == nullptr ? -(errno != 0 ? errno : EIO) : 0;
  std::string buffer(out != nullptr ? 1 << 20 : 0, '\0');
  int64_t copied = 0;
  while (rc == 0) {
    const int n = vaskFS_read(from, buffer.data(), buffer.size(), copied, &in);
    if (n <= 0) {
      rc = n;
      break;
    }
    if (xiopwrite(trace.get(), out, buffer.data(), static_cast<size_t>(n), copied) < 0)
      rc = -(errno != 0 ? errno : EIO);
    copied += n;
  }
  vaskFS_release(from, &in);
  XioStateList states;
  if (out != nullptr) {
    errno = 0;
    if (xiopclose(trace.get(), out, &states, &inverse, &inverseFormat) != 0 && rc == 0)
      rc = -(errno != 0 ? errno : EIO);
  }
  vdOrgLstStaFree(&states);
  if (trace[0] != '\0') logAt(LOG_ERROR, "Error trace of rename %s:\n%s\n", from, trace.get());
  // The new file must be on the disk before the old one goes.
  if (rc == 0 && syncName(temp, false) != 0) rc = -errno;
  return rc != 0 ? rc : copied;
}

// Converts the regular file `from` (`oldLogical`, stored in `oldPhysical`)
// into the physical file of `d`, as writing `newLogical` would have stored
// it, keeping mode, times and, where the caller may give it, owner. The
// copy is made beside its target and put in place whole and synced; the
// records change in one transaction; only then the old physical file goes.
// A failure leaves source and target as they were. 0 or a negated errno.
int renameByCopy(const char* from, const std::string& oldLogical, const std::string& oldPhysical,
                 const std::string& newLogical, const Destination& d, const std::string& replaced,
                 unsigned int physicalFlags) {
  logAt(LOG_DEBUG, "rename of %s to %s converts the data into %s\n", oldLogical.c_str(),
        newLogical.c_str(), d.physical.c_str());
  endWriterStreams(oldLogical);
  struct stat st;
  if (const int rc = vaskFS_getattr(from, &st, nullptr); rc != 0) return rc;
  const std::string temp = besideTarget(d.physical);
  if (temp.empty()) return -errno;
  std::string inverse, inverseFormat;
  const int64_t copied = copyInto(from, newLogical, d, temp, inverse, inverseFormat);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  // The copy belongs to whoever renames; it keeps the old owner where the
  // caller may give it (root, or the owner keeping a group of hers).
  int rc = copied < 0 ? static_cast<int>(copied) : 0;
  if (rc == 0 &&
      (fchmodat(AT_FDCWD, temp.c_str(), st.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0 ||
       (lchown(temp.c_str(), st.st_uid, st.st_gid) != 0 && errno != EPERM) ||
       copyXattrs(oldPhysical.c_str(), temp.c_str()) != 0 ||
       utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
       renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, d.physical.c_str(), physicalFlags) != 0))
    rc = -errno;
  if (rc != 0) {
    unlink(temp.c_str());
    return rc;
  }
  if (syncDirectoryOf(d.physical) != 0)
    logAt(LOG_ERROR, "directory of %s not synced: %s\n", d.physical.c_str(), strerror(errno));

  std::string command = d.rule.fileString;
  insertName(command, d.physical);
  replaceName(inverse, temp, d.physical);
  MetaBatch batch;
  batch.erase(oldLogical, META_ALL, "meta").erase(oldPhysical, META_ALL, "real");
  if (newLogical != oldLogical) batch.erase(newLogical, META_ALL, "meta");
  if (!replaced.empty()) batch.erase(replaced, META_ALL, "real");
  batch.put(newLogical, META_NAME, "meta", d.physical)
      .put(d.physical, META_NAME, "real", newLogical)
      .put(newLogical, META_WRITE, "meta", command)
      .put(newLogical, META_WFORMAT, "meta", d.rule.formatString);
  if (!inverse.empty()) batch.put(newLogical, META_READ, "meta", inverse);
  if (!inverseFormat.empty()) batch.put(newLogical, META_RFORMAT, "meta", inverseFormat);
  struct stat now;
  if (!d.plain && lstat(d.physical.c_str(), &now) == 0) {
    // Attributes with the converted size, and the physical file's stamp.
    const struct timespec stamps[2] = {now.st_atim, now.st_mtim};
    const FileIdentity id = identityOf(now);
    now.st_size = copied;
    batch.put(newLogical, META_MTIME, "meta", stamps, sizeof stamps)
        .put(newLogical, META_STAT, "meta", &now, sizeof now)
        .put(newLogical, META_IDENT, "meta", &id, sizeof id);
  }
  if (const int mrc = batch.commit(); mrc != 0) {
    // The old file stays: with the new one beside it nothing is lost.
    logAt(LOG_ERROR, "records of %s not moved to %s: %s\n", oldLogical.c_str(), newLogical.c_str(),
          mdb_strerror(mrc));
    return -EIO;
  }
  // Open files of the replaced name record nothing, nor do readers of the
  // old file (they keep reading it); its writers go on in the new file.
  if (newLogical != oldLogical) forgetOpenHandles(newLogical);
  for (FileHandle* writer : openWriters(oldLogical)) followCopy(*writer, newLogical, d, copied);
  forgetOpenHandles(oldLogical);
  if (oldPhysical != d.physical && unlink(oldPhysical.c_str()) == -1 && errno != ENOENT)
    logAt(LOG_ERROR, "%s, converted into %s, not removed: %s\n", oldPhysical.c_str(),
          d.physical.c_str(), strerror(errno));
  if (replaced != oldPhysical) dropReplaced(replaced, d.physical);
  return 0;
}

// The physical file that holds `logical` now, or empty when it has none.
std::string heldBy(const std::string& logical, const std::string& mapped) {
  std::string stored;
  if (readMetaText(logical, META_NAME, "meta", stored) == 0)
    return exists(stored) && ownerOf(stored) == logical ? stored : "";
  return exists(mapped) && ownerOf(mapped) == logical ? mapped : "";
}

// libfuse keeps a removed file that is still open under a hidden name
// (".fuse_hidden..."), so that requests on it (fstat, fchmod, ftruncate)
// still find it, and removes that name at its release.
bool hiddenByLibfuse(const std::string& logical) {
  std::string name;
  if (pat2str(logical, "[name]", name) <= 0) name = logical;
  return name.compare(0, 12, ".fuse_hidden") == 0;
}

// The data only moves aside, never converted, to a physical name that no
// listing shows and that a crash leaves for the start-up clean-up.
int hideOpenFile(const std::string& oldLogical, const std::string& newLogical,
                 const std::string& oldPhysical) {
  const std::string hidden = besideTarget(oldPhysical);
  if (hidden.empty()) return -errno;
  if (rename(oldPhysical.c_str(), hidden.c_str()) == -1) {
    const int e = errno;
    unlink(hidden.c_str());
    return -e;
  }
  renameOpenHandles(oldLogical, newLogical, oldPhysical, hidden);
  MetaBatch batch;
  batch.move(oldLogical, newLogical);
  moveCommands(batch, oldLogical, newLogical, oldPhysical, hidden);
  batch.put(newLogical, META_NAME, "meta", hidden)
      .put(hidden, META_NAME, "real", newLogical)
      .erase(oldPhysical, META_NAME, "real")
      .commit();
  return 0;
}

// A regular file renamed onto its new name with its bytes as they are.
int renameInPlace(const std::string& oldLogical, const std::string& newLogical,
                  const std::string& oldPhysical, const std::string& newPhysical,
                  const std::string& replaced, unsigned int physicalFlags) {
  // Records that described the file before the rename describe it after:
  // the change time rename(2) sets is the daemon's own.
  FileIdentity known;
  struct stat before;
  const bool current = readMetaFixed(oldLogical, META_IDENT, &known, sizeof known) == 0 &&
                       lstat(oldPhysical.c_str(), &before) == 0 &&
                       sameIdentity(known, identityOf(before));
  if (renameat2(AT_FDCWD, oldPhysical.c_str(), AT_FDCWD, newPhysical.c_str(), physicalFlags) == -1)
    return -errno;
  // Open files of the replaced name record nothing; those of the moved one
  // record under its new name (a log rotated while written keeps its size).
  if (oldLogical != newLogical) forgetOpenHandles(newLogical);
  renameOpenHandles(oldLogical, newLogical, oldPhysical, newPhysical);
  // The target's records go with its data; the moved file's take their place.
  MetaBatch batch;
  if (oldLogical != newLogical) batch.erase(newLogical, META_ALL, "meta");
  if (!replaced.empty() && replaced != oldPhysical) batch.erase(replaced, META_ALL, "real");
  if (oldPhysical != newPhysical) batch.erase(oldPhysical, META_NAME, "real");
  batch.put(newPhysical, META_NAME, "real", newLogical).move(oldLogical, newLogical);
  moveCommands(batch, oldLogical, newLogical, oldPhysical, newPhysical);
  batch.put(newLogical, META_NAME, "meta", newPhysical);
  struct stat after;
  if (current && lstat(newPhysical.c_str(), &after) == 0) {
    const FileIdentity id = identityOf(after);
    batch.put(newLogical, META_IDENT, "meta", &id, sizeof id);
  }
  if (const int rc = batch.commit(); rc != 0)
    logAt(LOG_ERROR, "records of %s not moved to %s: %s\n", oldLogical.c_str(), newLogical.c_str(),
          mdb_strerror(rc));
  if (replaced != oldPhysical) dropReplaced(replaced, newPhysical);
  return 0;
}

}  // namespace

int vaskFS_rename(const char* from, const char* to, unsigned int flags) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  // RENAME_WHITEOUT asks for a whiteout that only overlay file systems use.
  if ((flags & ~(RENAME_NOREPLACE | RENAME_EXCHANGE)) != 0 ||
      flags == (RENAME_NOREPLACE | RENAME_EXCHANGE))
    return -EINVAL;
  if (flags == RENAME_EXCHANGE) return exchangeNames(from, to);
  const bool noReplace = flags == RENAME_NOREPLACE;
  const std::string oldLogical = logicalName(from);
  const std::string newLogical = logicalName(to);
  uint32_t mapFlags = 0;
  const std::string oldPhysical = getPhysicalPath(oldLogical, &mapFlags, nullptr);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[rename%s] %s -> %s\n", noReplace ? " noreplace" : "",
            oldLogical.c_str(), newLogical.c_str());
  // The target exists as a lookup would find it: under its own name, by
  // its records, or by a read rule. The physical steps below refuse to
  // replace too, for a name made meanwhile by a program under the root.
  if (noReplace && oldLogical != newLogical) {
    struct stat target;
    if (const int rc = vaskFS_getattr(to, &target, nullptr); rc != -ENOENT)
      return rc == 0 ? -EEXIST : rc;
  }
  const unsigned int physicalFlags = noReplace ? RENAME_NOREPLACE : 0;
  // Directories, links and special files live under their logical names
  // (mkdir, symlink and mknod make them there) and carry no records.
  struct stat source, logicalSource;
  const bool present = lstat(oldPhysical.c_str(), &source) == 0;
  const int missing = present ? 0 : errno;
  const bool atLogical = lstat(oldLogical.c_str(), &logicalSource) == 0;
  const bool special = atLogical && !S_ISREG(logicalSource.st_mode);
  if (!noReplace && present && !special && (mapFlags & MAP_NAME_KNOWN) != 0 &&
      hiddenByLibfuse(newLogical))
    return hideOpenFile(oldLogical, newLogical, oldPhysical);
  if ((mapFlags & MAP_NAME_KNOWN) == 0 || special) {
    if (renameat2(AT_FDCWD, oldLogical.c_str(), AT_FDCWD, newLogical.c_str(), physicalFlags) == -1)
      return -errno;
    if (oldLogical != newLogical) forgetOpenHandles(newLogical);
    renameOpenHandles(oldLogical, newLogical, oldLogical, newLogical);
    // The files below keep their records only under their new names.
    if (atLogical && S_ISDIR(logicalSource.st_mode)) {
      if (const int rc = moveMetaTree(oldLogical, newLogical); rc != 0)
        logAt(LOG_ERROR, "records below %s not moved to %s: %s\n", oldLogical.c_str(),
              newLogical.c_str(), mdb_strerror(rc));
    }
    return 0;
  }
  if (!present) return -missing;

  uint32_t newFlags = 0;
  const std::string mapped = getPhysicalPath(newLogical, &newFlags, nullptr);
  // What rename(2) replaces: the target's own physical file, never one that
  // another name shows.
  const std::string replaced = oldLogical != newLogical ? heldBy(newLogical, mapped) : "";
  // The new name's write rule gives the physical name and the conversion;
  // without one the file keeps its bytes under the name the mapping gives.
  Destination d;
  const bool ruled = destinationOf(newLogical, d);
  if (!ruled) d.physical = mapped;
  // A physical name that another file holds is never taken.
  if (d.physical != oldPhysical && d.physical != replaced && exists(d.physical) &&
      ownerOf(d.physical) != newLogical)
    return -EEXIST;
  // A file stored again under its own physical name replaces only itself.
  const unsigned int onto = d.physical == oldPhysical ? 0 : physicalFlags;
  if (!ruled || storedAs(oldLogical, oldPhysical, d))
    return renameInPlace(oldLogical, newLogical, oldPhysical, d.physical, replaced, onto);
  if (passedThroughOpen(oldLogical, nullptr)) {
    // The copy will read the file as the renamer: refused now if it could
    // not, as a rename that copies at once is.
    const int readable = open(oldPhysical.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (readable == -1) return -errno;
    close(readable);
    // Only the name moves now; the physical step's refusal to replace is
    // the check above, since the physical file stays where it is.
    const int rc = renameInPlace(oldLogical, newLogical, oldPhysical, oldPhysical, replaced, 0);
    if (rc == 0) markConversionWaiting(newLogical, requestIdentity());
    return rc;
  }
  return renameByCopy(from, oldLogical, oldPhysical, newLogical, d, replaced, onto);
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

namespace {
thread_local DueConversion dueConversion;
}  // namespace

void noteConversionDue(DueConversion due) { dueConversion = std::move(due); }

bool takeConversionDue(DueConversion& due) {
  if (dueConversion.logical.empty()) return false;
  due = std::move(dueConversion);
  dueConversion = {};
  return true;
}

int convertDeferred(const DueConversion& due) try {
  const std::string& logical = due.logical;
  // A removed file that libfuse keeps hidden, or another file under the
  // name by now.
  if (hiddenByLibfuse(logical)) return 0;
  uint32_t mapFlags = 0;
  const std::string physical = getPhysicalPath(logical, &mapFlags, nullptr);
  struct stat st;
  if ((mapFlags & MAP_NAME_KNOWN) == 0 || lstat(physical.c_str(), &st) != 0 ||
      st.st_dev != due.device || st.st_ino != due.inode)
    return 0;
  // An open the kernel serves made since (between the release and now, it
  // did not join the wait).
  if (passedThroughOpen(logical, nullptr)) {
    markConversionWaiting(logical, due.renamer);
    return 0;
  }
  Destination d;
  if (!destinationOf(logical, d) || storedAs(logical, physical, d)) return 0;
  if (d.physical != physical && exists(d.physical) && ownerOf(d.physical) != logical) {
    logAt(LOG_ERROR, "%s stays unconverted in %s: %s belongs to another file\n", logical.c_str(),
          physical.c_str(), d.physical.c_str());
    return -EEXIST;
  }
  const std::string path = "/" + logical;
  const int rc = renameByCopy(path.c_str(), logical, physical, logical, d, "",
                              d.physical == physical ? 0 : RENAME_NOREPLACE);
  if (rc != 0)
    logAt(LOG_ERROR, "%s stays unconverted in %s: %s\n", logical.c_str(), physical.c_str(),
          strerror(-rc));
  return rc;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
