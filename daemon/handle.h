// The open-file handle. Its fields belong to the file's lock (locks.h),
// held by every request that changes them (open, write, flush, release,
// truncate); reads, which hold no file lock, take the handle's useMutex.
// The registry of live handles has a leaf mutex of its own: a handle is
// never freed while another thread can reach it through the registry.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "confdb.h"
#include "identity.h"
#include "log.h"
#include "xiobyt/xiobyt.h"

struct FileHandle {
  XioHandle* convHandle = nullptr;
  int fd = -1;
  int useIR = 0;
  uint64_t bytesWritten = 0;
  int64_t offset = 0;
  int direction = 0;  // 0 read, 1 write, 3 write of a created file
  uint32_t mapFlags = 0;
  std::string logicalPath;
  std::string physicalPath;
  ConfigEntry conf;
  char errorTrace[XIO_TRACE_SIZE] = "";
  // A write open without O_TRUNC whose conversion starts at the first write.
  bool openPending = false;
  // Who opened the file: the later requests on it (release comes without
  // credentials) act as the opener did, as a descriptor would.
  CallerIdentity opener;
  // The name was removed while open: release records nothing under it.
  bool removed = false;
  // Stored unchanged: `fd` is the physical file, read and written at any
  // offset; there is no conversion.
  bool plain = false;
  // The descriptors converting renames took the handle away from, open
  // until the handle goes: libfuse may still be splicing a read's reply
  // from one.
  std::vector<int> retiredFds;
  // A rewrite that moved the file to the name the write rule in force
  // gives: the physical file it replaces, removed once the new one is whole.
  std::string replacedPhysical;
  // The logical offset the running conversion began at (above 0: it
  // appends).
  int64_t conversionStart = 0;
  // Writes go to the end of the file's one stream, wherever the kernel
  // puts them: an O_APPEND open, or a writer whose stream another writer of
  // the same file took over.
  bool followsEnd = false;
  // A flush ended the stream; the handle writes again only through another
  // descriptor of the same open file, and blocks no new writer.
  bool ended = false;
  // The writer lock this handle holds a share of (takeWriterLock).
  bool writerLock = false;
  dev_t lockDevice = 0;
  ino_t lockInode = 0;
  // The kernel's backing file of a plain file it serves itself (0: none),
  // shared by every handle of the same physical file (passthrough.h).
  int backingId = 0;
  dev_t backingDevice = 0;
  ino_t backingInode = 0;
  // A handle the kernel serves, of a file renamed to a name that converts:
  // its writes reach the physical file unseen, and its kernel inode takes
  // no converted open, so the conversion waits for the release of the last
  // such handle (convertDeferred).
  bool convertAtRelease = false;
  // Who renamed it: the conversion acts as that user, whoever closes last.
  CallerIdentity convertAs;
  // Guards the conversion handle and the read position for reads, which
  // hold no file lock: xiobyt handles serve one thread at a time.
  std::mutex useMutex;  // guards convHandle and the read position for reads

  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // Closes what release did not (a handle dropped on a failure path).
  ~FileHandle();
};

using FileHandlePtr = std::unique_ptr<FileHandle>;

// A handle for the FUSE path: logical and physical name, the write rule.
FileHandlePtr initNewHandle(const char* path);
// The handles alive in this daemon (each registers itself when built by
// initNewHandle and leaves when destroyed).
// writerOpen: a handle of `logical` is writing its stream (an open that
// has not written, as touch's, is none).
bool writerOpen(std::string_view logical);
std::vector<FileHandle*> openWriters(std::string_view logical);
// Changes the physical name of a live handle (a rewrite that moves to the
// name of the write rule in force), seen by listings of other threads.
void setPhysicalName(FileHandle& h, std::string physical);
// Whether a handle other than `self` of `logical` is writing a converted
// stream, or is open to write one and has not been closed.
bool streamBusy(std::string_view logical, const FileHandle* self);
// Before `self` writes: ends the streams other handles of the same file
// are writing (their data recorded, each file whole), so that `self`
// continues at the end. Returns whether any was ended.
bool takeStream(FileHandle& self, CallerPrefix& caller);
// The converted size as recorded, where an appending write starts.
int64_t recordedSize(const std::string& logical);
// Whether `uid` has `logical` open for writing here.
bool openForWritingBy(std::string_view logical, uid_t uid);
// Open files follow a rename of their name or of a directory above it, so
// that release records under the current name.
void renameOpenHandles(std::string_view oldLogical, std::string_view newLogical,
                       std::string_view oldPhysical, std::string_view newPhysical);
// Whether a live handle of `logical` other than `self` is served by the
// kernel: its kernel inode then takes no other kind of open (passthrough.h).
bool passedThroughOpen(std::string_view logical, const FileHandle* self);
// The same, from a physical file other than (device, inode).
bool passedThroughElsewhere(std::string_view logical, dev_t device, ino_t inode,
                            const FileHandle* self);
// Marks the live handles of `logical` that the kernel serves to convert the
// file at their release, as `renamer`.
void markConversionWaiting(std::string_view logical, const CallerIdentity& renamer);
// A live handle of `logical` other than `self` that waits to convert the
// file at its release, or null.
const FileHandle* conversionWaits(std::string_view logical, const FileHandle* self);
// Marks the handles of a removed name, so that nothing is recorded for it.
void forgetOpenHandles(std::string_view logical);
// Whether a file string and format string convert nothing (bin, no layer).
bool plainCommands(const std::string& fileString, const std::string& formatString);
// The handle that libfuse carries, or null.
inline FileHandle* handleOf(const fuse_file_info* fi) {
  return fi != nullptr ? reinterpret_cast<FileHandle*>(fi->fh) : nullptr;
}
// The state text of a write: the logical name, quoted as a command-string
// text, and the daemon's version.
std::string stateText(const std::string& logical);
// Opens the handle's conversion with its file and format string and stores
// what the open learnt. Returns 0 or a negated errno; a failure without an
// errno leaves a null conversion handle and returns 0.
int startConversion(FileHandle& handle);
// Removes the physical file a completed rewrite replaced, with its record.
void finishReplacement(FileHandle& handle);
// When the handle's trace holds text: logs "Error trace of <call>:" and the
// trace at level error and stores the whole buffer as ".error".
void keepTrace(FileHandle& handle, const char* call);
