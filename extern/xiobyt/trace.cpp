#include "xiobyt/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "xiobyt/xiobyt.h"

namespace xio {

namespace {

__attribute__((format(printf, 2, 3))) void append(char* trace, const char* format, ...) {
  size_t used = strnlen(trace, XIO_TRACE_SIZE);
  if (used >= XIO_TRACE_SIZE) {  // an unterminated buffer: terminate it, keep it
    trace[XIO_TRACE_SIZE - 1] = '\0';
    return;
  }
  va_list args;
  va_start(args, format);
  vsnprintf(trace + used, XIO_TRACE_SIZE - used, format, args);
  va_end(args);
}

}  // namespace

void traceFailure(char* trace, const char* call, const std::string& physical,
                  const char* fileString, int code, const std::string& cause) {
  if (trace != nullptr) {
    if (!physical.empty()) {
      append(trace, "%s failed for physical file '%s' (file string \"%s\"): %s\n", call,
             physical.c_str(), fileString ? fileString : "", cause.c_str());
    } else {
      append(trace, "%s failed (file string \"%s\"): %s\n", call, fileString ? fileString : "",
             cause.c_str());
    }
  }
  errno = code;
}

}  // namespace xio
