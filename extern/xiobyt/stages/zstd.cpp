// zstd in the seekable layout: independent frames of kZstdFrame input bytes,
// each with its content size and checksum, then the seek table in a
// skippable frame, which zstd -d skips. The reader takes any sequence of
// frames, skippable ones included.
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

// Owns a zstd compression or decompression context.
struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class ZstdWriter : public Stage {
 public:
  const char* name() const override { return "zstd"; }

  int init(const EncoderParams& p, std::string& why) {
    cctx_.reset(ZSTD_createCCtx());
    if (!cctx_) {
      why = "zstd compressor cannot start: out of memory";
      return ENOMEM;
    }
    ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, p.level);
    ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_checksumFlag, 1);
    if (p.seekEntries) entries_ = *p.seekEntries;
    writeTable_ = p.seekTable;
    packed_.reserve(ZSTD_compressBound(kZstdFrame));
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    for (;;) {
      drain(out);
      if (packedPos_ < packed_.size()) return static_cast<int64_t>(packed_.size() - packedPos_);
      if (in.left() > 0) {
        if (frame_.capacity() < kZstdFrame) frame_.reserve(kZstdFrame);
        size_t n = std::min(in.left(), kZstdFrame - frame_.size());
        frame_.insert(frame_.end(), in.src + in.pos, in.src + in.pos + n);
        in.pos += n;
        if (frame_.size() == kZstdFrame && compressFrame() != 0) return -1;
        continue;
      }
      if (op == EndOp::CONTINUE || ended_) return 0;
      // FLUSH ends the frame early; END also writes the table (and a frame
      // even for no data, so that the file is never without one).
      if (!frame_.empty() || (op == EndOp::END && entries_.empty() && !framed_)) {
        if (compressFrame() != 0) return -1;
        continue;
      }
      if (op == EndOp::FLUSH) return 0;
      ended_ = true;
      if (writeTable_) table();
    }
  }

 private:
  void drain(OutBuffer& out) {
    size_t n = std::min(out.room(), packed_.size() - packedPos_);
    if (n == 0) return;
    memcpy(out.dst + out.pos, packed_.data() + packedPos_, n);
    out.pos += n;
    packedPos_ += n;
    if (packedPos_ == packed_.size()) packed_.clear(), packedPos_ = 0;
  }

  int compressFrame() {
    packed_.resize(ZSTD_compressBound(frame_.size()));
    size_t r =
        ZSTD_compress2(cctx_.get(), packed_.data(), packed_.size(), frame_.data(), frame_.size());
    if (ZSTD_isError(r)) {
      packed_.clear();
      return static_cast<int>(fail(EIO, std::string("zstd compression: ") + ZSTD_getErrorName(r)));
    }
    packed_.resize(r);
    packedPos_ = 0;
    entries_.push_back({static_cast<uint32_t>(r), static_cast<uint32_t>(frame_.size())});
    frame_.clear();
    framed_ = true;
    return 0;
  }

  void table() {
    packed_.clear();
    packedPos_ = 0;
    put32(packed_, kSkippableMagic);
    put32(packed_, static_cast<uint32_t>(entries_.size() * 8 + 9));
    for (const SeekEntry& e : entries_) {
      put32(packed_, e.compressed);
      put32(packed_, e.decompressed);
    }
    put32(packed_, static_cast<uint32_t>(entries_.size()));
    packed_.push_back(0);  // descriptor: no checksums in the entries
    put32(packed_, kSeekableMagic);
  }

  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx_;
  std::vector<uint8_t> frame_, packed_;
  size_t packedPos_ = 0;
  std::vector<SeekEntry> entries_;
  bool writeTable_ = true, framed_ = false, ended_ = false;
};

class ZstdReader : public Stage {
 public:
  const char* name() const override { return "zstd"; }

  int init(std::string& why) {
    dctx_.reset(ZSTD_createDCtx());
    if (!dctx_) {
      why = "zstd decompressor cannot start: out of memory";
      return ENOMEM;
    }
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    while (in.left() > 0 || (hint_ != 0 && out.room() > 0)) {
      ZSTD_inBuffer zin{in.src, in.size, in.pos};
      ZSTD_outBuffer zout{out.dst, out.size, out.pos};
      size_t r = ZSTD_decompressStream(dctx_.get(), &zout, &zin);
      bool progress = zin.pos != in.pos || zout.pos != out.pos;
      in.pos = zin.pos;
      out.pos = zout.pos;
      if (ZSTD_isError(r))
        return fail(EIO, std::string("corrupt zstd data: ") + ZSTD_getErrorName(r));
      hint_ = r;
      if (out.room() == 0) return 1;
      if (!progress) break;
    }
    if (op == EndOp::END && in.left() == 0 && hint_ != 0)
      return fail(EIO, "truncated zstd data: the file ends inside a frame");
    return 0;
  }

 private:
  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx_;
  size_t hint_ = 0;  // non-zero inside a frame
};

}  // namespace

std::unique_ptr<Stage> makeZstdWriter(const EncoderParams& p, std::string& why) {
  return initialised<ZstdWriter>(why, p);
}
std::unique_ptr<Stage> makeZstdReader(std::string& why) { return initialised<ZstdReader>(why); }

}  // namespace xio
