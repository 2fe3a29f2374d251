// The age layer as stages: the writer seals 64 KiB chunks behind a new
// header, the reader opens the header and then each chunk, checking its tag
// before any of its bytes leave the stage.
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "xiobyt/sizes.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

// Copies what fits of `pending` (from `pos`) into `out`.
void drainInto(const std::vector<uint8_t>& pending, size_t& pos, size_t len, OutBuffer& out) {
  size_t n = std::min(len - pos, out.room());
  memcpy(out.dst + out.pos, pending.data() + pos, n);
  out.pos += n;
  pos += n;
}

class AgeWriter : public AgeWriterStage {
 public:
  const char* name() const override { return "age"; }
  ~AgeWriter() override { OPENSSL_cleanse(held_.data(), held_.size()); }

  int init(const Layer& layer, std::string& why) {
    // The key stays for a rekey after a sync flush.
    if (int rc = loadAgeKey(layer, key_, why)) return rc;
    if (int rc = ageNewHeader(key_, *payload_, pending_, why)) return rc;
    pendingLen_ = pending_.size();
    payloadStart_ = pendingLen_;
    held_.resize(kAgeChunk);
    return 0;
  }

  void sealAtNextFlush() override { sealAtFlush_ = true; }
  size_t sealedTail() const override { return tailLen_; }

  int rekey(int from, int to, uint64_t& end, std::string& why) override {
    if (tailLen_ == 0 || pendingPos_ < pendingLen_) {
      why = "age: no sealed last chunk to take back";
      return EINVAL;
    }
    auto fresh = std::make_unique<AgePayloadKey>();
    std::vector<uint8_t> header;
    if (int rc = ageNewHeader(key_, *fresh, header, why)) return rc;
    if (int rc = writeAt(to, header.data(), header.size(), 0, why)) return rc;
    std::vector<uint8_t> sealed(kAgeSealed);
    SecretBytes plain(kAgeChunk);
    uint64_t at = header.size();
    for (uint64_t i = 0; i < index_; ++i, at += kAgeSealed) {
      errno = 0;
      if (!preadFull(from, sealed.data(), kAgeSealed, payloadStart_ + i * kAgeSealed)) {
        int e = errno ? errno : EIO;
        why = "age: cannot read chunk " + std::to_string(i) +
              " back: " + (errno ? strerror(e) : "the file is shorter than written");
        return e;
      }
      if (payload_->open(i, false, sealed.data(), kAgeSealed, plain.data(), why) != 0 ||
          fresh->seal(i, false, plain.data(), kAgeChunk, sealed.data(), why) != 0)
        return EIO;
      if (int rc = writeAt(to, sealed.data(), kAgeSealed, at, why)) return rc;
    }
    payload_ = std::move(fresh);
    payloadStart_ = header.size();
    tailLen_ = 0;
    end = at;
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    for (;;) {
      if (pendingPos_ < pendingLen_) {
        drainInto(pending_, pendingPos_, pendingLen_, out);
        if (pendingPos_ < pendingLen_) return static_cast<int64_t>(pendingLen_ - pendingPos_);
      }
      if (finished_) return 0;
      if (tailLen_ > 0) {
        // The output already ends as a complete file of what was given.
        if (in.left() > 0)
          return fail(EIO, "age: data after the sealed last chunk before it was taken back");
        if (op == EndOp::END) finished_ = true;
        sealAtFlush_ = false;
        return 0;
      }
      // A full chunk is sealed only once a byte after it shows it is not
      // the last: the last chunk carries its own flag.
      if (heldLen_ == kAgeChunk && in.left() > 0) {
        if (sealChunk(held_.data(), kAgeChunk, false, out) != 0) return -1;
        heldLen_ = 0;
        continue;
      }
      if (heldLen_ == 0 && in.left() > kAgeChunk) {  // straight from the input
        if (sealChunk(in.src + in.pos, kAgeChunk, false, out) != 0) return -1;
        in.pos += kAgeChunk;
        continue;
      }
      if (in.left() > 0) {
        size_t n = std::min(in.left(), kAgeChunk - heldLen_);
        memcpy(held_.data() + heldLen_, in.src + in.pos, n);
        heldLen_ += n;
        in.pos += n;
        continue;
      }
      if (op == EndOp::FLUSH && sealAtFlush_) {
        // Sealed as the last under the index it keeps: the bytes stay held,
        // to be sealed under that index again only under a new key (rekey).
        sealAtFlush_ = false;
        if (sealChunk(held_.data(), heldLen_, true, out) != 0) return -1;
        --index_;
        tailLen_ = heldLen_ + kAgeTag;
        continue;
      }
      if (op != EndOp::END) return 0;  // the held bytes wait for more or for the end
      if (sealChunk(held_.data(), heldLen_, true, out) != 0) return -1;
      OPENSSL_cleanse(held_.data(), heldLen_);
      heldLen_ = 0;
      finished_ = true;
    }
  }

 private:
  int sealChunk(const uint8_t* plain, size_t n, bool last, OutBuffer& out) {
    std::string why;
    uint8_t* dst;
    if (out.room() >= n + kAgeTag) {
      dst = out.dst + out.pos;
    } else {
      pending_.resize(kAgeSealed);
      dst = pending_.data();
    }
    if (payload_->seal(index_, last, plain, n, dst, why) != 0)
      return static_cast<int>(fail(EIO, why));
    ++index_;
    if (dst == out.dst + out.pos) {
      out.pos += n + kAgeTag;
    } else {
      pendingPos_ = 0;
      pendingLen_ = n + kAgeTag;
    }
    return 0;
  }

  static int writeAt(int fd, const uint8_t* p, size_t n, uint64_t at, std::string& why) {
    while (n > 0) {
      ssize_t w = pwrite(fd, p, n, static_cast<off_t>(at));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        int e = w < 0 ? errno : EIO;
        why = std::string("age: cannot write the file again under a new key: ") + strerror(e);
        return e;
      }
      p += w;
      n -= static_cast<size_t>(w);
      at += static_cast<uint64_t>(w);
    }
    return 0;
  }

  AgeKey key_;
  std::unique_ptr<AgePayloadKey> payload_ = std::make_unique<AgePayloadKey>();
  size_t payloadStart_ = 0;       // where chunk 0 starts in the output
  std::vector<uint8_t> pending_;  // the header, or a sealed chunk that did not fit
  size_t pendingPos_ = 0, pendingLen_ = 0;
  std::vector<uint8_t> held_;  // plain bytes of the chunk being gathered
  size_t heldLen_ = 0;
  uint64_t index_ = 0;
  size_t tailLen_ = 0;  // a last chunk sealed by a flush ends the output
  bool sealAtFlush_ = false, finished_ = false;
};

// The zero bytes at most that a chunk cut at a zero tail is tried with.
constexpr size_t kZerosGivenBack = 16;

class AgeReader : public Stage {
 public:
  const char* name() const override { return "age"; }
  ~AgeReader() override { OPENSSL_cleanse(plain_.data(), plain_.size()); }

  int init(const Layer& layer, std::string& why) { return loadAgeKey(layer, key_, why); }

  void recover() { recovering_ = true; }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    for (;;) {
      if (plainPos_ < plainLen_) {
        drainInto(plain_, plainPos_, plainLen_, out);
        if (plainPos_ < plainLen_) return static_cast<int64_t>(plainLen_ - plainPos_);
      }
      if (cutShort_) {  // said once the chunks before it are out
        cutShort_ = false;
        return fail(EIO, "age: the file was cut short after chunk " + std::to_string(index_));
      }
      if (!payload_.ready()) {
        int rc = readHeader(in, op);
        if (rc <= 0) return rc;
        continue;
      }
      if (done_) {
        if (in.left() > 0) return fail(EIO, "age: data after the last chunk");
        return 0;
      }
      size_t avail = heldLen_ + in.left();
      size_t n;
      if (avail > kAgeSealed) {
        n = kAgeSealed;
      } else if (op == EndOp::END) {
        n = avail;
      } else {  // not known yet whether this is the last chunk
        keep(in, in.left());
        return 0;
      }
      bool last = avail <= kAgeSealed;
      if (last && recovering_) return endRecovering(in, out);
      if (last && n < kAgeTag) {
        if (n == 0 && index_ > 0)
          return fail(EIO, "age: the file ends after chunk " + std::to_string(index_ - 1) +
                               " without a last chunk: it was cut short");
        return fail(EIO, "age: the file ends inside chunk " + std::to_string(index_) +
                             ": it was cut short");
      }
      if (last && n == kAgeTag && index_ > 0)
        return fail(EIO, "age: an empty last chunk after data");
      const uint8_t* sealed;
      if (heldLen_ == 0) {
        sealed = in.src + in.pos;
        in.pos += n;
      } else {
        keep(in, n - heldLen_);
        sealed = held_.data();
        heldLen_ = 0;
      }
      if (openChunk(sealed, n, last, out) != 0) return -1;
      if (last) done_ = true;
    }
  }

 private:
  // Takes header bytes: the lines up to the MAC line, then the nonce, never
  // more, so that the chunks start in the input where the header ends.
  // 1: the header is open; 0: more input is needed; -1: failed.
  int readHeader(InBuffer& in, EndOp op) {
    while (in.left() > 0 && !(macSeen_ && header_.size() == macEnd_ + kAgeNonce)) {
      size_t n;
      if (!macSeen_) {
        const void* lf = memchr(in.src + in.pos, '\n', in.left());
        n = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - (in.src + in.pos)) + 1
               : in.left();
        size_t lineAt = header_.size() - lineLen_;
        header_.insert(header_.end(), in.src + in.pos, in.src + in.pos + n);
        lineLen_ += n;
        if (lf) {
          // Lines are told apart as the parser tells them: the line after a
          // stanza line, or after a body line of 64 characters, is a body
          // line whatever it begins with; any other line beginning with
          // "---" is the MAC line.
          const char* line = reinterpret_cast<const char*>(header_.data() + lineAt);
          const size_t len = lineLen_ - 1;
          const bool body = bodyNext_;
          if (!body && len >= 3 && memcmp(line, "---", 3) == 0) {
            macSeen_ = true;
            macEnd_ = header_.size();
          }
          bodyNext_ = (len >= 3 && memcmp(line, "-> ", 3) == 0) || (body && len == 64);
          lineLen_ = 0;
        }
      } else {
        n = std::min(in.left(), macEnd_ + kAgeNonce - header_.size());
        header_.insert(header_.end(), in.src + in.pos, in.src + in.pos + n);
      }
      in.pos += n;
      if (header_.size() > kAgeHeaderMax + kAgeNonce) break;  // let the parser say so
    }
    std::string why;
    int rc = ageOpenHeader(header_.data(), header_.size(), key_, payload_, payloadStart_, why);
    if (rc == 0) {
      key_ = AgeKey();  // the key has done its work
      return 1;
    }
    if (rc != EAGAIN) return static_cast<int>(fail(rc, why));
    // The header as far as its MAC line and nonce, and still not a header
    // to the parser: more input would not make it one.
    if (macSeen_ && header_.size() >= macEnd_ + kAgeNonce)
      return static_cast<int>(fail(EIO, "age: malformed header: its lines do not end at the MAC"));
    if (op != EndOp::END || in.left() > 0) return 0;
    return static_cast<int>(fail(EIO, header_.empty()
                                          ? "age: the file is empty: it has no age header"
                                          : "age: the file ends inside its header"));
  }

  // The end of a file whose writer may have died: a chunk that opens as
  // the last ends it; one that opens as an ordinary chunk is handed out,
  // and the file reported cut short after it; anything else (a chunk cut
  // or torn) is cut short before it. Only authenticated bytes leave.
  int64_t endRecovering(InBuffer& in, OutBuffer& out) {
    keep(in, in.left());
    size_t have = heldLen_;
    heldLen_ = 0;
    done_ = true;
    bool empty = have == kAgeTag && index_ > 0;
    if (have >= kAgeTag && !empty && openQuiet(have, true, out)) return 0;
    if (have == kAgeSealed && openQuiet(have, false, out)) {
      cutShort_ = true;
      return 1;
    }
    // Recovery cuts a file before the zero bytes a crash leaves at its end,
    // and so also cuts the zero bytes that a tag may end with (one chunk in
    // 256 ends with one): the chunk is tried again with them given back.
    for (size_t extra = 1; extra <= kZerosGivenBack && have + extra <= kAgeSealed; ++extra) {
      held_[have + extra - 1] = 0;  // keep() sized held_ to a sealed chunk
      const bool possible = have + extra > kAgeTag || (have + extra == kAgeTag && index_ == 0);
      if (possible && openQuiet(have + extra, true, out)) return 0;
      if (have + extra == kAgeSealed && openQuiet(have + extra, false, out)) {
        cutShort_ = true;
        return 1;
      }
    }
    return fail(EIO, have == 0
                         ? "age: the file ends without a last chunk"
                         : "age: the file was cut short inside chunk " + std::to_string(index_));
  }

  // Opens the held chunk as `last`; false (nothing handed out) when it does
  // not authenticate so.
  bool openQuiet(size_t n, bool last, OutBuffer& out) {
    if (plain_.size() < kAgeChunk) plain_.resize(kAgeChunk);
    std::string why;
    if (payload_.open(index_, last, held_.data(), n, plain_.data(), why) != 0) return false;
    ++index_;
    plainPos_ = 0;
    plainLen_ = n - kAgeTag;
    drainInto(plain_, plainPos_, plainLen_, out);
    return true;
  }

  void keep(InBuffer& in, size_t n) {
    if (held_.size() < kAgeSealed) held_.resize(kAgeSealed);
    n = std::min(n, kAgeSealed - heldLen_);
    memcpy(held_.data() + heldLen_, in.src + in.pos, n);
    heldLen_ += n;
    in.pos += n;
  }

  int openChunk(const uint8_t* sealed, size_t n, bool last, OutBuffer& out) {
    size_t plain = n - kAgeTag;
    bool direct = out.room() >= plain;
    if (!direct && plain_.size() < kAgeChunk) plain_.resize(kAgeChunk);
    uint8_t* dst = direct ? out.dst + out.pos : plain_.data();
    std::string why;
    if (payload_.open(index_, last, sealed, n, dst, why) != 0) {
      // Say what the damage is where the other flag opens the chunk.
      std::string other;
      if (payload_.open(index_, !last, sealed, n, dst, other) == 0) {
        OPENSSL_cleanse(dst, plain);
        why = last ? "age: the file ends after chunk " + std::to_string(index_) +
                         ", which is not the last: it was cut short"
                   : "age: data after the last chunk " + std::to_string(index_);
      }
      return static_cast<int>(fail(EIO, why));
    }
    ++index_;
    if (direct) {
      out.pos += plain;
    } else {
      plainPos_ = 0;
      plainLen_ = plain;
    }
    return 0;
  }

  AgeKey key_;
  AgePayloadKey payload_;
  size_t payloadStart_ = 0;
  std::vector<uint8_t> header_;
  size_t lineLen_ = 0, macEnd_ = 0;
  bool macSeen_ = false, bodyNext_ = false;
  std::vector<uint8_t> held_;  // sealed bytes of a chunk that came in pieces
  size_t heldLen_ = 0;
  std::vector<uint8_t> plain_;  // an opened chunk that did not fit the output
  size_t plainPos_ = 0, plainLen_ = 0;
  uint64_t index_ = 0;
  bool done_ = false;
  bool recovering_ = false, cutShort_ = false;
};

}  // namespace

std::unique_ptr<Stage> makeAgeReader(const Layer& layer, std::string& why) {
  return initialised<AgeReader>(why, layer);
}
std::unique_ptr<Stage> makeAgeRecoveryReader(const Layer& layer, std::string& why) {
  auto s = std::make_unique<AgeReader>();
  if (int rc = s->init(layer, why)) {
    errno = rc;
    return nullptr;
  }
  s->recover();
  return s;
}
std::unique_ptr<AgeWriterStage> makeAgeWriter(const Layer& layer, std::string& why) {
  auto s = std::make_unique<AgeWriter>();
  if (int rc = s->init(layer, why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

}  // namespace xio
