// xiorecover: the file of a writer that died, decoded as far as it decodes
// and written again, complete, in its place.
//
// The decoding is driven here rather than by the reading pipeline: when a
// stage fails, what it produced before the failure still goes on to the
// stages after it, which are then told the data has ended; so every layer
// hands on the longest prefix it can decode, and nothing that decoded is
// dropped on the way (the pipeline would drop the block a failing stage
// was filling).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>

#include "xiobyt/handle.h"
#include "xiobyt/sizes.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/trace.h"

namespace xio {

namespace {

constexpr size_t kSlice = 256 << 10;

// Failures that say nothing about the data: the key, memory, permissions.
// They end the recovery, never the file.
bool fatal(int code) { return code == EACCES || code == EPERM || code == ENOMEM || code == ENOENT; }

// How the decoding of a file went.
struct Decoded {
  uint64_t bytes = 0;   // converted bytes handed to the sink
  bool failed = false;  // a stage failed: the file is not complete
  bool damage = false;  // the first failure met data that is not a prefix of a stream
  size_t failedAt = 0;  // the stage that failed first
  int fatalCode = 0;    // a failure that stops the recovery
  std::string cause;
  bool emptyStream = false;  // a compressor or age was given no byte at all
};

// A reading stage and how it is fed.
struct Reading {
  std::unique_ptr<Stage> stage;
  bool stream = false;  // a valid stream has at least one byte
  // Input per step, 0 for all there is: a stage that converts its input in
  // blocks drops the block it fails in, so it gets small ones.
  size_t piece = 0;
};
constexpr size_t kPiece = 512;

// The reading stages of a file, from the one on the file to the format,
// driven by pushing the file's bytes through them.
class PrefixDecoder {
 public:
  using Sink = std::function<int(const uint8_t*, size_t, std::string&)>;

  PrefixDecoder(std::vector<Reading> stages, Sink sink) : sink_(std::move(sink)) {
    for (Reading& r : stages) {
      nodes_.emplace_back();
      nodes_.back().stage = std::move(r.stage);
      nodes_.back().stream = r.stream;
      nodes_.back().piece = r.piece;
    }
  }

  // Decodes the first `limit` bytes of the file at `fd`, from its start.
  Decoded run(int fd, uint64_t limit = UINT64_MAX) {
    std::vector<uint8_t> slice(kSlice);
    if (lseek(fd, 0, SEEK_SET) < 0) {
      result_.fatalCode = errno;
      result_.cause = std::string("cannot rewind: ") + strerror(errno);
      return result_;
    }
    for (uint64_t left = limit; left > 0;) {
      ssize_t r = ::read(fd, slice.data(), static_cast<size_t>(std::min<uint64_t>(kSlice, left)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        result_.fatalCode = errno;
        result_.cause = std::string("read failed: ") + strerror(errno);
        return result_;
      }
      if (r == 0 || stopped_) break;
      left -= static_cast<uint64_t>(r);
      push(0, slice.data(), static_cast<size_t>(r), false);
      if (result_.fatalCode || stopped_) break;
    }
    if (!result_.fatalCode && !nodes_[0].ended) push(0, nullptr, 0, true);
    for (const Node& n : nodes_)
      if (n.stream && n.fed == 0 && !result_.failed) result_.emptyStream = true;
    return result_;
  }

 private:
  struct Node {
    std::unique_ptr<Stage> stage;
    bool stream = false, ended = false;
    size_t piece = 0;
    std::vector<uint8_t> in, out;
    size_t inPos = 0;
    uint64_t fed = 0;
  };

  // Hands bytes (and with `end` the end of the data) to stage i, or past
  // the last stage to the sink.
  void push(size_t i, const uint8_t* p, size_t n, bool end) {
    if (result_.fatalCode) return;
    if (i == nodes_.size()) {
      if (n == 0) return;
      std::string why;
      if (int e = sink_(p, n, why)) {
        result_.fatalCode = e;
        result_.cause = why;
      }
      result_.bytes += n;
      return;
    }
    Node& node = nodes_[i];
    if (node.ended) return;
    if (n > 0) {
      if (node.inPos > 0) {
        node.in.erase(node.in.begin(), node.in.begin() + static_cast<ptrdiff_t>(node.inPos));
        node.inPos = 0;
      }
      node.in.insert(node.in.end(), p, p + n);
      node.fed += n;
    }
    if (node.out.empty()) node.out.resize(kSlice);
    for (;;) {
      size_t limit =
          node.piece ? std::min(node.in.size(), node.inPos + node.piece) : node.in.size();
      const bool last = end && limit == node.in.size();
      InBuffer in{node.in.data(), limit, node.inPos};
      OutBuffer out{node.out.data(), node.out.size(), 0};
      int64_t r = node.stage->step(in, out, last ? EndOp::END : EndOp::CONTINUE);
      bool progress = in.pos != node.inPos || out.pos > 0;
      node.inPos = in.pos;
      const bool allIn = node.inPos == node.in.size();
      if (out.pos > 0) push(i + 1, node.out.data(), out.pos, false);
      if (result_.fatalCode) return;
      // At the end a stage must take its input or end: one that neither
      // takes nor gives would be stepped for ever.
      if (r < 0 || (last && !progress && (r != 0 || !allIn))) {
        failAt(i, r < 0 ? node.stage->error() : StageError{EIO, "no progress at the end"},
               !(last && allIn));
        return;
      }
      if (last) {
        if (r == 0 && allIn && out.pos < node.out.size()) break;
        continue;
      }
      if (!progress && end) {
        failAt(i, StageError{EIO, "no progress"}, true);
        return;
      }
      if (!progress || (allIn && out.pos < node.out.size())) return;  // more input wanted
    }
    node.ended = true;
    push(i + 1, nullptr, 0, true);
  }

  void failAt(size_t i, const StageError& e, bool damage) {
    nodes_[i].ended = true;
    if (fatal(e.code)) {
      result_.fatalCode = e.code;
      result_.cause = std::string("the ") + nodes_[i].stage->name() + " layer: " + e.message;
      return;
    }
    if (!result_.failed) {
      result_.failed = true;
      result_.damage = damage;
      result_.failedAt = i;
      result_.cause = std::string("the ") + nodes_[i].stage->name() + " layer: " + e.message;
    }
    stopped_ = true;
    push(i + 1, nullptr, 0,
         true);  // what it decoded is the end of the data after it
  }

  std::vector<Node> nodes_;
  Sink sink_;
  Decoded result_;
  bool stopped_ = false;
};

// The reading stages of the file the write strings describe.
int readingStages(const XioHandle& w, std::vector<Reading>& stages, std::string& why) {
  for (const Layer& l : w.spec.layers) {
    Reading r;
    r.stage = l.kind == "age" ? makeAgeRecoveryReader(l, why) : makeReader(l, why);
    if (!r.stage) return errno ? errno : EIO;
    bool text = l.kind == "base64" || l.kind == "hex";
    r.stream = !text;
    r.piece = text ? kPiece : 0;
    stages.push_back(std::move(r));
  }
  if (w.spec.kind == Kind::TEXT || w.spec.kind == Kind::REC) {
    XioHandle h;  // the format stage as a reader of the same strings
    h.spec = w.spec;
    h.spec.write = false;
    h.format = w.format;
    errno = 0;
    Reading r;
    r.stage = makeFormatStage(h, why);
    if (!r.stage && errno != 0) return errno;
    r.piece = kPiece;
    if (r.stage) stages.push_back(std::move(r));
  }
  return 0;
}

// Decodes the first `limit` bytes of the file into `sink`.
int decodeFile(const XioHandle& w, int fd, uint64_t limit, const PrefixDecoder::Sink& sink,
               Decoded& d, std::string& why) {
  std::vector<Reading> stages;
  if (int rc = readingStages(w, stages, why)) return rc;
  d = PrefixDecoder(std::move(stages), sink).run(fd, limit);
  if (d.fatalCode) {
    why = "cannot decode the file: " + d.cause;
    return d.fatalCode;
  }
  return 0;
}

int countOnly(const uint8_t*, size_t, std::string&) { return 0; }

// Where the run of zero bytes that ends the file begins (a crash can leave
// the last blocks of a file allocated but never written).
uint64_t zeroTailStart(int fd, uint64_t size) {
  uint8_t buf[4096];
  uint64_t end = size;
  while (end > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, end));
    if (!preadFull(fd, buf, n, end - n)) return size;
    size_t k = n;
    while (k > 0 && buf[k - 1] == 0) --k;
    if (k > 0) return end - n + k;
    end -= n;
  }
  return 0;
}

// A write handle on a new copy beside the physical file, which xiopclose
// puts into the file's own inode (finishCopy), `in` being the file as it
// was checked.
int openTarget(XioHandle& h, int in, std::string& why) {
  FdGuard target(
      ::open(h.physical.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  struct stat was, is;
  if (target.get() < 0 || fstat(target.get(), &is) != 0 || fstat(in, &was) != 0) {
    int e = errno;
    why = std::string("cannot open the file for writing: ") + strerror(e);
    return e;
  }
  if (is.st_ino != was.st_ino || is.st_dev != was.st_dev) {
    why = "the file was replaced while it was being recovered";
    return EAGAIN;
  }
  if (int e = makeTempBeside(h.physical, h.tempPath, h.fd, "recover into", why); e != 0) return e;
  h.target.reset(target.release());
  h.gzipOuter = !h.spec.layers.empty() && h.spec.layers[0].kind == "gzip";
  return buildPipeline(h, why);
}

// The bytes every file of `layers` begins with, as far as they are fixed,
// in each form it may take: the magic of the innermost layer that has one,
// encoded by the base64 and hex layers outside it (only the characters
// that the known bytes fix). None when no layer has a magic.
std::vector<std::string> fileBeginnings(const std::vector<Layer>& layers) {
  static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::string> forms;
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
    const std::string& k = it->kind;
    if (k == "base64") {
      for (std::string& f : forms) {
        std::string out;
        size_t i = 0;
        uint32_t bits = 0;
        int have = 0;
        for (; i < f.size(); ++i) {
          bits = (bits << 8) | static_cast<uint8_t>(f[i]);
          have += 8;
          while (have >= 6) {
            out += kB64[(bits >> (have - 6)) & 63];
            have -= 6;
          }
        }
        f = out;
      }
    } else if (k == "hex") {
      for (std::string& f : forms) {
        static const char kHex[] = "0123456789abcdef";
        std::string out;
        for (unsigned char c : f) out += {kHex[c >> 4], kHex[c & 15]};
        f = out;
      }
    } else if (k == "gzip") {
      forms = {std::string("\x1f\x8b", 2)};
    } else if (k == "xz") {
      forms = {
          std::string("\xfd"
                      "7zXZ\0",
                      6)};
    } else if (k == "bzip2") {
      forms = {"BZh"};
    } else if (k == "age") {
      forms = {"age-encryption.org/v1\n"};
    } else if (k == "zstd") {  // a frame, or a skippable frame
      forms = {std::string("\x28\xb5\x2f\xfd", 4)};
      for (int m = 0x50; m <= 0x5f; ++m)
        forms.push_back(std::string(1, static_cast<char>(m)) + "\x2a\x4d\x18");
    } else {
      forms.clear();  // a layer without a magic: nothing is known of the start
    }
  }
  return forms;
}

// Whether the first `n` bytes of the file at `fd` begin as one of `forms`
// does (hex in either case where hex is on the file).
bool beginsAsItsLayers(int fd, uint64_t n, const std::vector<std::string>& forms, bool hexOuter) {
  if (forms.empty() || n == 0) return true;
  size_t longest = 0;
  for (const std::string& f : forms) longest = std::max(longest, f.size());
  std::string head(static_cast<size_t>(std::min<uint64_t>(n, longest)), '\0');
  if (!preadFull(fd, reinterpret_cast<uint8_t*>(head.data()), head.size(), 0)) return true;
  for (const std::string& f : forms) {
    size_t k = std::min(head.size(), f.size());
    bool same = true;
    for (size_t i = 0; i < k && same; ++i)
      same = hexOuter ? tolower(static_cast<unsigned char>(head[i])) == f[i] : head[i] == f[i];
    if (same) return true;
  }
  return false;
}

// Already complete: every stage decoded to its end, each stream had its
// bytes, and a seekable zstd file on the outside still has its table.
bool complete(const Decoded& d, const XioHandle& w, int fd, uint64_t size) {
  if (d.failed || d.emptyStream) return false;
  if (!w.spec.layers.empty() && w.spec.layers[0].kind == "zstd") {
    std::vector<SeekEntry> entries;
    uint64_t at = 0;
    return readSeekTable(fd, size, entries, at);
  }
  return true;
}

int64_t recover(char* trace, const char* fileString, const char* formatString,
                std::string* inverseCommand, std::string* inverseFormat) {
  if (inverseCommand) inverseCommand->clear();
  if (inverseFormat) inverseFormat->clear();
  if (fileString == nullptr) {
    traceFailure(trace, "xiorecover", "", "", EINVAL, "no file string (null)");
    return -1;
  }
  auto h = std::make_unique<XioHandle>();
  h->write = true;
  h->fileString = fileString;
  std::string why;
  int rc = parseFileString(fileString, h->spec, why);
  h->physical = h->spec.file;
  if (rc == 0) rc = parseFormatString(formatString, true, h->format, why);
  if (rc == 0 && !h->spec.write) {
    why = "xiorecover takes the write command the file was written with";
    rc = EINVAL;
  }
  if (rc == 0 && h->physical.empty()) {
    why = "no physical file name: file='' names none";
    rc = EINVAL;
  }
  auto failed = [&](int code, const std::string& cause) {
    traceFailure(trace, "xiorecover", h->physical, fileString, code, cause);
    errno = code;
    return -1;
  };
  if (rc != 0) return failed(rc, why);
  // The file is read through the descriptor that was checked, never
  // through a link at the name.
  FdGuard in(
      ::open(h->physical.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) return failed(errno, std::string("cannot open: ") + strerror(errno));
  struct stat st;
  if (fstat(in.get(), &st) != 0)
    return failed(errno, std::string("cannot stat: ") + strerror(errno));
  if (!S_ISREG(st.st_mode)) return failed(EINVAL, "not a regular file");
  // A writer that died while copying a complete copy back into the file
  // left that copy durable beside it: the copy is what the file was to be.
  if (int done = finishLeftoverCopy(h->physical, in.get(), why); done < 0) {
    return failed(-done, why);
  } else if (done > 0 && fstat(in.get(), &st) != 0) {
    return failed(errno, std::string("cannot stat: ") + strerror(errno));
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);

  // First pass: how far the file decodes, and whether it is complete.
  auto readCommand = [&] {
    if (inverseCommand) *inverseCommand = fileCommand(h->spec, false, h->physical);
    if (inverseFormat) *inverseFormat = formatCommand(h->format);
  };
  if (h->spec.layers.empty() && h->spec.kind == Kind::BIN) {  // every byte is data
    readCommand();
    return static_cast<int64_t>(size);
  }
  // A file that does not begin as files of its layers begin is not one
  // that a crash cut: it is left as it is, however short (a zero tail, which
  // a crash may leave, aside).
  const uint64_t zeros = zeroTailStart(in.get(), size);
  if (!h->spec.layers.empty() && !beginsAsItsLayers(in.get(), zeros, fileBeginnings(h->spec.layers),
                                                    h->spec.layers[0].kind == "hex"))
    return failed(EIO, "the file does not begin as files of its layers (" + h->spec.layers[0].kind +
                           " on the file) begin, so it is left as it is");
  Decoded first;
  if ((rc = decodeFile(*h, in.get(), UINT64_MAX, countOnly, first, why)) != 0)
    return failed(rc, why);
  if (complete(first, *h, in.get(), size)) {
    readCommand();
    return static_cast<int64_t>(first.bytes);
  }
  // Zero bytes at the end may be blocks a crash left allocated but never
  // written: the file without them may decode further (a last age chunk
  // before them, the base64 lines before them).
  uint64_t limit = UINT64_MAX;
  if (zeros < size) {
    Decoded before;
    if ((rc = decodeFile(*h, in.get(), zeros, countOnly, before, why)) != 0) return failed(rc, why);
    if (before.bytes > first.bytes || (before.bytes == first.bytes && !before.damage)) {
      first = before;
      limit = zeros;
    }
  }
  // Nothing decodes from data that is neither a cut stream nor one followed
  // by such zeros: the strings do not describe this file, and writing an
  // empty stream over it would destroy it.
  if (first.bytes == 0 && first.damage)
    return failed(EIO,
                  "nothing of the file decodes as the strings describe it, so it is "
                  "left as it is: " +
                      first.cause);

  // Second pass: the same decoding, written again with the write command.
  if ((rc = openTarget(*h, in.get(), why)) != 0) return failed(rc, why);
  XioHandle* target = h.get();
  Decoded second;
  rc = decodeFile(
      *h, in.get(), limit,
      [&](const uint8_t* p, size_t n, std::string& cause) {
        char t[XIO_TRACE_SIZE] = "";
        if (xiopwrite(t, target, p, n, target->expected) == static_cast<int64_t>(n)) return 0;
        int e = errno ? errno : EIO;
        cause = std::string(t);
        return e;
      },
      second, why);
  if (rc != 0) return failed(rc, why);
  const int64_t bytes = h->expected;
  XioHandle* done = h.release();  // xiopclose frees it, also when it fails
  std::string command, format;
  if (xiopclose(trace, done, nullptr, &command, &format) != 0) return -1;
  if (inverseCommand) *inverseCommand = std::move(command);
  if (inverseFormat) *inverseFormat = std::move(format);
  return bytes;
}

}  // namespace

}  // namespace xio

int64_t xiorecover(char* trace, const char* fileString, const char* formatString,
                   std::string* inverseCommand, std::string* inverseFormat) {
  try {
    return xio::recover(trace, fileString, formatString, inverseCommand, inverseFormat);
  } catch (const std::bad_alloc&) {
    xio::traceFailure(trace, "xiorecover", "", fileString ? fileString : "", ENOMEM,
                      "out of memory");
    errno = ENOMEM;
    return -1;
  }
}
