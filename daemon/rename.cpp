// Renaming: the physical file follows the logical name, and its records
// follow both. Where the new name would read a regular file's bytes by
// another conversion than the old one did, the data is converted into the
// new name's form instead, and the target is replaced only once the
// converted copy is complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "corekit/corekit.h"
#include "vaskFS.h"

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

// The new physical name keeps the old physical extension: the data is not
// converted again, so its name must still say what it holds.
void carryExtension(const std::string& oldPhysical, std::string& newPhysical) {
  std::string newExt, oldExt;
  if (pat2str(newPhysical, "[ext]", newExt) < 0) newExt.clear();
  if (pat2str(oldPhysical, "[ext]", oldExt) < 0) oldExt.clear();
  if (newExt.empty() || oldExt.empty() || newExt == oldExt) return;
  newPhysical.erase(newPhysical.rfind(newExt), newExt.size());
  newPhysical += oldExt;
}

std::string quotedName(const std::string& name) { return "'" + doubleApostrophes(name) + "'"; }

// The stored read command names the physical file: it follows the rename
// in `batch`, which also moves the records of `oldLogical`.
void moveReadCommand(MetaBatch& batch, const std::string& oldLogical,
                     const std::string& newLogical, const std::string& oldPhysical,
                     const std::string& newPhysical) {
  std::string command;
  if (readMetaText(oldLogical, META_READ, "meta", command) != 0) return;
  const std::string from = quotedName(oldPhysical);
  const size_t at = command.find(from);
  if (at == std::string::npos) return;
  command.replace(at, from.size(), quotedName(newPhysical));
  batch.put(newLogical, META_READ, "meta", command);
}

// How a file is read, without its name: the stored inverse command when the
// write rule of `logical` asks for it, else the read rule of `physical`.
// Empty when nothing reads it.
std::string readConversion(const std::string& logical, const std::string& physical,
                           const std::string& storedLogical, const std::string& storedPhysical) {
  ConfigEntry rule;
  initConfEntry(rule);
  std::string command, format;
  if (getConf4Name(logical, rule, SEARCH_MATCH, "confW") == 0 &&
      (rule.flags & CONFIG_FLAG_USE_IR) != 0 &&
      readMetaText(storedLogical, META_READ, "meta", command) == 0) {
    const std::string name = quotedName(storedPhysical);
    if (const size_t at = command.find(name); at != std::string::npos)
      command.replace(at, name.size(), "''");
    if (readMetaText(storedLogical, META_RFORMAT, "meta", format) != 0) format = "format.bin()";
    return command + "\n" + format;
  }
  if (getConf4Name(physical, rule, SEARCH_MATCH, "confR") != 0) return "";
  return rule.fileString + "\n" + rule.formatString;
}

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

void replaceName(std::string& command, const std::string& from, const std::string& to) {
  const std::string quoted = quotedName(from);
  if (const size_t at = command.find(quoted); at != std::string::npos)
    command.replace(at, quoted.size(), quotedName(to));
}

// The records of `logical` for the converted copy now at `target`.
void storeCopyRecords(const std::string& logical, const std::string& target,
                      const ConfigEntry& rule, std::string inverse,
                      const std::string& inverseFormat, const std::string& temp, int64_t size) {
  deleteMeta(logical, META_ALL, "meta");
  std::string command = rule.fileString;
  insertName(command, target);
  replaceName(inverse, temp, target);
  writeMetaBytes(logical, META_NAME, "meta", target.data(), target.size());
  writeMetaBytes(target, META_NAME, "real", logical.data(), logical.size());
  writeMetaBytes(logical, META_WRITE, "meta", command.data(), command.size());
  writeMetaBytes(logical, META_WFORMAT, "meta", rule.formatString.data(), rule.formatString.size());
  if (!inverse.empty()) writeMetaBytes(logical, META_READ, "meta", inverse.data(), inverse.size());
  if (!inverseFormat.empty())
    writeMetaBytes(logical, META_RFORMAT, "meta", inverseFormat.data(), inverseFormat.size());
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    st.st_size = size;
    const struct timespec stamps[2] = {st.st_atim, {0, 0}};
    writeMetaBytes(logical, META_MTIME, "meta", stamps, sizeof stamps);
    writeMetaBytes(logical, META_STAT, "meta", &st, sizeof st);
  }
}

// Converts the regular file `from` into the physical file `target` through
// the write rule of `newLogical`, keeping mode, owner and times, then removes
// the source. Returns 0, a negated errno (source and target as they were),
// or 1 when no write rule applies (the caller renames as it is).
int renameByCopy(const char* from, const std::string& newLogical, const std::string& target) {
  ConfigEntry rule;
  initConfEntry(rule);
  if (getConf4Name(newLogical, rule, SEARCH_MATCH, "confW") != 0) return 1;
  struct stat st;
  if (const int rc = vaskFS_getattr(from, &st, nullptr); rc != 0) return rc;
  const std::string temp = besideTarget(target);
  if (temp.empty()) return -errno;
  std::string fileString = rule.fileString;
  insertName(fileString, temp);
  std::string state = stateText(newLogical);
  fuse_file_info in = {};
  in.flags = O_RDONLY;
  if (const int rc = vaskFS_open(from, &in); rc != 0) {
    unlink(temp.c_str());
    return rc;
  }
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  trace[0] = '\0';
  errno = 0;
  XioHandle* out = xiopopen(trace.get(), fileString.c_str(), rule.formatString.c_str(), &state, 0);
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
  std::string inverse, inverseFormat;
  if (out != nullptr) {
    errno = 0;
    if (xiopclose(trace.get(), out, &states, &inverse, &inverseFormat) != 0 && rc == 0)
      rc = -(errno != 0 ? errno : EIO);
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  // The copy belongs to whoever renames; it keeps the old owner where the
  // caller may give it (root, or the owner keeping a group of hers).
  if (rc == 0 && (fchmodat(AT_FDCWD, temp.c_str(), st.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0 ||
                  (lchown(temp.c_str(), st.st_uid, st.st_gid) != 0 && errno != EPERM) ||
                  utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
                  rename(temp.c_str(), target.c_str()) != 0))
    rc = -errno;
  if (rc != 0) {
    if (trace[0] != '\0') logAt(LOG_ERROR, "Error trace of rename %s:\n%s\n", from, trace.get());
    unlink(temp.c_str());
    return rc;
  }
  storeCopyRecords(newLogical, target, rule, inverse, inverseFormat, temp, copied);
  vaskFS_unlink(from);
  return 0;
}

// The replaced target's physical file, when the rename put the data under
// another physical name: it and its record go, as rename(2) drops the old
// inode.
void dropReplaced(const std::string& replaced, const std::string& now) {
  if (replaced.empty() || replaced == now) return;
  if (unlink(replaced.c_str()) == -1 && errno != ENOENT) {
    logAt(LOG_ERROR, "replaced %s not removed: %s\n", replaced.c_str(), strerror(errno));
    return;
  }
  deleteMeta(replaced, META_NAME, "real");
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
  moveReadCommand(batch, oldLogical, newLogical, oldPhysical, hidden);
  batch.put(newLogical, META_NAME, "meta", hidden)
      .put(hidden, META_NAME, "real", newLogical)
      .erase(oldPhysical, META_NAME, "real")
      .commit();
  return 0;
}

}  // namespace

int vaskFS_rename(const char* from, const char* to, unsigned int flags) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  if (flags != 0) return -EINVAL;
  const std::string oldLogical = logicalName(from);
  const std::string newLogical = logicalName(to);
  uint32_t mapFlags = 0;
  const std::string oldPhysical = getPhysicalPath(oldLogical, &mapFlags, nullptr);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[rename] %s -> %s\n", oldLogical.c_str(), newLogical.c_str());
  // Directories, links and special files live under their logical names
  // (mkdir, symlink and mknod make them there) and carry no records.
  struct stat source, logicalSource;
  const bool present = lstat(oldPhysical.c_str(), &source) == 0;
  const bool atLogical = lstat(oldLogical.c_str(), &logicalSource) == 0;
  const bool special = atLogical && !S_ISREG(logicalSource.st_mode);
  if (present && !special && (mapFlags & MAP_NAME_KNOWN) != 0 && hiddenByLibfuse(newLogical))
    return hideOpenFile(oldLogical, newLogical, oldPhysical);
  if ((mapFlags & MAP_NAME_KNOWN) == 0 || special) {
    if (rename(oldLogical.c_str(), newLogical.c_str()) == -1) return -errno;
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

  uint32_t newFlags = 0;
  const std::string target = getPhysicalPath(newLogical, &newFlags, nullptr);
  // What rename(2) replaces: the target's own physical file, never one that
  // another name shows.
  const std::string replaced = oldLogical != newLogical ? heldBy(newLogical, target) : "";
  const auto takenByOther = [&](const std::string& p) {
    return p != oldPhysical && p != replaced && exists(p) && ownerOf(p) != newLogical;
  };
  const std::string built = ruleName(newLogical);
  // A name that is taken gives way to the one the write rule builds.
  const auto free = [&](const std::string& p) {
    if (!takenByOther(p)) return p;
    return built.empty() || takenByOther(built) ? std::string() : built;
  };
  std::string newPhysical = target;
  carryExtension(oldPhysical, newPhysical);
  const std::string carried = newPhysical;
  newPhysical = free(carried);
  if (newPhysical.empty()) return -EEXIST;
  // A name that would read the moved bytes by another conversion (a file
  // written under a temporary name, then renamed over a compressed one)
  // gets its data converted instead of unreadable.
  const std::string before = readConversion(oldLogical, oldPhysical, oldLogical, oldPhysical);
  const std::string after = readConversion(newLogical, newPhysical, oldLogical, oldPhysical);
  const std::string copyTarget = newPhysical != carried ? newPhysical : free(target);
  if (present && !before.empty() && !after.empty() && before != after &&
      copyTarget != oldPhysical) {
    if (copyTarget.empty()) return -EEXIST;
    logAt(LOG_DEBUG, "rename of %s to %s converts the data\n", oldLogical.c_str(),
          newLogical.c_str());
    const int rc = renameByCopy(from, newLogical, copyTarget);
    if (rc == 0) dropReplaced(replaced, copyTarget);
    if (rc <= 0) return rc;
  }
  if (rename(oldPhysical.c_str(), newPhysical.c_str()) == -1) return -errno;
  // Open files of the replaced name record nothing; those of the moved one
  // record under its new name (a log rotated while written keeps its size).
  if (oldLogical != newLogical) forgetOpenHandles(newLogical);
  renameOpenHandles(oldLogical, newLogical, oldPhysical, newPhysical);
  // The target's records go with its data; the moved file's take their place.
  MetaBatch batch;
  if (oldLogical != newLogical) batch.erase(newLogical, META_ALL, "meta");
  batch.put(newPhysical, META_NAME, "real", newLogical).move(oldLogical, newLogical);
  moveReadCommand(batch, oldLogical, newLogical, oldPhysical, newPhysical);
  batch.put(newLogical, META_NAME, "meta", newPhysical);
  if (oldPhysical != newPhysical) batch.erase(oldPhysical, META_NAME, "real");
  batch.commit();
  if (replaced != oldPhysical) dropReplaced(replaced, newPhysical);
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
