// Files written by earlier releases must still read: each fixture was made
// by the release in its name from the same four lines.
#include "xio_test.h"

using namespace xiotest;

namespace {

TEST(Fixtures, FilesOfEarlierReleasesStillRead) {
  const std::string text = "fixture line 1\nzwei: B\xC3\xA4ume\n\nlast line\n";
  const char* readers[][2] = {
      {"read.bin(file='%s/v0.1.0.gz' comp.gzip())", ""},
      {"read.auto(file='%s/v0.1.0.gz')", ""},
      {"read.text(file='%s/v0.1.0.ebcdic' ccsid='IBM-1047' method=NL)", "format.text()"},
      {"read.rec(file='%s/v0.1.0.var' recf=VAR recl=100 ccsid='IBM-1047')", "format.text()"},
      {"read.rec(file='%s/v0.1.0.fix' recf=FIX recl=20)", "format.text()"},
      {"read.text(file='%s/v0.1.0.utf16' ccsid='UTF-16LE' method=CRLF)", "format.text()"}};
  std::mt19937 rng(9);
  for (const auto& r : readers) {
    char fileString[1024];
    snprintf(fileString, sizeof fileString, r[0], XIOBYT_FIXTURES);
    SCOPED_TRACE(fileString);
    std::string back;
    ASSERT_TRUE(readAll(fileString, r[1], rng, back));
    EXPECT_EQ(back, text);
  }
}

}  // namespace
