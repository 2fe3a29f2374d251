// The table-driven parser: turns a command string into a ClpNode tree,
// checking every keyword, value kind, range and occurrence against the
// argument tables.
#include <strings.h>

#include <charconv>
#include <cstring>
#include <new>
#include <string>

#include "corekit/clp/clp.h"
#include "corekit/clp/lexer.h"

// One open parser. Owns the texts that ParserErrorRefs point to.
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

namespace {

using clp::Tok;
using clp::Token;

// Nesting beyond this many levels of parentheses or brackets is refused, so
// that recursive tables cannot exhaust the stack.
constexpr int kMaxDepth = 64;

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

// A token as a message shows it: printable, at most 40 characters.
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

// How an argument of this kind is written, for messages.
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

class Parser {
 public:
  Parser(ClpHandle& handle, std::string_view text) : h_(handle), lex_(text) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Where a failed parse stopped.
  int row() const { return row_; }
  int column() const { return column_; }

  // Parses the whole text into `root`; 0 or a CLPERR_ code with the
  // message in the handle.
  int parseCommand(ClpNode& root) {
    if (int rc = shift()) return rc;
    root.keyword = h_.command;
    root.row = tok_.row;
    root.column = tok_.column;
    if (h_.overlay) {
      root.kind = CLP_OVERLAY;
      if (tok_.kind != Tok::Dot) {
        return fail(CLPERR_SYNTAX, tok_,
                    "expected '.' and a choice of '" + std::string(h_.command) + "' (" +
                        allowedKeywords(h_.table) + ") but found " + show(tok_));
      }
      if (int rc = shift()) return rc;
      const ClpArg* chosen = nullptr;
      if (int rc = parseChoice(h_.table, h_.command, root, chosen, 1)) return rc;
    } else {
      root.kind = CLP_OBJECT;
      if (tok_.kind != Tok::Open) {
        return fail(CLPERR_SYNTAX, tok_,
                    "expected '(' to open the arguments of '" + std::string(h_.command) +
                        "' but found " + show(tok_));
      }
      Token opener = tok_;
      if (int rc = shift()) return rc;
      if (int rc = parseArgs(h_.table, h_.command, root, opener, 1)) return rc;
    }
    if (tok_.kind == Tok::Close || tok_.kind == Tok::BClose) {
      return fail(CLPERR_UNBALANCED, tok_, show(tok_) + " has no matching opening bracket");
    }
    if (tok_.kind != Tok::End) {
      return fail(CLPERR_SYNTAX, tok_,
                  "unexpected " + show(tok_) + " after the end of '" + h_.command + "'");
    }
    return 0;
  }

 private:
  // Moves to the next token; a lexical error ends the parse.
  int shift() {
    tok_ = lex_.next();
    if (tok_.kind == Tok::Error) return fail(CLPERR_LEXICAL, tok_, tok_.value);
    return 0;
  }

  int fail(int code, const Token& at, const std::string& message) {
    h_.message = message;
    row_ = at.row;
    column_ = at.column;
    return code;
  }

  // Refuses a bracket opened deeper than kMaxDepth levels.
  int checkDepth(int depth, const Token& opener) {
    if (depth <= kMaxDepth) return 0;
    return fail(CLPERR_SYNTAX, opener,
                "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
  }

  // At a choice keyword: reads "choice ( args )" into `node`.
  int parseChoice(const ClpArg* choices, std::string_view context, ClpNode& node,
                  const ClpArg*& chosen, int depth) {
    if (tok_.kind != Tok::Keyword) {
      return fail(CLPERR_SYNTAX, tok_,
                  "expected a choice of '" + std::string(context) + "' (" +
                      allowedKeywords(choices) + ") but found " + show(tok_));
    }
    chosen = lookup(choices, tok_.raw);
    if (chosen == nullptr) {
      return fail(CLPERR_KEYWORD, tok_,
                  "unknown choice " + show(tok_) + " of '" + std::string(context) +
                      "' (allowed: " + allowedKeywords(choices) + ")");
    }
    node.choice = chosen->keyword;
    if (int rc = shift()) return rc;
    if (tok_.kind != Tok::Open) {
      return fail(CLPERR_SYNTAX, tok_,
                  "expected '(' after '" + node.choice + "' but found " + show(tok_));
    }
    Token opener = tok_;
    if (int rc = shift()) return rc;
    return parseArgs(chosen->table, chosen->keyword, node, opener, depth + 1);
  }

  // After an opening parenthesis: reads arguments up to and including the
  // closing one, then checks the required arguments.
  int parseArgs(const ClpArg* table, std::string_view context, ClpNode& parent, const Token& opener,
                int depth) {
    if (int rc = checkDepth(depth, opener)) return rc;
    for (;;) {
      switch (tok_.kind) {
        case Tok::Close:
          if (int rc = checkRequired(table, context, parent, tok_)) return rc;
          return shift();
        case Tok::End:
          return fail(CLPERR_UNBALANCED, opener,
                      "'(' of '" + std::string(context) + "' is not closed before the end of text");
        case Tok::BClose:
          return fail(CLPERR_UNBALANCED, tok_,
                      "']' where ')' closing '" + std::string(context) + "' was expected");
        case Tok::Keyword:
          break;
        default:
          return fail(CLPERR_SYNTAX, tok_,
                      "expected a keyword or ')' in '" + std::string(context) + "' but found " +
                          show(tok_));
      }
      const ClpArg* arg = lookup(table, tok_.raw);
      if (arg == nullptr) {
        return fail(CLPERR_KEYWORD, tok_,
                    "unknown keyword " + show(tok_) + " in '" + std::string(context) +
                        "' (allowed: " + allowedKeywords(table) + ")");
      }
      int seen = 0;
      for (const ClpNode& c : parent.children) seen += c.arg == arg ? 1 : 0;
      if (seen >= arg->maxOcc) {
        std::string limit =
            arg->maxOcc == 1 ? "only once" : std::to_string(arg->maxOcc) + " times at most";
        return fail(CLPERR_DUPLICATE, tok_,
                    "duplicate argument '" + std::string(arg->keyword) + "' in '" +
                        std::string(context) + "' (allowed " + limit + ")");
      }
      parent.children.emplace_back();
      if (int rc = parseArg(*arg, parent.children.back(), depth)) return rc;
    }
  }

  int checkRequired(const ClpArg* table, std::string_view context, const ClpNode& parent,
                    const Token& at) {
    for (const ClpArg* e = table; e != nullptr && e->keyword != nullptr; ++e) {
      int seen = 0;
      for (const ClpNode& c : parent.children) seen += c.arg == e ? 1 : 0;
      if (seen < e->minOcc) {
        return fail(CLPERR_MISSING, at,
                    "required argument '" + std::string(e->keyword) + "' missing in '" +
                        std::string(context) + "' (written " + usage(*e) + ")");
      }
    }
    return 0;
  }

  // At an argument's keyword: reads the argument into `node`.
  int parseArg(const ClpArg& arg, ClpNode& node, int depth) {
    node.arg = &arg;
    node.kind = arg.kind;
    node.keyword = arg.keyword;
    node.row = tok_.row;
    node.column = tok_.column;
    if (int rc = shift()) return rc;
    Tok expected = Tok::Equal;
    switch (arg.kind) {
      case CLP_OBJECT:
        expected = Tok::Open;
        break;
      case CLP_OVERLAY:
        expected = Tok::Dot;
        break;
      case CLP_ARRAY:
        expected = Tok::BOpen;
        break;
      default:
        break;
    }
    bool opensValue = tok_.kind == Tok::Equal || tok_.kind == Tok::Open || tok_.kind == Tok::Dot ||
                      tok_.kind == Tok::BOpen;
    if (arg.kind == CLP_SWITCH) {
      if (opensValue) {
        return fail(
            CLPERR_KIND, tok_,
            "'" + node.keyword + "' is a switch and takes no value (found " + show(tok_) + ")");
      }
      node.number = 1;
      return 0;
    }
    if (tok_.kind != expected) {
      Token expectedToken;
      expectedToken.kind = expected;
      if (opensValue) {
        return fail(CLPERR_KIND, tok_,
                    "'" + node.keyword + "' is " + kindWord(arg.kind) + ", written " + usage(arg) +
                        ", but found " + show(tok_));
      }
      return fail(CLPERR_SYNTAX, tok_,
                  "expected " + show(expectedToken) + " after '" + node.keyword + "' (written " +
                      usage(arg) + ") but found " + show(tok_));
    }
    Token opener = tok_;
    if (int rc = shift()) return rc;
    switch (arg.kind) {
      case CLP_OBJECT:
        return parseArgs(arg.table, arg.keyword, node, opener, depth + 1);
      case CLP_OVERLAY: {
        const ClpArg* chosen = nullptr;
        return parseChoice(arg.table, arg.keyword, node, chosen, depth);
      }
      case CLP_ARRAY:
        return parseArray(arg, node, opener, depth + 1);
      default:
        return parseValue(arg, arg.kind, node);
    }
  }

  // After "[": reads elements up to and including "]".
  int parseArray(const ClpArg& arg, ClpNode& node, const Token& opener, int depth) {
    if (int rc = checkDepth(depth, opener)) return rc;
    for (;;) {
      switch (tok_.kind) {
        case Tok::BClose:
          return shift();
        case Tok::End:
          return fail(CLPERR_UNBALANCED, opener,
                      "'[' of '" + node.keyword + "' is not closed before the end of text");
        case Tok::Close:
          return fail(CLPERR_UNBALANCED, tok_,
                      "')' where ']' closing '" + node.keyword + "' was expected");
        default:
          break;
      }
      if (arg.maxElements > 0 && static_cast<int>(node.children.size()) >= arg.maxElements) {
        return fail(
            CLPERR_RANGE, tok_,
            "more than " + std::to_string(arg.maxElements) + " elements in '" + node.keyword + "'");
      }
      node.children.emplace_back();
      ClpNode& element = node.children.back();
      element.row = tok_.row;
      element.column = tok_.column;
      if (arg.elementKind == CLP_OVERLAY) {
        const ClpArg* chosen = nullptr;
        element.kind = CLP_OVERLAY;
        if (int rc = parseChoice(arg.table, arg.keyword, element, chosen, depth)) return rc;
        element.arg = chosen;
        element.keyword = chosen->keyword;
      } else {
        element.arg = &arg;
        element.kind = arg.elementKind;
        element.keyword = arg.keyword;
        if (int rc = parseValue(arg, arg.elementKind, element)) return rc;
      }
    }
  }

  // At a scalar value of `arg`.
  int parseValue(const ClpArg& arg, ClpKind kind, ClpNode& node) {
    Tok want = kind == CLP_NUMBER ? Tok::Number : kind == CLP_TEXT ? Tok::Text : Tok::Keyword;
    if (tok_.kind != want) {
      bool isValue =
          tok_.kind == Tok::Number || tok_.kind == Tok::Text || tok_.kind == Tok::Keyword;
      return fail(isValue ? CLPERR_KIND : CLPERR_SYNTAX, tok_,
                  "'" + std::string(arg.keyword) + "' needs " + kindWord(kind) + " but found " +
                      show(tok_));
    }
    std::string range =
        "(" + std::to_string(arg.minValue) + ".." + std::to_string(arg.maxValue) + ")";
    switch (kind) {
      case CLP_NUMBER: {
        std::string_view digits = tok_.raw;
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        int64_t value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
          return fail(CLPERR_RANGE, tok_,
                      "number " + show(tok_) + " of '" + std::string(arg.keyword) +
                          "' is too large " + range);
        }
        if (value < arg.minValue || value > arg.maxValue) {
          return fail(CLPERR_RANGE, tok_,
                      "number " + show(tok_) + " of '" + std::string(arg.keyword) +
                          "' is out of range " + range);
        }
        node.number = value;
        break;
      }
      case CLP_TEXT:
        node.text = tok_.value;
        break;
      default: {
        const char* const* c = arg.constants;
        while (c != nullptr && *c != nullptr && !sameWord(tok_.raw, *c)) ++c;
        if (c == nullptr || *c == nullptr) {
          return fail(CLPERR_RANGE, tok_,
                      "constant " + show(tok_) + " not allowed for '" + std::string(arg.keyword) +
                          "' (allowed: " + allowedConstants(arg.constants) + ")");
        }
        node.text = *c;
        break;
      }
    }
    return shift();
  }

  ClpHandle& h_;
  clp::Lexer lex_;
  Token tok_;
  int row_ = 0, column_ = 0;
};

// A table the parser can walk: every entry names what its kind needs.
bool tableIsSound(const ClpArg* table, bool choices, int depth) {
  if (table == nullptr) return !choices;
  if (depth > kMaxDepth) return true;  // recursive tables are checked once round
  for (const ClpArg* e = table; e->keyword != nullptr; ++e) {
    if (*e->keyword == '\0' || e->maxOcc < 1 || e->minOcc < 0 || e->minOcc > e->maxOcc) {
      return false;
    }
    if (choices && e->kind != CLP_OBJECT) return false;
    switch (e->kind) {
      case CLP_NUMBER:
        if (e->minValue > e->maxValue) return false;
        break;
      case CLP_CONSTANT:
        if (e->constants == nullptr) return false;
        break;
      case CLP_OBJECT:
        if (!tableIsSound(e->table, false, depth + 1)) return false;
        break;
      case CLP_OVERLAY:
        if (e->table == nullptr || !tableIsSound(e->table, true, depth + 1)) return false;
        break;
      case CLP_ARRAY:
        if (e->elementKind == CLP_OVERLAY) {
          if (e->table == nullptr || !tableIsSound(e->table, true, depth + 1)) return false;
        } else if (e->elementKind == CLP_CONSTANT) {
          if (e->constants == nullptr) return false;
        } else if (e->elementKind != CLP_TEXT && e->elementKind != CLP_NUMBER) {
          return false;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

ClpHandle* pvClpOpen(const char* /*owner*/, const char* /*program*/, const char* /*version*/,
                     const char* command, const char* /*manual*/, const char* /*help*/, int overlay,
                     const ClpArg* table, ClpNode* area, ParserErrorRefs* errors,
                     ClpFile2StringFn file2string, ClpSafFn saf) {
  if (command == nullptr || table == nullptr || area == nullptr || errors == nullptr) {
    return nullptr;
  }
  if (!tableIsSound(table, overlay != 0, 0)) return nullptr;
  ClpHandle* handle = new (std::nothrow) ClpHandle;
  if (handle == nullptr) return nullptr;
  handle->command = command;
  handle->overlay = overlay != 0;
  handle->table = table;
  handle->area = area;
  handle->errors = errors;
  handle->file2string = file2string;
  handle->saf = saf;
  return handle;
}

int siClpParseCmd(ClpHandle* handle, const char* source, const char* text) {
  if (handle == nullptr) return CLPERR_INTERFACE;
  ParserErrorRefs& errors = *handle->errors;
  *handle->area = ClpNode{};
  try {
    handle->source = source != nullptr ? source : handle->command;
    if (text == nullptr) {
      handle->message = "no text to parse";
      errors = {handle->message.c_str(), handle->source.c_str(), 0, 0};
      return CLPERR_INTERFACE;
    }
    ClpNode root;
    Parser parser(*handle, text);
    int rc = parser.parseCommand(root);
    if (rc < 0) {
      errors = {handle->message.c_str(), handle->source.c_str(), parser.row(), parser.column()};
      return rc;
    }
    *handle->area = std::move(root);
    return static_cast<int>(handle->area->children.size());
  } catch (const std::bad_alloc&) {
    *handle->area = ClpNode{};
    errors = {"out of memory while parsing", handle->command, 0, 0};
    return CLPERR_MEMORY;
  }
}

void vdClpClose(ClpHandle* handle, int /*mode*/) { delete handle; }
