// How keywords, constants, kinds and tokens are looked up and named in the
// parser's messages.
#include "corekit/clp/words.h"

#include <strings.h>

#include <cstring>

namespace clp {

bool sameWord(std::string_view a, const char* b) {
  return b != nullptr && a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

const ClpArg* lookup(const ClpArg* table, std::string_view word) {
  for (const ClpArg* e = table; e != nullptr && e->keyword != nullptr; ++e) {
    if (sameWord(word, e->keyword)) return e;
  }
  return nullptr;
}

std::string allowedKeywords(const ClpArg* table) {
  std::string list;
  for (const ClpArg* e = table; e != nullptr && e->keyword != nullptr; ++e) {
    if (!list.empty()) list += ", ";
    list += e->keyword;
  }
  return list.empty() ? "none" : list;
}

std::string allowedConstants(const char* const* constants) {
  std::string list;
  for (const char* const* c = constants; c != nullptr && *c != nullptr; ++c) {
    if (!list.empty()) list += ", ";
    list += *c;
  }
  return list.empty() ? "none" : list;
}

std::string show(const Token& tok) {
  switch (tok.kind) {
    case Tok::End:
      return "end of text";
    case Tok::Error:
      return tok.value;
    case Tok::Dot:
      return "'.'";
    case Tok::Equal:
      return "'='";
    case Tok::Open:
      return "'('";
    case Tok::Close:
      return "')'";
    case Tok::BOpen:
      return "'['";
    case Tok::BClose:
      return "']'";
    default:
      break;
  }
  std::string out = "'";
  size_t n = 0;
  for (char c : tok.raw) {
    if (++n > 40) {
      out += "...";
      break;
    }
    unsigned char u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7f) ? c : '?';
  }
  return out + "'";
}

const char* kindWord(ClpKind kind) {
  switch (kind) {
    case CLP_SWITCH:
      return "a switch";
    case CLP_NUMBER:
      return "a number";
    case CLP_TEXT:
      return "a text";
    case CLP_CONSTANT:
      return "a constant";
    case CLP_OBJECT:
      return "an object";
    case CLP_OVERLAY:
      return "an overlay";
    case CLP_ARRAY:
      return "an array";
  }
  return "an argument";
}

std::string usage(const ClpArg& arg) {
  std::string k = arg.keyword;
  switch (arg.kind) {
    case CLP_SWITCH:
      return k;
    case CLP_NUMBER:
      return k + "=number";
    case CLP_TEXT:
      return k + "='text'";
    case CLP_CONSTANT:
      return k + "=" + allowedConstants(arg.constants);
    case CLP_OBJECT:
      return k + "(...)";
    case CLP_OVERLAY:
      return k + ".choice(...)";
    case CLP_ARRAY:
      return k + "[...]";
  }
  return k;
}

}  // namespace clp
