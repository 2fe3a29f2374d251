// Globals, physical paths, the caller text and the line writer.
#include "checker.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

VaskfsArgs vaskfsArgs;
FILE* fileLog = stderr;
int savefd = -1;

CheckHandle::~CheckHandle() {
  if (fd >= 0) close(static_cast<int>(fd));
}

CheckHandle* handleOf(const fuse_file_info* fi) {
  return fi != nullptr ? reinterpret_cast<CheckHandle*>(fi->fh) : nullptr;
}

int physicalPath(const char* path, std::string& out) {
  // The root "/" is kept as it is; joining it would double the slash.
  const std::string& root = vaskfsArgs.rootDir == "/" ? std::string() : vaskfsArgs.rootDir;
  if (root.size() + std::strlen(path) >= kNameBufferSize) return -ENAMETOOLONG;
  out.reserve(root.size() + std::strlen(path));
  out.assign(root).append(path);
  return 0;
}

std::string callerName() {
  const fuse_context* ctx = fuse_get_context();
  const pid_t pid = ctx != nullptr ? ctx->pid : 0;
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%ld[%d] ", static_cast<long>(pthread_self()),
                static_cast<int>(pid));
  std::string text = prefix;

  char name[32];
  std::snprintf(name, sizeof name, "/proc/%d/cmdline", static_cast<int>(pid));
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return text;
  // Arguments are separated by zero bytes: the text ends at the first one,
  // which is the program as the caller was started.
  char line[kCallerTextSize];
  const size_t room = kCallerTextSize - 1 - text.size();
  ssize_t got = 0;
  while (static_cast<size_t>(got) < room) {
    const ssize_t n = read(fd, line + got, room - got);
    if (n <= 0) break;
    got += n;
  }
  close(fd);
  text.append(line, strnlen(line, static_cast<size_t>(got)));
  return text;
}

void writeLine(FILE* stream, const std::string& line) {
  flockfile(stream);
  fwrite(line.data(), 1, line.size(), stream);
  fflush(stream);
  funlockfile(stream);
}

namespace {

std::string formatLine(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, args);
  std::string line;
  if (n < 0) {
    line = format;
  } else if (static_cast<size_t>(n) < sizeof small) {
    line.assign(small, static_cast<size_t>(n));
  } else {
    line.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(line.data(), line.size(), format, again);
    line.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return line;
}

}  // namespace

void logLine(const char* format, ...) {
  if (fileLog == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string line = formatLine(format, args);
  va_end(args);
  writeLine(fileLog, line);
}

void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = formatLine(format, args);
  va_end(args);
  writeLine(fileLog != nullptr ? fileLog : stderr, line);
}
