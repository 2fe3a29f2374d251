// Bech32, the encoding of the AGE-SECRET-KEY-1 lines of an identity file.
#include <cctype>
#include <cstring>

#include "xiobyt/stages/age/detail.h"

namespace xio::age {

namespace {

constexpr char kBech32[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

uint32_t polymod(uint32_t chk, uint8_t v) {
  static const uint32_t gen[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
  uint8_t top = static_cast<uint8_t>(chk >> 25);
  chk = (chk & 0x1ffffff) << 5 ^ v;
  for (int i = 0; i < 5; ++i)
    if ((top >> i) & 1) chk ^= gen[i];
  return chk;
}

}  // namespace

bool bech32Decode(const char* s, size_t n, const char* hrp, SecretBytes& out) {
  size_t h = strlen(hrp);
  if (n < h + 1 + 6 || s[h] != '1') return false;
  for (size_t i = 0; i < n; ++i)
    if (s[i] >= 'a' && s[i] <= 'z') return false;  // age-keygen writes upper case
  for (size_t i = 0; i < h; ++i)
    if (tolower(static_cast<unsigned char>(s[i])) != hrp[i]) return false;
  uint32_t chk = 1;
  for (size_t i = 0; i < h; ++i) chk = polymod(chk, static_cast<uint8_t>(hrp[i] >> 5));
  chk = polymod(chk, 0);
  for (size_t i = 0; i < h; ++i) chk = polymod(chk, static_cast<uint8_t>(hrp[i] & 31));
  SecretBytes five(n - h - 1);
  for (size_t i = h + 1; i < n; ++i) {
    const char* at = strchr(kBech32, tolower(static_cast<unsigned char>(s[i])));
    if (at == nullptr || *at == '\0') return false;
    five.data()[i - h - 1] = static_cast<uint8_t>(at - kBech32);
    chk = polymod(chk, five.data()[i - h - 1]);
  }
  if (chk != 1) return false;
  size_t groups = five.size() - 6;
  out.resize(groups * 5 / 8);
  uint32_t acc = 0;
  int bits = 0;
  size_t k = 0;
  for (size_t i = 0; i < groups; ++i) {
    acc = (acc << 5 | five.data()[i]) & 0xFFF;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out.data()[k++] = static_cast<uint8_t>(acc >> bits);
    }
  }
  return bits < 5 && (five.data()[groups - 1] & ((1u << bits) - 1)) == 0;
}

}  // namespace xio::age
