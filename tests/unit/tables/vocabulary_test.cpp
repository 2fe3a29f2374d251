// The vocabulary of file, format and state strings: what the tables accept,
// what they refuse, and the trees the conversion library reads.
#include <gtest/gtest.h>

#include "parse_helper.h"

namespace {

const ClpNode& child(const ClpNode& node, const char* key) {
  static const ClpNode none;
  const ClpNode* c = node.find(key);
  EXPECT_NE(c, nullptr) << key;
  return c != nullptr ? *c : none;
}

TEST(Vocabulary, AcceptsEveryDocumentedExample) {
  const char* examples[] = {
      "read.bin(file='')",
      "write.text(file='' ccsid='IBM-1047' method=NL)",
      "write.bin(file='' comp.gzip(level=9))",
      "read.auto(file='')",
      "write.rec(file='' recf=FIX recl=80 ccsid='IBM-1047')",
      "output(file='' cnv[age(identity='k') gzip()] fmt.text(ccsid='IBM-1047'))",
      "input(file='' cnv[gzip()] fmt.bin())",
      "input(file='' cnv[age(identity='k') gzip()] fmt.text(ccsid='IBM-1047'))",
      "format.bin()",
      "format.text(ccsid='UTF-8' method=LF bom)",
      "write.bin(file='' comp.zstd(level=19) encr.age(passphrase='x') enc.base64())",
      "write.bin(file='' encr.age(passphrase='x' logn=22))",
      "input(file='' cnv[age(passphrase='x' logn=1)] fmt.bin())",
      "state(file='a/b.txt' comment='vaskFS version 0.1.0-1')",
      "read.text(file='' ccsid='IBM-1047' method=NL)",
      "write.bin(file='' comp.xz(level=9) encr.age(identity='/k') enc.hex())",
      "read.rec(file='' recf=VAR recl=32760 ccsid='IBM-1047' pad=' ')",
      "write.bin(file='' comp.bzip2(level=1))",
      "input(file='' fmt.auto())",
      "output(file='' cnv[base64() hex() xz() zstd() bzip2() age(passphrase='p' logn=10)] "
      "fmt.rec(recf=VAR recl=100))",
      "output(file='')",
  };
  for (const char* text : examples) {
    for (bool read : {true, false}) {
      Parsed p = parseString(text, read);
      EXPECT_GE(p.rc, 0) << text << ": " << p.message;
    }
  }
}

TEST(Vocabulary, TreesOfOverlayCommands) {
  Parsed p = parseString(
      "write.bin(file='' comp.zstd(level=19) encr.age(passphrase='it''s') enc.base64())");
  ASSERT_EQ(p.rc, 4) << p.message;
  EXPECT_EQ(p.tree.kind, CLP_OVERLAY);
  EXPECT_EQ(p.tree.keyword, "WRITE");
  EXPECT_EQ(p.tree.choice, "bin");
  EXPECT_EQ(child(p.tree, "file").text, "");
  const ClpNode& comp = child(p.tree, "comp");
  EXPECT_EQ(comp.kind, CLP_OVERLAY);
  EXPECT_EQ(comp.choice, "zstd");
  EXPECT_EQ(child(comp, "level").number, 19);
  EXPECT_EQ(child(child(p.tree, "encr"), "passphrase").text, "it's");
  EXPECT_EQ(child(p.tree, "enc").choice, "base64");
  EXPECT_TRUE(child(p.tree, "enc").children.empty());

  p = parseString("Read.TEXT(FILE='x' Method=crlf BOM CCSID='ibm-1047')");
  ASSERT_EQ(p.rc, 4) << p.message;
  EXPECT_EQ(p.tree.choice, "text");
  EXPECT_EQ(child(p.tree, "method").text, "CRLF");
  EXPECT_EQ(child(p.tree, "bom").number, 1);
  EXPECT_EQ(child(p.tree, "ccsid").text, "ibm-1047");  // texts keep their case

  p = parseString("write.rec(file='' recf=var recl=65531 pad='x')");
  ASSERT_EQ(p.rc, 4) << p.message;
  EXPECT_EQ(child(p.tree, "recf").text, "VAR");
  EXPECT_EQ(child(p.tree, "recl").number, 65531);
  EXPECT_EQ(child(p.tree, "pad").text, "x");
}

TEST(Vocabulary, TreesOfObjectCommands) {
  Parsed p = parseString(
      "output(file='' cnv[age(identity='k') gzip(level=1)] fmt.text(ccsid='IBM-1047'))");
  ASSERT_EQ(p.rc, 3) << p.message;
  EXPECT_EQ(p.tree.kind, CLP_OBJECT);
  EXPECT_EQ(p.tree.keyword, "OUTPUT");
  const ClpNode& cnv = child(p.tree, "cnv");
  EXPECT_EQ(cnv.kind, CLP_ARRAY);
  ASSERT_EQ(cnv.children.size(), 2u);
  EXPECT_EQ(cnv.children[0].kind, CLP_OVERLAY);
  EXPECT_EQ(cnv.children[0].keyword, "age");
  EXPECT_EQ(cnv.children[0].choice, "age");
  EXPECT_EQ(child(cnv.children[0], "identity").text, "k");
  EXPECT_EQ(cnv.children[1].choice, "gzip");
  EXPECT_EQ(child(cnv.children[1], "level").number, 1);
  EXPECT_EQ(child(p.tree, "fmt").choice, "text");
  EXPECT_EQ(child(child(p.tree, "fmt"), "ccsid").text, "IBM-1047");

  p = parseString("state(file='a/it''s.txt' comment='vaskFS version 0.1.0-1')");
  ASSERT_EQ(p.rc, 2) << p.message;
  EXPECT_EQ(child(p.tree, "file").text, "a/it's.txt");
  EXPECT_EQ(child(p.tree, "comment").text, "vaskFS version 0.1.0-1");

  p = parseString("format.text(ccsid='UTF-8' method=LF bom)", false);
  ASSERT_EQ(p.rc, 3) << p.message;
  EXPECT_EQ(p.tree.choice, "text");
}

// Every choice of READ and WRITE takes the common arguments; no choice of
// fmt or FORMAT does.
TEST(Vocabulary, CommonArgumentsBelongToFileChoicesOnly) {
  const char* commons[] = {"comp.gzip()",         "comp.zstd(level=1)",     "comp.xz(level=0)",
                           "comp.bzip2(level=9)", "encr.age(identity='k')", "enc.hex()"};
  const char* fileChoices[] = {"read.bin", "read.text", "read.auto", "write.bin", "write.text"};
  for (const char* choice : fileChoices) {
    for (const char* common : commons) {
      std::string text = std::string(choice) + "(file='' " + common + ")";
      EXPECT_GE(parseString(text).rc, 0) << text;
    }
  }
  const char* fmtChoices[] = {"input(file='' fmt.bin(", "input(file='' fmt.text(",
                              "output(file='' fmt.rec(recl=1 ", "format.bin(", "format.text("};
  for (const char* choice : fmtChoices) {
    for (const char* common : {"file=''", "comp.gzip()", "encr.age()", "enc.hex()"}) {
      std::string text = std::string(choice) + common + "))";
      if (text[0] == 'f') text.pop_back();
      EXPECT_EQ(parseString(text).rc, CLPERR_KEYWORD) << text;
    }
  }
}

struct Refused {
  const char* text;
  int code;
  int row, column;  // in the whole string
};

TEST(Vocabulary, RefusesWhatItDoesNotDescribe) {
  const Refused cases[] = {
      {"read.bin(file=''", CLPERR_UNBALANCED, 1, 9},
      {"input(file='' cnv[gzip()", CLPERR_UNBALANCED, 1, 18},
      {"write.bin(file='' comp.gzip(level=9)))", CLPERR_UNBALANCED, 1, 38},
      {"read.foo(file='')", CLPERR_KEYWORD, 1, 6},
      {"read.bin(file='' foo)", CLPERR_KEYWORD, 1, 18},
      {"read.bin(file='' ccsid='x')", CLPERR_KEYWORD, 1, 18},
      {"write.auto(file='')", CLPERR_KEYWORD, 1, 7},
      {"output(file='' fmt.auto())", CLPERR_KEYWORD, 1, 20},
      {"format.rec(recl=80)", CLPERR_KEYWORD, 1, 8},
      {"format.auto()", CLPERR_KEYWORD, 1, 8},
      {"write.bin(file='' comp.age())", CLPERR_KEYWORD, 1, 24},
      {"write.bin(file='' enc.gzip())", CLPERR_KEYWORD, 1, 23},
      {"write.bin(file='' encr.age(key='k'))", CLPERR_KEYWORD, 1, 28},
      {"write.bin(file='' enc.base64(x=1))", CLPERR_KEYWORD, 1, 30},
      {"write.bin(file='' encr.aes(keyfile='k'))", CLPERR_KEYWORD, 1, 24},
      {"input(file='' cnv[aes(passphrase='p')])", CLPERR_KEYWORD, 1, 19},
      {"write.bin(file='' encr.age(passphrase='p' logn=0))", CLPERR_RANGE, 1, 48},
      {"write.bin(file='' encr.age(passphrase='p' logn=23))", CLPERR_RANGE, 1, 48},
      {"input(file='' cnv[lzip()])", CLPERR_KEYWORD, 1, 19},
      {"state(file='' owner='x')", CLPERR_KEYWORD, 1, 15},
      {"write.bin(file='' comp.gzip(level='x'))", CLPERR_KIND, 1, 35},
      {"read.bin(file=x)", CLPERR_KIND, 1, 15},
      {"format.text(ccsid=UTF8)", CLPERR_KIND, 1, 19},
      {"format.text(method='LF')", CLPERR_KIND, 1, 20},
      {"format.text(bom=1)", CLPERR_KIND, 1, 16},
      {"write.bin(file='' comp=gzip)", CLPERR_KIND, 1, 23},
      {"write.bin(file='' comp.gzip(level=99))", CLPERR_RANGE, 1, 35},
      {"write.bin(file='' comp.gzip(level=10))", CLPERR_RANGE, 1, 35},
      {"write.bin(file='' comp.gzip(level=0))", CLPERR_RANGE, 1, 35},
      {"write.bin(file='' comp.zstd(level=0))", CLPERR_RANGE, 1, 35},
      {"write.bin(file='' comp.zstd(level=23))", CLPERR_RANGE, 1, 35},
      {"write.bin(file='' comp.xz(level=-1))", CLPERR_RANGE, 1, 33},
      {"write.bin(file='' comp.bzip2(level=0))", CLPERR_RANGE, 1, 36},
      {"write.rec(file='' recl=0)", CLPERR_RANGE, 1, 24},
      {"write.rec(file='' recl=65532)", CLPERR_RANGE, 1, 24},
      {"write.rec(file='' recl=1 recf=VB)", CLPERR_RANGE, 1, 31},
      {"write.text(file='' method=LFCR)", CLPERR_RANGE, 1, 27},
      {"read.bin(file='abc)", CLPERR_LEXICAL, 1, 15},
      {"read.bin(file='' file='')", CLPERR_DUPLICATE, 1, 18},
      {"write.text(file='' bom bom)", CLPERR_DUPLICATE, 1, 24},
      {"write.bin(file='' comp.gzip() comp.xz())", CLPERR_DUPLICATE, 1, 31},
      {"input(file='' fmt.bin() fmt.text())", CLPERR_DUPLICATE, 1, 25},
      {"read.bin()", CLPERR_MISSING, 1, 10},
      {"read.text(comp.gzip() ccsid='x')", CLPERR_MISSING, 1, 32},
      {"write.rec(file='' recf=VAR)", CLPERR_MISSING, 1, 27},
      {"input(fmt.rec(recl=1))", CLPERR_MISSING, 1, 22},
      {"output(file='' fmt.rec())", CLPERR_MISSING, 1, 24},
      {"state(comment='x')", CLPERR_MISSING, 1, 18},
      {"read.bin(file='') comp.gzip()", CLPERR_SYNTAX, 1, 19},
      {"read.(file='')", CLPERR_SYNTAX, 1, 6},  // overlay without choice
      // Line feeds start new rows; the column restarts on each.
      {"write.text(file=''\n ccsid='UTF-8' methd=LF)", CLPERR_KEYWORD, 2, 16},
      {"output(file=''\ncnv[gzip()\n  xz(level=11)])", CLPERR_RANGE, 3, 12},
      {"read.text(file='a\nb' method=XX)", CLPERR_RANGE, 2, 11},
  };
  for (const Refused& c : cases) {
    Parsed p = parseString(c.text);
    EXPECT_EQ(p.rc, c.code) << c.text << ": " << p.message;
    // Positions come relative to the parsed text; on its first row that
    // text starts `offset` columns into the whole string.
    int column = p.errors.row == 1 ? p.errors.column + static_cast<int>(p.offset) : p.errors.column;
    EXPECT_EQ(p.errors.row, c.row) << c.text;
    EXPECT_EQ(column, c.column) << c.text << ": " << p.message;
    EXPECT_FALSE(p.message.empty()) << c.text;
  }
}

TEST(Vocabulary, MessagesNameTheKeywordAndWhatWasExpected) {
  Parsed p = parseString("read.text(file='' foo=1)");
  EXPECT_EQ(p.message,
            "unknown keyword 'foo' in 'text' (allowed: file, comp, encr, enc, ccsid, method, bom)");
  p = parseString("write.bin(file='' comp.gzip(level=99))");
  EXPECT_EQ(p.message, "number '99' of 'level' is out of range (1..9)");
  p = parseString("write.rec(file='' recf=FIX)");
  EXPECT_EQ(p.message, "required argument 'recl' missing in 'rec' (written recl=number)");
  EXPECT_EQ(p.source, "WRITE");
  p = parseString("write.text(file='' method=ANY)");
  EXPECT_EQ(p.message, "constant 'ANY' not allowed for 'method' (allowed: LF, CRLF, CR, NL)");
}

}  // namespace
