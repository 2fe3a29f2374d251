// Four threads write through four handles at once: the checker, serving
// them on several threads, reports nothing and writes every log line whole.
// Threads that share one handle are checked one write at a time (the kernel
// serializes writes to one file, so this is driven without a mount).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include "checker.h"
#include "harness.h"

namespace checktest {
namespace {

class CheckConcurrency : public CheckerTest {};

TEST_F(CheckConcurrency, FourHandlesNoFalseReportNoTornLine) {
  ASSERT_NO_FATAL_FAILURE(mount());
  constexpr int kThreads = 4, kWrites = 64, kSize = 8192;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = mnt_ + "/t" + std::to_string(t);
      const std::string block(kSize, static_cast<char>('a' + t));
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd == -1) {
        ++failures[t];
        return;
      }
      for (int i = 0; i < kWrites; ++i) {
        if (pwrite(fd, block.data(), kSize, static_cast<off_t>(i) * kSize) != kSize) ++failures[t];
      }
      if (close(fd) != 0) ++failures[t];
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(kThreads, 0), failures);

  const std::regex write(R"(^-?\d+\[\d+\] .*\[write\] (.*)/t[0-3] 8192 bytes at offset (\d+)$)");
  const std::regex other(
      R"(^-?\d+\[\d+\] .*\[(getattr|create|open|truncate|release|fsync|access|statvfs|readdir)\] [./].*$)");
  size_t writes = 0;
  const std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("vaskFS starting at " + mnt_ + ".", lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) {
    std::smatch m;
    if (std::regex_match(lines[i], m, write)) {
      EXPECT_EQ(root_, m[1].str()) << lines[i];
      EXPECT_EQ(0, std::stoll(m[2].str()) % kSize) << lines[i];
      ++writes;
    } else {
      EXPECT_TRUE(std::regex_match(lines[i], other)) << "unexpected line: " << lines[i];
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kWrites), writes);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(std::string(kWrites * kSize, static_cast<char>('a' + t)),
              readFile(root_ + "/t" + std::to_string(t)));
  }
}

TEST(CheckConcurrencyDirect, OneHandleSharedByFourThreads) {
  TempDir temp;
  vaskfsArgs.rootDir = temp.path();
  fileLog = nullptr;
  constexpr int kThreads = 4, kWrites = 500, kSize = 16;
  fuse_file_info fi = {};
  fi.flags = O_WRONLY | O_CREAT;
  ASSERT_EQ(0, xmp_create("/shared", 0644, &fi));
  std::vector<int> failures(kThreads, 0);
  const std::string err = captureStderr([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string block(kSize, static_cast<char>('a' + t));
        for (int i = 0; i < kWrites; ++i) {
          const off_t offset = static_cast<off_t>(t * kWrites + i) * kSize;
          if (xmp_write("/shared", block.data(), kSize, offset, &fi) != kSize) ++failures[t];
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
  // Every report compares a write with the end of the write checked just
  // before it, which some thread really made.
  std::set<long long> ends;
  for (int n = 1; n <= kThreads * kWrites; ++n) ends.insert(static_cast<long long>(n) * kSize);
  for (const std::string& line : splitLines(err)) {
    long long offset = -1, expected = -1;
    const std::string format =
        temp.path() + "/shared: offset %lld is smaller than expected offset %lld";
    ASSERT_EQ(2, std::sscanf(line.c_str(), format.c_str(), &offset, &expected)) << line;
    EXPECT_LT(offset, expected);
    EXPECT_EQ(1u, ends.count(expected)) << line;
  }
  const long long last = reinterpret_cast<CheckHandle*>(fi.fh)->expectedOffset;
  EXPECT_EQ(1u, ends.count(last));
  EXPECT_EQ(0, xmp_release("/shared", &fi));
  const std::string data = readFile(temp.path() + "/shared");
  ASSERT_EQ(static_cast<size_t>(kThreads * kWrites * kSize), data.size());
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(std::string(kWrites * kSize, static_cast<char>('a' + t)),
              data.substr(static_cast<size_t>(t) * kWrites * kSize, kWrites * kSize));
  }
}

}  // namespace
}  // namespace checktest
