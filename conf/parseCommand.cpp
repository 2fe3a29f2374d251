#include "parseCommand.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "xiobyt/tables.h"

namespace {

const char* const OWNER = "vaskFS";
const char* const PROGRAM = "VASK";
const char* const VERSION = "5.1.27";

const char* const HELP_READ_FILE = "File specification for reading elements from a source";
const char* const HELP_WRITE_FILE = "File specification for writing elements to a target";
const char* const HELP_READ_FORMAT =
    "Read format string for VASK byte, stream and record interfaces";
const char* const HELP_WRITE_FORMAT =
    "Write format string for VASK byte, stream and record interfaces";

// The parser's texts may be unset when it fails early.
const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

int parseReadFormat(const char* text, ClpNode* area) {
  return siParseString(1, "FORMAT", MAN_XIOBYT_READ_FORMAT, HELP_READ_FORMAT, text, asClpWrtFmtPar,
                       area);
}

int parseWriteFormat(const char* text, ClpNode* area) {
  return siParseString(1, "FORMAT", MAN_XIOBYT_WRITE_FORMAT, HELP_WRITE_FORMAT, text,
                       asClpRedFmtPar, area);
}

}  // namespace

int siParseString(int overlay, const char* command, const char* manual, const char* help,
                  const char* text, const ClpArg* table, ClpNode* area) {
  ParserErrorRefs errors;
  ClpHandle* handle = pvClpOpen(OWNER, PROGRAM, VERSION, command, manual, help, overlay, table,
                                area, &errors, siClpFile2String, siClpSaf);
  if (handle == nullptr) {
    std::fprintf(stderr, "Open of parser for '%s' string failed\n", command);
    return PARSE_OPEN_FAILED;
  }
  const int rc = siClpParseCmd(handle, nullptr, text);
  if (rc >= 0) {
    vdClpClose(handle, 1);
    return 0;
  }
  const char* codeText = pcClpError(rc);
  if (std::strchr(text, '\n') != nullptr) {
    std::fprintf(stderr,
                 "CTX-MESSAGE : Parsing of '%s' string failed\n"
                 "CLP-STRING  : \n%s\n"
                 "CLP-LOCATION: ROW: %d COL: %d\n"
                 "CLP-ERROR   : %d - %s\n"
                 "CLP-MESSAGE : %s\n"
                 "CLP-SOURCE  : %s\n",
                 command, text, errors.row, errors.column, rc, codeText, orEmpty(errors.message),
                 orEmpty(errors.source));
  } else {
    std::fprintf(stderr,
                 "CTX-MESSAGE : Parsing of '%s' string failed\n"
                 "CLP-STRING  : %s\n"
                 "CLP-PARSER  : %.*s\n"
                 "CLP-ERROR   : %d - %s\n"
                 "CLP-MESSAGE : %s\n"
                 "CLP-SOURCE  : %s\n",
                 command, text, std::max(errors.column, 0), text, rc, codeText,
                 orEmpty(errors.message), orEmpty(errors.source));
  }
  vdClpClose(handle, 1);
  return PARSE_SYNTAX_ERROR;
}

int checkSyntax(const ConfigEntry& entry) {
  const size_t formatStart = entry.formatString.find('.');
  if (formatStart == std::string::npos) {
    std::fputs("illegal format string\n", stderr);
    return -1;
  }
  // Only the first letter of the verb decides, as in the conversion library.
  const char verb = static_cast<char>(std::tolower(
      static_cast<unsigned char>(entry.fileString.empty() ? '\0' : entry.fileString[0])));
  size_t fileStart = std::string::npos;
  if (verb == 'r' || verb == 'w') {
    fileStart = entry.fileString.find('.');
  } else if (verb == 'i' || verb == 'o') {
    fileStart = entry.fileString.find('(');
  } else {
    std::fprintf(stderr,
                 "invalid start of file string: %s\nMust be read or write or input or output\n",
                 entry.fileString.c_str());
    return -1;
  }
  if (fileStart == std::string::npos) {
    std::fputs("illegal file string\n", stderr);
    return -1;
  }
  // The daemon puts the physical name between these quotes.
  if (entry.fileString.find("=''") == std::string::npos) {
    std::fputs("file string does NOT contain an empty file name specification.\n", stderr);
    return -1;
  }

  const char* fileText = entry.fileString.c_str() + fileStart;
  const char* formatText = entry.formatString.c_str() + formatStart;
  ClpNode fileArea;
  ClpNode formatArea;
  int rc = 0;
  switch (verb) {
    case 'r':
      rc = siParseString(1, "READ", MAN_XIOBYT_READ_FILE, HELP_READ_FILE, fileText, asClpOrgRedPar,
                         &fileArea);
      if (rc == 0) rc = parseReadFormat(formatText, &formatArea);
      break;
    case 'i':
      rc = siParseString(0, "INPUT", MAN_XIOBYT_INPUT_FILE, HELP_READ_FILE, fileText,
                         asClpZulInpPar, &fileArea);
      if (rc == 0) rc = parseReadFormat(formatText, &formatArea);
      break;
    case 'w':
      rc = parseWriteFormat(formatText, &formatArea);
      if (rc == 0)
        rc = siParseString(1, "WRITE", MAN_XIOBYT_WRITE_FILE, HELP_WRITE_FILE, fileText,
                           asClpOrgWrtPar, &fileArea);
      break;
    default:  // 'o'
      rc = parseWriteFormat(formatText, &formatArea);
      if (rc == 0)
        rc = siParseString(0, "OUTPUT", MAN_XIOBYT_OUTPUT_FILE, HELP_WRITE_FILE, fileText,
                           asClpZulOutPar, &fileArea);
      break;
  }
  return rc;
}
