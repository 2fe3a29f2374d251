// The syntax check of a rule's file string and format string: each is parsed
// with the argument table that the conversion library uses for it, so that a
// rule that passes here opens later. Errors are reported on standard error
// in the parser's report form.
//
// Thread safety: each call opens its own parser; reports share stderr.
#pragma once

#include "confdb.h"
#include "corekit/clp/clp.h"

// Results besides 0 and -1 (a failure of checkSyntax's own checks).
constexpr int PARSE_OPEN_FAILED = 85;   // 'U': the parser could not be opened
constexpr int PARSE_SYNTAX_ERROR = 87;  // 'W': the text has a syntax error

// The manual texts handed to the parser for each object (xiobytManuals.cpp).
extern const char* const MAN_XIOBYT_READ_FILE;
extern const char* const MAN_XIOBYT_WRITE_FILE;
extern const char* const MAN_XIOBYT_INPUT_FILE;
extern const char* const MAN_XIOBYT_OUTPUT_FILE;
extern const char* const MAN_XIOBYT_READ_FORMAT;
extern const char* const MAN_XIOBYT_WRITE_FORMAT;

// Checks the entry's file string and format string: 0 when both parse, -1
// when a check of its own fails, otherwise the result of siParseString.
int checkSyntax(const ConfigEntry& entry);

// Parses `text` as `command` against `table` (a choice table when `overlay`
// is 1) into `area`: 0, PARSE_OPEN_FAILED or PARSE_SYNTAX_ERROR.
int siParseString(int overlay, const char* command, const char* manual, const char* help,
                  const char* text, const ClpArg* table, ClpNode* area);
