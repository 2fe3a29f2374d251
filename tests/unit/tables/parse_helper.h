// Parses a whole file, format or state string the way the conversion library
// and the syntax check do: the verb decides the table, and the parser gets
// the text from the first "." (overlays) or "(" (objects) on.
#pragma once

#include <cctype>
#include <string>

#include "corekit/clp/clp.h"
#include "xiobyt/tables.h"

struct Parsed {
  int rc = CLPERR_INTERFACE;
  ClpNode tree;
  ParserErrorRefs errors;
  std::string message, source;  // copies: the handle is closed before return
  size_t offset = 0;            // where the parsed text starts in the whole string
};

// `formatForRead` picks the format table of the read direction.
inline Parsed parseString(const std::string& whole, bool formatForRead = true) {
  Parsed p;
  const ClpArg* table = nullptr;
  int overlay = 1;
  const char* command = "";
  switch (std::tolower(static_cast<unsigned char>(whole.empty() ? ' ' : whole[0]))) {
    case 'r':
      table = asClpOrgRedPar, command = "READ";
      break;
    case 'w':
      table = asClpOrgWrtPar, command = "WRITE";
      break;
    case 'i':
      table = asClpZulInpPar, command = "INPUT", overlay = 0;
      break;
    case 'o':
      table = asClpZulOutPar, command = "OUTPUT", overlay = 0;
      break;
    case 's':
      table = asClpStatePar, command = "STATE", overlay = 0;
      break;
    case 'f':
      table = formatForRead ? asClpWrtFmtPar : asClpRedFmtPar, command = "FORMAT";
      break;
    default:
      return p;
  }
  p.offset = whole.find(overlay ? '.' : '(');
  if (p.offset == std::string::npos) return p;
  ClpHandle* h = pvClpOpen("tables_test", "VASK", "5.1.27", command, "", "", overlay, table,
                           &p.tree, &p.errors, siClpFile2String, siClpSaf);
  if (h == nullptr) return p;
  p.rc = siClpParseCmd(h, nullptr, whole.c_str() + p.offset);
  if (p.rc < 0 && p.errors.message != nullptr) p.message = p.errors.message;
  if (p.rc < 0 && p.errors.source != nullptr) p.source = p.errors.source;
  vdClpClose(h, 1);
  return p;
}
