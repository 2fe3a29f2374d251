// Command lines that end before anything is mounted: their messages on
// standard output and standard error, and their exit statuses.
#include <sys/stat.h>

#include "harness.h"

namespace checktest {
namespace {

std::string usageText() {
  return "Usage: " + checkerBinary() +
         " [-h] | [-l log-file] [-f] [-e] [-q] /vask-root /user-dir\n\n"
         "\t-h\tthis help\n"
         "\t-f\trun in foreground\n"
         "\t-e\tallow to use nonempty user-dir (only needed if FUSE_VERSION = 2)\n"
         "\t-q\tkeep quiet\n\n";
}

const std::string kMissing = "Missing arguments: vask-root and/or user-dir, aka mountpoint\n";
const std::string kNoDaemon = "to run as daemon, specify a logfile.\n";
const std::string kForeground = "vaskFScheck not running as a daemon\n";

TEST(CheckStart, MessagesAndExitStatuses) {
  TempDir temp;
  const std::string base = temp.path();
  ASSERT_EQ(0, mkdir((base + "/d").c_str(), 0755));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"-h"}, 0, "", usageText()},
      {{}, 0, kNoDaemon, kMissing + usageText()},
      {{"-f", "root-only"}, 0, kForeground, kMissing + usageText()},
      {{"-x", "-f"}, 0, "option: -? \n" + kForeground, kMissing + usageText()},
      {{"-f", "-l"}, 0, kForeground + "option: -? \n", kMissing + usageText()},
      {{"-e", "-q"}, 0, "Using existing directory\n", kMissing + usageText()},
      {{"-f", "d", "d"},
       0,
       kForeground,
       "vask-root and user-dir must be different \"" + base + "/d\"\n"},
      {{"-f", "d/", base + "/d"},
       0,
       kForeground,
       "vask-root and user-dir must be different \"" + base + "/d\"\n"},
      // The root "/" keeps its slash.
      {{"-f", "/", "/"}, 0, kForeground, "vask-root and user-dir must be different \"/\"\n"},
      {{"-l", base, "r", "m"},
       1,
       "",
       "fopen: Is a directory\nUnable to open logfile " + base + "\n"},
      {{"-l", base + "/no/such/log", "r", "m"},
       1,
       "",
       "fopen: No such file or directory\nUnable to open logfile " + base + "/no/such/log\n"},
      {{"-f", base + "/missing", base + "/d"},
       1,
       kForeground,
       "vaskFS starting at " + base + "/d.\nerror in chdir:: No such file or directory\n"},
      {{"-f", std::string(1100, 'n'), "m"},
       1,
       kForeground,
       "Absolute name of \"" + std::string(1100, 'n') + "\" is longer than 1023 bytes\n"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += " " + a.substr(0, 40);
    SCOPED_TRACE("vaskFScheck" + shown);
    const RunResult r = runChecker(c.args, base);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
  }
}

// A working directory longer than the name buffer cannot be read: a relative
// root or mount point is refused with status 0, an absolute one is not asked.
TEST(CheckStart, WorkingDirectoryThatCannotBeRead) {
  TempDir temp;
  std::string deep = temp.path();
  while (deep.size() < 1100) {
    deep += "/" + std::string(100, 'w');
    ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
  }
  const std::string unable =
      "Unable to get current working path\nYou might try using the absolute path (beginning "
      "with '/') for ";
  RunResult r = runChecker({"-f", "root", "m"}, deep);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kForeground, r.out);
  EXPECT_EQ(unable + "\"root\"\n", r.err);
  r = runChecker({"-f", temp.path(), "m"}, deep);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(unable + "\"m\"\n", r.err);
}

// libfuse 3 knows no "nonempty": with -e the mount fails, and the checker
// still ends with 0 as it does after any end of libfuse.
TEST(CheckStart, ExistingDirectoryOptionMakesTheMountFail) {
  TempDir temp;
  for (const char* dir : {"/r", "/m"}) ASSERT_EQ(0, mkdir((temp.path() + dir).c_str(), 0755));
  const RunResult r = runChecker({"-f", "-e", "r", "m"}, temp.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kForeground + "Using existing directory\nvaskFS closing.\n", r.out);
  EXPECT_EQ(0u, r.err.find("vaskFS starting at " + temp.path() + "/m.\n")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("nonempty")) << r.err;
}

TEST(CheckStart, LogFileIsAppendedAndQuietEndsIt) {
  TempDir temp;
  const std::string log = temp.path() + "/log";
  writeFile(log, "earlier\n");
  // Equal names end the start after the log has been chosen; -q afterwards
  // must leave the file as it was, without it the start line is appended.
  RunResult r = runChecker({"-l", log, "-q", "x", "x"}, temp.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("vaskFScheck log file : " + log + "\n", r.out);
  EXPECT_EQ("earlier\n", readFile(log));
  r = runChecker({"-l", log, "-f", temp.path() + "/missing", temp.path() + "/m"}, temp.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("earlier\nvaskFS starting at " + temp.path() + "/m.\n", readFile(log));
}

}  // namespace
}  // namespace checktest
