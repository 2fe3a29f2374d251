// The library finds the verb and the start of each string exactly as the
// syntax check of vaskFSconf does: a rule that passes the check opens once
// the daemon has put a name between its empty quotes, and one that fails
// the check never opens.
#include <cerrno>

#include "parseCommand.h"
#include "xio_test.h"

using namespace xiotest;

namespace {

struct Rule {
  const char* fileString;
  const char* format;
  bool passes;
};

const Rule kRules[] = {
    {"read.bin(file='')", "format.bin()", true},
    {"READ.bin(file='')", "format.bin()", true},
    {"rubbish.bin(file='')", "format.bin()", true},  // only the first character counts
    {"input.any(file='')", "format.bin()", true},    // the text starts at the first "("
    {"read.bin(file='')", " format.bin()", true},
    {"read.bin(file='')", "x.bin()", true},  // the format starts at its first "."
    {"Output(file='' cnv[gzip()])", "format.bin()", true},
    {"write.text(file='' ccsid='IBM-1047')", "format.text()", true},
    {" read.bin(file='')", "format.bin()", false},
    {"\tread.bin(file='')", "format.bin()", false},
    {" write.bin(file='')", "format.bin()", false},
    {"xwrite.bin(file='')", "format.bin()", false},
    {"write(file='')", "format.bin()", false},
    {"input.bin", "format.bin()", false},
    {"read.bin(file='') junk", "format.bin()", false},
    {"read.bin(file='')", "bin()", false},
    {"read.bin(file='')", "   ", false},
    {"write.bin(file='')", "format.text(bom=1)", false},
};

// What the daemon does with a rule: the physical name between the quotes.
std::string withName(const std::string& fileString, const std::string& name) {
  size_t at = fileString.find("=''");
  return fileString.substr(0, at + 1) + quote(name) + fileString.substr(at + 3);
}

TEST(SyntaxCheck, AStringOpensExactlyWhenItPassesTheCheck) {
  TempDir dir;
  std::string physical = dir / "p";
  writeFile(physical, "data");
  for (const Rule& r : kRules) {
    SCOPED_TRACE(std::string("'") + r.fileString + "' '" + r.format + "'");
    ConfigEntry entry;
    entry.fileString = r.fileString;
    entry.formatString = r.format;
    EXPECT_EQ(checkSyntax(entry) == 0, r.passes);

    char verb = static_cast<char>(tolower(static_cast<unsigned char>(r.fileString[0])));
    bool write = verb == 'w' || verb == 'o';
    std::string state = "state(file='logical')";
    std::string fileString = withName(r.fileString, physical);
    char trace[XIO_TRACE_SIZE] = "";
    XioHandle* h = xiopopen(trace, fileString.c_str(), r.format, write ? &state : nullptr, 0);
    EXPECT_EQ(h != nullptr, r.passes) << trace;
    if (h != nullptr) {
      EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0) << trace;
    } else {
      EXPECT_EQ(errno, EINVAL);
    }
  }
}

}  // namespace
