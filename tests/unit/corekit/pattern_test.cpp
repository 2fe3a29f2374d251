#include <gtest/gtest.h>

#include "corekit/corekit.h"

namespace {

struct MatchCase {
  const char* pattern;
  const char* text;
  bool matches;
};

TEST(Wcmatch, FollowsFnmatchWithoutFlags) {
  const MatchCase cases[] = {
      {"*", "", true},
      {"*", "dir/file.txt", true},  // "*" crosses "/"
      {"*.txt", "a/b/c.txt", true},
      {"*.txt", "c.txt.gz", false},  // the whole text must match
      {"?", "/", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"[abc]x", "bx", true},
      {"[!abc]x", "bx", false},
      {"[a-c]*", "cz", true},
      {".*", ".hidden", true},
      {"*", ".hidden", true},  // no special treatment of leading dots
      {"data/*.csv", "data/x.csv", true},
      {"data/*.csv", "data/x.CSV", false},  // case matters
      {"\\*", "*", true},                   // backslash quotes
      {"\\*", "x", false},
      {"[", "[", true},  // an unterminated class is a literal
      {"abc", "abcd", false},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(wcmatch(c.pattern, c.text) != 0, c.matches) << c.pattern << " vs " << c.text;
  }
}

TEST(Wcmatch, NullArgumentsNeverMatch) {
  EXPECT_EQ(wcmatch(nullptr, "x"), 0);
  EXPECT_EQ(wcmatch("*", nullptr), 0);
}

struct PatCase {
  const char* name;
  const char* pattern;
  const char* expected;  // null: PAT2STR_UNKNOWN
};

TEST(Pat2str, ExpandsPlaceholders) {
  const PatCase cases[] = {
      {"dir/sub/report.txt", "[path]/[base].gz", "dir/sub/report.gz"},
      {"dir/sub/report.txt", "[name]", "report.txt"},
      {"dir/sub/report.txt", "[ext]", "txt"},
      {"dir/sub/report.txt", "x/[copy]", "x/dir/sub/report.txt"},
      {"report.txt", "[path]", ""},  // no "/": empty path
      {"report.txt", "[path]/[name]", "/report.txt"},
      {"a/b.tar.gz", "[base]|[ext]", "b.tar|gz"},                // only the last extension
      {"a/.profile", "[base]|[ext]", ".profile|"},               // a dotfile has no extension
      {"a/b.c/readme", "[base]|[ext]|[path]", "readme||a/b.c"},  // dots in the path do not count
      {"name.", "[base]|[ext]", "name|"},
      {"/abs", "[path]|[name]", "|abs"},
      {"x.txt", "[[name]", "[name]"},  // "[[" is a literal "["
      {"x.txt", "a]b", "a]b"},
      {"x.txt", "", ""},
      {"x.txt", "plain", "plain"},
      {"x.txt", "[nope]", nullptr},
      {"x.txt", "[name", nullptr},  // unterminated
      {"x.txt", "abc[", nullptr},   // trailing "["
      {"x.txt", "[NAME]", nullptr},
      {"x.txt", "[]", nullptr},
  };
  for (const PatCase& c : cases) {
    std::string out = "stale";
    int rc = pat2str(c.name, c.pattern, out);
    if (c.expected == nullptr) {
      EXPECT_EQ(rc, PAT2STR_UNKNOWN) << c.name << " " << c.pattern;
    } else {
      EXPECT_EQ(out, c.expected) << c.name << " " << c.pattern;
      EXPECT_EQ(rc, static_cast<int>(out.size())) << c.name << " " << c.pattern;
    }
  }
}

}  // namespace

namespace {

// The one place that quotes names for command strings: a name that holds
// apostrophes must come back as the same name when the text is parsed.
TEST(DoubleApostrophes, EveryApostropheIsWrittenTwice) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"", ""},
      {"plain/name.txt", "plain/name.txt"},
      {"it's", "it''s"},
      {"'", "''"},
      {"x' comp.gzip() y='", "x'' comp.gzip() y=''"},
      {"''", "''''"},
  };
  for (const Case& c : cases) EXPECT_EQ(doubleApostrophes(c.text), c.expected) << c.text;
}

}  // namespace
