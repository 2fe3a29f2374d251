// gzip members through zlib.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

constexpr int kGzipWindow = 15 + 16;  // 32 KiB window, gzip wrapper

// Owns a z_stream set up for deflate or inflate.
class ZStream {
 public:
  explicit ZStream(bool deflating) : deflating_(deflating) { memset(&zs_, 0, sizeof zs_); }
  ~ZStream() {
    if (ready_) deflating_ ? deflateEnd(&zs_) : inflateEnd(&zs_);
  }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  z_stream* get() { return &zs_; }
  void setReady() { ready_ = true; }

  // Points the stream at the buffers; `sync` takes back what it used.
  void attach(InBuffer& in, OutBuffer& out) {
    zs_.next_in = const_cast<Bytef*>(in.src + in.pos);
    zs_.avail_in = static_cast<uInt>(std::min<size_t>(in.left(), UINT_MAX));
    zs_.next_out = out.dst + out.pos;
    zs_.avail_out = static_cast<uInt>(std::min<size_t>(out.room(), UINT_MAX));
  }
  void sync(InBuffer& in, OutBuffer& out) {
    in.pos = static_cast<size_t>(zs_.next_in - in.src);
    out.pos = static_cast<size_t>(zs_.next_out - out.dst);
  }
  std::string message(int rc) const { return zs_.msg ? zs_.msg : zError(rc); }

 private:
  z_stream zs_;
  bool deflating_;
  bool ready_ = false;
};

class GzipWriter : public Stage {
 public:
  GzipWriter(const std::string& name, const std::string& comment, bool sizeField)
      : zs_(true), name_(name), comment_(comment) {
    if (sizeField) extra_ = std::string("vk\x10\0", 4) + std::string(16, '\xff');
  }
  const char* name() const override { return "gzip"; }

  int init(int level, std::string& why) {
    int rc = deflateInit2(zs_.get(), level, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
      why = "gzip compressor cannot start: " + zs_.message(rc);
      return rc == Z_MEM_ERROR ? ENOMEM : EINVAL;
    }
    zs_.setReady();
    memset(&header_, 0, sizeof header_);
    header_.time = static_cast<uLong>(time(nullptr));
    header_.os = 3;  // Unix
    if (!name_.empty()) header_.name = reinterpret_cast<Bytef*>(name_.data());
    if (!comment_.empty()) header_.comment = reinterpret_cast<Bytef*>(comment_.data());
    if (!extra_.empty()) {
      header_.extra = reinterpret_cast<Bytef*>(extra_.data());
      header_.extra_len = static_cast<uInt>(extra_.size());
    }
    deflateSetHeader(zs_.get(), &header_);
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (done_) return 0;
    int flush = op == EndOp::CONTINUE ? Z_NO_FLUSH : op == EndOp::FLUSH ? Z_SYNC_FLUSH : Z_FINISH;
    zs_.attach(in, out);
    int rc = deflate(zs_.get(), flush);
    zs_.sync(in, out);
    if (rc == Z_STREAM_END) {
      done_ = true;
      return 0;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) return fail(EIO, "gzip compression: " + zs_.message(rc));
    if (op == EndOp::END) return 1;
    return out.room() == 0 ? 1 : 0;
  }

 private:
  ZStream zs_;
  std::string name_, comment_, extra_;  // referenced by header_ until the header is out
  gz_header header_;
  bool done_ = false;
};

class GzipReader : public Stage {
 public:
  GzipReader() : zs_(false) {}
  const char* name() const override { return "gzip"; }

  int init(std::string& why) {
    int rc = inflateInit2(zs_.get(), kGzipWindow);
    if (rc != Z_OK) {
      why = "gzip decompressor cannot start: " + zs_.message(rc);
      return rc == Z_MEM_ERROR ? ENOMEM : EINVAL;
    }
    zs_.setReady();
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    for (;;) {
      if (!inMember_) {  // between members: a new one starts with the next byte
        if (in.left() == 0) return 0;
        // Zero bytes after the last member (a tape or block device's
        // padding) end the data, as gzip -d takes them; anything after
        // them is garbage.
        if (members_ > 0 && (padding_ || in.src[in.pos] == 0)) {
          padding_ = true;
          while (in.left() > 0 && in.src[in.pos] == 0) ++in.pos;
          if (in.left() == 0) return 0;
          return fail(EIO,
                      "corrupt gzip data: trailing garbage after the zero padding that "
                      "follows member " +
                          std::to_string(members_));
        }
        inflateReset(zs_.get());
        inMember_ = true;
      }
      zs_.attach(in, out);
      int rc = inflate(zs_.get(), Z_NO_FLUSH);
      zs_.sync(in, out);
      if (rc == Z_STREAM_END) {
        inMember_ = false;
        ++members_;
        continue;
      }
      if (rc == Z_OK || rc == Z_BUF_ERROR) {
        if (out.room() == 0) return 1;
        if (in.left() == 0) {
          if (op == EndOp::END)
            return fail(EIO, "truncated gzip data: the stream ends inside member " +
                                 std::to_string(members_ + 1));
          return 0;
        }
        continue;
      }
      if (rc == Z_MEM_ERROR) return fail(ENOMEM, "gzip decompression: out of memory");
      std::string what = members_ == 0
                             ? "corrupt gzip data: "
                             : "corrupt gzip data after member " + std::to_string(members_) + ": ";
      return fail(EIO, what + zs_.message(rc));
    }
  }

 private:
  ZStream zs_;
  bool inMember_ = false, padding_ = false;
  uint64_t members_ = 0;
};

}  // namespace

std::unique_ptr<Stage> makeGzipWriter(int level, const std::string& name,
                                      const std::string& comment, bool sizeField,
                                      std::string& why) {
  auto s = std::make_unique<GzipWriter>(name, comment, sizeField);
  if (int rc = s->init(level, why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

std::unique_ptr<Stage> makeGzipReader(std::string& why) {
  auto s = std::make_unique<GzipReader>();
  if (int rc = s->init(why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

}  // namespace xio
