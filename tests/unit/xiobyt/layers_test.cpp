// The compression and encoding layers against their standard tools: what
// the library writes the tools read (and for base64 and hex, byte for byte
// what the tools write), what the tools make the library reads, layers
// stack, and damaged input fails cleanly.
#include <cerrno>
#include <cstring>

#include "xio_test.h"

using namespace xiotest;

namespace {

struct Tool {
  const char* layer;
  const char* test;    // exits 0 for a sound file ("" where the tool has no test)
  const char* decode;  // writes the data to standard output
  const char* encode;  // the tool's own writing, single-threaded
};

const Tool kTools[] = {
    {"gzip", "gzip -t", "gzip -dc", "gzip -6 -c"},
    {"zstd", "zstd -q -t", "zstd -q -dc", "zstd -q -3 -T1 -c"},
    {"xz", "xz -t", "xz -dc", "xz -6 -T1 -c"},
    {"bzip2", "bzip2 -t", "bzip2 -dc", "bzip2 -9 -c"},
    {"base64", "", "base64 -d", "base64"},
    {"hex", "", "xxd -r -p", "xxd -p"},
};

bool isEncoding(const std::string& layer) { return layer == "base64" || layer == "hex"; }

std::string layerKey(const std::string& layer) { return isEncoding(layer) ? "enc" : "comp"; }

class Layers : public ::testing::TestWithParam<Tool> {
 protected:
  TempDir dir;
  std::mt19937 rng{29};
  std::string name(const char* n) { return quote(dir / n); }
  // Several frames and blocks of text, a stretch of random bytes and runs.
  std::string sample() {
    std::string s = sampleText(60000, rng);
    for (int i = 0; i < 300000; ++i) s += static_cast<char>(rng());
    return s + std::string(200000, 'z');
  }
};

TEST_P(Layers, WhatTheLibraryWritesTheToolReads) {
  const Tool& t = GetParam();
  for (const std::string& data : {sample(), std::string(), std::string("x")}) {
    SCOPED_TRACE(data.size());
    std::string file = dir / "w";
    Written w;
    ASSERT_TRUE(writeAll("write.bin(file='' " + layerKey(t.layer) + "." + t.layer + "())", "",
                         "state(file=" + quote(file) + ")", data, rng, w));
    if (*t.test) {
      EXPECT_EQ(sh(std::string(t.test) + " '" + file + "'"), 0);
    }
    int status = -1;
    EXPECT_TRUE(run(std::string(t.decode) + " < '" + file + "'", &status) == data);
    EXPECT_EQ(status, 0);
    if (isEncoding(t.layer)) {  // the very layout the tool writes
      writeFile(dir / "plain", data);
      EXPECT_TRUE(run(std::string(t.encode) + " < '" + (dir / "plain") + "'") == readFile(file));
    }
    std::string back;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back));
    EXPECT_TRUE(back == data);
  }
}

TEST_P(Layers, WhatTheToolMakesTheLibraryReads) {
  const Tool& t = GetParam();
  std::string a = sample(), b = sampleText(3000, rng);
  writeFile(dir / "a", a);
  writeFile(dir / "b", b);
  std::string enc = t.encode, layer = t.layer;
  struct Made {
    std::string command, data;
  } made[] = {
      {enc + " < a > f", a},
      {enc + " < a > f && " + enc + " < b >> f", a + b},  // concatenated
      {layer == "zstd"     ? "zstd -q -T0 -19 -c < a > f"
       : layer == "xz"     ? "xz -T0 -1 -c < a > f"
       : layer == "gzip"   ? "gzip -1 -c < b > f"
       : layer == "bzip2"  ? "bzip2 -1 -c < b > f"
       : layer == "base64" ? "base64 -w 0 < b > f"
                           : "xxd -p -u -c 16 < b > f",
       layer == "zstd" || layer == "xz" ? a : b},
  };
  if (isEncoding(t.layer)) {  // CRLF line ends
    made[1] = {enc + " < b | sed 's/$/\\r/' > f", b};
  }
  for (const Made& m : made) {
    SCOPED_TRACE(m.command);
    ASSERT_EQ(sh("cd '" + dir.path() + "' && " + m.command), 0);
    std::string back, inverse;
    ASSERT_TRUE(
        readAll("read.bin(file=" + name("f") + " " + layerKey(t.layer) + "." + t.layer + "())", "",
                rng, back));
    EXPECT_TRUE(back == m.data);
    ASSERT_TRUE(readAll("input(file=" + name("f") + " cnv[" + t.layer + "()])", "", rng, back));
    EXPECT_TRUE(back == m.data);
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(
        xiopsize(trace,
                 ("read.bin(file=" + name("f") + " " + layerKey(t.layer) + "." + t.layer + "())")
                     .c_str(),
                 ""),
        static_cast<int64_t>(m.data.size()))
        << trace;
    if (!isEncoding(t.layer)) {  // auto finds compression, and says which
      ASSERT_TRUE(readAll("read.auto(file=" + name("f") + ")", "", rng, back, &inverse));
      EXPECT_TRUE(back == m.data);
      EXPECT_NE(inverse.find(std::string(" comp.") + t.layer + "(level="), std::string::npos)
          << inverse;
    }
  }
}

// Truncated or flipped data fails with a trace naming the layer, or (a
// flip the format cannot see, such as in a header field) reads the data.
// base64 and hex carry no check: a flip to another digit is other data of
// the same length.
TEST_P(Layers, DamagedInputFailsCleanly) {
  const Tool& t = GetParam();
  std::string data = sampleText(20000, rng);
  Written w;
  ASSERT_TRUE(writeAll("write.bin(file='' " + layerKey(t.layer) + "." + t.layer + "())", "",
                       "state(file=" + name("d") + ")", data, rng, w));
  std::string good = readFile(dir / "d");
  std::string fs = "read.bin(file=" + name("d") + " " + layerKey(t.layer) + "." + t.layer + "())";
  for (size_t cut : {size_t{1}, good.size() / 3, good.size() - 20}) {
    SCOPED_TRACE(cut);
    writeFile(dir / "d", good.substr(0, cut));
    std::string back;
    auto r = readAll(fs, "", rng, back);
    if (isEncoding(t.layer) && r) {  // a cut at a group's end is a shorter encoding
      EXPECT_TRUE(back == data.substr(0, back.size()));
      continue;
    }
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find(t.layer), std::string::npos) << r.message();
  }
  for (size_t at = 0; at < good.size(); at += 1 + good.size() / 150) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x21);
    writeFile(dir / "d", bad);
    std::string back;
    char trace[XIO_TRACE_SIZE] = "";
    auto r = readAll(fs, "", rng, back);
    if (r && isEncoding(t.layer)) {
      EXPECT_EQ(back.size(), data.size()) << "flip at " << at;
    } else if (r) {
      EXPECT_TRUE(back == data) << "flip at " << at;
    } else if (xiopsize(trace, fs.c_str(), "") < 0) {
      EXPECT_TRUE(errno == EIO || errno == EILSEQ) << errno;
    } else {  // only an index, a seek table or our line layout sizes damaged data
      EXPECT_TRUE(std::string(t.layer) != "bzip2") << at;
    }
  }
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = 0; (at = hay.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}

// A start offset above 0 adds a member, frame or stream; the standard tool
// still reads the whole file, and seekable zstd keeps one table that lists
// every frame.
TEST_P(Layers, AppendingKeepsTheFileValidForTheTool) {
  const Tool& t = GetParam();
  std::string a = sample(), b = sampleText(5000, rng), c = "tail";
  std::string file = dir / "app";
  std::string fs = "write.bin(file='' " + layerKey(t.layer) + "." + t.layer + "())";
  Written w;
  ASSERT_TRUE(writeAll(fs, "", "state(file=" + quote(file) + ")", a, rng, w));
  ASSERT_TRUE(writeAll(fs, "", "state(file=" + quote(file) + ")", b, rng, w,
                       static_cast<int64_t>(a.size())));
  ASSERT_TRUE(writeAll(fs, "", "state(file=" + quote(file) + ")", c, rng, w,
                       static_cast<int64_t>(a.size() + b.size())));
  if (*t.test) {
    EXPECT_EQ(sh(std::string(t.test) + " '" + file + "'"), 0);
  }
  EXPECT_TRUE(run(std::string(t.decode) + " < '" + file + "'") == a + b + c);
  std::string back;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back));
  EXPECT_TRUE(back == a + b + c);
  char trace[XIO_TRACE_SIZE] = "";
  EXPECT_EQ(xiopsize(trace, w.command.c_str(), ""),
            static_cast<int64_t>(a.size() + b.size() + c.size()))
      << trace;
  if (std::string(t.layer) == "zstd") {
    std::string raw = readFile(file);
    EXPECT_EQ(count(raw, "\x5e\x2a\x4d\x18"), 1u);
    EXPECT_EQ(raw.compare(raw.size() - 4, 4, "\xb1\xea\x92\x8f"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, Layers, ::testing::ValuesIn(kTools),
                         [](const auto& info) { return std::string(info.param.layer); });

// Frames compressed on two threads are the frames of one thread, in order;
// gzip's blocks on two threads make one member at most 0.5% larger.
TEST(Threads, TwoThreadsWriteTheBytesOfOne) {
  TempDir dir;
  std::mt19937 rng{41};
  std::string data = sampleText(120000, rng) + std::string(3 << 20, 'q');
  for (const char* layer : {"zstd", "xz", "gzip"}) {
    SCOPED_TRACE(layer);
    std::string made[2];
    for (int threads : {1, 2}) {
      std::string file = dir / ("t" + std::to_string(threads));
      Written w;
      ASSERT_TRUE(writeAll(std::string("write.bin(file='' comp.") + layer +
                               "(threads=" + std::to_string(threads) + "))",
                           "", "state(file=" + quote(file) + ")", data, rng, w));
      made[threads - 1] = readFile(file);
      EXPECT_EQ(sh(std::string(layer) + " -q -t '" + file + "'"), 0);
      std::string back;
      ASSERT_TRUE(readAll(w.command, w.format, rng, back));
      EXPECT_TRUE(back == data);
    }
    if (std::string(layer) == "zstd") {
      EXPECT_TRUE(made[0] == made[1]);
    }
    if (std::string(layer) == "gzip") {
      EXPECT_LE(made[1].size() * 1000, made[0].size() * 1005);
    }
  }
}

// zstd, xz and our own gzip files say their size: xiopsize believes the
// seek table, the frame headers, the xz index or the gzip size subfield, so
// a file whose data (not its index) is damaged is sized all the same, while
// reading it fails.
TEST(SelfSizing, ZstdXzAndGzipAreSizedFromWhatTheFileSays) {
  TempDir dir;
  std::mt19937 rng{37};
  std::string data = sampleText(150000, rng);
  writeFile(dir / "a", data);
  struct {
    const char* made;  // by the library when it starts with "write"
    const char* read;
  } cases[] = {{"write.bin(file='' comp.zstd())", "read.bin(file=%s comp.zstd())"},
               {"write.bin(file='' comp.xz(level=1))", "read.bin(file=%s comp.xz())"},
               {"zstd -q -T0 -c a > f", "read.auto(file=%s)"},  // frame headers, no table
               {"xz -T2 -1 -c a > f && xz -1 -c a >> f", "read.bin(file=%s comp.xz())"},
               {"write.bin(file='' comp.gzip(level=1))", "read.auto(file=%s)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.made);
    size_t copies = strstr(c.made, ">>") ? 2 : 1;
    if (strncmp(c.made, "write", 5) == 0) {
      Written w;
      ASSERT_TRUE(writeAll(c.made, "", "state(file=" + quote(dir / "f") + ")", data, rng, w));
    } else {
      ASSERT_EQ(sh("cd '" + dir.path() + "' && " + c.made), 0);
    }
    char fs[512], trace[XIO_TRACE_SIZE] = "";
    snprintf(fs, sizeof fs, c.read, quote(dir / "f").c_str());
    EXPECT_EQ(xiopsize(trace, fs, ""), static_cast<int64_t>(data.size() * copies)) << trace;
    std::string raw = readFile(dir / "f");
    raw[raw.size() / 3] = static_cast<char>(raw[raw.size() / 3] ^ 0x55);
    writeFile(dir / "f", raw);
    EXPECT_EQ(xiopsize(trace, fs, ""), static_cast<int64_t>(data.size() * copies)) << trace;
    std::string back;
    EXPECT_FALSE(readAll(fs, "", rng, back));
  }
}

// base64 and hex in the layout we write are sized by arithmetic on the file
// size; any other layout (the tools' other line lengths, CRLF) is decoded,
// so the size is right either way.
TEST(SelfSizing, EncodingsAreSizedInEveryLineLayout) {
  TempDir dir;
  std::mt19937 rng{41};
  const char* makers[][2] = {{"base64", "base64 a > f"},
                             {"base64", "base64 -w 64 a > f"},
                             {"base64", "base64 -w 0 a > f"},
                             {"base64", "base64 a | sed 's/$/\\r/' > f"},
                             {"hex", "xxd -p a > f"},
                             {"hex", "xxd -p -c 16 a > f"},
                             {"hex", "xxd -p a | tr a-f A-F > f"}};
  for (size_t n : {0, 1, 2, 3, 56, 57, 58, 29, 30, 31, 1000, 70001}) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    writeFile(dir / "a", data);
    for (const auto& m : makers) {
      SCOPED_TRACE(std::string(m[1]) + " of " + std::to_string(n) + " bytes");
      ASSERT_EQ(sh("cd '" + dir.path() + "' && " + m[1]), 0);
      std::string fs = "read.bin(file=" + quote(dir / "f") + " enc." + m[0] + "())";
      char trace[XIO_TRACE_SIZE] = "";
      EXPECT_EQ(xiopsize(trace, fs.c_str(), ""), static_cast<int64_t>(n)) << trace;
    }
  }
  // Our layout is sized without reading its middle: a foreign character
  // there goes unnoticed by the size and fails the read.
  for (const char* layer : {"base64", "hex"}) {
    SCOPED_TRACE(layer);
    ASSERT_EQ(sh("cd '" + dir.path() + "' && " + (layer[0] == 'b' ? "base64" : "xxd -p") +
                 " a > f"),
              0);
    std::string raw = readFile(dir / "f");
    raw[raw.size() / 2 - 1] = '*';
    writeFile(dir / "f", raw);
    std::string fs = "read.bin(file=" + quote(dir / "f") + " enc." + layer + "())", back;
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, fs.c_str(), ""), 70001) << trace;
    EXPECT_FALSE(readAll(fs, "", rng, back));
    EXPECT_EQ(errno, EILSEQ);
  }
}

TEST(Encodings, ForeignCharactersFailWithEilseq) {
  TempDir dir;
  struct {
    const char* layer;
    std::string bytes;
    const char* inTrace;
  } cases[] = {{"base64", "YWJj\nYW Jj\n", "byte 0x20 at offset 7"},
               {"base64", "YW=j\n", "byte 0x6A"},
               {"base64", "YWJj\tYWJj", "byte 0x09"},
               {"hex", "6162\n63 64\n", "byte 0x20 at offset 7"},
               {"hex", "61g2\n", "byte 0x67"}};
  std::mt19937 rng{1};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    writeFile(dir / "e", c.bytes);
    std::string fs = "read.bin(file=" + quote(dir / "e") + " enc." + c.layer + "())", back;
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, fs.c_str(), ""), -1);
    EXPECT_EQ(errno, EILSEQ);
    EXPECT_NE(strstr(trace, c.inTrace), nullptr) << trace;
  }
}

// Layers stack in the order of the vocabulary: compressed, then encoded on
// write; the reverse on read. The tools, piped, read the result.
TEST(Stacking, LayersStackAndThePipedToolsReadThem) {
  TempDir dir;
  std::mt19937 rng{31};
  std::string lines = sampleText(30000, rng);
  struct {
    const char* fileString;
    const char* format;
    std::string tools;  // %s: the file
    bool iconv;         // the tools' output is IBM-1047 text
  } cases[] = {
      {"write.bin(file='' comp.zstd() enc.base64())", "", "base64 -d < %s | zstd -q -dc", false},
      {"output(file='' cnv[base64() zstd(level=9)])", "", "base64 -d < %s | zstd -q -dc", false},
      {"write.bin(file='' comp.gzip() enc.hex())", "", "xxd -r -p < %s | gzip -dc", false},
      {"write.text(file='' ccsid='IBM-1047' method=NL comp.xz() enc.hex())", "format.text()",
       "xxd -r -p < %s | xz -dc", true},
      {"write.rec(file='' recf=VAR recl=200 comp.bzip2() enc.base64())", "format.text()",
       "base64 -d < %s | bzip2 -dc", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileString);
    std::string file = dir / "s";
    Written w;
    ASSERT_TRUE(writeAll(c.fileString, c.format, "state(file=" + quote(file) + ")", lines, rng, w));
    char command[512];
    snprintf(command, sizeof command, c.tools.c_str(), quote(file).c_str());
    std::string out = run(command);
    if (c.iconv) {
      writeFile(dir / "x", out);
      out = run("iconv -f IBM-1047 -t UTF-8 '" + (dir / "x") + "' | sed 's/\\xC2\\x85/\\n/g'");
    }
    if (std::string(c.fileString).find("rec") == std::string::npos) {
      EXPECT_TRUE(out == lines) << out.substr(0, 200);
    }
    std::string back;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back));
    EXPECT_TRUE(back == lines);
  }
}

}  // namespace
