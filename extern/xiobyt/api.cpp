// The byte interface: read, write, flush, close (opening is in open.cpp).
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "xiobyt/handle.h"
#include "xiobyt/trace.h"

using xio::traceFailure;

namespace {

using namespace xio;

constexpr char kVersion[] = "0.1.0";

void traceHandle(char* trace, const char* call, const XioHandle& h, int code,
                 const std::string& cause) {
  traceFailure(trace, call, h.physical, h.fileString.c_str(), code, cause);
}

int64_t pipelineFailed(char* trace, const char* call, XioHandle& h, int64_t offset) {
  const StageError& e = h.pipe->failure();
  std::string cause = std::string("the ") + h.pipe->failedStage() + " stage failed near offset " +
                      std::to_string(offset) + ": " + e.message;
  traceHandle(trace, call, h, e.code ? e.code : EIO, cause);
  return -1;
}

// Hands bytes to a writing pipeline, gathered into blocks where that pays.
// The gathering buffer never grows past one block, whatever `n` is.
int feed(char* trace, XioHandle& h, const uint8_t* data, size_t n) {
  int rc = 0;
  if (!h.gather) {
    rc = h.pipe->push(data, n, EndOp::CONTINUE);
  } else {
    while (rc == 0 && n > 0) {
      if (h.head.empty() && n >= kLinkSize) {
        rc = h.pipe->push(data, n, EndOp::CONTINUE);
        break;
      }
      size_t take = std::min(n, kLinkSize - h.head.size());
      h.head.insert(h.head.end(), data, data + take);
      data += take;
      n -= take;
      if (h.head.size() == kLinkSize) {
        rc = h.pipe->push(h.head.data(), h.head.size(), EndOp::CONTINUE);
        h.head.clear();
      }
    }
  }
  if (rc == 0) return 0;
  h.broken = h.pipe->failure().code ? h.pipe->failure().code : EIO;
  pipelineFailed(trace, "xiopwrite", h, h.expected);
  return -1;
}

int finish(char* trace, const char* call, XioHandle& h, EndOp op) {
  int rc = 0;
  if (!h.head.empty()) {
    rc = h.pipe->push(h.head.data(), h.head.size(), EndOp::CONTINUE);
    h.head.clear();
  }
  if (rc == 0) rc = h.pipe->push(nullptr, 0, op);
  if (rc != 0) {
    h.broken = h.pipe->failure().code ? h.pipe->failure().code : EIO;
    pipelineFailed(trace, call, h, h.expected);
  }
  return rc;
}

bool checkHandle(char* trace, const char* call, XioHandle* h) {
  if (h != nullptr) return true;
  traceFailure(trace, call, "", "", EBADF, "no handle (null)");
  return false;
}

// Reads up to `count` bytes at `offset` straight from the file: the count
// read (short only at the end of the file), or -1 with errno.
int64_t preadAll(int fd, uint8_t* buffer, size_t count, int64_t offset) {
  size_t done = 0;
  while (done < count) {
    ssize_t r = pread(fd, buffer + done, count - done, offset + static_cast<int64_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

// A file without layers or format holds each byte at its own offset: read
// it there, so that reading backwards or near the end of a large file does
// not read everything before it. Large reads go straight to the caller's
// buffer; small ones through a block read at the offset asked for, so that
// a run of small sequential reads costs one system call per block.
constexpr size_t kPlainBlock = 128 << 10;

int64_t readPlain(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset) {
  size_t done = 0;
  while (done < count) {
    int64_t at = offset + static_cast<int64_t>(done);
    if (at >= h.tailBase && at < h.tailBase + static_cast<int64_t>(h.tailLen)) {
      size_t from = static_cast<size_t>(at - h.tailBase);
      size_t n = std::min(count - done, h.tailLen - from);
      memcpy(buffer + done, h.tail.data() + from, n);
      done += n;
      continue;
    }
    size_t want = count - done;
    bool direct = want >= kPlainBlock;
    int64_t r = direct ? preadAll(h.fd.get(), buffer + done, want, at)
                       : preadAll(h.fd.get(), h.tail.data(), kPlainBlock, at);
    if (r < 0) {
      int e = errno;
      traceHandle(trace, "xiopread", h, e,
                  "read failed at offset " + std::to_string(at) + ": " + strerror(e));
      return -1;
    }
    h.fileBytes += static_cast<uint64_t>(r);
    if (direct) {
      done += static_cast<size_t>(r);
      if (static_cast<size_t>(r) < want) break;  // the end of the file
    } else {
      h.tailBase = at;
      h.tailLen = static_cast<size_t>(r);
      if (r == 0) break;
    }
  }
  h.appBytes += done;
  return static_cast<int64_t>(done);
}

}  // namespace

namespace xio {

int64_t readAt(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset) {
  if (h.spec.kind == Kind::BIN && h.spec.layers.empty())
    return readPlain(trace, h, buffer, count, offset);
  if (h.restart || offset < h.tailBase) {  // backward: start the stream over
    std::string why;
    if (lseek(h.fd.get(), 0, SEEK_SET) < 0) {
      traceHandle(trace, "xiopread", h, errno, std::string("cannot rewind: ") + strerror(errno));
      return -1;
    }
    h.fileBytes += h.file->bytes();
    if (int rc = buildPipeline(h, why)) {
      traceHandle(trace, "xiopread", h, rc, why);
      return -1;
    }
    h.tailBase = 0;
    h.tailLen = 0;
    h.restart = false;
  }
  size_t done = 0;
  while (done < count) {
    int64_t at = offset + static_cast<int64_t>(done);
    int64_t end = h.tailBase + static_cast<int64_t>(h.tailLen);
    if (at < end) {
      size_t from = static_cast<size_t>(at - h.tailBase);
      size_t n = std::min(count - done, h.tailLen - from);
      memcpy(buffer + done, h.tail.data() + from, n);
      done += n;
      continue;
    }
    if (h.pipe->ended()) break;
    // Forward: decode the next block (discarding it unless it is wanted).
    h.tailBase = end;
    h.tailLen = 0;
    OutBuffer out{h.tail.data(), h.tail.size(), 0};
    if (h.pipe->pull(out) != 0) {
      h.restart = true;
      return pipelineFailed(trace, "xiopread", h, end);
    }
    h.tailLen = out.pos;
  }
  h.appBytes += done;
  return static_cast<int64_t>(done);
}

}  // namespace xio

int64_t xiopread(char* trace, XioHandle* h, void* buffer, size_t count, int64_t offset) {
  if (!checkHandle(trace, "xiopread", h)) return -1;
  if (h->write) {
    traceHandle(trace, "xiopread", *h, EBADF, "the handle is open for writing");
    return -1;
  }
  if (offset < 0 || (buffer == nullptr && count > 0)) {
    traceHandle(trace, "xiopread", *h, EINVAL, "negative offset or null buffer");
    return -1;
  }
  try {
    return readAt(trace, *h, static_cast<uint8_t*>(buffer), count, offset);
  } catch (const std::bad_alloc&) {
    h->restart = true;
    traceHandle(trace, "xiopread", *h, ENOMEM, "out of memory");
    return -1;
  }
}

int64_t xiopwrite(char* trace, XioHandle* h, const void* data, size_t count, int64_t offset) {
  if (!checkHandle(trace, "xiopwrite", h)) return -1;
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
  try {
    static const uint8_t zeros[64 << 10] = {};
    while (h->expected < offset) {  // a gap reads back as zero bytes
      size_t n = static_cast<size_t>(std::min<int64_t>(offset - h->expected, sizeof zeros));
      if (feed(trace, *h, zeros, n) != 0) return -1;
      h->expected += static_cast<int64_t>(n);
    }
    if (feed(trace, *h, static_cast<const uint8_t*>(data), count) != 0) return -1;
    h->expected += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
  } catch (const std::bad_alloc&) {
    h->broken = ENOMEM;
    traceHandle(trace, "xiopwrite", *h, ENOMEM, "out of memory");
    return -1;
  }
}

int xiopflush(char* trace, XioHandle* h, int flags) {
  if (!checkHandle(trace, "xiopflush", h)) return -1;
  if (!h->write) return 0;
  if (h->broken) {
    traceHandle(trace, "xiopflush", *h, h->broken, "an earlier failure ended this stream");
    return -1;
  }
  try {
    if (finish(trace, "xiopflush", *h, EndOp::FLUSH) != 0) return -1;
  } catch (const std::bad_alloc&) {
    h->broken = ENOMEM;
    traceHandle(trace, "xiopflush", *h, ENOMEM, "out of memory");
    return -1;
  }
  if ((flags & XIO_FLUSH_SYNC) != 0 && fdatasync(h->fd.get()) != 0) {
    const int e = errno;
    traceHandle(trace, "xiopflush", *h, e, std::string("fdatasync failed: ") + strerror(e));
    errno = e;
    return -1;
  }
  return 0;
}

namespace {

int closeHandle(char* trace, XioHandle& h, XioStateList* states, std::string* inverseCommand,
                std::string* inverseFormat) {
  int rc = 0;
  if (h.write) {
    if (h.broken) {
      traceHandle(trace, "xiopclose", h, h.broken, "an earlier failure ended this stream");
      rc = -1;
    } else if (finish(trace, "xiopclose", h, EndOp::END) != 0) {
      rc = -1;
    }
  } else if (h.autoStage && h.autoStage->detected() == 0 && inverseCommand) {
    uint8_t probe;  // the inverse names what auto finds: look at the data once
    char ignored[XIO_TRACE_SIZE] = "";
    readAt(ignored, h, &probe, 1, 0);
  }
  int savedErrno = errno;
  if (int e = h.fd.close(); e != 0 && rc == 0) {
    traceHandle(trace, "xiopclose", h, e, std::string("close failed: ") + strerror(e));
    rc = -1;
    savedErrno = e;
  }
  if (states) {
    XioMemberState m;
    m.member = h.write && !h.state.file.empty() ? h.state.file : h.physical;
    if (h.write) {
      m.bytesIn = static_cast<uint64_t>(h.expected - h.startOffset);
      m.bytesOut = h.file ? h.file->bytes() : 0;
    } else {
      m.bytesIn = h.fileBytes + (h.file ? h.file->bytes() : 0);
      m.bytesOut = h.appBytes;
    }
    states->members.push_back(std::move(m));
  }
  if (rc == 0 && inverseCommand) {
    FileSpec inv = h.spec;
    if (inv.kind == Kind::AUTO) {  // writing back needs what was found, not auto
      inv.kind = Kind::BIN;
      if (h.autoStage && h.autoStage->detected() == 1) {
        Layer gzip;
        gzip.kind = "gzip";
        inv.layers.push_back(gzip);
      }
    }
    *inverseCommand = fileCommand(inv, !h.write, h.physical);
  }
  if (rc == 0 && inverseFormat) *inverseFormat = formatCommand(h.format);
  errno = rc == 0 ? errno : savedErrno;
  return rc;
}

}  // namespace

int xiopclose(char* trace, XioHandle* h, XioStateList* states, std::string* inverseCommand,
              std::string* inverseFormat) {
  if (inverseCommand) inverseCommand->clear();
  if (inverseFormat) inverseFormat->clear();
  if (!checkHandle(trace, "xiopclose", h)) return -1;
  std::unique_ptr<XioHandle> owned(h);
  try {
    return closeHandle(trace, *h, states, inverseCommand, inverseFormat);
  } catch (const std::bad_alloc&) {
    traceHandle(trace, "xiopclose", *h, ENOMEM, "out of memory");
    return -1;
  }
}

void vdOrgLstStaFree(XioStateList* states) {
  if (states) std::vector<XioMemberState>().swap(states->members);
}

const char* xiovsn() { return kVersion; }

const char* xioabo() {
  static const std::string about = std::string("xiobyt ") + kVersion +
                                   ": conversion byte interface of vaskFS (bin, text and records "
                                   "through iconv, gzip through zlib " +
                                   zlibVersion() + ")";
  return about.c_str();
}
