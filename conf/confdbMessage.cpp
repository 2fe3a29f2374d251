#include "confdbMessage.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "confdb.h"

namespace {

void writeToStderr(int /*level*/, const char* line) { std::fputs(line, stderr); }

ConfdbMessageSink currentSink = writeToStderr;

}  // namespace

ConfdbMessageSink setConfdbMessageSink(ConfdbMessageSink sink) {
  ConfdbMessageSink previous = currentSink;
  currentSink = sink != nullptr ? sink : writeToStderr;
  return previous;
}

void confdbReport(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line;
  if (needed > 0) {
    line.resize(static_cast<size_t>(needed));
    std::vsnprintf(line.data(), line.size() + 1, format, again);
  }
  va_end(again);
  currentSink(level, line.c_str());
}
