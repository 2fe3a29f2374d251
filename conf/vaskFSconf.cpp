// vaskFSconf: sets, moves, deletes and lists the rules of a root, lists its
// views, and exports and imports all its rules as text. Started as a name
// with "view" eight characters before its end (vaskFSviewconf), it works on
// the read rules of one named view. With -x the index lies in a directory of
// its own instead of <root>/.vaskIndex.
//
// Single-threaded; every change to the index is one transaction of confdb.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "confdb.h"
#include "lmdbGuard.h"
#include "parseCommand.h"
#include "rulesExchange.h"

int viewOnly = 0;
const char* viewName = nullptr;
// -x: the directory of the index, in place of <confRoot>/.vaskIndex.
const char* indexDirOption = nullptr;

namespace {

enum class Mode { Set, Delete, Move, List, Views, Export, Import };

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

}  // namespace

void usage(const char* program) {
  std::fprintf(stderr,
               "Usage: %s [-hlLvVE] %s[-x indexDir] [-I file | -d index | -m index -n new-index | "
               "-i index [-o flags] -p pattern -t targetPattern -s fileString -f formatStr] "
               "confRoot%s\n\n",
               program, viewOnly ? "" : "[-c r|w] ", viewOnly ? " view-name" : "");
  std::fputs("\t-h\tthis help\n", stderr);
  if (!viewOnly) std::fputs("\t-c\tselect read or write configuration [default: write]\n", stderr);
  std::fputs(viewOnly ? "\t-x\tuse the index in indexDir/view-name, not in "
                        "confRoot/.vaskIndex/view-name;\n\t\tconfRoot may then be left out\n"
                      : "\t-x\tuse the index in indexDir, not in confRoot/.vaskIndex; confRoot "
                        "may then be left out\n",
             stderr);
  std::fputs(
      "\t-d\tdelete config entry\n"
      "\t-l|-L\tlist all config entries\n"
      "\t-v\tlist view names of confRoot\n"
      "\t-V\tlist all entries of all views of confRoot\n"
      "\t-m\tmove config entry from index to new-index\n"
      "\t-i\tindex to store config entry\n"
      "\t-o\tset config option flags\n"
      "\t-p\tset file name pattern\n"
      "\t-t\tset target pattern to build physical filename\n"
      "\t-s\tset file string\n"
      "\t-f\tset format string\n",
      stderr);
  std::fputs(viewOnly ? "\t-E\texport the rules of the view as text to standard output\n"
                        "\t-I\timport the rules of the view from file (- for standard input);\n"
                        "\t\tthey replace all its rules\n"
                      : "\t-E\texport all rules (write, read and every view's) as text to "
                        "standard output\n"
                        "\t-I\timport rules from file (- for standard input); each list the text "
                        "names\n\t\tis replaced by its rules, other lists are kept\n",
             stderr);
}

void freeEntry(ConfigEntry& entry) {
  std::string().swap(entry.targetPattern);
  std::string().swap(entry.pattern);
  std::string().swap(entry.formatString);
  std::string().swap(entry.fileString);
}

// Converts an index argument; text without digits gives 0. Returns -1 after
// reporting a number out of range.
int getIndex(const char* text, int32_t& index) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (errno == ERANGE) {
    std::fprintf(stderr, "Illegal index %s\n", text);
    return -1;
  }
  index = static_cast<int32_t>(static_cast<uint32_t>(value));
  return 0;
}

namespace {

int getFlags(const char* text, uint32_t& flags) {
  errno = 0;
  const unsigned long value = std::strtoul(text, nullptr, 10);
  if (errno == ERANGE) {
    std::fprintf(stderr, "Illegal flags %s\n", text);
    return -1;
  }
  flags = static_cast<uint32_t>(value);
  return 0;
}

void printEntry(const ConfigEntry& entry, int raw) {
  if (raw) {
    std::printf("%3d:%X:%s:%s:%s:%s\n", entry.index, entry.flags, entry.pattern.c_str(),
                entry.targetPattern.c_str(), entry.fileString.c_str(), entry.formatString.c_str());
  } else {
    std::printf("%3d,%s,%s:%s:%s:%s:%s\n", entry.index & CONFIG_INDEX_RULE_MASK,
                (entry.index & CONFIG_INDEX_DISABLED) ? "disabled" : "enabled",
                (entry.flags & CONFIG_FLAG_USE_IR) ? "useIR" : "noIR", entry.pattern.c_str(),
                entry.targetPattern.c_str(), entry.fileString.c_str(), entry.formatString.c_str());
  }
}

// The index directory of confRoot (or of -x), of the view `view` when given.
std::string indexDirOf(const char* confRoot, const char* view) {
  return indexDirectory(confRoot, indexDirOption, view);
}

}  // namespace

int listEntries(ConfigEntry& entry, const char* confRoot, const char* dbName, int raw) {
  MDB_env* rawEnv = nullptr;
  int rc = openConfigAt(&rawEnv, indexDirOf(confRoot, viewName).c_str());
  if (rc != 0) return rc;
  MdbEnvPtr env(rawEnv);
  MdbTxn txn;
  rc = txn.begin(env.get(), MDB_RDONLY);
  if (rc != 0) {
    std::fprintf(stderr, "failed to begin readTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  MDB_dbi dbi = 0;
  rc = mdb_dbi_open(txn.get(), dbName, MDB_INTEGERKEY, &dbi);
  if (rc != 0) {
    std::fprintf(stderr, "mdb_dbi_open %s %s failed: %s\n", confRoot, dbName, mdb_strerror(rc));
    return rc;
  }
  MdbCursor cursor;
  rc = cursor.open(txn.get(), dbi);
  if (rc != 0) {
    std::fprintf(stderr, "mdb_open_cursor failed: %s\n", mdb_strerror(rc));
    return rc;
  }
  for (rc = readConfigEntry(cursor.get(), entry, MDB_FIRST); rc == 0;
       rc = readConfigEntry(cursor.get(), entry, MDB_NEXT)) {
    printEntry(entry, raw);
  }
  if (rc == MDB_NOTFOUND) return 0;
  std::fprintf(stderr, "readConfEntry failed: %d\n", rc);
  return rc;
}

namespace {

// The type of a directory entry, asking the file system when readdir could
// not tell.
unsigned char entryType(DIR* dir, const dirent* item) {
  if (item->d_type != DT_UNKNOWN) return item->d_type;
  struct stat st;
  if (fstatat(dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_UNKNOWN;
}

// Whether a view directory holds both environment files. Reports a failure
// to read it and answers with what was seen until then.
bool hasEnvironment(DIR* dir, const std::string& viewPath) {
  bool data = false;
  bool lock = false;
  for (;;) {
    errno = 0;
    const dirent* item = readdir(dir);
    if (item == nullptr) {
      if (errno != 0) std::fprintf(stderr, "error reading in %s\n", viewPath.c_str());
      break;
    }
    if (entryType(dir, item) != DT_REG) continue;
    if (std::strcmp(item->d_name, "data.mdb") == 0) data = true;
    if (std::strcmp(item->d_name, "lock.mdb") == 0) lock = true;
  }
  return data && lock;
}

int listViews(ConfigEntry& entry, const char* confRoot, int all) {
  const std::string indexPath = indexDirOf(confRoot, nullptr);
  DirPtr index(opendir(indexPath.c_str()));
  if (!index) {
    const int error = errno;
    std::fprintf(stderr, "Unable to open %s\n", confRoot);
    return error;
  }
  int rc = 0;
  std::string name;
  for (;;) {
    errno = 0;
    const dirent* item = readdir(index.get());
    if (item == nullptr) {
      if (errno != 0) {
        const int error = errno;
        std::fprintf(stderr, "error reading in %s\n", confRoot);
        return error;
      }
      break;
    }
    if (item->d_name[0] == '.' || entryType(index.get(), item) != DT_DIR) continue;
    name = item->d_name;
    const std::string viewPath = indexPath + "/" + name;
    DirPtr view(opendir(viewPath.c_str()));
    if (!view) {
      std::fprintf(stderr, "Unable to open %s\n", viewPath.c_str());
      std::printf("%s\t%s\n", name.c_str(), "without configuration");
      continue;
    }
    const bool configured = hasEnvironment(view.get(), viewPath);
    view.reset();
    if (!configured) {
      std::printf("%s\t%s\n", name.c_str(), "without configuration");
      continue;
    }
    std::printf("%s\t%s\n", name.c_str(), "configured");
    if (all) {
      std::fflush(stdout);
      viewName = name.c_str();
      rc = listEntries(entry, confRoot, "confR", 1);
      viewName = nullptr;
    }
  }
  return rc;
}

// Progress lines come before the index is opened, so that they show also
// when opening fails; flushed so that they stay in order with stderr.
void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// Runs one change on the index of confRoot (or of the view) and closes it.
template <typename Change>
int onIndex(const char* confRoot, Change change) {
  MDB_env* env = nullptr;
  int rc = openConfigAt(&env, indexDirOf(confRoot, viewName).c_str());
  if (rc != 0) return rc;
  rc = change(env);
  closeIndex(env);
  return rc;
}

int runConf(int argc, char** argv) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "vaskFSconf";
  const size_t length = std::strlen(program);
  const char* dbName = "confW";
  if (length >= 8 && std::strncmp(program + length - 8, "view", 4) == 0) {
    viewOnly = 1;
    dbName = "confR";
  }

  ConfigEntry entry;
  entry.pattern.reserve(64);
  entry.fileString.reserve(256);
  entry.formatString.reserve(256);
  entry.targetPattern.reserve(256);
  int32_t newIndex = 0;
  Mode mode = Mode::Set;
  int all = 0;

  int option;
  const char* importFile = nullptr;
  while ((option = getopt(argc, argv, "hvVlLEc:d:i:o:m:n:p:s:f:t:x:I:")) != -1) {
    switch (option) {
      case 'h':
        usage(program);
        return 0;
      case 'c':
        if (optarg[0] == 'r' || optarg[0] == 'R') dbName = "confR";
        break;
      case 'd':
        mode = Mode::Delete;
        if (getIndex(optarg, entry.index) != 0) return -1;
        break;
      case 'i':
        if (getIndex(optarg, entry.index) != 0) return -1;
        break;
      case 'm':
        mode = Mode::Move;
        if (getIndex(optarg, entry.index) != 0) return -1;
        break;
      case 'n':
        if (getIndex(optarg, newIndex) != 0) return -1;
        break;
      case 'o':
        if (getFlags(optarg, entry.flags) != 0) return -1;
        break;
      case 'p':
        entry.pattern = optarg;
        break;
      case 's':
        entry.fileString = optarg;
        break;
      case 'f':
        entry.formatString = optarg;
        break;
      case 't':
        entry.targetPattern = optarg;
        break;
      case 'l':
      case 'L':
        mode = Mode::List;
        all = option == 'L';
        break;
      case 'v':
      case 'V':
        mode = Mode::Views;
        all = option == 'V';
        break;
      case 'x':
        if (optarg[0] == '\0') {
          std::fputs("-x needs the directory of the index\n\n", stderr);
          usage(program);
          return -1;
        }
        indexDirOption = optarg;
        break;
      case 'E':
        mode = Mode::Export;
        break;
      case 'I':
        mode = Mode::Import;
        importFile = optarg;
        break;
      default:  // getopt has said what it rejected
        break;
    }
  }

  // With -x the index is named: a confRoot is not needed, and messages name
  // the index in its place. In view mode one name left is the view's.
  const bool needView = viewOnly && mode != Mode::Views;
  const char* confRoot = indexDirOption;
  if (indexDirOption == nullptr || argc - optind > (needView ? 1 : 0)) {
    if (optind >= argc) {
      std::fputs("confRoot is missing\n\n", stderr);
      usage(program);
      return -1;
    }
    const char* given = argv[optind++];
    if (indexDirOption == nullptr) confRoot = given;
  }
  if (needView) {
    if (optind >= argc) {
      std::fputs("view-name is missing\n\n", stderr);
      usage(program);
      return -1;
    }
    viewName = argv[optind++];
  }

  const std::string where = indexDirOf(confRoot, needView ? viewName : nullptr);
  const std::string warning =
      remoteIndexWarning(viewOnly ? "vaskFSviewconf" : "vaskFSconf", where, "-x DIR");
  if (!warning.empty()) std::fputs(warning.c_str(), stderr);

  int rc = 0;
  switch (mode) {
    case Mode::Set:
      if (entry.index == 0 || entry.pattern.empty() || entry.fileString.empty() ||
          entry.formatString.empty()) {
        std::fputs("please specify all required fields to set an entry\n", stderr);
        usage(program);
        return -1;
      }
      rc = checkSyntax(entry);
      if (rc != 0) {
        std::fputs("aborted with error in format string.\n", stderr);
        break;
      }
      progress("set entry in %s\n", confRoot);
      rc = onIndex(confRoot, [&](MDB_env* env) { return writeConfigEntry(env, entry, dbName); });
      break;
    case Mode::Delete:
      progress("delete entry in %s\n", confRoot);
      rc = onIndex(confRoot, [&](MDB_env* env) { return deleteConfigEntry(env, entry, dbName); });
      break;
    case Mode::Move:
      progress("move entry in %s from %d to %d\n", confRoot, entry.index, newIndex);
      rc = onIndex(confRoot, [&](MDB_env* env) {
        return moveConfigEntry(env, entry.index, newIndex, dbName);
      });
      break;
    case Mode::List:
      if (viewOnly)
        progress("list entries of view %s in %s\n", viewName, confRoot);
      else
        progress("list entries in %s\n", confRoot);
      rc = listEntries(entry, confRoot, dbName, all);
      break;
    case Mode::Views:
      rc = listViews(entry, confRoot, all);
      break;
    case Mode::Export:
      rc = exportRules(indexDirOf(confRoot, nullptr), viewName);
      break;
    case Mode::Import:
      rc = importRules(indexDirOf(confRoot, nullptr), viewName, importFile);
      break;
  }
  freeEntry(entry);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runConf(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vaskFSconf: out of memory\n", stderr);
    return 1;
  }
}
