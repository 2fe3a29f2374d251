// How keywords, constants, kinds and tokens are looked up and named in the
// parser's messages. Internal to the parser; stateless and thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "corekit/clp/clp.h"
#include "corekit/clp/lexer.h"

namespace clp {

// Case-insensitive equality of a token and a canonical keyword (null: never).
bool sameWord(std::string_view a, const char* b);
// The entry of `table` named `word`, or null.
const ClpArg* lookup(const ClpArg* table, std::string_view word);
// "a, b, c" of a table's keywords or of a constant list; "none" when empty.
std::string allowedKeywords(const ClpArg* table);
std::string allowedConstants(const char* const* constants);
// A token as a message shows it: printable, at most 40 characters.
std::string show(const Token& tok);
// "a number", "an overlay", ...
const char* kindWord(ClpKind kind);
// How an argument of this kind is written: "level=number", "comp.choice(...)".
std::string usage(const ClpArg& arg);

}  // namespace clp
