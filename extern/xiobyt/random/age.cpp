// age files at any offset: the chunks have a fixed size, so the chunk that
// holds an offset is found by arithmetic and opened alone. A chunk's bytes
// are handed out only after its tag has been checked, here as in the
// stream.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "xiobyt/random/units.h"
#include "xiobyt/stages/age/age.h"

namespace xio {

namespace {

class AgeRandom : public RandomSource {
 public:
  AgeRandom(std::unique_ptr<RandomSource> below, size_t payloadStart, uint64_t plainSize)
      : below_(std::move(below)), start_(payloadStart), size_(plainSize) {
    chunks_ = size_ == 0 ? 1 : (size_ + kAgeChunk - 1) / kAgeChunk;
  }
  uint64_t size() const override { return size_; }
  const char* name() const override { return "age"; }
  uint64_t fileBytes() const override { return below_->fileBytes(); }
  AgePayloadKey& key() { return key_; }

  int64_t readAt(uint64_t offset, uint8_t* buf, size_t n) override {
    size_t done = 0;
    while (done < n && offset + done < size_) {
      uint64_t at = offset + done, i = at / kAgeChunk;
      if (i != cached_ && load(i) != 0) return -1;
      size_t from = static_cast<size_t>(at - i * kAgeChunk);
      size_t k = std::min(n - done, plainLen_ - from);
      memcpy(buf + done, plain_.data() + from, k);
      done += k;
    }
    return static_cast<int64_t>(done);
  }

  // Opens chunk `i` into the cache. 0, or -1 with fail() called.
  int load(uint64_t i) {
    cached_ = UINT64_MAX;
    bool last = i + 1 == chunks_;
    size_t plain = last ? static_cast<size_t>(size_ - i * kAgeChunk) : kAgeChunk;
    sealed_.resize(plain + kAgeTag);
    plain_.resize(kAgeChunk);
    uint64_t at = start_ + i * kAgeSealed;
    if (!readExactly(*below_, at, sealed_.data(), sealed_.size())) {
      if (below_->error().code != 0) return static_cast<int>(failBelow(*below_));
      return static_cast<int>(fail(EIO, "the file ends inside chunk " + std::to_string(i)));
    }
    std::string why;
    if (key_.open(i, last, sealed_.data(), sealed_.size(), plain_.data(), why) != 0)
      return static_cast<int>(fail(EIO, "chunk " + std::to_string(i) + " at offset " +
                                            std::to_string(at) + ": " + why));
    plainLen_ = plain;
    cached_ = i;
    return 0;
  }

 private:
  std::unique_ptr<RandomSource> below_;
  AgePayloadKey key_;
  size_t start_;
  uint64_t size_, chunks_ = 1, cached_ = UINT64_MAX;
  std::vector<uint8_t> sealed_, plain_;
  size_t plainLen_ = 0;
};

}  // namespace

std::unique_ptr<RandomSource> makeAgeRandom(const Layer& layer, std::unique_ptr<RandomSource> below,
                                            std::string& why) {
  AgeKey key;
  if (loadAgeKey(layer, key, why) != 0) return nullptr;
  // The header is short; it is read in growing steps until it opens.
  uint64_t fileSize = below->size();
  std::vector<uint8_t> head;
  AgePayloadKey probe;
  size_t start = 0;
  for (size_t want = 4096;; want *= 4) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(fileSize, std::min(want, kAgeHeaderMax)));
    head.resize(n);
    if (!readExactly(*below, 0, head.data(), n)) {
      why = "cannot read the age header";
      return nullptr;
    }
    int rc = ageOpenHeader(head.data(), n, key, probe, start, why);
    if (rc == 0) break;
    if (rc != EAGAIN || n == fileSize || n == kAgeHeaderMax) return nullptr;
  }
  int64_t plain = agePlainSize(fileSize, start);
  if (plain < 0) {
    why = "the age payload has no length that chunks can make";
    return nullptr;
  }
  auto src = std::make_unique<AgeRandom>(std::move(below), start, static_cast<uint64_t>(plain));
  if (ageOpenHeader(head.data(), head.size(), key, src->key(), start, why) != 0) return nullptr;
  // A file cut at a chunk's end would read short, not fail: only a last
  // chunk that opens as the last makes the size true. The stream then
  // reports what is wrong.
  uint64_t chunks = plain == 0 ? 1 : (static_cast<uint64_t>(plain) + kAgeChunk - 1) / kAgeChunk;
  if (src->load(chunks - 1) != 0) {
    why = src->error().message;
    return nullptr;
  }
  return src;
}

}  // namespace xio
