// corekit: wildcard match, name patterns and an appending formatter.
// All functions are thread-safe and keep no state between calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Non-zero when `text` matches the wildcard `pattern` as a whole: `*` and `?`
// also match "/", bracket classes are allowed (fnmatch with no flags).
int wcmatch(const char* pattern, const char* text);

// Expands the placeholders of `pattern` from the file name `name` into `out`:
// [path] the directory part ("" when the name has no "/"), [name] the last
// component, [base] the last component without its last extension, [ext]
// that extension without its dot ("" when none), [copy] the whole name; "[["
// is a literal "[". Other text is copied.
// Returns the length of `out` (0 when empty) or PAT2STR_UNKNOWN for an
// unknown or unterminated placeholder (then `out` is unspecified).
constexpr int PAT2STR_UNKNOWN = -1;
int pat2str(std::string_view name, std::string_view pattern, std::string& out);

// `text` with every apostrophe written twice, the form a text takes between
// the apostrophes of a command string ('it''s'). Anything put into a file
// string, format string or state text goes through this, so that a name can
// never end the text early and add arguments of its own.
std::string doubleApostrophes(std::string_view text);

// Appends formatted text to the zero-terminated text in `buffer` (of `size`
// bytes), never writing beyond `size` and always terminating. Returns the
// length of the text in the buffer afterwards.
size_t snprintc(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
