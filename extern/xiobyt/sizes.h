// What a compressed file says about itself without being decoded: the
// seek table or frame headers of zstd, the index of xz, the size subfield
// of the gzip members this library writes. Each reads a few
// bytes at the file's end or at each frame's start, through pread on a
// descriptor it does not own; thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "xiobyt/stages/stages.h"

namespace xio {

// Reads exactly `n` bytes at `at` with pread (retrying EINTR); false when
// the file ends first or a read fails (errno then says why).
bool preadFull(int fd, uint8_t* buf, size_t n, uint64_t at);

// The seek table at the end of a seekable zstd file of `size` bytes: true
// with its entries and the offset where the table's skippable frame starts,
// when both magics are there and the entries add up to that offset.
bool readSeekTable(int fd, uint64_t size, std::vector<SeekEntry>& entries, uint64_t& tableStart);

// The decompressed size of a zstd file from its seek table or, without one,
// from the content sizes in its frame headers; -1 when the file does not
// say (a frame without a content size, or data that is not zstd).
int64_t zstdContentSize(int fd, uint64_t size);

// The uncompressed size of an xz file (concatenated streams and padding
// included) from its indexes; -1 when they cannot be read.
int64_t xzContentSize(int fd, uint64_t size);

// The data size of a gzip file whose every member carries the size
// subfield (makeGzipWriter), hopping from header to header; -1 when one
// does not (a file from elsewhere, a member never closed) or the members do
// not end exactly at the end of the file.
int64_t gzipContentSize(int fd, uint64_t size);

// The data size of base64 or hex text in the line layout this library
// writes (lines of kBase64Line or kHexLine characters, each ended by LF),
// by arithmetic on the file size. The first and the last line are read and
// checked; -1 when they do not have that layout (other line lengths, CRLF,
// foreign characters), and the caller decodes. Lines in between are not
// read: damage there is found by reading, as for a damaged zstd frame.
int64_t base64ContentSize(int fd, uint64_t size);
int64_t hexContentSize(int fd, uint64_t size);

// Writes the sizes into the subfield of the member that starts at
// `memberStart`. Returns 0 or an errno.
int patchGzipSizes(int fd, uint64_t memberStart, uint64_t memberBytes, uint64_t dataBytes);

}  // namespace xio
