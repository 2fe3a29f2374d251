// Physical files are standard files: gzip, iconv and dd read what the
// library writes, and the library reads what they write.
#include <cstring>

#include "xio_test.h"

using namespace xiotest;

namespace {

std::string stateFor(const std::string& physical, const std::string& comment = "made by a test") {
  return "state(file=" + quote(physical) + " comment=" + quote(comment) + ")";
}

class Interop : public ::testing::Test {
 protected:
  TempDir dir;
  std::mt19937 rng{11};
};

TEST_F(Interop, GzipToolReadsWhatIsWrittenWithNameAndComment) {
  std::string data = sampleText(40000, rng);
  std::string file = dir / "out.gz";
  Written w;
  ASSERT_TRUE(writeAll("write.bin(file='' comp.gzip(level=9))", "", stateFor(file, "vaskFS 0.1.0"),
                       data, rng, w));
  EXPECT_EQ(sh("gzip -t '" + file + "'"), 0);
  int status = -1;
  EXPECT_TRUE(run("gzip -dc '" + file + "'", &status) == data);
  EXPECT_EQ(status, 0);
  // FEXTRA (the size subfield: the member's and the data's length), then
  // FNAME and FCOMMENT follow the fixed header.
  std::string raw = readFile(file);
  ASSERT_GT(raw.size(), 32u);
  EXPECT_EQ(raw[3] & 0x1C, 0x1C);
  EXPECT_EQ(raw.compare(10, 6, std::string("\x14\0vk\x10\0", 6)), 0);
  auto le64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(raw[at + i]);
    return v;
  };
  EXPECT_EQ(le64(16), raw.size());
  EXPECT_EQ(le64(24), data.size());
  EXPECT_EQ(raw.compare(32, file.size() + 1, std::string(file.c_str(), file.size() + 1)), 0);
  EXPECT_EQ(raw.compare(33 + file.size(), 13, std::string("vaskFS 0.1.0\0", 13)), 0);
}

TEST_F(Interop, AppendingAddsAMemberThatGzipConcatenates) {
  std::string file = dir / "log.gz";
  std::string first = sampleText(3000, rng), second = sampleText(2000, rng);
  Written w;
  ASSERT_TRUE(writeAll("write.bin(file='' comp.gzip())", "", stateFor(file), first, rng, w));
  ASSERT_TRUE(writeAll("write.bin(file='' comp.gzip())", "", stateFor(file), second, rng, w,
                       static_cast<int64_t>(first.size())));
  EXPECT_EQ(sh("gzip -t '" + file + "'"), 0);
  EXPECT_TRUE(run("gzip -dc '" + file + "'") == first + second);
  std::string back;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back));
  EXPECT_TRUE(back == first + second);
}

TEST_F(Interop, ReadsFilesMadeByGzipAlsoConcatenated) {
  std::string a = sampleText(5000, rng), b(100000, 'b');
  writeFile(dir / "a", a);
  writeFile(dir / "b", b);
  ASSERT_EQ(sh("cd '" + dir.path() + "' && gzip -6 -c a > one.gz && gzip -1 -c b > two.gz && " +
               "cat one.gz two.gz one.gz > three.gz"),
            0);
  struct Case {
    const char* file;
    std::string data;
  } cases[] = {{"one.gz", a}, {"three.gz", a + b + a}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string path = quote(dir / c.file), back, inverse;
    ASSERT_TRUE(readAll("read.bin(file=" + path + " comp.gzip())", "", rng, back));
    EXPECT_TRUE(back == c.data);
    ASSERT_TRUE(readAll("input(file=" + path + " cnv[gzip()] fmt.bin())", "", rng, back));
    EXPECT_TRUE(back == c.data);
    ASSERT_TRUE(readAll("read.auto(file=" + path + ")", "", rng, back, &inverse));
    EXPECT_TRUE(back == c.data);
    EXPECT_EQ(inverse, "write.bin(file=" + path + " comp.gzip(level=6))");
  }
  std::string plain = quote(dir / "a"), back, inverse;
  ASSERT_TRUE(readAll("read.auto(file=" + plain + ")", "", rng, back, &inverse));
  EXPECT_TRUE(back == a);
  EXPECT_EQ(inverse, "write.bin(file=" + plain + ")");
}

// Line ends are characters: NL is U+0085, 0x15 in EBCDIC.
TEST_F(Interop, EbcdicWithNlMatchesIconv) {
  std::string lines = sampleText(20000, rng) + "last line without end";
  std::string nl = lines;
  for (size_t at = 0; (at = nl.find('\n', at)) != std::string::npos; at += 2)
    nl.replace(at, 1, "\xC2\x85");
  writeFile(dir / "nl.utf8", nl);
  std::string expected = run("iconv -f UTF-8 -t IBM-1047 '" + (dir / "nl.utf8") + "'");
  ASSERT_FALSE(expected.empty());

  std::string file = dir / "e.txt";
  Written w;
  ASSERT_TRUE(writeAll("write.text(file='' ccsid='IBM-1047' method=NL)",
                       "format.text(ccsid='UTF-8' method=LF)", stateFor(file), lines, rng, w));
  EXPECT_TRUE(readFile(file) == expected);
  EXPECT_EQ(w.command, "read.text(file=" + quote(file) + " ccsid='IBM-1047' method=NL)");
  EXPECT_EQ(w.format, "format.text(ccsid='UTF-8' method=LF)");

  // And what iconv made reads back as the UTF-8 lines.
  writeFile(dir / "made", expected);
  std::string back;
  ASSERT_TRUE(readAll("read.text(file=" + quote(dir / "made") + " ccsid='IBM-1047' method=NL)",
                      "format.text(ccsid='UTF-8')", rng, back));
  EXPECT_TRUE(back == lines);
}

// One line-end character for another in a single-byte set is a byte for a
// byte; the target's own line end, already in the data, stays as it is,
// the same as through code points.
TEST_F(Interop, LineEndsOfSingleByteSetsMapBothWays) {
  struct {
    const char* ccsid;
    const char* method;
    std::string text;  // UTF-8, LF
    std::string file;
  } cases[] = {{"IBM-1047", "NL", "a\nb\xC2\x85\n", "\x81\x15\x82\x15\x15"},
               {"ISO-8859-1", "CR", "\xC3\xA9\n\r\n", "\xE9\r\r\r"},
               {"IBM037", "CR", "x\n", "\xA7\x0D"}};
  std::mt19937 rng{5};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ccsid);
    std::string file = dir / "m", spec = std::string("ccsid='") + c.ccsid + "' method=" + c.method;
    Written w;
    ASSERT_TRUE(writeAll("write.text(file='' " + spec + ")", "format.text()", stateFor(file),
                         c.text, rng, w));
    EXPECT_TRUE(readFile(file) == c.file) << readFile(file);
    std::string back;
    ASSERT_TRUE(readAll("read.text(file=" + quote(file) + " " + spec + ")", "format.text()", rng,
                        back));
    std::string expected = c.text;  // every line end of the file reads as LF
    for (size_t at; (at = expected.find("\xC2\x85")) != std::string::npos;)
      expected.replace(at, 2, "\n");
    for (size_t at; (at = expected.find('\r')) != std::string::npos;) expected.replace(at, 1, "\n");
    EXPECT_TRUE(back == expected) << back;
  }
  // A file's LF where NL is the line end reads as a line end as well.
  writeFile(dir / "m", "\x81\x25\x82\x15");
  std::string back;
  ASSERT_TRUE(readAll("read.text(file=" + quote(dir / "m") + " ccsid='IBM-1047' method=NL)",
                      "format.text()", rng, back));
  EXPECT_EQ(back, "a\nb\n");
}

TEST_F(Interop, FixedRecordsMatchDdBlockAndUnblock) {
  std::string lines;
  for (int i = 0; i < 5000; ++i)
    lines += std::string(static_cast<size_t>(i % 81), static_cast<char>('a' + i % 26)) +
             (i % 7 ? " tail" : "") + "\n";
  for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
    if (end - at > 80) lines.erase(at + 80, end - at - 80), end = at + 80;
  lines += "no final line end";
  writeFile(dir / "lines", lines);
  std::string blocked = run("dd if='" + (dir / "lines") + "' conv=block cbs=80 status=none");
  std::string file = dir / "fix80";
  Written w;
  ASSERT_TRUE(writeAll("write.rec(file='' recf=FIX recl=80)", "format.text()", stateFor(file),
                       lines, rng, w));
  EXPECT_EQ(readFile(file).size(), blocked.size());
  EXPECT_TRUE(readFile(file) == blocked);

  std::string unblocked = run("dd if='" + file + "' conv=unblock cbs=80 status=none");
  std::string back;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back));
  EXPECT_TRUE(back == unblocked);
}

// The name in file= is relative to the working directory (the daemon's is
// the root); the inverse command carries it as given.
TEST_F(Interop, NamesAreRelativeToTheWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  mkdir("sub", 0755);
  Written w;
  auto ok = writeAll("write.text(file='' ccsid='ISO-8859-1')", "format.text()",
                     "state(file='sub/x''y.txt')", "caf\xC3\xA9\n", rng, w);
  std::string raw = readFile("sub/x'y.txt");
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(raw, "caf\xE9\n");
  EXPECT_EQ(w.command, "read.text(file='sub/x''y.txt' ccsid='ISO-8859-1' method=LF)");
}

// iconv's UTF-16 and UTF-32 encoders start each conversion with a mark;
// a file gets one mark, at its start, and only with bom, and iconv reads
// it back as the text written, per line and per record too.
TEST_F(Interop, Utf16AndUtf32CarryOneMarkOnlyWithBom) {
  std::string lines = "first line\nzweite Zeile \xC3\xBC\n\nlast\n";
  struct Case {
    const char* fileString;
    const char* iconvFrom;  // what the tool reads the file as
    bool mark;
  } cases[] = {{"write.text(file='' ccsid='UTF-16')", "UTF-16", false},
               {"write.text(file='' ccsid='UTF-16' bom)", "UTF-16", true},
               {"write.text(file='' ccsid='UTF-32' bom method=CRLF)", "UTF-32", true},
               {"write.text(file='' ccsid='UTF-32')", "UTF-32", false},
               {"write.rec(file='' recf=VAR recl=80 ccsid='UTF-16')", nullptr, false},
               {"write.rec(file='' recf=FIX recl=40 ccsid='UTF-16')", nullptr, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileString);
    std::string file = dir / "u";
    Written w;
    ASSERT_TRUE(writeAll(c.fileString, "format.text()", stateFor(file), lines, rng, w));
    std::string raw = readFile(file);
    size_t marks = 0;
    for (const char* m : {"\xFF\xFE", "\xFE\xFF"})
      for (size_t at = 0; (at = raw.find(m, at)) != std::string::npos; at += 2) ++marks;
    EXPECT_EQ(marks, c.mark ? 1u : 0u);
    if (c.mark) {
      EXPECT_TRUE(raw.compare(0, 2, "\xFF\xFE") == 0 || raw.compare(0, 2, "\xFE\xFF") == 0);
    }
    if (c.iconvFrom) {
      std::string want = lines;
      if (strstr(c.fileString, "CRLF"))
        for (size_t at = 0; (at = want.find('\n', at)) != std::string::npos; at += 2)
          want.insert(at, "\r");
      EXPECT_EQ(run("iconv -f " + std::string(c.iconvFrom) + " -t UTF-8 '" + file + "'"), want);
    }
    std::string back;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back));
    EXPECT_EQ(back, lines);
  }
  // Reading into UTF-16: one mark with bom, none without.
  writeFile(dir / "l", lines);
  for (bool bom : {false, true}) {
    std::string back;
    ASSERT_TRUE(readAll("read.text(file=" + quote(dir / "l") + ")",
                        bom ? "format.text(ccsid='UTF-16' bom)" : "format.text(ccsid='UTF-16')",
                        rng, back));
    writeFile(dir / "back", back);
    EXPECT_EQ(back.compare(0, 2, "\xFF\xFE") == 0, bom);
    EXPECT_EQ(run("iconv -f UTF-16 -t UTF-8 '" + (dir / "back") + "'"), lines);
  }
}

}  // namespace
