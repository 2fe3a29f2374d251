// xz through liblzma: the writer makes blocks of kXzBlock input bytes with
// the stream's index (the multithreaded encoder, on `threads` threads); the
// reader takes concatenated streams and stream padding, as xz -d does.
#include <lzma.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

// Owns a lzma_stream once a coder is set up on it.
class LzmaStream {
 public:
  LzmaStream() = default;
  ~LzmaStream() { lzma_end(&s_); }
  LzmaStream(const LzmaStream&) = delete;
  LzmaStream& operator=(const LzmaStream&) = delete;
  lzma_stream* get() { return &s_; }

  lzma_ret code(InBuffer& in, OutBuffer& out, lzma_action action) {
    s_.next_in = in.src + in.pos;
    s_.avail_in = in.left();
    s_.next_out = out.dst + out.pos;
    s_.avail_out = out.room();
    lzma_ret rc = lzma_code(&s_, action);
    in.pos = static_cast<size_t>(s_.next_in - in.src);
    out.pos = static_cast<size_t>(s_.next_out - out.dst);
    return rc;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
};

const char* lzmaMessage(lzma_ret rc) {
  switch (rc) {
    case LZMA_MEM_ERROR:
      return "out of memory";
    case LZMA_FORMAT_ERROR:
      return "not xz data";
    case LZMA_OPTIONS_ERROR:
      return "unsupported options";
    case LZMA_DATA_ERROR:
      return "corrupt data";
    case LZMA_BUF_ERROR:
      return "the data ends too early";
    case LZMA_UNSUPPORTED_CHECK:
      return "unsupported integrity check";
    default:
      return "liblzma error";
  }
}

int lzmaErrno(lzma_ret rc) { return rc == LZMA_MEM_ERROR ? ENOMEM : EIO; }

class XzWriter : public Stage {
 public:
  const char* name() const override { return "xz"; }

  int init(const EncoderParams& p, std::string& why) {
    lzma_mt mt{};
    mt.threads = static_cast<uint32_t>(std::max(1, p.threads));
    mt.block_size = kXzBlock;
    mt.preset = static_cast<uint32_t>(p.level);
    mt.check = LZMA_CHECK_CRC64;
    lzma_ret rc = lzma_stream_encoder_mt(s_.get(), &mt);
    if (rc != LZMA_OK) {
      why = std::string("xz compressor cannot start: ") + lzmaMessage(rc);
      return lzmaErrno(rc);
    }
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (done_) return 0;
    lzma_action action = op == EndOp::CONTINUE ? LZMA_RUN
                         : op == EndOp::FLUSH  ? LZMA_FULL_FLUSH
                                               : LZMA_FINISH;
    lzma_ret rc = s_.code(in, out, action);
    if (rc == LZMA_STREAM_END) {
      if (op == EndOp::END) done_ = true;
      return 0;  // the flush or the stream is complete
    }
    if (rc != LZMA_OK && rc != LZMA_BUF_ERROR)
      return fail(lzmaErrno(rc), std::string("xz compression: ") + lzmaMessage(rc));
    if (op != EndOp::CONTINUE) return 1;
    return out.room() == 0 ? 1 : 0;
  }

 private:
  LzmaStream s_;
  bool done_ = false;
};

class XzReader : public Stage {
 public:
  const char* name() const override { return "xz"; }

  int init(std::string& why) {
    lzma_ret rc = lzma_stream_decoder(s_.get(), UINT64_MAX, LZMA_CONCATENATED);
    if (rc != LZMA_OK) {
      why = std::string("xz decompressor cannot start: ") + lzmaMessage(rc);
      return lzmaErrno(rc);
    }
    return 0;
  }

  // The input is run through first; once it is all taken at the end of the
  // data, the decoder is told to finish, which is where a truncated stream
  // shows (liblzma answers LZMA_BUF_ERROR when it cannot go on).
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (done_) return 0;
    if (in.left() > 0) seen_ = true;
    for (;;) {
      bool last = op == EndOp::END && in.left() == 0;
      if (last && !seen_) return 0;  // an empty file holds no data
      lzma_ret rc = s_.code(in, out, last ? LZMA_FINISH : LZMA_RUN);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        return 0;
      }
      if (rc != LZMA_OK && (rc != LZMA_BUF_ERROR || last)) {
        const char* what = rc == LZMA_BUF_ERROR ? "truncated xz data: " : "corrupt xz data: ";
        return fail(lzmaErrno(rc), what + std::string(lzmaMessage(rc)));
      }
      if (out.room() == 0) return 1;
      if (in.left() == 0 && op != EndOp::END) return 0;  // more input wanted
    }
  }

 private:
  LzmaStream s_;
  bool done_ = false, seen_ = false;
};

}  // namespace

std::unique_ptr<Stage> makeXzWriter(const EncoderParams& p, std::string& why) {
  return initialised<XzWriter>(why, p);
}
std::unique_ptr<Stage> makeXzReader(std::string& why) { return initialised<XzReader>(why); }

}  // namespace xio
