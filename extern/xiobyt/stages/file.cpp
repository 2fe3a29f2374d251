// The physical file as the last stage of a writer and the first of a reader.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "xiobyt/stages/stages.h"

namespace xio {

namespace {

class FileSink : public FileStage {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  const char* name() const override { return "file"; }

  int hole(uint64_t n) override {
    if (!block_.empty() && writeBlock() != 0) return -1;
    off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0 || ftruncate(fd_, end + static_cast<off_t>(n)) != 0 ||
        lseek(fd_, 0, SEEK_END) < 0) {
      int e = errno;
      return static_cast<int>(fail(e, std::string("cannot extend the file: ") + strerror(e)));
    }
    bytes_ += n;
    return 0;
  }

  int retarget(int fd) override {
    if (!block_.empty() && writeBlock() != 0) return -1;
    fd_ = fd;
    return 0;
  }

  int64_t step(InBuffer& in, OutBuffer&, EndOp op) override {
    while (in.left() > 0) {
      if (block_.empty() && in.left() >= kFileBlock) {  // large input: no copy
        size_t n = in.left() - in.left() % kFileBlock;
        if (writeAll(in.src + in.pos, n) != 0) return -1;
        in.pos += n;
        continue;
      }
      if (block_.capacity() < kFileBlock) block_.reserve(kFileBlock);
      size_t n = std::min(in.left(), kFileBlock - block_.size());
      block_.insert(block_.end(), in.src + in.pos, in.src + in.pos + n);
      in.pos += n;
      if (block_.size() == kFileBlock && writeBlock() != 0) return -1;
    }
    if ((op != EndOp::CONTINUE || block_.size() > kHeldAtRest) && !block_.empty() &&
        writeBlock() != 0)
      return -1;
    return 0;
  }

 private:
  int writeBlock() {
    int rc = writeAll(block_.data(), block_.size());
    std::vector<uint8_t>().swap(block_);  // an idle writer holds no block
    return rc;
  }
  int writeAll(const uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {  // no byte taken and no reason given: trying again would loop
        int e = w < 0 ? errno : EIO;
        return static_cast<int>(fail(
            e,
            std::string("write failed: ") +
                (w < 0 ? strerror(e) : "the file took none of " + std::to_string(n) + " bytes")));
      }
      p += w;
      n -= static_cast<size_t>(w);
      bytes_ += static_cast<uint64_t>(w);
    }
    return 0;
  }
  int fd_;
  std::vector<uint8_t> block_;
};

class FileSource : public FileStage {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  const char* name() const override { return "file"; }
  int hole(uint64_t) override { return static_cast<int>(fail(EBADF, "a source has no holes")); }
  int retarget(int) override { return static_cast<int>(fail(EBADF, "a source is not written")); }

  // Produces nothing exactly when the file has ended.
  int64_t step(InBuffer&, OutBuffer& out, EndOp) override {
    while (out.room() > 0) {
      ssize_t r = ::read(fd_, out.dst + out.pos, std::min(out.room(), kFileBlock));
      if (r < 0) {
        if (errno == EINTR) continue;
        int e = errno;
        return fail(e, std::string("read failed: ") + strerror(e));
      }
      if (r == 0) return 0;
      out.pos += static_cast<size_t>(r);
      bytes_ += static_cast<uint64_t>(r);
      return 1;
    }
    return 1;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FileStage> makeFileSink(int fd) { return std::make_unique<FileSink>(fd); }
std::unique_ptr<FileStage> makeFileSource(int fd) { return std::make_unique<FileSource>(fd); }

}  // namespace xio
