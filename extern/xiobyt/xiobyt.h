// xiobyt: the conversion byte interface.
//
// A handle opens the physical file that a file string names and converts
// its data as a format string says. Every call takes a trace buffer of at
// least XIO_TRACE_SIZE bytes whose first byte the caller has cleared; on
// failure the call leaves a zero-terminated trace there and sets errno.
// A handle is used by one thread at a time; different handles are
// independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct XioHandle;  // opaque
struct XioMemberState {
  std::string member;
  uint64_t bytesIn = 0, bytesOut = 0;
};
struct XioStateList {
  std::vector<XioMemberState> members;
};

// Opens for writing when `state` is not null (the state text
// "state(file='logical' comment='...')"), else for reading. A write handle
// with offset 0 creates or truncates the physical file, above 0 appends.
// Returns null with errno set on failure.
XioHandle* xiopopen(char* trace, const char* fileString, const char* formatString,
                    std::string* state /* null when reading */, int64_t offset);
// Returns the count read (0 at or past the end) or -1 with errno.
int64_t xiopread(char* trace, XioHandle* h, void* buffer, size_t count, int64_t offset);
// Returns `count` or -1 with errno; a write below the expected offset fails with ESPIPE.
int64_t xiopwrite(char* trace, XioHandle* h, const void* data, size_t count, int64_t offset);
// Writes out everything the pipeline can emit without ending the stream
// (a gzip sync flush, the gathered block, the pending text) and reports a
// failure to write it. This is not a sync: with XIO_FLUSH_SYNC it then
// fdatasyncs the physical file as well. Output is held in blocks of about
// 1 MiB, so a write's failure (ENOSPC, EIO) shows at the latest at the next
// flush; only the stream's end (a trailer) is written by xiopclose.
// Flushing a read handle does nothing and returns 0.
constexpr int XIO_FLUSH_SYNC = 1;
int xiopflush(char* trace, XioHandle* h, int flags);
// Closes and frees the handle (also on failure). For a write handle the
// inverse command is the read command of the same physical file; for a
// read handle the write command. An empty text means none was returned.
int xiopclose(char* trace, XioHandle* h, XioStateList* states,
              std::string* inverseCommand /* null: not wanted */,
              std::string* inverseFormat /* null: not wanted */);
void vdOrgLstStaFree(XioStateList* states);  // empties the list
// The converted size in bytes, or -1 with errno.
int64_t xiopsize(char* trace, const char* fileString, const char* formatString);
const char* xiovsn();
const char* xioabo();
constexpr size_t XIO_TRACE_SIZE = 16384;
