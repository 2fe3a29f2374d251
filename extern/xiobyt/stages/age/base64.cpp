// base64 of the age header: no padding, and only the canonical spelling
// of each value is accepted.
#include "xiobyt/stages/age/detail.h"

namespace xio::age {

namespace {

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string b64Encode(const uint8_t* p, size_t n) {
  std::string s;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    acc = acc << 8 | p[i];
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      s += kB64[(acc >> bits) & 63];
    }
  }
  if (bits > 0) s += kB64[(acc << (6 - bits)) & 63];
  return s;
}

bool b64Decode(const char* s, size_t n, std::vector<uint8_t>& out) {
  out.clear();
  if (n % 4 == 1) return false;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    int v = b64Value(s[i]);
    if (v < 0) return false;
    acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return (acc & ((1u << bits) - 1)) == 0;
}

}  // namespace xio::age
