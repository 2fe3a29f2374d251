// The stage interface of the conversion pipeline.
//
// A stage turns one byte stream into another in bounded steps, in the manner
// of zstd's streaming buffers: each step consumes from an input buffer and
// produces into an output buffer, advancing their `pos`. A new codec is one
// new stage; the pipeline (pipeline.h) only moves bytes between stages.
//
// Ownership: stages are owned by their pipeline through std::unique_ptr and
// own every C handle they use (through the guards below). A stage is used by
// one thread at a time.
#pragma once

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace xio {

struct InBuffer {
  const uint8_t* src = nullptr;
  size_t size = 0;
  size_t pos = 0;
  size_t left() const { return size - pos; }
};

struct OutBuffer {
  uint8_t* dst = nullptr;
  size_t size = 0;
  size_t pos = 0;
  size_t room() const { return size - pos; }
};

// CONTINUE: convert what fits. FLUSH: also emit everything that can be
// emitted without ending the stream. END: the input is complete; finish.
enum class EndOp { CONTINUE, FLUSH, END };

// The most converted bytes a writer keeps between calls in each buffer
// after its first stage (a link of the pipeline, the file sink's block):
// more goes on down the chain, so that an open writer holds the data of
// its unfinished block and little else, and the file still gets writes of
// at least this size.
constexpr size_t kHeldAtRest = 128 << 10;

// A failure inside a stage: an errno value and the cause in words.
struct StageError {
  int code = 0;
  std::string message;
};

class Stage {
 public:
  virtual ~Stage() = default;
  // One step. Returns the number of bytes (or a lower bound) still waiting
  // to be emitted, 0 when nothing is pending (with END: the stream is
  // complete), or -1 with `error()` set. A stage consumes input or produces
  // output whenever both buffers allow; when it does neither it needs more
  // input (or, with END, it is done and returns 0).
  virtual int64_t step(InBuffer& in, OutBuffer& out, EndOp op) = 0;
  // The layer's name for traces ("gzip", "text", ...).
  virtual const char* name() const = 0;
  // Writing: the input a step is best given at once, which the handle
  // gathers the application's small writes into when this stage is first.
  virtual size_t inputBlock() const { return size_t{1} << 20; }
  const StageError& error() const { return error_; }

 protected:
  int64_t fail(int code, std::string message) {
    error_.code = code;
    error_.message = std::move(message);
    return -1;
  }
  StageError error_;
};

// Owns a file descriptor; closes it unless released.
class FdGuard {
 public:
  explicit FdGuard(int fd = -1) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports close's errno (0 when fine).
  int close() {
    int rc = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) rc = errno;
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Owns an iconv descriptor.
class IconvGuard {
 public:
  IconvGuard() = default;
  ~IconvGuard() {
    if (valid()) iconv_close(cd_);
  }
  IconvGuard(const IconvGuard&) = delete;
  IconvGuard& operator=(const IconvGuard&) = delete;
  // Returns 0 or the errno of iconv_open (EINVAL: unknown character set).
  int open(const std::string& to, const std::string& from) {
    if (valid()) iconv_close(cd_);
    cd_ = iconv_open(to.c_str(), from.c_str());
    return valid() ? 0 : errno;
  }
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

}  // namespace xio
