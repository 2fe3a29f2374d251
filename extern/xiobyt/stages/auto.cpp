// The auto reader: looks at the first bytes once, then either hands the
// stream to the decoder of the layer found or passes the bytes on.
#include <cstring>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

struct Magic {
  Detected found;
  const char* layer;
  const char* bytes;
  size_t size;
  // Bytes that must follow the magic, where the magic alone is text
  // ("BZh" then the block size digit).
  bool (*then)(const uint8_t* rest, size_t left) = nullptr;
};

bool blockSizeDigit(const uint8_t* rest, size_t left) {
  return left > 0 && rest[0] >= '1' && rest[0] <= '9';
}

// Only the outer layer is recognised: what a decoded layer holds is data.
// A seekable zstd file of no data starts with its skippable frame.
const Magic kMagics[] = {
    {Detected::GZIP, "gzip", "\x1f\x8b", 2},
    {Detected::ZSTD, "zstd", "\x28\xb5\x2f\xfd", 4},
    {Detected::ZSTD, "zstd", "\x5e\x2a\x4d\x18", 4},
    {Detected::XZ, "xz",
     "\xfd"
     "7zXZ\0",
     6},
    {Detected::BZIP2, "bzip2", "BZh", 3, blockSizeDigit},
};

class AutoReader : public AutoStage {
 public:
  const char* name() const override { return "auto"; }
  Detected detected() const override { return detected_; }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (detected_ == Detected::UNDECIDED) {
      if (in.left() < kLongestMagic && op != EndOp::END) return 0;  // wait for the magic
      if (int64_t r = decide(in); r < 0) return r;
    }
    if (decoder_) {
      int64_t r = decoder_->step(in, out, op);
      if (r < 0) error_ = decoder_->error();
      return r;
    }
    size_t n = std::min(in.left(), out.room());
    if (n) memcpy(out.dst + out.pos, in.src + in.pos, n);
    in.pos += n;
    out.pos += n;
    return static_cast<int64_t>(in.left());
  }

 private:
  int64_t decide(const InBuffer& in) {
    detected_ = Detected::BYTES;
    Detected found = detectMagic(in.src + in.pos, in.left());
    if (const char* layer = detectedLayer(found)) {
      std::string why;
      decoder_ = makeReader(layer, why);
      if (!decoder_) return fail(errno ? errno : EIO, why);
      detected_ = found;
    }
    return 0;
  }

  Detected detected_ = Detected::UNDECIDED;
  std::unique_ptr<Stage> decoder_;
};

}  // namespace

Detected detectMagic(const uint8_t* p, size_t n) {
  for (const Magic& m : kMagics) {
    if (n < m.size || memcmp(p, m.bytes, m.size) != 0) continue;
    if (m.then && !m.then(p + m.size, n - m.size)) continue;
    return m.found;
  }
  return Detected::BYTES;
}

const char* detectedLayer(Detected d) {
  for (const Magic& m : kMagics)
    if (m.found == d) return m.layer;
  return nullptr;
}

std::unique_ptr<AutoStage> makeAutoReader() { return std::make_unique<AutoReader>(); }

}  // namespace xio
