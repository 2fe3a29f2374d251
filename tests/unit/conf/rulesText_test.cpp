// The text form of rules: strings with any byte survive a write and a read,
// and every malformed text is refused with the line and what is wrong.
#include "rulesText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

ConfigEntry rule(int32_t index, std::string pattern, std::string target, std::string file,
                 std::string format, uint32_t flags) {
  ConfigEntry entry;
  entry.index = index;
  entry.flags = flags;
  entry.pattern = std::move(pattern);
  entry.targetPattern = std::move(target);
  entry.fileString = std::move(file);
  entry.formatString = std::move(format);
  return entry;
}

void expectSameRules(const std::vector<RuleSection>& want, const std::vector<RuleSection>& got) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t s = 0; s < want.size(); ++s) {
    EXPECT_EQ(want[s].kind, got[s].kind) << s;
    EXPECT_EQ(want[s].view, got[s].view) << s;
    ASSERT_EQ(want[s].rules.size(), got[s].rules.size()) << s;
    for (size_t r = 0; r < want[s].rules.size(); ++r) {
      const ConfigEntry& a = want[s].rules[r];
      const ConfigEntry& b = got[s].rules[r];
      EXPECT_EQ(a.index, b.index) << s << "/" << r;
      EXPECT_EQ(a.flags, b.flags) << s << "/" << r;
      EXPECT_EQ(a.pattern, b.pattern) << s << "/" << r;
      EXPECT_EQ(a.targetPattern, b.targetPattern) << s << "/" << r;
      EXPECT_EQ(a.fileString, b.fileString) << s << "/" << r;
      EXPECT_EQ(a.formatString, b.formatString) << s << "/" << r;
    }
  }
}

// Texts no quoting may lose: each stands in every string field of a rule.
const std::vector<std::string> AWKWARD = {
    "it's",
    "''",
    "say \"hi\"",
    "back\\slash\\",
    "\\x41 is not A",
    "\\\"",
    "tab\there",
    "line\nbreak\n",
    "cr\r\nlf",
    " leading and trailing blanks ",
    "# not a comment",
    "[view \"x\"] ]",
    std::string("nul\0byte", 8),
    "\x01\x1f\x7f",
    "UTF-8: Grüße, 日本",
    "\xff\xfe not UTF-8",
};

TEST(RulesTextTest, EveryStringSurvivesAWriteAndARead) {
  std::vector<RuleSection> sections(3);
  sections[0].kind = RuleListKind::Write;
  sections[1].kind = RuleListKind::Read;
  sections[2].kind = RuleListKind::View;
  sections[2].view = "it's \"a\" view\twith\nodd name";
  // Every state and every bit of index and flags, the odd ones first.
  const int32_t indices[] = {0, 0x00FFFFFF, 0x40000005, 0x01000000, -1, INT32_MIN};
  const uint32_t flags[] = {0, 1, 0x11, 2, 0xFFFFFFFF};
  for (size_t i = 0; i < AWKWARD.size(); ++i) {
    const std::string& text = AWKWARD[i];
    const int32_t index = i < std::size(indices) ? indices[i] : static_cast<int32_t>(100 + i);
    sections[0].rules.push_back(rule(static_cast<int32_t>(i + 1), text, text,
                                     "write.bin(file='' " + text + ")", "format." + text,
                                     flags[i % std::size(flags)]));
    sections[1].rules.push_back(rule(index, "p" + text, "", "f" + text, text, 1));
  }
  sections[2].rules.push_back(rule(7, "*", AWKWARD[7], AWKWARD[3], AWKWARD[1], 0));

  const std::string text = formatRules(sections);
  std::vector<RuleSection> parsed;
  RulesTextError error;
  ASSERT_TRUE(parseRules(text, parsed, error)) << error.line << ": " << error.message << "\n"
                                               << text;
  expectSameRules(sections, parsed);
  EXPECT_EQ(text, formatRules(parsed));
  for (const char* line :
       {"\nrule 0 enabled\n", "\nrule 5 disabled\n", "\nrule 3221225471 disabled\n",
        "\nrule 2147483648 enabled\n", "    flags   useIR\n", "    flags   noIR\n",
        "    flags   0x11\n", "    flags   0xFFFFFFFF\n"}) {
    EXPECT_NE(std::string::npos, text.find(line)) << line;
  }
  // Every rule is one block of lines: no string breaks a line.
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  const size_t rules = 2 * AWKWARD.size() + 1;
  EXPECT_EQ(3 + 3 * 2 + rules * 7, lines) << text;
}

TEST(RulesTextTest, HandWrittenFormsAreRead) {
  const std::string text =
      "# rules of the archive\r\n"
      "  [write]   # the write rules\r\n"
      "rule 4\r\n"
      "\tfile \"write.bin(file='')\"\r\n"
      "\tpattern   \"*.bin\"  # any order\r\n"
      "\tformat \"format.bin()\"\r\n"
      "rule 2 disabled\n"
      "  pattern \"a\\x2Ab\"\n  file \"w\"\n  format \"f\"\n  flags 17\n"
      "rule 2 enabled\n"
      "  pattern \"c\"\n  file \"w\"\n  format \"f\"\n  flags 0X1f\n"
      "[view \"pub\"]\n"
      "[read]\n";
  std::vector<RuleSection> parsed;
  RulesTextError error;
  ASSERT_TRUE(parseRules(text, parsed, error)) << error.line << ": " << error.message;
  ASSERT_EQ(3u, parsed.size());
  ASSERT_EQ(3u, parsed[0].rules.size());
  EXPECT_EQ((std::vector<int>{3, 7, 12}), parsed[0].ruleLines);
  const ConfigEntry& first = parsed[0].rules[0];
  EXPECT_EQ(4, first.index);
  EXPECT_EQ("*.bin", first.pattern);
  EXPECT_EQ("", first.targetPattern);
  EXPECT_EQ(0u, first.flags);
  EXPECT_EQ(0x40000002, parsed[0].rules[1].index);
  EXPECT_EQ("a*b", parsed[0].rules[1].pattern);
  EXPECT_EQ(17u, parsed[0].rules[1].flags);
  EXPECT_EQ(2, parsed[0].rules[2].index);
  EXPECT_EQ(0x1Fu, parsed[0].rules[2].flags);
  EXPECT_EQ(RuleListKind::View, parsed[1].kind);
  EXPECT_EQ("pub", parsed[1].view);
  EXPECT_TRUE(parsed[1].rules.empty());
  EXPECT_EQ(RuleListKind::Read, parsed[2].kind);
  EXPECT_EQ(18, parsed[2].line);
}

TEST(RulesTextTest, MalformedTextsAreRefusedWithTheirLine) {
  const std::string body = "  pattern \"*\"\n  file \"w\"\n  format \"f\"\n";
  const struct {
    std::string text;
    int line;
    std::string message;  // a part of the message
  } cases[] = {
      {"rule 1\n" + body, 1, "a rule before the first list"},
      {"[write]\n  pattern \"*\"\n", 2, "pattern outside a rule"},
      {"[writes]\n", 1, "unknown list [writes]"},
      {"[write\n", 1, "a list's header is"},
      {"[write] x\n", 1, "a list's header is"},
      {"[view]\n", 1, "view name: a string in double quotes is expected"},
      {"[view \"\"]\n", 1, "is not the name of a view directory"},
      {"[view \".hidden\"]\n", 1, "is not the name of a view directory"},
      {"[view \"a/b\"]\n", 1, "is not the name of a view directory"},
      {"[read]\n[write]\n[read]\n", 3, "[read] is given twice (first on line 1)"},
      {"[view \"v\"]\n\n[view \"v\"]\n", 3, "[view \"v\"] is given twice (first on line 1)"},
      {"[write]\nrule x\n", 2, "rule number 'x' is not a decimal number"},
      {"[write]\nrule -1\n", 2, "rule number '-1' is not a decimal number"},
      {"[write]\nrule 4294967296\n", 2, "is not a decimal number from 0 to 4294967295"},
      {"[write]\nrule 1073741825\n", 2, "has bit 30 set"},
      {"[write]\nrule 1 off\n", 2, "'off' after the rule number"},
      {"[write]\nrule 1 enabled now\n", 2, "more than a number and its state"},
      {"[write]\nrule 1\n  pattern *\n", 3, "pattern: a string in double quotes is expected"},
      {"[write]\nrule 1\n  pattern \"*\n", 3, "pattern: the string has no closing double quote"},
      {"[write]\nrule 1\n  file \"a\\q\"\n", 3, "file: unknown escape \\q"},
      {"[write]\nrule 1\n  file \"a\\x4\"\n", 3, "\\x in a string needs two hexadecimal digits"},
      {"[write]\nrule 1\n  file \"a\\\n", 3, "file: the string has no closing double quote"},
      {"[write]\nrule 1\n  target \"a\" \"b\"\n", 3, "more than one value after target"},
      {"[write]\nrule 1\n" + body + "  pattern \"again\"\n", 6, "pattern is given twice"},
      {"[write]\nrule 1\n" + body + "  flags yes\n", 6, "flags 'yes': noIR, useIR or a number"},
      {"[write]\nrule 1\n" + body + "  flags 0x100000000\n", 6, "flags '0x100000000'"},
      {"[write]\nrule 1\n" + body + "  comment \"x\"\n", 6, "unknown word 'comment'"},
      {"[write]\nrule 3 disabled\n  file \"w\"\n  format \"f\"\n", 2,
       "rule 3 disabled in [write] has no pattern"},
      {"[read]\nrule 3\n  pattern \"*\"\n  format \"f\"\n", 2,
       "rule 3 in [read] has no file string"},
      {"[view \"v\"]\nrule 3\n  pattern \"*\"\n  file \"w\"\n  format \"\"\n", 2,
       "rule 3 in [view \"v\"] has no format string"},
      {"[write]\nrule 2\n" + body + "[read]\nrule 2\n" + body + "rule 2\n" + body, 11,
       "rule 2 in [read] is given twice (first on line 7)"},
  };
  for (const auto& c : cases) {
    std::vector<RuleSection> parsed;
    RulesTextError error;
    EXPECT_FALSE(parseRules(c.text, parsed, error)) << c.text;
    EXPECT_EQ(c.line, error.line) << c.text << "\n" << error.message;
    EXPECT_NE(std::string::npos, error.message.find(c.message))
        << c.text << "\nwanted: " << c.message << "\ngot:    " << error.message;
  }
}

}  // namespace
