// The text form of the rules of an index, as `vaskFSconf -E` prints it and
// `vaskFSconf -I` reads it back: a file meant to be kept under version
// control and read by people, so it is stable (lists in a fixed order, rules
// in index order, one small block per rule) and every string is quoted so
// that any byte survives.
//
//   [write]                      the write rules (confW) of the index
//   [read]                       its read rules (confR)
//   [view "name"]                the read rules of a view
//
//   rule 3 enabled               rule number; enabled or disabled (bit 30)
//       pattern "*.txt"
//       target  "[copy].gz"      may be left out: empty
//       file    "write.text(file='' comp.gzip())"
//       format  "format.text()"
//       flags   useIR            noIR, useIR or a number (0x.. for hex);
//                                may be left out: noIR
//
// Strings stand in double quotes; inside, \" \\ \n \t \r and \xHH (two hex
// digits) stand for a quote, a backslash, a line feed, a tab, a carriage
// return and any byte. Blank lines and lines whose first non-blank is "#"
// are comments, and so is "#" and what follows it after a complete line.
//
// Pure text work: nothing here touches an index. Not thread-safe only in the
// sense that each call works on its own arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "confdb.h"

enum class RuleListKind { Write, Read, View };

// One list of rules of the text.
struct RuleSection {
  RuleListKind kind = RuleListKind::Write;
  std::string view;                // the view's name (View only)
  int line = 0;                    // line of the section's header (parsed texts)
  std::vector<ConfigEntry> rules;  // in the order of the text
  std::vector<int> ruleLines;      // line of each rule's header (parsed texts)
};

// A failure to read a text: the line (from 1) and what is wrong there.
struct RulesTextError {
  int line = 0;
  std::string message;
};

// `text` in double quotes with the escapes above; bytes from 0x80 up are
// kept as they are, every other control byte becomes \xHH.
std::string quoteRuleText(std::string_view text);

// How a section is named in the text and in messages: [write], [read],
// [view "name"].
std::string sectionName(const RuleSection& section);

// The whole text of `sections`, in their order, with a comment on top.
std::string formatRules(const std::vector<RuleSection>& sections);

// Reads a text. Checks its form and what a rule must have (a pattern, a
// file string and a format string, none of them empty; a rule number at
// most once in a section; a list at most once; a view name that names a
// view directory), not the syntax of file and format strings. On failure
// returns false with the first error; `sections` is then unspecified.
bool parseRules(std::string_view text, std::vector<RuleSection>& sections, RulesTextError& error);
