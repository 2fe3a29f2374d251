// What a handle costs before it is used: the daemon opens one for every
// file it reads and sizes every file it meets.
#include "xio_test.h"

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

}  // namespace
