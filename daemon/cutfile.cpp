// A file cut off mid-write by a writer this daemon never knew of has no
// record of its start here, so the zero stamps that tell this daemon of its
// own dead writers are missing. What tells it instead: the file does not
// decode to its end and nobody holds the lock every writer holds.
#include "cutfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "corekit/corekit.h"
#include "handle.h"
#include "identity.h"
#include "locks.h"
#include "log.h"
#include "mapping.h"
#include "recovery.h"
#include "state.h"
#include "xiobyt/xiobyt.h"

namespace {

// The write command and format of the rule in force for `logical`, when
// that rule writes exactly `physical`.
bool writeCommandFor(const std::string& logical, const std::string& physical, std::string& command,
                     std::string& format) {
  ConfigEntry rule;
  initConfEntry(rule);
  if (getConf4Name(logical, rule, SEARCH_MATCH, "confW") != 0) return false;
  std::string target;
  if (pat2str(logical, rule.targetPattern, target) <= 0 || target.empty()) return false;
  if (target[0] == '/') target.erase(0, 1);
  if (target != physical) return false;
  command = rule.fileString;
  insertName(command, physical);
  format = rule.formatString.empty() ? "format.bin()" : rule.formatString;
  return !plainCommands(command, format);
}

// A write lock on `physical` for the recovery, or -1 when somebody holds
// one (a writer, here or on another host, or another recovery).
int lockForRecovery(const std::string& physical) {
  DaemonIdentity daemon;
  const int fd = open(physical.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return -1;
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool recoverCutFile(const std::string& logical, const std::string& physical) {
  if (vaskfsArgs.viewMode || writerOpen(logical)) return false;
  std::string command, format;
  if (!writeCommandFor(logical, physical, command, format)) return false;
  const int lock = lockForRecovery(physical);
  if (lock == -1) return false;
  // Empty: nothing was cut, and a writer may be about to lock it.
  struct stat st;
  if (fstat(lock, &st) != 0 || st.st_size == 0) {
    close(lock);
    return false;
  }
  int64_t size;
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  trace[0] = '\0';
  {
    const size_t slash = physical.rfind('/');
    InFlight working(slash == std::string::npos ? "." : physical.substr(0, slash));
    removeLeftoverCopies(physical);
    errno = 0;
    size = xiorecover(trace.get(), command.c_str(), format.c_str(), nullptr, nullptr);
  }
  const int e = errno;
  close(lock);
  if (size < 0) {
    logAt(LOG_ERROR, "cannot end the cut-off %s (%s):\n%s\n", physical.c_str(), std::strerror(e),
          trace.get());
    return false;
  }
  logAt(LOG_INFO, "ended the cut-off %s of %s: %lld bytes\n", physical.c_str(), logical.c_str(),
        static_cast<long long>(size));
  return true;
}

bool makeToLock(const std::string& physical, const std::string& fileString) {
  std::string named = "file=''";
  insertName(named, physical);
  if (fileString.find(named) == std::string::npos) return false;  // writes another file
  const int fd =
      open(physical.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd == -1) return false;  // there already, or the conversion says why not
  close(fd);
  return true;
}

void unmakeToLock(const std::string& physical) {
  struct stat st;
  if (lstat(physical.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    unlink(physical.c_str());
}
