// The converted size of a file.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "xiobyt/handle.h"
#include "xiobyt/sizes.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/trace.h"

namespace {

// The one layer whose file says its size (a compression layer's index or
// header, the line arithmetic of an encoding), or "" when the size must be
// found by decoding. Under auto the magic decides.
std::string selfSizingLayer(const XioHandle& h) {
  if (h.spec.kind == xio::Kind::BIN && h.spec.layers.size() == 1) return h.spec.layers[0].kind;
  if (h.spec.kind != xio::Kind::AUTO || !h.spec.layers.empty()) return "";
  uint8_t magic[6] = {};
  if (pread(h.fd.get(), magic, sizeof magic, 0) != sizeof magic) return "";
  if (memcmp(magic, "\x28\xb5\x2f\xfd", 4) == 0) return "zstd";
  if (memcmp(magic, "\x1f\x8b", 2) == 0) return "gzip";
  if (memcmp(magic,
             "\xfd"
             "7zXZ\0",
             6) == 0)
    return "xz";
  return "";
}

}  // namespace

int64_t xiopsize(char* trace, const char* fileString, const char* formatString) {
  XioHandle* h = xio::openHandle(trace, "xiopsize", fileString, formatString, nullptr, 0);
  if (h == nullptr) return -1;
  std::unique_ptr<XioHandle> owned(h);
  try {
    struct stat st;
    if (fstat(h->fd.get(), &st) != 0) {
      int e = errno;
      xio::traceFailure(trace, "xiopsize", h->physical, fileString, e,
                        std::string("cannot stat: ") + strerror(e));
      return -1;
    }
    if (h->spec.kind == xio::Kind::BIN && h->spec.layers.empty()) return st.st_size;
    // Where the file says its size, it is believed; where it does not (or
    // the data is damaged) decoding decides, and reports the damage.
    if (auto chain = xio::makeRandomChain(*h)) return static_cast<int64_t>(chain->size());
    std::string layer = selfSizingLayer(*h);
    auto physical = static_cast<uint64_t>(st.st_size);
    int64_t said = layer == "zstd"   ? xio::zstdContentSize(h->fd.get(), physical)
                   : layer == "xz"   ? xio::xzContentSize(h->fd.get(), physical)
                   : layer == "gzip"   ? xio::gzipContentSize(h->fd.get(), physical)
                   : layer == "base64" ? xio::base64ContentSize(h->fd.get(), physical)
                   : layer == "hex"    ? xio::hexContentSize(h->fd.get(), physical)
                                       : -1;
    if (layer == "age") {  // a failure here is the file's or the key's: decoding says the same
      int error = 0;
      std::string why;
      said = xio::ageFileSize(h->fd.get(), physical, h->spec.layers[0], error, why);
    }
    if (said >= 0) return said;
    // Decode and count, one block at a time.
    int64_t size = 0;
    auto block = std::make_unique_for_overwrite<uint8_t[]>(xio::kLinkSize);
    for (;;) {
      xio::OutBuffer out{block.get(), xio::kLinkSize, 0};
      if (h->pipe->pull(out) != 0) {
        const xio::StageError& e = h->pipe->failure();
        xio::traceFailure(trace, "xiopsize", h->physical, fileString, e.code ? e.code : EIO,
                          std::string("the ") + h->pipe->failedStage() +
                              " stage failed near offset " + std::to_string(size) + ": " +
                              e.message);
        return -1;
      }
      size += static_cast<int64_t>(out.pos);
      if (h->pipe->ended()) return size;
    }
  } catch (...) {
    std::string why;
    int e = xio::caughtErrno(why);
    xio::traceFailure(trace, "xiopsize", h->physical, fileString, e, why);
    return -1;
  }
}
