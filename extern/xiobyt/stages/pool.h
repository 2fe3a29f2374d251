// Writer stages that compress their input in independent blocks, on the
// caller's thread or on the process's shared workers (shared_pool.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "xiobyt/stage.h"
#include "xiobyt/stages/shared_pool.h"

namespace xio {

// A writer stage that cuts its input into blocks of a fixed size, has each
// one compressed (on the caller's thread or the shared pool) and emits the
// results in order; FLUSH ends the current block early and waits for every
// block in flight, END then adds what finish() puts out (block.cpp).
// A block is handed on as soon as it is full, and its buffers are freed
// once its output is written, so that an open writer between writes holds
// only the input not yet making a block.
class BlockWriter : public Stage {
 public:
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override;
  size_t inputBlock() const override { return blockSize_; }

 protected:
  explicit BlockWriter(size_t blockSize) : blockSize_(blockSize) {}
  // Hands block_ on, or compresses it into packed_. 0, or -1 with fail().
  virtual int endBlock() = 0;
  // Puts the oldest block done into packed_: 1; 0 when none is done (with
  // `wait`: when none is in flight); -1 with fail().
  virtual int collect(bool wait) = 0;
  // Whether END without any block ends an empty one.
  virtual bool emptyBlockAtEnd() const { return false; }
  // Puts the end of the stream into packed_.
  virtual void finish() = 0;

  // Takes the oldest job of `pool` as collect() does, handing it to `done`,
  // which swaps its output into packed_.
  template <class Done>
  int collectFrom(PoolStream* pool, bool wait, Done done) {
    if (!pool) return 0;
    std::unique_ptr<PoolJob> job = pool->take(wait);
    if (!job) return 0;
    if (!job->error.empty()) return static_cast<int>(fail(job->code, job->error));
    return done(*job) != 0 ? -1 : 1;
  }
  // Hands block_ to a new job for `pool`, which a full pool makes wait for
  // its oldest job first: 0, or -1 with fail().
  template <class Fill>
  int submitBlock(PoolStream& pool, Fill fill) {
    if (pool.inFlight() >= pool.depth()) return collect(true) < 0 ? -1 : 0;
    auto job = std::make_unique<PoolJob>();
    job->input = std::move(block_);
    block_ = std::vector<uint8_t>();
    fill(*job);
    pool.submit(std::move(job));
    return 0;
  }

  std::vector<uint8_t> block_, packed_;
  size_t packedPos_ = 0;
  bool blocked_ = false;  // a block was ended

 private:
  void drain(OutBuffer& out);
  void gather(InBuffer& in);
  size_t blockSize_;
  bool ended_ = false;
};

}  // namespace xio
