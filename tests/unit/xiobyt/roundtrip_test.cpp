// Every supported combination of file string and format, written in random
// chunks and read back through the inverse command and format that close
// returned; then the inverse of the read (a write command) must itself open
// and reproduce the same data.
#include "xio_test.h"

using namespace xiotest;

namespace {

enum class Expect { SAME, BOM_FIRST, FIX_LINES, VAR_LINES, FIX_STAR_LINES };

struct Combo {
  const char* name;
  const char* fileString;  // file='' takes the state text's name
  const char* format;
  bool textOnly;   // the payload must be text of the format's character set
  size_t maxLine;  // longest line the combination holds (records)
  Expect expect;
};

const Combo kCombos[] = {
    {"bin", "write.bin(file='')", "", false, SIZE_MAX, Expect::SAME},
    {"bin_gzip", "write.bin(file='' comp.gzip(level=6))", "format.bin()", false, SIZE_MAX,
     Expect::SAME},
    {"output_gzip1", "output(file='' cnv[gzip(level=1)])", "", false, SIZE_MAX, Expect::SAME},
    {"output_gzip_twice", "output(file='' cnv[gzip() gzip(level=9)] fmt.bin())", "", false,
     SIZE_MAX, Expect::SAME},
    {"text_as_bytes", "write.text(file='' ccsid='IBM-1047' method=NL)", "format.bin()", false,
     SIZE_MAX, Expect::SAME},
    {"text_bom_as_bytes", "write.text(file='' bom)", "", false, SIZE_MAX, Expect::SAME},
    {"text_ebcdic_nl", "write.text(file='' ccsid='IBM-1047' method=NL)",
     "format.text(ccsid='UTF-8' method=LF)", true, SIZE_MAX, Expect::SAME},
    {"text_latin1_crlf_gzip", "write.text(file='' ccsid='ISO-8859-1' method=CRLF comp.gzip())",
     "format.text()", true, SIZE_MAX, Expect::SAME},
    {"text_utf16_bom", "write.text(file='' ccsid='UTF-16LE' method=CRLF bom)",
     "format.text(ccsid='UTF-8' method=LF)", true, SIZE_MAX, Expect::SAME},
    {"text_cr_same_set", "write.text(file='' method=CR)", "format.text(method=LF)", true, SIZE_MAX,
     Expect::SAME},
    {"text_format_bom", "write.text(file='' ccsid='IBM-1047')", "format.text(ccsid='UTF-8' bom)",
     true, SIZE_MAX, Expect::BOM_FIRST},
    {"output_text_gzip", "output(file='' cnv[gzip()] fmt.text(ccsid='IBM-1047' method=NL))",
     "format.text(ccsid='UTF-8')", true, SIZE_MAX, Expect::SAME},
    {"rec_fix80_ebcdic", "write.rec(file='' recf=FIX recl=80 ccsid='IBM-1047')",
     "format.text(ccsid='UTF-8' method=LF)", true, 80, Expect::FIX_LINES},
    {"rec_var_gzip", "write.rec(file='' recf=VAR recl=300 comp.gzip(level=9))", "format.text()",
     true, 300, Expect::VAR_LINES},
    {"rec_fix_pad", "write.rec(file='' recl=40 pad='*')", "format.text()", true, 40,
     Expect::FIX_STAR_LINES},
    {"output_rec", "output(file='' fmt.rec(recf=VAR recl=65531 ccsid='ISO-8859-1'))",
     "format.text(method=LF)", true, 65531, Expect::VAR_LINES},
};

struct Payload {
  const char* name;
  std::string data;
  bool text;
  size_t longestLine;
};

size_t longestLine(const std::string& s) {
  size_t best = 0, run = 0;
  for (char c : s) run = c == '\n' ? (best = std::max(best, run), 0) : run + 1;
  return std::max(best, run);
}

std::vector<Payload> payloads() {
  std::mt19937 rng(7);
  std::vector<Payload> p;
  p.push_back({"empty", "", true, 0});
  p.push_back({"one_byte", "a", true, 1});
  std::string big;
  while (big.size() < (1u << 20) + 1)
    big += "The quick brown fox, line " + std::to_string(big.size()) + "\n";
  big.resize((1u << 20) + 1);
  p.push_back({"one_mib_plus_one", big, true, 0});
  p.push_back({"no_final_line_end", sampleText(500, rng) + "last line without end", true, 0});
  p.push_back({"very_long_line", std::string(3 << 20, 'L') + "\nshort\n" + std::string(70000, 'M'),
               true, 0});
  p.push_back({"accented_lines", sampleText(20000, rng), true, 0});
  std::string all;
  for (int r = 0; r < 300; ++r)
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  p.push_back({"all_byte_values", all, false, 0});
  for (auto& x : p) x.longestLine = longestLine(x.data);
  return p;
}

// What reading records gives back: every line ends with a line end, FIX
// lines lose their trailing padding.
std::string expected(const std::string& data, Expect e) {
  if (e == Expect::SAME) return data;
  if (e == Expect::BOM_FIRST) return "\xEF\xBB\xBF" + data;  // writing skips it again
  if (data.empty()) return data;
  char pad = e == Expect::FIX_LINES ? ' ' : e == Expect::FIX_STAR_LINES ? '*' : '\0';
  std::string out, line;
  std::istringstream in(data);
  while (std::getline(in, line)) {
    if (pad) line.erase(line.find_last_not_of(pad) + 1);
    out += line + "\n";
  }
  return out;
}

class RoundTrip : public ::testing::TestWithParam<Combo> {};

TEST_P(RoundTrip, InverseCommandsReadBackAndRewrite) {
  const Combo& c = GetParam();
  TempDir dir;
  // The physical name comes from the state text and carries an apostrophe.
  std::string physical = dir / "it's data";
  std::string state = "state(file=" + quote(physical) + " comment='vaskFS version 0.1.0-1')";
  std::mt19937 rng(42);
  for (const Payload& p : payloads()) {
    if (c.textOnly && !p.text) continue;
    if (p.longestLine > c.maxLine) continue;
    SCOPED_TRACE(p.name);
    Written w;
    ASSERT_TRUE(writeAll(c.fileString, c.format, state, p.data, rng, w));
    EXPECT_NE(w.command.find(quote(physical)), std::string::npos) << w.command;
    ASSERT_EQ(w.states.members.size(), 1u);
    EXPECT_EQ(w.states.members[0].member, physical);
    EXPECT_EQ(w.states.members[0].bytesIn, p.data.size());
    vdOrgLstStaFree(&w.states);
    EXPECT_TRUE(w.states.members.empty());

    std::string back, rewrite, rewriteFormat;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back, &rewrite, &rewriteFormat)) << w.command;
    std::string want = expected(p.data, c.expect);
    ASSERT_EQ(back.size(), want.size()) << w.command;
    ASSERT_TRUE(back == want) << w.command;

    // The read handle's inverse writes the same file again; what the
    // application saw reads back unchanged.
    Written again;
    ASSERT_TRUE(writeAll(rewrite, rewriteFormat, state, want, rng, again)) << rewrite;
    ASSERT_TRUE(readAll(again.command, again.format, rng, back)) << again.command;
    ASSERT_TRUE(back == want) << again.command;
  }
}

INSTANTIATE_TEST_SUITE_P(Combinations, RoundTrip, ::testing::ValuesIn(kCombos),
                         [](const auto& info) { return std::string(info.param.name); });

// The converted size agrees with what reading delivers.
TEST(Size, MatchesTheDataRead) {
  TempDir dir;
  std::mt19937 rng(3);
  std::string text = sampleText(3000, rng, "\n", 4);
  std::string state = "state(file=" + quote(dir / "s") + ")";
  for (const Combo& c : kCombos) {
    SCOPED_TRACE(c.name);
    Written w;
    ASSERT_TRUE(writeAll(c.fileString, c.format, state, text, rng, w));
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, w.command.c_str(), w.format.c_str()),
              static_cast<int64_t>(expected(text, c.expect).size()))
        << trace;
  }
}

}  // namespace
