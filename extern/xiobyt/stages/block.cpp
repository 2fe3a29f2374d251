#include <algorithm>
#include <cstring>

#include "xiobyt/stages/pool.h"

namespace xio {

void BlockWriter::drain(OutBuffer& out) {
  size_t n = std::min(out.room(), packed_.size() - packedPos_);
  if (n == 0) return;
  memcpy(out.dst + out.pos, packed_.data() + packedPos_, n);
  out.pos += n;
  packedPos_ += n;
  if (packedPos_ == packed_.size()) std::vector<uint8_t>().swap(packed_), packedPos_ = 0;
}

// The block grows with what arrives, by doubling from 64 KiB, so that a
// writer that has taken a little holds about that much.
void BlockWriter::gather(InBuffer& in) {
  size_t n = std::min(in.left(), blockSize_ - block_.size());
  size_t need = block_.size() + n;
  if (need > block_.capacity()) {
    size_t grown = std::max({need, 2 * block_.capacity(), size_t{64} << 10});
    block_.reserve(std::min(grown, blockSize_));
  }
  block_.insert(block_.end(), in.src + in.pos, in.src + in.pos + n);
  in.pos += n;
}

int64_t BlockWriter::step(InBuffer& in, OutBuffer& out, EndOp op) {
  for (;;) {
    drain(out);
    if (packedPos_ < packed_.size()) return static_cast<int64_t>(packed_.size() - packedPos_);
    int r = collect(false);  // a block done meanwhile goes out first
    if (r < 0) return -1;
    if (r > 0) continue;
    if (block_.size() == blockSize_) {
      if (endBlock() != 0) return -1;
      blocked_ = true;
      continue;
    }
    if (in.left() > 0) {
      gather(in);
      continue;
    }
    if (op == EndOp::CONTINUE || ended_) return 0;
    if (!block_.empty() || (op == EndOp::END && !blocked_ && emptyBlockAtEnd())) {
      if (endBlock() != 0) return -1;
      blocked_ = true;
      continue;
    }
    if ((r = collect(true)) < 0) return -1;
    if (r > 0) continue;
    if (op == EndOp::FLUSH) return 0;
    ended_ = true;
    packed_.clear();
    packedPos_ = 0;
    finish();
  }
}

}  // namespace xio
