// The table-driven parser: turns a command string into a ClpNode tree,
// checking every keyword, value kind, range and occurrence against the
// argument tables.
#include <charconv>
#include <string>

#include "corekit/clp/handle.h"
#include "corekit/clp/lexer.h"
#include "corekit/clp/words.h"

namespace clp {

namespace {

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

}  // namespace

int parseText(ClpHandle& handle, std::string_view text, ClpNode& root, int& row, int& column) {
  Parser parser(handle, text);
  const int rc = parser.parseCommand(root);
  row = parser.row();
  column = parser.column();
  return rc;
}

}  // namespace clp
