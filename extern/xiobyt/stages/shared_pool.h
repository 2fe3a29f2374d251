// The one set of worker threads of the process that compresses the blocks
// of every stream: kMaxPoolWorkers or the processors the process may run
// on, whichever is fewer. startPoolWorkers (xiostartworkers) makes them all
// at once, and from then on no other call makes a thread: a thread inherits
// its creator's per-thread identity (fsuid, fsgid, supplementary groups),
// so a server that runs each request as its caller starts the workers
// before its first request, and no worker ever carries a caller's identity.
// A process that never starts them (a tool of one identity) gets them made
// one at a time, when a block is handed over and no worker is idle. Workers
// stay for the life of the process. Each stream (PoolStream) keeps its jobs
// in block order and gets them back in that order, and has at most `cap`
// of them on workers at once, so that one busy stream cannot take every
// worker. The workers take the streams in turn.
//
// A codec keeps its contexts per thread (a worker's serve every stream it
// meets), so that an open stream holds no context and no thread of its own.
// Lock order: the pool's one mutex only; no callback runs under it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace xio {

constexpr int kMaxPoolWorkers = 8;
// The workers' thread name (/proc/<pid>/task/<tid>/comm).
constexpr char kPoolThreadName[] = "xio-pool";

struct PoolJob {
  // The input and dictionary are freed once the job is done (a done job
  // waits for its stream's next call): `inputSize` keeps the length.
  std::vector<uint8_t> input, dictionary, output;
  size_t inputSize = 0;
  uint32_t check = 0;  // gzip: the CRC-32 of the input
  uint64_t size = 0;   // xz: the block's unpadded size
  int code = 0;        // with `error`: the errno for it
  std::string error;   // empty when the block compressed
  bool done = false;
};

// A codec's work on one job: fills job.output, or sets job.error (and
// job.code, EIO when left 0). It may throw std::bad_alloc (ENOMEM).
using PoolWork = std::function<void(PoolJob&)>;

// The queue of one stream's jobs. Used by the stream's own thread, one at
// a time; the destructor waits for the stream's jobs on workers.
class PoolStream {
 public:
  PoolStream(int cap, PoolWork work);
  ~PoolStream();
  PoolStream(const PoolStream&) = delete;
  PoolStream& operator=(const PoolStream&) = delete;

  // How many jobs may be handed over and not yet taken back before the
  // writer waits for the oldest: twice what may run at once, so that a
  // worker finishing while the writer waits for another finds the next.
  size_t depth() const;
  size_t inFlight() const;
  // Queues the job. When no worker runs and none may be made (the pool
  // started, or threads exhausted) the job is done here, on the caller's
  // thread: slower, and the same bytes.
  void submit(std::unique_ptr<PoolJob> job);
  // The oldest job once done (waiting for it with `wait`), or null.
  std::unique_ptr<PoolJob> take(bool wait);

 private:
  friend class SharedPool;
  PoolWork work_;
  size_t cap_;
  std::deque<std::unique_ptr<PoolJob>> jobs_;  // in block order
  size_t unstarted_ = 0;                       // the last ones of jobs_
  size_t running_ = 0;
  bool listed_ = false;  // in the pool's list of streams with jobs to start
  std::list<PoolStream*>::iterator at_;
  std::condition_variable finished_;
};

// Makes the workers the pool lacks, up to its limit, and fixes the pool at
// that: no later call grows it, and a block handed over while no worker
// exists is compressed on the caller's thread. Returns the number of
// workers, or -1 with errno (EAGAIN, ENOMEM) when none exists and none
// could be made. Call it again to make what failed (or, in a child of
// fork, which has none of its parent's workers).
int startPoolWorkers();

// What the pool is doing, for tests and benchmarks.
struct PoolCounts {
  int workers = 0, idle = 0, limit = 0;
  bool started = false;               // startPoolWorkers has fixed the pool
  size_t pending = 0;                 // jobs handed over and not yet done
  size_t mostRunningOfOneStream = 0;  // since the last resetPoolCounts
  uint64_t inline_ = 0;               // jobs done on callers' threads
};
PoolCounts poolCounts();
void resetPoolCounts();
// Sets the most workers the pool may have (tests and benchmarks), -1 for
// the default (kMaxPoolWorkers or the processors, whichever is fewer);
// workers above it end when idle. A started pool makes the workers it then
// lacks here, so call it only where startPoolWorkers may be called.
void setPoolLimit(int workers);
// Lets idle workers end and waits until none is left, and unfixes the
// pool, so that the next job starts a worker again (tests of a thread that
// cannot be made).
void retireIdleWorkers();

}  // namespace xio
