// Helpers of the xiobyt tests: a temporary directory, whole-stream writes
// and reads through the byte interface in random chunks, and shell tools.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "xiobyt/xiobyt.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator keeps its own count (its header does not
// ship with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace xiotest {

// The heap in use by the process (the sanitizer's count under ASan, whose
// allocator malloc's statistics do not see).
inline size_t allocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/xiobyt-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Runs a shell command; returns its exit status.
inline int sh(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Runs a shell command and returns its standard output; `status` gets its
// exit status.
inline std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// Chunk sizes from 1 byte up, mostly small, sometimes large.
inline size_t chunkSize(std::mt19937& rng, size_t left) {
  static const size_t limits[] = {1, 7, 100, 4096, 70000, 1 << 20};
  size_t limit = limits[rng() % 6];
  return std::min<size_t>(left, 1 + rng() % limit);
}

struct Written {
  std::string command, format;
  XioStateList states;
};

// Writes `data` through a new handle in random chunks and closes it.
inline ::testing::AssertionResult writeAll(const std::string& fileString, const std::string& format,
                                           const std::string& state, const std::string& data,
                                           std::mt19937& rng, Written& out, int64_t start = 0) {
  char trace[XIO_TRACE_SIZE] = "";
  std::string st = state;
  XioHandle* h = xiopopen(trace, fileString.c_str(), format.c_str(), &st, start);
  if (!h) return ::testing::AssertionFailure() << "open: " << trace;
  for (size_t at = 0; at < data.size();) {
    size_t n = chunkSize(rng, data.size() - at);
    if (xiopwrite(trace, h, data.data() + at, n, start + static_cast<int64_t>(at)) !=
        static_cast<int64_t>(n)) {
      xiopclose(trace, h, nullptr, nullptr, nullptr);
      return ::testing::AssertionFailure() << "write: " << trace;
    }
    at += n;
  }
  if (xiopclose(trace, h, &out.states, &out.command, &out.format) != 0)
    return ::testing::AssertionFailure() << "close: " << trace;
  return ::testing::AssertionSuccess();
}

// Reads a whole stream in random chunks; `inverse` receives the write command.
inline ::testing::AssertionResult readAll(const std::string& fileString, const std::string& format,
                                          std::mt19937& rng, std::string& data,
                                          std::string* inverse = nullptr,
                                          std::string* inverseFormat = nullptr) {
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, fileString.c_str(), format.c_str(), nullptr, 0);
  if (!h) return ::testing::AssertionFailure() << "open: " << trace;
  data.clear();
  std::string buf;
  for (;;) {
    buf.resize(chunkSize(rng, 1 << 21));
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), static_cast<int64_t>(data.size()));
    if (n < 0) {
      xiopclose(trace, h, nullptr, nullptr, nullptr);
      return ::testing::AssertionFailure() << "read: " << trace;
    }
    if (n == 0) break;
    data.append(buf, 0, static_cast<size_t>(n));
  }
  XioStateList states;
  if (xiopclose(trace, h, &states, inverse, inverseFormat) != 0)
    return ::testing::AssertionFailure() << "close: " << trace;
  return ::testing::AssertionSuccess();
}

// Lines of printable text, some long, some empty, with accented letters
// that every Latin character set holds.
inline std::string sampleText(size_t lines, std::mt19937& rng, const char* end = "\n",
                              size_t maxWords = 12) {
  static const char* words[] = {"alpha", "Bäume", "été", "x", "", "vaskFS", "0123456789", "ñ"};
  std::string s;
  for (size_t i = 0; i < lines; ++i) {
    size_t n = rng() % maxWords;
    for (size_t k = 0; k < n; ++k) s += std::string(k ? " " : "") + words[rng() % 8];
    s += end;
  }
  return s;
}

inline std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace xiotest
