// xiopwrite and xiopflush: the application's bytes into the writing
// pipeline, in order, gaps filled.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "xiobyt/handle.h"
#include "xiobyt/trace.h"

namespace xio {

namespace {

int pipelineBroke(char* trace, const char* call, XioHandle& h) {
  h.broken = h.pipe->failure().code ? h.pipe->failure().code : EIO;
  tracePipeline(trace, call, h, h.expected);
  return -1;
}

// Hands the gathered bytes on, a piece at a time, and frees the pieces.
int pushGathered(XioHandle& h) {
  int rc = h.gathered.forEach(
      [&](const uint8_t* p, size_t n) { return h.pipe->push(p, n, EndOp::CONTINUE); });
  h.gathered.clear();
  return rc;
}

// Hands bytes to a writing pipeline, gathered into blocks where that pays.
// The gathered bytes never exceed one block, whatever `n` is, are held in
// shared pieces (what a writer holds is its data, not spare room) and go
// on when they make a block.
int feed(char* trace, XioHandle& h, const uint8_t* data, size_t n) {
  int rc = 0;
  if (!h.gather) {
    rc = h.pipe->push(data, n, EndOp::CONTINUE);
  } else {
    while (rc == 0 && n > 0) {
      if (h.gathered.empty() && n >= h.gatherSize) {
        rc = h.pipe->push(data, n, EndOp::CONTINUE);
        break;
      }
      size_t take = std::min(n, h.gatherSize - h.gathered.size());
      h.gathered.append(data, take);
      data += take;
      n -= take;
      if (h.gathered.size() == h.gatherSize) rc = pushGathered(h);
    }
  }
  return rc == 0 ? 0 : pipelineBroke(trace, "xiopwrite", h);
}

// A plain file holds each byte at its own offset, so a gap becomes a hole
// (it reads back as zero bytes and costs no space) rather than zeros
// written one by one.
bool plain(const XioHandle& h) {
  return h.spec.kind == Kind::BIN && h.spec.layers.empty() && !h.format.text;
}

int fillGap(char* trace, XioHandle& h, int64_t offset) {
  if (plain(h)) {
    uint64_t gap = static_cast<uint64_t>(offset - h.expected);
    if (h.pipe->push(nullptr, 0, EndOp::FLUSH) != 0) return pipelineBroke(trace, "xiopwrite", h);
    if (h.file->hole(gap) != 0) {
      h.broken = h.file->error().code;
      traceHandle(trace, "xiopwrite", h, h.broken, h.file->error().message);
      return -1;
    }
    h.expected = offset;
    return 0;
  }
  static const uint8_t zeros[64 << 10] = {};
  while (h.expected < offset) {
    size_t n = static_cast<size_t>(std::min<int64_t>(offset - h.expected, sizeof zeros));
    if (feed(trace, h, zeros, n) != 0) return -1;
    h.expected += static_cast<int64_t>(n);
  }
  return 0;
}

// A last chunk that a sync flush sealed is never sealed again under the
// same key: before more data the file is written again, under a fresh file
// key, into a copy beside it, which goes back into the file's own inode at
// the next sync flush or the close. Until then the file on disk stays the
// complete one the sync flush left, so nothing synced is ever at risk; the
// cost is a rewrite of the file's chunks for each write after a sync.
int rekeyIntoCopy(char* trace, XioHandle& h) {
  if (!h.ageOuter || h.ageOuter->sealedTail() == 0) return 0;
  std::string why, path;
  FdGuard copy;
  uint64_t end = 0;
  int e = makeTempBeside(h.physical, path, copy, "write after a sync flush through", why);
  if (e == 0) {
    h.tempPath = path;  // removed by the handle unless it goes back
    e = h.ageOuter->rekey(h.fd.get(), copy.get(), end, why);
  }
  if (e == 0 && lseek(copy.get(), static_cast<off_t>(end), SEEK_SET) < 0) {
    e = errno;
    why = std::string("cannot seek in the copy: ") + strerror(e);
  }
  if (e == 0 && h.file->retarget(copy.get()) != 0) {
    e = h.file->error().code ? h.file->error().code : EIO;
    why = h.file->error().message;
  }
  if (e != 0) {
    h.broken = e;
    traceHandle(trace, "xiopwrite", h, e,
                "cannot take back the last age chunk a sync flush sealed: " + why);
    return -1;
  }
  h.target.reset(h.fd.release());
  h.fd.reset(copy.release());
  return 0;
}

}  // namespace

int finishStream(char* trace, const char* call, XioHandle& h, EndOp op) {
  int rc = 0;
  if (!h.gathered.empty()) rc = pushGathered(h);
  if (rc == 0) rc = h.pipe->push(nullptr, 0, op);
  return rc == 0 ? 0 : pipelineBroke(trace, call, h);
}

}  // namespace xio

int64_t xiopwrite(char* trace, XioHandle* h, const void* data, size_t count, int64_t offset) {
  using namespace xio;
  if (!checkHandle(trace, "xiopwrite", h)) return -1;
  try {
    if (!h->write) {
      traceHandle(trace, "xiopwrite", *h, EBADF, "the handle is open for reading");
      return -1;
    }
    if (h->broken) {
      traceHandle(trace, "xiopwrite", *h, h->broken,
                  "an earlier failure ended this stream; nothing more is written");
      return -1;
    }
    if (offset < h->expected) {
      traceHandle(trace, "xiopwrite", *h, ESPIPE,
                  "write at offset " + std::to_string(offset) + " is below the expected offset " +
                      std::to_string(h->expected) + ": a converted stream is written in order");
      return -1;
    }
    if (data == nullptr && count > 0) {
      traceHandle(trace, "xiopwrite", *h, EINVAL, "null data");
      return -1;
    }
    if (count > static_cast<uint64_t>(INT64_MAX - offset)) {
      traceHandle(trace, "xiopwrite", *h, EFBIG,
                  "a write of " + std::to_string(count) + " bytes at offset " +
                      std::to_string(offset) + " ends past the largest offset");
      return -1;
    }
    if ((count > 0 || h->expected < offset) && rekeyIntoCopy(trace, *h) != 0) return -1;
    if (h->expected < offset && fillGap(trace, *h, offset) != 0) return -1;
    if (feed(trace, *h, static_cast<const uint8_t*>(data), count) != 0) return -1;
    h->expected += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
  } catch (...) {
    // Where the bytes went is unknown: the stream cannot go on.
    std::string why;
    h->broken = caughtErrno(why);
    traceHandle(trace, "xiopwrite", *h, h->broken, why);
    return -1;
  }
}

int xiopflush(char* trace, XioHandle* h, int flags) {
  using namespace xio;
  if (!checkHandle(trace, "xiopflush", h)) return -1;
  if (!h->write) return 0;
  if (h->broken) {
    traceHandle(trace, "xiopflush", *h, h->broken, "an earlier failure ended this stream");
    return -1;
  }
  const bool sync = (flags & XIO_FLUSH_SYNC) != 0;
  try {
    if (sync && h->ageOuter) h->ageOuter->sealAtNextFlush();
    if (finishStream(trace, "xiopflush", *h, EndOp::FLUSH) != 0) return -1;
  } catch (...) {
    std::string why;
    h->broken = caughtErrno(why);
    traceHandle(trace, "xiopflush", *h, h->broken, why);
    return -1;
  }
  if (!sync) return 0;
  // Writing into a copy: the copy, complete where age is on the file (or
  // cut where recovery ends it), goes into the file's inode now, so that
  // what was synced is found there after a crash; the writes after it go
  // on in the file itself.
  if (h->target.get() >= 0) {
    std::string why;
    if (int e = finishCopy(*h, why); e != 0) {
      h->broken = e;
      traceHandle(trace, "xiopflush", *h, e, "cannot put the rewritten data into the file: " + why);
      errno = e;
      return -1;
    }
    return 0;
  }
  if (fdatasync(h->fd.get()) != 0) {
    const int e = errno;
    traceHandle(trace, "xiopflush", *h, e, std::string("fdatasync failed: ") + strerror(e));
    errno = e;
    return -1;
  }
  return 0;
}
