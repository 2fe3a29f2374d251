// gzip members through zlib.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "xiobyt/stages/pool.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

constexpr int kGzipWindow = 15 + 16;  // 32 KiB window, gzip wrapper

// FEXTRA's one subfield: ID "vk", 16 bytes, all ones until patched.
std::string sizeSubfield() { return std::string("vk\x10\0", 4) + std::string(16, '\xff'); }

std::string zs_message(const z_stream* z, int rc) { return z->msg ? z->msg : zError(rc); }

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
    if (sizeField) extra_ = sizeSubfield();
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

// One gzip member made of blocks of kGzipBlock input bytes compressed on
// worker threads: each block is a raw deflate stream primed with the 32 KiB
// before it as dictionary and ended on a byte boundary (a sync flush), so
// that the blocks join into one deflate stream; an empty final block, the
// CRC-32 joined with crc32_combine and the length end the member. gzip -d
// and gzip -l see an ordinary single member, a few bytes larger per block
// than one deflate stream.
constexpr size_t kGzipBlock = 128 << 10, kGzipDictionary = 32 << 10;

// The raw deflate stream of this thread at `level`, reset (kept per
// thread, not per stream, like zstd's contexts); null when out of memory.
z_stream* threadDeflate(int level) {
  struct Context {
    ZStream zs{true};
    int level = 0;
  };
  thread_local std::unique_ptr<Context> c;
  if (c && c->level != level) c.reset();
  if (!c) {
    auto made = std::make_unique<Context>();
    if (deflateInit2(made->zs.get(), level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      return nullptr;
    made->zs.setReady();
    made->level = level;
    c = std::move(made);
  }
  deflateReset(c->zs.get());
  return c->zs.get();
}

void deflateBlock(int level, PoolJob& job) {
  z_stream* z = threadDeflate(level);
  if (!z) {
    job.code = ENOMEM;
    job.error = "gzip compressor cannot start: out of memory";
    return;
  }
  if (!job.dictionary.empty())
    deflateSetDictionary(z, job.dictionary.data(), static_cast<uInt>(job.dictionary.size()));
  job.output.resize(deflateBound(z, job.input.size()) + 16);
  z->next_in = job.input.data();
  z->avail_in = static_cast<uInt>(job.input.size());
  size_t done = 0;
  for (;;) {
    z->next_out = job.output.data() + done;
    z->avail_out = static_cast<uInt>(job.output.size() - done);
    int rc = deflate(z, Z_SYNC_FLUSH);
    done = job.output.size() - z->avail_out;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      job.error = "gzip compression: " + zs_message(z, rc);
      return;
    }
    if (z->avail_out > 0 && z->avail_in == 0) break;
    job.output.resize(job.output.size() + 4096);
  }
  job.output.resize(done);
  job.check =
      static_cast<uint32_t>(crc32(0, job.input.data(), static_cast<uInt>(job.input.size())));
}

class ParallelGzipWriter : public BlockWriter {
 public:
  ParallelGzipWriter() : BlockWriter(kGzipBlock) {}
  const char* name() const override { return "gzip"; }

  int init(const EncoderParams& p, const std::string& extra, std::string& why) {
    int level = p.level;
    pool_ = std::make_unique<PoolStream>(p.threads,
                                         [level](PoolJob& job) { deflateBlock(level, job); });
    // The header as zlib writes it: FEXTRA, FNAME, FCOMMENT in that order.
    uint8_t flags =
        (extra.empty() ? 0 : 4) | (p.name.empty() ? 0 : 8) | (p.comment.empty() ? 0 : 16);
    auto t = static_cast<uint32_t>(time(nullptr));
    packed_ = {0x1f,
               0x8b,
               8,
               flags,
               static_cast<uint8_t>(t),
               static_cast<uint8_t>(t >> 8),
               static_cast<uint8_t>(t >> 16),
               static_cast<uint8_t>(t >> 24),
               static_cast<uint8_t>(level == 9   ? 2
                                    : level == 1 ? 4
                                                 : 0),
               3};
    if (!extra.empty()) {
      packed_.push_back(static_cast<uint8_t>(extra.size()));
      packed_.push_back(static_cast<uint8_t>(extra.size() >> 8));
      packed_.insert(packed_.end(), extra.begin(), extra.end());
    }
    for (const std::string* text : {&p.name, &p.comment})
      if (!text->empty())
        packed_.insert(packed_.end(), text->c_str(), text->c_str() + text->size() + 1);
    (void)why;
    return 0;
  }

 private:
  // Hands the block to the pool with the 32 KiB before it.
  int endBlock() override {
    return submitBlock(*pool_, [&](PoolJob& job) {
      job.dictionary = std::move(window_);
      // The last 32 KiB of the dictionary and the block, in a buffer of
      // that size (not one that held the block).
      const std::vector<uint8_t>& d = job.dictionary;
      const std::vector<uint8_t>& b = job.input;
      size_t fromBlock = std::min(b.size(), kGzipDictionary);
      size_t fromOld = std::min(d.size(), kGzipDictionary - fromBlock);
      window_.reserve(fromOld + fromBlock);
      window_.assign(d.end() - static_cast<std::ptrdiff_t>(fromOld), d.end());
      window_.insert(window_.end(), b.end() - static_cast<std::ptrdiff_t>(fromBlock), b.end());
    });
  }

  int collect(bool wait) override {
    return collectFrom(pool_.get(), wait, [&](PoolJob& job) { return finished(job); });
  }

  int finished(PoolJob& job) {
    std::swap(packed_, job.output);
    packedPos_ = 0;
    crc_ = static_cast<uint32_t>(
        crc32_combine(crc_, job.check, static_cast<z_off_t>(job.inputSize)));
    length_ += job.inputSize;
    return 0;
  }

  // An empty final block (fixed codes, end of block), CRC-32, length.
  void finish() override {
    packed_ = {0x03, 0x00};
    for (uint32_t v : {crc_, static_cast<uint32_t>(length_)})
      for (int i = 0; i < 4; ++i) packed_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }

  std::unique_ptr<PoolStream> pool_;
  std::vector<uint8_t> window_;
  uint32_t crc_ = 0;
  uint64_t length_ = 0;  // ISIZE keeps it modulo 2^32
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

std::unique_ptr<Stage> makeGzipWriter(const EncoderParams& p, std::string& why) {
  if (p.threads > 1) {
    std::string extra = p.sizeField ? sizeSubfield() : "";
    return initialised<ParallelGzipWriter>(why, p, extra);
  }
  int level = p.level;
  auto s = std::make_unique<GzipWriter>(p.name, p.comment, p.sizeField);
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
