// The physical file as a random source, the unit cache the layers share,
// and the choice of a layer by its name.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "xiobyt/random/units.h"

namespace xio {

namespace {

class FileRandom : public RandomSource {
 public:
  FileRandom(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  const char* name() const override { return "file"; }
  uint64_t fileBytes() const override { return bytes_; }

  int64_t readAt(uint64_t offset, uint8_t* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = pread(fd_, buf + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        int e = errno;
        return fail(e,
                    "read failed at offset " + std::to_string(offset + done) + ": " + strerror(e));
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    bytes_ += done;
    return static_cast<int64_t>(done);
  }

 private:
  int fd_;
  uint64_t size_, bytes_ = 0;
};

}  // namespace

std::unique_ptr<RandomSource> makeFileRandom(int fd, uint64_t size) {
  return std::make_unique<FileRandom>(fd, size);
}

bool readExactly(RandomSource& src, uint64_t at, uint8_t* buf, size_t n) {
  int64_t r = src.readAt(at, buf, n);
  return r >= 0 && static_cast<size_t>(r) == n;
}

UnitSource::UnitSource(std::unique_ptr<RandomSource> below, std::vector<RandomUnit> units)
    : below_(std::move(below)), units_(std::move(units)) {
  if (!units_.empty()) size_ = units_.back().out + units_.back().outSize;
}

int UnitSource::load(size_t i) {
  const RandomUnit& u = units_[i];
  cached_ = static_cast<size_t>(-1);
  packed_.resize(static_cast<size_t>(u.inSize));
  int64_t got = below_->readAt(u.in, packed_.data(), packed_.size());
  if (got < 0) return static_cast<int>(failBelow(*below_));
  if (static_cast<uint64_t>(got) != u.inSize)
    return static_cast<int>(fail(EIO, "the file ends inside the " + std::string(name()) +
                                          " unit at offset " + std::to_string(u.in)));
  if (u.outSize > plainCapacity_) {
    plain_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(u.outSize));
    plainCapacity_ = static_cast<size_t>(u.outSize);
  }
  if (decode(i, packed_.data(), plain_.get()) != 0) return -1;
  cached_ = i;
  return 0;
}

int64_t UnitSource::readAt(uint64_t offset, uint8_t* buf, size_t n) {
  size_t done = 0;
  while (done < n && offset + done < size_) {
    uint64_t at = offset + done;
    size_t i = cached_;
    if (i >= units_.size() || at < units_[i].out || at >= units_[i].out + units_[i].outSize) {
      // The last unit that starts at or before `at`: an empty unit shares
      // its start with the next one and is passed over.
      auto it = std::upper_bound(units_.begin(), units_.end(), at,
                                 [](uint64_t v, const RandomUnit& u) { return v < u.out; });
      i = static_cast<size_t>(it - units_.begin()) - 1;
      if (load(i) != 0) return -1;
    }
    const RandomUnit& u = units_[i];
    size_t from = static_cast<size_t>(at - u.out);
    size_t k = std::min(n - done, static_cast<size_t>(u.outSize) - from);
    memcpy(buf + done, plain_.get() + from, k);
    done += k;
  }
  return static_cast<int64_t>(done);
}

std::unique_ptr<RandomSource> makeRandomLayer(const Layer& layer,
                                              std::unique_ptr<RandomSource> below,
                                              std::string& why) {
  if (layer.kind == "zstd") return makeZstdRandom(std::move(below), why);
  if (layer.kind == "xz") return makeXzRandom(std::move(below), why);
  if (layer.kind == "age") return makeAgeRandom(layer, std::move(below), why);
  why = "the " + layer.kind + " layer has no random access";
  return nullptr;
}

}  // namespace xio
