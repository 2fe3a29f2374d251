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

// The compression context of this thread, set up for `level`: contexts
// are kept per thread (the pool's workers and the callers of one-thread
// writers) rather than per stream, so that an open writer holds none.
// Null when out of memory.
ZSTD_CCtx* threadContext(int level) {
  thread_local std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx;
  if (!cctx) cctx.reset(ZSTD_createCCtx());
  if (!cctx) return nullptr;
  ZSTD_CCtx_reset(cctx.get(), ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
  return cctx.get();
}

std::string compressFrame(int level, const std::vector<uint8_t>& frame,
                          std::vector<uint8_t>& packed) {
  ZSTD_CCtx* cctx = threadContext(level);
  if (!cctx) return "zstd compressor cannot start: out of memory";
  return compressInto(cctx, frame, packed);
}

class ZstdWriter : public BlockWriter {
 public:
  ZstdWriter() : BlockWriter(kZstdFrame) {}
  const char* name() const override { return "zstd"; }

  int init(const EncoderParams& p, std::string& why) {
    level_ = p.level;
    if (p.threads > 1) {
      int level = level_;
      pool_ = std::make_unique<PoolStream>(p.threads, [level](PoolJob& job) {
        job.error = compressFrame(level, job.input, job.output);
      });
    }
    if (p.seekEntries) entries_ = *p.seekEntries;
    writeTable_ = p.seekTable;
    (void)why;
    return 0;
  }

 private:
  // The frame gathered so far is compressed here, or handed to the pool
  // (which, with every worker busy, first gives back its oldest frame).
  int endBlock() override {
    if (pool_) return submitBlock(*pool_, [](PoolJob&) {});
    std::string error = compressFrame(level_, block_, packed_);
    if (!error.empty()) return static_cast<int>(fail(EIO, error));
    packedPos_ = 0;
    entries_.push_back(
        {static_cast<uint32_t>(packed_.size()), static_cast<uint32_t>(block_.size())});
    std::vector<uint8_t>().swap(block_);
    return 0;
  }

  int collect(bool wait) override {
    return collectFrom(pool_.get(), wait, [&](PoolJob& job) {
      std::swap(packed_, job.output);
      packedPos_ = 0;
      entries_.push_back(
          {static_cast<uint32_t>(packed_.size()), static_cast<uint32_t>(job.inputSize)});
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

  int level_ = 3;
  std::unique_ptr<PoolStream> pool_;  // more threads than one
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
