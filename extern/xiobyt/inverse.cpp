// Command strings written by the library: the inverse command and format
// returned at close. Names are quoted with apostrophes doubled, so a name
// can never add arguments to the command.
#include <string>

#include "corekit/corekit.h"
#include "xiobyt/settings.h"

namespace xio {

std::u32string lineEnd(Method m) {
  switch (m) {
    case Method::CRLF:
      return U"\r\n";
    case Method::CR:
      return U"\r";
    case Method::NL:
      return U"\u0085";
    case Method::LF:
      break;
  }
  return U"\n";
}

const char* methodName(Method m) {
  switch (m) {
    case Method::CRLF:
      return "CRLF";
    case Method::CR:
      return "CR";
    case Method::NL:
      return "NL";
    case Method::LF:
      break;
  }
  return "LF";
}

int defaultLevel(const std::string& kind) { return kind == "zstd" ? 3 : kind == "bzip2" ? 9 : 6; }

std::string quoted(const std::string& text) { return "'" + doubleApostrophes(text) + "'"; }

namespace {

bool isCompression(const std::string& kind) {
  return kind == "gzip" || kind == "zstd" || kind == "xz" || kind == "bzip2";
}

// A layer's choice and arguments: "gzip(level=6)". Levels matter only when
// writing; reading ignores them, so read commands leave them out.
std::string layerCall(const Layer& l, bool write) {
  std::string s = l.kind + "(";
  if (write && isCompression(l.kind))
    s += "level=" + std::to_string(l.level >= 0 ? l.level : defaultLevel(l.kind));
  if (write && l.threads >= 0) s += " threads=" + std::to_string(l.threads);
  // The key travels with the command: the inverse must open the file again.
  if (l.hasIdentity) s += "identity=" + quoted(l.identity);
  if (l.hasPassphrase) {
    s += std::string(l.hasIdentity ? " " : "") + "passphrase=" + quoted(l.passphrase);
    if (write || l.logn >= 0) s += " logn=" + std::to_string(l.logn >= 0 ? l.logn : kDefaultLogn);
  }
  return s + ")";
}

std::string choiceArgs(const FileSpec& f) {
  std::string s;
  if (f.kind == Kind::TEXT) {
    s += " ccsid=" + quoted(f.ccsid) + " method=" + methodName(f.method);
    if (f.bom) s += " bom";
  } else if (f.kind == Kind::REC) {
    s += std::string(" recf=") + (f.varRecords ? "VAR" : "FIX") +
         " recl=" + std::to_string(f.recl) + " ccsid=" + quoted(f.ccsid);
    if (!f.pad.empty()) s += " pad=" + quoted(f.pad);
  }
  return s;
}

const char* choiceName(Kind k) {
  return k == Kind::TEXT ? "text" : k == Kind::REC ? "rec" : k == Kind::AUTO ? "auto" : "bin";
}

}  // namespace

std::string fileCommand(const FileSpec& f, bool write, const std::string& name) {
  std::string s;
  if (f.objectForm) {
    s = std::string(write ? "output" : "input") + "(file=" + quoted(name);
    if (!f.layers.empty()) {
      s += " cnv[";
      for (size_t i = 0; i < f.layers.size(); ++i)
        s += (i ? " " : "") + layerCall(f.layers[i], write);
      s += "]";
    }
    std::string args = choiceArgs(f);
    return s + " fmt." + choiceName(f.kind) + "(" + (args.empty() ? "" : args.substr(1)) + "))";
  }
  s = std::string(write ? "write." : "read.") + choiceName(f.kind) + "(file=" + quoted(name) +
      choiceArgs(f);
  // From the inside out: comp, encr, enc.
  for (auto it = f.layers.rbegin(); it != f.layers.rend(); ++it) {
    const char* key = isCompression(it->kind) ? "comp" : it->kind == "age" ? "encr" : "enc";
    s += std::string(" ") + key + "." + layerCall(*it, write);
  }
  return s + ")";
}

std::string formatCommand(const FormatSpec& f) {
  if (!f.text) return "format.bin()";
  std::string s = "format.text(ccsid=" + quoted(f.ccsid) + " method=" + methodName(f.method);
  if (f.bom) s += " bom";
  return s + ")";
}

}  // namespace xio
