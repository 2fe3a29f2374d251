// Wildcard match and name patterns.
#include <fnmatch.h>

#include <climits>

#include "corekit/corekit.h"

int wcmatch(const char* pattern, const char* text) {
  if (pattern == nullptr || text == nullptr) return 0;
  return fnmatch(pattern, text, 0) == 0 ? 1 : 0;
}

std::string doubleApostrophes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

namespace {

// The parts of a file name that placeholders stand for.
struct NameParts {
  std::string_view path, name, base, ext;
};

NameParts splitName(std::string_view full) {
  NameParts parts;
  size_t slash = full.rfind('/');
  if (slash == std::string_view::npos) {
    parts.name = full;
  } else {
    parts.path = full.substr(0, slash);
    parts.name = full.substr(slash + 1);
  }
  // A leading dot marks a hidden file, not an extension: ".profile" has none.
  size_t dot = parts.name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    parts.base = parts.name;
  } else {
    parts.base = parts.name.substr(0, dot);
    parts.ext = parts.name.substr(dot + 1);
  }
  return parts;
}

}  // namespace

int pat2str(std::string_view name, std::string_view pattern, std::string& out) {
  out.clear();
  const NameParts parts = splitName(name);
  size_t pos = 0;
  while (pos < pattern.size()) {
    size_t open = pattern.find('[', pos);
    if (open == std::string_view::npos) {
      out.append(pattern.substr(pos));
      break;
    }
    out.append(pattern.substr(pos, open - pos));
    if (open + 1 < pattern.size() && pattern[open + 1] == '[') {
      out.push_back('[');
      pos = open + 2;
      continue;
    }
    size_t close = pattern.find(']', open + 1);
    if (close == std::string_view::npos) return PAT2STR_UNKNOWN;
    std::string_view key = pattern.substr(open + 1, close - open - 1);
    if (key == "path") {
      out.append(parts.path);
    } else if (key == "name") {
      out.append(parts.name);
    } else if (key == "base") {
      out.append(parts.base);
    } else if (key == "ext") {
      out.append(parts.ext);
    } else if (key == "copy") {
      out.append(name);
    } else {
      return PAT2STR_UNKNOWN;
    }
    pos = close + 1;
  }
  if (out.size() > static_cast<size_t>(INT_MAX)) return PAT2STR_UNKNOWN;
  return static_cast<int>(out.size());
}
