// The command line: messages and exit statuses of runs that end by
// themselves, without a mount.
#include <sys/stat.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

struct StartCase {
  const char* name;
  bool view;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> expected;  // texts standard error must hold, in order
};

class StartTest : public DaemonTest {};

TEST_F(StartTest, MessagesAndExitStatuses) {
  ASSERT_EQ(0, mkdir((root_ + "/.vaskIndex").c_str(), 0700));
  ASSERT_EQ(0, mkdir((root_ + "/.vaskIndex/public").c_str(), 0700));
  ASSERT_EQ(0, mkdir((root_ + "/.vaskIndex/archive").c_str(), 0700));
  ASSERT_EQ(0, mkdir((temp_.path() + "/data").c_str(), 0755));
  const std::string usage =
      "Usage: " VASKFS_BINARY
      " [-h] | [-l log-file] [-L log-level] [-b blocksize] [-f] [-s] [-q] /vask-root /user-dir\n"
      "       " VASKFS_BINARY " ABOUT\n       " VASKFS_BINARY " VERSION\n\n\t-h\tthis help\n";
  const std::string w = temp_.path();
  const StartCase cases[] = {
      {"no argument", false, {}, 255, {usage, "HINT: Type 'man " VASKFS_BINARY "' for more"}},
      {"version",
       false,
       {"VERSION"},
       0,
       {"00 " VASKFS_BINARY " VERSION: 5.1.4-32853 BUILD: RELEASE "}},
      {"about",
       false,
       {"about"},
       0,
       {"about program '" VASKFS_BINARY "':\n00 ", "--| Lightning memory-mapped database library",
        "Version LMDB 0.9.70: (December 19, 2015) based on OpenLDAP License",
        "--| libfuse Version 2 based on LGPL", "And the VASK byte interface:\nxiobyt "}},
      {"keyword only first", false, {"-f", "version"}, 1, {"Missing arguments"}},
      {"help", false, {"-h"}, 1, {usage}},
      {"bad level",
       false,
       {"-L", "loud", "r", "m"},
       1,
       {"Unkown log-level: loud\nChoose one of error, info, debug or trace\n"}},
      {"log unopenable",
       false,
       {"-l", w + "/no/such/dir/log", "r", "m"},
       1,
       {"fopen: No such file or directory\nUnable to open logfile " + w + "/no/such/dir/log\n"}},
      {"missing mount point",
       false,
       {"-q", "r"},
       1,
       {"Missing arguments: vask-root and/or user-dir, aka mountpoint\n", usage}},
      {"same after absolute",
       false,
       {"-f", "data/", "data"},
       1,
       {"vaskFS not running as a daemon\n", "wdir = " + w + "\nd = " + w + "\n",
        "vask-root and user-dir must be different \"" + w + "/data\"\n"}},
      {"unknown option",
       false,
       {"-x", "-f", "same", "same"},
       1,
       {"ignored option: -x \n", "must be different"}},
      {"view without name",
       true,
       {"root", "m"},
       1,
       {"missing view-name\nlist of views in root:\n", "\tpublic\n", "\tarchive\n"}},
      {"view without index",
       true,
       {"data", "m"},
       1,
       {"missing view-name\nUnabel to open index of data\n"}},
      {"missing view index",
       true,
       {"-f", "root", "data", "nosuch"},
       2,
       {"Failed to open " + w + "/root/.vaskIndex/nosuch: No such file or directory\n"}},
  };
  for (const StartCase& c : cases) {
    const RunResult r =
        checktest::runProgram(c.view ? VASKFS_VIEW_BINARY : VASKFS_BINARY, c.args, w);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    size_t at = 0;
    for (const std::string& text : c.expected) {
      const size_t found = r.err.find(text, at);
      EXPECT_NE(std::string::npos, found) << c.name << ": no \"" << text << "\" in\n" << r.err;
      if (found != std::string::npos) at = found + text.size();
    }
  }
  // A view never creates its index; the failed start leaves nothing behind.
  struct stat st;
  EXPECT_NE(0, stat((root_ + "/.vaskIndex/nosuch").c_str(), &st));
}

// "-b" is not an option: its value is the root, and the rest goes to libfuse.
TEST_F(StartTest, BlocksizeIsAnIgnoredOption) {
  ASSERT_EQ(0, mkdir((temp_.path() + "/64").c_str(), 0755));
  ASSERT_EQ(0, mkdir((temp_.path() + "/r").c_str(), 0755));
  const RunResult r = checktest::runProgram(VASKFS_BINARY, {"-b", "64", "r", "m"}, temp_.path());
  EXPECT_NE(std::string::npos, r.err.find("ignored option: -b \n")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("to run as daemon, specify a logfile.\n")) << r.err;
  struct stat st;
  EXPECT_EQ(0, stat((temp_.path() + "/64/.vaskIndex").c_str(), &st)) << r.err;
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_NE(0, r.status);  // libfuse refuses the extra argument m
}

}  // namespace
}  // namespace daemontest
