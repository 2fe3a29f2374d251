#include "xiobyt/charset.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

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

namespace {

// What a character set's name tells, found out once per process: the daemon
// opens a handle for every file it reads, and each iconv_open costs a
// module lookup. Guarded by one mutex; entries are never removed.
struct CharsetFacts {
  // Guards the four maps. Held while a fact is probed (an iconv_open and a
  // conversion of a few characters, once per set and process), so that
  // threads asking at once probe it once.
  std::mutex lock;
  std::map<std::string, bool> known;
  std::map<std::string, std::string> encoder;
  std::map<std::string, bool> singleByte;
  std::map<std::pair<std::string, std::u32string>, std::pair<int, std::string>> encoded;
};

CharsetFacts& facts() {
  static CharsetFacts f;
  return f;
}

// The fact kept for `key` in one of the maps of facts(), found out by
// `probe` the first time (under the lock, so each is probed once).
template <class Map, class Probe>
typename Map::mapped_type remembered(Map& map, const typename Map::key_type& key, Probe probe) {
  std::lock_guard<std::mutex> guard(facts().lock);
  auto it = map.find(key);
  if (it == map.end()) it = map.emplace(key, probe()).first;
  return it->second;
}

// Encodes with a converter of its own, bypassing the facts.
int encodeWith(const std::string& to, std::u32string_view chars, std::string& out,
               std::string& why) {
  IconvGuard cd;
  if (int rc = cd.open(to, kWide)) {
    why = "unknown character set '" + to + "'";
    return rc;
  }
  std::wstring wide(chars.begin(), chars.end());
  std::string carry;
  uint64_t consumed = 0;
  out.clear();
  int rc = convertAppend(cd.get(), reinterpret_cast<const uint8_t*>(wide.data()),
                         wide.size() * sizeof(wchar_t), true, carry, out, consumed, why);
  if (rc != 0) why = "not representable in character set '" + to + "'";
  return rc;
}

// iconv's encoders of UTF-16 and UTF-32 (and aliases such as UNICODE)
// start every conversion with a byte-order mark. A file gets one only where
// it is asked for, at its start, so such a set is encoded through its
// explicit-endian form: the one its own decoder assumes without a mark.
std::string findEncoder(const std::string& charset) {
  std::string one, two, why;
  if (encodeWith(charset, U"A", one, why) || encodeWith(charset, U"AA", two, why)) return charset;
  if (two.size() >= 2 * one.size()) return charset;  // no mark
  static const char* const kForms[][2] = {{"UTF-16LE", "UTF-16BE"}, {"UTF-32LE", "UTF-32BE"}};
  size_t unit = two.size() - one.size();
  if (unit != 2 && unit != 4) return charset;
  for (const char* candidate : kForms[unit / 4]) {
    std::string bytes;
    if (encodeWith(candidate, U"A", bytes, why)) continue;
    IconvGuard back;
    if (back.open("UTF-8", charset)) continue;
    std::string text, carry;
    uint64_t consumed = 0;
    if (convertAppend(back.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                      true, carry, text, consumed, why) == 0 &&
        text == "A")
      return candidate;
  }
  return charset;
}

}  // namespace

bool knownCharset(const std::string& name) {
  return remembered(facts().known, name, [&] {
    IconvGuard probe;
    return probe.open(kWide, name) == 0;
  });
}

std::string encoderName(const std::string& charset) {
  return remembered(facts().encoder, charset, [&] { return findEncoder(charset); });
}

namespace {

// Decodes each byte alone from the initial state: a multibyte set leaves
// some lead byte incomplete (EINVAL), a stateful one consumes a byte
// without a character.
bool probeSingleByte(const std::string& charset) {
  IconvGuard cd;
  if (cd.open(kWide, charset) != 0) return false;
  for (int b = 0; b < 256; ++b) {
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    char byte = static_cast<char>(b), *in = &byte;
    wchar_t c;
    char* out = reinterpret_cast<char*>(&c);
    size_t inLeft = 1, room = sizeof c;
    size_t rc = iconv(cd.get(), &in, &inLeft, &out, &room);
    if (rc == static_cast<size_t>(-1) && errno == EILSEQ) continue;
    if (rc == static_cast<size_t>(-1) || inLeft != 0 || room != 0) return false;
  }
  return true;
}

}  // namespace

bool singleByteCharset(const std::string& charset) {
  return remembered(facts().singleByte, charset, [&] { return probeSingleByte(charset); });
}

int checkCharset(const std::string& name, std::string& why) {
  if (knownCharset(name)) return 0;
  why = "unknown character set '" + name + "'";
  return EINVAL;
}

int openConverter(IconvGuard& guard, const std::string& to, const std::string& from,
                  std::string& why) {
  int rc = guard.open(to == kWide ? to : encoderName(to), from);
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
  std::string encoder = encoderName(charset);
  auto [rc, bytes] = remembered(facts().encoded, std::make_pair(charset, std::u32string(chars)), [&] {
    std::string encoded, cause;
    int r = encodeWith(encoder, chars, encoded, cause);
    return std::make_pair(r, r ? cause : encoded);
  });
  (rc ? why : out) = bytes;
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
