#include "xiobyt/pipeline.h"

#include <cerrno>
#include <cstring>

namespace xio {

void Pipeline::add(std::unique_ptr<Stage> stage) {
  stages_.push_back(std::move(stage));
  links_.emplace_back();
  done_.push_back(false);
}

int Pipeline::failed(size_t i) {
  failure_ = stages_[i]->error();
  failedStage_ = stages_[i]->name();
  return -1;
}

// A stage that neither consumes nor produces although it could is a defect
// of the stage; report it instead of looping.
int Pipeline::stalled(size_t i) {
  failure_ = {EIO, std::string("the ") + stages_[i]->name() + " stage made no progress"};
  failedStage_ = stages_[i]->name();
  return -1;
}

int Pipeline::push(size_t i, const uint8_t* data, size_t n, EndOp op) {
  Stage& s = *stages_[i];
  InBuffer in{data, n, 0};
  if (i + 1 == stages_.size()) {  // the sink consumes everything it is given
    OutBuffer none;
    for (;;) {
      size_t before = in.pos;
      int64_t r = s.step(in, none, op);
      if (r < 0) return failed(i);
      if (in.left() == 0 && (op == EndOp::CONTINUE || r == 0)) return 0;
      if (in.pos == before) return stalled(i);
    }
  }
  Link& link = links_[i];
  uint8_t* buf = link.get();
  for (;;) {
    if (link.len == kLinkSize) {
      if (push(i + 1, buf, link.len, EndOp::CONTINUE) != 0) return -1;
      link.len = 0;
    }
    OutBuffer out{buf, kLinkSize, link.len};
    size_t before = in.pos;
    int64_t r = s.step(in, out, op);
    if (r < 0) return failed(i);
    bool progress = in.pos != before || out.pos != link.len;
    link.len = out.pos;
    if (in.left() == 0 && (op == EndOp::CONTINUE || r == 0)) break;
    if (!progress && link.len < kLinkSize) return stalled(i);
  }
  if (op != EndOp::CONTINUE || link.len > kHeldAtRest) {
    if (link.len > 0 && push(i + 1, buf, link.len, EndOp::CONTINUE) != 0) return -1;
    link.len = 0;
  }
  link.compact();
  return op == EndOp::CONTINUE ? 0 : push(i + 1, nullptr, 0, op);
}

int Pipeline::pull(size_t i, OutBuffer& out) {
  Stage& s = *stages_[i];
  InBuffer none;
  while (out.room() > 0 && !done_[i]) {
    if (i == 0) {  // the source: producing nothing means the end
      size_t before = out.pos;
      if (s.step(none, out, EndOp::END) < 0) return failed(i);
      if (out.pos == before) done_[i] = true;
      continue;
    }
    Link& link = links_[i];
    uint8_t* buf = link.get();
    if (link.pos == link.len && !done_[i - 1]) {
      link.pos = link.len = 0;
      OutBuffer fill{buf, kLinkSize, 0};
      if (pull(i - 1, fill) != 0) return -1;
      link.len = fill.pos;
    }
    bool upstreamDone = done_[i - 1];
    EndOp op = upstreamDone ? EndOp::END : EndOp::CONTINUE;
    InBuffer in{buf, link.len, link.pos};
    size_t before = out.pos;
    int64_t r = s.step(in, out, op);
    if (r < 0) return failed(i);
    bool progress = in.pos != link.pos || out.pos != before;
    link.pos = in.pos;
    if (op == EndOp::END && r == 0 && in.left() == 0) {
      done_[i] = true;
    } else if (!progress) {
      // The stage needs more input than is left: keep the rest and append.
      if (upstreamDone || (link.pos == 0 && link.len == kLinkSize)) return stalled(i);
      memmove(buf, buf + link.pos, link.len - link.pos);
      link.len -= link.pos;
      link.pos = 0;
      OutBuffer fill{buf, kLinkSize, link.len};
      if (pull(i - 1, fill) != 0) return -1;
      link.len = fill.pos;
    }
  }
  return 0;
}

}  // namespace xio
