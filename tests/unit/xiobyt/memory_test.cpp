// What a handle costs before it is used: the daemon opens one for every
// file it reads and sizes every file it meets.
#include <unistd.h>

#include "xio_test.h"
#include "xiobyt/stages/pieces.h"
#include "xiobyt/stages/shared_pool.h"

using namespace xiotest;

namespace {

TEST(HandleMemory, OpeningAllocatesNoBlockBuffers) {
  TempDir dir;
  writeFile(dir / "p", std::string(1 << 20, 'p'));
  ASSERT_EQ(sh("gzip -c '" + (dir / "p") + "' > '" + (dir / "p.gz") + "'"), 0);
  struct {
    std::string fileString;
    const char* format;
  } cases[] = {
      {"read.bin(file=" + quote(dir / "p") + ")", ""},
      {"read.bin(file=" + quote(dir / "p.gz") + " comp.gzip())", ""},
      {"read.auto(file=" + quote(dir / "p.gz") + ")", ""},
      {"read.text(file=" + quote(dir / "p") + " ccsid='IBM-1047' method=NL)", "format.text()"}};
  char trace[XIO_TRACE_SIZE] = "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileString);
    xiopclose(trace, xiopopen(trace, c.fileString.c_str(), c.format, nullptr, 0), nullptr, nullptr,
              nullptr);  // the character sets' facts are learnt once per process
    size_t before = allocatedBytes();
    XioHandle* h = xiopopen(trace, c.fileString.c_str(), c.format, nullptr, 0);
    ASSERT_NE(h, nullptr) << trace;
    size_t used = allocatedBytes() - before;
    EXPECT_LT(used, 128u << 10);
    EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
  }
}

// The bytes a writer of the bench's kind writes: lines that differ between
// writers and compress about five to one.
std::string lines(int writer, size_t bytes) {
  std::string s;
  for (unsigned line = 0; s.size() < bytes; ++line)
    s +=
        "writer " + std::to_string(writer) + " line " + std::to_string(line) + " value " +
        std::to_string(((static_cast<unsigned>(writer) * 2654435761u) ^ (line * 40503u)) % 100000) +
        "\n";
  s.resize(bytes);
  return s;
}

// Open writers between calls hold the data of their unfinished block and
// at most 256 KiB besides (the last block's output the workers finished,
// what waits for the file): not the spare room of grown buffers, not the
// compressed frames of earlier calls. Written in 4 KiB pieces, the writers
// taking turns, as a server's clients do.
TEST(HandleMemory, AnOpenWriterHoldsItsUnfinishedBlockAndLittleElse) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's allocator does not report to mallinfo2";
#endif
  ASSERT_GT(xiostartworkers(), 0);
  struct {
    const char* layer;
    size_t kib, blockKib;
  } cases[] = {{"zstd", 1200, 1024}, {"gzip", 100, 128}, {"gzip", 300, 128}, {"xz", 100, 1024}};
  constexpr int kWriters = 8;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layer) + " " + std::to_string(c.kib) + " KiB");
    TempDir dir;
    std::vector<std::string> data;
    for (int i = 0; i < kWriters; ++i) data.push_back(lines(i, c.kib << 10));
    char trace[XIO_TRACE_SIZE] = "";
    std::string state = "state(file='m')";
    // The workers' codec contexts, made once per thread, are no writer's.
    std::string warm = lines(99, size_t{6} << 20);
    std::string fs = "write.bin(file=" + quote(dir / "warm") + " comp." + c.layer + "(threads=2))";
    XioHandle* w = xiopopen(trace, fs.c_str(), "", &state, 0);
    ASSERT_NE(w, nullptr) << trace;
    ASSERT_EQ(xiopwrite(trace, w, warm.data(), warm.size(), 0), static_cast<int64_t>(warm.size()));
    ASSERT_EQ(xiopclose(trace, w, nullptr, nullptr, nullptr), 0) << trace;
    size_t before = allocatedBytes() - xio::sparePieces() * xio::kPieceSize;
    std::vector<XioHandle*> handles;
    for (int i = 0; i < kWriters; ++i) {
      fs = "write.bin(file=" + quote(dir / std::to_string(i)) + " comp." + c.layer + "(threads=2))";
      handles.push_back(xiopopen(trace, fs.c_str(), "", &state, 0));
      ASSERT_NE(handles.back(), nullptr) << trace;
    }
    // The last 4 KiB go once the workers are done with every block, so
    // that each writer's last call took back what they made (a block
    // finished after a writer's last call waits for its next one).
    auto writeUpTo = [&](size_t from, size_t to) {
      for (size_t at = from; at < to; at += 4096)
        for (int i = 0; i < kWriters; ++i) {
          size_t n = std::min<size_t>(4096, to - at);
          if (xiopwrite(trace, handles[i], data[i].data() + at, n, static_cast<int64_t>(at)) !=
              static_cast<int64_t>(n))
            return false;
        }
      return true;
    };
    size_t last = data[0].size() - 4096;
    ASSERT_TRUE(writeUpTo(0, last)) << trace;
    while (xio::poolCounts().pending > 0) usleep(1000);
    ASSERT_TRUE(writeUpTo(last, data[0].size())) << trace;
    size_t held = allocatedBytes() - xio::sparePieces() * xio::kPieceSize - before;
    size_t limit = ((c.kib % c.blockKib) + 256) << 10;
    EXPECT_LT(held / kWriters, limit) << held / kWriters / 1024 << " KiB a writer";
    for (int i = 0; i < kWriters; ++i) {
      EXPECT_EQ(xiopclose(trace, handles[i], nullptr, nullptr, nullptr), 0) << trace;
      std::string back;
      std::mt19937 rng(1);
      ASSERT_TRUE(
          readAll("read.bin(file=" + quote(dir / std::to_string(i)) + " comp." + c.layer + "())",
                  "", rng, back));
      EXPECT_TRUE(back == data[static_cast<size_t>(i)]) << i;
    }
  }
}

}  // namespace
