#include <algorithm>
#include <cstring>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {
// Input taken per transform: large enough to amortise iconv calls, small
// enough to keep the pending output well under a few MiB.
constexpr size_t kChunk = 256 << 10;
}  // namespace

void BufferedStage::drain(OutBuffer& out) {
  size_t n = std::min(pending_.size() - pendingPos_, out.room());
  if (n == 0) return;
  memcpy(out.dst + out.pos, pending_.data() + pendingPos_, n);
  out.pos += n;
  pendingPos_ += n;
}

int64_t BufferedStage::step(InBuffer& in, OutBuffer& out, EndOp op) {
  drain(out);
  while (pendingPos_ == pending_.size() && !finished_) {
    pending_.clear();
    pendingPos_ = 0;
    if (in.left() > 0) {
      size_t n = std::min(in.left(), kChunk);
      if (transform(in.src + in.pos, n, false) != 0) return -1;
      in.pos += n;
    } else if (op == EndOp::END) {
      if (transform(nullptr, 0, true) != 0) return -1;
      finished_ = true;
    } else {
      break;
    }
    drain(out);
    if (out.room() == 0) break;
  }
  size_t left = pending_.size() - pendingPos_;
  if (op == EndOp::END && !finished_ && left == 0) return 1;  // more input to convert
  return static_cast<int64_t>(left);
}

}  // namespace xio
