// Swapping two names (renameat2 with RENAME_EXCHANGE). The two physical
// objects trade places in one renameat2 on the physical tree and their
// records in one transaction, so that no moment shows either name missing
// or both with the same data. Nothing is converted: each object must land
// where, and stored as, writing its new name would have put it; otherwise
// the exchange is refused with EINVAL before anything changes.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rename.h"
#include "state.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"

namespace {

// A name no logical file can have (the index's own), under which one side's
// records and handles wait while the other side's take their place.
constexpr char kAside[] = ".vaskIndex.exchange";

// One of the two names.
struct Side {
  std::string logical;
  // Where the object lives now: the physical file of a file with records,
  // else the logical name itself (directories, links, special files).
  std::string physical;
  bool file = false;
  bool directory = false;
  // Writing this name: its rule and physical name (`ruled` false: no write
  // rule, the name the mapping gives).
  Destination d;
  bool ruled = false;
  // The identity record described the physical file before the exchange.
  bool identCurrent = false;
};

// 0 or a negated errno (ENOENT when the name shows nothing).
int sideOf(const char* path, Side& s) {
  s.logical = logicalName(path);
  uint32_t mapFlags = 0;
  const std::string mapped = getPhysicalPath(s.logical, &mapFlags, nullptr);
  s.ruled = destinationOf(s.logical, s.d);
  if (!s.ruled) s.d.physical = mapped;
  struct stat st;
  const bool atLogical = lstat(s.logical.c_str(), &st) == 0;
  if ((mapFlags & MAP_NAME_KNOWN) == 0 || (atLogical && !S_ISREG(st.st_mode))) {
    if (!atLogical) return -ENOENT;
    s.physical = s.logical;
    s.directory = S_ISDIR(st.st_mode);
    return 0;
  }
  s.physical = mapped;
  if (lstat(s.physical.c_str(), &st) != 0) return -errno;
  s.file = true;
  FileIdentity known;
  s.identCurrent = readMetaFixed(s.logical, META_IDENT, &known, sizeof known) == 0 &&
                   sameIdentity(known, identityOf(st));
  return 0;
}

// Whether the object of `from` may take the place of `to`'s as it is.
bool fits(const Side& from, const Side& to) {
  // Only a file has a rule to follow; anything else lives under its name.
  if (!from.file) return to.physical == to.logical;
  if (to.d.physical != to.physical) return false;
  return !to.ruled || storedAs(from.logical, from.physical, to.d);
}

// The records of the file that came from `from` now describe `to`'s name,
// where it lies in `to`'s old physical place; a directory or the like that
// came leaves no record of a physical file behind.
void describeArrival(MetaBatch& batch, const Side& from, const Side& to) {
  if (!from.file) {
    if (to.file) batch.erase(to.physical, META_NAME, "real");
    return;
  }
  moveCommands(batch, from.logical, to.logical, from.physical, to.physical);
  batch.put(to.logical, META_NAME, "meta", to.physical)
      .put(to.physical, META_NAME, "real", to.logical);
  struct stat now;
  if (from.identCurrent && lstat(to.physical.c_str(), &now) == 0) {
    const FileIdentity id = identityOf(now);
    batch.put(to.logical, META_IDENT, "meta", &id, sizeof id);
  }
}

}  // namespace

int exchangeNames(const char* from, const char* to) {
  Side a, b;
  if (const int rc = sideOf(from, a); rc != 0) return rc;
  if (const int rc = sideOf(to, b); rc != 0) return rc;
  CallerPrefix caller;
  logCaller(LOG_INFO, caller, "[rename exchange] %s <-> %s\n", a.logical.c_str(),
            b.logical.c_str());
  if (a.logical == b.logical) return 0;
  if (!fits(a, b) || !fits(b, a)) {
    logCaller(LOG_INFO, caller, "[rename exchange] %s and %s are stored differently\n",
              a.logical.c_str(), b.logical.c_str());
    return -EINVAL;
  }
  if (renameat2(AT_FDCWD, a.physical.c_str(), AT_FDCWD, b.physical.c_str(), RENAME_EXCHANGE) != 0)
    return -errno;

  // Each name's records, and those below it when it is a directory, go to
  // the other name by way of the aside name; then the arrivals are fixed up
  // (commands and ".name" records name the physical place they took).
  MetaBatch batch;
  batch.erase(kAside, META_ALL, "meta");
  if (a.directory || b.directory)
    batch.moveTree(a.logical, kAside).moveTree(b.logical, a.logical).moveTree(kAside, b.logical);
  batch.move(a.logical, kAside).move(b.logical, a.logical).move(kAside, b.logical);
  describeArrival(batch, a, b);
  describeArrival(batch, b, a);
  if (const int rc = batch.commit(); rc != 0) {
    // Records that stayed must keep describing their data: the files go
    // back, and the caller learns that nothing was exchanged.
    logAt(LOG_ERROR, "records of %s and %s not exchanged: %s\n", a.logical.c_str(),
          b.logical.c_str(), mdb_strerror(rc));
    if (renameat2(AT_FDCWD, a.physical.c_str(), AT_FDCWD, b.physical.c_str(), RENAME_EXCHANGE) !=
        0)
      logAt(LOG_ERROR, "%s and %s not exchanged back: %s\n", a.physical.c_str(),
            b.physical.c_str(), std::strerror(errno));
    return -EIO;
  }
  // Open files follow their data, and release records under its new name.
  renameOpenHandles(a.logical, kAside, a.physical, kAside);
  renameOpenHandles(b.logical, a.logical, b.physical, a.physical);
  renameOpenHandles(kAside, b.logical, kAside, b.physical);
  return 0;
}
