// The syntax check of file and format strings, with the real parser and the
// real argument tables.
#include "parseCommand.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "xiobyt/tables.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct Result {
  int rc;
  std::string err;
};

Result check(const std::string& fileString, const std::string& formatString) {
  ConfigEntry entry;
  initConfEntry(entry);
  entry.fileString = fileString;
  entry.formatString = formatString;
  CaptureStderr();
  const int rc = checkSyntax(entry);
  return {rc, GetCapturedStderr()};
}

// The report of a one-line text: everything but the parser's own wording of
// the message is fixed here.
std::string oneLineReport(const std::string& command, const std::string& text,
                          const std::string& upToError, int code) {
  return "CTX-MESSAGE : Parsing of '" + command + "' string failed\n" + "CLP-STRING  : " + text +
         "\n" + "CLP-PARSER  : " + upToError + "\n" + "CLP-ERROR   : " + std::to_string(code) +
         " - " + pcClpError(code) + "\n" + "CLP-MESSAGE : ";
}

std::string sourceLine(const std::string& command) { return "CLP-SOURCE  : " + command + "\n"; }

}  // namespace

TEST(CheckSyntax, AcceptsTheStringsOfEveryDirection) {
  const std::pair<const char*, const char*> accepted[] = {
      {"read.bin(file='')", "format.bin()"},
      {"write.text(file='' ccsid='IBM-1047' method=NL)", "format.text(ccsid='UTF-8')"},
      {"write.bin(file='' comp.gzip(level=9))", "format.bin()"},
      {"read.auto(file='')", "format.bin()"},
      {"write.rec(file='' recf=FIX recl=80 ccsid='IBM-1047')", "format.text()"},
      {"output(file='' cnv[age(identity='k') gzip()] fmt.text(ccsid='IBM-1047'))", "format.bin()"},
      {"input(file='' cnv[gzip()] fmt.bin())", "format.text(ccsid='UTF-8' method=LF bom)"},
      {"write.bin(file='' comp.zstd(level=19) encr.age(passphrase='x') enc.base64())",
       "format.bin()"},
      // Only the first letter of the verb and of nothing else counts.
      {"Read.Text(FILE='' CCSID='IBM-1047')", "FORMAT.BIN()"},
      {"RX.bin(file='')", "any.bin()"},
      {"Output(file='')", "fmt.text(ccsid='IBM-037')"},
      {"write.text(\nfile=''\nmethod=CRLF)", "format.text(\nbom)"},
  };
  for (const auto& [file, format] : accepted) {
    const Result r = check(file, format);
    EXPECT_EQ(r.rc, 0) << file << " / " << format << "\n" << r.err;
    EXPECT_EQ(r.err, "") << file;
  }
}

TEST(CheckSyntax, OwnChecksComeFirstAndInOrder) {
  const char* const startMessage = "\nMust be read or write or input or output\n";
  const struct {
    const char* file;
    const char* format;
    std::string err;
  } rejected[] = {
      // The format string is looked at before anything in the file string.
      {"nonsense", "", "illegal format string\n"},
      {"read.bin(file='')", "format", "illegal format string\n"},
      {"nonsense", "format.bin()",
       std::string("invalid start of file string: nonsense") + startMessage},
      {"", "format.bin()", std::string("invalid start of file string: ") + startMessage},
      {"input file=''", "format.bin()", "illegal file string\n"},
      {"Output", "format.bin()", "illegal file string\n"},
      {"read(file='')", "format.bin()", "illegal file string\n"},
      // Without the empty name the daemon could not insert the physical name,
      // whatever the rest of the syntax.
      {"read.bin(file='x')", "format.bin()",
       "file string does NOT contain an empty file name specification.\n"},
      {"write.bin()", "format.bogus()",
       "file string does NOT contain an empty file name specification.\n"},
  };
  for (const auto& c : rejected) {
    const Result r = check(c.file, c.format);
    EXPECT_EQ(r.rc, -1) << c.file;
    EXPECT_EQ(r.err, c.err) << c.file << " / " << c.format;
  }
}

TEST(CheckSyntax, ReportsTheFirstFailingStringOfEachDirection) {
  // Both strings are wrong: reading reports the file string, writing the
  // format string.
  const std::string badFormat = "format.bad()";
  const struct {
    std::string file;
    std::string command;
    std::string text;
    std::string upToError;
    int code;
  } cases[] = {
      {"read.bin(file='' bogus)", "READ", ".bin(file='' bogus)", ".bin(file='' b", CLPERR_KEYWORD},
      {"input(file='' bogus)", "INPUT", "(file='' bogus)", "(file='' b", CLPERR_KEYWORD},
      {"write.bin(file='' bogus)", "FORMAT", ".bad()", ".b", CLPERR_KEYWORD},
      {"output(file='' bogus)", "FORMAT", ".bad()", ".b", CLPERR_KEYWORD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Result r = check(c.file, badFormat);
    EXPECT_EQ(r.rc, PARSE_SYNTAX_ERROR);
    const std::string head = oneLineReport(c.command, c.text, c.upToError, c.code);
    EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
    EXPECT_NE(r.err.find(sourceLine(c.command)), std::string::npos) << r.err;
    // Exactly one report.
    EXPECT_EQ(r.err.find("CTX-MESSAGE", 1), std::string::npos) << r.err;
  }
  // With a good format string the write direction gets to its file string.
  const Result r = check("write.bin(file='' bogus)", "format.bin()");
  EXPECT_EQ(r.rc, PARSE_SYNTAX_ERROR);
  EXPECT_EQ(r.err.rfind(
                oneLineReport("WRITE", ".bin(file='' bogus)", ".bin(file='' b", CLPERR_KEYWORD), 0),
            0u)
      << r.err;
}

TEST(CheckSyntax, OneLineAndMultiLineReportForms) {
  const struct {
    const char* file;
    const char* format;
    std::string expected;  // a regular expression over the whole report
  } cases[] = {
      {"write.text(file='' ccsid=IBM-1047)", "format.bin()",
       "CTX-MESSAGE : Parsing of 'WRITE' string failed\n"
       "CLP-STRING  : \\.text\\(file='' ccsid=IBM-1047\\)\n"
       "CLP-PARSER  : \\.text\\(file='' ccsid=I\n"
       "CLP-ERROR   : -4 - value of the wrong kind\n"
       "CLP-MESSAGE : [^\n]*ccsid[^\n]*\n"
       "CLP-SOURCE  : WRITE\n"},
      {"write.bin(file='' comp.gzip(level=10))", "format.bin()",
       "CTX-MESSAGE : Parsing of 'WRITE' string failed\n"
       "CLP-STRING  : [^\n]*\n"
       "CLP-PARSER  : \\.bin\\(file='' comp\\.gzip\\(level=1\n"
       "CLP-ERROR   : -5 - value out of range or not allowed\n"
       "CLP-MESSAGE : [^\n]+\n"
       "CLP-SOURCE  : WRITE\n"},
      {"read.rec(file='' ccsid='IBM-1047')", "format.bin()",
       "CTX-MESSAGE : Parsing of 'READ' string failed\n"
       "CLP-STRING  : \\.rec\\(file='' ccsid='IBM-1047'\\)\n"
       "CLP-PARSER  : [^\n]*\n"
       "CLP-ERROR   : -7 - required argument missing\n"
       "CLP-MESSAGE : [^\n]*recl[^\n]*\n"
       "CLP-SOURCE  : READ\n"},
      {"read.bin(file='')", "format.text(ccsid='UTF-8'\nmethod=XX)",
       "CTX-MESSAGE : Parsing of 'FORMAT' string failed\n"
       "CLP-STRING  : \n"
       "\\.text\\(ccsid='UTF-8'\nmethod=XX\\)\n"
       "CLP-LOCATION: ROW: 2 COL: 8\n"
       "CLP-ERROR   : -5 - value out of range or not allowed\n"
       "CLP-MESSAGE : [^\n]*XX[^\n]*\n"
       "CLP-SOURCE  : FORMAT\n"},
      {"input(\nfile=''\n  bogus)", "format.bin()",
       "CTX-MESSAGE : Parsing of 'INPUT' string failed\n"
       "CLP-STRING  : \n"
       "\\(\nfile=''\n  bogus\\)\n"
       "CLP-LOCATION: ROW: 3 COL: 3\n"
       "CLP-ERROR   : -3 - unknown keyword\n"
       "CLP-MESSAGE : [^\n]*bogus[^\n]*\n"
       "CLP-SOURCE  : INPUT\n"},
  };
  for (const auto& c : cases) {
    const Result r = check(c.file, c.format);
    EXPECT_EQ(r.rc, PARSE_SYNTAX_ERROR) << c.file;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(c.expected))) << c.file << "\n" << r.err;
  }
}

TEST(SiParseString, FillsTheWorkAreaOrReportsAnUnopenableParser) {
  ClpNode area;
  CaptureStderr();
  EXPECT_EQ(siParseString(1, "FORMAT", MAN_XIOBYT_WRITE_FORMAT, "help",
                          ".text(ccsid='IBM-1047' method=NL)", asClpRedFmtPar, &area),
            0);
  EXPECT_EQ(siParseString(1, "READ", MAN_XIOBYT_READ_FILE, "help", ".bin(file='')", nullptr, &area),
            PARSE_OPEN_FAILED);
  EXPECT_EQ(GetCapturedStderr(), "Open of parser for 'READ' string failed\n");
  EXPECT_EQ(area.choice, "text");
  const ClpNode* method = area.find("method");
  ASSERT_NE(method, nullptr);
  EXPECT_EQ(method->text, "NL");
}
