#include "xiobyt/trace.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

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
  // `total`: the length of the text before it was masked, if it was.
  explicit Shown(const char* t, size_t total = 0) : text(t ? t : "") {
    size_t n = strlen(text);
    constexpr size_t kMax = XIO_TRACE_SIZE / 4;
    length = static_cast<int>(n <= kMax ? n : kMax);
    if (n > kMax) snprintf(note, sizeof note, "... (%zu bytes)", total > n ? total : n);
  }
  const char* text;
  int length;
  char note[48] = "";
};

bool wordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

size_t maskSecrets(const char* text, char* out, size_t size) {
  static const char kWord[] = "passphrase";
  constexpr size_t kWordLen = sizeof kWord - 1;
  size_t o = 0;
  auto put = [&](char c) {
    if (o + 1 < size) out[o++] = c;
  };
  // Copies a quoted text from its opening apostrophe (an apostrophe in it
  // doubled) through the closing one, or replaces it by *** when `hide`.
  auto quotedText = [&](size_t& i, bool hide) {
    put(text[i++]);
    if (hide)
      for (const char* m = "***"; *m; ++m) put(*m);
    while (text[i] != '\0') {
      bool pair = text[i] == '\'' && text[i + 1] == '\'';
      if (text[i] == '\'' && !pair) {
        put(text[i++]);
        return;
      }
      if (!hide) put(text[i]);
      if (!hide && pair) put(text[i + 1]);
      i += pair ? 2 : 1;
    }
  };
  for (size_t i = 0; text[i] != '\0';) {
    if (text[i] == '\'') {  // a text of its own: never a keyword
      quotedText(i, false);
      continue;
    }
    bool word = strncasecmp(text + i, kWord, kWordLen) == 0 && (i == 0 || !wordChar(text[i - 1])) &&
                !wordChar(text[i + kWordLen]);
    size_t j = i + kWordLen;
    if (word) {
      while (text[j] == ' ' || text[j] == '\t') ++j;
      word = text[j] == '=';
      for (++j; word && (text[j] == ' ' || text[j] == '\t');) ++j;
      word = word && text[j] == '\'';
    }
    if (!word) {
      put(text[i++]);
      continue;
    }
    while (i < j) put(text[i++]);  // up to the opening apostrophe
    quotedText(i, true);
  }
  if (size > 0) out[o] = '\0';
  return o;
}

void traceFailure(char* trace, const char* call, const std::string& physical,
                  const char* fileString, int code, const std::string& cause) {
  if (trace != nullptr) {
    // A passphrase in the file string never reaches the trace.
    char masked[XIO_TRACE_SIZE / 4 + 64];
    maskSecrets(fileString ? fileString : "", masked, sizeof masked);
    Shown name(physical.c_str()), fs(masked, fileString ? strlen(fileString) : 0),
        why(cause.c_str());
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

std::string xiomask(const char* fileString) {
  if (fileString == nullptr) return "";
  std::string out(2 * strlen(fileString) + 8, '\0');  // '' becomes '***'
  out.resize(xio::maskSecrets(fileString, out.data(), out.size() + 1));
  return out;
}

int xio::caughtErrno(std::string& why) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    why = "out of memory";
    return ENOMEM;
  } catch (const std::system_error& e) {
    why = std::string("system resources exhausted: ") + e.what();
    int code = e.code().value();
    bool errnoLike = e.code().category() == std::generic_category() ||
                     e.code().category() == std::system_category();
    return errnoLike && code > 0 ? code : EAGAIN;
  } catch (const std::exception& e) {
    why = std::string("internal failure: ") + e.what();
    return EIO;
  } catch (...) {
    why = "internal failure";
    return EIO;
  }
}
