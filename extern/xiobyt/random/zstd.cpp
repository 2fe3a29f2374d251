// Seekable zstd: the frames found from the seek table or, without one, by
// hopping from frame header to frame header. Every frame is checked as it
// is decoded: exactly one frame in the bytes listed, and exactly the
// decoded size listed, so a table that lies never yields wrong bytes.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>

#include "xiobyt/random/units.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr uint64_t kFooter = 9;  // number of frames, descriptor, seekable magic

// The frames listed by the seek table at the end of `src`. False when there
// is no table, or it does not add up to the bytes before it.
bool tableUnits(RandomSource& src, std::vector<RandomUnit>& units) {
  uint64_t size = src.size();
  uint8_t foot[kFooter];
  if (size < 8 + kFooter || !readExactly(src, size - kFooter, foot, kFooter)) return false;
  if (le32(foot + 5) != kSeekableMagic || (foot[4] & 0x7C) != 0) return false;
  uint64_t count = le32(foot), entry = foot[4] & 0x80 ? 12 : 8;
  uint64_t frame = 8 + count * entry + kFooter;
  if (frame > size) return false;
  std::vector<uint8_t> table(frame);
  if (!readExactly(src, size - frame, table.data(), table.size())) return false;
  if (le32(table.data()) != kSkippableMagic || le32(table.data() + 4) != frame - 8) return false;
  uint64_t in = 0, out = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = table.data() + 8 + i * entry;
    RandomUnit u{in, le32(e), out, le32(e + 4)};
    units.push_back(u);
    in += u.inSize;
    out += u.outSize;
  }
  return in == size - frame;
}

// The frames found by walking the headers: each must say its content size;
// its compressed size is that of its blocks. Skippable frames are passed.
bool hopUnits(RandomSource& src, std::vector<RandomUnit>& units) {
  uint64_t size = src.size(), at = 0, out = 0;
  while (at < size) {
    uint8_t head[ZSTD_FRAMEHEADERSIZE_MAX] = {};
    size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof head, size - at));
    if (got < 8 || !readExactly(src, at, head, got)) return false;
    uint32_t magic = le32(head);
    if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) {
      at += 8 + uint64_t{le32(head + 4)};
      continue;
    }
    ZSTD_frameHeader fh;
    if (ZSTD_getFrameHeader(&fh, head, got) != 0 || fh.frameType != ZSTD_frame ||
        fh.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || fh.frameContentSize > kMaxRandomUnit)
      return false;  // a frame too large to hold is found before its blocks are walked
    uint64_t start = at;
    at += fh.headerSize;
    for (bool last = false; !last;) {
      uint8_t b[3];
      if (at + 3 > size || !readExactly(src, at, b, 3)) return false;
      uint32_t bh = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16;
      last = bh & 1;
      uint32_t type = (bh >> 1) & 3, blockSize = bh >> 3;
      if (type == 3) return false;                      // reserved: not zstd
      at += 3 + (type == 1 ? 1 : uint64_t{blockSize});  // an RLE block holds one byte
    }
    if (fh.checksumFlag) at += 4;
    units.push_back({start, at - start, out, fh.frameContentSize});
    out += fh.frameContentSize;
  }
  return at == size;
}

struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

class ZstdRandom : public UnitSource {
 public:
  ZstdRandom(std::unique_ptr<RandomSource> below, std::vector<RandomUnit> units, ZSTD_DCtx* dctx)
      : UnitSource(std::move(below), std::move(units)), dctx_(dctx) {}
  const char* name() const override { return "zstd"; }

 private:
  int decode(size_t i, const uint8_t* packed, uint8_t* out) override {
    const RandomUnit& u = units()[i];
    std::string where = "frame " + std::to_string(i) + " at offset " + std::to_string(u.in);
    auto n = static_cast<size_t>(u.inSize);
    size_t frame = ZSTD_findFrameCompressedSize(packed, n);
    if (ZSTD_isError(frame) || frame != n)
      return static_cast<int>(fail(
          EIO, "the seek table does not match the frames: " + where + " is not one frame", true));
    unsigned long long said = ZSTD_getFrameContentSize(packed, n);
    if (said != ZSTD_CONTENTSIZE_UNKNOWN && said != u.outSize)
      return static_cast<int>(fail(EIO,
                                   "the seek table does not match the frames: " + where +
                                       " holds " + std::to_string(said) + " bytes, not " +
                                       std::to_string(u.outSize),
                                   true));
    size_t r = ZSTD_decompressDCtx(dctx_.get(), out, static_cast<size_t>(u.outSize), packed, n);
    if (ZSTD_isError(r) && ZSTD_getErrorCode(r) == ZSTD_error_dstSize_tooSmall)
      return static_cast<int>(fail(
          EIO, "the seek table does not match the frames: " + where + " holds more bytes", true));
    if (ZSTD_isError(r))
      return static_cast<int>(
          fail(EIO, "corrupt zstd data in " + where + ": " + ZSTD_getErrorName(r)));
    if (r != u.outSize)
      return static_cast<int>(fail(EIO,
                                   "the seek table does not match the frames: " + where +
                                       " holds " + std::to_string(r) + " bytes, not " +
                                       std::to_string(u.outSize),
                                   true));
    return 0;
  }

  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx_;
};

}  // namespace

std::unique_ptr<RandomSource> makeZstdRandom(std::unique_ptr<RandomSource> below,
                                             std::string& why) {
  std::vector<RandomUnit> units;
  if (!tableUnits(*below, units)) {
    units.clear();
    if (!hopUnits(*below, units)) {
      why = "neither a seek table nor frames of known size that can be held";
      return nullptr;
    }
  }
  for (const RandomUnit& u : units) {
    if (u.outSize > kMaxRandomUnit || u.inSize > ZSTD_compressBound(kMaxRandomUnit)) {
      why = "a frame of " + std::to_string(u.outSize) + " bytes is too large to hold";
      return nullptr;
    }
  }
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (dctx == nullptr) {
    why = "zstd decompressor cannot start: out of memory";
    return nullptr;
  }
  return std::make_unique<ZstdRandom>(std::move(below), std::move(units), dctx);
}

}  // namespace xio
