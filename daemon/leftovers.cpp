// Temporary copies a crash left behind: the daemon's converting renames and
// xiobyt's age appends write ".vaskIndex.tmp.<name>.XXXXXX" beside their
// target and rename it into place or remove it; only a process that died
// in between leaves one.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "state.h"
#include "log.h"
#include "recovery.h"

namespace {

constexpr std::string_view kTempPrefix = ".vaskIndex.tmp.";
constexpr size_t kRandomPart = 6;  // mkostemp's XXXXXX

// Whether `name` has the shape of a copy made here: the prefix, a name of
// at least one byte, a dot and mkostemp's six letters or digits. Other
// names that begin with ".vaskIndex" (a user's, made in the root) stay.
bool temporaryCopyName(std::string_view name) {
  if (name.size() < kTempPrefix.size() + 2 + kRandomPart) return false;
  if (name.substr(0, kTempPrefix.size()) != kTempPrefix) return false;
  const size_t dot = name.size() - kRandomPart - 1;
  if (name[dot] != '.') return false;
  for (size_t i = dot + 1; i < name.size(); ++i)
    if (std::isalnum(static_cast<unsigned char>(name[i])) == 0) return false;
  return true;
}

}  // namespace

bool removeLeftoverCopy(int dirFd, const std::string& dirName, const char* name) {
  if (vaskfsArgs.viewMode || !temporaryCopyName(name)) return false;
  // A conversion of this daemon in the directory may be writing its copy
  // now (an age append lives in one until its stream ends).
  if (conversionInDirectory(dirName)) return false;
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  // unlinkat never follows a link: a name swapped for one meanwhile only
  // loses the link.
  if (unlinkat(dirFd, name, 0) != 0) {
    logAt(LOG_DEBUG, "cannot remove the leftover %s/%s: %s\n", dirName.c_str(), name,
          std::strerror(errno));
    return false;
  }
  logAt(LOG_INFO, "removed the leftover %s/%s of an interrupted write\n", dirName.c_str(), name);
  return true;
}

void removeLeftoverCopies(const std::string& physical) {
  const size_t slash = physical.rfind('/');
  const std::string dirName = slash == std::string::npos ? "." : physical.substr(0, slash);
  const int dirFd = open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd == -1) return;
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return;
  }
  // Copies of this file only: the prefix and its name, cut as the makers
  // cut long names, so a copy of another file waits for its own listing.
  const std::string base = slash == std::string::npos ? physical : physical.substr(slash + 1);
  const std::string own = std::string(kTempPrefix) + base.substr(0, 200);
  while (const dirent* entry = readdir(dir))
    if (std::strncmp(entry->d_name, own.c_str(), own.size()) == 0)
      removeLeftoverCopy(dirfd(dir), dirName, entry->d_name);
  closedir(dir);
}
