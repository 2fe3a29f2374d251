// Failures of the system underneath that a test cannot provoke from
// outside: iconv_open and write are interposed (the calls reach the real
// ones unless a test arms a fault), so that the library's answer to an
// exhausted descriptor table or a write that takes nothing can be seen.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "xio_test.h"

namespace {
std::atomic<int> iconvOpens{0};
std::atomic<bool> iconvFails{false};
std::atomic<int> zeroWriteFd{-1};
std::atomic<int> zeroWrites{0};
}  // namespace

extern "C" iconv_t iconv_open(const char* to, const char* from) {
  using Fn = iconv_t (*)(const char*, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "iconv_open"));
  ++iconvOpens;
  if (iconvFails) {
    errno = EMFILE;
    return reinterpret_cast<iconv_t>(-1);
  }
  return real(to, from);
}

extern "C" ssize_t write(int fd, const void* data, size_t n) {
  using Fn = ssize_t (*)(int, const void*, size_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "write"));
  if (fd >= 0 && fd == zeroWriteFd) {
    // A caller that keeps trying gets an error it cannot mistake after a
    // while, so that the old endless loop fails the test instead of hanging.
    if (++zeroWrites > 1000) {
      errno = ELOOP;
      return -1;
    }
    return 0;
  }
  return real(fd, data, n);
}

using namespace xiotest;

namespace {

class FaultInjection : public ::testing::Test {
 protected:
  void TearDown() override {
    iconvFails = false;
    zeroWriteFd = -1;
  }
  // The descriptor the process holds on `path`.
  static int fdOf(const std::string& path) {
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(e.path(), ec) == path)
        return std::stoi(e.path().filename());
    }
    return -1;
  }
  TempDir dir;
  char trace[XIO_TRACE_SIZE] = "";
  std::mt19937 rng{23};
};

std::string numbered(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

TEST_F(FaultInjection, AFailedRestartKeepsTheHandleFailingUntilOneSucceeds) {
  std::string data = numbered(300000);
  Written w;
  ASSERT_TRUE(writeAll("write.text(file='' ccsid='IBM-1047' method=NL)", "format.text()",
                       "state(file=" + quote(dir / "e") + ")", data, rng, w));
  XioHandle* h = xiopopen(trace, w.command.c_str(), w.format.c_str(), nullptr, 0);
  ASSERT_NE(h, nullptr) << trace;
  char buf[100];
  const int64_t far = 2500000;
  ASSERT_EQ(xiopread(trace, h, buf, sizeof buf, far), 100) << trace;

  iconvFails = true;
  EXPECT_EQ(xiopread(trace, h, buf, 10, 0), -1);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_NE(strstr(trace, "start the stream over"), nullptr) << trace;
  // Forward of where the old stream stood: there is no stream to serve it.
  trace[0] = '\0';
  EXPECT_EQ(xiopread(trace, h, buf, sizeof buf, far + 100), -1);
  EXPECT_EQ(errno, EMFILE);

  iconvFails = false;
  ASSERT_EQ(xiopread(trace, h, buf, sizeof buf, far + 100), 100) << trace;
  EXPECT_EQ(std::string(buf, sizeof buf), data.substr(far + 100, 100));
  EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
}

// The daemon opens a handle for every file it reads: after the first, a
// handle opens no converter beyond those its stages convert with.
TEST_F(FaultInjection, EachConverterIsOpenedOnce) {
  writeFile(dir / "t", "text\n");
  writeFile(dir / "r", std::string(80, '@'));
  struct {
    const char* fileString;
    const char* format;
    bool write;
    int converters;
  } cases[] = {
      {"read.text(file=%s ccsid='IBM-1047' method=NL)", "format.text()", false, 1},
      {"read.text(file=%s ccsid='IBM-1047')", "format.text(ccsid='UTF-8')", false, 1},
      {"read.rec(file=%s recl=80 ccsid='IBM-1047')", "format.text()", false, 1},
      {"write.rec(file=%s recl=80 ccsid='IBM-1047')", "format.text()", true, 2},
      {"write.text(file=%s ccsid='UTF-16' bom)", "format.text()", true, 1},
      {"read.text(file=%s ccsid='IBM-1047')", "format.bin()", false, 0},
  };
  for (const auto& c : cases) {
    char fileString[512];
    snprintf(fileString, sizeof fileString, c.fileString,
             quote(dir / (c.write ? "w" : "t")).c_str());
    SCOPED_TRACE(fileString);
    for (int round = 0; round < 2; ++round) {
      std::string state = "state(file='x')";
      iconvOpens = 0;
      XioHandle* h = xiopopen(trace, fileString, c.format, c.write ? &state : nullptr, 0);
      ASSERT_NE(h, nullptr) << trace;
      int opens = iconvOpens;
      EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0) << trace;
      if (round == 1) {
        EXPECT_EQ(opens, c.converters);
      }
    }
  }
}

TEST_F(FaultInjection, AWriteThatTakesNothingFailsWithEio) {
  std::string file = dir / "z";
  for (const char* fs : {"write.bin(file=%s)", "write.bin(file=%s comp.gzip())"}) {
    SCOPED_TRACE(fs);
    char fileString[512];
    snprintf(fileString, sizeof fileString, fs, quote(file).c_str());
    std::string state = "state(file='z')";
    XioHandle* h = xiopopen(trace, fileString, "", &state, 0);
    ASSERT_NE(h, nullptr) << trace;
    ASSERT_EQ(xiopwrite(trace, h, "0123456789", 10, 0), 10) << trace;
    zeroWrites = 0;
    zeroWriteFd = fdOf(file);
    ASSERT_GE(zeroWriteFd, 0);
    EXPECT_EQ(xiopflush(trace, h, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(strstr(trace, "took none of"), nullptr) << trace;
    zeroWriteFd = -1;
    EXPECT_NE(xiopclose(trace, h, nullptr, nullptr, nullptr), 0);
  }
}

}  // namespace
