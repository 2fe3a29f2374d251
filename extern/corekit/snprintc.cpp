// The appending formatter.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "corekit/corekit.h"

size_t snprintc(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return 0;
  // A buffer without a terminator inside `size` is cut at its last byte.
  size_t used = strnlen(buffer, size);
  if (used == size) {
    used = size - 1;
    buffer[used] = '\0';
  }
  if (format == nullptr || used == size - 1) return used;
  va_list args;
  va_start(args, format);
  int added = vsnprintf(buffer + used, size - used, format, args);
  va_end(args);
  if (added < 0) {
    buffer[used] = '\0';
    return used;
  }
  size_t total = used + static_cast<size_t>(added);
  return total < size ? total : size - 1;
}
