// The error trace: lines appended to the caller's buffer of XIO_TRACE_SIZE
// bytes, always zero-terminated, never written past the end. Thread-safe
// (touches only the buffer given).
#pragma once

#include <string>

namespace xio {

// Appends "<call> failed for physical file '<name>' (file string "<fs>"):
// <cause>" and a line feed ("for an unknown physical file" while there is
// no name yet), and sets errno to `code`. Each text longer than a quarter of
// the buffer is cut short with a note of its length, so that the whole line
// fits even for very long strings. Null trace accepted.
// Copies `text` into `out` (at most `size` bytes with the terminating
// zero) with the text of every passphrase='...' replaced by ***. Returns the
// length written. No allocation.
size_t maskSecrets(const char* text, char* out, size_t size);

// Inside a catch block: the errno for the exception being handled, with
// its cause in `why` (ENOMEM for std::bad_alloc, the error's own code or
// EAGAIN for std::system_error, as when no thread can be made; EIO for
// anything else). The entry points turn every exception into this, so that
// none crosses the interface.
int caughtErrno(std::string& why);

// Also masks a passphrase in the file string (see maskSecrets).
void traceFailure(char* trace, const char* call, const std::string& physical,
                  const char* fileString, int code, const std::string& cause);

}  // namespace xio
