// Files whose writer died: a write conversion stores the zero stamps when
// it starts and its end replaces them, so a file that still carries them
// while nobody holds its writer lock was left by a daemon that was killed
// or lost its machine. Its stream is ended at the last point that
// decodes and its records are set from what it then holds.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "locks.h"
#include "records.h"
#include "handle.h"
#include "recovery.h"

namespace {

bool zeroStamps(const struct timespec stamps[2]) {
  static const struct timespec zero[2] = {};
  return std::memcmp(stamps, zero, sizeof zero) == 0;
}

// The stream ended by xiobyt; its logical size, or -1 when it cannot be.
int64_t endStreamOf(const std::string& logical, const std::string& command,
                    const std::string& format, std::string& inverse,
                    std::string& inverseFormat) {
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  trace[0] = '\0';
  errno = 0;
  const int64_t size =
      xiorecover(trace.get(), command.c_str(), format.c_str(), &inverse, &inverseFormat);
  if (size < 0 || trace[0] != '\0') {
    logAt(LOG_ERROR, "Error trace of xiorecover %s (%s):\n%s\n", logical.c_str(),
          std::strerror(errno), trace.get());
  }
  return size;
}

}  // namespace

bool recoverInterrupted(const std::string& logical) {
  if (vaskfsArgs.viewMode || vaskfsArgs.env == nullptr) return false;
  struct timespec stamps[2];
  std::string physical, command, format;
  struct stat stored;
  bool hasStat = false;
  {
    MetaSnapshot meta("meta");
    if (meta.fixed(logical, META_MTIME, stamps, sizeof stamps) != 0 || !zeroStamps(stamps))
      return false;
    if (meta.text(logical, META_NAME, physical) != 0) return false;
    if (meta.text(logical, META_WRITE, command) != 0) command.clear();
    if (meta.text(logical, META_WFORMAT, format) != 0) format = "format.bin()";
    hasStat = meta.fixed(logical, META_STAT, &stored, sizeof stored) == 0;
  }
  // Its own writer is still at work.
  if (!openWriters(logical).empty()) return false;
  struct stat st;
  // Gone: the lookup drops its records.
  if (lstat(physical.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Another process (a second daemon on the root) is writing it: its stamps
  // are that writer's, not a dead one's.
  if (writerLockHeld(physical)) return false;
  int64_t size = st.st_size;
  std::string inverse, inverseFormat;
  if (!command.empty() && !plainCommands(command, format)) {
    // An interrupted age append's copy never took the file's place: the
    // file holds what it held before.
    removeLeftoverCopies(physical);
    {
      // xiorecover writes beside the file: a listing meanwhile leaves it be.
      const size_t slash = physical.rfind('/');
      InFlight working(slash == std::string::npos ? "." : physical.substr(0, slash));
      size = endStreamOf(logical, command, format, inverse, inverseFormat);
    }
    // Left as it is for a later look (a key that comes back, a caller
    // who may write the file).
    if (size < 0) return false;
    if (lstat(physical.c_str(), &st) != 0) return false;
  }
  // A created file keeps the mode it was made with (xiobyt made it 0600),
  // as its release would have set it.
  const mode_t wanted = hasStat ? stored.st_mode & 07777 : st.st_mode & 07777;
  if ((st.st_mode & 07777) != wanted &&
      fchmodat(AT_FDCWD, physical.c_str(), wanted, AT_SYMLINK_NOFOLLOW) == 0)
    lstat(physical.c_str(), &st);
  const FileIdentity id = identityOf(st);
  st.st_size = size;
  // The physical file's own times: a later change made outside is seen.
  const struct timespec fresh[2] = {st.st_atim, st.st_mtim};
  std::vector<MetaRecord> records{{logical, META_STAT, "meta", &st, sizeof st},
                                  {logical, META_MTIME, "meta", fresh, sizeof fresh},
                                  {logical, META_IDENT, "meta", &id, sizeof id}};
  if (!inverse.empty())
    records.push_back({logical, META_READ, "meta", inverse.data(), inverse.size()});
  if (!inverseFormat.empty())
    records.push_back({logical, META_RFORMAT, "meta", inverseFormat.data(), inverseFormat.size()});
  if (writeMetaRecords(records) != 0) return false;
  // Times a dead writer wished for belong to data that may be gone.
  deleteMeta(logical, META_NEWTS, "meta");
  logAt(LOG_INFO, "recovered the interrupted %s: %lld bytes in %s\n", logical.c_str(),
        static_cast<long long>(size), physical.c_str());
  return true;
}
