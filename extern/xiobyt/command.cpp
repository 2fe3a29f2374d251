// File strings, format strings and the state text, from text to FileSpec,
// FormatSpec and StateSpec through the same parser and tables as the syntax
// check, so that a string that passes the check is a string that opens.
#include <openssl/crypto.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "xiobyt/settings.h"
#include "xiobyt/tables.h"
#include "xiobyt/xiobyt.h"
#include "xiobyt/trace.h"

namespace xio {

namespace {

class ParserGuard {
 public:
  explicit ParserGuard(ClpHandle* h) : h_(h) {}
  ~ParserGuard() { vdClpClose(h_, 1); }
  ParserGuard(const ParserGuard&) = delete;
  ParserGuard& operator=(const ParserGuard&) = delete;
  ClpHandle* get() const { return h_; }

 private:
  ClpHandle* h_;
};

int parse(const ClpArg* table, bool overlay, const char* command, const char* what,
          const char* text, ClpNode& root, std::string& why) {
  ParserErrorRefs errors;
  // No parameter files: a command string never makes the library read a file.
  ParserGuard parser(pvClpOpen("vaskFS", "xiobyt", xiovsn(), command, "", "", overlay ? 1 : 0,
                               table, &root, &errors, nullptr, nullptr));
  if (parser.get() == nullptr) {
    why = std::string(what) + ": the parser cannot start";
    return EINVAL;
  }
  int rc = siClpParseCmd(parser.get(), what, text);
  if (rc >= 0) return 0;
  why = std::string(what) + " does not parse: " +
        (errors.message && *errors.message ? errors.message : pcClpError(rc)) + " (" +
        pcClpError(rc) + ") at row " + std::to_string(errors.row) + ", column " +
        std::to_string(errors.column);
  return rc == CLPERR_MEMORY ? ENOMEM : EINVAL;
}

Method methodOf(const std::string& name) {
  return name == "CRLF" ? Method::CRLF
         : name == "CR" ? Method::CR
         : name == "NL" ? Method::NL
                        : Method::LF;
}

Layer layerOf(const ClpNode& node) {
  Layer l;
  l.kind = node.choice.empty() ? node.keyword : node.choice;
  if (const ClpNode* n = node.find("level")) l.level = static_cast<int>(n->number);
  if (const ClpNode* n = node.find("threads")) l.threads = static_cast<int>(n->number);
  if (const ClpNode* n = node.find("identity")) l.identity = n->text, l.hasIdentity = true;
  if (const ClpNode* n = node.find("logn")) l.logn = static_cast<int>(n->number);
  if (const ClpNode* n = node.find("passphrase")) l.passphrase = n->text, l.hasPassphrase = true;
  return l;
}

// iconv takes "" for the locale's character set, which would make a file's
// bytes depend on the environment of whoever opens it.
int takeCcsid(const ClpNode& args, const char* what, std::string& ccsid, std::string& why) {
  const ClpNode* n = args.find("ccsid");
  if (!n) return 0;
  if (n->text.empty()) {
    why = std::string("ccsid='' in the ") + what +
          " names no character set; give one, such as ccsid='UTF-8'";
    return EINVAL;
  }
  ccsid = n->text;
  return 0;
}

// The arguments of a choice (bin, text, rec, auto) beyond file and layers.
int applyChoice(const std::string& choice, const ClpNode& args, FileSpec& out, std::string& why) {
  out.kind = choice == "text"   ? Kind::TEXT
             : choice == "rec"  ? Kind::REC
             : choice == "auto" ? Kind::AUTO
                                : Kind::BIN;
  if (const ClpNode* n = args.find("method")) out.method = methodOf(n->text);
  if (const ClpNode* n = args.find("bom")) out.bom = n->number != 0;
  if (const ClpNode* n = args.find("recf")) out.varRecords = n->text == "VAR";
  if (const ClpNode* n = args.find("recl")) out.recl = static_cast<int>(n->number);
  if (const ClpNode* n = args.find("pad")) out.pad = n->text;
  return takeCcsid(args, "file string", out.ccsid, why);
}

}  // namespace

// The verb is found exactly as the syntax check of vaskFSconf finds it: its
// first character alone decides (no blanks skipped), and the parsed text
// starts at the first "." (read, write) or "(" (input, output) of the
// string. So a string that the check refuses never opens.
int parseFileString(const char* text, FileSpec& out, std::string& why) {
  char verb = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
  out = FileSpec();
  out.objectForm = verb == 'i' || verb == 'o';
  out.write = verb == 'w' || verb == 'o';
  if (verb != 'r' && verb != 'w' && !out.objectForm) {
    why = "the file string does not start with read, write, input or output";
    return EINVAL;
  }
  const char* start = strchr(text, out.objectForm ? '(' : '.');
  if (start == nullptr) {
    why =
        std::string("the file string has no '") + (out.objectForm ? "(" : ".") + "' after its verb";
    return EINVAL;
  }
  const ClpArg* table = verb == 'r'   ? asClpOrgRedPar
                        : verb == 'w' ? asClpOrgWrtPar
                        : verb == 'i' ? asClpZulInpPar
                                      : asClpZulOutPar;
  const char* command = verb == 'r'   ? "READ"
                        : verb == 'w' ? "WRITE"
                        : verb == 'i' ? "INPUT"
                                      : "OUTPUT";
  ClpNode root;
  if (int rc = parse(table, !out.objectForm, command, "file string", start, root, why)) return rc;
  if (const ClpNode* n = root.find("file")) out.file = n->text;
  if (!out.objectForm) {
    // On write the data is compressed, then encrypted, then encoded: from
    // the outside in that is enc, encr, comp.
    for (const char* key : {"enc", "encr", "comp"})
      if (const ClpNode* n = root.find(key)) out.layers.push_back(layerOf(*n));
    return applyChoice(root.choice, root, out, why);
  }
  if (const ClpNode* n = root.find("cnv"))
    for (const ClpNode& e : n->children) out.layers.push_back(layerOf(e));
  if (const ClpNode* n = root.find("fmt")) return applyChoice(n->choice, *n, out, why);
  return 0;
}

// A format string starts at its first "." whatever comes before it, as in
// the syntax check. No format string at all (null or "") is format.bin(),
// the default; anything else must parse.
int parseFormatString(const char* text, bool write, FormatSpec& out, std::string& why) {
  out = FormatSpec();
  if (text == nullptr || *text == '\0') return 0;
  const char* start = strchr(text, '.');
  if (start == nullptr) {
    why = "the format string has no '.' after its verb";
    return EINVAL;
  }
  ClpNode root;
  const ClpArg* table = write ? asClpRedFmtPar : asClpWrtFmtPar;
  if (int rc = parse(table, true, "FORMAT", "format string", start, root, why)) return rc;
  out.text = root.choice == "text";
  if (const ClpNode* n = root.find("method")) out.method = methodOf(n->text);
  if (const ClpNode* n = root.find("bom")) out.bom = n->number != 0;
  return takeCcsid(root, "format string", out.ccsid, why);
}

int parseStateText(const std::string& text, StateSpec& out, std::string& why) {
  out = StateSpec();
  if (text.empty()) return 0;
  const char* start = strchr(text.c_str(), '(');
  if (start == nullptr) {
    why = "the state text has no '(' after its verb";
    return EINVAL;
  }
  ClpNode root;
  if (int rc = parse(asClpStatePar, false, "STATE", "state text", start, root, why)) return rc;
  if (const ClpNode* n = root.find("file")) out.file = n->text;
  if (const ClpNode* n = root.find("comment")) out.comment = n->text;
  return 0;
}

}  // namespace xio

int xioisplain(const char* fileString, const char* formatString) {
  using namespace xio;
  try {
    FileSpec spec;
    FormatSpec format;
    std::string why;
    int rc = fileString == nullptr ? EINVAL : parseFileString(fileString, spec, why);
    if (rc == 0) rc = parseFormatString(formatString, spec.write, format, why);
    for (Layer& l : spec.layers) OPENSSL_cleanse(l.passphrase.data(), l.passphrase.size());
    if (rc != 0) {
      errno = rc;
      return -1;
    }
    return spec.kind == Kind::BIN && spec.layers.empty() && !format.text ? 1 : 0;
  } catch (...) {
    std::string why;
    errno = caughtErrno(why);
    return -1;
  }
}
