// The parser against small tables of its own, covering every kind, the
// separators, the error codes and their positions.
#include "corekit/clp/clp.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>

namespace {

const char* const kColors[] = {"RED", "GREEN", nullptr};
const ClpArg kNoArgs[] = {{}};
const ClpArg kInner[] = {
    {.keyword = "depth", .kind = CLP_NUMBER, .minOcc = 1, .minValue = -5, .maxValue = 5}, {}};
const ClpArg kChoices[] = {{.keyword = "one", .kind = CLP_OBJECT, .table = kInner},
                           {.keyword = "two", .kind = CLP_OBJECT, .table = kNoArgs},
                           {}};
const ClpArg kArgs[] = {
    {.keyword = "name", .kind = CLP_TEXT, .minOcc = 1},
    {.keyword = "flag", .kind = CLP_SWITCH},
    {.keyword = "big", .kind = CLP_NUMBER, .minValue = INT64_MIN, .maxValue = INT64_MAX},
    {.keyword = "color", .kind = CLP_CONSTANT, .constants = kColors},
    {.keyword = "tag", .kind = CLP_TEXT, .maxOcc = 3},
    {.keyword = "sub", .kind = CLP_OBJECT, .table = kInner},
    {.keyword = "pick", .kind = CLP_OVERLAY, .table = kChoices},
    {.keyword = "layers", .kind = CLP_ARRAY, .table = kChoices, .elementKind = CLP_OVERLAY},
    {.keyword = "nums",
     .kind = CLP_ARRAY,
     .minValue = 0,
     .maxValue = 9,
     .elementKind = CLP_NUMBER,
     .maxElements = 3},
    {.keyword = "words", .kind = CLP_ARRAY, .elementKind = CLP_TEXT},
    {.keyword = "hues", .kind = CLP_ARRAY, .constants = kColors, .elementKind = CLP_CONSTANT},
    {}};
const ClpArg kCommand[] = {{.keyword = "do", .kind = CLP_OBJECT, .table = kArgs}, {}};

// A table that contains itself, to reach any depth.
extern const ClpArg kNest[];
const ClpArg kNest[] = {{.keyword = "n", .kind = CLP_OBJECT, .table = kNest}, {}};

struct Result {
  int rc = 0;
  ClpNode tree;
  ParserErrorRefs errors;
  std::string message, source;
};

Result parse(const char* text, const ClpArg* table = kArgs, int overlay = 0,
             const char* source = nullptr) {
  Result r;
  ClpHandle* h = pvClpOpen("test", "VASK", "1", "CMD", "", "", overlay, table, &r.tree, &r.errors,
                           siClpFile2String, siClpSaf);
  EXPECT_NE(h, nullptr);
  if (h == nullptr) return r;
  r.rc = siClpParseCmd(h, source, text);
  if (r.rc < 0) {
    r.message = r.errors.message ? r.errors.message : "";
    r.source = r.errors.source ? r.errors.source : "";
  }
  vdClpClose(h, 1);
  return r;
}

TEST(ClpParse, ObjectWithEveryScalarKind) {
  Result r = parse("(NAME='it''s' , flag\n big=-42\tColor=green tag='' tag='b')");
  ASSERT_EQ(r.rc, 6) << r.message;
  EXPECT_EQ(r.tree.kind, CLP_OBJECT);
  EXPECT_EQ(r.tree.keyword, "CMD");
  ASSERT_NE(r.tree.find("name"), nullptr);
  EXPECT_EQ(r.tree.find("name")->keyword, "name");  // canonical spelling
  EXPECT_EQ(r.tree.find("Name")->text, "it's");
  EXPECT_EQ(r.tree.find("flag")->kind, CLP_SWITCH);
  EXPECT_EQ(r.tree.find("flag")->number, 1);
  EXPECT_EQ(r.tree.find("big")->number, -42);
  EXPECT_EQ(r.tree.find("big")->row, 2);
  EXPECT_EQ(r.tree.find("big")->column, 2);
  EXPECT_EQ(r.tree.find("color")->text, "GREEN");
  EXPECT_EQ(r.tree.children[4].text, "");
  EXPECT_EQ(r.tree.children[5].text, "b");
  EXPECT_EQ(r.tree.find("missing"), nullptr);
}

TEST(ClpParse, NumbersAtTheLimitsOfInt64) {
  Result r = parse("(name='' big=+9223372036854775807)");
  ASSERT_EQ(r.rc, 2) << r.message;
  EXPECT_EQ(r.tree.find("big")->number, INT64_MAX);
  r = parse("(name='' big=-9223372036854775808)");
  ASSERT_EQ(r.rc, 2) << r.message;
  EXPECT_EQ(r.tree.find("big")->number, INT64_MIN);
  r = parse("(name='' big=9223372036854775808)");
  EXPECT_EQ(r.rc, CLPERR_RANGE);
  EXPECT_EQ(r.errors.column, 14);
}

TEST(ClpParse, TextsKeepEverythingBetweenTheirApostrophes) {
  Result r = parse("(name='a(b)[c]=d.e,f\n''''g\xff')");
  ASSERT_EQ(r.rc, 1) << r.message;
  EXPECT_EQ(r.tree.find("name")->text, "a(b)[c]=d.e,f\n''g\xff");
}

TEST(ClpParse, NestedObjectsOverlaysAndArrays) {
  Result r = parse(
      "(name='' sub(depth=5) pick.ONE(depth=-5) layers[two() one(depth=0)] nums[1 2 3] "
      "words['x' 'y''z'] hues[red GREEN])");
  ASSERT_EQ(r.rc, 7) << r.message;
  const ClpNode* sub = r.tree.find("sub");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->kind, CLP_OBJECT);
  EXPECT_EQ(sub->find("depth")->number, 5);
  const ClpNode* pick = r.tree.find("pick");
  EXPECT_EQ(pick->kind, CLP_OVERLAY);
  EXPECT_EQ(pick->choice, "one");
  EXPECT_EQ(pick->find("depth")->number, -5);
  const ClpNode* layers = r.tree.find("layers");
  ASSERT_EQ(layers->children.size(), 2u);
  EXPECT_EQ(layers->children[0].kind, CLP_OVERLAY);
  EXPECT_EQ(layers->children[0].keyword, "two");
  EXPECT_EQ(layers->children[0].choice, "two");
  EXPECT_EQ(layers->children[0].arg, &kChoices[1]);
  EXPECT_EQ(layers->children[1].find("depth")->number, 0);
  const ClpNode* nums = r.tree.find("nums");
  ASSERT_EQ(nums->children.size(), 3u);
  EXPECT_EQ(nums->children[2].number, 3);
  EXPECT_EQ(r.tree.find("words")->children[1].text, "y'z");
  EXPECT_EQ(r.tree.find("hues")->children[0].text, "RED");
}

TEST(ClpParse, OverlayCommandRootCarriesTheChoice) {
  Result r = parse("  .One(depth=1)  ", kChoices, 1);
  ASSERT_EQ(r.rc, 1) << r.message;
  EXPECT_EQ(r.tree.kind, CLP_OVERLAY);
  EXPECT_EQ(r.tree.choice, "one");
  EXPECT_EQ(r.tree.keyword, "CMD");
  EXPECT_EQ(r.tree.find("depth")->number, 1);
  r = parse(".two()", kChoices, 1);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.tree.choice, "two");
}

struct Rejected {
  const char* text;
  int code;
  int row, column;
  const char* inMessage;  // a part the message must hold
};

TEST(ClpParse, RejectsWithCodePositionAndMessage) {
  const Rejected cases[] = {
      {"(name=''", CLPERR_UNBALANCED, 1, 1, "not closed"},
      {"(name='' sub(depth=1)", CLPERR_UNBALANCED, 1, 1, "not closed"},
      {"(name='' nums[1 2)", CLPERR_UNBALANCED, 1, 18, "')'"},
      {"(name='' ]", CLPERR_UNBALANCED, 1, 10, "']'"},
      {"(name='' nums[1", CLPERR_UNBALANCED, 1, 14, "'['"},
      {"(name='') )", CLPERR_UNBALANCED, 1, 11, "')'"},
      {"(name='' foo=1)", CLPERR_KEYWORD, 1, 10, "unknown keyword 'foo'"},
      {"(name='' pick.three())", CLPERR_KEYWORD, 1, 15, "'three'"},
      {"(name='' layers[three()])", CLPERR_KEYWORD, 1, 17, "'three'"},
      {"(name=1)", CLPERR_KIND, 1, 7, "'name'"},
      {"(name='' big='x')", CLPERR_KIND, 1, 14, "'big'"},
      {"(name='' color='RED')", CLPERR_KIND, 1, 16, "'color'"},
      {"(name='' big=RED)", CLPERR_KIND, 1, 14, "'big'"},
      {"(name='' flag=1)", CLPERR_KIND, 1, 14, "switch"},
      {"(name='' sub=1)", CLPERR_KIND, 1, 13, "'sub'"},
      {"(name='' pick(depth=1))", CLPERR_KIND, 1, 14, "'pick'"},
      {"(name='' words['a' 1])", CLPERR_KIND, 1, 20, "'words'"},
      {"(name='' color=BLUE)", CLPERR_RANGE, 1, 16, "'BLUE'"},
      {"(name='' sub(depth=6))", CLPERR_RANGE, 1, 20, "(-5..5)"},
      {"(name='' nums[1 2 3 4])", CLPERR_RANGE, 1, 21, "'nums'"},
      {"(name='' nums[10])", CLPERR_RANGE, 1, 15, "'10'"},
      {"(name='' name='')", CLPERR_DUPLICATE, 1, 10, "'name'"},
      {"(name='' tag='' tag='' tag='' tag='')", CLPERR_DUPLICATE, 1, 31, "'tag'"},
      {"(flag)", CLPERR_MISSING, 1, 6, "'name'"},
      {"(name='' sub())", CLPERR_MISSING, 1, 14, "'depth'"},
      {"(name='abc)", CLPERR_LEXICAL, 1, 7, "unterminated"},
      {"(name='' big=12ab)", CLPERR_LEXICAL, 1, 14, "'12ab'"},
      {"(name='' big=-)", CLPERR_LEXICAL, 1, 14, "'-'"},
      {"(name='' #)", CLPERR_LEXICAL, 1, 10, "'#'"},
      {"(name='' \xc3\xa9)", CLPERR_LEXICAL, 1, 10, "0xC3"},
      {"(name='' \"x\")", CLPERR_LEXICAL, 1, 10, "'\"'"},
      {"(name='' big)", CLPERR_SYNTAX, 1, 13, "expected '='"},
      {"(name='' big=)", CLPERR_SYNTAX, 1, 14, "'big'"},
      {"(name='' 'x')", CLPERR_SYNTAX, 1, 10, "keyword"},
      {"(name='' pick.(depth=1))", CLPERR_SYNTAX, 1, 15, "choice"},
      {"(name='' pick.two)", CLPERR_SYNTAX, 1, 18, "'('"},
      {"(name='') x", CLPERR_SYNTAX, 1, 11, "'x'"},
      {"name=''", CLPERR_SYNTAX, 1, 1, "'('"},
      {"", CLPERR_SYNTAX, 1, 1, "end of text"},
      // Rows count line feeds, also those inside texts; columns restart.
      {"(name='a\nb'\n  foo)", CLPERR_KEYWORD, 3, 3, "'foo'"},
      {"(name=''\r\n\tcolor=BLUE)", CLPERR_RANGE, 2, 8, "'BLUE'"},
  };
  for (const Rejected& c : cases) {
    Result r = parse(c.text);
    EXPECT_EQ(r.rc, c.code) << c.text << ": " << r.message;
    EXPECT_EQ(r.errors.row, c.row) << c.text;
    EXPECT_EQ(r.errors.column, c.column) << c.text;
    EXPECT_NE(r.message.find(c.inMessage), std::string::npos) << c.text << ": " << r.message;
    EXPECT_EQ(r.source, "CMD") << c.text;
    EXPECT_TRUE(r.tree.children.empty()) << c.text;
  }
}

TEST(ClpParse, OverlayCommandErrors) {
  Result r = parse("(depth=1)", kChoices, 1);
  EXPECT_EQ(r.rc, CLPERR_SYNTAX);
  EXPECT_NE(r.message.find("one, two"), std::string::npos) << r.message;
  r = parse(".three()", kChoices, 1);
  EXPECT_EQ(r.rc, CLPERR_KEYWORD);
  EXPECT_EQ(r.errors.column, 2);
  EXPECT_EQ(r.message, "unknown choice 'three' of 'CMD' (allowed: one, two)");
}

TEST(ClpParse, UnknownKeywordMessageListsTheAllowedOnes) {
  Result r = parse("(do(foo))", kCommand);
  EXPECT_EQ(r.rc, CLPERR_KEYWORD);
  EXPECT_EQ(r.message,
            "unknown keyword 'foo' in 'do' (allowed: name, flag, big, color, tag, sub, pick, "
            "layers, nums, words, hues)");
}

TEST(ClpParse, SourceNameIsReported) {
  Result r = parse("(x)", kArgs, 0, "rule 7");
  EXPECT_EQ(r.rc, CLPERR_KEYWORD);
  EXPECT_EQ(r.source, "rule 7");
}

TEST(ClpParse, NestingIsLimited) {
  auto nested = [](int levels) {
    return std::string("(") + [&] {
      std::string s;
      for (int i = 0; i < levels; ++i) s += "n(";
      return s + std::string(static_cast<size_t>(levels), ')');
    }() + ")";
  };
  std::string ok = nested(63);
  Result r = parse(ok.c_str(), kNest);
  EXPECT_EQ(r.rc, 1) << r.message;
  std::string deep = nested(64);
  r = parse(deep.c_str(), kNest);
  EXPECT_EQ(r.rc, CLPERR_SYNTAX);
  EXPECT_NE(r.message.find("nesting"), std::string::npos);
  std::string huge = nested(200000);
  r = parse(huge.c_str(), kNest);
  EXPECT_EQ(r.rc, CLPERR_SYNTAX);
}

TEST(ClpParse, HandleIsReusableAndAreaFollowsTheLastParse) {
  ClpNode area;
  ParserErrorRefs errors;
  ClpHandle* h = pvClpOpen(nullptr, nullptr, nullptr, "CMD", nullptr, nullptr, 0, kArgs, &area,
                           &errors, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(siClpParseCmd(h, nullptr, "(name='a')"), 1);
  EXPECT_EQ(area.find("name")->text, "a");
  EXPECT_EQ(siClpParseCmd(h, nullptr, "(name='a' bad)"), CLPERR_KEYWORD);
  EXPECT_TRUE(area.children.empty());
  EXPECT_EQ(siClpParseCmd(h, nullptr, nullptr), CLPERR_INTERFACE);
  EXPECT_EQ(siClpParseCmd(h, nullptr, "(name='b' flag)"), 2);
  EXPECT_EQ(area.find("name")->text, "b");
  vdClpClose(h, 1);
  vdClpClose(nullptr, 1);
  EXPECT_EQ(siClpParseCmd(nullptr, nullptr, "(name='')"), CLPERR_INTERFACE);
}

TEST(ClpOpen, RefusesUnsoundTables) {
  const ClpArg noConstants[] = {{.keyword = "c", .kind = CLP_CONSTANT}, {}};
  const ClpArg badRange[] = {{.keyword = "n", .kind = CLP_NUMBER, .minValue = 2, .maxValue = 1},
                             {}};
  const ClpArg overlayWithoutChoices[] = {{.keyword = "o", .kind = CLP_OVERLAY}, {}};
  const ClpArg choiceNotObject[] = {{.keyword = "x", .kind = CLP_TEXT}, {}};
  const ClpArg neverAllowed[] = {{.keyword = "x", .kind = CLP_TEXT, .maxOcc = 0}, {}};
  ClpNode area;
  ParserErrorRefs errors;
  auto open = [&](const ClpArg* table, int overlay) {
    ClpHandle* h =
        pvClpOpen("", "", "", "CMD", "", "", overlay, table, &area, &errors, nullptr, nullptr);
    vdClpClose(h, 1);
    return h != nullptr;
  };
  EXPECT_FALSE(open(noConstants, 0));
  EXPECT_FALSE(open(badRange, 0));
  EXPECT_FALSE(open(overlayWithoutChoices, 0));
  EXPECT_FALSE(open(choiceNotObject, 1));
  EXPECT_FALSE(open(neverAllowed, 0));
  EXPECT_FALSE(open(nullptr, 0));
  EXPECT_TRUE(open(kArgs, 0));
  EXPECT_TRUE(open(kNest, 0));
  EXPECT_TRUE(open(kChoices, 1));
  EXPECT_EQ(pvClpOpen("", "", "", "CMD", "", "", 0, kArgs, nullptr, &errors, nullptr, nullptr),
            nullptr);
}

TEST(ClpError, EveryCodeHasItsOwnText) {
  const int codes[] = {CLPERR_LEXICAL, CLPERR_UNBALANCED, CLPERR_KEYWORD, CLPERR_KIND,
                       CLPERR_RANGE,   CLPERR_DUPLICATE,  CLPERR_MISSING, CLPERR_SYNTAX,
                       CLPERR_MEMORY,  CLPERR_INTERFACE};
  std::set<std::string> texts;
  for (int code : codes) texts.insert(pcClpError(code));
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(texts.count(pcClpError(-99)), 0u);
  EXPECT_EQ(texts.count(pcClpError(0)), 0u);
}

}  // namespace
