// vaskFSconf and vaskFSviewconf run as programs on temporary roots: their
// standard output, standard error and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testSupport.h"

namespace {

const std::string CONF = VASKFSCONF_PATH;
const std::string VIEWCONF = VASKFSVIEWCONF_PATH;
const std::string NOTFOUND_TEXT = "MDB_NOTFOUND: No matching key/data pair found";

const std::string TEXT_RULE = "write.text(file='' ccsid='IBM-1047' method=NL)";
const std::string TEXT_FORMAT = "format.text(ccsid='UTF-8')";

std::string usage(const std::string& program, bool view) {
  std::string text = "Usage: " + program + " [-hlLvVE] " + (view ? "" : "[-c r|w] ") +
                     "[-x indexDir] [-I file | -d index | -m index -n new-index | -i index "
                     "[-o flags] -p pattern -t targetPattern -s fileString -f formatStr] confRoot" +
                     (view ? " view-name" : "") + "\n\n\t-h\tthis help\n";
  if (!view) text += "\t-c\tselect read or write configuration [default: write]\n";
  text += view ? "\t-x\tuse the index in indexDir/view-name, not in "
                 "confRoot/.vaskIndex/view-name;\n\t\tconfRoot may then be left out\n"
               : "\t-x\tuse the index in indexDir, not in confRoot/.vaskIndex; confRoot may "
                 "then be left out\n";
  const std::string exchange =
      view ? "\t-E\texport the rules of the view as text to standard output\n"
             "\t-I\timport the rules of the view from file (- for standard input);\n"
             "\t\tthey replace all its rules\n"
           : "\t-E\texport all rules (write, read and every view's) as text to standard "
             "output\n\t-I\timport rules from file (- for standard input); each list the text "
             "names\n\t\tis replaced by its rules, other lists are kept\n";
  return text +
         "\t-d\tdelete config entry\n\t-l|-L\tlist all config entries\n"
         "\t-v\tlist view names of confRoot\n\t-V\tlist all entries of all views of confRoot\n"
         "\t-m\tmove config entry from index to new-index\n\t-i\tindex to store config entry\n"
         "\t-o\tset config option flags\n\t-p\tset file name pattern\n"
         "\t-t\tset target pattern to build physical filename\n\t-s\tset file string\n"
         "\t-f\tset format string\n" +
         exchange;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class VaskFSconfTest : public testing::Test {
 protected:
  // Sets a text rule at `index` with the given extra options.
  Outcome set(const std::string& index, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-i", index,     "-p", "*.txt",
                                     "-s", TEXT_RULE, "-f", TEXT_FORMAT};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(root.path());
    return run(CONF, args);
  }

  TempDir root;
};

// Stores a value as another writer of the index might have left it.
void putRaw(const std::string& root, int32_t index, const std::string& value) {
  MDB_env* env = nullptr;
  ASSERT_EQ(mdb_env_create(&env), 0);
  ASSERT_EQ(mdb_env_set_maxdbs(env, 4), 0);
  EXPECT_EQ(mdb_env_open(env, (root + "/.vaskIndex").c_str(), 0, 0600), 0);
  EXPECT_EQ(rawPut(env, "confW", index, value), 0);
  mdb_env_close(env);
}

}  // namespace

TEST_F(VaskFSconfTest, UsageAndMissingArguments) {
  Outcome r = run(CONF, {});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "confRoot is missing\n\n" + usage(CONF, false));

  r = run(CONF, {"-h", root.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, usage(CONF, false));
  r = run(VIEWCONF, {"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, usage(VIEWCONF, true));

  r = run(VIEWCONF, {"-l", root.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "view-name is missing\n\n" + usage(VIEWCONF, true));
}

TEST_F(VaskFSconfTest, SetRefusesMissingFieldsAndBadNumbers) {
  const std::string missing = "please specify all required fields to set an entry\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-i", "0", "-p", "*", "-s", TEXT_RULE, "-f", TEXT_FORMAT}, missing},
      {{"-i", "abc", "-p", "*", "-s", TEXT_RULE, "-f", TEXT_FORMAT}, missing},
      {{"-p", "*", "-s", TEXT_RULE, "-f", TEXT_FORMAT}, missing},
      {{"-i", "1", "-s", TEXT_RULE, "-f", TEXT_FORMAT}, missing},
      {{"-i", "1", "-p", "*", "-f", TEXT_FORMAT}, missing},
      {{"-i", "1", "-p", "*", "-s", TEXT_RULE}, missing},
      {{"-i", "1", "-p", "", "-s", TEXT_RULE, "-f", TEXT_FORMAT}, missing},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(root.path());
    const Outcome r = run(CONF, args);
    EXPECT_EQ(r.status, 255) << args[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + usage(CONF, false));
  }
  const struct {
    std::vector<std::string> args;
    std::string err;
  } numbers[] = {
      {{"-i", "99999999999999999999"}, "Illegal index 99999999999999999999\n"},
      {{"-d", "-99999999999999999999"}, "Illegal index -99999999999999999999\n"},
      {{"-m", "1", "-n", "99999999999999999999"}, "Illegal index 99999999999999999999\n"},
      {{"-i", "1", "-o", "99999999999999999999"}, "Illegal flags 99999999999999999999\n"},
  };
  for (const auto& c : numbers) {
    std::vector<std::string> args = c.args;
    args.push_back(root.path());
    const Outcome r = run(CONF, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(exists(root.path() + "/.vaskIndex"));
}

TEST_F(VaskFSconfTest, SyntaxErrorsStopTheSet) {
  Outcome r = set("1", {"-f", "format"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "illegal format string\naborted with error in format string.\n");
  r = set("1", {"-s", "write.text(file='' ccsid=IBM-1047)"});
  EXPECT_EQ(r.status, 87);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("CLP-PARSER  : .text(file='' ccsid=I\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - 37), "aborted with error in format string.\n");
  EXPECT_FALSE(exists(root.path() + "/.vaskIndex"));
}

TEST_F(VaskFSconfTest, SetListMoveAndDelete) {
  const std::string target = "[path]/[base].ebc";
  // 2^32 + 3 keeps its low 32 bits; without -t the target pattern is empty.
  Outcome r = set("4294967299", {"-t", target, "-o", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "set entry in " + root.path() + "\n");
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(set("1073741829", {"-p", "*.log"}).status, 0);

  r = run(CONF, {"-l", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n" + "  3,enabled,useIR:*.txt:" + target +
                       ":" + TEXT_RULE + ":" + TEXT_FORMAT + "\n" +
                       "  5,disabled,noIR:*.log::" + TEXT_RULE + ":" + TEXT_FORMAT + "\n");
  r = run(CONF, {"-L", root.path()});
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n" + "  3:1:*.txt:" + target + ":" +
                       TEXT_RULE + ":" + TEXT_FORMAT + "\n" + "1073741829:0:*.log::" + TEXT_RULE +
                       ":" + TEXT_FORMAT + "\n");

  // Enable rule 5 by moving it, then move it onto rule 3.
  r = run(CONF, {"-m", "1073741829", "-n", "5", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "move entry in " + root.path() + " from 1073741829 to 5\n");
  r = run(CONF, {"-m", "5", "-n", "3", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run(CONF, {"-l", root.path()});
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n" +
                       "  3,enabled,noIR:*.log::" + TEXT_RULE + ":" + TEXT_FORMAT + "\n");

  r = run(CONF, {"-m", "7", "-n", "3", root.path()});
  EXPECT_EQ(r.status, 178);
  EXPECT_EQ(r.err, "failed to get move index 7: " + NOTFOUND_TEXT + "\n");

  r = run(CONF, {"-d", "5", root.path()});
  EXPECT_EQ(r.status, 178);
  EXPECT_EQ(r.out, "delete entry in " + root.path() + "\n");
  EXPECT_EQ(r.err, "failed to delete index 5 -> " + NOTFOUND_TEXT + "\n");
  r = run(CONF, {"-d", "3", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run(CONF, {"-L", root.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n");
}

TEST_F(VaskFSconfTest, ReadOrWriteRulesAreChosenByC) {
  // -c w cannot undo -c r; unknown options are reported by getopt and ignored.
  Outcome r = set("1", {"-c", "r", "-y", "-c", "w"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("invalid option -- 'y'"), std::string::npos) << r.err;
  r = run(CONF, {"-c", "R", "-l", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  1,enabled,noIR:*.txt:"), std::string::npos) << r.out;

  r = run(CONF, {"-l", root.path()});
  EXPECT_EQ(r.status, 178);
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n");
  EXPECT_EQ(r.err, "mdb_dbi_open " + root.path() + " confW failed: " + NOTFOUND_TEXT + "\n");
}

TEST_F(VaskFSconfTest, ViewToolWorksOnTheReadRulesOfOneView) {
  const std::string index = root.path() + "/.vaskIndex";
  std::vector<std::string> args = {"-c",        "w",
                                   "-i",        "1",
                                   "-p",        "*",
                                   "-t",        "[copy]",
                                   "-s",        "read.auto(file='')",
                                   "-f",        "format.bin()",
                                   root.path(), "pub"};
  // The root's own index has to exist before a view can be made.
  Outcome r = run(VIEWCONF, args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "set entry in " + root.path() + "\n");
  EXPECT_EQ(r.err, "failed to create " + index + "/pub -> No such file or directory\n" +
                       "Failed to open " + index + "/pub: Unknown error -1\n");

  ASSERT_EQ(set("1").status, 0);
  r = run(VIEWCONF, args);
  EXPECT_EQ(r.status, 0) << r.err;
  r = run(VIEWCONF, {"-l", root.path(), "pub"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "list entries of view pub in " + root.path() + "\n" +
                       "  1,enabled,noIR:*:[copy]:read.auto(file=''):format.bin()\n");
  // The root's read rules are untouched by the view.
  r = run(CONF, {"-c", "r", "-l", root.path()});
  EXPECT_EQ(r.status, 178);

  // Views: configured, without lock.mdb, with lock.mdb as a directory, hidden
  // directories and plain files skipped.
  ASSERT_EQ(mkdir((index + "/nolock").c_str(), 0700), 0);
  std::ofstream(index + "/nolock/data.mdb") << "x";
  ASSERT_EQ(mkdir((index + "/lockdir").c_str(), 0700), 0);
  std::ofstream(index + "/lockdir/data.mdb") << "x";
  ASSERT_EQ(mkdir((index + "/lockdir/lock.mdb").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((index + "/.hidden").c_str(), 0700), 0);
  std::ofstream(index + "/plain") << "x";

  for (const std::string& program : {CONF, VIEWCONF}) {
    r = run(program, {"-v", root.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"lockdir\twithout configuration",
                                        "nolock\twithout configuration", "pub\tconfigured"}));
  }
  r = run(CONF, {"-V", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("pub\tconfigured\n  1:0:*:[copy]:read.auto(file=''):format.bin()\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("nolock\twithout configuration\n"), std::string::npos) << r.out;

  TempDir bare;
  r = run(CONF, {"-v", bare.path()});
  EXPECT_EQ(r.status, ENOENT);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Unable to open " + bare.path() + "\n");
}

TEST_F(VaskFSconfTest, ListsOlderLayoutsWithAWarningAndStopsAtACorruptValue) {
  ASSERT_EQ(set("1", {"-o", "7"}).status, 0);
  const std::string strings = le32(1) + "p" + le32(2) + "w." + le32(2) + "f." + le32(1) + "t";
  putRaw(root.path(), 2, le32(20180300) + strings);
  putRaw(root.path(), 3, strings);

  // The older layouts carry no flags: they show those of the entry before.
  const std::string head = "list entries in " + root.path() + "\n" +
                           "  1,enabled,useIR:*.txt::" + TEXT_RULE + ":" + TEXT_FORMAT + "\n";
  Outcome r = run(CONF, {"-l", root.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, head + "  2,enabled,useIR:p:t:w.:f.\n  3,enabled,useIR:p:t:w.:f.\n");
  EXPECT_EQ(r.err,
            "WARNING: read config entry VERSION 20180300 but expected: 20180507\n"
            "WARNING: read config entry VERSION 1 but expected: 20180507\n");

  // A value whose pattern length runs past its end ends the listing there.
  putRaw(root.path(), 2, le32(20180507) + le32(1000) + "p");
  r = run(CONF, {"-L", root.path()});
  EXPECT_EQ(r.status, MDB_CORRUPTED & 0xFF);
  EXPECT_EQ(r.out, "list entries in " + root.path() + "\n" + "  1:7:*.txt::" + TEXT_RULE + ":" +
                       TEXT_FORMAT + "\n");
  EXPECT_EQ(r.err,
            "config entry 2 is corrupt: its lengths run past the 9 bytes stored\n"
            "readConfEntry failed: " +
                std::to_string(MDB_CORRUPTED) + "\n");
}
