// The part that the layers of random.h share: a source made of independent
// units (zstd frames, xz blocks), each a range of the bytes below that
// decodes on its own to a known range of this source's bytes.
#pragma once

#include <memory>
#include <vector>

#include "xiobyt/random.h"

namespace xio {

struct RandomUnit {
  uint64_t in = 0, inSize = 0;    // where the unit lies in the source below
  uint64_t out = 0, outSize = 0;  // and the bytes it decodes to
};

// Holds the last unit decoded and serves reads from it. The units are in
// file order, without gaps or overlaps in `out`; each holds at most
// kMaxRandomUnit bytes (the factories check this).
class UnitSource : public RandomSource {
 public:
  UnitSource(std::unique_ptr<RandomSource> below, std::vector<RandomUnit> units);
  uint64_t size() const override { return size_; }
  int64_t readAt(uint64_t offset, uint8_t* buf, size_t n) override;
  uint64_t fileBytes() const override { return below_->fileBytes(); }

 protected:
  // Decodes unit `i` from its `packed` bytes (inSize of them) into `out`,
  // which has room for exactly outSize bytes, and checks that it filled
  // it. 0, or -1 with fail() called.
  virtual int decode(size_t i, const uint8_t* packed, uint8_t* out) = 0;
  const std::vector<RandomUnit>& units() const { return units_; }

 private:
  int load(size_t i);

  std::unique_ptr<RandomSource> below_;
  std::vector<RandomUnit> units_;
  uint64_t size_ = 0;
  // Both buffers grow to the largest unit met and stay; `cached_` is the
  // unit whose bytes `plain_` holds, or npos.
  std::vector<uint8_t> packed_;
  std::unique_ptr<uint8_t[]> plain_;
  size_t plainCapacity_ = 0;
  size_t cached_ = static_cast<size_t>(-1);
};

// Reads [at, at+n) of `src`: true when it was there whole, false when `src`
// failed (its error() says why) or ended first.
bool readExactly(RandomSource& src, uint64_t at, uint8_t* buf, size_t n);

}  // namespace xio
