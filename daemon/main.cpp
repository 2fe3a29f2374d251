// vaskFS: the command line, the index environment, the rule listing and the
// libfuse main loop.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <filesystem>
#include <new>
#include <string_view>
#include <vector>

#include "state.h"
#include "log.h"
#include "mapping.h"
#include "operations.h"
#include "buffers.h"
#include "applocks.h"
#include "passthrough.h"

namespace {

// Slots beyond the 32 are dropped silently.
void addFuseArg(char* arg) {
  if (vaskfsArgs.fuseArgc <= 31) vaskfsArgs.fuseArgv[vaskfsArgs.fuseArgc++] = arg;
}

char kForeground[] = "-f";
char kSingleThread[] = "-s";

// Serving threads: libfuse starts them as requests wait, up to this many,
// and keeps them all (idle ones are not ended, so a burst does not pay for
// new threads again). -s or threads=1: one thread, in the order requests
// come.
constexpr unsigned kDefaultThreads = 8;
unsigned servingThreads = kDefaultThreads;

// The value of threads=N; exits with a message when it is no number of
// threads.
unsigned threadsOption(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long n = std::strtoul(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 1024 || value[0] == '-') {
    std::fprintf(stderr, "threads= needs a number of serving threads from 1 to 1024: %s\n",
                 value.c_str());
    std::exit(1);
  }
  return static_cast<unsigned>(n);
}
char kOption[] = "-o";

// Arguments made here for libfuse. fuseArgv points into them, and a deque
// never moves an element it already holds.
std::deque<std::string> madeArgs;

char* keepArg(std::string text) {
  madeArgs.push_back(std::move(text));
  return madeArgs.back().data();
}

void closeLog() {
  if (fileLog != nullptr && fileLog != stderr) std::fclose(fileLog);
  fileLog = nullptr;
}

// Opens the log for appending; a failure ends the program.
void openLog(const char* name) {
  // The log names every file and rule the mount meets: only its owner reads
  // a new one. A link planted at its name must not turn the daemon's writes
  // onto another file.
  const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  FILE* log = fd == -1 ? nullptr : fdopen(fd, "a");
  if (log == nullptr) {
    const int error = errno;
    if (fd != -1) close(fd);
    errno = error;
    std::perror("fopen");
    std::fprintf(stderr, "Unable to open logfile %s\n", name);
    std::exit(1);
  }
  // Lines reach the file as they are written, so that the log can be
  // followed while the mount runs.
  setvbuf(log, nullptr, _IOLBF, 0);
  closeLog();
  fileLog = log;
  std::fprintf(stderr, "vaskFS log file : %s\n", name);
}

// Sets the log level from its word; another word ends the program.
void setLogLevel(const char* word) {
  const std::string_view w = word;
  if (w == "error" || w == "ERROR") {
    logLevel = LOG_ERROR;
  } else if (w == "info" || w == "INFO") {
    logLevel = LOG_INFO;
  } else if (w == "debug" || w == "DEBUG") {
    logLevel = LOG_DEBUG;
  } else if (w == "trace" || w == "TRACE") {
    logLevel = LOG_TRACE;
  } else {
    std::fprintf(stderr, "Unkown log-level: %s\nChoose one of error, info, debug or trace\n", word);
    std::exit(1);
  }
}

// The options of a libfuse option list, as written (escapes kept). A
// backslash takes the next character literally, as libfuse reads the list,
// so "\," is part of an option. Empty options are left out.
std::vector<std::string> splitOptions(std::string_view list) {
  std::vector<std::string> options;
  std::string option;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '\\' && i + 1 < list.size()) {
      option += list[i++];
      option += list[i];
    } else if (list[i] == ',') {
      if (!option.empty()) options.push_back(std::move(option));
      option.clear();
    } else {
      option += list[i];
    }
  }
  if (!option.empty()) options.push_back(std::move(option));
  return options;
}

// An option as libfuse understands it: escapes resolved, "\137" included.
std::string unescapeOption(std::string_view option) {
  std::string plain;
  for (size_t i = 0; i < option.size(); ++i) {
    if (option[i] == '\\' && i + 1 < option.size()) {
      ++i;
      if (i + 2 < option.size() && option[i] >= '0' && option[i] <= '3' && option[i + 1] >= '0' &&
          option[i + 1] <= '7' && option[i + 2] >= '0' && option[i + 2] <= '7') {
        plain += static_cast<char>((option[i] - '0') * 64 + (option[i + 1] - '0') * 8 +
                                   (option[i + 2] - '0'));
        i += 2;
        continue;
      }
    }
    plain += option[i];
  }
  return plain;
}

// The list of a "-o": the daemon's own options take effect in their order,
// the rest goes to libfuse as one "-o". mount(8) and fstab hand every option
// this way, the daemon's beside the filesystem's.
void takeMountOptions(const char* list) {
  std::string rest;
  for (const std::string& raw : splitOptions(list)) {
    const std::string option = unescapeOption(raw);
    if (option.starts_with("log=")) {
      openLog(option.c_str() + 4);
    } else if (option.starts_with("loglevel=")) {
      setLogLevel(option.c_str() + 9);
    } else if (option.starts_with("index=")) {
      if (option.size() == 6) {
        std::fputs("index= needs the directory of the index\n", stderr);
        std::exit(1);
      }
      vaskfsArgs.indexDir = option.substr(6);
    } else if (option.starts_with("threads=")) {
      servingThreads = threadsOption(option.substr(8));
    } else if (option == "nopassthrough") {
      passthroughWanted = false;
    } else if (vaskfsArgs.viewMode && option.starts_with("view=")) {
      vaskfsArgs.view = option.substr(5);
    } else {
      if (!rest.empty()) rest += ',';
      rest += raw;
    }
  }
  if (rest.empty()) return;
  addFuseArg(kOption);
  addFuseArg(keepArg(std::move(rest)));
}

// allow_other lets every user into the mount. A daemon that is not root
// cannot take its callers' identities, and the modes it presents for a
// converted file come from the index rather than from the physical file:
// the kernel has to check the presented modes before a request arrives.
void requireDefaultPermissions() {
  int allowOtherSlot = -1;
  for (int i = 2; i < vaskfsArgs.fuseArgc; ++i) {
    const char* arg = vaskfsArgs.fuseArgv[i];
    // libfuse takes nothing after "--" for an option.
    if (std::strcmp(arg, "--") == 0) break;
    const char* list;
    if (std::strcmp(arg, "-o") == 0) {
      if (i + 1 >= vaskfsArgs.fuseArgc) break;
      list = vaskfsArgs.fuseArgv[++i];
    } else if (std::strncmp(arg, "-o", 2) == 0) {
      list = arg + 2;
    } else {
      continue;
    }
    for (const std::string& raw : splitOptions(list)) {
      const std::string option = unescapeOption(raw);
      if (option == "default_permissions") {
        vaskfsArgs.defaultPermissions = true;
        return;
      }
      if (option == "allow_other") allowOtherSlot = i;
    }
  }
  if (allowOtherSlot < 0) return;
  // Put in front of the list that holds allow_other: no slot is needed (all
  // 32 may be taken), and a trailing backslash cannot swallow the comma.
  const std::string arg = vaskfsArgs.fuseArgv[allowOtherSlot];
  vaskfsArgs.defaultPermissions = true;
  vaskfsArgs.fuseArgv[allowOtherSlot] =
      keepArg(arg.starts_with("-o") ? "-odefault_permissions," + arg.substr(2)
                                    : "default_permissions," + arg);
}

// Puts the working directory in front of a relative name. Returns 0, or 1
// after the message when that is impossible.
int makeAbsolute(std::string& name, const char* allocMessage, bool showWorkDir) {
  if (!name.empty() && name[0] == '/') return 0;
  std::string cwd;
  try {
    cwd.resize(1024);
  } catch (const std::bad_alloc&) {
    std::fputs(allocMessage, stderr);
    return 1;
  }
  if (getcwd(cwd.data(), 1024) == nullptr) {
    std::fprintf(stderr,
                 "Unable to get current working path\nYou might try using the absolute path "
                 "(beginning with '/') for \"%s\"\n",
                 name.c_str());
    return 1;
  }
  cwd.resize(std::strlen(cwd.c_str()));
  if (showWorkDir) std::fprintf(stderr, "wdir = %s\nd = %s\n", cwd.c_str(), cwd.c_str());
  // The working directory "/" already ends in the separator.
  if (cwd.back() != '/') cwd += '/';
  name.insert(0, cwd);
  return 0;
}

// Whether `inner` is `outer` or lies below it, symbolic links resolved as
// far as the names exist; `below` gets the path from `outer` to `inner`.
bool liesWithin(const std::string& inner, const std::string& outer, std::filesystem::path& below) {
  namespace fs = std::filesystem;
  // A trailing "/" would count as one more, empty, component.
  const auto resolved = [](std::string name) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    std::error_code error;
    fs::path path = fs::weakly_canonical(name, error);
    return error ? fs::path(name).lexically_normal() : path;
  };
  const fs::path a = resolved(inner);
  const fs::path b = resolved(outer);
  below = a.lexically_relative(b);
  return !below.empty() && *below.begin() != "..";
}

// An index given with index= must stay out of the mount's reach: under the
// mount point the daemon would wait on itself, and under the root its files
// would be shown, and converted, through the mount, unless a name on the
// way hides them as the root's own .vaskIndex is hidden. Returns 0, or 1
// after the message.
int checkIndexPlace() {
  std::filesystem::path below;
  if (liesWithin(vaskfsArgs.indexDir, vaskfsArgs.mountDir, below)) {
    std::fprintf(stderr, "the index %s lies under the mount point %s\n",
                 vaskfsArgs.indexDir.c_str(), vaskfsArgs.mountDir.c_str());
    return 1;
  }
  if (liesWithin(vaskfsArgs.indexDir, vaskfsArgs.rootDir, below)) {
    for (const auto& part : below) {
      if (part.native().starts_with(".vaskIndex")) return 0;
    }
    std::fprintf(stderr,
                 "the index %s lies under the root %s, where the mount would show it; keep it "
                 "outside the root\n",
                 vaskfsArgs.indexDir.c_str(), vaskfsArgs.rootDir.c_str());
    return 1;
  }
  return 0;
}

// The view mode without a view name: show which views the root has.
int listViews() {
  std::fputs("missing view-name\n", stderr);
  const bool own = vaskfsArgs.indexDir.empty();
  const std::string indexDir = own ? vaskfsArgs.rootDir + "/.vaskIndex" : vaskfsArgs.indexDir;
  const std::string& where = own ? vaskfsArgs.rootDir : vaskfsArgs.indexDir;
  DIR* dir = opendir(indexDir.c_str());
  if (dir == nullptr) {
    std::fprintf(stderr, "Unabel to open index of %s\n", where.c_str());
    return 1;
  }
  std::string views;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || entry->d_type != DT_DIR) continue;
    views.append("\t").append(entry->d_name).append("\n");
  }
  closedir(dir);
  if (views.empty()) {
    std::fprintf(stderr, "no views are available in %s\n", where.c_str());
  } else {
    std::fprintf(stderr, "list of views in %s:\n%s\n", where.c_str(), views.c_str());
  }
  return 1;
}

// Steps from the prepared command line to the end of the mount; the caller
// cleans up.
int mountRoot(char* program) {
  if (fileLog != nullptr) printVersion(program, fileLog);
  logAt(LOG_INFO, "vaskFS starting at %s.\n", vaskfsArgs.mountDir.c_str());
  if (vaskfsArgs.viewMode) logAt(LOG_INFO, "read-only mount view %s\n", vaskfsArgs.view.c_str());
  logAt(LOG_INFO, "chdir to %s\n", vaskfsArgs.rootDir.c_str());
  if (chdir(vaskfsArgs.rootDir.c_str()) != 0) {
    std::perror("error in chdir:");
    return 1;
  }
  savefd = open(".", O_RDONLY);
  if (savefd == -1) {
    std::perror("error in open(\".\"):");
    return 1;
  }
  if (const int rc = openIndex(); rc != 0) return rc;
  // LMDB shares its index between processes through file locks and a
  // shared memory map, which network and FUSE filesystems do not give
  // reliably, nor to other hosts: say so where it will be read, and go on.
  const std::string warning = remoteIndexWarning(vaskfsArgs.viewMode ? "vaskFSview" : "vaskFS",
                                                 indexPath(), "-o index=DIR");
  if (!warning.empty()) {
    if (fileLog != stderr) std::fputs(warning.c_str(), stderr);
    logAt(LOG_ERROR, "%s", warning.c_str());
  }
  if (initConfEntry(vaskfsArgs.listEntry) != 0) return 1;

  if (!vaskfsArgs.viewMode) {
    logAt(LOG_INFO, "\n[write configuration]\n");
    getConf4Name(vaskfsArgs.rootDir, vaskfsArgs.listEntry, SEARCH_LIST, "confW");
  }
  logAt(LOG_INFO, "\n[read configuration]\n");
  getConf4Name(vaskfsArgs.rootDir, vaskfsArgs.listEntry, SEARCH_LIST, "confR");

  // libfuse forks when it detaches, and an LMDB environment must not cross
  // a fork (its file locks stay with the parent, and another process would
  // then take the index for unused and reset its lock table): vaskFS_init
  // opens it again in the process that serves.
  closeIndexEnvironment();
  // The kernel has applied the caller's umask to every mode it sends; a
  // second mask by ours would take away bits that were asked for.
  umask(0);
  int result = fuse_main_real(vaskfsArgs.fuseArgc, vaskfsArgs.fuseArgv, &vaskFS_oper,
                              sizeof vaskFS_oper, nullptr);
  fuseServing = false;
  if (initFailure != 0) result = initFailure;
  initConfEntry(vaskfsArgs.listEntry);
  closeIndexEnvironment();
  if (vaskfsArgs.viewMode) {
    logAt(LOG_INFO, "vaskFS closing view %s\n", vaskfsArgs.view.c_str());
  } else {
    logAt(LOG_INFO, "vaskFS closing.\n");
  }
  return result;
}

int run(int argc, char* argv[]) {
  const size_t nameLength = std::strlen(argv[0]);
  vaskfsArgs.viewMode =
      nameLength >= 4 && std::strcmp(argv[0] + nameLength - 4, "view") == 0 ? 1 : 0;
  if (argc < 2) {
    usage(argv[0]);
    return 255;
  }
  if (std::strcmp(argv[1], "version") == 0 || std::strcmp(argv[1], "VERSION") == 0) {
    printVersion(argv[0], stderr);
    return 0;
  }
  if (std::strcmp(argv[1], "about") == 0 || std::strcmp(argv[1], "ABOUT") == 0) {
    printAbout(argv[0], stderr);
    return 0;
  }

  fileLog = stderr;
  vaskfsArgs.fuseArgv[0] = argv[0];
  vaskfsArgs.fuseArgc = 2;
  opterr = 0;
  bool daemon = true;
  bool mountOptions = false;
  int c;
  while ((c = getopt(argc, argv, "hfsql:L:o:")) != -1) {
    switch (c) {
      case 'f':
        addFuseArg(kForeground);
        std::fputs("vaskFS not running as a daemon\n", stderr);
        daemon = false;
        break;
      case 's':
        servingThreads = 1;
        break;
      case 'l':
        openLog(optarg);
        break;
      case 'q':
        closeLog();
        break;
      case 'L':
        setLogLevel(optarg);
        break;
      case 'o':
        takeMountOptions(optarg);
        mountOptions = true;
        break;
      case 'h':
        usage(argv[0]);
        return 1;
      default:
        std::fprintf(stderr, "ignored option: -%c %s\n", optopt, optarg != nullptr ? optarg : "");
        break;
    }
  }
  if (daemon && fileLog == stderr) {
    if (mountOptions) {
      // mount(8) waits for the daemon to detach, and at boot nobody reads its
      // standard error: without log= it goes quietly, as with -q.
      closeLog();
    } else {
      addFuseArg(kForeground);
      std::fputs("to run as daemon, specify a logfile.\n", stderr);
    }
  }
  lockServingThreads = servingThreads;
  if (servingThreads == 1) {
    addFuseArg(kSingleThread);
  } else {
    // One slot, as "-s" takes: the user's options get the rest.
    addFuseArg(keepArg("-omax_threads=" + std::to_string(servingThreads) +
                       ",max_idle_threads=" + std::to_string(servingThreads)));
  }

  if (argc - optind < 2) {
    std::fputs("Missing arguments: vask-root and/or user-dir, aka mountpoint\n", stderr);
    usage(argv[0]);
    return 1;
  }
  vaskfsArgs.rootDir = argv[optind++];
  // "/" keeps its slash: the root directory itself.
  if (vaskfsArgs.rootDir.size() > 1 && vaskfsArgs.rootDir.back() == '/') {
    vaskfsArgs.rootDir.pop_back();
  }
  vaskfsArgs.mountDir = argv[optind++];
  // The index named by index= is taken as it was meant from where the
  // daemon was started, before it changes into the root.
  if (!vaskfsArgs.indexDir.empty()) {
    if (makeAbsolute(vaskfsArgs.indexDir, "unable to alloc memory for index folder setup\n", false))
      return 1;
    while (vaskfsArgs.indexDir.size() > 1 && vaskfsArgs.indexDir.back() == '/') {
      vaskfsArgs.indexDir.pop_back();
    }
  }
  // A view named by view= needs no third name.
  if (vaskfsArgs.viewMode && vaskfsArgs.view.empty()) {
    if (optind >= argc) return listViews();
    vaskfsArgs.view = argv[optind++];
  }
  while (optind < argc) addFuseArg(argv[optind++]);
  if (const unsigned readSize = spliceableReadSize(); readSize != 0) {
    const int before = vaskfsArgs.fuseArgc;
    addFuseArg(keepArg("-omax_read=" + std::to_string(readSize)));
    if (vaskfsArgs.fuseArgc > before) askedReadSize = readSize;
  }
  requireDefaultPermissions();

  if (makeAbsolute(vaskfsArgs.rootDir, "unable to alloc memory for root folder setup\n", false))
    return 1;
  if (makeAbsolute(vaskfsArgs.mountDir, "unable to alloc memory for mount folder setup\n", true))
    return 1;
  vaskfsArgs.fuseArgv[1] = vaskfsArgs.mountDir.data();
  if (vaskfsArgs.rootDir == vaskfsArgs.mountDir) {
    std::fprintf(stderr, "vask-root and user-dir must be different \"%s\"\n",
                 vaskfsArgs.mountDir.c_str());
    return 1;
  }
  if (!vaskfsArgs.indexDir.empty() && checkIndexPlace() != 0) return 1;
  setConfdbMessageSink(logConfdbMessage);
  return mountRoot(argv[0]);
}

}  // namespace

int main(int argc, char* argv[]) {
  int status;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vaskFS: out of memory\n", stderr);
    status = 1;
  }
  closeIndexEnvironment();
  closeLog();
  return status;
}
