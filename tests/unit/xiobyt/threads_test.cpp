// The mount daemon serves requests on many threads, each on its own
// handles: every layer written and read on several threads at once gives
// each its own data back, a passphrase several threads open at once is
// derived once, at most two derivations run at a time, and workers started
// before the requests never take a request's identity. Run under
// ThreadSanitizer too (build-tsan), where a race is a failure.
#include <sys/syscall.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "xio_test.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/stages/shared_pool.h"

using namespace xiotest;

namespace {

struct Kind {
  const char* name;
  const char* write;  // %s: the file, %k: the identity file
  const char* read;
  const char* format;
};
const Kind kKinds[] = {
    {"gzip", "write.bin(file=%s comp.gzip(level=1 threads=2))", "read.bin(file=%s comp.gzip())",
     ""},
    {"zstd", "write.bin(file=%s comp.zstd(threads=2))", "read.bin(file=%s comp.zstd())", ""},
    {"xz", "write.bin(file=%s comp.xz(level=1 threads=2))", "read.bin(file=%s comp.xz())", ""},
    {"bzip2", "write.bin(file=%s comp.bzip2(level=1))", "read.bin(file=%s comp.bzip2())", ""},
    {"age identity", "write.bin(file=%s comp.zstd() encr.age(identity=%k))",
     "read.bin(file=%s comp.zstd() encr.age(identity=%k))", ""},
    {"age passphrase", "write.bin(file=%s encr.age(passphrase='same for all' logn=10))",
     "read.bin(file=%s encr.age(passphrase='same for all'))", ""},
    {"text", "write.text(file=%s ccsid='IBM-1047' method=NL)",
     "read.text(file=%s ccsid='IBM-1047' method=NL)", "format.text(ccsid='UTF-8' method=LF)"},
    {"text gzip", "write.text(file=%s ccsid='ISO-8859-1' method=CRLF comp.gzip())",
     "read.text(file=%s ccsid='ISO-8859-1' method=CRLF comp.gzip())", "format.text()"},
};

std::string command(const char* pattern, const std::string& file, const std::string& key) {
  std::string out = pattern;
  for (size_t at; (at = out.find("%s")) != std::string::npos;) out.replace(at, 2, quote(file));
  for (size_t at; (at = out.find("%k")) != std::string::npos;) out.replace(at, 2, quote(key));
  return out;
}

// Runs `work(i)` on `n` threads started together; their failures, in words.
std::vector<std::string> together(int n, const std::function<std::string(int)>& work) {
  std::vector<std::string> failures(static_cast<size_t>(n));
  std::barrier start(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      failures[static_cast<size_t>(i)] = work(i);
    });
  for (std::thread& t : threads) t.join();
  std::vector<std::string> out;
  for (const std::string& f : failures)
    if (!f.empty()) out.push_back(f);
  return out;
}

class ManyThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    key = dir / "key.txt";
    ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
  }
  TempDir dir;
  std::string key;
};

// Each thread writes a file of every kind, its own data, reads it back in
// random pieces and asks its size, all threads at once.
TEST_F(ManyThreads, EachThreadGetsItsOwnDataBackFromEveryLayer) {
  ASSERT_GT(xiostartworkers(), 0);
  constexpr int kThreads = 6;
  std::vector<std::string> failures = together(kThreads, [&](int t) -> std::string {
    std::mt19937 rng(static_cast<unsigned>(100 + t));
    for (int round = 0; round < 2; ++round)
      for (size_t kind = 0; kind < std::size(kKinds); ++kind) {
        const Kind& k = kKinds[kind];
        std::string file = dir / ("t" + std::to_string(t) + "." + std::to_string(round) + "." +
                                  std::to_string(kind));
        // Several gzip and zstd blocks for some, a part of one for others.
        size_t lines = (t + round) % 3 == 0 ? 60000 : 3000 + 997 * static_cast<size_t>(t);
        std::string data = "thread " + std::to_string(t) + "\n" + sampleText(lines, rng);
        std::string what = std::string(k.name) + " of thread " + std::to_string(t) + ": ";
        char trace[XIO_TRACE_SIZE] = "";
        // The kept identities are replaced while other threads read them.
        if (t % 2 == 0 && xioloadkeys(trace, command(k.write, file, key).c_str()) != 0)
          return what + "xioloadkeys " + trace;
        Written w;
        ::testing::AssertionResult ok =
            writeAll(command(k.write, file, key), k.format, "state(file='mine')", data, rng, w);
        if (!ok) return what + "write " + ok.message();
        std::string back;
        ok = readAll(command(k.read, file, key), k.format, rng, back);
        if (!ok) return what + "read " + ok.message();
        if (back != data)
          return what + "read " + std::to_string(back.size()) + " bytes, not its " +
                 std::to_string(data.size());
        int64_t size = xiopsize(trace, command(k.read, file, key).c_str(), k.format);
        if (size != static_cast<int64_t>(data.size()))
          return what + "size " + std::to_string(size) + " " + trace;
      }
    return "";
  });
  for (const std::string& f : failures) ADD_FAILURE() << f;
}

// A file opened on several threads at once costs one scrypt derivation;
// different files opened at once run at most two derivations at a time.
TEST_F(ManyThreads, AgePassphrasesAreDerivedOnceAndTwoAtATime) {
  constexpr int kThreads = 6;
  std::mt19937 rng(9);
  std::string data = sampleText(2000, rng);
  std::vector<std::string> files;
  for (int i = 0; i < kThreads; ++i) {
    files.push_back(dir / ("p" + std::to_string(i) + ".age"));
    Written w;
    ASSERT_TRUE(writeAll(
        "write.bin(file=" + quote(files.back()) + " encr.age(passphrase='secret' logn=14))", "",
        "state(file='p')", data, rng, w));
  }
  struct {
    const char* name;
    bool sameFile;
    uint64_t derivations;
  } cases[] = {{"one file", true, 1}, {"a file each", false, kThreads}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    xio::age::forgetScryptResults();
    std::vector<std::string> failures = together(kThreads, [&](int t) -> std::string {
      std::mt19937 r(static_cast<unsigned>(t));
      std::string back;
      const std::string& f = files[c.sameFile ? 0 : static_cast<size_t>(t)];
      ::testing::AssertionResult ok =
          readAll("read.bin(file=" + quote(f) + " encr.age(passphrase='secret'))", "", r, back);
      if (!ok) return ok.message();
      return back == data ? "" : "thread " + std::to_string(t) + " read other data";
    });
    for (const std::string& f : failures) ADD_FAILURE() << f;
    xio::ScryptCounts n = xio::age::scryptCounts();
    EXPECT_EQ(n.derived, c.derivations);
    EXPECT_GE(n.mostAtOnce, 1);
    EXPECT_LE(n.mostAtOnce, 2);
  }
}

// The fsuid of a thread (the fourth figure of "Uid:" in its status).
long fsuidOf(const std::string& task) {
  std::ifstream status(task + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Uid:", 0) == 0) {
      long real, effective, saved, fs;
      if (sscanf(line.c_str() + 4, "%ld %ld %ld %ld", &real, &effective, &saved, &fs) == 4)
        return fs;
    }
  return -1;
}

// Writers running as another user (the daemon serving a request) find the
// workers made before; none of the workers is that user.
TEST_F(ManyThreads, WorkersStartedBeforeRequestsKeepTheProcessIdentity) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take another file-system identity";
  ASSERT_GT(xiostartworkers(), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  int workersBefore = xio::poolCounts().workers;
  constexpr long kNobody = 65534;
  std::mt19937 rng(4);
  std::string data = sampleText(80000, rng);  // several blocks of each
  std::vector<std::string> failures = together(3, [&](int t) -> std::string {
    syscall(SYS_setfsuid, kNobody);
    syscall(SYS_setfsgid, kNobody);
    std::mt19937 r(static_cast<unsigned>(t));
    std::string result;
    for (const Kind& k : {kKinds[0], kKinds[1], kKinds[2]}) {
      Written w;
      std::string file = dir / ("n" + std::to_string(t) + "." + k.name);
      ::testing::AssertionResult ok =
          writeAll(command(k.write, file, key), "", "state(file='n')", data, r, w);
      if (!ok) result = std::string(k.name) + ": " + ok.message();
    }
    syscall(SYS_setfsgid, 0);
    syscall(SYS_setfsuid, 0);
    return result;
  });
  for (const std::string& f : failures) ADD_FAILURE() << f;
  EXPECT_EQ(xio::poolCounts().workers, workersBefore);
  int seen = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name != xio::kPoolThreadName) continue;
    ++seen;
    EXPECT_EQ(fsuidOf(task.path()), 0) << task.path();
  }
  EXPECT_EQ(seen, workersBefore);
}

}  // namespace
