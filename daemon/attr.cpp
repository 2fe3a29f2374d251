// Attributes, listings, access, statfs and time stamps: the physical tree
// presented under logical names with converted sizes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "corekit/corekit.h"
#include "state.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "recovery.h"
#include "operations.h"

namespace {

const char* typeName(unsigned char type) {
  switch (type) {
    case DT_FIFO:
      return "named pipe";
    case DT_CHR:
      return "character device";
    case DT_DIR:
      return "directory";
    case DT_BLK:
      return "block device";
    case DT_REG:
      return "regular file";
    case DT_LNK:
      return "symbolic link";
    case DT_SOCK:
      return "socket";
    case DT_UNKNOWN:
      return "unknown";
    default:
      return "undefined";
  }
}

// Whether a read rule translates the physical name.
bool readRuleMatches(const std::string& name, int mode) {
  ConfigEntry entry;
  initConfEntry(entry);
  return getConf4Name(name, entry, mode, "confR") == 0;
}

}  // namespace

int vaskFS_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t /*offset*/,
                   fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/) try {
  const std::string dirName = logicalName(path);
  std::string offered, physical, last;
  offered.reserve(256);
  physical.reserve(256);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[readdir] %s\n", dirName.c_str());
  const int dirFd = open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd == -1) return -errno;
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    const int e = errno;
    close(dirFd);
    return -e;
  }
  std::optional<MetaSnapshot> names;
  // The files met for the first time in this listing are recorded together.
  MetaBatch firstSights;
  while (const dirent* entry = readdir(dir)) {
    // The index, and the copies that a converting rename makes beside its target.
    if (std::strncmp(entry->d_name, ".vaskIndex", 10) == 0) {
      removeLeftoverCopy(dirfd(dir), dirName, entry->d_name);
      continue;
    }
    struct stat attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.st_ino = entry->d_ino;
    attributes.st_mode = static_cast<mode_t>(entry->d_type) << 12;
    offered = dirName == "." ? std::string(entry->d_name) : dirName + "/" + entry->d_name;
    if (entry->d_type == DT_REG) {
      physical = offered;
      // One read transaction serves the known names of the whole listing;
      // it ends before a new file's records are stored.
      if (!names) names.emplace("real");
      if (names->text(physical, META_NAME, offered) != 0) {
        names.reset();
        struct stat scratch;
        if (updateVaskInfo(offered, physical, &scratch, &firstSights) != 0) continue;
      }
      if (pat2str(offered, "[name]", last) > 0) offered = last;
    } else if (entry->d_type == DT_DIR && vaskfsArgs.viewMode) {
      names.reset();
      if (!readRuleMatches(offered, SEARCH_DIRECTORY)) continue;
      offered = entry->d_name;
    } else {
      offered = entry->d_name;
    }
    logAt(LOG_DEBUG, "entry: %s type: %s logical name: %s\n", entry->d_name,
          typeName(entry->d_type), offered.c_str());
    if (filler(buf, offered.c_str(), &attributes, 0, static_cast<fuse_fill_dir_flags>(0)) != 0)
      break;
  }
  closedir(dir);
  names.reset();
  firstSights.commit();
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_access(const char* path, int mode) try {
  if (vaskfsArgs.viewMode && (mode & W_OK) != 0) return -EACCES;
  const MappedName name = mapName(path, "access");
  // A mapped name must be readable back: by its stored command (useIR) or
  // by a read rule.
  if ((name.flags & MAP_NAME_KNOWN) != 0 && (name.flags & MAP_USE_IR) == 0 &&
      !readRuleMatches(name.physical, SEARCH_MATCH))
    return -ENOENT;
  // access(2) would check the daemon's real uid; AT_EACCESS checks the
  // file-system identity the request runs with.
  return faccessat(AT_FDCWD, name.physical.c_str(), mode, AT_EACCESS) == -1 ? -errno : 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

int vaskFS_statfs(const char* path, struct statvfs* st) try {
  const std::string logical = logicalName(path);
  uint32_t flags = 0;
  const std::string physical = getPhysicalPath(logical, &flags, nullptr);
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[statvfs] %s -> %s\n", logical.c_str(), physical.c_str());
  return statvfs(physical.c_str(), st) == -1 ? -errno : 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}

namespace {

// The stored attributes take the times that were set, with UTIME_NOW and
// UTIME_OMIT resolved as the system call resolved them on the physical file.
void storeTimesSet(const std::string& logical, const std::string& physical,
                   const struct timespec ts[2]) {
  struct stat now;
  const bool known = lstat(physical.c_str(), &now) == 0;
  struct timespec clock;
  clock_gettime(CLOCK_REALTIME, &clock);
  auto resolved = [&](int i, const struct timespec& physicalTime) {
    if (known) return physicalTime;
    return ts[i].tv_nsec == UTIME_NOW ? clock : ts[i];
  };
  editStoredStat(logical, physical, [&](struct stat& st) {
    if (ts[0].tv_nsec != UTIME_OMIT) st.st_atim = resolved(0, now.st_atim);
    if (ts[1].tv_nsec != UTIME_OMIT) st.st_mtim = resolved(1, now.st_mtim);
    if (known) st.st_ctim = now.st_ctim;
  });
}

}  // namespace

int vaskFS_utimens(const char* path, const struct timespec ts[2], fuse_file_info* /*fi*/) try {
  if (vaskfsArgs.viewMode) return -EACCES;
  const MappedName name = mapName(path, "utimens");
  if (utimensat(AT_FDCWD, name.physical.c_str(), ts, AT_SYMLINK_NOFOLLOW) == -1) return -errno;
  if ((name.flags & MAP_NAME_KNOWN) != 0) {
    // Times wanted while the file is written (cp -p, tar x) are applied
    // again at release; without a writer they are in place already, and a
    // stored wish would undo the next write's time.
    if (writerOpen(name.logical)) {
      writeMetaBytes(name.logical, META_NEWTS, "meta", ts, META_TIMES_SIZE);
    } else {
      deleteMeta(name.logical, META_NEWTS, "meta");
    }
    storeTimesSet(name.logical, name.physical, ts);
  }
  return 0;
} catch (const std::bad_alloc&) {
  return -ENOMEM;
}
