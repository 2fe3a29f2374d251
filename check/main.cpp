// Command line, start-up checks and the libfuse main loop.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <vector>

#include "checker.h"

namespace {

void usage(const char* program) {
  std::fprintf(stderr, "Usage: %s [-h] | [-l log-file] [-f] [-e] [-q] /vask-root /user-dir\n\n",
               program);
  std::fputs("\t-h\tthis help\n", stderr);
  std::fputs("\t-f\trun in foreground\n", stderr);
  std::fputs("\t-e\tallow to use nonempty user-dir (only needed if FUSE_VERSION = 2)\n", stderr);
  std::fputs("\t-q\tkeep quiet\n\n", stderr);
}

// Arguments beyond the 32 slots are dropped silently.
void addFuseArg(const char* arg) {
  if (vaskfsArgs.fuseArgc < static_cast<int>(vaskfsArgs.fuseArgv.size())) {
    vaskfsArgs.fuseArgv[vaskfsArgs.fuseArgc++] = arg;
  }
}

void closeLog() {
  if (fileLog != nullptr && fileLog != stderr) std::fclose(fileLog);
  fileLog = nullptr;
}

// Makes name absolute against the working directory. Returns -1, or the exit
// status after a message when that is impossible.
int makeAbsolute(std::string& name) {
  if (!name.empty() && name[0] == '/') return -1;
  char cwd[kNameBufferSize];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    std::fprintf(stderr,
                 "Unable to get current working path\nYou might try using the absolute path "
                 "(beginning with '/') for \"%s\"\n",
                 name.c_str());
    return 0;
  }
  std::string absolute = cwd;
  absolute.append("/").append(name);
  if (absolute.size() >= kNameBufferSize) {
    std::fprintf(stderr, "Absolute name of \"%s\" is longer than %zu bytes\n", name.c_str(),
                 kNameBufferSize - 1);
    return 1;
  }
  name = absolute;
  return -1;
}

int run(int argc, char* argv[]) {
  fileLog = stderr;
  vaskfsArgs.fuseArgv[0] = argv[0];
  vaskfsArgs.fuseArgc = 2;
  bool foreground = false;

  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "hfeql:")) != -1) {
    switch (c) {
      case 'h':
        usage(argv[0]);
        return 0;
      case 'f':
        addFuseArg("-f");
        foreground = true;
        std::puts("vaskFScheck not running as a daemon");
        break;
      case 'e':
        addFuseArg("-o");
        addFuseArg("nonempty");
        std::puts("Using existing directory");
        break;
      case 'q':
        closeLog();
        break;
      case 'l': {
        FILE* log = std::fopen(optarg, "a+");
        if (log == nullptr) {
          std::perror("fopen");
          std::fprintf(stderr, "Unable to open logfile %s\n", optarg);
          return 1;
        }
        closeLog();
        fileLog = log;
        // Lines must reach the file as they happen, not when the buffer fills.
        setvbuf(fileLog, nullptr, _IOLBF, 0);
        std::printf("vaskFScheck log file : %s\n", optarg);
        break;
      }
      default:
        std::printf("option: -%c %s\n", c, optarg != nullptr ? optarg : "");
        break;
    }
  }
  std::fflush(stdout);

  if (!foreground && fileLog == stderr) {
    addFuseArg("-f");
    std::puts("to run as daemon, specify a logfile.");
  }
  if (argc - optind < 2) {
    std::fputs("Missing arguments: vask-root and/or user-dir, aka mountpoint\n", stderr);
    usage(argv[0]);
    return 0;
  }
  vaskfsArgs.rootDir = argv[optind];
  // "/" itself stays the root; any other trailing "/" goes.
  if (vaskfsArgs.rootDir.size() > 1 && vaskfsArgs.rootDir.back() == '/') {
    vaskfsArgs.rootDir.pop_back();
  }
  vaskfsArgs.mountDir = argv[optind + 1];
  vaskfsArgs.fuseArgv[1] = vaskfsArgs.mountDir;
  for (int i = optind + 2; i < argc; ++i) addFuseArg(argv[i]);

  if (const int status = makeAbsolute(vaskfsArgs.rootDir); status >= 0) return status;
  if (const int status = makeAbsolute(vaskfsArgs.mountDir); status >= 0) return status;
  vaskfsArgs.fuseArgv[1] = vaskfsArgs.mountDir;
  if (vaskfsArgs.rootDir == vaskfsArgs.mountDir) {
    std::fprintf(stderr, "vask-root and user-dir must be different \"%s\"\n",
                 vaskfsArgs.mountDir.c_str());
    return 0;
  }
  logLine("vaskFS starting at %s.\n", vaskfsArgs.mountDir.c_str());

  if (chdir(vaskfsArgs.rootDir.c_str()) == -1) {
    std::perror("error in chdir:");
    return 1;
  }
  savefd = open(".", O_RDONLY);
  if (savefd == -1) {
    std::perror("error in open(\".\"):");
    return 1;
  }

  std::vector<char*> fuseArgv;
  for (int i = 0; i < vaskfsArgs.fuseArgc; ++i) fuseArgv.push_back(vaskfsArgs.fuseArgv[i].data());
  fuseArgv.push_back(nullptr);
  // libfuse's own result is not ours to report: it has said what failed.
  // The kernel has applied the caller's umask to every mode it sends; a
  // second mask by ours would take away bits that were asked for.
  umask(0);
  fuse_main_real(vaskfsArgs.fuseArgc, fuseArgv.data(), &xmp_oper, sizeof(xmp_oper), nullptr);

  closeLog();
  std::puts("vaskFS closing.");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vaskFScheck: out of memory\n", stderr);
    return 1;
  }
}
