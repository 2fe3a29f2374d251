// The conversion handle behind the opaque XioHandle of xiobyt.h, shared by
// the calls in api.cpp and size.cpp. Owns its file descriptor and pipeline;
// used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "xiobyt/pipeline.h"
#include "xiobyt/random.h"
#include "xiobyt/settings.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/stages/pieces.h"
#include "xiobyt/stages/stages.h"
#include "xiobyt/xiobyt.h"

struct XioHandle {
  XioHandle() = default;
  // Wipes the handle's copies of passphrases and removes a copy that was
  // not yet complete (a durable one stays for recovery to finish).
  ~XioHandle();
  XioHandle(const XioHandle&) = delete;
  XioHandle& operator=(const XioHandle&) = delete;

  bool write = false;
  std::string fileString, physical;
  xio::FileSpec spec;
  xio::FormatSpec format;
  xio::StateSpec state;
  int64_t startOffset = 0;
  xio::FdGuard fd;
  std::unique_ptr<xio::Pipeline> pipe;
  xio::FileStage* file = nullptr;       // inside pipe
  xio::AutoStage* autoStage = nullptr;  // inside pipe, reading with auto
  int broken = 0;                       // errno of a failure that ended the stream

  // Writing: the next offset expected and, when the first stage is a codec,
  // the application's small writes gathered into large blocks.
  int64_t expected = 0;
  bool gather = false;
  size_t gatherSize = 0;  // the first codec's block (gzip: 128 KiB), at most kLinkSize
  // Appending to seekable zstd: the frames already there, which the new
  // seek table lists too, and whether a table can be written at all.
  std::vector<xio::SeekEntry> priorFrames;
  bool seekTable = true;
  // An outer gzip layer: where its member starts, for the sizes patched
  // into its header at close.
  bool gzipOuter = false;
  uint64_t memberStart = 0;
  xio::Pieces gathered;
  // Writing into a copy beside the file (an append under an age layer, a
  // write after a sync flush sealed the last age chunk, a recovery): the
  // copy's name, while it is incomplete, and the file itself, open for
  // writing, into whose inode the copy goes back once it is complete
  // (finishCopy). fd is then the copy's descriptor.
  std::string tempPath;
  xio::FdGuard target;
  // An age layer on the file (inside pipe), whose chunk a sync flush seals
  // as the last; the next write re-encrypts the file into a copy.
  xio::AgeWriterStage* ageOuter = nullptr;
  size_t codecStage = 0;  // index of the first codec stage in the pipeline

  // Reading: the last block decoded, holding the converted bytes from
  // decodedBase on, decodedLen of them (allocated at the first read).
  std::unique_ptr<uint8_t[]> decoded;
  int64_t decodedBase = 0;
  size_t decodedLen = 0;
  // Set while the handle has no usable stream: the next read must start
  // over, and fails for as long as starting over fails.
  bool restart = false;
  // A failure of the stream after decodedBase + decodedLen: the bytes
  // before it are served, a read past them reports it.
  int failedCode = 0;
  std::string failedCause;
  // Reading through the file's index instead of the stream: the chain of
  // random sources, made at the first read, null when some layer has no
  // index (or the index proved wrong: the stream reads on from there).
  std::unique_ptr<xio::RandomSource> random;
  bool randomTried = false;
  // Under auto, the layer the chain was made for.
  xio::Detected randomDetected = xio::Detected::UNDECIDED;
  uint64_t fileBytes = 0, appBytes = 0;
};

namespace xio {
// The name of a temporary file begins with this (the mount daemon hides
// names that begin with ".vaskIndex").
constexpr char kTempPrefix[] = ".vaskIndex.tmp.";
// The longest part of a file's name that the name of a copy beside it
// keeps, so that ".vaskIndex.tmp.<name>.XXXXXX" with the suffix of a
// durable copy (kDurableMark and an inode number) fits NAME_MAX.
constexpr size_t kTempNameKept = 200;
// Appended to a copy's name once the copy is complete and fdatasynced,
// followed by the decimal inode number of the file it belongs to:
// ".vaskIndex.tmp.<name>.XXXXXX.done-<inode>". Recovery finishes copying
// such a copy back (finishLeftoverCopy); an incomplete copy is only
// removed. The suffix keeps the name from having the shape of an
// incomplete copy (a dot and six letters or digits at the end).
constexpr char kDurableMark[] = ".done-";
// Creates a copy beside `physical`, ".vaskIndex.tmp.<name>.XXXXXX" with
// <name> cut to kTempNameKept bytes, with O_EXCL (a planted name or link
// is never opened) and mode 0600; `tempPath` and `fd` get its name and
// descriptor. 0 or errno with `why` saying what it was `for` (close.cpp).
int makeTempBeside(const std::string& physical, std::string& tempPath, FdGuard& fd,
                   const char* purpose, std::string& why);
// Ends a copy: h.fd (the copy) fdatasynced, renamed to its durable name,
// its directory synced, its bytes written into h.target from offset 0,
// the target cut to its length and fdatasynced, the copy removed and the
// directory synced. The handle then writes on in h.target, at its end.
// 0 or errno with `why`; a failure after the rename leaves the durable
// copy for recovery (close.cpp).
int finishCopy(XioHandle& h, std::string& why);
// Finishes the copy-back of a durable copy left beside `physical` by a
// writer that died, when one belongs to the file open at `fd` (its inode):
// the copy's bytes go into that file and the copy goes. 1 when a copy was
// finished, 0 when there was none, or -errno with `why` (close.cpp).
int finishLeftoverCopy(const std::string& physical, int fd, std::string& why);
// Traces a failure of `call` on the handle's physical file (handle.cpp).
void traceHandle(char* trace, const char* call, const XioHandle& h, int code,
                 const std::string& cause);
// Traces the failure of the handle's pipeline near `offset`; returns -1.
int64_t tracePipeline(char* trace, const char* call, const XioHandle& h, int64_t offset);
// False, with EBADF traced, for a null handle.
bool checkHandle(char* trace, const char* call, const XioHandle* h);
// Opens like xiopopen; a failure is traced as a failure of `call`.
XioHandle* openHandle(char* trace, const char* call, const char* fileString,
                      const char* formatString, std::string* state, int64_t offset);
// Builds (or, reading, rebuilds from the start of the file) the pipeline of
// an open handle. Returns 0 or an errno with the cause in `why`.
int buildPipeline(XioHandle& h, std::string& why);
// The text or record stage of a handle's file string and format string,
// as a writer or a reader; null when there is none (bytes as they are in
// bin) and, with errno set, when it cannot be made.
std::unique_ptr<Stage> makeFormatStage(const XioHandle& h, std::string& why);
// Writes out the gathered block and steps the pipeline with FLUSH or END
// (write.cpp). Returns 0, or -1 with the failure traced as one of `call`.
int finishStream(char* trace, const char* call, XioHandle& h, EndOp op);
// The random sources for reading the handle's file at any offset: for bin
// whose every layer has an index, or auto whose magic finds zstd or xz.
// Null otherwise, or when the file's index is missing or cannot be trusted.
std::unique_ptr<RandomSource> makeRandomChain(XioHandle& h);
// Reads converted bytes like xiopread, without the argument checks.
int64_t readAt(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset);
}  // namespace xio
