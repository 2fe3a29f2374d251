// Text encodings of bytes: base64 as base64(1) writes it (lines of 76
// characters, padding) and hex as xxd -p writes it (lower case, lines of 60
// characters). Readers take any line length, LF or CRLF line ends and
// (hex) upper case; any other character fails with EILSEQ.
#include <cerrno>
#include <cstdio>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789abcdef";

// Decoder tables: a digit's value, or one of these.
constexpr int8_t kSkip = -1, kPad = -2, kBad = -3;

struct DigitTable {
  int8_t v[256];
};

DigitTable makeTable(bool base64) {
  DigitTable t;
  for (int i = 0; i < 256; ++i) t.v[i] = kBad;
  t.v['\n'] = t.v['\r'] = kSkip;
  if (base64) {
    for (int i = 0; i < 64; ++i) t.v[static_cast<uint8_t>(kBase64[i])] = static_cast<int8_t>(i);
    t.v['='] = kPad;
  } else {
    for (int i = 0; i < 16; ++i) t.v[static_cast<uint8_t>(kHex[i])] = static_cast<int8_t>(i);
    for (int i = 10; i < 16; ++i) t.v['A' + i - 10] = static_cast<int8_t>(i);
  }
  return t;
}

std::string badCharacter(const char* layer, uint8_t c, uint64_t at) {
  char text[96];
  snprintf(text, sizeof text, "invalid %s data: byte 0x%02X at offset %llu", layer, c,
           static_cast<unsigned long long>(at));
  return text;
}

class Base64Writer : public BufferedStage {
 public:
  const char* name() const override { return "base64"; }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    size_t used = pending_.size();
    pending_.resize(used + (n + 3) / 3 * 4 + (n + 3) / 57 + 8);
    char* o = pending_.data() + used;
    size_t i = 0;
    while (held_ > 0 && held_ < 3 && i < n) hold_[held_++] = src[i++];
    if (held_ == 3) {
      o = group(o, hold_[0], hold_[1], hold_[2]);
      held_ = 0;
    }
    for (; i + 3 <= n; i += 3) o = group(o, src[i], src[i + 1], src[i + 2]);
    while (i < n) hold_[held_++] = src[i++];
    if (end) {
      if (held_ > 0) {
        uint32_t v = uint32_t{hold_[0]} << 16 | (held_ > 1 ? uint32_t{hold_[1]} << 8 : 0);
        *o++ = kBase64[v >> 18];
        *o++ = kBase64[(v >> 12) & 63];
        *o++ = held_ > 1 ? kBase64[(v >> 6) & 63] : '=';
        *o++ = '=';
        column_ += 4;
        held_ = 0;
      }
      if (column_ > 0) *o++ = '\n';
      column_ = 0;
    }
    pending_.resize(static_cast<size_t>(o - pending_.data()));
    return 0;
  }

 private:
  char* group(char* o, uint8_t a, uint8_t b, uint8_t c) {
    uint32_t v = uint32_t{a} << 16 | uint32_t{b} << 8 | c;
    o[0] = kBase64[v >> 18];
    o[1] = kBase64[(v >> 12) & 63];
    o[2] = kBase64[(v >> 6) & 63];
    o[3] = kBase64[v & 63];
    o += 4;
    if ((column_ += 4) == kBase64Line) {
      *o++ = '\n';
      column_ = 0;
    }
    return o;
  }
  uint8_t hold_[3] = {};
  size_t held_ = 0, column_ = 0;
};

class HexWriter : public BufferedStage {
 public:
  const char* name() const override { return "hex"; }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    size_t used = pending_.size();
    pending_.resize(used + 2 * n + 2 * n / kHexLine + 2);
    char* o = pending_.data() + used;
    for (size_t i = 0; i < n; ++i) {
      *o++ = kHex[src[i] >> 4];
      *o++ = kHex[src[i] & 15];
      if ((column_ += 2) == kHexLine) {
        *o++ = '\n';
        column_ = 0;
      }
    }
    if (end && column_ > 0) {
      *o++ = '\n';
      column_ = 0;
    }
    pending_.resize(static_cast<size_t>(o - pending_.data()));
    return 0;
  }

 private:
  size_t column_ = 0;
};

class Base64Reader : public BufferedStage {
 public:
  const char* name() const override { return "base64"; }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    static const DigitTable table = makeTable(true);
    size_t used = pending_.size();
    pending_.resize(used + n / 4 * 3 + 3);
    char* o = pending_.data() + used;
    for (size_t i = 0; i < n; ++i) {
      int8_t d = table.v[src[i]];
      if (d >= 0 && pads_ == 0) {
        quantum_ = quantum_ << 6 | static_cast<uint32_t>(d);
        if (++count_ == 4) {
          *o++ = static_cast<char>(quantum_ >> 16);
          *o++ = static_cast<char>(quantum_ >> 8);
          *o++ = static_cast<char>(quantum_);
          count_ = 0;
          quantum_ = 0;
        }
      } else if (d == kSkip) {
        continue;
      } else if (d == kPad && count_ >= 2) {
        // "xx==" ends with one byte, "xxx=" with two; then the data may go
        // on with a new quantum (concatenated encodings).
        ++pads_;
        if (count_ + pads_ == 4) {
          uint32_t v = quantum_ << (6 * pads_);
          *o++ = static_cast<char>(v >> 16);
          if (count_ == 3) *o++ = static_cast<char>(v >> 8);
          count_ = pads_ = 0;
          quantum_ = 0;
        }
      } else {
        pending_.resize(static_cast<size_t>(o - pending_.data()));
        return static_cast<int>(fail(EILSEQ, badCharacter("base64", src[i], offset_ + i)));
      }
    }
    offset_ += n;
    pending_.resize(static_cast<size_t>(o - pending_.data()));
    if (end && (count_ != 0 || pads_ != 0))
      return static_cast<int>(fail(EIO,
                                   "truncated base64 data: the last group of four "
                                   "characters is incomplete"));
    return 0;
  }

 private:
  uint32_t quantum_ = 0;
  int count_ = 0, pads_ = 0;
  uint64_t offset_ = 0;
};

class HexReader : public BufferedStage {
 public:
  const char* name() const override { return "hex"; }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    static const DigitTable table = makeTable(false);
    size_t used = pending_.size();
    pending_.resize(used + n / 2 + 1);
    char* o = pending_.data() + used;
    for (size_t i = 0; i < n; ++i) {
      int8_t d = table.v[src[i]];
      if (d >= 0) {
        if (high_ < 0) {
          high_ = d;
        } else {
          *o++ = static_cast<char>(high_ << 4 | d);
          high_ = -1;
        }
      } else if (d != kSkip) {
        pending_.resize(static_cast<size_t>(o - pending_.data()));
        return static_cast<int>(fail(EILSEQ, badCharacter("hex", src[i], offset_ + i)));
      }
    }
    offset_ += n;
    pending_.resize(static_cast<size_t>(o - pending_.data()));
    if (end && high_ >= 0)
      return static_cast<int>(fail(EIO, "truncated hex data: an odd number of digits"));
    return 0;
  }

 private:
  int high_ = -1;
  uint64_t offset_ = 0;
};

}  // namespace

std::unique_ptr<Stage> makeBase64Writer(const EncoderParams&, std::string&) {
  return std::make_unique<Base64Writer>();
}
std::unique_ptr<Stage> makeBase64Reader(std::string&) { return std::make_unique<Base64Reader>(); }
std::unique_ptr<Stage> makeHexWriter(const EncoderParams&, std::string&) {
  return std::make_unique<HexWriter>();
}
std::unique_ptr<Stage> makeHexReader(std::string&) { return std::make_unique<HexReader>(); }

}  // namespace xio
