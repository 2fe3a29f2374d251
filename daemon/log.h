// The daemon's log: one line per event, written with one call so that the
// lines of several serving threads never mix. Any thread may call it at
// any time, holding any lock; it takes none of the daemon's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "state.h"

constexpr int LOG_ERROR = 1, LOG_INFO = 2, LOG_DEBUG = 3, LOG_TRACE = 4;

// Whether a line of `level` would be written.
inline bool logOn(int level) { return fileLog != nullptr && logLevel >= level; }
// Writes a formatted line at `level` when logOn(level).
void logAt(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Routes the configuration library's messages into the log at their levels.
void logConfdbMessage(int level, const char* line);

constexpr size_t CALLER_PREFIX_SIZE = 256;
// "<thread>[<pid>] <program>" of the process behind the current request,
// always terminated within `size` bytes.
void getcallername(char* buffer, size_t size);

// The caller prefix of one operation, read from /proc only when a line that
// shows it is actually written.
class CallerPrefix {
 public:
  const char* get() {
    if (!filled_) {
      getcallername(text_, sizeof text_);
      filled_ = true;
    }
    return text_;
  }

 private:
  char text_[CALLER_PREFIX_SIZE] = "";
  bool filled_ = false;
};

// Writes the caller prefix and then the formatted text at `level`; the
// prefix is read only when the line is written.
void logCaller(int level, CallerPrefix& caller, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The names the trace level gives capabilities and open flags.
extern const char* const capName[21];
struct OflagName {
  const char* name;
  uint32_t value;
};
extern const OflagName oflagName[21];
// Writes the names of the set flags at level trace, then a newline.
void logOpenFlags(int flags);
