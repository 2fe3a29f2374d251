// Worker threads that compress independent blocks, each with a codec
// context of its own, handing the results back in the order the blocks
// were given, so that the output is the same whatever the thread count.
// Owned by one writer stage, whose calls all come from the writer's thread.
// Lock order: the pool's one mutex only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "xiobyt/stage.h"

namespace xio {

struct PoolJob {
  std::vector<uint8_t> input, dictionary, output;
  uint32_t check = 0;  // gzip: the CRC-32 of the input
  std::string error;   // empty when the block compressed
  bool started = false, done = false;
};

template <class Context>
class WorkerPool {
 public:
  using Make = std::function<std::unique_ptr<Context>()>;
  using Work = std::function<std::string(Context*, PoolJob&)>;

  WorkerPool(int threads, Make make, Work work) : work_(std::move(work)) {
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this, make] { run(make()); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t size() const { return workers_.size(); }
  // How many blocks may be in flight before the writer waits for the
  // oldest: twice the workers, so that a worker that finishes while the
  // writer waits for another finds the next block queued.
  size_t depth() const { return 2 * workers_.size(); }
  size_t inFlight() {
    std::lock_guard<std::mutex> g(lock_);
    return jobs_.size();
  }
  void submit(std::unique_ptr<PoolJob> job) {
    {
      std::lock_guard<std::mutex> g(lock_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }
  // The oldest job once it is done (waiting for it with `wait`), or null.
  std::unique_ptr<PoolJob> take(bool wait) {
    std::unique_lock<std::mutex> g(lock_);
    if (wait) finished_.wait(g, [&] { return jobs_.empty() || jobs_.front()->done; });
    if (jobs_.empty() || !jobs_.front()->done) return nullptr;
    std::unique_ptr<PoolJob> j = std::move(jobs_.front());
    jobs_.pop_front();
    return j;
  }

 private:
  void run(std::unique_ptr<Context> context) {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      PoolJob* job = nullptr;
      wake_.wait(g, [&] {
        for (auto& j : jobs_)
          if (!j->started) return (job = j.get()) != nullptr;
        return stop_;
      });
      if (!job) return;
      job->started = true;
      g.unlock();
      job->error = work_(context.get(), *job);
      g.lock();
      job->done = true;
      finished_.notify_all();
    }
  }

  Work work_;
  std::mutex lock_;
  std::condition_variable wake_, finished_;
  std::deque<std::unique_ptr<PoolJob>> jobs_;  // in block order
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

}  // namespace xio

namespace xio {

// A writer stage that cuts its input into blocks of a fixed size, has each
// one compressed (on the caller's thread or a WorkerPool) and emits the
// results in order; FLUSH ends the current block early and waits for every
// block in flight, END then adds what finish() puts out (block.cpp).
class BlockWriter : public Stage {
 public:
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override;

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
  // which swaps its output into packed_; the job is kept for the next block.
  template <class Pool, class Done>
  int collectFrom(Pool* pool, bool wait, Done done) {
    if (!pool) return 0;
    std::unique_ptr<PoolJob> job = pool->take(wait);
    if (!job) return 0;
    int rc = done(*job) != 0 ? -1 : 1;
    spare_.push_back(std::move(job));
    return rc;
  }
  // A job holding block_, which gets the job's old input buffer: the
  // buffers of finished blocks are reused, so that no block pays for
  // fresh pages (page faults and their zeroing were a fifth of the time).
  std::unique_ptr<PoolJob> jobForBlock() {
    std::unique_ptr<PoolJob> job;
    if (spare_.empty()) {
      job = std::make_unique<PoolJob>();
    } else {
      job = std::move(spare_.back());
      spare_.pop_back();
      job->error.clear();
      job->check = 0;
      job->started = job->done = false;
    }
    std::swap(job->input, block_);
    block_.clear();
    return job;
  }

  std::vector<uint8_t> block_, packed_;
  std::vector<std::unique_ptr<PoolJob>> spare_;
  size_t packedPos_ = 0;
  bool blocked_ = false;  // a block was ended

 private:
  void drain(OutBuffer& out);
  size_t blockSize_;
  bool ended_ = false;
};

}  // namespace xio
