// The tokens of a command string.
#include "corekit/clp/lexer.h"

#include <cstdio>

namespace clp {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string describeChar(unsigned char c) {
  char buf[16];
  if (c > 0x20 && c < 0x7f) {
    snprintf(buf, sizeof buf, "'%c'", static_cast<char>(c));
  } else {
    snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(c));
  }
  return buf;
}

void Lexer::advance() {
  if (pos_ >= text_.size()) return;
  if (text_[pos_] == '\n') {
    ++row_;
    column_ = 1;
  } else {
    ++column_;
  }
  ++pos_;
}

void Lexer::skipSeparators() {
  for (;;) {
    char c = peekChar();
    if (pos_ >= text_.size()) return;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '\f' || c == '\v') {
      advance();
    } else {
      return;
    }
  }
}

Token Lexer::lexText(Token tok) {
  size_t start = pos_;
  advance();  // the opening apostrophe
  for (;;) {
    if (pos_ >= text_.size()) {
      tok.kind = Tok::Error;
      tok.value = "unterminated text: no closing apostrophe";
      tok.raw = text_.substr(start, pos_ - start);
      done_ = true;
      return tok;
    }
    char c = peekChar();
    if (c == '\'') {
      if (peekChar(1) == '\'' && pos_ + 1 < text_.size()) {
        tok.value.push_back('\'');
        advance();
        advance();
        continue;
      }
      advance();
      break;
    }
    tok.value.push_back(c);
    advance();
  }
  tok.kind = Tok::Text;
  tok.raw = text_.substr(start, pos_ - start);
  return tok;
}

Token Lexer::lexNumber(Token tok) {
  size_t start = pos_;
  if (peekChar() == '+' || peekChar() == '-') advance();
  size_t digits = pos_;
  while (pos_ < text_.size() && isDigit(peekChar())) advance();
  bool bad = pos_ == digits;
  // "9abc" is neither a number nor a keyword.
  while (pos_ < text_.size() && (isLetter(peekChar()) || isDigit(peekChar()))) {
    advance();
    bad = true;
  }
  tok.raw = text_.substr(start, pos_ - start);
  if (bad) {
    tok.kind = Tok::Error;
    tok.value = "malformed number '" + std::string(tok.raw) + "'";
    done_ = true;
    return tok;
  }
  tok.kind = Tok::Number;
  return tok;
}

Token Lexer::next() {
  Token tok;
  if (done_) {
    tok.row = row_;
    tok.column = column_;
    return tok;
  }
  skipSeparators();
  tok.row = row_;
  tok.column = column_;
  if (pos_ >= text_.size()) {
    done_ = true;
    return tok;
  }
  char c = peekChar();
  if (isLetter(c)) {
    size_t start = pos_;
    while (pos_ < text_.size() && (isLetter(peekChar()) || isDigit(peekChar()))) advance();
    tok.kind = Tok::Keyword;
    tok.raw = text_.substr(start, pos_ - start);
    return tok;
  }
  if (isDigit(c) || c == '+' || c == '-') return lexNumber(std::move(tok));
  if (c == '\'') return lexText(std::move(tok));
  Tok kind = Tok::Error;
  switch (c) {
    case '.':
      kind = Tok::Dot;
      break;
    case '=':
      kind = Tok::Equal;
      break;
    case '(':
      kind = Tok::Open;
      break;
    case ')':
      kind = Tok::Close;
      break;
    case '[':
      kind = Tok::BOpen;
      break;
    case ']':
      kind = Tok::BClose;
      break;
    default:
      break;
  }
  tok.raw = text_.substr(pos_, 1);
  advance();
  tok.kind = kind;
  if (kind == Tok::Error) {
    tok.value = "invalid character " + describeChar(static_cast<unsigned char>(c));
    done_ = true;
  }
  return tok;
}

}  // namespace clp
