// xz: the blocks listed by the indexes of every stream in the file, each
// decoded on its own from its block header. liblzma checks each index
// against its stream footer, each block against its header, its index
// entry and its integrity check.
#include <lzma.h>

#include <cerrno>
#include <cstring>

#include "xiobyt/random/units.h"

namespace xio {

namespace {

// Owns a lzma_stream once a coder is set up on it.
struct LzmaGuard {
  lzma_stream s = LZMA_STREAM_INIT;
  LzmaGuard() = default;
  LzmaGuard(const LzmaGuard&) = delete;
  LzmaGuard& operator=(const LzmaGuard&) = delete;
  ~LzmaGuard() { lzma_end(&s); }
};

struct IndexFree {
  void operator()(lzma_index* i) const { lzma_index_end(i, nullptr); }
};

// The combined index of all streams, read through `src` the way xz -l does.
// Its memory is bounded, so that a file claiming millions of blocks cannot
// exhaust the process: past the bound the file reads as a stream.
constexpr uint64_t kIndexMemory = 64 << 20;
lzma_index* readIndex(RandomSource& src) {
  LzmaGuard g;
  lzma_index* index = nullptr;
  uint64_t size = src.size();
  if (lzma_file_info_decoder(&g.s, &index, kIndexMemory, size) != LZMA_OK) return nullptr;
  uint8_t buf[8192];
  uint64_t at = 0;
  for (;;) {
    if (g.s.avail_in == 0 && at < size) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, size - at));
      if (!readExactly(src, at, buf, n)) return nullptr;
      g.s.next_in = buf;
      g.s.avail_in = n;
      at += n;
    }
    lzma_ret rc = lzma_code(&g.s, LZMA_RUN);
    if (rc == LZMA_SEEK_NEEDED) {
      at = g.s.seek_pos;
      g.s.avail_in = 0;
      continue;
    }
    if (rc == LZMA_STREAM_END) return index;
    if (rc != LZMA_OK) return nullptr;  // the decoder frees a partial index itself
  }
}

struct BlockFacts {
  uint64_t unpadded = 0;
  lzma_check check = LZMA_CHECK_NONE;
};

class XzRandom : public UnitSource {
 public:
  XzRandom(std::unique_ptr<RandomSource> below, std::vector<RandomUnit> units,
           std::vector<BlockFacts> facts)
      : UnitSource(std::move(below), std::move(units)), facts_(std::move(facts)) {}
  const char* name() const override { return "xz"; }

 private:
  int decode(size_t i, const uint8_t* packed, uint8_t* out) override {
    const RandomUnit& u = units()[i];
    std::string where = "block " + std::to_string(i) + " at offset " + std::to_string(u.in);
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    filters[0].id = LZMA_VLI_UNKNOWN;
    lzma_block block{};
    block.version = 1;
    block.check = facts_[i].check;
    block.filters = filters;
    block.header_size = u.inSize > 0 ? lzma_block_header_size_decode(packed[0]) : 0;
    if (u.inSize == 0 || packed[0] == 0 || block.header_size > u.inSize)
      return static_cast<int>(fail(EIO, "corrupt xz data: no block header in " + where));
    lzma_ret rc = lzma_block_header_decode(&block, nullptr, packed);
    if (rc != LZMA_OK)
      return static_cast<int>(fail(EIO, "corrupt xz data: a damaged block header in " + where));
    struct FiltersFree {
      lzma_filter* f;
      ~FiltersFree() { lzma_filters_free(f, nullptr); }
    } freeFilters{filters};
    if (lzma_block_compressed_size(&block, facts_[i].unpadded) != LZMA_OK ||
        (block.uncompressed_size != LZMA_VLI_UNKNOWN && block.uncompressed_size != u.outSize))
      return static_cast<int>(
          fail(EIO, "corrupt xz data: the header of " + where + " disagrees with the index"));
    block.uncompressed_size = u.outSize;
    rc = lzma_block_decoder(&coder_.s, &block);
    if (rc != LZMA_OK)
      return static_cast<int>(
          fail(rc == LZMA_MEM_ERROR ? ENOMEM : EIO, "xz decompressor cannot start on " + where));
    coder_.s.next_in = packed + block.header_size;
    coder_.s.avail_in = static_cast<size_t>(u.inSize - block.header_size);
    coder_.s.next_out = out;
    coder_.s.avail_out = static_cast<size_t>(u.outSize);
    do rc = lzma_code(&coder_.s, LZMA_FINISH);
    while (rc == LZMA_OK);
    if (rc != LZMA_STREAM_END || coder_.s.avail_out != 0 || coder_.s.avail_in != 0)
      return static_cast<int>(
          fail(rc == LZMA_MEM_ERROR ? ENOMEM : EIO,
               "corrupt xz data in " + where +
                   (rc == LZMA_UNSUPPORTED_CHECK ? ": unsupported integrity check" : "")));
    return 0;
  }

  std::vector<BlockFacts> facts_;
  LzmaGuard coder_;  // kept from block to block: its dictionary is reused
};

}  // namespace

std::unique_ptr<RandomSource> makeXzRandom(std::unique_ptr<RandomSource> below, std::string& why) {
  std::unique_ptr<lzma_index, IndexFree> index(readIndex(*below));
  if (!index) {
    why = "no xz index that can be read";
    return nullptr;
  }
  std::vector<RandomUnit> units;
  std::vector<BlockFacts> facts;
  lzma_index_iter it;
  lzma_index_iter_init(&it, index.get());
  while (!lzma_index_iter_next(&it, LZMA_INDEX_ITER_NONEMPTY_BLOCK)) {
    if (it.stream.flags == nullptr) {
      why = "an xz stream whose integrity check is unknown";
      return nullptr;
    }
    if (it.block.uncompressed_size > kMaxRandomUnit ||
        it.block.total_size > lzma_block_buffer_bound(kMaxRandomUnit)) {
      why = "a block of " + std::to_string(it.block.uncompressed_size) +
            " bytes is too large to hold";
      return nullptr;
    }
    units.push_back({it.block.compressed_file_offset, it.block.total_size,
                     it.block.uncompressed_file_offset, it.block.uncompressed_size});
    facts.push_back({it.block.unpadded_size, it.stream.flags->check});
  }
  return std::make_unique<XzRandom>(std::move(below), std::move(units), std::move(facts));
}

}  // namespace xio
