// The daemon's globals, its log, the caller prefix and the version line.
#include <pthread.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"

VaskfsArgs vaskfsArgs;
FILE* fileLog = nullptr;
int logLevel = LOG_ERROR;
int savefd = 0;
bool fuseServing = false;
int initFailure = 0;

namespace {

// Formats `prefix` and the text into one buffer and writes it with one
// call: lines of requests served side by side never interleave.
void writeLine(const char* prefix, const char* format, va_list args) {
  char small[1024];
  std::string large;
  const size_t head = std::strlen(prefix);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  if (n < 0) return;
  const size_t total = head + static_cast<size_t>(n);
  char* line = small;
  if (total + 1 > sizeof small) {
    large.resize(total + 1);
    line = large.data();
  }
  std::memcpy(line, prefix, head);
  std::vsnprintf(line + head, static_cast<size_t>(n) + 1, format, args);
  std::fwrite(line, 1, total, fileLog);
}

}  // namespace

void logAt(int level, const char* format, ...) {
  if (!logOn(level)) return;
  va_list args;
  va_start(args, format);
  writeLine("", format, args);
  va_end(args);
}

void logCaller(int level, CallerPrefix& caller, const char* format, ...) {
  if (!logOn(level)) return;
  va_list args;
  va_start(args, format);
  writeLine(caller.get(), format, args);
  va_end(args);
}

void logConfdbMessage(int level, const char* line) { logAt(level, "%s", line); }

void getcallername(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  const fuse_context* ctx = fuseServing ? fuse_get_context() : nullptr;
  const pid_t pid = ctx != nullptr ? ctx->pid : 0;
  int used = std::snprintf(buffer, size, "%ld[%d] ", static_cast<long>(pthread_self()),
                           static_cast<int>(pid));
  if (used < 0) {
    buffer[0] = '\0';
    return;
  }
  if (static_cast<size_t>(used) >= size - 1 || pid == 0) return;
  char name[32];
  std::snprintf(name, sizeof name, "/proc/%d/cmdline", static_cast<int>(pid));
  FILE* cmdline = std::fopen(name, "rt");
  if (cmdline == nullptr) return;
  // Room for the terminating zero is kept: a command line that fills the
  // rest of the buffer is cut.
  const size_t got = std::fread(buffer + used, 1, size - 1 - used, cmdline);
  buffer[used + got] = '\0';
  std::fclose(cmdline);
}

std::string logicalName(const char* path) {
  std::string name;
  name.reserve(path != nullptr ? std::strlen(path) + 4 : 4);
  if (path == nullptr || path[0] == '\0' || path[1] == '\0') {
    name = ".";
  } else {
    name = path + 1;
  }
  return name;
}

void printVersion(const char* program, FILE* stream) {
  std::fprintf(stream, "00 %s VERSION: %s-%d BUILD: %s %s %s\n", program, VASKFS_VERSION,
               VASKFS_BUILD, VASKFS_BUILD_TYPE, __DATE__, __TIME__);
  if (stream == stderr) std::fputs(xiovsn(), stream);
}

void usage(const char* program) {
  const char* args =
      vaskfsArgs.viewMode ? "/vask-root /user-dir view-name" : "/vask-root /user-dir";
  std::fprintf(stderr,
               "Usage: %s [-h] | [-l log-file] [-L log-level] [-b blocksize] [-f] [-s] [-q] %s\n",
               program, args);
  std::fprintf(stderr, "       %s ABOUT\n", program);
  std::fprintf(stderr, "       %s VERSION\n\n", program);
  std::fputs("\t-h\tthis help\n", stderr);
  std::fputs("\t-l\tset name of log-file\n", stderr);
  std::fputs("\t-L\tset log-level to one of error, info, debug or trace. Error is default\n",
             stderr);
  std::fputs("\t-b\tset vaskFS blocksize in KiB\n", stderr);
  std::fputs("\t-f\trun in foreground\n", stderr);
  std::fputs("\t-s\tserve on one thread (threads=1)\n", stderr);
  std::fputs("\t-q\tkeep quiet\n", stderr);
  std::fputs(vaskfsArgs.viewMode
                 ? "\t-o\tmount options: log=log-file, loglevel=log-level, view=view-name,\n"
                   "\t\tindex=index-dir (the views' index in place of vask-root/.vaskIndex),\n"
                   "\t\tthreads=n (serving threads, default 8), nopassthrough (plain\n"
                   "\t\tfiles' data through the daemon) and the options of libfuse;\n"
                   "\t\twithout log= it keeps quiet\n\n"
                 : "\t-o\tmount options: log=log-file, loglevel=log-level, index=index-dir\n"
                   "\t\t(the index in place of vask-root/.vaskIndex), threads=n (serving\n"
                   "\t\tthreads, default 8), nopassthrough (plain files' data through\n"
                   "\t\tthe daemon) and the options of libfuse; without log= it keeps\n"
                   "\t\tquiet\n\n",
             stderr);
  std::fprintf(stderr, "HINT: Type 'man %s' for more details\n", program);
}
