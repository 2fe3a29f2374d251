// xiovsn and xioabo: the library's version and what it was built with.
#include <bzlib.h>
#include <lzma.h>
#include <openssl/crypto.h>
#include <zlib.h>
#include <zstd.h>

#include <string>

#include "xiobyt/xiobyt.h"

namespace {
constexpr char kVersion[] = "0.1.0";
}  // namespace

const char* xiovsn() { return kVersion; }

const char* xioabo() {
  static const std::string about =
      std::string("xiobyt ") + kVersion +
      ": conversion byte interface of vaskFS (bin, text and records through iconv; gzip through "
      "zlib " +
      zlibVersion() + ", zstd through libzstd " + ZSTD_versionString() + ", xz through liblzma " +
      lzma_version_string() + ", bzip2 through libbz2 " + BZ2_bzlibVersion() +
      ", age v1 encryption through OpenSSL " + OpenSSL_version(OPENSSL_VERSION_STRING) +
      "; base64 and hex)\n";
  return about.c_str();
}
