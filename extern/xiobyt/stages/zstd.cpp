// zstd in the seekable layout: independent frames of kZstdFrame input bytes,
// each with its content size and checksum, then the seek table in a
// skippable frame, which zstd -d skips. The reader takes any sequence of
// frames, skippable ones included.
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "xiobyt/stages/pool.h"
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

// Compresses frames into `packed`: the frame's bytes, or "" with `error`.
std::string compressInto(ZSTD_CCtx* cctx, const std::vector<uint8_t>& frame,
                         std::vector<uint8_t>& packed) {
  packed.resize(ZSTD_compressBound(frame.size()));
  size_t r = ZSTD_compress2(cctx, packed.data(), packed.size(), frame.data(), frame.size());
  if (ZSTD_isError(r)) {
    packed.clear();
    return std::string("zstd compression: ") + ZSTD_getErrorName(r);
  }
  packed.resize(r);
  return "";
}

std::unique_ptr<ZSTD_CCtx, CCtxFree> newContext(int level) {
  std::unique_ptr<ZSTD_CCtx, CCtxFree> c(ZSTD_createCCtx());
  if (c) {
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_checksumFlag, 1);
  }
  return c;
}

struct ZstdContext {
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx;
};
using FramePool = WorkerPool<ZstdContext>;

class ZstdWriter : public BlockWriter {
 public:
  ZstdWriter() : BlockWriter(kZstdFrame) {}
  const char* name() const override { return "zstd"; }

  int init(const EncoderParams& p, std::string& why) {
    if (p.threads > 1) {
      int level = p.level;
      pool_ = std::make_unique<FramePool>(
          p.threads,
          [level] { return std::make_unique<ZstdContext>(ZstdContext{newContext(level)}); },
          [](ZstdContext* c, PoolJob& job) {
            return c->cctx ? compressInto(c->cctx.get(), job.input, job.output)
                           : std::string("zstd compressor cannot start: out of memory");
          });
    } else {
      cctx_ = newContext(p.level);
      if (!cctx_) {
        why = "zstd compressor cannot start: out of memory";
        return ENOMEM;
      }
    }
    if (p.seekEntries) entries_ = *p.seekEntries;
    writeTable_ = p.seekTable;
    return 0;
  }

 private:
  // The frame gathered so far is compressed here, or handed to the pool
  // (which, with every worker busy, first gives back its oldest frame).
  int endBlock() override {
    if (!pool_) {
      std::string error = compressInto(cctx_.get(), block_, packed_);
      if (!error.empty()) return static_cast<int>(fail(EIO, error));
      packedPos_ = 0;
      entries_.push_back(
          {static_cast<uint32_t>(packed_.size()), static_cast<uint32_t>(block_.size())});
      block_.clear();
      return 0;
    }
    if (pool_->inFlight() >= pool_->depth()) return collect(true) < 0 ? -1 : 0;
    pool_->submit(jobForBlock());
    return 0;
  }

  int collect(bool wait) override {
    return collectFrom(pool_.get(), wait, [&](PoolJob& job) {
      if (!job.error.empty()) return static_cast<int>(fail(EIO, job.error));
      std::swap(packed_, job.output);
      packedPos_ = 0;
      entries_.push_back(
          {static_cast<uint32_t>(packed_.size()), static_cast<uint32_t>(job.input.size())});
      return 0;
    });
  }

  // A frame even for no data, so that the file is never without one.
  bool emptyBlockAtEnd() const override { return entries_.empty(); }

  void finish() override {
    if (!writeTable_) return;
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

  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx_;  // one thread
  std::unique_ptr<FramePool> pool_;            // more threads
  std::vector<SeekEntry> entries_;
  bool writeTable_ = true;
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
