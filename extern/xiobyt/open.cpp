// Opening a handle: the strings parsed, what they ask for checked, the
// physical file opened and the pipeline of stages built.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "xiobyt/charset.h"
#include "xiobyt/handle.h"
#include "xiobyt/sizes.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/trace.h"

using xio::traceFailure;

namespace xio {

namespace {

// What the strings ask for that this library refuses before touching a file.
int checkRequest(const XioHandle& h, std::string& why) {
  for (const Layer& l : h.spec.layers) {
    if (!supportedLayer(l.kind)) {
      why = "the " + l.kind + " layer is not supported by xiobyt " + xiovsn();
      return ENOTSUP;
    }
    if (l.kind == "age" && l.hasIdentity == l.hasPassphrase) {
      why = "the age layer takes exactly one of identity='path' and passphrase='text'";
      return EINVAL;
    }
    if (l.kind == "age" && l.logn >= 0 && !l.hasPassphrase) {
      why = "the age layer takes logn= only with passphrase=";
      return EINVAL;
    }
  }
  // A character set is checked even where the bytes would pass unchanged
  // (format.bin() over text): the inverse command names it, and reading
  // that back as text must not be the first to find it unknown.
  if (h.spec.kind == Kind::TEXT || h.spec.kind == Kind::REC) {
    if (int rc = checkCharset(h.spec.ccsid, why)) return rc;
  }
  if (h.format.text) {
    if (int rc = checkCharset(h.format.ccsid, why)) return rc;
  }
  if (h.spec.kind == Kind::REC && !h.format.text) {
    why =
        "format.bin() over rec records is refused: records have no byte form; "
        "use format.text(...)";
    return EINVAL;
  }
  if ((h.spec.kind == Kind::BIN || h.spec.kind == Kind::AUTO) && h.format.text) {
    why = std::string("format.text(...) over ") + (h.spec.kind == Kind::BIN ? "bin" : "auto") +
          " data is refused: the file holds bytes, not text; use format.bin()";
    return EINVAL;
  }
  return 0;
}

}  // namespace

std::unique_ptr<Stage> makeFormatStage(const XioHandle& h, std::string& why) {
  const FileSpec& f = h.spec;
  const FormatSpec& fmt = h.format;
  if (f.kind == Kind::REC) {
    RecordParams p{fmt.ccsid, f.ccsid, fmt.method, fmt.bom, f.varRecords, f.recl, f.pad};
    return h.write ? makeRecordWriter(p, why) : makeRecordReader(p, why);
  }
  TextParams p;
  if (fmt.text) {
    p = h.write ? TextParams{fmt.ccsid, f.ccsid, fmt.method,
                             f.method,  fmt.bom, f.bom && h.startOffset == 0,
                             false}
                : TextParams{f.ccsid, fmt.ccsid, f.method, fmt.method, true, fmt.bom, false};
  } else {  // the file's own characters: only its byte-order mark is handled
    p = TextParams{f.ccsid, f.ccsid, f.method, f.method, !h.write, h.write && f.bom, true};
    if (h.write && !(f.bom && h.startOffset == 0)) return nullptr;
  }
  return makeTextStage(p, why);
}

int buildPipeline(XioHandle& h, std::string& why) {
  auto pipe = std::make_unique<Pipeline>();
  std::vector<std::unique_ptr<Stage>> codecs;
  AgeWriterStage* ageOuter = nullptr;
  h.ageOuter = nullptr;
  for (const Layer& l : h.spec.layers) {
    EncoderParams p;
    if (&l == &h.spec.layers.front()) {  // only the outer layer meets the file's old end
      p.seekEntries = &h.priorFrames;
      p.seekTable = h.seekTable;
      p.sizeField = h.write && l.kind == "gzip";
    }
    p.level = l.level;
    p.threads = l.threads >= 0 ? l.threads : kDefaultThreads;
    p.name = h.state.file.empty() ? h.physical : h.state.file;
    p.comment = h.state.comment;
    std::unique_ptr<Stage> s;
    if (h.write && l.kind == "age") {
      auto age = makeAgeWriter(l, why);
      if (age && &l == &h.spec.layers.front()) ageOuter = age.get();
      s = std::move(age);
    } else {
      s = h.write ? makeWriter(l, p, why) : makeReader(l, why);
    }
    if (!s) return errno ? errno : EIO;
    codecs.push_back(std::move(s));
  }
  std::unique_ptr<Stage> format;
  if (h.spec.kind == Kind::TEXT || h.spec.kind == Kind::REC) {
    errno = 0;
    format = makeFormatStage(h, why);
    if (!format && errno != 0) return errno;
  }
  h.autoStage = nullptr;
  if (h.write) {
    // A codec first in line gets the application's writes gathered into
    // large blocks; a format stage takes each write itself, so that its
    // errors surface in that write; the file sink buffers on its own.
    h.gather = !format && !codecs.empty();
    if (h.gather) h.gatherSize = std::min(kLinkSize, codecs.back()->inputBlock());
    h.codecStage = format ? 1 : 0;
    if (format) pipe->add(std::move(format));
    for (auto it = codecs.rbegin(); it != codecs.rend(); ++it) pipe->add(std::move(*it));
    auto sink = makeFileSink(h.fd.get());
    h.file = sink.get();
    pipe->add(std::move(sink));
    h.ageOuter = ageOuter;
  } else {
    auto source = makeFileSource(h.fd.get());
    h.file = source.get();
    pipe->add(std::move(source));
    for (auto& c : codecs) pipe->add(std::move(c));
    if (h.spec.kind == Kind::AUTO) {
      auto a = makeAutoReader();
      h.autoStage = a.get();
      pipe->add(std::move(a));
    }
    if (format) pipe->add(std::move(format));
  }
  h.pipe = std::move(pipe);
  return 0;
}

}  // namespace xio

namespace {

using namespace xio;

bool hasAgeLayer(const FileSpec& f) {
  for (const Layer& l : f.layers)
    if (l.kind == "age") return true;
  return false;
}

// The first line of a trace, without its line feed.
std::string firstLine(const char* trace) {
  std::string s(trace);
  return s.substr(0, s.find('\n'));
}

XioHandle* openOrFail(char* trace, const char* call, const char* fileString,
                      const char* formatString, std::string* state, int64_t offset,
                      int readFd = -1);

// Copies the old file's data, as its layers give it, into the new pipeline
// past the format stage: the bytes go back under the same layers unchanged.
// They are read from `oldFd`, the descriptor whose file was checked, never
// from whatever the name may have come to mean since.
int copyOldData(XioHandle& h, int oldFd, std::string& why) {
  FileSpec old = h.spec;
  old.write = false;
  old.objectForm = false;
  old.kind = Kind::BIN;
  std::string command = fileCommand(old, false, h.physical);
  char trace[XIO_TRACE_SIZE] = "";
  std::unique_ptr<XioHandle> in(
      openOrFail(trace, "xiopopen", command.c_str(), "", nullptr, 0, oldFd));
  // The copies of the key go; the read handle wipes its own.
  OPENSSL_cleanse(command.data(), command.size());
  for (Layer& l : old.layers) OPENSSL_cleanse(l.passphrase.data(), l.passphrase.size());
  if (!in) {
    int e = errno;
    why = "cannot read the old data back to append to it: " + firstLine(trace);
    return e;
  }
  auto block = std::make_unique_for_overwrite<uint8_t[]>(kLinkSize);
  for (int64_t at = 0;;) {
    int64_t n = readAt(trace, *in, block.get(), kLinkSize, at);
    if (n < 0) {
      int e = errno;
      why = "cannot read the old data back to append to it: " + firstLine(trace);
      return e;
    }
    if (n == 0) break;
    if (h.pipe->pushAt(h.codecStage, block.get(), static_cast<size_t>(n), EndOp::CONTINUE) != 0) {
      why = std::string("cannot write the old data again: the ") + h.pipe->failedStage() +
            " stage failed: " + h.pipe->failure().message;
      return h.pipe->failure().code ? h.pipe->failure().code : EIO;
    }
    at += n;
  }
  return 0;
}

// Appending under an age layer: a chunk must never be sealed twice under
// one nonce, so the file is written again, old data first, under a fresh
// file key into a copy beside it, which goes back into the file's own
// inode (finishCopy: owner, group, mode, ACLs, extended attributes and
// links stay) at the first sync flush or the close. Everything the append
// needs is had here, so that an append that cannot be made fails at open:
// the file opened for writing, the copy made in its directory.
int openRewrite(XioHandle& h, std::string& why) {
  // O_NONBLOCK: a FIFO planted at the name must not hang the open; anything
  // but a regular file is refused below.
  FdGuard oldFd(
      ::open(h.physical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (oldFd.get() < 0) {
    int e = errno;
    why = std::string("cannot open the old file to append to it: ") + strerror(e);
    return e;
  }
  struct stat st;
  if (fstat(oldFd.get(), &st) != 0) {
    int e = errno;
    why = std::string("cannot stat: ") + strerror(e);
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "cannot append: not a regular file";
    return EISDIR;
  }
  // The inode the copy goes back into, checked to be the one read. Read
  // and write: a write after a sync flush reads its chunks back.
  FdGuard target(
      ::open(h.physical.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  struct stat tst;
  if (target.get() < 0 || fstat(target.get(), &tst) != 0) {
    int e = errno;
    why = std::string("cannot open the old file for writing to append to it: ") + strerror(e);
    return e;
  }
  if (tst.st_ino != st.st_ino || tst.st_dev != st.st_dev) {
    why = "cannot append: the file was replaced while it was opened";
    return EAGAIN;
  }
  if (int e = makeTempBeside(h.physical, h.tempPath, h.fd, "append through", why); e != 0) return e;
  h.target.reset(target.release());
  if (int rc = buildPipeline(h, why)) return rc;
  if (st.st_size > 0) {
    if (int rc = copyOldData(h, oldFd.get(), why)) return rc;
  }
  h.expected = h.startOffset;
  return 0;
}

// Removes the physical file that a failing open created, on every way out.
class CreatedFile {
 public:
  explicit CreatedFile(const std::string& path) : path_(path) {}
  ~CreatedFile() {
    if (armed) ::unlink(path_.c_str());
  }
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;
  bool armed = false;

 private:
  const std::string& path_;
};

// Whether the file at the name holds data (an age append then rewrites it
// through a copy); a missing or empty file is written in place.
bool holdsData(const std::string& physical) {
  struct stat st;
  if (lstat(physical.c_str(), &st) != 0) return errno != ENOENT;  // else the rewrite says why
  return !S_ISREG(st.st_mode) || st.st_size > 0;
}

int openWrite(XioHandle& h, std::string& why) {
  const bool age = hasAgeLayer(h.spec);
  if (h.startOffset > 0 && age && holdsData(h.physical)) return openRewrite(h, why);
  // Appending to seekable zstd reads the old seek table before writing
  // after the frames; age on the file reads its chunks back when a write
  // follows a sync flush; other layers need no read permission.
  bool zstdOuter = !h.spec.layers.empty() && h.spec.layers[0].kind == "zstd";
  bool ageOuter = !h.spec.layers.empty() && h.spec.layers[0].kind == "age";
  int flags = O_CLOEXEC | ((h.startOffset > 0 && zstdOuter) || ageOuter ? O_RDWR : O_WRONLY);
  // Owner only: a caller that runs with umask 0 (the mount daemon) sets
  // the mode it wants once the file is complete. A symbolic link at the
  // name is never followed: O_EXCL refuses it, and so does O_NOFOLLOW when
  // the existing file is opened (ELOOP), so a link that another user
  // planted cannot send the data to a file of the caller's.
  CreatedFile created(h.physical);
  int fd = ::open(h.physical.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  created.armed = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(h.physical.c_str(), flags | O_NOFOLLOW);
  if (fd < 0) {
    int e = errno;
    why = std::string("cannot open for writing: ") + strerror(e);
    return e;
  }
  h.fd.reset(fd);
  // Appending to seekable zstd: the new frames follow the old ones, and the
  // old table gives way to one that lists them all. After frames the table
  // cannot list (a file from elsewhere) no table is written: the file stays
  // a valid sequence of frames.
  uint64_t cutAt = 0;
  bool cut = false;
  if (h.startOffset > 0 && zstdOuter) {
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      cut = readSeekTable(fd, static_cast<uint64_t>(st.st_size), h.priorFrames, cutAt);
      h.seekTable = cut;
    }
  }
  h.gzipOuter = !h.spec.layers.empty() && h.spec.layers[0].kind == "gzip";
  if (h.gzipOuter && h.startOffset > 0) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int e = errno;
      why = std::string("cannot stat: ") + strerror(e);
      return e;
    }
    h.memberStart = static_cast<uint64_t>(st.st_size);
  }
  // The stages are set up before the file is truncated, so that a mistake
  // in the strings (an unknown character set) leaves the old file alone.
  if (int rc = buildPipeline(h, why)) return rc;
  if (cut && ftruncate(fd, static_cast<off_t>(cutAt)) != 0) {
    int e = errno;
    why = std::string("cannot remove the old seek table: ") + strerror(e);
    return e;
  }
  if (h.startOffset == 0 && ftruncate(fd, 0) != 0) {
    int e = errno;
    why = std::string("cannot truncate: ") + strerror(e);
    return e;
  }
  // An append goes on from the end as a position, not through O_APPEND: the
  // sizes patched into a gzip member's header must land where they are
  // written, and a network filesystem's server keeps the O_APPEND of the
  // open whatever F_SETFL says later (GlusterFS puts such a patch at the end).
  if (h.startOffset > 0 && lseek(fd, 0, SEEK_END) < 0) {
    int e = errno;
    why = std::string("cannot go to the end: ") + strerror(e);
    return e;
  }
  h.expected = h.startOffset;
  created.armed = false;
  return 0;
}

// A key that opens no stanza, or a header that is not one, is found at
// open where age is the outer layer: the header is read where it lies.
int checkAgeHeader(const XioHandle& h, const struct stat& st, std::string& why) {
  if (h.spec.layers.empty() || h.spec.layers[0].kind != "age") return 0;
  AgeKey key;
  if (int rc = loadAgeKey(h.spec.layers[0], key, why)) return rc;
  AgePayloadKey payload;
  size_t start = 0;
  return ageOpenFileHeader(h.fd.get(), static_cast<uint64_t>(st.st_size), key, payload, start, why);
}

// Reads through a copy of `readFd` when it is given, else opens the name,
// never through a symbolic link there (ELOOP).
int openRead(XioHandle& h, int readFd, std::string& why) {
  int fd = readFd >= 0 ? fcntl(readFd, F_DUPFD_CLOEXEC, 0)
                       : ::open(h.physical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    int e = errno;
    why = std::string(readFd >= 0 ? "cannot duplicate the descriptor to read: "
                                  : "cannot open for reading: ") +
          strerror(e);
    return e;
  }
  h.fd.reset(fd);
  struct stat st;
  bool known = fstat(fd, &st) == 0;
  if (known && S_ISDIR(st.st_mode)) {
    why = std::string("cannot read: ") + strerror(EISDIR);
    return EISDIR;
  }
  if (int rc = buildPipeline(h, why)) return rc;
  return known ? checkAgeHeader(h, st, why) : 0;
}

XioHandle* openOrFail(char* trace, const char* call, const char* fileString,
                      const char* formatString, std::string* state, int64_t offset, int readFd) {
  if (fileString == nullptr) {
    traceFailure(trace, call, "", "", EINVAL, "no file string (null)");
    return nullptr;
  }
  auto h = std::make_unique<XioHandle>();
  h->write = state != nullptr;
  h->fileString = fileString;
  h->startOffset = offset;
  std::string why;
  // The physical name is known as early as the strings tell it, so that
  // every later failure can name it.
  int rc = parseFileString(fileString, h->spec, why);
  h->physical = h->spec.file;
  if (rc == 0 && state != nullptr) rc = parseStateText(*state, h->state, why);
  if (rc == 0 && h->physical.empty()) h->physical = h->state.file;
  if (rc == 0) rc = parseFormatString(formatString, h->write, h->format, why);
  if (rc == 0 && h->spec.write != h->write) {
    why = h->write ? "a read file string cannot open a file for writing"
                   : "a write file string cannot open a file for reading";
    rc = EINVAL;
  }
  if (rc == 0 && offset < 0) {
    why = "negative start offset " + std::to_string(offset);
    rc = EINVAL;
  }
  if (rc == 0 && h->physical.empty()) {
    why = "no physical file name: file='' and no state text names a file";
    rc = EINVAL;
  }
  if (rc == 0) rc = checkRequest(*h, why);
  if (rc == 0) rc = h->write ? openWrite(*h, why) : openRead(*h, readFd, why);
  if (rc != 0) {
    traceFailure(trace, call, h->physical, fileString, rc, why);
    return nullptr;
  }
  return h.release();
}

}  // namespace

XioHandle* xio::openHandle(char* trace, const char* call, const char* fileString,
                           const char* formatString, std::string* state, int64_t offset) {
  try {
    return openOrFail(trace, call, fileString, formatString, state, offset);
  } catch (...) {
    std::string why;
    int e = caughtErrno(why);
    traceFailure(trace, call, "", fileString, e, why);
    return nullptr;
  }
}

XioHandle* xiopopen(char* trace, const char* fileString, const char* formatString,
                    std::string* state, int64_t offset) {
  return openHandle(trace, "xiopopen", fileString, formatString, state, offset);
}
