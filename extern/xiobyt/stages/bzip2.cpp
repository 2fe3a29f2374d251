// bzip2 through libbz2. The reader takes concatenated streams, as bzip2 -d
// does (pbzip2 and appending writers make them).
#include <bzlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

// Owns a bz_stream set up for compression or decompression.
class BzStream {
 public:
  explicit BzStream(bool compressing) : compressing_(compressing) { memset(&s_, 0, sizeof s_); }
  ~BzStream() { end(); }
  BzStream(const BzStream&) = delete;
  BzStream& operator=(const BzStream&) = delete;
  bz_stream* get() { return &s_; }
  // Takes the result of BZ2_bzCompressInit or BZ2_bzDecompressInit: 0 and
  // the stream to be ended later, or an errno with the cause in `why`.
  int started(int rc, std::string& why) {
    if (rc == BZ_OK) {
      ready_ = true;
      return 0;
    }
    why = std::string("bzip2 ") + (compressing_ ? "compressor" : "decompressor") +
          " cannot start (" + std::to_string(rc) + ")";
    return rc == BZ_MEM_ERROR ? ENOMEM : EINVAL;
  }
  void end() {
    if (ready_) compressing_ ? BZ2_bzCompressEnd(&s_) : BZ2_bzDecompressEnd(&s_);
    ready_ = false;
  }
  void attach(InBuffer& in, OutBuffer& out) {
    s_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.src + in.pos));
    s_.avail_in = static_cast<unsigned>(std::min<size_t>(in.left(), UINT_MAX));
    s_.next_out = reinterpret_cast<char*>(out.dst + out.pos);
    s_.avail_out = static_cast<unsigned>(std::min<size_t>(out.room(), UINT_MAX));
  }
  void sync(InBuffer& in, OutBuffer& out) {
    in.pos = static_cast<size_t>(reinterpret_cast<const uint8_t*>(s_.next_in) - in.src);
    out.pos = static_cast<size_t>(reinterpret_cast<uint8_t*>(s_.next_out) - out.dst);
  }

 private:
  bz_stream s_;
  bool compressing_, ready_ = false;
};

class Bzip2Writer : public Stage {
 public:
  Bzip2Writer() : bz_(true) {}
  const char* name() const override { return "bzip2"; }

  int init(const EncoderParams& p, std::string& why) {
    level_ = p.level;
    return bz_.started(BZ2_bzCompressInit(bz_.get(), p.level, 0, 0), why);
  }

  // A flush ends the stream and the next data starts another (bzip2 -d
  // reads them as one): a block that BZ_FLUSH ends keeps its last bits in
  // the compressor until the next block, so only a stream's end makes
  // everything written so far decode. A flush without new data since the
  // last one does nothing.
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (done_) return 0;
    if (ended_) {  // a flush ended the stream: new data starts another
      if (in.left() == 0) {
        if (op == EndOp::END) done_ = true;
        return 0;
      }
      std::string why;
      bz_.end();
      if (bz_.started(BZ2_bzCompressInit(bz_.get(), level_, 0, 0), why) != 0)
        return fail(ENOMEM, why);
      ended_ = false;
    }
    int action = op == EndOp::CONTINUE ? BZ_RUN : BZ_FINISH;
    bz_.attach(in, out);
    int rc = BZ2_bzCompress(bz_.get(), action);
    bz_.sync(in, out);
    if (rc == BZ_STREAM_END) {
      if (op == EndOp::END) {
        done_ = true;
      } else {
        ended_ = true;
      }
      return 0;
    }
    if (rc == BZ_RUN_OK) return out.room() > 0 ? 0 : 1;
    if (rc == BZ_FINISH_OK) return 1;
    return fail(EIO, "bzip2 compression failed (" + std::to_string(rc) + ")");
  }

 private:
  BzStream bz_;
  int level_ = 9;
  bool done_ = false;
  bool ended_ = false;  // a flush ended the stream
};

class Bzip2Reader : public Stage {
 public:
  Bzip2Reader() : bz_(false) {}
  const char* name() const override { return "bzip2"; }

  int init(std::string& why) { return bz_.started(BZ2_bzDecompressInit(bz_.get(), 0, 0), why); }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    for (;;) {
      if (!inStream_) {  // between streams: a new one starts with the next byte
        if (in.left() == 0) return 0;
        bz_.end();
        std::string why;
        if (init(why) != 0) return fail(ENOMEM, why);
        inStream_ = true;
      }
      bz_.attach(in, out);
      int rc = BZ2_bzDecompress(bz_.get());
      bz_.sync(in, out);
      if (rc == BZ_STREAM_END) {
        inStream_ = false;
        ++streams_;
        continue;
      }
      if (rc != BZ_OK) {
        if (rc == BZ_MEM_ERROR) return fail(ENOMEM, "bzip2 decompression: out of memory");
        return fail(
            EIO, std::string(rc == BZ_DATA_ERROR_MAGIC ? "not bzip2 data" : "corrupt bzip2 data") +
                     (streams_ ? " after stream " + std::to_string(streams_) : ""));
      }
      if (out.room() == 0) return 1;
      if (in.left() == 0) {
        if (op == EndOp::END)
          return fail(EIO, "truncated bzip2 data: the file ends inside stream " +
                               std::to_string(streams_ + 1));
        return 0;
      }
    }
  }

 private:
  BzStream bz_;
  bool inStream_ = true;
  uint64_t streams_ = 0;
};

}  // namespace

std::unique_ptr<Stage> makeBzip2Writer(const EncoderParams& p, std::string& why) {
  return initialised<Bzip2Writer>(why, p);
}
std::unique_ptr<Stage> makeBzip2Reader(std::string& why) { return initialised<Bzip2Reader>(why); }

}  // namespace xio
