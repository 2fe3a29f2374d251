// A chain of stages and the buffers between them.
//
// A writing pipeline is pushed: data enters the first stage, and each
// stage's output collects in a buffer of kLinkSize bytes that is handed to
// the next stage when full, or at the end of a push when it holds more than
// kHeldAtRest (so codecs and the file see large blocks whatever the size of
// the application's writes, and an idle writer holds little). The last
// stage is the file sink.
// A reading pipeline is pulled: the file source is the first stage, and a
// pull fills the caller's buffer from the last stage, refilling the buffers
// upstream as they run dry. Memory is the sum of the link buffers and the
// stages' own state, whatever the length of the stream.
//
// Owns its stages. Used by one thread at a time.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "xiobyt/stage.h"

namespace xio {

constexpr size_t kLinkSize = 1 << 20;

class Pipeline {
 public:
  void add(std::unique_ptr<Stage> stage);

  // Writing: feeds `n` bytes to the first stage. FLUSH and END carry on
  // down the chain. Returns 0, or -1 with failure() set.
  int push(const uint8_t* data, size_t n, EndOp op) { return push(0, data, n, op); }
  // Writing: feeds bytes to stage `first` and those after it, past the
  // stages before it (the old data of a file being rewritten skips the
  // format stage: it is in the file's own form already).
  int pushAt(size_t first, const uint8_t* data, size_t n, EndOp op) {
    return push(first, data, n, op);
  }
  // Reading: appends to `out` until it is full or the stream has ended
  // (then ended() is true). Returns 0, or -1 with failure() set.
  int pull(OutBuffer& out) { return pull(stages_.size() - 1, out); }
  bool ended() const { return !done_.empty() && done_.back(); }

  // The failure and the name of the stage that failed.
  const StageError& failure() const { return failure_; }
  const char* failedStage() const { return failedStage_; }

 private:
  // Allocated at first use and never zero-filled: a handle that is opened
  // only to be sized or closed costs no buffer. Writing, what is left in it
  // at the end of a push moves to a buffer of its own size (none when
  // nothing is left), so that a writer between writes holds what waits to
  // go on, not a whole link.
  struct Link {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
    size_t pos = 0, len = 0;
    uint8_t* get() {
      if (capacity < kLinkSize) {
        auto full = std::make_unique_for_overwrite<uint8_t[]>(kLinkSize);
        if (len > 0) memcpy(full.get(), data.get(), len);
        data = std::move(full);
        capacity = kLinkSize;
      }
      return data.get();
    }
    void compact() {
      if (len == 0) {
        data.reset();
        capacity = 0;
      } else if (capacity == kLinkSize && len <= kLinkSize / 4) {
        auto small = std::make_unique_for_overwrite<uint8_t[]>(len);
        memcpy(small.get(), data.get(), len);
        data = std::move(small);
        capacity = len;
      }
    }
  };
  int push(size_t i, const uint8_t* data, size_t n, EndOp op);
  int pull(size_t i, OutBuffer& out);
  int failed(size_t i);
  int stalled(size_t i);

  std::vector<std::unique_ptr<Stage>> stages_;
  std::vector<Link> links_;  // writing: output of stage i; reading: input of stage i
  std::vector<bool> done_;
  StageError failure_;
  const char* failedStage_ = "";
};

}  // namespace xio
