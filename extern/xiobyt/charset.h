// Character-set helpers over iconv. Code points travel between stages as
// host-endian 32-bit units in iconv's "WCHAR_T" form (wchar_t is 32 bits on
// Linux), so one line-end rule serves every character set.
// Thread-safe: what is learnt about a character set's name (known, its
// byte-order mark, encoded line ends) is kept for the process under a lock.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "xiobyt/stage.h"

namespace xio {

constexpr const char* kWide = "WCHAR_T";
static_assert(sizeof(wchar_t) == 4, "code points are 32-bit wchar_t");

// Converts [src, src+n) with `cd`, appending to `out`. A sequence cut at the
// end of the chunk is kept in `carry` and prepended to the next chunk; with
// `end` the conversion is completed (shift state closed) and a cut sequence
// is an error. Returns 0, or EILSEQ/EINVAL with the cause in `why`.
// `consumed` counts input bytes already converted, for error positions.
// `growth` is the expected output bytes per input byte (room is made for
// that much first and grown when iconv asks for more).
int convertAppend(iconv_t cd, const uint8_t* src, size_t n, bool end, std::string& carry,
                  std::string& out, uint64_t& consumed, std::string& why, double growth = 1.0);

// Growth of conversions into code points, out of them, and between sets.
constexpr double kToWide = 4.0, kFromWide = 1.0, kDirect = 2.0;

// The name to encode `charset` with: the set itself, or for a set whose
// iconv encoder writes a byte-order mark at every start (UTF-16, UTF-32)
// the explicit-endian form that the set's decoder reads without a mark.
std::string encoderName(const std::string& charset);

// Encodes code points in `charset` (through encoderName, so never with a
// mark of iconv's own). Returns 0, or an errno with `why` set
// (EINVAL: unknown character set, EILSEQ: not representable).
int encodeChars(const std::string& charset, std::u32string_view chars, std::string& out,
                std::string& why);

// Decodes UTF-8 (the command strings' own encoding) into code points.
// Returns false for malformed input.
bool decodeUtf8(std::string_view text, std::u32string& out);

// Whether iconv decodes `name`; checkCharset says so as 0 or EINVAL with
// the name in `why`.
bool knownCharset(const std::string& name);
int checkCharset(const std::string& name, std::string& why);

// Whether every byte of `charset` is a character of its own or invalid,
// with no shift state: then a byte in its text always means the same
// character wherever it stands, and one byte can be replaced by another.
bool singleByteCharset(const std::string& charset);

// Opens `guard` for from -> to (to through encoderName); returns 0 or EINVAL with `why` naming the
// character set that iconv does not know.
int openConverter(IconvGuard& guard, const std::string& to, const std::string& from,
                  std::string& why);

}  // namespace xio
