// The stages of this library and how to make them. Each factory returns a
// stage owned by the caller, or null with errno and `why` set when the stage
// cannot be set up (unknown character set, codec initialisation).
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "xiobyt/settings.h"
#include "xiobyt/stage.h"

namespace xio {

// A stage whose output is produced by a `transform` of whole input chunks
// into a pending buffer that later steps drain. Suits converters whose
// output size is not bounded by their input (character sets, records).
class BufferedStage : public Stage {
 public:
  int64_t step(InBuffer& in, OutBuffer& out, EndOp op) override;

 protected:
  // Converts all of [src, src+n) (keeping cut sequences internally),
  // appending to `pending_`; with `end` completes the stream. 0 or -1 (fail).
  virtual int transform(const uint8_t* src, size_t n, bool end) = 0;
  std::string pending_;

 private:
  void drain(OutBuffer& out);
  size_t pendingPos_ = 0;
  bool finished_ = false;
};

// Makes a T and calls its init(args..., why): the stage, or null with errno
// set to init's result.
template <class T, class... Args>
std::unique_ptr<Stage> initialised(std::string& why, const Args&... args) {
  auto s = std::make_unique<T>();
  if (int rc = s->init(args..., why)) {
    errno = rc;
    return nullptr;
  }
  return s;
}

// The physical file. The sink writes what it receives in blocks of
// kFileBlock bytes, and at the end of a push what it holds past
// kHeldAtRest; the source reads the file in blocks and produces it.
constexpr size_t kFileBlock = 1 << 20;
class FileStage : public Stage {
 public:
  uint64_t bytes() const { return bytes_; }
  // Sink: after what it holds is written, extends the file by `n` bytes
  // that read as zeros (a hole). 0, or -1 with error() set.
  virtual int hole(uint64_t n) = 0;
  // Sink: after what it holds is written to the file it had, writes on
  // into `fd` at its offset (a copy beside the file, or the file once a
  // copy went back into it). 0, or -1 with error() set.
  virtual int retarget(int fd) = 0;

 protected:
  uint64_t bytes_ = 0;
};
std::unique_ptr<FileStage> makeFileSink(int fd);
std::unique_ptr<FileStage> makeFileSource(int fd);

// What an encoder is set up with. One frame of a seekable zstd file is
// listed in its seek table as a SeekEntry.
struct SeekEntry {
  uint32_t compressed = 0, decompressed = 0;
};
struct EncoderParams {
  int level = -1;             // -1: the layer's default
  int threads = 1;            // compression threads (xz)
  std::string name, comment;  // what a gzip header records
  // zstd: frames already in the file that the seek table must cover, and
  // whether to write the table at all (not after frames it cannot list).
  const std::vector<SeekEntry>* seekEntries = nullptr;
  bool seekTable = true;
  // gzip: reserve the size subfield in the header (the outer layer only,
  // where the file can be patched at close).
  bool sizeField = false;
};

// gzip: the writer emits one member with the logical name (FNAME) and the
// comment (FCOMMENT); the reader accepts concatenated members. With
// `EncoderParams::sizeField` the header's FEXTRA holds one subfield of our own, ID "vk",
// 16 bytes: the member's length in the file and its data's length, both
// 64-bit little-endian, written as all ones and patched at close (gzip -d
// skips unknown subfields). It starts kGzipSizeAt bytes into the member.
constexpr uint64_t kGzipSizeAt = 16;
// With threads above 1 the member's blocks are compressed on that many
// worker threads.
std::unique_ptr<Stage> makeGzipWriter(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeGzipReader(std::string& why);

// zstd in the seekable layout (frames of kZstdFrame input bytes, then the
// seek table in a skippable frame); the reader takes any zstd frames.
constexpr size_t kZstdFrame = 1 << 20;
constexpr uint32_t kSkippableMagic = 0x184D2A5E, kSeekableMagic = 0x8F92EAB1;
std::unique_ptr<Stage> makeZstdWriter(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeZstdReader(std::string& why);

// xz in blocks of kXzBlock input bytes with the stream index; the reader
// takes concatenated streams.
constexpr uint64_t kXzBlock = 1 << 20;
std::unique_ptr<Stage> makeXzWriter(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeXzReader(std::string& why);

// bzip2 streams; the reader takes concatenated ones.
std::unique_ptr<Stage> makeBzip2Writer(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeBzip2Reader(std::string& why);

// base64 (lines of kBase64Line characters) and hex (lines of kHexLine).
constexpr size_t kBase64Line = 76, kHexLine = 60;
std::unique_ptr<Stage> makeBase64Writer(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeBase64Reader(std::string& why);
std::unique_ptr<Stage> makeHexWriter(const EncoderParams& p, std::string& why);
std::unique_ptr<Stage> makeHexReader(std::string& why);

// auto: the outer layer found by its magic bytes, else the bytes as they are.
enum class Detected { UNDECIDED, BYTES, GZIP, ZSTD, XZ, BZIP2 };
// The layer name of what was found ("gzip"), null for bytes or undecided.
const char* detectedLayer(Detected d);
// What the first `n` bytes of a file say it is; kLongestMagic bytes decide
// (fewer only at the end of a short file).
constexpr size_t kLongestMagic = 6;
Detected detectMagic(const uint8_t* p, size_t n);
class AutoStage : public Stage {
 public:
  virtual Detected detected() const = 0;
};
std::unique_ptr<AutoStage> makeAutoReader();

// The stages of a layer by its name (layers.cpp): the decoder, or the
// encoder. Null with errno and `why` when the
// layer is unknown to this library or its codec cannot start.
bool supportedLayer(const std::string& layer);
std::unique_ptr<Stage> makeReader(const std::string& layer, std::string& why);
std::unique_ptr<Stage> makeWriter(const std::string& layer, const EncoderParams& p,
                                  std::string& why);
// The same for a layer of a file string, with its arguments (age: the key).
std::unique_ptr<Stage> makeReader(const Layer& layer, std::string& why);
std::unique_ptr<Stage> makeWriter(const Layer& layer, const EncoderParams& p, std::string& why);

// Text: converts characters from one set and line end to another.
// `skipBom`: drop a byte-order mark at the start of the input; `emitBom`:
// start the output with one. With `bytesOnly` the characters pass unchanged
// and only the byte-order marks of `fromCharset`/`toCharset` are handled.
struct TextParams {
  std::string fromCharset, toCharset;
  Method fromMethod = Method::LF, toMethod = Method::LF;
  bool skipBom = false, emitBom = false, bytesOnly = false;
};
std::unique_ptr<Stage> makeTextStage(const TextParams& p, std::string& why);

// Records: the writer cuts text (format charset and line end) into FIX or
// VAR records of the file's character set; the reader turns records back
// into lines of the format.
struct RecordParams {
  std::string textCharset, recordCharset;
  Method textMethod = Method::LF;
  bool textBom = false;  // writer: skip one at the start; reader: emit one
  bool var = false;
  int recl = 0;
  std::string pad;  // one character (UTF-8); empty: the blank
};
std::unique_ptr<Stage> makeRecordWriter(const RecordParams& p, std::string& why);
std::unique_ptr<Stage> makeRecordReader(const RecordParams& p, std::string& why);

}  // namespace xio
