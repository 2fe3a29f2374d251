// The converted size of a file.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "xiobyt/handle.h"
#include "xiobyt/trace.h"

int64_t xiopsize(char* trace, const char* fileString, const char* formatString) {
  XioHandle* h = xio::openHandle(trace, "xiopsize", fileString, formatString, nullptr, 0);
  if (h == nullptr) return -1;
  std::unique_ptr<XioHandle> owned(h);
  try {
    if (h->spec.kind == xio::Kind::BIN && h->spec.layers.empty()) {
      struct stat st;
      if (fstat(h->fd.get(), &st) != 0) {
        int e = errno;
        xio::traceFailure(trace, "xiopsize", h->physical, fileString, e,
                          std::string("cannot stat: ") + strerror(e));
        return -1;
      }
      return st.st_size;
    }
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
  } catch (const std::bad_alloc&) {
    xio::traceFailure(trace, "xiopsize", h->physical, fileString, ENOMEM, "out of memory");
    return -1;
  }
}
