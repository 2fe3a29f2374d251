// The tokens of a command string. Internal to the parser.
//
// A Lexer reads one zero-terminated text that it does not own; the text must
// outlive it. It never reads past the terminating zero. Not thread-safe; one
// per parse.
#pragma once

#include <string>
#include <string_view>

namespace clp {

enum class Tok {
  End,      // the end of the text
  Keyword,  // letters, digits and "_", starting with a letter or "_"
  Number,   // decimal digits with an optional sign; `raw` holds them
  Text,     // 'text'; `value` holds it with doubled apostrophes undoubled
  Dot,
  Equal,
  Open,    // (
  Close,   // )
  BOpen,   // [
  BClose,  // ]
  Error,   // a lexical error; `value` says what is wrong
};

struct Token {
  Tok kind = Tok::End;
  std::string_view raw;  // the token's characters in the text
  std::string value;     // Text: the content; Error: the description
  int row = 1, column = 1;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  // The next token; after End or Error it keeps returning End.
  Token next();

 private:
  char peekChar(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  void advance();  // one character, counting rows and columns
  void skipSeparators();
  Token lexText(Token tok);
  Token lexNumber(Token tok);

  std::string_view text_;
  size_t pos_ = 0;
  int row_ = 1, column_ = 1;
  bool done_ = false;
};

// The printable form of a character for messages: 'x', or 0xNN.
std::string describeChar(unsigned char c);

}  // namespace clp
