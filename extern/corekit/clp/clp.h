// The table-driven command-string parser.
//
// Grammar (texts parsed by siClpParseCmd start after the command's verb):
//   overlay command:  "." choice "(" args ")"
//   object command:   "(" args ")"
//   args  := { arg }            blanks, line feeds or commas separate them
//   arg   := key                a switch
//          | key "=" value      a number, a text or a constant
//          | key "(" args ")"   an object
//          | key "." choice "(" args ")"   an overlay with its choice
//          | key "[" { element } "]"       an array; elements are values, or
//                                          choice "(" args ")" for overlays
//   value := 'text' | number | constant
// Keywords and constants are case-insensitive. A text is enclosed in
// apostrophes; an apostrophe inside it is written twice.
//
// A handle is used by one thread at a time; different handles are
// independent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum ClpKind : int {
  CLP_SWITCH,    // key alone; value number 1
  CLP_NUMBER,    // key=123, range minValue..maxValue
  CLP_TEXT,      // key='text'
  CLP_CONSTANT,  // key=NAME, one of `constants`
  CLP_OBJECT,    // key(args), arguments from `table`
  CLP_OVERLAY,   // key.choice(args), choices from `table` (entries of kind CLP_OBJECT)
  CLP_ARRAY,     // key[elements], elements of kind `elementKind`
};

// One entry of an argument table. A table ends with an entry whose keyword
// is null. Tables are static data and are never copied.
struct ClpArg {
  const char* keyword = nullptr;  // canonical spelling, lower case
  ClpKind kind = CLP_SWITCH;
  int minOcc = 0;        // 1: required
  int maxOcc = 1;        // more occurrences are a duplicate error
  int64_t minValue = 0;  // CLP_NUMBER range, inclusive
  int64_t maxValue = 0;
  const char* const* constants = nullptr;  // CLP_CONSTANT: null-terminated, upper case
  const ClpArg* table = nullptr;           // CLP_OBJECT / CLP_OVERLAY / CLP_ARRAY of overlays
  ClpKind elementKind = CLP_TEXT;  // CLP_ARRAY: CLP_OVERLAY, CLP_TEXT, CLP_NUMBER or CLP_CONSTANT
  int maxElements = 0;             // CLP_ARRAY: 0 means no limit
  const char* help = "";
};

// The typed parse result. The root is a CLP_OVERLAY node (choice set,
// children are the choice's arguments) for an overlay command, a CLP_OBJECT
// node for an object command; its keyword is the command name.
struct ClpNode {
  const ClpArg* arg = nullptr;  // table entry (null for the root)
  ClpKind kind = CLP_OBJECT;
  std::string keyword;            // canonical spelling from the table
  int64_t number = 0;             // CLP_NUMBER value; 1 for CLP_SWITCH
  std::string text;               // CLP_TEXT (apostrophes undoubled), CLP_CONSTANT (canonical)
  std::string choice;             // CLP_OVERLAY: canonical choice keyword
  std::vector<ClpNode> children;  // arguments in the order given, or array elements
  int row = 0, column = 0;        // where the argument started (1-based)

  // First child with this keyword (case-insensitive), or null.
  const ClpNode* find(std::string_view key) const;
};

// Filled by the parser after a failed parse. The pointers refer to the
// parser's own state and stay valid until the next parse or vdClpClose.
// Row and column count in the parsed text (not the whole command with its
// verb); a bracket that is never closed is reported where it opens, a
// missing required argument at the ")" that ends its list.
struct ParserErrorRefs {
  const char* message = nullptr;  // the error in words, naming the keyword or token
  const char* source = nullptr;   // the source name of the parsed text
  int row = 0;                    // 1-based row of the error
  int column = 0;                 // 1-based column of the first character of the offending token
};

// Error codes of siClpParseCmd; pcClpError gives each one's text.
constexpr int CLPERR_LEXICAL = -1;     // invalid character, unterminated text, bad number
constexpr int CLPERR_UNBALANCED = -2;  // unbalanced parentheses or brackets
constexpr int CLPERR_KEYWORD = -3;     // unknown keyword or choice
constexpr int CLPERR_KIND = -4;        // value of the wrong kind
constexpr int CLPERR_RANGE = -5;       // number out of range, constant not allowed
constexpr int CLPERR_DUPLICATE = -6;   // argument given more often than allowed
constexpr int CLPERR_MISSING = -7;     // required argument missing
constexpr int CLPERR_SYNTAX = -8;      // unexpected token
constexpr int CLPERR_MEMORY = -9;      // out of memory
constexpr int CLPERR_INTERFACE = -10;  // null handle, null text or bad table

// Reads a whole file into `out`. Returns 0, or an errno value with a
// message in `error`. Handed to pvClpOpen for parameter files.
int siClpFile2String(const char* fileName, std::string& out, std::string& error);
// Access check for a resource the parser is about to read; 0 allows it,
// otherwise an errno value (the resource must exist and be readable).
int siClpSaf(const char* resource);

using ClpFile2StringFn = int (*)(const char*, std::string&, std::string&);
using ClpSafFn = int (*)(const char*);

struct ClpHandle;

// Opens a parser for one command. `table` is a choice table when `overlay`
// is 1, an argument table otherwise. `area` receives the parse result and
// must outlive the handle; `errors` is filled after a failed parse. The texts
// are not copied and must outlive the handle. Returns null on failure.
ClpHandle* pvClpOpen(const char* owner, const char* program, const char* version,
                     const char* command, const char* manual, const char* help, int overlay,
                     const ClpArg* table, ClpNode* area, ParserErrorRefs* errors,
                     ClpFile2StringFn file2string, ClpSafFn saf);
// Parses `text` (from `source`, or the command name when null). Returns 0 or
// more on success (the number of arguments given at the top level), or a
// negative CLPERR_ code.
int siClpParseCmd(ClpHandle* handle, const char* source, const char* text);
// The text of an error code; never null.
const char* pcClpError(int code);
// Releases the handle; null accepted. `mode` is kept for callers that pass 1.
void vdClpClose(ClpHandle* handle, int mode);
