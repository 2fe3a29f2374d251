// What a file string, a format string and a state text say, once parsed.
// Plain values; command.cpp fills them from the parse tree, inverse.cpp
// writes them back as command strings, pipeline.cpp builds stages from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xio {

enum class Method { LF, CRLF, CR, NL };
enum class Kind { BIN, TEXT, REC, AUTO };

struct Layer {
  std::string kind;  // gzip, zstd, xz, bzip2, age, base64, hex
  int level = -1;    // -1: not given
  int threads = -1;  // -1: not given (kDefaultThreads)
  // age: an identity file or a passphrase (with its scrypt work factor).
  std::string identity, passphrase;
  bool hasIdentity = false, hasPassphrase = false;
  int logn = -1;  // -1: not given (kDefaultLogn)
};

struct FileSpec {
  bool write = false;
  bool objectForm = false;    // input(...)/output(...) rather than read./write.
  std::string file;           // as given (apostrophes undoubled)
  std::vector<Layer> layers;  // from the outside in
  Kind kind = Kind::BIN;
  std::string ccsid = "UTF-8";
  Method method = Method::LF;
  bool bom = false;
  bool varRecords = false;  // recf=VAR
  int recl = 0;
  std::string pad;  // empty: the blank of the character set
};

struct FormatSpec {
  bool text = false;
  std::string ccsid = "UTF-8";
  Method method = Method::LF;
  bool bom = false;
};

struct StateSpec {
  std::string file, comment;
};

// The characters of a line end, as code points.
std::u32string lineEnd(Method m);
const char* methodName(Method m);
// Compression threads where a layer takes threads= and it is not given.
constexpr int kDefaultThreads = 2;
// The scrypt work factor where a passphrase is given without logn=.
constexpr int kDefaultLogn = 18;
// The default level of a compression layer.
int defaultLevel(const std::string& kind);

// Parsing (command.cpp). Each returns 0, or EINVAL with the cause in `why`.
int parseFileString(const char* text, FileSpec& out, std::string& why);
int parseFormatString(const char* text, bool write, FormatSpec& out, std::string& why);
int parseStateText(const std::string& text, StateSpec& out, std::string& why);

// Command strings (inverse.cpp). `name` is the physical name to put in file=.
std::string fileCommand(const FileSpec& spec, bool write, const std::string& name);
std::string formatCommand(const FormatSpec& spec);
// A text quoted for a command string, apostrophes doubled.
std::string quoted(const std::string& text);

}  // namespace xio
