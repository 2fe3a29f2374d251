// xiopread: plain files at the offset asked for, files with an index
// through their random sources, other converted streams forward by
// decoding, backward by starting the stream over.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "xiobyt/handle.h"
#include "xiobyt/trace.h"

namespace xio {

namespace {

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
// not read everything before it. Nothing is kept between calls: another
// handle may rewrite the file at any time, and under direct I/O a kept
// block would be served stale. (Checking size and modification time would
// cost a system call per read as well, and coarse time stamps miss a
// rewrite of the same size.)
int64_t readPlain(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset) {
  int64_t r = preadAll(h.fd.get(), buffer, count, offset);
  if (r < 0) {
    int e = errno;
    traceHandle(trace, "xiopread", h, e,
                "read failed at offset " + std::to_string(offset) + ": " + strerror(e));
    return -1;
  }
  h.fileBytes += static_cast<uint64_t>(r);
  h.appBytes += static_cast<uint64_t>(r);
  return r;
}

// Starts the stream over from the first byte of the file. The old pipeline
// goes first: once the descriptor is rewound it would decode the file's
// start as if it came after what it read before. Until a restart succeeds
// the handle stays without a stream and every read tries again.
int restartStream(char* trace, XioHandle& h) {
  h.restart = true;
  if (h.file) h.fileBytes += h.file->bytes();
  h.file = nullptr;
  h.autoStage = nullptr;
  h.pipe.reset();
  h.decodedBase = 0;
  h.decodedLen = 0;
  h.failedCode = 0;
  h.failedCause.clear();
  if (lseek(h.fd.get(), 0, SEEK_SET) < 0) {
    int e = errno;
    traceHandle(trace, "xiopread", h, e, std::string("cannot rewind: ") + strerror(e));
    return -1;
  }
  std::string why;
  if (int rc = buildPipeline(h, why)) {
    traceHandle(trace, "xiopread", h, rc, "cannot start the stream over: " + why);
    return -1;
  }
  h.restart = false;
  return 0;
}

// Decodes the block after the current one. On a failure the bytes decoded
// before it stay served, and the failure is kept for the read that passes
// them.
void decodeNext(XioHandle& h) {
  h.decodedBase += static_cast<int64_t>(h.decodedLen);
  h.decodedLen = 0;
  OutBuffer out{h.decoded.get(), kLinkSize, 0};
  int rc = h.pipe->pull(out);
  h.decodedLen = out.pos;
  if (rc == 0) return;
  const StageError& e = h.pipe->failure();
  h.failedCode = e.code ? e.code : EIO;
  h.failedCause = std::string("the ") + h.pipe->failedStage() + " stage failed near offset " +
                  std::to_string(h.decodedBase + static_cast<int64_t>(out.pos)) + ": " + e.message;
}

// What readRandom answers when the stream must take over.
constexpr int64_t kUseStream = -2;

// Reads through the index. A failure of the data is the read's failure; an
// index that proves wrong is dropped, and the stream (which ignores it)
// serves this read and the ones after it.
int64_t readRandom(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset) {
  RandomSource& src = *h.random;
  if (static_cast<uint64_t>(offset) >= src.size()) return 0;
  int64_t r = src.readAt(static_cast<uint64_t>(offset), buffer, count);
  if (r >= 0) {
    h.appBytes += static_cast<uint64_t>(r);
    return r;
  }
  const RandomSource::Error& e = src.error();
  if (e.indexWrong) {
    h.fileBytes += src.fileBytes();
    h.random.reset();
    return kUseStream;
  }
  traceHandle(trace, "xiopread", h, e.code ? e.code : EIO,
              std::string("the ") + src.name() + " layer failed near offset " +
                  std::to_string(offset) + ": " + e.message);
  return -1;
}

}  // namespace

std::unique_ptr<RandomSource> makeRandomChain(XioHandle& h) {
  std::vector<Layer> layers;
  Detected found = Detected::UNDECIDED;
  if (h.spec.kind == Kind::BIN) {
    layers = h.spec.layers;
  } else if (h.spec.kind == Kind::AUTO && h.spec.layers.empty()) {
    uint8_t magic[kLongestMagic];
    int64_t n = preadAll(h.fd.get(), magic, sizeof magic, 0);
    found = n > 0 ? detectMagic(magic, static_cast<size_t>(n)) : Detected::BYTES;
    if (found != Detected::ZSTD && found != Detected::XZ) return nullptr;
    layers.emplace_back().kind = detectedLayer(found);
  }
  if (layers.empty()) return nullptr;  // a plain file is read with pread as it is
  struct stat st;
  if (fstat(h.fd.get(), &st) != 0) return nullptr;
  auto src = makeFileRandom(h.fd.get(), static_cast<uint64_t>(st.st_size));
  for (const Layer& layer : layers) {
    std::string why;  // a layer without an index is read as a stream
    src = makeRandomLayer(layer, std::move(src), why);
    if (!src) return nullptr;
  }
  h.randomDetected = found;
  return src;
}

int64_t readAt(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset) {
  if (h.spec.kind == Kind::BIN && h.spec.layers.empty())
    return readPlain(trace, h, buffer, count, offset);
  if (!h.randomTried) {
    h.randomTried = true;
    h.random = makeRandomChain(h);
  }
  if (h.random) {
    int64_t r = readRandom(trace, h, buffer, count, offset);
    if (r != kUseStream) return r;
  }
  if (h.restart || offset < h.decodedBase) {
    if (restartStream(trace, h) != 0) return -1;
  }
  if (!h.decoded) h.decoded = std::make_unique_for_overwrite<uint8_t[]>(kLinkSize);
  size_t done = 0;
  while (done < count) {
    int64_t at = offset + static_cast<int64_t>(done);
    int64_t end = h.decodedBase + static_cast<int64_t>(h.decodedLen);
    if (at < end) {
      size_t from = static_cast<size_t>(at - h.decodedBase);
      size_t n = std::min(count - done, h.decodedLen - from);
      memcpy(buffer + done, h.decoded.get() + from, n);
      done += n;
      continue;
    }
    if (h.failedCode != 0) {
      if (done > 0) break;  // the good bytes now, the failure at the next read
      traceHandle(trace, "xiopread", h, h.failedCode, h.failedCause);
      return -1;
    }
    if (h.pipe->ended()) break;
    decodeNext(h);  // forward: discarded unless it is wanted
  }
  h.appBytes += done;
  return static_cast<int64_t>(done);
}

}  // namespace xio

int64_t xiopread(char* trace, XioHandle* h, void* buffer, size_t count, int64_t offset) {
  using namespace xio;
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
  } catch (...) {
    h->restart = true;
    std::string why;
    int e = caughtErrno(why);
    traceHandle(trace, "xiopread", *h, e, why);
    return -1;
  }
}
