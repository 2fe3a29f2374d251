// The state of one open parser and the entry into the parse. Internal to
// the parser: the public interface is clp.h.
#pragma once

#include <string>
#include <string_view>

#include "corekit/clp/clp.h"

// One open parser, made by pvClpOpen and freed by vdClpClose; used by one
// thread at a time. Owns the texts that ParserErrorRefs point to.
struct ClpHandle {
  const char* command = nullptr;
  int overlay = 0;
  const ClpArg* table = nullptr;
  ClpNode* area = nullptr;
  ParserErrorRefs* errors = nullptr;
  ClpFile2StringFn file2string = nullptr;  // kept for parameter files; none are read today
  ClpSafFn saf = nullptr;
  std::string message;
  std::string source;
};

namespace clp {

// Nesting beyond this many levels of parentheses or brackets is refused, so
// that recursive tables cannot exhaust the stack.
constexpr int kMaxDepth = 64;

// Parses `text` as the handle's command into `root`. Returns 0, or a CLPERR_
// code with the message in the handle and the position in row and column.
int parseText(ClpHandle& handle, std::string_view text, ClpNode& root, int& row, int& column);

}  // namespace clp
