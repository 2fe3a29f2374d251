#include "xiobyt/sizes.h"

#include <lzma.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <fcntl.h>
#include <zstd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace xio {

bool preadFull(int fd, uint8_t* buf, size_t n, uint64_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(at + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr uint64_t kFooter = 9;  // number of frames, descriptor, seekable magic

// Walks the frames from their headers and block headers: a frame's content
// size is in its header, its compressed size is the sum of its blocks.
int64_t walkFrames(int fd, uint64_t size) {
  uint64_t at = 0, total = 0;
  while (at < size) {
    uint8_t head[ZSTD_FRAMEHEADERSIZE_MAX] = {};
    size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof head, size - at));
    if (got < 8 || !preadFull(fd, head, got, at)) return -1;
    uint32_t magic = le32(head);
    if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) {  // skippable frame
      at += 8 + uint64_t{le32(head + 4)};
      continue;
    }
    ZSTD_frameHeader fh;
    if (ZSTD_getFrameHeader(&fh, head, got) != 0 || fh.frameType != ZSTD_frame ||
        fh.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
      return -1;
    total += fh.frameContentSize;
    at += fh.headerSize;
    for (bool last = false; !last;) {
      uint8_t b[3];
      if (at + 3 > size || !preadFull(fd, b, 3, at)) return -1;
      uint32_t bh = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16;
      last = bh & 1;
      uint32_t type = (bh >> 1) & 3, blockSize = bh >> 3;
      if (type == 3) return -1;                         // reserved: not zstd
      at += 3 + (type == 1 ? 1 : uint64_t{blockSize});  // an RLE block holds one byte
    }
    if (fh.checksumFlag) at += 4;
  }
  return at == size ? static_cast<int64_t>(total) : -1;
}

}  // namespace

bool readSeekTable(int fd, uint64_t size, std::vector<SeekEntry>& entries, uint64_t& tableStart) {
  uint8_t foot[kFooter];
  if (size < 8 + kFooter || !preadFull(fd, foot, kFooter, size - kFooter)) return false;
  if (le32(foot + 5) != kSeekableMagic || (foot[4] & 0x7C) != 0) return false;
  uint64_t count = le32(foot), entry = foot[4] & 0x80 ? 12 : 8;
  uint64_t frame = 8 + count * entry + kFooter;
  if (frame > size) return false;
  tableStart = size - frame;
  std::vector<uint8_t> table(frame);
  if (!preadFull(fd, table.data(), table.size(), tableStart)) return false;
  if (le32(table.data()) != kSkippableMagic || le32(table.data() + 4) != frame - 8) return false;
  entries.clear();
  uint64_t sum = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = table.data() + 8 + i * entry;
    entries.push_back({le32(e), le32(e + 4)});
    sum += le32(e);
  }
  return sum == tableStart;
}

int64_t zstdContentSize(int fd, uint64_t size) {
  std::vector<SeekEntry> entries;
  uint64_t tableStart = 0;
  if (readSeekTable(fd, size, entries, tableStart)) {
    uint64_t total = 0;
    for (const SeekEntry& e : entries) total += e.decompressed;
    return static_cast<int64_t>(total);
  }
  return walkFrames(fd, size);
}

int64_t xzContentSize(int fd, uint64_t size) {
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (lzma_file_info_decoder(&s, &index, UINT64_MAX, size) != LZMA_OK) return -1;
  std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> guard(&s, lzma_end);
  uint8_t buf[8192];
  uint64_t at = 0;
  for (;;) {
    if (s.avail_in == 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, size - at));
      if (n > 0 && !preadFull(fd, buf, n, at)) return -1;
      s.next_in = buf;
      s.avail_in = n;
      at += n;
    }
    lzma_ret rc = lzma_code(&s, LZMA_RUN);
    if (rc == LZMA_SEEK_NEEDED) {
      at = s.seek_pos;
      s.avail_in = 0;
      continue;
    }
    if (rc == LZMA_STREAM_END) {
      int64_t total = static_cast<int64_t>(lzma_index_uncompressed_size(index));
      lzma_index_end(index, nullptr);
      return total;
    }
    if (rc != LZMA_OK) return -1;
  }
}

namespace {
uint64_t le64(const uint8_t* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }
}  // namespace

int64_t gzipContentSize(int fd, uint64_t size) {
  uint64_t at = 0, total = 0;
  while (at < size) {
    uint8_t head[kGzipSizeAt + 16];
    if (size - at < sizeof head + 8 || !preadFull(fd, head, sizeof head, at)) return -1;
    if (head[0] != 0x1f || head[1] != 0x8b || head[2] != 8 || (head[3] & 4) == 0) return -1;
    if (head[10] < 20 || memcmp(head + 12, "vk\x10\0", 4) != 0) return -1;
    uint64_t member = le64(head + kGzipSizeAt), data = le64(head + kGzipSizeAt + 8);
    if (member == UINT64_MAX || member < sizeof head + 8 || member > size - at) return -1;
    total += data;
    at += member;
  }
  return static_cast<int64_t>(total);
}

namespace {

// What distinguishes the two encodings for the size arithmetic.
struct LineLayout {
  uint64_t lineChars;    // characters in each full line
  uint64_t groupChars;   // characters that decode together
  uint64_t groupBytes;   // bytes such a group decodes to
  bool (*digit)(uint8_t);
  bool padding;          // '=' may close the last group
};

bool base64Digit(uint8_t c) { return isalnum(c) || c == '+' || c == '/'; }
bool hexDigit(uint8_t c) { return isxdigit(c) != 0; }

// Checks one line of `n` bytes (its LF included) read at `at`; counts the
// '=' that close it when `last`. False when it is not a line we would write.
bool checkLine(int fd, const LineLayout& l, uint64_t at, uint64_t n, bool last, uint64_t& pad) {
  uint8_t line[128];
  if (n < 2 || n > sizeof line || !preadFull(fd, line, n, at) || line[n - 1] != '\n') return false;
  uint64_t chars = n - 1, end = chars;
  if (last && l.padding) {
    while (end > 0 && chars - end < 2 && line[end - 1] == '=') --end;
    pad = chars - end;
  }
  for (uint64_t i = 0; i < end; ++i)
    if (!l.digit(line[i])) return false;
  return true;
}

int64_t encodedContentSize(int fd, uint64_t size, const LineLayout& l) {
  if (size == 0) return 0;
  uint64_t lineBytes = l.lineChars + 1, full = size / lineBytes, rest = size % lineBytes;
  uint64_t chars = full * l.lineChars + (rest ? rest - 1 : 0);
  if (chars % l.groupChars != 0) return -1;
  uint64_t lastLine = rest ? rest : lineBytes, pad = 0;
  if (!checkLine(fd, l, size - lastLine, lastLine, true, pad)) return -1;
  if (size > lastLine && !checkLine(fd, l, 0, lineBytes, false, pad)) return -1;
  return static_cast<int64_t>(chars / l.groupChars * l.groupBytes - pad);
}

}  // namespace

int64_t base64ContentSize(int fd, uint64_t size) {
  return encodedContentSize(fd, size, {kBase64Line, 4, 3, base64Digit, true});
}

int64_t hexContentSize(int fd, uint64_t size) {
  return encodedContentSize(fd, size, {kHexLine, 2, 1, hexDigit, false});
}

int patchGzipSizes(int fd, uint64_t memberStart, uint64_t memberBytes, uint64_t dataBytes) {
  uint8_t sizes[16];
  for (int i = 0; i < 8; ++i) {
    sizes[i] = static_cast<uint8_t>(memberBytes >> (8 * i));
    sizes[8 + i] = static_cast<uint8_t>(dataBytes >> (8 * i));
  }
  // Linux appends a pwrite on a descriptor opened with O_APPEND.
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || ((flags & O_APPEND) && fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0)) return errno;
  ssize_t w;
  do {
    w = pwrite(fd, sizes, sizeof sizes, static_cast<off_t>(memberStart + kGzipSizeAt));
  } while (w < 0 && errno == EINTR);
  if (w < 0) return errno;
  return w == static_cast<ssize_t>(sizeof sizes) ? 0 : EIO;
}

}  // namespace xio
