// xiovsn and xioabo: the library's version and what it was built with.
#include <zlib.h>

#include <string>

#include "xiobyt/xiobyt.h"

namespace {
constexpr char kVersion[] = "0.1.0";
}  // namespace

const char* xiovsn() { return kVersion; }

const char* xioabo() {
  static const std::string about = std::string("xiobyt ") + kVersion +
                                   ": conversion byte interface of vaskFS (bin, text and records "
                                   "through iconv, gzip through zlib " +
                                   zlibVersion() + ")";
  return about.c_str();
}
