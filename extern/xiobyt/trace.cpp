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

// A text as the trace shows it: whole, or its start and a note of its
// length. No allocation, so that an out-of-memory failure still traces.
struct Shown {
  explicit Shown(const char* t) : text(t ? t : "") {
    size_t n = strlen(text);
    constexpr size_t kMax = XIO_TRACE_SIZE / 4;
    length = static_cast<int>(n <= kMax ? n : kMax);
    if (n > kMax) snprintf(note, sizeof note, "... (%zu bytes)", n);
  }
  const char* text;
  int length;
  char note[48] = "";
};

}  // namespace

void traceFailure(char* trace, const char* call, const std::string& physical,
                  const char* fileString, int code, const std::string& cause) {
  if (trace != nullptr) {
    Shown name(physical.c_str()), fs(fileString), why(cause.c_str());
    if (physical.empty()) {
      append(trace, "%s failed for an unknown physical file (file string \"%.*s%s\"): %.*s%s\n",
             call, fs.length, fs.text, fs.note, why.length, why.text, why.note);
    } else {
      append(trace, "%s failed for physical file '%.*s%s' (file string \"%.*s%s\"): %.*s%s\n", call,
             name.length, name.text, name.note, fs.length, fs.text, fs.note, why.length, why.text,
             why.note);
    }
  }
  errno = code;
}

}  // namespace xio
