// The command-string parser through the six tables and the state table, as
// the library parses file strings, format strings and state texts. The
// first byte picks what the rest is. A file string that parses must come
// back from the command the library writes for it (same direction) with the
// same file, layers and kind.
#include <cstdlib>
#include <string>

#include "xiobyt/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string why;
  switch (data[0] % 4) {
    case 0: {
      xio::FileSpec spec, again;
      if (xio::parseFileString(text.c_str(), spec, why) != 0) return 0;
      std::string command = xio::fileCommand(spec, spec.write, spec.file);
      if (xio::parseFileString(command.c_str(), again, why) != 0) abort();
      if (again.layers.size() != spec.layers.size() || again.kind != spec.kind ||
          again.file != spec.file)
        abort();
      break;
    }
    case 1:
    case 2: {
      xio::FormatSpec f, again;
      if (xio::parseFormatString(text.c_str(), data[0] % 4 == 2, f, why) != 0) return 0;
      if (xio::parseFormatString(xio::formatCommand(f).c_str(), data[0] % 4 == 2, again, why) != 0)
        abort();
      break;
    }
    default: {
      xio::StateSpec s;
      xio::parseStateText(text, s, why);
    }
  }
  return 0;
}
