// The texts of the parser's error codes.
#include "corekit/clp/clp.h"

const char* pcClpError(int code) {
  switch (code) {
    case CLPERR_LEXICAL:
      return "lexical error (invalid character, unterminated text or malformed number)";
    case CLPERR_UNBALANCED:
      return "unbalanced parentheses or brackets";
    case CLPERR_KEYWORD:
      return "unknown keyword";
    case CLPERR_KIND:
      return "value of the wrong kind";
    case CLPERR_RANGE:
      return "value out of range or not allowed";
    case CLPERR_DUPLICATE:
      return "argument given too often";
    case CLPERR_MISSING:
      return "required argument missing";
    case CLPERR_SYNTAX:
      return "syntax error (unexpected token)";
    case CLPERR_MEMORY:
      return "out of memory";
    case CLPERR_INTERFACE:
      return "interface error (invalid handle, text or table)";
    default:
      break;
  }
  return code >= 0 ? "no error" : "unknown error code";
}
