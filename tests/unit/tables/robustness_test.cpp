// Arbitrary and mutated strings against every table: the parser must end
// with a result that makes sense and never read or write out of bounds
// (this test is meant to run under AddressSanitizer too).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "parse_helper.h"

namespace {

const std::vector<std::string> kSeeds = {
    "read.bin(file='')",
    "write.text(file='' ccsid='IBM-1047' method=NL bom)",
    "write.rec(file='' recf=FIX recl=80 ccsid='IBM-1047' pad='x')",
    "read.auto(file='' comp.xz(level=3) encr.age(identity='k') enc.hex())",
    "output(file='' cnv[age(identity='k') gzip()] fmt.text(ccsid='IBM-1047'))",
    "input(file='it''s' cnv[gzip() base64()] fmt.rec(recl=10))",
    "format.text(ccsid='UTF-8' method=LF bom)",
    "state(file='a/b.txt' comment='vaskFS version 0.1.0-1')",
};

const std::string kAlphabet = "().[]='', \n\t+-09azAZ_#\"\\\x01\x7f\x80\xff";

std::string mutate(std::string s, std::mt19937& rng) {
  int edits = 1 + static_cast<int>(rng() % 6);
  for (int i = 0; i < edits; ++i) {
    size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 6) {
      case 0:  // replace a byte by any byte but zero
        if (!s.empty() && pos < s.size()) s[pos] = static_cast<char>(1 + rng() % 255);
        break;
      case 1:  // insert a syntax character
        s.insert(pos, 1, kAlphabet[rng() % kAlphabet.size()]);
        break;
      case 2:  // delete a run
        if (pos < s.size()) s.erase(pos, 1 + rng() % 4);
        break;
      case 3: {  // repeat a piece of itself
        if (s.empty()) break;
        size_t from = rng() % s.size();
        s.insert(pos, s.substr(from, 1 + rng() % 12));
        break;
      }
      case 4:  // cut the tail
        s.resize(pos);
        break;
      default:  // deep nesting
        s.insert(pos, std::string(1 + rng() % 200, "(["[rng() % 2]));
        break;
    }
  }
  return s;
}

void checkSane(const std::string& whole, const Parsed& p) {
  static const std::set<int> kCodes = {CLPERR_LEXICAL, CLPERR_UNBALANCED, CLPERR_KEYWORD,
                                       CLPERR_KIND,    CLPERR_RANGE,      CLPERR_DUPLICATE,
                                       CLPERR_MISSING, CLPERR_SYNTAX,     CLPERR_INTERFACE};
  if (p.rc >= 0) {
    EXPECT_EQ(static_cast<size_t>(p.rc), p.tree.children.size()) << whole;
    EXPECT_TRUE(p.tree.kind == CLP_OBJECT || !p.tree.choice.empty()) << whole;
    return;
  }
  ASSERT_TRUE(kCodes.count(p.rc)) << p.rc << " for " << whole;
  if (p.offset == std::string::npos || p.rc == CLPERR_INTERFACE) return;
  // The position lies inside the parsed text or just past its end.
  std::string text = whole.substr(p.offset);
  int rows = 1;
  std::vector<int> widths = {0};
  for (char c : text) {
    if (c == '\n') {
      ++rows;
      widths.push_back(0);
    } else {
      ++widths.back();
    }
  }
  ASSERT_GE(p.errors.row, 1) << whole;
  ASSERT_LE(p.errors.row, rows) << whole;
  EXPECT_GE(p.errors.column, 1) << whole;
  EXPECT_LE(p.errors.column, widths[static_cast<size_t>(p.errors.row - 1)] + 1) << whole;
  EXPECT_FALSE(p.message.empty()) << whole;
  EXPECT_FALSE(p.source.empty()) << whole;
}

TEST(Robustness, MutatedStringsEndSanely) {
  std::mt19937 rng(20261207);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string& seed = kSeeds[static_cast<size_t>(round) % kSeeds.size()];
    std::string text = mutate(seed, rng);
    for (bool read : {true, false}) {
      Parsed p = parseString(text, read);
      checkSane(text, p);
      (p.rc >= 0 ? accepted : refused)++;
    }
  }
  // Both outcomes occur, or the mutations test nothing.
  EXPECT_GT(accepted, 50);
  EXPECT_GT(refused, 1000);
}

TEST(Robustness, RandomBytesEndSanely) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text = "read";
    size_t length = rng() % 80;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(1 + rng() % 255));
    text[4 % (text.size())] = round % 2 ? '.' : '(';
    for (const char* verb : {"r", "i", "f", "s"}) {
      std::string whole = verb + text.substr(1);
      checkSane(whole, parseString(whole));
    }
  }
}

TEST(Robustness, VeryDeepNestingIsRefused) {
  for (const char* unit : {"(", "[", "comp.gzip(", "cnv[gzip("}) {
    std::string text = "input(file='' ";
    for (int i = 0; i < 100000; ++i) text += unit;
    Parsed p = parseString(text);
    EXPECT_LT(p.rc, 0) << unit;
    checkSane(text, p);
  }
}

}  // namespace
