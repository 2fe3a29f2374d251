#include "xiobyt/stages/shared_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace xio {

namespace {

int processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int defaultLimit() { return std::min(kMaxPoolWorkers, processors()); }

void runJob(const PoolWork& work, PoolJob& job) {
  try {
    work(job);
  } catch (const std::bad_alloc&) {
    job.output.clear();
    job.code = ENOMEM;
    job.error = "out of memory compressing a block";
  }
  if (!job.error.empty() && job.code == 0) job.code = EIO;
  // The output was sized for the worst case; a done job may wait long.
  job.output.shrink_to_fit();
  job.inputSize = job.input.size();
  std::vector<uint8_t>().swap(job.input);
  std::vector<uint8_t>().swap(job.dictionary);
}

}  // namespace

class SharedPool {
 public:
  // Never destroyed: workers may still wait on it while the process exits.
  static SharedPool& get() {
    static SharedPool* pool = [] {
      auto* p = new SharedPool;
      // A child of fork has none of the workers: it starts its own, and
      // the pool's lock is not held by a thread it lacks. Its condition
      // variables are made anew, without the parent's waiters, who would
      // never leave them (and so block the child's first notify).
      pthread_atfork([] { get().lock.lock(); }, [] { get().lock.unlock(); },
                     [] {
                       // A started pool stays fixed: the child's
                       // blocks are done on its own threads until it
                       // starts workers itself.
                       SharedPool& c = get();
                       c.workers = c.idle = 0;
                       c.running = 0;
                       c.retiring = false;
                       new (&c.wake) std::condition_variable;
                       new (&c.retired) std::condition_variable;
                       c.lock.unlock();
                     });
      return p;
    }();
    return *pool;
  }

  // Guards every member below and the queue members of every PoolStream
  // (jobs_, unstarted_, running_, listed_, at_, and each job's `done`).
  std::mutex lock;
  std::list<PoolStream*> ready;  // streams with jobs to start, taken in turn
  std::condition_variable wake, retired;
  int workers = 0, idle = 0, limit = defaultLimit();
  size_t running = 0;  // jobs on workers now
  bool retiring = false;
  bool started = false;  // startPoolWorkers ran: only it and setPoolLimit make workers
  PoolCounts counts;

  // REQUIRES: lock held. Jobs handed over and not yet done.
  size_t pending() const {
    size_t n = running;
    for (const PoolStream* s : ready) n += s->unstarted_;
    return n;
  }

  // REQUIRES: lock held. Makes workers up to the limit: the number made.
  int fill() {
    int made = 0;
    while (workers < limit && startWorker()) ++made;
    return made;
  }

  // REQUIRES: lock held. False when no thread could be made.
  bool startWorker() {
    try {
      std::thread([this] { serve(); }).detach();
    } catch (const std::system_error& e) {
      errno = e.code().value();
      return false;
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return false;
    }
    ++workers;
    return true;
  }

  void list(PoolStream* s) {
    if (s->listed_ || s->unstarted_ == 0) return;
    s->at_ = ready.insert(ready.end(), s);
    s->listed_ = true;
  }
  void unlist(PoolStream* s) {
    if (!s->listed_) return;
    ready.erase(s->at_);
    s->listed_ = false;
  }

 private:
  SharedPool() = default;

  // The first stream in turn that may start a job, moved to the back.
  PoolStream* pick() {
    for (auto it = ready.begin(); it != ready.end(); ++it) {
      PoolStream* s = *it;
      if (s->running_ >= s->cap_) continue;
      ready.erase(it);
      s->listed_ = false;
      if (s->unstarted_ > 1) list(s);
      return s;
    }
    return nullptr;
  }

  void serve() {
    pthread_setname_np(pthread_self(), kPoolThreadName);
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      PoolStream* s = pick();
      if (!s) {
        if (retiring || workers > limit) {
          --workers;
          retired.notify_all();
          return;
        }
        ++idle;
        wake.wait(g);
        --idle;
        continue;
      }
      PoolJob* job = s->jobs_[s->jobs_.size() - s->unstarted_].get();
      --s->unstarted_;
      ++s->running_;
      ++running;
      counts.mostRunningOfOneStream = std::max(counts.mostRunningOfOneStream, s->running_);
      g.unlock();
      runJob(s->work_, *job);
      g.lock();
      job->done = true;
      --s->running_;
      --running;
      s->finished_.notify_all();
    }
  }
};

PoolStream::PoolStream(int cap, PoolWork work)
    : work_(std::move(work)), cap_(static_cast<size_t>(std::max(1, cap))) {}

PoolStream::~PoolStream() {
  SharedPool& p = SharedPool::get();
  std::unique_lock<std::mutex> g(p.lock);
  p.unlist(this);
  unstarted_ = 0;
  finished_.wait(g, [&] { return running_ == 0; });
}

size_t PoolStream::depth() const {
  SharedPool& p = SharedPool::get();
  std::lock_guard<std::mutex> g(p.lock);
  return 2 * std::max<size_t>(1, std::min(cap_, static_cast<size_t>(p.limit)));
}

size_t PoolStream::inFlight() const {
  std::lock_guard<std::mutex> g(SharedPool::get().lock);
  return jobs_.size();
}

void PoolStream::submit(std::unique_ptr<PoolJob> job) {
  SharedPool& p = SharedPool::get();
  std::unique_lock<std::mutex> g(p.lock);
  job->done = false;
  // Never once the pool is started: this may run inside a server's
  // request, as its caller, whose identity a new thread would inherit.
  if (!p.started && p.idle == 0 && p.workers < p.limit && !p.retiring) p.startWorker();
  if (p.workers == 0) {
    // No thread to be had: the blocks before this one were done here too,
    // so doing this one now keeps the order.
    ++p.counts.inline_;
    PoolJob& j = *job;
    jobs_.push_back(std::move(job));
    g.unlock();
    runJob(work_, j);
    g.lock();
    j.done = true;
    return;
  }
  jobs_.push_back(std::move(job));
  ++unstarted_;
  p.list(this);
  g.unlock();
  p.wake.notify_one();
}

std::unique_ptr<PoolJob> PoolStream::take(bool wait) {
  std::unique_lock<std::mutex> g(SharedPool::get().lock);
  if (wait) finished_.wait(g, [&] { return jobs_.empty() || jobs_.front()->done; });
  if (jobs_.empty() || !jobs_.front()->done) return nullptr;
  std::unique_ptr<PoolJob> j = std::move(jobs_.front());
  jobs_.pop_front();
  return j;
}

PoolCounts poolCounts() {
  SharedPool& p = SharedPool::get();
  std::lock_guard<std::mutex> g(p.lock);
  PoolCounts c = p.counts;
  c.started = p.started;
  c.pending = p.pending();
  c.workers = p.workers;
  c.idle = p.idle;
  c.limit = p.limit;
  return c;
}

void resetPoolCounts() {
  SharedPool& p = SharedPool::get();
  std::lock_guard<std::mutex> g(p.lock);
  p.counts = PoolCounts{};
}

void setPoolLimit(int workers) {
  SharedPool& p = SharedPool::get();
  std::lock_guard<std::mutex> g(p.lock);
  p.limit = workers < 0 ? defaultLimit() : workers;
  if (p.started) p.fill();
  p.wake.notify_all();
}

int startPoolWorkers() {
  SharedPool& p = SharedPool::get();
  std::unique_lock<std::mutex> g(p.lock);
  // A retirement under way ends the workers it finds idle: wait it out.
  p.retired.wait(g, [&] { return !p.retiring; });
  p.started = true;
  errno = 0;
  p.fill();
  if (p.workers > 0) return p.workers;
  if (errno == 0) errno = EAGAIN;
  return -1;
}

void retireIdleWorkers() {
  SharedPool& p = SharedPool::get();
  std::unique_lock<std::mutex> g(p.lock);
  p.retiring = true;
  p.wake.notify_all();
  p.retired.wait(g, [&] { return p.workers == 0; });
  p.retiring = false;
  p.started = false;
  p.retired.notify_all();
}

}  // namespace xio
