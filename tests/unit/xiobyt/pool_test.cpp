// The process's one set of compression workers: many streams at once get
// the same bytes as one stream alone, the tools take them, a stream keeps
// to its share of the workers, and a process that cannot make a thread
// still writes its files, as does a child of fork. pthread_create is interposed (it reaches the
// real one unless a test arms a failure).
#include <dlfcn.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "xio_test.h"
#include "xiobyt/stages/shared_pool.h"

namespace {
std::atomic<bool> threadsFail{false};
std::atomic<int> threadAttempts{0};
}  // namespace

extern "C" int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
  ++threadAttempts;
  if (threadsFail) return EAGAIN;
  return real(t, a, f, arg);
}

using namespace xiotest;

namespace {

struct Layer {
  const char* name;
  const char* suffix;
  const char* test;  // the tool's integrity test
  int alone;         // the thread count of the reference file
};
// gzip on one thread is one deflate stream, on more a member of blocks:
// its reference is the parallel layout on two threads.
const Layer kLayers[] = {
    {"zstd", ".zst", "zstd -q -t", 1}, {"gzip", ".gz", "gzip -t", 2}, {"xz", ".xz", "xz -t", 1}};

std::string fileString(const Layer& l, const std::string& path, int threads) {
  return "write.bin(file=" + quote(path) + " comp." + l.name +
         "(level=1 threads=" + std::to_string(threads) + "))";
}

// gzip's header holds the time of writing: compared without it.
std::string withoutTime(const Layer& l, std::string bytes) {
  if (std::string(l.name) == "gzip" && bytes.size() > 8) bytes.replace(4, 4, 4, '\0');
  return bytes;
}

// Writes each content through its own handle, all open at once, the
// handles taking turns with chunks of random sizes. Returns "" or a trace.
std::string writeTogether(const Layer& l, const std::vector<std::string>& paths,
                          const std::vector<int>& threads, const std::vector<std::string>& data,
                          std::mt19937& rng) {
  char trace[XIO_TRACE_SIZE] = "";
  std::vector<XioHandle*> handles;
  std::string state = "state(file='same')";
  for (size_t i = 0; i < paths.size(); ++i) {
    XioHandle* h = xiopopen(trace, fileString(l, paths[i], threads[i]).c_str(), "", &state, 0);
    if (!h) return trace;
    handles.push_back(h);
  }
  std::vector<size_t> at(paths.size(), 0);
  for (bool more = true; more;) {
    more = false;
    for (size_t i = 0; i < paths.size(); ++i) {
      if (at[i] == data[i].size()) continue;
      size_t n = chunkSize(rng, data[i].size() - at[i]);
      if (xiopwrite(trace, handles[i], data[i].data() + at[i], n, static_cast<int64_t>(at[i])) !=
          static_cast<int64_t>(n))
        return trace;
      at[i] += n;
      more = true;
    }
  }
  std::string failed;
  for (XioHandle* h : handles)
    if (xiopclose(trace, h, nullptr, nullptr, nullptr) != 0 && failed.empty()) failed = trace;
  return failed;
}

class SharedPool : public ::testing::Test {
 protected:
  void TearDown() override {
    threadsFail = false;
    xio::setPoolLimit(-1);
  }
};

TEST_F(SharedPool, ManyStreamsAtOnceWriteWhatOneStreamAloneWrites) {
  std::mt19937 rng(7);
  xio::resetPoolCounts();
  for (const Layer& l : kLayers) {
    SCOPED_TRACE(l.name);
    TempDir dir;
    std::vector<std::string> paths, data;
    std::vector<int> threads;
    for (int i = 0; i < 10; ++i) {
      paths.push_back(dir / ("f" + std::to_string(i) + l.suffix));
      threads.push_back(2 + i % 3 * 3);  // 2, 5, 8
      // Some streams end on a block boundary, the others inside a block.
      size_t size = i % 4 == 0 ? size_t{2} << 20 : (size_t{1} << 20) + 333333 * i;
      data.push_back(sampleText(size / 40 + 1, rng).substr(0, size));
    }
    ASSERT_EQ(writeTogether(l, paths, threads, data, rng), "");
    for (size_t i = 0; i < paths.size(); ++i) {
      SCOPED_TRACE(paths[i]);
      std::string alone = paths[i] + ".alone";
      ASSERT_EQ(writeTogether(l, {alone}, {l.alone}, {data[i]}, rng), "");
      EXPECT_EQ(withoutTime(l, readFile(paths[i])), withoutTime(l, readFile(alone)));
      EXPECT_EQ(sh(std::string(l.test) + " '" + paths[i] + "'"), 0);
      std::string back;
      ASSERT_TRUE(
          readAll("read.bin(file=" + quote(paths[i]) + " comp." + l.name + "())", "", rng, back));
      EXPECT_TRUE(back == data[i]) << back.size() << " bytes read of " << data[i].size();
    }
  }
  xio::PoolCounts c = xio::poolCounts();
  EXPECT_GT(c.workers, 0);
  EXPECT_LE(c.workers, c.limit);
  EXPECT_LE(c.limit, xio::kMaxPoolWorkers);
}

// xz -l reads the index this library writes itself, and the index read
// path of the library reads the same file at any offset.
TEST_F(SharedPool, XzIndexIsWhatTheToolsAndTheIndexReaderRead) {
  TempDir dir;
  std::mt19937 rng(3);
  std::string data = sampleText(200000, rng);
  std::string path = dir / "i.xz";
  ASSERT_EQ(writeTogether(kLayers[2], {path}, {4}, {data}, rng), "");
  std::string list = run("xz -l --robot '" + path + "'");
  size_t blocks = (data.size() + (1 << 20) - 1) >> 20;
  EXPECT_NE(list.find("totals\t1\t" + std::to_string(blocks) + "\t"), std::string::npos) << list;
  EXPECT_EQ(run("xz -dc '" + path + "'"), data);
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h =
      xiopopen(trace, ("read.bin(file=" + quote(path) + " comp.xz())").c_str(), "", nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  for (size_t at : {data.size() - 100, size_t{1} << 20, size_t{5}, data.size() / 2}) {
    std::string got(100, '\0');
    ASSERT_EQ(xiopread(trace, h, got.data(), got.size(), static_cast<int64_t>(at)), 100) << trace;
    EXPECT_EQ(got, data.substr(at, 100)) << at;
  }
  EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0) << trace;
}

// With more workers than a stream's threads=, the stream still has at most
// that many of its blocks on workers at once; a stream allowed more takes
// more (so that the count is seen to move).
TEST_F(SharedPool, AStreamUsesAtMostItsThreads) {
  xio::setPoolLimit(4);
  std::mt19937 rng(11);
  std::string data = sampleText(300000, rng);
  TempDir dir;
  size_t most[2];
  int caps[2] = {2, 4};
  for (int k = 0; k < 2; ++k) {
    xio::resetPoolCounts();
    std::string path = dir / ("c" + std::to_string(k) + ".gz");
    ASSERT_EQ(writeTogether(kLayers[1], {path}, {caps[k]}, {data}, rng), "");
    most[k] = xio::poolCounts().mostRunningOfOneStream;
    EXPECT_EQ(sh("gzip -t '" + path + "'"), 0);
  }
  EXPECT_GE(most[0], 1u);
  EXPECT_LE(most[0], 2u);
  EXPECT_GT(most[1], 2u);
  EXPECT_LE(xio::poolCounts().workers, 4);
}

// No thread to be had: the blocks are compressed on the writer's thread,
// the same bytes, and nothing fails (no exception leaves the library).
TEST_F(SharedPool, WithoutThreadsTheWriterCompressesItself) {
  std::mt19937 rng(5);
  std::string data = sampleText(120000, rng);
  for (const Layer& l : kLayers) {
    SCOPED_TRACE(l.name);
    TempDir dir;
    std::string with = dir / (std::string("with") + l.suffix);
    std::string without = dir / (std::string("without") + l.suffix);
    ASSERT_EQ(writeTogether(l, {with}, {2}, {data}, rng), "");
    xio::retireIdleWorkers();
    threadsFail = true;
    threadAttempts = 0;
    xio::resetPoolCounts();
    ASSERT_EQ(writeTogether(l, {without}, {2}, {data}, rng), "");
    xio::PoolCounts c = xio::poolCounts();
    threadsFail = false;
    EXPECT_GT(threadAttempts.load(), 0);
    EXPECT_EQ(c.workers, 0);
    EXPECT_GT(c.inline_, 0u);
    EXPECT_EQ(withoutTime(l, readFile(without)), withoutTime(l, readFile(with)));
    EXPECT_EQ(sh(std::string(l.test) + " '" + without + "'"), 0);
  }
}

// A server starts the workers before its first request, as itself: from
// then on no write makes a thread (one would inherit the identity of the
// caller the request runs as), also when none is left to take a block.
TEST_F(SharedPool, StartedWorkersAreTheOnlyThreadsItMakes) {
  std::mt19937 rng(17);
  std::string data = sampleText(90000, rng);  // several 128 KiB gzip blocks
  TempDir dir;
  xio::retireIdleWorkers();
  threadsFail = true;
  errno = 0;
  EXPECT_EQ(xiostartworkers(), -1);
  EXPECT_EQ(errno, EAGAIN);
  threadsFail = false;
  int started = xiostartworkers();
  xio::PoolCounts c = xio::poolCounts();
  ASSERT_GT(started, 0);
  EXPECT_TRUE(c.started);
  EXPECT_EQ(started, c.limit);
  EXPECT_EQ(xiostartworkers(), started);  // again: nothing more to make

  struct {
    int limit;       // workers left to the started pool
    bool onCallers;  // the blocks then go inline
  } phases[] = {{-1, false}, {0, true}};
  for (const auto& phase : phases) {
    SCOPED_TRACE(phase.limit);
    xio::setPoolLimit(phase.limit);
    if (phase.limit == 0) xio::retireIdleWorkers(), xiostartworkers();
    threadAttempts = 0;
    xio::resetPoolCounts();
    for (const Layer& l : kLayers) {
      SCOPED_TRACE(l.name);
      std::vector<std::string> paths, contents;
      for (int i = 0; i < 3; ++i) {
        paths.push_back(dir /
                        ("s" + std::to_string(phase.limit + 1) + std::to_string(i) + l.suffix));
        contents.push_back(data.substr(static_cast<size_t>(i) * 1000));
      }
      ASSERT_EQ(writeTogether(l, paths, {2, 2, 2}, contents, rng), "");
      for (size_t i = 0; i < paths.size(); ++i) {
        std::string back;
        ASSERT_TRUE(
            readAll("read.bin(file=" + quote(paths[i]) + " comp." + l.name + "())", "", rng, back));
        EXPECT_TRUE(back == contents[i]) << paths[i];
      }
    }
    c = xio::poolCounts();
    EXPECT_EQ(threadAttempts.load(), 0);
    EXPECT_TRUE(c.started);
    EXPECT_EQ(c.inline_ > 0, phase.onCallers) << c.inline_;
  }
}

// A child of fork finds none of its parent's workers: it starts its own
// rather than waiting for threads it does not have.
TEST_F(SharedPool, AForkedChildCompressesOnWorkersOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not start threads after a multithreaded fork";
#endif
  std::mt19937 rng(13);
  std::string data = sampleText(100000, rng);
  TempDir dir;
  std::string parent = dir / "parent.zst", child = dir / "child.zst";
  ASSERT_EQ(writeTogether(kLayers[0], {parent}, {2}, {data}, rng), "");
  ASSERT_GT(xio::poolCounts().workers, 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // a child waiting for missing workers fails instead of hanging
    std::mt19937 childRng(13);
    _exit(writeTogether(kLayers[0], {child}, {2}, {data}, childRng).empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(child), readFile(parent));
}

}  // namespace
