// Random access to converted bytes: sources that read at any offset without
// decoding what lies before it, for files that carry an index (the seek
// table or frame headers of zstd, the index of xz) or whose units have a
// fixed size (the chunks of age).
//
// Sources stack. The bottom one is the physical file; each layer above it
// reads the bytes of the source below and produces its own decoded bytes,
// one independent unit (zstd frame, xz block) at a time:
//
//   file -> [a layer that decrypts chunks] -> zstd or xz -> the application
//
// A layer is made over the source below it and owns it. Its factory reads
// the index through the source below only (never through the descriptor),
// so any layer that offers random access can sit underneath.
//
// A source keeps the last unit it decoded, so small reads inside one unit
// cost a copy. Units above kMaxRandomUnit decoded bytes are not held: a
// file made of such units (the zstd tool's single frame, the single block
// of `xz -T1`) gets no random source and is read as a stream.
//
// Ownership: each source owns the one below it; the physical source borrows
// the descriptor, which must outlive it. A source is used by one thread at
// a time. Nothing here throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "xiobyt/settings.h"
#include "xiobyt/stage.h"

namespace xio {

// The largest unit (decoded bytes) a source holds in memory.
constexpr uint64_t kMaxRandomUnit = 8 << 20;

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // The number of bytes this source produces; fixed when it is made.
  virtual uint64_t size() const = 0;
  // Reads up to `n` bytes at `offset` into `buf`: the count read, short
  // only at size() (0 at or past it), or -1 with error() set.
  virtual int64_t readAt(uint64_t offset, uint8_t* buf, size_t n) = 0;
  // The layer's name for traces ("file", "zstd", "xz").
  virtual const char* name() const = 0;
  // Bytes read from the physical file so far, through all layers.
  virtual uint64_t fileBytes() const = 0;

  // What made the last readAt fail: an errno value and the cause in words.
  // `indexWrong` says the data did not match what the index promised (a
  // frame whose size is not the one listed): the file may still read
  // correctly as a stream, which ignores the index.
  struct Error : StageError {
    bool indexWrong = false;
  };
  const Error& error() const { return error_; }

 protected:
  int64_t fail(int code, std::string message, bool indexWrong = false) {
    error_.code = code;
    error_.message = std::move(message);
    error_.indexWrong = indexWrong;
    return -1;
  }
  // Takes over the failure of the source below, naming where it happened.
  int64_t failBelow(const RandomSource& below) {
    error_ = below.error();
    error_.message = std::string("the ") + below.name() + " layer: " + error_.message;
    return -1;
  }
  Error error_;
};

// The physical file read with pread at the offset asked for; nothing is
// cached. `size` is the file's size when the chain is made.
std::unique_ptr<RandomSource> makeFileRandom(int fd, uint64_t size);

// A layer over `below`, or null when the layer has no index this library
// can trust (the caller then reads the file as a stream), when it cannot be
// read, or when the layer offers no random access. `why` says which.
// - zstd: the seek table, checked against the file's size; without one,
//   the frame headers, each of which must carry its content size.
// - xz: the indexes of every stream (concatenated streams and stream
//   padding included), checked by liblzma against the stream footers.
std::unique_ptr<RandomSource> makeZstdRandom(std::unique_ptr<RandomSource> below, std::string& why);
std::unique_ptr<RandomSource> makeXzRandom(std::unique_ptr<RandomSource> below, std::string& why);
// - age: the chunks by arithmetic on the size below, once the header opens
//   with the layer's key and the last chunk opens as the last.
std::unique_ptr<RandomSource> makeAgeRandom(const Layer& layer, std::unique_ptr<RandomSource> below,
                                            std::string& why);
// The source of a layer of a file string ("zstd", "xz"; a layer's
// arguments, such as keys, are there for the layers that need them); null
// for a layer without random access.
std::unique_ptr<RandomSource> makeRandomLayer(const Layer& layer,
                                              std::unique_ptr<RandomSource> below,
                                              std::string& why);

}  // namespace xio
