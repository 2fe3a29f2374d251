// Renaming: the physical file follows the logical name, and its records
// follow both. Where the new name reads its data by another conversion than
// the old one did, the data is converted on the way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "corekit/corekit.h"
#include "vaskFS.h"

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

// The stored read command names the physical file: follow the rename.
void rewriteReadCommand(const std::string& newLogical, const std::string& oldPhysical,
                        const std::string& newPhysical) {
  std::string command;
  if (readMetaText(newLogical, META_READ, "meta", command) != 0) return;
  const std::string from = quotedName(oldPhysical);
  const size_t at = command.find(from);
  if (at == std::string::npos) return;
  command.replace(at, from.size(), quotedName(newPhysical));
  writeMetaBytes(newLogical, META_READ, "meta", command.data(), command.size());
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

// Copies the data of `from` into a file created as `to` through the write
// rule of `to`, with the source's mode, owner and times, then removes the
// source. Returns 0 or a negated errno; on failure the source is kept.
int renameByCopy(const char* from, const char* to) {
  struct stat st;
  if (const int rc = vaskFS_getattr(from, &st, nullptr); rc != 0) return rc;
  fuse_file_info in = {};
  in.flags = O_RDONLY;
  if (const int rc = vaskFS_open(from, &in); rc != 0) return rc;
  fuse_file_info out = {};
  out.flags = O_WRONLY | O_CREAT | O_TRUNC;
  int rc = vaskFS_create(to, st.st_mode & 07777, &out);
  if (rc != 0) {
    vaskFS_release(from, &in);
    return rc;
  }
  std::string buffer(1 << 20, '\0');
  for (off_t at = 0;;) {
    const int n = vaskFS_read(from, buffer.data(), buffer.size(), at, &in);
    if (n <= 0) {
      rc = n;
      break;
    }
    const int w = vaskFS_write(to, buffer.data(), static_cast<size_t>(n), at, &out);
    if (w < 0) {
      rc = w;
      break;
    }
    at += n;
  }
  vaskFS_release(from, &in);
  if (rc == 0) rc = vaskFS_flush(to, &out);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (rc == 0) vaskFS_utimens(to, times, nullptr);
  const int closed = vaskFS_release(to, &out);
  if (rc == 0) rc = closed;
  if (rc != 0) {
    vaskFS_unlink(to);
    return rc;
  }
  vaskFS_chown(to, st.st_uid, st.st_gid, nullptr);
  vaskFS_unlink(from);
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
  if ((mapFlags & MAP_NAME_KNOWN) == 0)
    return rename(oldLogical.c_str(), newLogical.c_str()) == -1 ? -errno : 0;

  uint32_t newFlags = 0;
  std::string newPhysical = getPhysicalPath(newLogical, &newFlags, nullptr);
  carryExtension(oldPhysical, newPhysical);
  // A name that would read the moved bytes by another conversion (a file
  // written under a temporary name, then renamed over a compressed one)
  // gets its data converted instead of unreadable.
  const std::string before = readConversion(oldLogical, oldPhysical, oldLogical, oldPhysical);
  const std::string after = readConversion(newLogical, newPhysical, oldLogical, oldPhysical);
  if (!before.empty() && !after.empty() && before != after && newPhysical != oldPhysical) {
    logAt(LOG_DEBUG, "rename of %s to %s converts the data\n", oldLogical.c_str(),
          newLogical.c_str());
    return renameByCopy(from, to);
  }
  if (rename(oldPhysical.c_str(), newPhysical.c_str()) == -1) return -errno;
  writeMetaBytes(newPhysical, META_NAME, "real", newLogical.data(), newLogical.size());
  moveMeta(oldLogical, newLogical, 0);
  rewriteReadCommand(newLogical, oldPhysical, newPhysical);
  writeMetaBytes(newLogical, META_NAME, "meta", newPhysical.data(), newPhysical.size());
  if (oldPhysical != newPhysical) deleteMeta(oldPhysical, META_NAME, "real");
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
