// Failures: each sets errno and leaves a readable trace naming the call,
// the file string and the cause; none crashes.
#include <cerrno>
#include <cstring>

#include "xio_test.h"

using namespace xiotest;

namespace {

class Failure : public ::testing::Test {
 protected:
  TempDir dir;
  char trace[XIO_TRACE_SIZE] = "";
  std::mt19937 rng{5};
  std::string path(const char* name) { return quote(dir / name); }
};

struct OpenCase {
  const char* fileString;  // %s: a quoted name in the temporary directory
  const char* format;
  bool write;
  int error;
  const char* inTrace;
};

const OpenCase kOpenCases[] = {
    {"read.bin(file=%s)", "", false, ENOENT, "No such file"},
    {"read.bin(file=%s)", "format.bin()", false, ENOENT, "No such file"},
    // The strings are checked before the file is looked for.
    {"read.text(file=%s ccsid='NO-SUCH-SET')", "format.text()", false, EINVAL, "NO-SUCH-SET"},
    {"write.text(file=%s ccsid='NO-SUCH-SET')", "format.text()", true, EINVAL, "NO-SUCH-SET"},
    {"write.text(file=%s)", "format.text(ccsid='NO-SUCH-SET')", true, EINVAL, "NO-SUCH-SET"},
    {"write.text(file=%s ccsid='US-ASCII' method=NL)", "format.text()", true, EINVAL, "US-ASCII"},
    // The ranges of the tools.
    {"write.bin(file=%s comp.zstd(level=20))", "", true, EINVAL, "file string does not parse"},
    {"write.bin(file=%s comp.xz(level=10))", "", true, EINVAL, "file string does not parse"},
    {"write.bin(file=%s comp.bzip2(level=0))", "", true, EINVAL, "file string does not parse"},
    {"output(file=%s cnv[gzip() age()])", "", true, EINVAL, "exactly one"},
    {"read.bin(file=%s encr.age(identity='k' logn=10))", "", false, EINVAL, "logn"},
    {"output(file=%s cnv[gzip() age(identity='no-such-key')])", "", true, ENOENT, "identity file"},
    {"write.text(file=%s ccsid='')", "format.text()", true, EINVAL, "ccsid='' in the file string"},
    {"read.text(file=%s ccsid='')", "format.text()", false, EINVAL, "ccsid='' in the file"},
    {"input(file=%s fmt.rec(recl=8 ccsid=''))", "format.text()", false, EINVAL, "ccsid=''"},
    {"write.text(file=%s)", "format.text(ccsid='')", true, EINVAL, "ccsid='' in the format"},
    {"write.rec(file=%s recl=80)", "", true, EINVAL, "format.bin() over rec"},
    {"write.rec(file=%s recl=80)", "format.bin()", true, EINVAL, "format.bin() over rec"},
    {"write.rec(file=%s recl=10 pad='ab')", "format.text()", true, EINVAL, "pad="},
    {"write.bin(file=%s)", "format.text()", true, EINVAL, "over bin"},
    {"write.bin(file=%s level=3)", "", true, EINVAL, "file string does not parse"},
    {"write.bin(file=%s", "", true, EINVAL, "file string does not parse"},
    {"write.bin(file=%s)", "format.text(method=XY)", true, EINVAL, "format string does not parse"},
    {"bogus.bin(file=%s)", "", true, EINVAL, "does not start with"},
    {"read.bin(file=%s)", "", true, EINVAL, "read file string cannot open a file for writing"},
    {"write.bin(file=%s)", "", false, EINVAL, "write file string cannot open a file for reading"},
};

TEST_F(Failure, OpensThatMustFail) {
  for (const OpenCase& c : kOpenCases) {
    char fileString[512];
    snprintf(fileString, sizeof fileString, c.fileString, path("f").c_str());
    SCOPED_TRACE(fileString);
    writeFile(dir / "f", "old content");
    if (!c.write) unlink((dir / "f").c_str());
    trace[0] = '\0';
    std::string state = "state(file='logical/f')";
    errno = 0;
    EXPECT_EQ(xiopopen(trace, fileString, c.format, c.write ? &state : nullptr, 0), nullptr);
    EXPECT_EQ(errno, c.error);
    EXPECT_NE(strstr(trace, c.inTrace), nullptr) << trace;
    EXPECT_NE(strstr(trace, "xiopopen"), nullptr) << trace;
    EXPECT_NE(strstr(trace, fileString), nullptr) << trace;
    // Once the file string has parsed, the trace names the physical file.
    if (strstr(c.inTrace, "file string does not parse") == nullptr &&
        strstr(c.inTrace, "does not start with") == nullptr) {
      EXPECT_NE(strstr(trace, ("for physical file '" + (dir / "f") + "'").c_str()), nullptr)
          << trace;
    }
    // A refused write never truncates the file that is there.
    if (c.write) {
      EXPECT_EQ(readFile(dir / "f"), "old content");
    }
  }
}

TEST_F(Failure, ParserMessageAndMissingNames) {
  std::string state = "state(file='' comment='x')";
  EXPECT_EQ(xiopopen(trace, "write.bin(file='')", "", &state, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(strstr(trace, "no physical file name"), nullptr) << trace;
  EXPECT_EQ(xiopopen(trace, nullptr, "", nullptr, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  trace[0] = '\0';
  EXPECT_EQ(xiopopen(trace, "read.bin(fil='x')", "", nullptr, 0), nullptr);
  EXPECT_NE(strstr(trace, "row 1"), nullptr) << trace;
}

// An unknown character set is refused at open, with the file there, in
// either direction and whichever string names it, also where the bytes
// would pass unchanged (format.bin() over text): the inverse command would
// name it. A refused write creates no file.
TEST_F(Failure, UnknownCharsetWithTheFileThere) {
  struct {
    const char* fileString;
    const char* format;
    bool write;
  } cases[] = {
      {"read.text(file=%s ccsid='NO-SUCH-SET')", "format.text()", false},
      {"read.text(file=%s ccsid='NO-SUCH-SET')", "format.bin()", false},
      {"read.text(file=%s ccsid='IBM-1047' method=NL)", "format.text(ccsid='NO-SUCH-SET')", false},
      {"read.rec(file=%s recl=10 ccsid='NO-SUCH-SET')", "format.text()", false},
      {"input(file=%s fmt.text(ccsid='NO-SUCH-SET'))", "format.bin()", false},
      {"write.text(file=%s ccsid='NO-SUCH-SET')", "format.bin()", true}};
  for (const auto& c : cases) {
    char fileString[512];
    snprintf(fileString, sizeof fileString, c.fileString, path("t").c_str());
    SCOPED_TRACE(fileString);
    if (c.write) {
      unlink((dir / "t").c_str());
    } else {
      writeFile(dir / "t", "text\n");
    }
    trace[0] = '\0';
    std::string state = "state(file='t')";
    EXPECT_EQ(xiopopen(trace, fileString, c.format, c.write ? &state : nullptr, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(strstr(trace, "unknown character set 'NO-SUCH-SET'"), nullptr) << trace;
    EXPECT_NE(strstr(trace, ("for physical file '" + (dir / "t") + "'").c_str()), nullptr);
    EXPECT_EQ(access((dir / "t").c_str(), F_OK) == 0, !c.write);
  }
}

TEST_F(Failure, UnwritableDirectoryAndMissingDirectory) {
  std::string locked = dir / "locked";
  mkdir(locked.c_str(), 0555);
  // Root writes into any directory; a sysfs directory refuses even root.
  std::string target = geteuid() == 0 ? "/sys/xiobyt-test-file" : locked + "/f";
  struct {
    std::string name;
    int error;
  } cases[] = {{target, EACCES}, {dir / "no/such/dir/f", ENOENT}};
  for (const auto& c : cases) {
    std::string fs = "write.bin(file=" + quote(c.name) + " comp.gzip())";
    std::string state = "state(file='x')";
    trace[0] = '\0';
    EXPECT_EQ(xiopopen(trace, fs.c_str(), "", &state, 0), nullptr);
    EXPECT_EQ(errno, c.error);
    EXPECT_NE(strstr(trace, strerror(c.error)), nullptr) << trace;
    EXPECT_NE(strstr(trace, c.name.c_str()), nullptr) << trace;
  }
}

TEST_F(Failure, NullHandleAndWrongDirection) {
  char buf[4];
  struct {
    const char* call;
    int64_t rc;
  } calls[] = {{"xiopread", xiopread(trace, nullptr, buf, 4, 0)},
               {"xiopwrite", xiopwrite(trace, nullptr, buf, 4, 0)},
               {"xiopflush", xiopflush(trace, nullptr, 0)},
               {"xiopclose", xiopclose(trace, nullptr, nullptr, nullptr, nullptr)}};
  for (const auto& c : calls) {
    EXPECT_EQ(c.rc, -1) << c.call;
    EXPECT_NE(strstr(trace, c.call), nullptr) << trace;
  }
  EXPECT_EQ(errno, EBADF);

  writeFile(dir / "r", "data");
  XioHandle* r = xiopopen(trace, ("read.bin(file=" + path("r") + ")").c_str(), "", nullptr, 0);
  ASSERT_NE(r, nullptr) << trace;
  EXPECT_EQ(xiopwrite(trace, r, "x", 1, 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(xiopclose(trace, r, nullptr, nullptr, nullptr), 0);
}

TEST_F(Failure, WriteBelowTheExpectedOffsetIsRefusedAndTheStreamGoesOn) {
  std::string state = "state(file=" + path("w") + ")";
  XioHandle* h = xiopopen(trace, "write.bin(file='' comp.gzip())", "", &state, 0);
  ASSERT_NE(h, nullptr) << trace;
  ASSERT_EQ(xiopwrite(trace, h, "abcdef", 6, 0), 6);
  EXPECT_EQ(xiopwrite(trace, h, "X", 1, 3), -1);
  EXPECT_EQ(errno, ESPIPE);
  EXPECT_NE(strstr(trace, "below the expected offset 6"), nullptr) << trace;
  // A write that would end past the largest offset is refused before any gap is filled.
  EXPECT_EQ(xiopwrite(trace, h, "X", 1, INT64_MAX), -1);
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(xiopwrite(trace, h, "gh", 2, 6), 2);
  std::string cmd, fmt;
  XioStateList states;
  ASSERT_EQ(xiopclose(trace, h, &states, &cmd, &fmt), 0) << trace;
  std::string back;
  ASSERT_TRUE(readAll(cmd, fmt, rng, back));
  EXPECT_EQ(back, "abcdefgh");
}

// Corrupt, truncated and trailing-garbage gzip input fails with EIO;
// any flipped byte either fails or (header fields) leaves the data intact.
TEST_F(Failure, DamagedGzipInput) {
  std::string data = sampleText(3000, rng);
  Written w;
  std::string state = "state(file=" + path("g") + ")";
  ASSERT_TRUE(writeAll("write.bin(file='' comp.gzip())", "", state, data, rng, w));
  std::string good = readFile(dir / "g");
  struct Damage {
    const char* name;
    std::string bytes;
  } damages[] = {{"truncated_half", good.substr(0, good.size() / 2)},
                 {"truncated_trailer", good.substr(0, good.size() - 3)},
                 {"header_only", good.substr(0, 12)},
                 {"trailing_garbage", good + "garbage!"},
                 {"not_gzip", "plain text, no magic"}};
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    writeFile(dir / "g", d.bytes);
    std::string back;
    trace[0] = '\0';
    for (const char* fs : {"read.bin(file=%s comp.gzip())", "input(file=%s cnv[gzip()])"}) {
      char fileString[512];
      snprintf(fileString, sizeof fileString, fs, path("g").c_str());
      auto r = readAll(fileString, "", rng, back);
      EXPECT_FALSE(r);
      EXPECT_NE(std::string(r.message()).find("gzip"), std::string::npos) << r.message();
      EXPECT_EQ(xiopsize(trace, fileString, ""), -1);
      EXPECT_EQ(errno, EIO);
    }
  }
  for (size_t at = 0; at < good.size(); at += 1 + good.size() / 300) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x41);
    writeFile(dir / "g", bad);
    std::string back;
    if (readAll(w.command, w.format, rng, back)) {
      EXPECT_TRUE(back == data) << "flip at " << at;
    }
  }
}

TEST_F(Failure, ConversionErrorsStopTheStream) {
  struct Case {
    const char* fileString;
    const char* format;
    std::string data;
    int error;
    const char* inTrace;
  } cases[] = {
      {"write.text(file=%s ccsid='IBM-1047')", "format.text()", "price: 5 \xE2\x82\xAC\n", EILSEQ,
       "byte 9 (bytes E2 82 AC"},
      {"write.text(file=%s ccsid='IBM-1047' method=NL)", "format.text()", "5 \xE2\x82\xAC\n",
       EILSEQ, "byte 2 (bytes E2 82 AC"},
      {"write.text(file=%s ccsid='EUC-JP' method=CRLF)", "format.text()", "5 \xE2\x82\xAC\n",
       EILSEQ, "U+20AC"},
      {"write.text(file=%s ccsid='IBM-1047')", "format.text()", "bad \xFF\xFE utf-8\n", EILSEQ,
       "invalid"},
      {"write.rec(file=%s recl=8)", "format.text()", "short\nthis line is too long\n", EINVAL,
       "longer than recl=8"},
      {"write.rec(file=%s recf=VAR recl=4)", "format.text()", "four\nfive!\n", EINVAL,
       "line 2 is longer than recl=4"},
  };
  for (const Case& c : cases) {
    char fileString[512];
    snprintf(fileString, sizeof fileString, c.fileString, path("c").c_str());
    SCOPED_TRACE(fileString);
    std::string state = "state(file='c')";
    trace[0] = '\0';
    XioHandle* h = xiopopen(trace, fileString, c.format, &state, 0);
    ASSERT_NE(h, nullptr) << trace;
    EXPECT_EQ(xiopwrite(trace, h, c.data.data(), c.data.size(), 0), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_NE(strstr(trace, c.inTrace), nullptr) << trace;
    EXPECT_NE(strstr(trace, "xiopwrite"), nullptr) << trace;
    EXPECT_EQ(xiopwrite(trace, h, "x", 1, static_cast<int64_t>(c.data.size())), -1);
    std::string cmd = "unchanged";
    EXPECT_NE(xiopclose(trace, h, nullptr, &cmd, nullptr), 0);
    EXPECT_EQ(cmd, "");
  }
}

// What gzip -d takes, the library takes: zero padding after the last member.
TEST_F(Failure, GzipFollowedByZeroPaddingReads) {
  std::string data = sampleText(2000, rng);
  writeFile(dir / "d", data);
  ASSERT_EQ(sh("gzip -c " + path("d") + " > " + path("g")), 0);
  std::string good = readFile(dir / "g");
  for (size_t zeros : {1, 511, 70000}) {
    SCOPED_TRACE(zeros);
    writeFile(dir / "g", good + std::string(zeros, '\0'));
    ASSERT_EQ(sh("gzip -t " + path("g")), 0);
    std::string back;
    ASSERT_TRUE(readAll("read.bin(file=" + path("g") + " comp.gzip())", "", rng, back));
    EXPECT_TRUE(back == data);
    EXPECT_EQ(xiopsize(trace, ("read.auto(file=" + path("g") + ")").c_str(), ""),
              static_cast<int64_t>(data.size()))
        << trace;
  }
  writeFile(dir / "g", good + std::string(100, '\0') + "x");
  std::string back;
  auto r = readAll("read.bin(file=" + path("g") + " comp.gzip())", "", rng, back);
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("trailing garbage"), std::string::npos) << r.message();
}

// A read that meets damaged (here: truncated) data returns what was decoded before it; the
// read after it fails, and a read back at the start decodes again.
TEST_F(Failure, DamageReturnsTheGoodBytesThenFails) {
  std::string data(600000, '\0');
  for (char& c : data) c = static_cast<char>('a' + rng() % 26);  // compresses little
  writeFile(dir / "d", data);
  ASSERT_EQ(sh("gzip -c " + path("d") + " > " + path("g")), 0);
  std::string gz = readFile(dir / "g");
  writeFile(dir / "g", gz.substr(0, gz.size() / 2));
  for (const char* fs : {"read.bin(file=%s comp.gzip())", "read.auto(file=%s)"}) {
    char fileString[512];
    snprintf(fileString, sizeof fileString, fs, path("g").c_str());
    SCOPED_TRACE(fileString);
    XioHandle* h = xiopopen(trace, fileString, "", nullptr, 0);
    ASSERT_NE(h, nullptr) << trace;
    std::string buf(data.size(), '\0');
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), 0);
    ASSERT_GT(n, 100000) << trace;
    ASSERT_LT(n, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(buf.substr(0, n) == data.substr(0, n));
    trace[0] = '\0';
    EXPECT_EQ(xiopread(trace, h, buf.data(), buf.size(), n), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(strstr(trace, "gzip"), nullptr) << trace;
    EXPECT_EQ(xiopread(trace, h, buf.data(), 10, 0), 10);
    EXPECT_EQ(buf.substr(0, 10), data.substr(0, 10));
    EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
  }
}

TEST_F(Failure, DamagedVariableRecords) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {{"length_below_4", std::string("\0\3\0\0", 4)},
               {"nonzero_second_half", std::string("\0\5\1\0x", 5)},
               {"truncated_body", std::string("\0\x0a\0\0abc", 7)},
               {"truncated_word", std::string("\0\5\0\0x\0", 6)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "v", c.bytes);
    std::string back;
    auto r =
        readAll("read.rec(file=" + path("v") + " recf=VAR recl=100)", "format.text()", rng, back);
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("record"), std::string::npos) << r.message();
  }
}

TEST_F(Failure, SizeOfMissingOrUnreadableFiles) {
  struct {
    std::string fileString;
    int error;
  } cases[] = {{"read.bin(file=" + path("none") + ")", ENOENT},
               {"read.bin(file=" + path("none") + " comp.gzip())", ENOENT},
               {"read.bin(file=" + quote(dir.path()) + " comp.gzip())", EISDIR},
               {"read.bin(file=" + path("x") + " comp.zstd())", ENOENT},
               {"read.bin(file=" + path("x") + " encr.age(identity='k'))", ENOENT}};
  for (const auto& c : cases) {
    trace[0] = '\0';
    EXPECT_EQ(xiopsize(trace, c.fileString.c_str(), ""), -1);
    EXPECT_EQ(errno, c.error) << trace;
    EXPECT_NE(strstr(trace, c.fileString.c_str()), nullptr) << trace;
    EXPECT_EQ(strncmp(trace, "xiopsize failed", 15), 0) << trace;
  }
}

// Random bytes through every reader: data or an error with a trace, never
// a crash (the sanitizer build runs this too).
TEST_F(Failure, RandomInputThroughEveryReader) {
  const char* readers[][2] = {
      {"read.bin(file=%s comp.gzip())", ""},
      {"read.bin(file=%s comp.zstd())", ""},
      {"read.bin(file=%s comp.xz())", ""},
      {"read.bin(file=%s comp.bzip2())", ""},
      {"read.bin(file=%s enc.base64())", ""},
      {"input(file=%s cnv[hex() gzip()])", ""},
      {"read.auto(file=%s)", ""},
      {"read.text(file=%s ccsid='IBM-1047' method=NL)", "format.text(ccsid='UTF-8' bom)"},
      {"read.text(file=%s ccsid='UTF-16LE' method=CRLF)", "format.text(ccsid='UTF-8')"},
      {"read.text(file=%s ccsid='UTF-8' method=CR)", "format.text(ccsid='ISO-8859-1')"},
      {"read.rec(file=%s recf=FIX recl=7 ccsid='IBM-1047')", "format.text()"},
      {"read.rec(file=%s recf=VAR recl=100)", "format.text(ccsid='UTF-16')"},
      {"input(file=%s cnv[gzip()] fmt.rec(recf=VAR recl=9))", "format.text()"}};
  for (int round = 0; round < 60; ++round) {
    std::string bytes(rng() % 3000, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % (round % 2 ? 256 : 8));
    static const std::string magics[] = {"\x1f\x8b", "\x28\xb5\x2f\xfd",
                                         "\xfd"
                                         "7zXZ",
                                         "BZh9"};
    if (round % 3 == 0 && bytes.size() > 6) bytes.replace(0, 4, magics[round / 3 % 4]);
    writeFile(dir / "rnd", bytes);
    for (const auto& r : readers) {
      char fileString[512];
      snprintf(fileString, sizeof fileString, r[0], path("rnd").c_str());
      std::string back;
      auto result = readAll(fileString, r[1], rng, back);
      if (!result) {
        EXPECT_NE(std::string(result.message()).find("failed"), std::string::npos);
      }
    }
  }
}

TEST_F(Failure, TraceStaysWithinItsBuffer) {
  memset(trace, 'x', sizeof trace - 10);
  trace[sizeof trace - 10] = '\0';
  EXPECT_EQ(xiopopen(trace, "read.bin(file='/nonexistent/really')", "", nullptr, 0), nullptr);
  EXPECT_EQ(trace[sizeof trace - 1], '\0');
  EXPECT_LT(strlen(trace), sizeof trace);
}

// A file string of 20000 bytes still gives a whole trace line: the call,
// the start of the physical name and of the file string, and the cause.
TEST_F(Failure, VeryLongStringsKeepTheCauseInTheTrace) {
  std::string name = "/nonexistent/" + std::string(20000 - 30, 'n');
  struct {
    std::string fileString;
    const char* cause;
  } cases[] = {{"read.bin(file='" + name + "')", "File name too long"},
               {"read.bin(file='x'" + std::string(20000, ' ') + "bad)", "does not parse"}};
  ASSERT_EQ(cases[0].fileString.size(), 20000u);
  for (const auto& c : cases) {
    trace[0] = '\0';
    EXPECT_EQ(xiopopen(trace, c.fileString.c_str(), "format.bin()", nullptr, 0), nullptr);
    size_t len = strnlen(trace, sizeof trace);
    ASSERT_LT(len, sizeof trace);
    EXPECT_EQ(strncmp(trace, "xiopopen failed", 15), 0) << trace;
    EXPECT_NE(strstr(trace, c.fileString.substr(0, 1000).c_str()), nullptr);
    EXPECT_NE(strstr(trace, c.cause), nullptr) << trace + len / 2;
    EXPECT_EQ(trace[len - 1], '\n');
    std::string note = "(" + std::to_string(c.fileString.size()) + " bytes)";
    EXPECT_NE(strstr(trace, note.c_str()), nullptr);
  }
}

}  // namespace
