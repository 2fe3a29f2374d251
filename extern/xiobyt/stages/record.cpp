// Records: FIX (exactly recl bytes, padded) and VAR (a 4-byte record
// descriptor word, big-endian length including itself, then two zero bytes).
// The writer cuts lines of text into records, the reader turns each record
// back into a line, as dd's conv=block and conv=unblock do.
#include <cstring>

#include "xiobyt/charset.h"
#include "xiobyt/stages/lines.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

constexpr char32_t kBom = 0xFEFF;

// The pad character encoded in the record character set.
int padBytes(const RecordParams& p, std::string& out, std::string& why) {
  std::u32string pad = U" ";
  if (!p.pad.empty() && (!decodeUtf8(p.pad, pad) || pad.size() != 1)) {
    why = "pad='" + p.pad + "' must be exactly one character";
    return EINVAL;
  }
  return encodeChars(p.recordCharset, pad, out, why);
}

class RecordWriter : public BufferedStage {
 public:
  const char* name() const override { return "rec"; }

  int init(const RecordParams& p, std::string& why) {
    p_ = p;
    if (int rc = padBytes(p, pad_, why)) return rc;
    std::string ignored, bom;  // a character set without a byte-order mark has none to skip
    if (p.textBom && encodeChars(p.textCharset, std::u32string(1, kBom), bom, ignored) != 0)
      bom.clear();
    skip_.init(bom);
    ends_.init(p.textMethod);
    if (int rc = openConverter(toWide_, kWide, p.textCharset, why)) return rc;
    if (int rc = openConverter(fromWide_, p.recordCharset, kWide, why)) return rc;
    return 0;
  }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    // A byte-order mark of the text is not part of the first record.
    if (!skip_.pass(src, n, end)) return 0;
    return cut(src, n, end);
  }

 private:
  int cut(const uint8_t* src, size_t n, bool end) {
    std::string why;
    wide_.clear();
    if (int rc = convertAppend(toWide_.get(), src, n, end, carry_, wide_, consumed_, why, kToWide))
      return static_cast<int>(fail(rc, why + " (reading " + p_.textCharset + ")"));
    size_t count = wide_.size() / sizeof(char32_t);
    if (ends_.scan(
            wide_.data(), count, end, [&](char32_t c) { return add(c); }, [&] { return record(); }))
      return -1;
    if (end && !line_.empty() && record() != 0) return -1;  // the last line needs no line end
    return 0;
  }

  // Every character takes at least one byte, so a line of more than recl
  // characters is refused before it is encoded.
  int add(char32_t c) {
    line_.push_back(c);
    return line_.size() > static_cast<size_t>(p_.recl) ? tooLong(line_.size()) : 0;
  }

  int tooLong(size_t size) {
    return static_cast<int>(fail(EINVAL, "line " + std::to_string(lines_ + 1) +
                                             " is longer than recl=" + std::to_string(p_.recl) +
                                             " (at least " + std::to_string(size) + " bytes)"));
  }

  int record() {
    std::string why;
    body_.clear();
    iconv(fromWide_.get(), nullptr, nullptr, nullptr, nullptr);
    std::string carry;
    uint64_t done = 0;
    if (int rc = convertAppend(fromWide_.get(), reinterpret_cast<const uint8_t*>(line_.data()),
                               line_.size() * sizeof(char32_t), true, carry, body_, done, why))
      return static_cast<int>(fail(rc, "line " + std::to_string(lines_ + 1) + ": a character " +
                                           "cannot be represented in '" + p_.recordCharset + "'"));
    if (body_.size() > static_cast<size_t>(p_.recl)) return tooLong(body_.size());
    if (p_.var) {
      size_t len = body_.size() + 4;
      const char rdw[4] = {static_cast<char>(len >> 8), static_cast<char>(len & 0xFF), 0, 0};
      pending_.append(rdw, 4);
      pending_ += body_;
    } else {
      size_t fill = p_.recl - body_.size();
      if (fill % pad_.size() != 0)
        return static_cast<int>(fail(EINVAL, "line " + std::to_string(lines_ + 1) +
                                                 " cannot be padded to recl=" +
                                                 std::to_string(p_.recl) + " with pad bytes"));
      pending_ += body_;
      for (size_t k = 0; k < fill; k += pad_.size()) pending_ += pad_;
    }
    line_.clear();
    ++lines_;
    return 0;
  }

  RecordParams p_;
  IconvGuard toWide_, fromWide_;
  MarkSkipper skip_;
  LineEnds ends_;
  std::string pad_, carry_, wide_, body_;
  std::u32string line_;
  uint64_t consumed_ = 0, lines_ = 0;
};

class RecordReader : public BufferedStage {
 public:
  const char* name() const override { return "rec"; }

  int init(const RecordParams& p, std::string& why) {
    p_ = p;
    if (int rc = padBytes(p, pad_, why)) return rc;
    if (p.textBom) {
      if (int rc = encodeChars(p.textCharset, std::u32string(1, kBom), bom_, why)) return rc;
    }
    if (int rc = encodeChars(p.textCharset, lineEnd(p.textMethod), end_, why)) return rc;
    return openConverter(cd_, p.textCharset, p.recordCharset, why);
  }

 protected:
  int transform(const uint8_t* src, size_t n, bool end) override {
    if (!started_) {
      pending_ += bom_;
      started_ = true;
    }
    size_t i = 0;
    while (i < n) {
      if (p_.var && rdw_.size() < 4) {
        size_t k = std::min(n - i, 4 - rdw_.size());
        rdw_.append(reinterpret_cast<const char*>(src + i), k);
        i += k;
        offset_ += k;
        if (rdw_.size() < 4) break;
        auto b = [&](int j) { return static_cast<unsigned char>(rdw_[j]); };
        size_t len = (size_t(b(0)) << 8) | b(1);
        if (len < 4 || b(2) != 0 || b(3) != 0)
          return static_cast<int>(fail(EIO, "invalid record descriptor word of record " +
                                                std::to_string(records_ + 1) + " at byte " +
                                                std::to_string(offset_ - 4)));
        need_ = len - 4;
        if (need_ == 0 && line() != 0) return -1;
        continue;
      }
      size_t want = p_.var ? need_ : static_cast<size_t>(p_.recl);
      size_t k = std::min(n - i, want - rec_.size());
      rec_.append(reinterpret_cast<const char*>(src + i), k);
      i += k;
      offset_ += k;
      if (rec_.size() == want && line() != 0) return -1;
    }
    if (end) {
      if (p_.var && !rdw_.empty())
        return static_cast<int>(fail(
            EIO, "truncated record " + std::to_string(records_ + 1) + " at the end of the data"));
      if (!rec_.empty() && line() != 0) return -1;  // a short last FIX record
    }
    return 0;
  }

 private:
  int line() {
    if (!p_.var) {
      while (rec_.size() >= pad_.size() &&
             rec_.compare(rec_.size() - pad_.size(), pad_.size(), pad_) == 0)
        rec_.resize(rec_.size() - pad_.size());
    }
    std::string why, carry;
    uint64_t done = 0;
    iconv(cd_.get(), nullptr, nullptr, nullptr, nullptr);
    if (int rc = convertAppend(cd_.get(), reinterpret_cast<const uint8_t*>(rec_.data()),
                               rec_.size(), true, carry, pending_, done, why))
      return static_cast<int>(fail(rc, "record " + std::to_string(records_ + 1) + ": " + why +
                                           " (" + p_.recordCharset + " to " + p_.textCharset +
                                           ")"));
    pending_ += end_;
    rec_.clear();
    rdw_.clear();
    need_ = 0;
    ++records_;
    return 0;
  }

  RecordParams p_;
  IconvGuard cd_;
  std::string pad_, bom_, end_, rec_, rdw_;
  bool started_ = false;
  size_t need_ = 0;
  uint64_t records_ = 0, offset_ = 0;
};

template <class T>
std::unique_ptr<Stage> make(const RecordParams& p, std::string& why) {
  auto s = std::make_unique<T>();
  if (int rc = s->init(p, why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

}  // namespace

std::unique_ptr<Stage> makeRecordWriter(const RecordParams& p, std::string& why) {
  return make<RecordWriter>(p, why);
}
std::unique_ptr<Stage> makeRecordReader(const RecordParams& p, std::string& why) {
  return make<RecordReader>(p, why);
}

}  // namespace xio
