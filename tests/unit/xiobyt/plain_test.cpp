// Which strings convert nothing: those files are used as plain files.
#include <cerrno>

#include "xio_test.h"

namespace {

TEST(PlainStrings, OnlyBinWithoutLayersOrTextFormatIsPlain) {
  struct {
    const char* fileString;
    const char* format;  // null: no format string
    int result;
  } cases[] = {
      {"write.bin(file='a')", nullptr, 1},
      {"read.bin(file='a')", "", 1},
      {"write.bin(file='')", "format.bin()", 1},
      {"READ.BIN(FILE='a')", "FORMAT.BIN()", 1},
      {"output(file='a')", "", 1},
      {"input(file='a' cnv[] fmt.bin())", "format.bin()", 1},
      {"write.bin(file='a' comp.gzip())", "", 0},
      {"read.bin(file='a' comp.zstd(level=3))", "", 0},
      {"read.bin(file='a' enc.base64())", "", 0},
      {"read.bin(file='a' encr.age(passphrase='p'))", "", 0},
      {"input(file='a' cnv[hex()])", "", 0},
      {"output(file='a' cnv[age(identity='k')] fmt.bin())", "", 0},
      {"read.auto(file='a')", "", 0},
      {"write.text(file='a')", "", 0},
      {"read.text(file='a')", "format.bin()", 0},
      {"input(file='a' fmt.text())", "", 0},
      {"write.rec(file='a' recl=80)", "format.text()", 0},
      {"read.bin(file='a')", "format.text()", 0},
      {"write.bin(file='a'", "", -1},
      {"write.bin(file='a' comp.gzip(level=10))", "", -1},
      {"bogus(file='a')", "", -1},
      {"read.bin(file='a')", "format.text(method=XY)", -1},
      {"read.bin(file='a')", "format", -1},
      {nullptr, "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fileString ? c.fileString : "(null)") + " / " +
                 (c.format ? c.format : "(null)"));
    errno = 0;
    EXPECT_EQ(xioisplain(c.fileString, c.format), c.result);
    if (c.result < 0) {
      EXPECT_EQ(errno, EINVAL);
    }
  }
}

}  // namespace
