// Random access: reads at any offset into files with an index (seekable
// zstd, xz blocks) give the bytes at that offset, also across frame and
// block edges, in files appended to, in files made by the zstd and xz
// tools, and in damaged files, where a read fails rather than give wrong
// bytes.
#include <cerrno>
#include <cstring>


#include "xio_test.h"

using namespace xiotest;

namespace {

// Lines whose numbers make every position distinct, compressible about as
// well as text is.
std::string corpus(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(bytes + 64);
  while (s.size() < bytes) {
    s += "record " + std::to_string(s.size()) + " value " + std::to_string(rng() % 100000);
    s += rng() % 5 ? " ok\n" : " with a somewhat longer explanation of nothing\n";
  }
  s.resize(bytes);
  return s;
}

std::string stateFor(const std::string& file) { return "state(file=" + quote(file) + ")"; }

// Offsets everywhere (edges of 1 MiB frames and blocks often, past the end
// sometimes) and sizes from 1 byte to 3 MiB, forwards, backwards and at random.
struct ReadPlan {
  int64_t offset;
  size_t count;
};
std::vector<ReadPlan> plan(size_t size, uint32_t seed, int reads) {
  std::mt19937 rng(seed);
  static const size_t limits[] = {1, 16, 4096, 70000, 1 << 20, 3 << 20};
  std::vector<ReadPlan> p;
  for (size_t at = 1 << 20; at < size; at += 1 << 20) p.push_back({int64_t(at) - 1, 2});  // edges
  auto count = [&] { return 1 + rng() % limits[rng() % 6]; };
  for (int i = 0; i < reads; ++i) {
    int64_t at = static_cast<int64_t>(rng() % (size + 100));
    if (i % 4 == 1) at = std::max<int64_t>(0, int64_t((rng() % 8) << 20) - int64_t(rng() % 3));
    p.push_back({at, count()});
  }
  for (int64_t at = static_cast<int64_t>(size); at > 0; at -= (1 << 20) / 3)  // backwards
    p.push_back({std::max<int64_t>(0, at - 1000), 3000});
  for (size_t at = 0; at < size; at += (1 << 20) - 7) p.push_back({int64_t(at), 1 << 20});
  p.push_back({static_cast<int64_t>(size), 10});
  return p;
}

// The failures and short reads of a damaged file are allowed; bytes that
// differ from the data are not.
enum class Expect { EXACT, NEVER_WRONG };

::testing::AssertionResult readsMatch(const std::string& fileString, const std::string& data,
                                      uint32_t seed, Expect expect, int reads = 300,
                                      int* failures = nullptr) {
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, fileString.c_str(), "", nullptr, 0);
  if (!h) return ::testing::AssertionFailure() << "open: " << trace;
  std::string buf;
  int failed = 0;
  for (const ReadPlan& r : plan(data.size(), seed, reads)) {
    buf.resize(r.count);
    trace[0] = '\0';
    errno = 0;
    int64_t n = xiopread(trace, h, buf.data(), r.count, r.offset);
    int64_t want = std::clamp<int64_t>(int64_t(data.size()) - r.offset, 0, int64_t(r.count));
    std::string where = " at " + std::to_string(r.offset) + " count " + std::to_string(r.count);
    if (n < 0) {
      ++failed;
      if (expect == Expect::EXACT || errno != EIO || trace[0] == '\0') {
        xiopclose(trace, h, nullptr, nullptr, nullptr);
        return ::testing::AssertionFailure()
               << "read" << where << ": errno " << errno << " " << trace;
      }
      continue;
    }
    if (n > want || (expect == Expect::EXACT && n != want) ||
        memcmp(buf.data(), data.data() + std::min<int64_t>(r.offset, int64_t(data.size())),
               static_cast<size_t>(n)) != 0) {
      xiopclose(trace, h, nullptr, nullptr, nullptr);
      return ::testing::AssertionFailure()
             << "read" << where << " gave " << n << " bytes, want " << want
             << (n <= want ? ", different ones or short" : "");
    }
  }
  if (failures) *failures = failed;
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  return ::testing::AssertionSuccess();
}

// The bytes taken from the physical file for one read of 4 KiB near the end.
uint64_t fileBytesForOneRead(const std::string& fileString, int64_t offset) {
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, fileString.c_str(), "", nullptr, 0);
  EXPECT_NE(h, nullptr) << trace;
  if (!h) return 0;
  char buf[4096];
  EXPECT_GT(xiopread(trace, h, buf, sizeof buf, offset), 0) << trace;
  XioStateList states;
  EXPECT_EQ(xiopclose(trace, h, &states, nullptr, nullptr), 0) << trace;
  return states.members.empty() ? 0 : states.members[0].bytesIn;
}

class RandomReads : public ::testing::Test {
 protected:
  TempDir dir;
  std::mt19937 rng{5};
  std::string data = corpus(7 << 20, 1);
  std::string bin(const std::string& file, const std::string& layer) {
    return "read.bin(file=" + quote(dir / file) + " comp." + layer + "())";
  }
};

// Files written by this library, in one go or appended to, read through
// their index: a read near the end takes about one frame from the file.
TEST_F(RandomReads, FilesWrittenByTheLibraryReadAnywhere) {
  struct Case {
    const char* name;
    const char* writer;
    std::vector<size_t> parts;  // the data written by successive handles
    const char* layer;
    int reads;
  } cases[] = {
      {"one.zst", "write.bin(file='' comp.zstd())", {7 << 20}, "zstd", 300},
      {"three.zst",
       "write.bin(file='' comp.zstd(level=1))",
       {1000, 3 << 20, (4 << 20) - 1000},
       "zstd",
       200},
      {"one.xz", "write.bin(file='' comp.xz(level=1))", {7 << 20}, "xz", 300},
      {"two.xz",
       "write.bin(file='' comp.xz(level=0 threads=1))",
       {(5 << 20) + 3, (2 << 20) - 3},
       "xz",
       100},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t at = 0;
    for (size_t part : c.parts) {
      Written w;
      ASSERT_TRUE(writeAll(c.writer, "", stateFor(dir / c.name), data.substr(at, part), rng, w,
                           static_cast<int64_t>(at)));
      at += part;
    }
    ASSERT_EQ(at, data.size());
    std::string raw = readFile(dir / c.name);
    if (std::string(c.layer) == "zstd") {  // one seek table, at the end, for all frames
      uint32_t count;
      memcpy(&count, raw.data() + raw.size() - 9, 4);
      EXPECT_EQ(count, std::string(c.name) == "one.zst" ? 7u : 8u);
      EXPECT_EQ(raw.find("\x5e\x2a\x4d\x18"), raw.size() - (8 + count * 8 + 9));
    }
    ASSERT_TRUE(readsMatch(bin(c.name, c.layer), data, seed++, Expect::EXACT, c.reads));
    ASSERT_TRUE(
        readsMatch("read.auto(file=" + quote(dir / c.name) + ")", data, seed++, Expect::EXACT, 20));
    EXPECT_LT(fileBytesForOneRead(bin(c.name, c.layer), int64_t(data.size()) - 5000),
              raw.size() / 3);
    char trace[XIO_TRACE_SIZE] = "";
    std::string autoString = "read.auto(file=" + quote(dir / c.name) + ")", inverse;
    XioHandle* h = xiopopen(trace, autoString.c_str(), "", nullptr, 0);
    ASSERT_NE(h, nullptr) << trace;
    char byte;
    ASSERT_EQ(xiopread(trace, h, &byte, 1, int64_t(data.size()) - 1), 1) << trace;
    EXPECT_EQ(byte, data.back());
    ASSERT_EQ(xiopclose(trace, h, nullptr, &inverse, nullptr), 0) << trace;
    EXPECT_EQ(inverse, "write.bin(file=" + quote(dir / c.name) + " comp." + c.layer +
                           (std::string(c.layer) == "zstd" ? "(level=3))" : "(level=6))"));
    EXPECT_EQ(xiopsize(trace, bin(c.name, c.layer).c_str(), ""), int64_t(data.size())) << trace;
  }
}

// Files from the tools: several xz streams (from this library and from xz,
// with stream padding between them) and zstd frames without a seek table,
// found from their headers or, where a frame does not say its size or is
// too large to hold, read as a stream. Every read is right either way.
TEST_F(RandomReads, FilesMadeByTheToolsReadAnywhere) {
  std::string a = data.substr(0, 4 << 20), b = data.substr(4 << 20, 1 << 20),
              c = data.substr(5 << 20);
  writeFile(dir / "a", a);
  writeFile(dir / "b", b);
  writeFile(dir / "c", c);
  writeFile(dir / "all", data);
  Written w;
  ASSERT_TRUE(
      writeAll("write.bin(file='' comp.xz(level=1))", "", stateFor(dir / "lib.xz"), a, rng, w));
  std::string big = corpus(10 << 20, 2);
  writeFile(dir / "big", big);
  ASSERT_EQ(sh("cd '" + dir.path() +
               "' && xz -1 -c b > b.xz && xz -T2 --block-size=300000 -c c > c.xz && "
               "cat lib.xz b.xz > cat.xz && head -c 8 /dev/zero >> cat.xz && cat c.xz >> cat.xz && "
               "zstd -q -c a > a.zst && zstd -q -19 -c b > b.zst && zstd -q -c c > c.zst && "
               "cat a.zst b.zst c.zst > frames.zst && cat a b c | zstd -q -c > nosize.zst && "
               "zstd -q -c big > big.zst"),
            0);
  struct Case {
    const char* name;
    const char* layer;
    const char* plain;  // what the tool decodes it to
    bool indexed;       // a read takes a frame or block, not everything before it
  } cases[] = {{"cat.xz", "xz", "all", true},
               {"frames.zst", "zstd", "all", true},
               {"nosize.zst", "zstd", "all", false},
               {"big.zst", "zstd", "big", false}};
  uint32_t seed = 100;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string& want = std::string(k.plain) == "big" ? big : data;
    EXPECT_EQ(sh(std::string(k.layer) + " -dc '" + (dir / k.name) + "' | cmp -s - '" +
                 (dir / k.plain) + "'"),
              0);
    // Read as a stream, every read backwards decodes from the start again.
    ASSERT_TRUE(
        readsMatch(bin(k.name, k.layer), want, seed++, Expect::EXACT, k.indexed ? 200 : 30));
    uint64_t taken = fileBytesForOneRead(bin(k.name, k.layer), int64_t(want.size()) - 5000);
    uint64_t physical = readFile(dir / k.name).size();
    EXPECT_EQ(taken < physical / 2, k.indexed) << taken << " of " << physical;
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, bin(k.name, k.layer).c_str(), ""), int64_t(want.size())) << trace;
  }
}

// Damage never reads as data: a flipped byte in a frame or block fails the
// reads that need it (the others still read; a unit is served only once its
// check has passed, where a stream hands out a damaged block's bytes before
// its check fails), a seek table whose sizes lie is found out and the stream
// serves the reads, and a truncated file reads up to its damage. The first
// reads cross each 1 MiB edge, where a table's lie would show.
// age files open the chunk that holds an offset and no other, whoever made
// them, also under zstd; a damaged chunk fails its reads and leaves the
// others readable.
TEST_F(RandomReads, AgeFilesReadAnywhereAlsoUnderZstd) {
  std::string key = dir / "key.txt";
  ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
  writeFile(dir / "all", data);
  ASSERT_EQ(sh("cd '" + dir.path() + "' && age -r $(age-keygen -y key.txt) -o tool.age all"), 0);
  std::string age = " encr.age(identity=" + quote(key) + ")";
  for (const char* made : {"lib.age", "z.age"}) {
    Written w;
    std::string comp = made[0] == 'z' ? " comp.zstd()" : "";
    ASSERT_TRUE(writeAll("write.bin(file=''" + comp + age + ")", "", stateFor(dir / made), data,
                         rng, w));
  }
  struct {
    const char* file;
    const char* comp;
  } cases[] = {{"lib.age", ""}, {"tool.age", ""}, {"z.age", " comp.zstd()"}};
  uint32_t seed = 40;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string fs = "read.bin(file=" + quote(dir / c.file) + c.comp + age + ")";
    ASSERT_TRUE(readsMatch(fs, data, seed++, Expect::EXACT, 200));
    EXPECT_LT(fileBytesForOneRead(fs, int64_t(data.size()) / 2), readFile(dir / c.file).size() / 3);
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, fs.c_str(), ""), int64_t(data.size())) << trace;
  }
  std::string raw = readFile(dir / "lib.age");
  const size_t sealed = 65536 + 16, damaged = data.size() / 65536 - 2;  // the last but one
  raw[raw.size() - 2 * sealed + 100] ^= 1;
  writeFile(dir / "lib.age", raw);
  int failures = 0;
  ASSERT_TRUE(readsMatch("read.bin(file=" + quote(dir / "lib.age") + age + ")", data, seed,
                         Expect::NEVER_WRONG, 200, &failures));
  EXPECT_GT(failures, 0);
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h =
      xiopopen(trace, ("read.bin(file=" + quote(dir / "lib.age") + age + ")").c_str(), "", nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  char buf[4096];
  for (int64_t at : {int64_t(0), int64_t(data.size()) - 4096}) {
    ASSERT_EQ(xiopread(trace, h, buf, sizeof buf, at), 4096) << trace;
    EXPECT_EQ(memcmp(buf, data.data() + at, sizeof buf), 0);
  }
  EXPECT_EQ(xiopread(trace, h, buf, sizeof buf, int64_t(damaged * 65536 + 10)), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(strstr(trace, "chunk"), nullptr) << trace;
  xiopclose(trace, h, nullptr, nullptr, nullptr);
}

TEST_F(RandomReads, DamagedFilesFailOrReadRightNeverWrong) {
  Written w;
  ASSERT_TRUE(
      writeAll("write.bin(file='' comp.zstd())", "", stateFor(dir / "good.zst"), data, rng, w));
  ASSERT_TRUE(
      writeAll("write.bin(file='' comp.xz(level=1))", "", stateFor(dir / "good.xz"), data, rng, w));
  std::string zst = readFile(dir / "good.zst"), xz = readFile(dir / "good.xz");
  const size_t frames = 7, table = zst.size() - (8 + frames * 8 + 9);
  auto get = [&](const std::string& raw, size_t i, size_t field) {
    uint32_t v;
    memcpy(&v, raw.data() + table + 8 + i * 8 + field * 4, 4);
    return v;
  };
  auto set = [&](std::string& raw, size_t i, size_t field, uint32_t v) {
    memcpy(raw.data() + table + 8 + i * 8 + field * 4, &v, 4);
  };
  auto flip = [](std::string raw, size_t at) {
    raw[at] = static_cast<char>(raw[at] ^ 0x40);
    return raw;
  };
  std::string sizesLie = zst;  // frame 2 said to hold a byte more, frame 3 a byte less
  set(sizesLie, 2, 1, get(zst, 2, 1) + 1);
  set(sizesLie, 3, 1, get(zst, 3, 1) - 1);
  std::string framesLie = zst;  // the compressed sizes of frames 0 and 1 swapped
  set(framesLie, 0, 0, get(zst, 1, 0));
  set(framesLie, 1, 0, get(zst, 0, 0));
  ASSERT_NE(get(zst, 0, 0), get(zst, 1, 0));
  struct Case {
    const char* name;
    const char* layer;
    std::string raw;
    bool someFail;  // whether some reads must fail
    int reads;      // fewer where the stream serves them
  } cases[] = {
      {"flip.zst", "zstd", flip(zst, zst.size() / 2), true, 150},
      {"sizes.zst", "zstd", sizesLie, false, 40},
      {"frames.zst", "zstd", framesLie, false, 40},
      {"cut.zst", "zstd", zst.substr(0, zst.size() * 2 / 3), true, 30},
      {"flip.xz", "xz", flip(xz, xz.size() / 2), true, 150},
      {"index.xz", "xz", flip(xz, xz.size() - 20), true, 20},
      {"cut.xz", "xz", xz.substr(0, xz.size() * 2 / 3), true, 20},
  };
  uint32_t seed = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / c.name, c.raw);
    int failures = 0;
    ASSERT_TRUE(readsMatch(bin(c.name, c.layer), data, seed++,
                           c.someFail ? Expect::NEVER_WRONG : Expect::EXACT, c.reads, &failures));
    if (c.someFail) {
      EXPECT_GT(failures, 0);
    }
  }
  // With the index, the frames after a damaged one read too, which a
  // stream cannot do; the damaged frame fails whole.
  size_t damaged = 0;
  for (uint64_t at = 0; at + get(zst, damaged, 0) <= zst.size() / 2;) at += get(zst, damaged++, 0);
  ASSERT_LT(damaged, frames - 1);
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, bin("flip.zst", "zstd").c_str(), "", nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  std::string buf(1 << 20, '\0');
  for (size_t f : {damaged + 1, damaged, size_t{0}, damaged}) {
    SCOPED_TRACE(f);
    trace[0] = '\0';
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), int64_t(f) << 20);
    if (f == damaged) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, EIO);
      EXPECT_NE(strstr(trace, "flip.zst"), nullptr) << trace;
    } else {
      ASSERT_EQ(n, 1 << 20) << trace;
      EXPECT_TRUE(buf == data.substr(f << 20, 1 << 20));
    }
  }
  EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
}

// Whatever the file's size, a handle holds a frame or block and the codec's
// state, never the file.
TEST_F(RandomReads, MemoryStaysBoundedByTheUnitNotTheFile) {
  std::string large = corpus(40 << 20, 3);
  struct {
    const char* name;
    const char* writer;
    const char* layer;
  } cases[] = {{"m.zst", "write.bin(file='' comp.zstd(level=1))", "zstd"},
               {"m.xz", "write.bin(file='' comp.xz(level=0))", "xz"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Written w;
    ASSERT_TRUE(writeAll(c.writer, "", stateFor(dir / c.name), large, rng, w));
    char trace[XIO_TRACE_SIZE] = "";
    size_t before = allocatedBytes(), peak = 0;
    XioHandle* h = xiopopen(trace, bin(c.name, c.layer).c_str(), "", nullptr, 0);
    ASSERT_NE(h, nullptr) << trace;
    std::string buf(1 << 16, '\0');
    for (const ReadPlan& r : plan(large.size(), 9, 60)) {
      size_t n = std::min(r.count, buf.size());
      ASSERT_GE(xiopread(trace, h, buf.data(), n, r.offset), 0) << trace;
      peak = std::max(peak, allocatedBytes() - before);
    }
    EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
    EXPECT_LT(peak, size_t{8} << 20);
  }
}

}  // namespace
