// Text lines: character sets through iconv, line ends as characters.
//
// Three ways through, chosen at set-up: bytes unchanged (same set and line
// end, or only byte-order marks to handle), one iconv conversion (same line
// end), or through code points, where the line ends are rewritten.
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
      mode_ = WIDE;
      std::u32string from = lineEnd(p.fromMethod);
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
  enum Mode { BYTES, DIRECT, WIDE };

  int convert(const uint8_t* src, size_t n, bool end) {
    std::string why;
    if (mode_ == BYTES) {
      pending_.append(reinterpret_cast<const char*>(src), n);
      return 0;
    }
    if (mode_ == DIRECT) {
      int rc = convertAppend(direct_.get(), src, n, end, carry_, pending_, consumed_, why, kDirect);
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
  bool crlf_ = false;
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
