// vaskFSconf -E and -I (see rulesExchange.h).
#include "rulesExchange.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "confdb.h"
#include "lmdbGuard.h"
#include "parseCommand.h"
#include "rulesText.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool isRegular(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// An environment as the tool's listings count it: both LMDB files present.
bool hasEnvironment(const std::string& path) {
  return isRegular(path + "/data.mdb") && isRegular(path + "/lock.mdb");
}

// Reads the lists `lists` of the environment in `path`, which must exist.
int readEnvironment(const std::string& path, std::vector<ConfigList>& lists) {
  MDB_env* raw = nullptr;
  int rc = openConfigAt(&raw, path.c_str());
  if (rc != 0) return rc;
  MdbEnvPtr env(raw);
  for (ConfigList& list : lists) {
    if ((rc = readConfigList(env.get(), list)) != 0) return rc;
  }
  return 0;
}

// The configured views of the index, in byte order of their names.
int viewNames(const std::string& indexDir, std::vector<std::string>& names) {
  DirPtr dir(opendir(indexDir.c_str()));
  if (!dir) {
    const int error = errno;
    std::fprintf(stderr, "Unable to open %s: %s\n", indexDir.c_str(), std::strerror(error));
    return error;
  }
  for (;;) {
    errno = 0;
    const dirent* item = readdir(dir.get());
    if (item == nullptr) {
      if (errno == 0) break;
      const int error = errno;
      std::fprintf(stderr, "error reading in %s\n", indexDir.c_str());
      return error;
    }
    if (item->d_name[0] == '.') continue;
    const std::string path = indexDir + "/" + item->d_name;
    if (isDirectory(path) && hasEnvironment(path)) names.emplace_back(item->d_name);
  }
  std::sort(names.begin(), names.end());
  return 0;
}

// The text of a file, or of standard input for "-".
int readText(const char* fileName, std::string& text) {
  const bool standardInput = std::strcmp(fileName, "-") == 0;
  const int fd = standardInput ? STDIN_FILENO : open(fileName, O_RDONLY | O_CLOEXEC);
  int error = 0;
  if (fd < 0) {
    error = errno;
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
    if (!standardInput) close(fd);
  }
  if (error != 0) {
    std::fprintf(stderr, "Unable to read %s: %s\n", standardInput ? "standard input" : fileName,
                 std::strerror(error));
    return -1;
  }
  return 0;
}

// Where a message about a line of the text points.
std::string place(const char* fileName, int line) {
  const std::string name = std::strcmp(fileName, "-") == 0 ? "<stdin>" : fileName;
  return name + ":" + std::to_string(line) + ": ";
}

// Checks every rule as vaskFSconf checks one it sets; reports each failure
// and returns the result of the first.
int checkRules(const std::vector<RuleSection>& sections, const char* fileName) {
  int first = 0;
  int failures = 0;
  for (const RuleSection& section : sections) {
    for (size_t i = 0; i < section.rules.size(); ++i) {
      const ConfigEntry& rule = section.rules[i];
      const int rc = checkSyntax(rule);
      if (rc == 0) continue;
      const auto index = static_cast<uint32_t>(rule.index);
      std::fprintf(stderr, "%srule %u%s in %s: its file or format string fails the check above\n",
                   place(fileName, section.ruleLines[i]).c_str(),
                   index & ~static_cast<uint32_t>(CONFIG_INDEX_DISABLED),
                   (index & static_cast<uint32_t>(CONFIG_INDEX_DISABLED)) ? " disabled" : "",
                   sectionName(section).c_str());
      if (failures++ == 0) first = rc;
    }
  }
  if (failures != 0) {
    std::fprintf(stderr, "import aborted: %d rule%s with errors, no index was changed\n", failures,
                 failures == 1 ? "" : "s");
  }
  return first;
}

// Replaces the lists of one environment in one transaction and says so.
int storeEnvironment(const std::string& path, const std::vector<ConfigList>& lists,
                     const std::vector<const RuleSection*>& sections) {
  MDB_env* raw = nullptr;
  int rc = openConfigAt(&raw, path.c_str());
  if (rc != 0) return rc;
  MdbEnvPtr env(raw);
  rc = replaceConfigLists(env.get(), lists);
  if (rc != 0) return rc;
  for (const RuleSection* section : sections) {
    std::printf("%s: %zu rule%s\n", sectionName(*section).c_str(), section->rules.size(),
                section->rules.size() == 1 ? "" : "s");
  }
  std::fflush(stdout);
  return 0;
}

ConfigList listOf(const char* dbName, const RuleSection& section) {
  ConfigList list;
  list.dbName = dbName;
  list.entries = section.rules;
  return list;
}

}  // namespace

int exportRules(const std::string& indexDir, const char* view) {
  std::vector<RuleSection> sections;
  const std::string home = view != nullptr ? indexDir + "/" + view : indexDir;
  // An export reads; it must not leave an empty index where there was none.
  if (!hasEnvironment(home)) {
    std::fprintf(stderr, "no index in %s\n", home.c_str());
    return ENOENT;
  }
  if (view != nullptr) {
    std::vector<ConfigList> lists(1);
    lists[0].dbName = "confR";
    if (const int rc = readEnvironment(home, lists); rc != 0) return rc;
    RuleSection section;
    section.kind = RuleListKind::View;
    section.view = view;
    section.rules = std::move(lists[0].entries);
    sections.push_back(std::move(section));
  } else {
    std::vector<ConfigList> lists(2);
    lists[0].dbName = "confW";
    lists[1].dbName = "confR";
    if (const int rc = readEnvironment(home, lists); rc != 0) return rc;
    sections.resize(2);
    sections[0].kind = RuleListKind::Write;
    sections[0].rules = std::move(lists[0].entries);
    sections[1].kind = RuleListKind::Read;
    sections[1].rules = std::move(lists[1].entries);
    std::vector<std::string> views;
    if (const int rc = viewNames(indexDir, views); rc != 0) return rc;
    for (const std::string& name : views) {
      std::vector<ConfigList> viewLists(1);
      viewLists[0].dbName = "confR";
      if (const int rc = readEnvironment(indexDir + "/" + name, viewLists); rc != 0) return rc;
      RuleSection section;
      section.kind = RuleListKind::View;
      section.view = name;
      section.rules = std::move(viewLists[0].entries);
      sections.push_back(std::move(section));
    }
  }
  const std::string text = formatRules(sections);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    const int error = errno;
    std::fprintf(stderr, "Unable to write the rules: %s\n", std::strerror(error));
    return error != 0 ? error : EIO;
  }
  return 0;
}

int importRules(const std::string& indexDir, const char* view, const char* fileName) {
  std::string text;
  if (readText(fileName, text) != 0) return -1;
  std::vector<RuleSection> sections;
  RulesTextError error;
  if (!parseRules(text, sections, error)) {
    std::fprintf(stderr, "%s%s\nimport aborted, no index was changed\n",
                 place(fileName, error.line).c_str(), error.message.c_str());
    return -1;
  }
  if (view != nullptr) {
    const bool one = sections.size() == 1 && sections[0].kind != RuleListKind::Write;
    if (!one) {
      const int line = sections.empty() ? 1 : sections[sections.size() > 1 ? 1 : 0].line;
      std::fprintf(stderr,
                   "%sa view has read rules only: the text must hold one list, [read] or "
                   "[view \"name\"]\nimport aborted, no index was changed\n",
                   place(fileName, line).c_str());
      return -1;
    }
  }
  if (const int rc = checkRules(sections, fileName); rc != 0) return rc;

  if (view != nullptr) {
    // Whatever list the text held, it is now this view's.
    RuleSection& section = sections[0];
    section.kind = RuleListKind::View;
    section.view = view;
    const std::string home = indexDir + "/" + view;
    std::printf("import rules into %s\n", home.c_str());
    std::fflush(stdout);
    return storeEnvironment(home, {listOf("confR", section)}, {&section});
  }
  std::printf("import rules into %s\n", indexDir.c_str());
  std::fflush(stdout);

  // The index's own lists first: opening it makes the index directory,
  // which every view's directory lies in.
  std::vector<ConfigList> own;
  std::vector<const RuleSection*> ownSections;
  for (const RuleSection& section : sections) {
    if (section.kind == RuleListKind::View) continue;
    own.push_back(listOf(section.kind == RuleListKind::Write ? "confW" : "confR", section));
    ownSections.push_back(&section);
  }
  std::vector<const RuleSection*> done;
  auto stopped = [&](const std::string& at) {
    std::fprintf(stderr, "import stopped at %s: ", at.c_str());
    if (done.empty()) {
      std::fputs("no index was changed\n", stderr);
    } else {
      std::fputs("replaced before it:", stderr);
      for (const RuleSection* section : done)
        std::fprintf(stderr, " %s", sectionName(*section).c_str());
      std::fputs("\n", stderr);
    }
  };
  if (!own.empty() || !isDirectory(indexDir)) {
    if (const int rc = storeEnvironment(indexDir, own, ownSections); rc != 0) {
      stopped(own.empty() ? indexDir : sectionName(*ownSections[0]));
      return rc;
    }
    done = ownSections;
  }
  for (const RuleSection& section : sections) {
    if (section.kind != RuleListKind::View) continue;
    const int rc =
        storeEnvironment(indexDir + "/" + section.view, {listOf("confR", section)}, {&section});
    if (rc != 0) {
      stopped(sectionName(section));
      return rc;
    }
    done.push_back(&section);
  }
  return 0;
}
