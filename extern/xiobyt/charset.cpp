#include "xiobyt/charset.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace xio {

namespace {

// Grows `out` so that at least `need` bytes are free past `used`. Only the
// bytes asked for are added (the string's own growth keeps reallocation
// amortised): many small conversions appended to one long output, a record
// at a time, must not each fill half the output with zeros.
void ensureRoom(std::string& out, size_t used, size_t need) {
  if (out.size() - used < need) out.resize(used + need);
}

}  // namespace

int convertAppend(iconv_t cd, const uint8_t* src, size_t n, bool end, std::string& carry,
                  std::string& out, uint64_t& consumed, std::string& why, double growth) {
  std::string joined;
  const char* input = reinterpret_cast<const char*>(src);
  size_t inLeft = n;
  if (!carry.empty()) {
    joined = carry;
    joined.append(input, n);
    carry.clear();
    input = joined.data();
    inLeft = joined.size();
  }
  size_t used = out.size();
  ensureRoom(out, used, static_cast<size_t>(static_cast<double>(inLeft) * growth) + 64);
  char* in = const_cast<char*>(input);
  while (inLeft > 0) {
    char* dst = out.data() + used;
    size_t room = out.size() - used;
    size_t before = inLeft;
    size_t rc = iconv(cd, &in, &inLeft, &dst, &room);
    consumed += before - inLeft;
    used = out.size() - room;
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      ensureRoom(out, used, inLeft * 2 + 64);
    } else if (errno == EINVAL) {  // cut sequence: wait for the rest
      carry.assign(in, inLeft);
      inLeft = 0;
    } else {
      out.resize(used);
      why = "invalid or unconvertible character at input byte " + std::to_string(consumed) +
            " (bytes";
      for (size_t k = 0; k < std::min<size_t>(inLeft, 4); ++k) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02X", static_cast<unsigned char>(in[k]));
        why += hex;
      }
      why += ")";
      return EILSEQ;
    }
  }
  if (end) {
    if (!carry.empty()) {
      out.resize(used);
      why = "incomplete character at the end of the data (input byte " + std::to_string(consumed) +
            ")";
      return EINVAL;
    }
    for (;;) {  // close the shift state of stateful character sets
      ensureRoom(out, used, 64);
      char* dst = out.data() + used;
      size_t room = out.size() - used;
      size_t rc = iconv(cd, nullptr, nullptr, &dst, &room);
      used = out.size() - room;
      if (rc != static_cast<size_t>(-1)) break;
      if (errno != E2BIG) break;
    }
  }
  out.resize(used);
  return 0;
}

bool knownCharset(const std::string& name) {
  IconvGuard probe;
  return probe.open(kWide, name) == 0;
}

int checkCharset(const std::string& name, std::string& why) {
  if (knownCharset(name)) return 0;
  why = "unknown character set '" + name + "'";
  return EINVAL;
}

int openConverter(IconvGuard& guard, const std::string& to, const std::string& from,
                  std::string& why) {
  int rc = guard.open(to, from);
  if (rc == EINVAL) {
    const std::string& unknown = knownCharset(from) ? to : from;
    why = "unknown character set '" + unknown + "' (conversion from " + from + " to " + to +
          " not available)";
  } else if (rc != 0) {
    why = "cannot convert from " + from + " to " + to + ": " + strerror(rc);
  }
  return rc;
}

int encodeChars(const std::string& charset, std::u32string_view chars, std::string& out,
                std::string& why) {
  IconvGuard cd;
  if (int rc = openConverter(cd, charset, kWide, why)) return rc;
  std::wstring wide(chars.begin(), chars.end());
  std::string carry;
  uint64_t consumed = 0;
  out.clear();
  int rc = convertAppend(cd.get(), reinterpret_cast<const uint8_t*>(wide.data()),
                         wide.size() * sizeof(wchar_t), true, carry, out, consumed, why);
  if (rc != 0) why = "not representable in character set '" + charset + "'";
  return rc;
}

bool decodeUtf8(std::string_view text, std::u32string& out) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) return false;
    char32_t c = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      auto cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) return false;
      c = (c << 6) | (cb & 0x3F);
    }
    out.push_back(c);
    i += len;
  }
  return true;
}

}  // namespace xio
