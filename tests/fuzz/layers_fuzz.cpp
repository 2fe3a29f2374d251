// The reader of every layer and data kind: the first byte picks the reader,
// the rest is the physical file. Each file is read whole in chunks of
// varying size, sized, and read again backwards from the middle; any
// outcome but a crash, a sanitizer report or a hang is fine, and a
// successful read must agree with xiopsize.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "xiobyt/xiobyt.h"

namespace {

const char* const kReaders[][2] = {
    {"read.bin(file=%s comp.gzip())", ""},
    {"read.bin(file=%s comp.zstd())", ""},
    {"read.bin(file=%s comp.xz())", ""},
    {"read.bin(file=%s comp.bzip2())", ""},
    {"read.bin(file=%s enc.base64())", ""},
    {"read.bin(file=%s enc.hex())", ""},
    {"read.auto(file=%s)", ""},
    {"read.text(file=%s ccsid='IBM-1047' method=NL)", "format.text(ccsid='UTF-8' bom)"},
    {"read.text(file=%s ccsid='UTF-16' method=CRLF)", "format.text(ccsid='UTF-8')"},
    {"read.rec(file=%s recf=FIX recl=7 ccsid='IBM-1047')", "format.text()"},
    {"read.rec(file=%s recf=VAR recl=100)", "format.text(ccsid='UTF-16')"},
    {"input(file=%s cnv[base64() zstd()] fmt.text(method=CRLF))", "format.text()"},
    // @KEY@: kTestIdentity written to a file of mode 0600.
    {"read.bin(file=%s encr.age(identity=@KEY@))", ""},
};
constexpr size_t kReaderCount = sizeof kReaders / sizeof kReaders[0];

// A key made for this target only (the saved age inputs are encrypted for it).
const char kTestIdentity[] =
    "# fuzz target "
    "key\nAGE-SECRET-KEY-1Y63N287XJE5ZAP4P06UFTWW06040HD5FU6PJ70907QV8SVGZJD4SVEJJAM\n";

std::string identityFile(const std::string& scratch) {
  std::string name = scratch + ".key";
  FILE* f = fopen(name.c_str(), "wb");
  if (f) {
    fputs(kTestIdentity, f);
    fclose(f);
  }
  chmod(name.c_str(), 0600);
  return "'" + name + "'";
}

std::string scratch() {
  char name[64];
  snprintf(name, sizeof name, "/tmp/xiobyt-fuzz-%d", static_cast<int>(getpid()));
  return name;
}

int64_t readWhole(XioHandle* h, char* trace, size_t step) {
  std::vector<char> buf(step);
  int64_t at = 0;
  for (;;) {
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), at);
    if (n < 0) return -1;
    if (n == 0) return at;
    at += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  static const std::string path = scratch();
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  fwrite(data + 1, 1, size - 1, f);
  fclose(f);
  static const std::string key = identityFile(path);
  const auto& r = kReaders[data[0] % kReaderCount];
  char buf[512];
  snprintf(buf, sizeof buf, r[0], ("'" + path + "'").c_str());
  std::string command = buf;
  if (size_t at = command.find("@KEY@"); at != std::string::npos) command.replace(at, 5, key);
  const char* fs = command.c_str();
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, fs, r[1], nullptr, 0);
  if (!h) return 0;
  int64_t whole = readWhole(h, trace, 1 + data[0] % 7 * 4093);
  if (whole > 2) {
    char b[16];
    xiopread(trace, h, b, sizeof b, whole / 2);  // backwards: the stream starts over
  }
  std::string inverse;
  XioStateList states;
  xiopclose(trace, h, &states, &inverse, nullptr);
  trace[0] = '\0';
  int64_t size2 = xiopsize(trace, fs, r[1]);
  // zstd and xz may be sized from an index that damaged data contradicts.
  size_t reader = data[0] % kReaderCount;
  bool indexed = reader == 1 || reader == 2 || reader == 6;
  if (whole >= 0 && size2 != whole && !indexed) abort();
  return 0;
}
