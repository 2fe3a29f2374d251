// Writing and reading the text form of rules (see rulesText.h).
#include "rulesText.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr const char* HEADER =
    "# vaskFS rules (vaskFSconf -E). Each list [write], [read] or [view \"name\"]\n"
    "# holds its rules in index order; vaskFSconf -I replaces every list it names.\n"
    "# Strings are in double quotes with the escapes \\\" \\\\ \\n \\t \\r \\xHH.\n";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ruleLabel(const RuleSection& section, int32_t index) {
  const auto bits = static_cast<uint32_t>(index);
  std::string label =
      "rule " + std::to_string(bits & ~static_cast<uint32_t>(CONFIG_INDEX_DISABLED));
  if (index & CONFIG_INDEX_DISABLED) label += " disabled";
  return label + " in " + sectionName(section);
}

// Reads one line of the text, word by word and string by string.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : line_(line) {}

  void skipBlanks() {
    while (pos_ < line_.size() && isBlank(line_[pos_])) ++pos_;
  }
  // Nothing but blanks and perhaps a comment is left.
  bool atEnd() {
    skipBlanks();
    return pos_ >= line_.size() || line_[pos_] == '#';
  }
  bool peek(char c) {
    skipBlanks();
    return pos_ < line_.size() && line_[pos_] == c;
  }
  bool take(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }
  // Letters, digits, "_", "-": a keyword or a number.
  std::string word() {
    skipBlanks();
    const size_t start = pos_;
    while (pos_ < line_.size() && !isBlank(line_[pos_]) && line_[pos_] != '"' &&
           line_[pos_] != ']' && line_[pos_] != '#') {
      ++pos_;
    }
    return std::string(line_.substr(start, pos_ - start));
  }
  // A quoted string; false with `error` set when it is not one.
  bool quoted(std::string& out, std::string& error) {
    skipBlanks();
    out.clear();
    if (pos_ >= line_.size() || line_[pos_] != '"') {
      error = "a string in double quotes is expected";
      return false;
    }
    for (++pos_; pos_ < line_.size(); ++pos_) {
      const char c = line_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (++pos_ >= line_.size()) break;
      switch (line_[pos_]) {
        case '"':
        case '\\':
          out += line_[pos_];
          break;
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'x': {
          const int high = pos_ + 1 < line_.size() ? hexValue(line_[pos_ + 1]) : -1;
          const int low = pos_ + 2 < line_.size() ? hexValue(line_[pos_ + 2]) : -1;
          if (high < 0 || low < 0) {
            error = "\\x in a string needs two hexadecimal digits";
            return false;
          }
          out += static_cast<char>(high * 16 + low);
          pos_ += 2;
          break;
        }
        default:
          error = std::string("unknown escape \\") + line_[pos_] +
                  " in a string (known: \\\" \\\\ \\n \\t \\r \\xHH)";
          return false;
      }
    }
    error = "the string has no closing double quote";
    return false;
  }

 private:
  std::string_view line_;
  size_t pos_ = 0;
};

// An unsigned decimal number, or hexadecimal after "0x" when `hex` is
// allowed, of at most 32 bits.
bool number(const std::string& text, bool hex, uint32_t& out) {
  int base = 10;
  size_t start = 0;
  if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  if (start >= text.size()) return false;
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const int digit = base == 16                         ? hexValue(text[i])
                      : text[i] >= '0' && text[i] <= '9' ? text[i] - '0'
                                                         : -1;
    if (digit < 0) return false;
    value = value * base + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

// A view name must name one directory of the index that the view listing
// shows.
bool validViewName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Reads the text line by line into sections.
class RulesParser {
 public:
  RulesParser(std::vector<RuleSection>& sections, RulesTextError& error)
      : sections_(sections), error_(error) {}

  bool parse(std::string_view text) {
    sections_.clear();
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++lineNumber;
      if (!line(text.substr(start, end - start), lineNumber)) return false;
      start = end + 1;
    }
    return finishRule();
  }

 private:
  bool fail(int line, std::string message) {
    error_.line = line;
    error_.message = std::move(message);
    return false;
  }

  bool line(std::string_view text, int lineNumber) {
    LineReader in(text);
    if (in.atEnd()) return true;
    if (in.take('[')) return section(in, lineNumber);
    const std::string keyword = in.word();
    if (keyword == "rule") return rule(in, lineNumber);
    if (keyword == "pattern" || keyword == "target" || keyword == "file" || keyword == "format" ||
        keyword == "flags") {
      return field(in, keyword, lineNumber);
    }
    return fail(lineNumber, "unknown word '" + keyword +
                                "': a line holds [write], [read], [view \"name\"], rule, pattern, "
                                "target, file, format or flags");
  }

  bool section(LineReader& in, int lineNumber) {
    if (!finishRule()) return false;
    RuleSection next;
    next.line = lineNumber;
    const std::string kind = in.word();
    if (kind == "write") {
      next.kind = RuleListKind::Write;
    } else if (kind == "read") {
      next.kind = RuleListKind::Read;
    } else if (kind == "view") {
      next.kind = RuleListKind::View;
      std::string problem;
      if (!in.quoted(next.view, problem)) return fail(lineNumber, "view name: " + problem);
      if (!validViewName(next.view)) {
        return fail(lineNumber, "the view name " + quoteRuleText(next.view) +
                                    " is not the name of a view directory (empty, beginning "
                                    "with \".\" or holding \"/\")");
      }
    } else {
      return fail(lineNumber,
                  "unknown list [" + kind + "]: the lists are [write], [read] and [view \"name\"]");
    }
    if (!in.take(']') || !in.atEnd()) {
      return fail(lineNumber, "a list's header is [write], [read] or [view \"name\"] alone");
    }
    const std::string name = sectionName(next);
    const auto [seen, fresh] = firstLine_.emplace(name, lineNumber);
    if (!fresh) {
      return fail(lineNumber,
                  name + " is given twice (first on line " + std::to_string(seen->second) + ")");
    }
    sections_.push_back(std::move(next));
    ruleFirstLine_.clear();
    return true;
  }

  bool rule(LineReader& in, int lineNumber) {
    if (!finishRule()) return false;
    if (sections_.empty()) {
      return fail(lineNumber,
                  "a rule before the first list: begin with [write], [read] or "
                  "[view \"name\"]");
    }
    const std::string numberText = in.word();
    uint32_t ruleNumber = 0;
    if (!number(numberText, false, ruleNumber)) {
      return fail(lineNumber,
                  "rule number '" + numberText + "' is not a decimal number from 0 to 4294967295");
    }
    if (ruleNumber & static_cast<uint32_t>(CONFIG_INDEX_DISABLED)) {
      return fail(lineNumber, "rule number " + numberText +
                                  " has bit 30 set: write the rule without it and add disabled");
    }
    const std::string state = in.atEnd() ? "enabled" : in.word();
    if (state == "disabled") {
      ruleNumber |= static_cast<uint32_t>(CONFIG_INDEX_DISABLED);
    } else if (state != "enabled") {
      return fail(lineNumber, "'" + state + "' after the rule number: enabled or disabled");
    }
    if (!in.atEnd()) return fail(lineNumber, "more than a number and its state after rule");
    current_ = ConfigEntry{};
    initConfEntry(current_);
    current_.index = static_cast<int32_t>(ruleNumber);
    currentLine_ = lineNumber;
    seenFields_.clear();
    inRule_ = true;
    return true;
  }

  bool field(LineReader& in, const std::string& keyword, int lineNumber) {
    if (!inRule_) return fail(lineNumber, keyword + " outside a rule: begin it with rule <number>");
    if (!seenFields_.emplace(keyword).second) {
      return fail(lineNumber, keyword + " is given twice in this rule");
    }
    if (keyword == "flags") {
      const std::string value = in.word();
      if (value == "noIR") {
        current_.flags = 0;
      } else if (value == "useIR") {
        current_.flags = CONFIG_FLAG_USE_IR;
      } else if (!number(value, true, current_.flags)) {
        return fail(lineNumber, "flags '" + value +
                                    "': noIR, useIR or a number (decimal, or hexadecimal after "
                                    "0x) of at most 32 bits");
      }
    } else {
      std::string value;
      std::string problem;
      if (!in.quoted(value, problem)) return fail(lineNumber, keyword + ": " + problem);
      if (keyword == "pattern") current_.pattern = std::move(value);
      if (keyword == "target") current_.targetPattern = std::move(value);
      if (keyword == "file") current_.fileString = std::move(value);
      if (keyword == "format") current_.formatString = std::move(value);
    }
    if (!in.atEnd()) return fail(lineNumber, "more than one value after " + keyword);
    return true;
  }

  // Ends the rule being read: checks it and adds it to its section.
  bool finishRule() {
    if (!inRule_) return true;
    inRule_ = false;
    RuleSection& section = sections_.back();
    const std::string label = ruleLabel(section, current_.index);
    const struct {
      const std::string& value;
      const char* what;
    } required[] = {{current_.pattern, "pattern"},
                    {current_.fileString, "file string"},
                    {current_.formatString, "format string"}};
    for (const auto& r : required) {
      if (r.value.empty()) return fail(currentLine_, label + " has no " + r.what);
    }
    const auto [seen, fresh] = ruleFirstLine_.emplace(current_.index, currentLine_);
    if (!fresh) {
      return fail(currentLine_,
                  label + " is given twice (first on line " + std::to_string(seen->second) + ")");
    }
    section.rules.push_back(std::move(current_));
    section.ruleLines.push_back(currentLine_);
    return true;
  }

  std::vector<RuleSection>& sections_;
  RulesTextError& error_;
  std::map<std::string, int> firstLine_;  // section name -> its header's line
  std::map<int32_t, int> ruleFirstLine_;  // index -> line, in the current section
  std::set<std::string> seenFields_;      // fields of the current rule
  ConfigEntry current_;
  int currentLine_ = 0;
  bool inRule_ = false;
};

}  // namespace

std::string quoteRuleText(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string sectionName(const RuleSection& section) {
  switch (section.kind) {
    case RuleListKind::Write:
      return "[write]";
    case RuleListKind::Read:
      return "[read]";
    case RuleListKind::View:
      break;
  }
  return "[view " + quoteRuleText(section.view) + "]";
}

std::string formatRules(const std::vector<RuleSection>& sections) {
  std::string out = HEADER;
  for (const RuleSection& section : sections) {
    out += "\n" + sectionName(section) + "\n";
    for (const ConfigEntry& rule : section.rules) {
      const auto index = static_cast<uint32_t>(rule.index);
      const bool disabled = (index & static_cast<uint32_t>(CONFIG_INDEX_DISABLED)) != 0;
      char flags[16];
      if (rule.flags == 0 || rule.flags == CONFIG_FLAG_USE_IR) {
        std::snprintf(flags, sizeof flags, "%s", rule.flags == 0 ? "noIR" : "useIR");
      } else {
        std::snprintf(flags, sizeof flags, "0x%" PRIX32, rule.flags);
      }
      out += "\nrule " + std::to_string(index & ~static_cast<uint32_t>(CONFIG_INDEX_DISABLED)) +
             (disabled ? " disabled\n" : " enabled\n");
      out += "    pattern " + quoteRuleText(rule.pattern) + "\n";
      out += "    target  " + quoteRuleText(rule.targetPattern) + "\n";
      out += "    file    " + quoteRuleText(rule.fileString) + "\n";
      out += "    format  " + quoteRuleText(rule.formatString) + "\n";
      out += std::string("    flags   ") + flags + "\n";
    }
  }
  return out;
}

bool parseRules(std::string_view text, std::vector<RuleSection>& sections, RulesTextError& error) {
  return RulesParser(sections, error).parse(text);
}
