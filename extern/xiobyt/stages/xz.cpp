// xz through liblzma: the writer makes blocks of kXzBlock input bytes with
// the stream's index (on the shared pool with `threads` above 1); the
// reader takes concatenated streams and stream padding, as xz -d does.
#include <lzma.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "xiobyt/stages/pool.h"
#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

// Owns a lzma_stream once a coder is set up on it.
class LzmaStream {
 public:
  LzmaStream() = default;
  ~LzmaStream() { lzma_end(&s_); }
  LzmaStream(const LzmaStream&) = delete;
  LzmaStream& operator=(const LzmaStream&) = delete;
  lzma_stream* get() { return &s_; }

  lzma_ret code(InBuffer& in, OutBuffer& out, lzma_action action) {
    s_.next_in = in.src + in.pos;
    s_.avail_in = in.left();
    s_.next_out = out.dst + out.pos;
    s_.avail_out = out.room();
    lzma_ret rc = lzma_code(&s_, action);
    in.pos = static_cast<size_t>(s_.next_in - in.src);
    out.pos = static_cast<size_t>(s_.next_out - out.dst);
    return rc;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
};

const char* lzmaMessage(lzma_ret rc) {
  switch (rc) {
    case LZMA_MEM_ERROR:
      return "out of memory";
    case LZMA_FORMAT_ERROR:
      return "not xz data";
    case LZMA_OPTIONS_ERROR:
      return "unsupported options";
    case LZMA_DATA_ERROR:
      return "corrupt data";
    case LZMA_BUF_ERROR:
      return "the data ends too early";
    case LZMA_UNSUPPORTED_CHECK:
      return "unsupported integrity check";
    default:
      return "liblzma error";
  }
}

int lzmaErrno(lzma_ret rc) { return rc == LZMA_MEM_ERROR ? ENOMEM : EIO; }

// An xz block of one job's input, for the stream's index: its unpadded
// size and its data's size.
struct XzEntry {
  uint64_t unpadded = 0, uncompressed = 0;
};

// Encodes `input` as one block with LZMA2 at `preset` and a CRC-64 into
// `output`: "" or the cause. The dictionary is cut to the block size: a
// larger one finds nothing more in a block coded on its own, and costs
// its memory here and in every reader.
std::string encodeXzBlock(uint32_t preset, const std::vector<uint8_t>& input,
                          std::vector<uint8_t>& output, XzEntry& entry, int& code) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) {
    code = EINVAL;
    return "xz compressor cannot start: unsupported level";
  }
  options.dict_size = std::min<uint32_t>(options.dict_size, static_cast<uint32_t>(kXzBlock));
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_block block{};
  block.version = 0;
  block.check = LZMA_CHECK_CRC64;
  block.filters = filters;
  output.resize(lzma_block_buffer_bound(input.size()));
  size_t pos = 0;
  lzma_ret rc = lzma_block_buffer_encode(&block, nullptr, input.data(), input.size(),
                                         output.data(), &pos, output.size());
  if (rc != LZMA_OK) {
    output.clear();
    code = lzmaErrno(rc);
    return std::string("xz compression: ") + lzmaMessage(rc);
  }
  output.resize(pos);
  entry = {lzma_block_unpadded_size(&block), block.uncompressed_size};
  return "";
}

lzma_stream_flags crc64Flags() {
  lzma_stream_flags f;
  memset(&f, 0, sizeof f);
  f.check = LZMA_CHECK_CRC64;
  return f;
}

// One xz stream: the header, blocks of kXzBlock input bytes encoded on
// their own (lzma_block_buffer_encode; on the caller's thread, or on the
// shared pool with threads above 1), then the index of their sizes and the
// footer, which this stage writes itself. The bytes are the same whatever
// the thread count.
class XzWriter : public BlockWriter {
 public:
  XzWriter() : BlockWriter(kXzBlock) {}
  const char* name() const override { return "xz"; }

  int init(const EncoderParams& p, std::string& why) {
    preset_ = static_cast<uint32_t>(p.level);
    lzma_options_lzma probe;
    if (lzma_lzma_preset(&probe, preset_)) {
      why = "xz compressor cannot start: unsupported level " + std::to_string(p.level);
      return EINVAL;
    }
    if (p.threads > 1) {
      uint32_t preset = preset_;
      pool_ = std::make_unique<PoolStream>(p.threads, [preset](PoolJob& job) {
        XzEntry e;
        job.error = encodeXzBlock(preset, job.input, job.output, e, job.code);
        job.size = e.unpadded;
      });
    }
    packed_.resize(LZMA_STREAM_HEADER_SIZE);
    if (lzma_stream_header_encode(&flags_, packed_.data()) != LZMA_OK) {
      why = "xz compressor cannot start: cannot encode the stream header";
      return EIO;
    }
    return 0;
  }

 private:
  int endBlock() override {
    if (pool_) return submitBlock(*pool_, [](PoolJob&) {});
    XzEntry e;
    int code = 0;
    std::string error = encodeXzBlock(preset_, block_, packed_, e, code);
    if (!error.empty()) return static_cast<int>(fail(code, error));
    packedPos_ = 0;
    entries_.push_back(e);
    std::vector<uint8_t>().swap(block_);
    return 0;
  }

  int collect(bool wait) override {
    return collectFrom(pool_.get(), wait, [&](PoolJob& job) {
      std::swap(packed_, job.output);
      packedPos_ = 0;
      entries_.push_back({job.size, job.inputSize});
      return 0;
    });
  }

  // The index (a record per block) and the stream footer. liblzma cannot
  // fail these for sizes it produced but out of memory; then the footer is
  // left out, and xz -t rejects the stream rather than taking a wrong one.
  void finish() override {
    lzma_index* index = lzma_index_init(nullptr);
    bool ok = index != nullptr;
    for (const XzEntry& e : entries_)
      ok = ok && lzma_index_append(index, nullptr, e.unpadded, e.uncompressed) == LZMA_OK;
    if (ok) {
      size_t at = packed_.size();
      packed_.resize(at + lzma_index_size(index));
      size_t pos = at;
      ok = lzma_index_buffer_encode(index, packed_.data(), &pos, packed_.size()) == LZMA_OK;
      lzma_stream_flags footer = flags_;
      footer.backward_size = lzma_index_size(index);
      packed_.resize(pos + LZMA_STREAM_HEADER_SIZE);
      ok = ok && lzma_stream_footer_encode(&footer, packed_.data() + pos) == LZMA_OK;
      if (!ok) packed_.resize(at);
    }
    if (index) lzma_index_end(index, nullptr);
  }

  uint32_t preset_ = 6;
  lzma_stream_flags flags_ = crc64Flags();
  std::unique_ptr<PoolStream> pool_;  // more threads than one
  std::vector<XzEntry> entries_;
};

class XzReader : public Stage {
 public:
  const char* name() const override { return "xz"; }

  int init(std::string& why) {
    lzma_ret rc = lzma_stream_decoder(s_.get(), UINT64_MAX, LZMA_CONCATENATED);
    if (rc != LZMA_OK) {
      why = std::string("xz decompressor cannot start: ") + lzmaMessage(rc);
      return lzmaErrno(rc);
    }
    return 0;
  }

  // The input is run through first; once it is all taken at the end of the
  // data, the decoder is told to finish, which is where a truncated stream
  // shows (liblzma answers LZMA_BUF_ERROR when it cannot go on).
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override {
    if (done_) return 0;
    if (in.left() > 0) seen_ = true;
    for (;;) {
      bool last = op == EndOp::END && in.left() == 0;
      if (last && !seen_) return 0;  // an empty file holds no data
      lzma_ret rc = s_.code(in, out, last ? LZMA_FINISH : LZMA_RUN);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        return 0;
      }
      if (rc != LZMA_OK && (rc != LZMA_BUF_ERROR || last)) {
        const char* what = rc == LZMA_BUF_ERROR ? "truncated xz data: " : "corrupt xz data: ";
        return fail(lzmaErrno(rc), what + std::string(lzmaMessage(rc)));
      }
      if (out.room() == 0) return 1;
      if (in.left() == 0 && op != EndOp::END) return 0;  // more input wanted
    }
  }

 private:
  LzmaStream s_;
  bool done_ = false, seen_ = false;
};

}  // namespace

std::unique_ptr<Stage> makeXzWriter(const EncoderParams& p, std::string& why) {
  return initialised<XzWriter>(why, p);
}
std::unique_ptr<Stage> makeXzReader(std::string& why) { return initialised<XzReader>(why); }

}  // namespace xio
