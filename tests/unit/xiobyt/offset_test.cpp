// Offsets: reads go anywhere (forward by decoding, backward by starting
// over, past the end 0); writes go forward, gaps read back as zero bytes;
// a start offset above 0 appends.
#include <sys/stat.h>

#include "xio_test.h"

using namespace xiotest;

namespace {

class Offsets : public ::testing::TestWithParam<const char*> {
 protected:
  TempDir dir;
  char trace[XIO_TRACE_SIZE] = "";
  std::mt19937 rng{17};
  std::string state() { return "state(file=" + quote(dir / "o") + ")"; }
};

// Converted streams of about 3 MiB where every position is distinct enough
// to catch an off-by-one.
std::string numbered(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i * 7919 % 1000003) + "\n";
  return s;
}

const char* kFormats[] = {"write.bin(file='')", "write.bin(file='' comp.gzip(level=1))",
                          "write.text(file='' ccsid='IBM-1047' method=CRLF comp.gzip())"};

TEST_P(Offsets, ReadsSkipForwardRestartBackwardAndEndAtTheEnd) {
  std::string data = numbered(250000);
  std::string format =
      std::string(GetParam()).find("text") != std::string::npos ? "format.text(ccsid='UTF-8')" : "";
  Written w;
  ASSERT_TRUE(writeAll(GetParam(), format, state(), data, rng, w));
  XioHandle* h = xiopopen(trace, w.command.c_str(), w.format.c_str(), nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  int64_t size = static_cast<int64_t>(data.size());
  struct Read {
    int64_t offset;
    size_t count;
  } reads[] = {{2500000, 100},     {10, 5000},        {2500000, 3000000}, {0, 1},
               {1048575, 2},       {size - 3, 10},    {size, 10},         {size + 1000, 4},
               {1 << 20, 1 << 20}, {(1 << 20) - 1, 1}};
  for (const Read& r : reads) {
    SCOPED_TRACE(r.offset);
    std::string buf(r.count, '\0');
    int64_t n = xiopread(trace, h, buf.data(), r.count, r.offset);
    int64_t want = std::max<int64_t>(0, std::min<int64_t>(r.count, size - r.offset));
    ASSERT_EQ(n, want) << trace;
    if (want > 0) {
      EXPECT_TRUE(buf.substr(0, want) == data.substr(r.offset, want));
    }
  }
  EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
}

TEST_P(Offsets, WriteGapsReadBackAsZeroBytes) {
  std::string st = state();
  bool text = std::string(GetParam()).find("text") != std::string::npos;
  std::string format = text ? "format.text()" : "";
  XioHandle* h = xiopopen(trace, GetParam(), format.c_str(), &st, 0);
  ASSERT_NE(h, nullptr) << trace;
  ASSERT_EQ(xiopwrite(trace, h, "abc", 3, 0), 3);
  ASSERT_EQ(xiopwrite(trace, h, "xyz", 3, 10), 3);
  ASSERT_EQ(xiopflush(trace, h, XIO_FLUSH_SYNC), 0) << trace;
  ASSERT_EQ(xiopwrite(trace, h, "!", 1, (3 << 20) + 13), 1);
  std::string cmd, fmt;
  ASSERT_EQ(xiopclose(trace, h, nullptr, &cmd, &fmt), 0) << trace;
  std::string back;
  ASSERT_TRUE(readAll(cmd, fmt, rng, back));
  std::string want = "abc" + std::string(7, '\0') + "xyz" + std::string(3 << 20, '\0') + "!";
  ASSERT_EQ(back.size(), want.size());
  EXPECT_TRUE(back == want);
}

TEST_P(Offsets, StartOffsetAppends) {
  bool text = std::string(GetParam()).find("text") != std::string::npos;
  std::string format = text ? "format.text()" : "";
  std::string first = numbered(1000), second = numbered(2000);
  Written w;
  ASSERT_TRUE(writeAll(GetParam(), format, state(), first, rng, w));
  ASSERT_TRUE(
      writeAll(GetParam(), format, state(), second, rng, w, static_cast<int64_t>(first.size())));
  std::string back;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back));
  EXPECT_TRUE(back == first + second);
}

INSTANTIATE_TEST_SUITE_P(Streams, Offsets, ::testing::ValuesIn(kFormats));

// A file without layers is read where the bytes lie: the end of a sparse
// file of 1 TiB comes back without reading the terabyte before it, and so
// does the start after it. The state list counts the bytes taken from the
// file: a block at most for each read.
TEST(PlainRead, TheEndOfAHugeSparseFile) {
  TempDir dir;
  std::string file = dir / "sparse";
  const int64_t size = int64_t(1) << 40;
  writeFile(file, "head");
  ASSERT_EQ(truncate(file.c_str(), size), 0);
  ASSERT_EQ(sh("printf 'tail' >> '" + file + "'"), 0);
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h =
      xiopopen(trace, ("read.bin(file=" + quote(file) + ")").c_str(), "format.bin()", nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  char buf[16];
  struct {
    int64_t offset;
    std::string want;
  } reads[] = {
      {size - 2, std::string("\0\0tail", 6)}, {size + 4, ""}, {1, std::string("ead\0", 4)}};
  for (const auto& r : reads) {
    int64_t n = xiopread(trace, h, buf, r.want.empty() ? 4 : r.want.size(), r.offset);
    ASSERT_EQ(n, static_cast<int64_t>(r.want.size())) << trace;
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), r.want);
  }
  XioStateList states;
  EXPECT_EQ(xiopclose(trace, h, &states, nullptr, nullptr), 0);
  ASSERT_EQ(states.members.size(), 1u);
  EXPECT_EQ(states.members[0].bytesOut, 10u);
  EXPECT_LT(states.members[0].bytesIn, 1u << 20);
}

// A byte-order mark starts the file only: an appended part has none.
TEST(Append, ByteOrderMarkOnlyAtTheStart) {
  TempDir dir;
  std::mt19937 rng(1);
  std::string st = "state(file=" + quote(dir / "b") + ")";
  Written w;
  ASSERT_TRUE(writeAll("write.text(file='' bom)", "format.text()", st, "one\n", rng, w));
  ASSERT_TRUE(writeAll("write.text(file='' bom)", "format.text()", st, "two\n", rng, w, 4));
  EXPECT_EQ(readFile(dir / "b"), "\xEF\xBB\xBFone\ntwo\n");
}

// A plain file holds each byte at its offset: a gap is a hole, not zeros
// written out, and reads of it give zero bytes.
TEST(PlainOffsets, AGapInAPlainFileIsAHole) {
  TempDir dir;
  char trace[XIO_TRACE_SIZE] = "";
  std::mt19937 rng{3};
  for (int64_t start : {int64_t{0}, int64_t{5}}) {
    SCOPED_TRACE(start);
    writeFile(dir / "h", "12345");
    std::string state = "state(file=" + quote(dir / "h") + ")";
    XioHandle* h = xiopopen(trace, "write.bin(file='')", "", &state, start);
    ASSERT_NE(h, nullptr) << trace;
    const int64_t far = int64_t{256} << 20;
    ASSERT_EQ(xiopwrite(trace, h, "abc", 3, start), 3);
    ASSERT_EQ(xiopwrite(trace, h, "xyz", 3, far), 3) << trace;
    std::string cmd;
    ASSERT_EQ(xiopclose(trace, h, nullptr, &cmd, nullptr), 0) << trace;
    struct stat st;
    ASSERT_EQ(stat((dir / "h").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, far + 3);
    EXPECT_LT(st.st_blocks * 512, int64_t{4} << 20);
    XioHandle* r = xiopopen(trace, cmd.c_str(), "", nullptr, 0);
    ASSERT_NE(r, nullptr) << trace;
    char buf[8];
    ASSERT_EQ(xiopread(trace, r, buf, 8, start), 8);
    EXPECT_EQ(std::string(buf, 8), std::string("abc\0\0\0\0\0", 8));
    ASSERT_EQ(xiopread(trace, r, buf, 8, far - 2), 5);
    EXPECT_EQ(std::string(buf, 5), std::string("\0\0xyz", 5));
    EXPECT_EQ(xiopclose(trace, r, nullptr, nullptr, nullptr), 0);
  }
}

// A read handle on a plain file sees what another handle wrote since its
// last read, whether the size changed or not.
TEST(PlainOffsets, ARewrittenFileIsNotServedStale) {
  TempDir dir;
  char trace[XIO_TRACE_SIZE] = "";
  std::string name = quote(dir / "f");
  writeFile(dir / "f", std::string(8192, 'a'));
  XioHandle* r = xiopopen(trace, ("read.bin(file=" + name + ")").c_str(), "", nullptr, 0);
  ASSERT_NE(r, nullptr) << trace;
  char buf[16];
  ASSERT_EQ(xiopread(trace, r, buf, 16, 0), 16);
  for (const std::string& now : {std::string(8192, 'b'), std::string(100, 'c')}) {
    std::string state = "state(file=" + name + ")";
    XioHandle* w = xiopopen(trace, "write.bin(file='')", "", &state, 0);
    ASSERT_NE(w, nullptr) << trace;
    ASSERT_EQ(xiopwrite(trace, w, now.data(), now.size(), 0), static_cast<int64_t>(now.size()));
    ASSERT_EQ(xiopclose(trace, w, nullptr, nullptr, nullptr), 0) << trace;
    ASSERT_EQ(xiopread(trace, r, buf, 16, 16), 16) << trace;
    EXPECT_EQ(std::string(buf, 16), now.substr(16, 16));
  }
  EXPECT_EQ(xiopclose(trace, r, nullptr, nullptr, nullptr), 0);
}

}  // namespace
