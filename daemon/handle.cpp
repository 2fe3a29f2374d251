// The open-file handle and the keeping of conversion traces.
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "applocks.h"
#include "corekit/corekit.h"
#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "locks.h"
#include "identity.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "recovery.h"
#include "passthrough.h"

namespace {

// A handle's other fields belong to its file's lock: the queries below
// look at them only for handles of the name asked about, whose lock the
// caller holds.
std::mutex handlesMutex;  // guards the live-handle list and every handle's names; a leaf

// Few files are open at once; a list keeps the lookups simple.
std::vector<FileHandle*>& liveHandles() {
  static std::vector<FileHandle*> handles;
  return handles;
}

// The live handles of `logical`.
std::vector<FileHandle*> handlesOf(std::string_view logical) {
  std::lock_guard<std::mutex> guard(handlesMutex);
  std::vector<FileHandle*> found;
  for (FileHandle* h : liveHandles())
    if (h->logicalPath == logical) found.push_back(h);
  return found;
}

}  // namespace

bool writerOpen(std::string_view logical) {
  for (const FileHandle* h : handlesOf(logical))
    if (h->direction != 0 && h->convHandle != nullptr && !h->removed) return true;
  return false;
}

std::vector<FileHandle*> openWriters(std::string_view logical) {
  std::vector<FileHandle*> writers;
  for (FileHandle* h : handlesOf(logical))
    if (h->direction != 0 && !h->removed) writers.push_back(h);
  return writers;
}

bool streamBusy(std::string_view logical, const FileHandle* self) {
  for (const FileHandle* h : handlesOf(logical))
    if (h != self && h->direction != 0 && !h->plain && !h->removed && !h->ended &&
        (h->convHandle != nullptr || h->openPending))
      return true;
  return false;
}

bool passedThroughOpen(std::string_view logical, const FileHandle* self) {
  for (const FileHandle* h : handlesOf(logical))
    if (h != self && !h->removed && h->backingId > 0) return true;
  return false;
}

bool passedThroughElsewhere(std::string_view logical, dev_t device, ino_t inode,
                            const FileHandle* self) {
  for (const FileHandle* h : handlesOf(logical))
    if (h != self && !h->removed && h->backingId > 0 &&
        (h->backingDevice != device || h->backingInode != inode))
      return true;
  return false;
}

void markConversionWaiting(std::string_view logical, const CallerIdentity& renamer) {
  for (FileHandle* h : handlesOf(logical)) {
    if (h->removed || h->backingId <= 0 || h->convertAtRelease) continue;
    h->convertAtRelease = true;
    h->convertAs = renamer;
  }
}

const FileHandle* conversionWaits(std::string_view logical, const FileHandle* self) {
  for (const FileHandle* h : handlesOf(logical))
    if (h != self && !h->removed && h->convertAtRelease) return h;
  return nullptr;
}

bool openForWritingBy(std::string_view logical, uid_t uid) {
  for (const FileHandle* h : handlesOf(logical))
    if (h->direction != 0 && !h->removed && (h->opener.valid ? h->opener.uid : 0) == uid)
      return true;
  return false;
}

void setPhysicalName(FileHandle& h, std::string physical) {
  std::lock_guard<std::mutex> guard(handlesMutex);
  h.physicalPath = std::move(physical);
}

bool conversionInDirectory(std::string_view dir) {
  if (workInFlight(std::string(dir))) return true;
  std::lock_guard<std::mutex> guard(handlesMutex);
  for (const FileHandle* h : liveHandles()) {
    const size_t slash = h->physicalPath.rfind('/');
    const std::string_view own = slash == std::string::npos
                                     ? std::string_view(".")
                                     : std::string_view(h->physicalPath).substr(0, slash);
    if (own == dir) return true;
  }
  return false;
}

namespace {

// `name` with `from` replaced by `to` when it is `from` or lies below it.
bool moved(std::string& name, std::string_view from, std::string_view to) {
  if (name.compare(0, from.size(), from) != 0) return false;
  if (name.size() != from.size() && name[from.size()] != '/') return false;
  name.replace(0, from.size(), to);
  return true;
}

}  // namespace

void renameOpenHandles(std::string_view oldLogical, std::string_view newLogical,
                       std::string_view oldPhysical, std::string_view newPhysical) {
  std::lock_guard<std::mutex> guard(handlesMutex);
  for (FileHandle* h : liveHandles()) {
    if (!moved(h->logicalPath, oldLogical, newLogical)) continue;
    const std::string before = h->physicalPath;
    if (!moved(h->physicalPath, oldPhysical, newPhysical)) continue;
    // A conversion not started yet opens the file its string names.
    const std::string quoted = "'" + doubleApostrophes(before) + "'";
    if (const size_t at = h->conf.fileString.find(quoted); at != std::string::npos)
      h->conf.fileString.replace(at, quoted.size(), "'" + doubleApostrophes(h->physicalPath) + "'");
  }
}

void forgetOpenHandles(std::string_view logical) {
  std::lock_guard<std::mutex> guard(handlesMutex);
  for (FileHandle* h : liveHandles())
    if (h->logicalPath == logical) h->removed = true;
}

bool plainCommands(const std::string& fileString, const std::string& formatString) {
  // Every lookup of a file asks; parsing its strings each time cost a
  // listing of plain files more than the rest of its work. Rules are few,
  // so the answers are few too.
  static std::mutex lock;
  static std::unordered_map<std::string, bool> answers;
  std::string key;
  key.reserve(fileString.size() + formatString.size() + 1);
  key.append(fileString).append(1, '\n').append(formatString);
  std::lock_guard<std::mutex> guard(lock);
  if (const auto found = answers.find(key); found != answers.end()) return found->second;
  if (answers.size() > 100000) answers.clear();
  const bool plain = xioisplain(fileString.c_str(), formatString.c_str()) == 1;
  answers.emplace(std::move(key), plain);
  return plain;
}

FileHandle::~FileHandle() {
  {
    std::lock_guard<std::mutex> guard(handlesMutex);
    auto& handles = liveHandles();
    for (size_t i = 0; i < handles.size(); ++i) {
      if (handles[i] == this) {
        handles[i] = handles.back();
        handles.pop_back();
        break;
      }
    }
  }
  if (convHandle != nullptr) {
    char trace[XIO_TRACE_SIZE] = "";
    xiopclose(trace, convHandle, nullptr, nullptr, nullptr);
  }
  dropWriterLock(*this);
  dropHandleLocks(*this);
  endPassthrough(*this);
  if (fd != -1) close(fd);
  for (const int fd : retiredFds) close(fd);
}

FileHandlePtr initNewHandle(const char* path) {
  auto handle = std::make_unique<FileHandle>();
  initConfEntry(handle->conf);
  handle->logicalPath = logicalName(path);
  handle->physicalPath = getPhysicalPath(handle->logicalPath, &handle->mapFlags, handle.get());
  handle->fd = -1;
  handle->opener = requestIdentity();
  // Seen by others only once its names are set.
  std::lock_guard<std::mutex> guard(handlesMutex);
  liveHandles().push_back(handle.get());
  return handle;
}

void keepTrace(FileHandle& handle, const char* call) {
  if (handle.errorTrace[0] == '\0') return;
  logAt(LOG_ERROR, "Error trace of %s:\n%s\n", call, handle.errorTrace);
  writeMetaBytes(handle.logicalPath, META_ERROR, "meta", handle.errorTrace,
                 sizeof handle.errorTrace);
}
