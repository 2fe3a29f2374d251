// Text lines: character sets through iconv, line ends as characters.
//
// Four ways through, chosen at set-up: bytes unchanged (same set and line
// end, or only byte-order marks to handle), one iconv conversion (same line
// end), one conversion and a byte replaced by another (one-character line
// ends that are single bytes of a single-byte set, such as LF and NL of an
// EBCDIC code page), or through code points, where the line ends are
// rewritten.
#include <algorithm>
#include <cstring>

#include "xiobyt/charset.h"
#include "xiobyt/stages/lines.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

constexpr char32_t kBom = 0xFEFF;

class TextStage : public BufferedStage {
 public:
  const char* name() const override { return "text"; }

  int init(const TextParams& p, std::string& why) {
    p_ = p;
    // A character set without a byte-order mark (EBCDIC) has none to skip.
    std::string ignored, skip;
    if (p.skipBom && encodeChars(p.fromCharset, std::u32string(1, kBom), skip, ignored) != 0)
      skip.clear();
    skip_.init(skip);
    if (p.emitBom) {
      if (int rc = encodeChars(p.toCharset, std::u32string(1, kBom), emit_, why)) return rc;
    }
    if (p.bytesOnly) return 0;
    if (p.fromMethod != p.toMethod) {
      std::u32string from = lineEnd(p.fromMethod);
      if (int rc = mappedLineEnds(p, from, why); rc >= 0) return rc;
      mode_ = WIDE;
      crlf_ = from.size() == 2;
      fromEnd_ = from[0];
      fromEnds_.init(p.fromMethod);
      toEnd_ = lineEnd(p.toMethod);
      if (int rc = openConverter(toWide_, kWide, p.fromCharset, why)) return rc;
      if (int rc = openConverter(fromWide_, p.toCharset, kWide, why)) return rc;
      // A line end that the file's character set cannot hold is a mistake
      // in the command, found at open rather than at the first line.
      std::string probe;
      if (encodeChars(p.toCharset, toEnd_, probe, why)) return EINVAL;
      if (encodeChars(p.fromCharset, from, probe, why)) return EINVAL;
    } else if (p.fromCharset != p.toCharset) {
      mode_ = DIRECT;
      if (int rc = openConverter(direct_, p.toCharset, p.fromCharset, why)) return rc;
    }
    return 0;
  }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    if (!skip_.pass(src, n, end)) return 0;
    if (!started_) {
      pending_ += emit_;
      started_ = true;
    }
    return convert(src, n, end);
  }

 private:
  enum Mode { BYTES, DIRECT, MAPPED, WIDE };

  // One line-end character for another can be a byte for a byte where both
  // are single bytes of a single-byte set: in the output (a file written in
  // an EBCDIC set) or in the input (one read from it). Since the target's
  // line end passes unchanged, the result equals that of the conversion
  // through code points. Returns -1 when this does not apply, else the
  // result of opening the converter.
  int mappedLineEnds(const TextParams& p, const std::u32string& from, std::string& why) {
    std::u32string to = lineEnd(p.toMethod);
    if (from.size() != 1 || to.size() != 1) return -1;
    auto singleBytes = [&](const std::string& charset, uint8_t& a, uint8_t& b) {
      std::string ea, eb, ignored;
      if (!singleByteCharset(charset) || encodeChars(charset, from, ea, ignored) != 0 ||
          encodeChars(charset, to, eb, ignored) != 0 || ea.size() != 1 || eb.size() != 1)
        return false;
      a = static_cast<uint8_t>(ea[0]);
      b = static_cast<uint8_t>(eb[0]);
      return true;
    };
    if (singleBytes(p.toCharset, fromByte_, toByte_)) {
      mapInput_ = false;
    } else if (singleBytes(p.fromCharset, fromByte_, toByte_)) {
      mapInput_ = true;
    } else {
      return -1;
    }
    mode_ = MAPPED;
    return openConverter(direct_, p.toCharset, p.fromCharset, why);
  }

  int convertMapped(const uint8_t* src, size_t n, bool end, std::string& why) {
    if (mapInput_) {
      mapped8_.assign(reinterpret_cast<const char*>(src), n);
      std::replace(mapped8_.begin(), mapped8_.end(), static_cast<char>(fromByte_),
                   static_cast<char>(toByte_));
      src = reinterpret_cast<const uint8_t*>(mapped8_.data());
    }
    size_t before = pending_.size();
    int rc = convertAppend(direct_.get(), src, n, end, carry_, pending_, consumed_, why, kDirect);
    if (!mapInput_)
      std::replace(pending_.begin() + static_cast<ptrdiff_t>(before), pending_.end(),
                   static_cast<char>(fromByte_), static_cast<char>(toByte_));
    return rc;
  }

  int convert(const uint8_t* src, size_t n, bool end) {
    std::string why;
    if (mode_ == BYTES) {
      pending_.append(reinterpret_cast<const char*>(src), n);
      return 0;
    }
    if (mode_ == DIRECT || mode_ == MAPPED) {
      int rc = mode_ == MAPPED ? convertMapped(src, n, end, why)
                               : convertAppend(direct_.get(), src, n, end, carry_, pending_,
                                               consumed_, why, kDirect);
      return rc ? static_cast<int>(
                      fail(rc, why + " (" + p_.fromCharset + " to " + p_.toCharset + ")"))
                : 0;
    }
    wide_.clear();
    int rc = convertAppend(toWide_.get(), src, n, end, carry_, wide_, consumed_, why, kToWide);
    if (rc) return static_cast<int>(fail(rc, why + " (reading " + p_.fromCharset + ")"));
    const uint8_t* wide;
    size_t wideSize;
    if (!crlf_ && toEnd_.size() == 1) {  // one character for another, in place
      replaceInPlace();
      wide = reinterpret_cast<const uint8_t*>(wide_.data());
      wideSize = wide_.size();
    } else {
      mapLineEnds(end);
      wide = reinterpret_cast<const uint8_t*>(mapped_.data());
      wideSize = mapped_.size() * sizeof(char32_t);
    }
    uint64_t before = wideDone_;
    rc = convertAppend(fromWide_.get(), wide, wideSize, end, wideCarry_, pending_, wideDone_, why,
                       kFromWide);
    if (rc) {
      size_t at = (wideDone_ - before);
      char code[16] = "";
      if (at + sizeof(char32_t) <= wideSize) {
        char32_t c;
        memcpy(&c, wide + at, sizeof c);
        snprintf(code, sizeof code, "U+%04X", unsigned(c));
      }
      return static_cast<int>(fail(rc, std::string("character ") + code +
                                           " cannot be represented in '" + p_.toCharset + "'"));
    }
    return 0;
  }

  void replaceInPlace() {
    char32_t to = toEnd_[0];
    char* w = wide_.data();
    for (size_t i = 0; i + sizeof(char32_t) <= wide_.size(); i += sizeof(char32_t)) {
      char32_t c;
      memcpy(&c, w + i, sizeof c);
      if (c == fromEnd_) memcpy(w + i, &to, sizeof to);
    }
  }

  void mapLineEnds(bool end) {
    size_t count = wide_.size() / sizeof(char32_t);
    mapped_.clear();
    mapped_.reserve(count + count / 8 + 4);
    fromEnds_.scan(
        wide_.data(), count, end,
        [&](char32_t c) {
          mapped_.push_back(c);
          return 0;
        },
        [&] {
          mapped_ += toEnd_;
          return 0;
        });
  }

  TextParams p_;
  Mode mode_ = BYTES;
  MarkSkipper skip_;
  LineEnds fromEnds_;
  std::string emit_, carry_, wide_, wideCarry_;
  bool started_ = false;
  IconvGuard direct_, toWide_, fromWide_;
  bool crlf_ = false, mapInput_ = false;
  uint8_t fromByte_ = 0, toByte_ = 0;
  std::string mapped8_;
  char32_t fromEnd_ = 0;
  std::u32string toEnd_, mapped_;
  uint64_t consumed_ = 0, wideDone_ = 0;
};

}  // namespace

std::unique_ptr<Stage> makeTextStage(const TextParams& p, std::string& why) {
  auto s = std::make_unique<TextStage>();
  if (int rc = s->init(p, why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

}  // namespace xio
