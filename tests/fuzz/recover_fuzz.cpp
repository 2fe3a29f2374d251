// xiorecover over every layer: the first byte picks the write command the
// file is said to be written with, the rest is the physical file. The
// call must end (no hang), and then either have left the file byte for
// byte as it was (a failure), or made a file that reads back through the
// read command it gave, as long as it said, and that a second recovery
// finds complete and leaves alone.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "xiobyt/xiobyt.h"

namespace {

const char* const kWriters[][2] = {
    {"write.bin(file=%s comp.gzip())", ""},
    {"write.bin(file=%s comp.zstd())", ""},
    {"write.bin(file=%s comp.xz())", ""},
    {"write.bin(file=%s comp.bzip2())", ""},
    {"write.bin(file=%s enc.base64())", ""},
    {"write.bin(file=%s enc.hex())", ""},
    {"write.bin(file=%s comp.gzip() enc.base64())", ""},
    {"write.bin(file=%s comp.xz() enc.hex())", ""},
    {"write.text(file=%s ccsid='IBM-1047' method=NL comp.gzip())", "format.text()"},
    {"write.rec(file=%s recf=VAR recl=100 comp.zstd())", "format.text()"},
    // @KEY@: kTestIdentity written to a file of mode 0600.
    {"write.bin(file=%s encr.age(identity=@KEY@))", ""},
    {"write.bin(file=%s comp.zstd() encr.age(identity=@KEY@))", ""},
};
constexpr size_t kWriterCount = sizeof kWriters / sizeof kWriters[0];

// The key of the layers target: the saved age inputs are encrypted for it.
const char kTestIdentity[] =
    "# fuzz target "
    "key\nAGE-SECRET-KEY-1Y63N287XJE5ZAP4P06UFTWW06040HD5FU6PJ70907QV8SVGZJD4SVEJJAM\n";

std::string scratchDir() {
  char name[64];
  snprintf(name, sizeof name, "/tmp/xiobyt-fuzz-recover-%d", static_cast<int>(getpid()));
  mkdir(name, 0700);
  return name;
}

std::string readFile(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

int64_t readLength(const std::string& command, const std::string& format) {
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, command.c_str(), format.c_str(), nullptr, 0);
  if (!h) return -1;
  std::vector<char> buf(1 << 16);
  int64_t at = 0;
  for (;;) {
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), at);
    if (n <= 0) {
      xiopclose(trace, h, nullptr, nullptr, nullptr);
      return n < 0 ? -1 : at;
    }
    at += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  static const std::string dir = scratchDir();
  static const std::string key = [] {
    std::string name = dir + "/key.txt";
    if (FILE* f = fopen(name.c_str(), "wb")) {
      fputs(kTestIdentity, f);
      fclose(f);
    }
    chmod(name.c_str(), 0600);
    return "'" + name + "'";
  }();
  const std::string path = dir + "/file";
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (FILE* f = fopen(path.c_str(), "wb")) {
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  } else {
    return 0;
  }
  const auto& w = kWriters[data[0] % kWriterCount];
  char buf[512];
  snprintf(buf, sizeof buf, w[0], ("'" + path + "'").c_str());
  std::string command = buf;
  if (size_t at = command.find("@KEY@"); at != std::string::npos) command.replace(at, 5, key);

  char trace[XIO_TRACE_SIZE] = "";
  std::string reader, format;
  int64_t n = xiorecover(trace, command.c_str(), w[1], &reader, &format);
  if (n < 0) {
    if (readFile(path) != bytes) abort();  // a failure changes nothing
    return 0;
  }
  if (readLength(reader, format) != n) abort();
  const std::string recovered = readFile(path);
  trace[0] = '\0';
  if (xiorecover(trace, command.c_str(), w[1], nullptr, nullptr) != n) abort();
  if (readFile(path) != recovered) abort();  // complete: left alone
  return 0;
}
