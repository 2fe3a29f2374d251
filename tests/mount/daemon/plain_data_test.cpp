// The bytes of files stored unchanged are exactly what was written,
// whatever the sizes and offsets, both where the kernel serves them from
// the physical file and where they come through the daemon (moved by
// splice); converted files beside them still round-trip.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

constexpr size_t kMiB = 1 << 20;

// The parameter: whether the mount may hand plain files to the kernel.
class PlainDataTest : public DaemonTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setGzipBesidePlain();
    if (GetParam()) {
      mount();
    } else {
      mount({"-o", "nopassthrough"});
    }
  }

  std::string m(const std::string& name) const { return mnt_ + "/" + name; }

  std::string randomBytes(size_t size) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random_());
    return data;
  }

  // Writes `data` in pieces of the given sizes, cycling through them.
  void writeInPieces(int fd, const std::string& data, const std::vector<size_t>& pieces) {
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
      const size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
      ASSERT_EQ(static_cast<ssize_t>(n), write(fd, data.data() + at, n)) << "at " << at;
      at += n;
    }
  }

  // What the mount gives for the whole file, read afresh from the daemon
  // (the kernel's cached pages dropped) in pieces of the given sizes.
  std::string readInPieces(const std::string& name, const std::vector<size_t>& pieces) {
    const int fd = open(m(name).c_str(), O_RDONLY);
    if (fd == -1) return "<cannot open>";
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    std::string out, buffer(3 * kMiB, '\0');
    for (size_t i = 0;; ++i) {
      const ssize_t n = read(fd, buffer.data(), pieces[i % pieces.size()]);
      if (n <= 0) break;
      out.append(buffer.data(), static_cast<size_t>(n));
    }
    close(fd);
    return out;
  }

  std::mt19937 random_{20261209};
};

TEST_P(PlainDataTest, SequentialPiecesAcrossMegabyteBoundaries) {
  const std::string data = randomBytes(5 * kMiB + 123);
  const std::vector<size_t> pieces = {kMiB + 1, 4096, 1, kMiB - 1, 3 * kMiB, 65537};
  const int fd = open(m("seq.dat").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(-1, fd);
  writeInPieces(fd, data, pieces);
  ASSERT_EQ(0, close(fd));
  EXPECT_TRUE(readFile(root_ + "/seq.dat") == data) << "the physical file differs";
  EXPECT_TRUE(readInPieces("seq.dat", {kMiB}) == data);
  EXPECT_TRUE(readInPieces("seq.dat", {7, kMiB + 3, 4095, 2 * kMiB}) == data);
}

TEST_P(PlainDataTest, RandomOffsetsMatchAModel) {
  std::string model(6 * kMiB, '\0');
  const int fd = open(m("rand.dat").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(-1, fd);
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(model.size())));
  for (int i = 0; i < 200; ++i) {
    const size_t size = std::uniform_int_distribution<size_t>(1, 2 * kMiB + 5)(random_);
    const size_t at = std::uniform_int_distribution<size_t>(0, model.size() - size)(random_);
    const std::string piece = randomBytes(size);
    ASSERT_EQ(static_cast<ssize_t>(size), pwrite(fd, piece.data(), size, static_cast<off_t>(at)));
    model.replace(at, size, piece);
    if (i % 10 == 0) {
      // Read back through the same descriptor, from the daemon.
      ASSERT_EQ(0, fsync(fd));
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      std::string back(size, '\0');
      ASSERT_EQ(static_cast<ssize_t>(size), pread(fd, back.data(), size, static_cast<off_t>(at)));
      ASSERT_TRUE(back == piece) << "round " << i << " at " << at;
    }
  }
  ASSERT_EQ(0, close(fd));
  EXPECT_TRUE(readFile(root_ + "/rand.dat") == model);
  EXPECT_TRUE(readInPieces("rand.dat", {kMiB + 17, 4096}) == model);
}

TEST_P(PlainDataTest, AppendingWritersInterleave) {
  const int a = open(m("log.dat").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int b = open(m("log.dat").c_str(), O_WRONLY | O_APPEND);
  ASSERT_NE(-1, a);
  ASSERT_NE(-1, b);
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    const std::string line = randomBytes(i % 2 == 0 ? 100 : kMiB + i);
    ASSERT_EQ(static_cast<ssize_t>(line.size()),
              write(i % 3 == 0 ? a : b, line.data(), line.size()));
    expected += line;
  }
  ASSERT_EQ(0, close(a));
  ASSERT_EQ(0, close(b));
  EXPECT_TRUE(readInPieces("log.dat", {kMiB}) == expected);
  struct stat st;
  ASSERT_EQ(0, stat(m("log.dat").c_str(), &st));
  EXPECT_EQ(static_cast<off_t>(expected.size()), st.st_size);
}

TEST_P(PlainDataTest, SharedMappingWritesReachTheFile) {
  const size_t size = 3 * kMiB + 100;
  std::string model = randomBytes(size);
  writeFile(m("map.dat"), model);
  const int fd = open(m("map.dat").c_str(), O_RDWR);
  ASSERT_NE(-1, fd);
  void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(MAP_FAILED, at);
  char* bytes = static_cast<char*>(at);
  EXPECT_TRUE(std::string(bytes, size) == model) << "the mapping shows other bytes";
  for (size_t offset : {size_t{0}, kMiB - 3, 2 * kMiB + 4095, size - 7}) {
    const std::string piece = randomBytes(7);
    std::copy(piece.begin(), piece.end(), bytes + offset);
    model.replace(offset, piece.size(), piece);
  }
  ASSERT_EQ(0, msync(at, size, MS_SYNC));
  ASSERT_EQ(0, munmap(at, size));
  ASSERT_EQ(0, close(fd));
  EXPECT_TRUE(readFile(root_ + "/map.dat") == model);
  EXPECT_TRUE(readInPieces("map.dat", {kMiB}) == model);
}

TEST_P(PlainDataTest, ConcurrentReadersSeeTheSameBytes) {
  const std::string data = randomBytes(8 * kMiB + 11);
  writeFile(m("shared.dat"), data);
  const int common = open(m("shared.dat").c_str(), O_RDONLY);
  ASSERT_NE(-1, common);
  posix_fadvise(common, 0, 0, POSIX_FADV_DONTNEED);
  std::vector<int> wrong(6, 0);
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&, t] {
      // Half share one descriptor, half open their own.
      const int fd = t % 2 == 0 ? common : open(m("shared.dat").c_str(), O_RDONLY);
      std::mt19937 own(static_cast<unsigned>(t));
      std::string buffer(2 * kMiB, '\0');
      for (int i = 0; i < 40; ++i) {
        const size_t size = std::uniform_int_distribution<size_t>(1, buffer.size())(own);
        const size_t at = std::uniform_int_distribution<size_t>(0, data.size() - 1)(own);
        const ssize_t n = pread(fd, buffer.data(), size, static_cast<off_t>(at));
        const size_t expected = std::min(size, data.size() - at);
        if (n != static_cast<ssize_t>(expected) ||
            data.compare(at, expected, buffer.data(), expected))
          ++wrong[t];
      }
      if (fd != common) close(fd);
    });
  }
  for (std::thread& r : readers) r.join();
  close(common);
  for (int t = 0; t < 6; ++t) EXPECT_EQ(0, wrong[t]) << "reader " << t;
}

TEST_P(PlainDataTest, ConvertedFilesStillRoundTrip) {
  const std::string data = randomBytes(3 * kMiB + 77);
  const int fd = open(m("conv.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(-1, fd);
  writeInPieces(fd, data, {kMiB + 1, 100, 2 * kMiB});
  ASSERT_EQ(0, close(fd));
  EXPECT_TRUE(readInPieces("conv.txt", {kMiB, 3, 65536}) == data);
  const ShellResult s = sh("gzip -dc $ROOT/conv.txt.gz | cmp - $MNT/conv.txt");
  EXPECT_EQ(0, s.status) << s.output;
}

INSTANTIATE_TEST_SUITE_P(Paths, PlainDataTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "KernelPassthrough" : "ThroughTheDaemon";
                         });

}  // namespace
}  // namespace daemontest
