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
