// vaskFSconf -E, -I and -x as programs on real indexes: what an export
// prints imports into another index as the same rules, an import replaces
// exactly the lists it names, and a text with one bad rule changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "confdb.h"
#include "testSupport.h"

namespace {

const std::string CONF = VASKFSCONF_PATH;
const std::string VIEWCONF = VASKFSVIEWCONF_PATH;

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

struct Rule {
  const char* db;  // "confW" or "confR"
  int32_t index;
  std::string pattern, target, file, format;
  uint32_t flags = 0;
};

// Writes rules straight into the environment in `dir` through confdb.
void store(const std::string& dir, const std::vector<Rule>& rules) {
  MDB_env* env = nullptr;
  ASSERT_EQ(0, openConfigAt(&env, dir.c_str()));
  for (const Rule& r : rules) {
    ConfigEntry entry;
    entry.index = r.index;
    entry.flags = r.flags;
    entry.pattern = r.pattern;
    entry.targetPattern = r.target;
    entry.fileString = r.file;
    entry.formatString = r.format;
    EXPECT_EQ(0, writeConfigEntry(env, entry, r.db));
  }
  closeIndex(env);
}

// The stored values of both lists of the environment in `dir`, as raw
// bytes per key, so that a difference in any field or in the layout shows.
std::string storedLists(const std::string& dir) {
  MDB_env* env = nullptr;
  if (mdb_env_create(&env) != 0) return "<no env>";
  mdb_env_set_maxdbs(env, 4);
  std::string out;
  if (mdb_env_open(env, dir.c_str(), MDB_RDONLY, 0600) != 0) {
    mdb_env_close(env);
    return "<none>";
  }
  for (const char* db : {"confW", "confR"}) {
    out += std::string("[") + db + "]";
    MDB_txn* txn = nullptr;
    MDB_dbi dbi;
    MDB_cursor* cursor = nullptr;
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    if (mdb_dbi_open(txn, db, MDB_INTEGERKEY, &dbi) == 0 &&
        mdb_cursor_open(txn, dbi, &cursor) == 0) {
      MDB_val key, value;
      for (int rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST); rc == 0;
           rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
        int32_t index = 0;
        std::memcpy(&index, key.mv_data, sizeof index);
        out += " " + std::to_string(index) + "=" +
               std::string(static_cast<const char*>(value.mv_data), value.mv_size);
      }
      mdb_cursor_close(cursor);
    }
    mdb_txn_abort(txn);
  }
  mdb_env_close(env);
  return out;
}

const std::string BIN_W = "write.bin(file='')";
const std::string BIN_R = "read.bin(file='')";
const std::string BIN_F = "format.bin()";

// Rules whose texts need every kind of quoting, all of them accepted by the
// syntax check.
const std::vector<Rule> AWKWARD = {
    {"confW", 1, "*.txt", "[copy].gz", "write.text(file='' comp.gzip())",
     "format.text(ccsid='UTF-8' method=LF)", CONFIG_FLAG_USE_IR},
    {"confW", 2, "it's \"quoted\"\tand\nbroken", "[path]/it''s [base] \\ \"x\"",
     "write.bin(file='' encr.age(passphrase='it''s \"x\"\ty\nz \\ #'))", BIN_F, 0x11},
    {"confW", 0x40000003, "disabled/*", "", BIN_W, "format.bin(\n)", 0},
    {"confW", 0, "rule zero", "[copy]", BIN_W, BIN_F, 0xFFFFFFFF},
    {"confW", -5, "bit 31", "# not a comment", BIN_W, BIN_F, 2},
    {"confR", 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", BIN_F, 0},
    {"confR", 7, "\x01\x7f \xc3\xa4 \xff", "[copy]", "read.text(file='' ccsid='IBM-1047')",
     "format.text(ccsid='UTF-8')", 0},
};

class ExchangeTest : public testing::Test {
 protected:
  std::string index(const TempDir& root) const { return root.path() + "/.vaskIndex"; }

  TempDir a, b;
};

TEST_F(ExchangeTest, AnExportImportsAsTheSameRules) {
  store(index(a), AWKWARD);
  store(index(a) + "/pub", {{"confR", 1, "*", "[copy]", "read.auto(file='')", BIN_F}});
  Rule second = AWKWARD[1];
  second.db = "confR";
  store(index(a) + "/b view \"2\"", {second, AWKWARD[6]});
  store(index(a) + "/empty", {});
  // A directory without an environment is no view.
  ASSERT_EQ(0, mkdir((index(a) + "/unused").c_str(), 0700));

  const Outcome exported = run(CONF, {"-E", a.path()});
  ASSERT_EQ(0, exported.status) << exported.err;
  EXPECT_EQ("", exported.err);
  EXPECT_EQ(std::string::npos, exported.out.find("unused"));
  const std::string text = b.path() + "/rules.txt";
  spit(text, exported.out);

  // Into an index outside any root, from a file and from standard input.
  const std::string fromFile = b.path() + "/idx1";
  const std::string fromInput = b.path() + "/idx2";
  Outcome r = run(CONF, {"-I", text, "-x", fromFile});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("import rules into " + fromFile +
                "\n[write]: 5 rules\n[read]: 2 rules\n[view \"b view \\\"2\\\"\"]: 2 rules\n"
                "[view \"empty\"]: 0 rules\n[view \"pub\"]: 1 rule\n",
            r.out);
  r = run(CONF, {"-x", fromInput, "-I", "-"}, text);
  ASSERT_EQ(0, r.status) << r.err;

  for (const std::string& copy : {fromFile, fromInput}) {
    for (const char* env : {"", "/pub", "/b view \"2\"", "/empty"}) {
      EXPECT_EQ(storedLists(index(a) + env), storedLists(copy + env)) << copy << env;
    }
    r = run(CONF, {"-E", "-x", copy});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(exported.out, r.out);
  }
  EXPECT_FALSE(exists(b.path() + "/.vaskIndex"));

  // The view tool exports one view, and imports it under another name.
  r = run(VIEWCONF, {"-E", a.path(), "pub"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("# vaskFS rules")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\n[view \"pub\"]\n\nrule 1 enabled\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("\n[write]\n")) << r.out;
  spit(text, r.out);
  r = run(VIEWCONF, {"-x", fromFile, "-I", text, "copy"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("import rules into " + fromFile + "/copy\n[view \"copy\"]: 1 rule\n", r.out);
  EXPECT_EQ(storedLists(index(a) + "/pub"), storedLists(fromFile + "/copy"));
}

TEST_F(ExchangeTest, AnImportReplacesTheListsItNamesAndKeepsTheOthers) {
  store(index(b), {{"confW", 1, "old1", "", BIN_W, BIN_F},
                   {"confW", 2, "old2", "", BIN_W, BIN_F},
                   {"confW", 0x40000009, "old9", "", BIN_W, BIN_F},
                   {"confR", 4, "kept", "", BIN_R, BIN_F}});
  store(index(b) + "/old", {{"confR", 1, "kept too", "", BIN_R, BIN_F}});
  store(index(b) + "/pub", {{"confR", 5, "gone", "", BIN_R, BIN_F}});
  const std::string read = storedLists(index(b));
  const std::string old = storedLists(index(b) + "/old");

  const std::string text = a.path() + "/rules.txt";
  spit(text,
       "# only the write rules and one view\n"
       "[write]\nrule 2\n  pattern \"new2\"\n  file \"write.bin(file='')\"\n"
       "  format \"format.bin()\"\n"
       "[view \"pub\"]\n");
  Outcome r = run(CONF, {"-I", text, b.path()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("import rules into " + index(b) + "\n[write]: 1 rule\n[view \"pub\"]: 0 rules\n",
            r.out);

  r = run(CONF, {"-l", b.path()});
  EXPECT_EQ(
      "list entries in " + b.path() + "\n  2,enabled,noIR:new2::" + BIN_W + ":" + BIN_F + "\n",
      r.out);
  EXPECT_EQ(read.substr(read.find("[confR]")),
            storedLists(index(b)).substr(storedLists(index(b)).find("[confR]")));
  EXPECT_EQ(old, storedLists(index(b) + "/old"));
  EXPECT_EQ("[confW][confR]", storedLists(index(b) + "/pub"));
}

TEST_F(ExchangeTest, OneBadRuleChangesNothingAndIsNamed) {
  store(index(b), {{"confW", 1, "w", "", BIN_W, BIN_F}, {"confR", 1, "r", "", BIN_R, BIN_F}});
  store(index(b) + "/pub", {{"confR", 1, "v", "", BIN_R, BIN_F}});
  const std::string before = storedLists(index(b));
  const std::string beforeView = storedLists(index(b) + "/pub");

  const std::string good =
      "[write]\nrule 1\n  pattern \"a\"\n  file \"write.bin(file='')\"\n  format \"format.bin()\"\n"
      "[read]\nrule 1\n  pattern \"a\"\n  file \"read.bin(file='')\"\n  format \"format.bin()\"\n"
      "[view \"pub\"]\nrule 1\n  pattern \"a\"\n  file \"read.bin(file='')\"\n"
      "  format \"format.bin()\"\n";
  const struct {
    const char* name;
    std::string text;
    int status;
    std::vector<std::string> errors;  // in this order on standard error
  } cases[] = {
      {"unknown choice in a view",
       good + "[view \"new\"]\n\nrule 3 disabled\n  pattern \"a\"\n"
              "  file \"read.bin(file='' comp.gzap())\"\n  format \"format.bin()\"\n",
       87,
       {"unknown choice 'gzap'",
        "rules.txt:18: rule 3 disabled in [view \"new\"]: its file or "
        "format string fails the check above\n",
        "import aborted: 1 rule with errors, no index was changed\n"}},
      {"no empty file name in a write rule",
       "[write]\nrule 4\n  pattern \"a\"\n  file \"write.bin(file='x')\"\n  format "
       "\"format.bin()\"\n" +
           good.substr(good.find("[read]")),
       255,
       {"file string does NOT contain an empty file name specification.\n",
        "rules.txt:2: rule 4 in [write]: its file or format string fails the check above\n"}},
      {"two bad rules, both named",
       "[write]\nrule 1\n  pattern \"a\"\n  file \"write.bin(file='' level=3)\"\n"
       "  format \"format.bin()\"\n[read]\nrule 2\n  pattern \"a\"\n"
       "  file \"read.bin(file='')\"\n  format \"format.text(ccsid=8)\"\n",
       87,
       {"rules.txt:2: rule 1 in [write]: its file or format string fails the check above\n",
        "rules.txt:7: rule 2 in [read]: its file or format string fails the check above\n",
        "import aborted: 2 rules with errors, no index was changed\n"}},
      {"a list given twice",
       good + "[read]\n",
       255,
       {"rules.txt:16: [read] is given twice (first on line 6)\n"
        "import aborted, no index was changed\n"}},
      {"format without a dot in the read rules",
       "[view \"new\"]\n" + good.substr(good.find("rule 1")) +
           "rule 2\n  pattern \"b\"\n"
           "  file \"read.bin(file='')\"\n  format \"bin\"\n",
       255,
       {"illegal format string\n", "rules.txt:16: rule 2 in [view \"pub\"]"}},
      {"a rule without a pattern",
       good + "rule 9\n  file \"x\"\n  format \"y\"\n",
       255,
       {"rules.txt:16: rule 9 in [view \"pub\"] has no pattern\n"}},
  };
  for (const auto& c : cases) {
    const std::string text = a.path() + "/rules.txt";
    spit(text, c.text);
    const Outcome r = run(CONF, {"-I", text, b.path()});
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    EXPECT_EQ("", r.out) << c.name;
    size_t at = 0;
    for (const std::string& e : c.errors) {
      const size_t found = r.err.find(e, at);
      EXPECT_NE(std::string::npos, found) << c.name << ": no\n" << e << "\nin\n" << r.err;
      if (found != std::string::npos) at = found + e.size();
    }
    EXPECT_EQ(before, storedLists(index(b))) << c.name;
    EXPECT_EQ(beforeView, storedLists(index(b) + "/pub")) << c.name;
    EXPECT_FALSE(exists(index(b) + "/new")) << c.name;
  }
  // The good text alone goes in.
  spit(a.path() + "/rules.txt", good);
  EXPECT_EQ(0, run(CONF, {"-I", a.path() + "/rules.txt", b.path()}).status);
  EXPECT_NE(before, storedLists(index(b)));
}

TEST_F(ExchangeTest, RefusedRequests) {
  store(index(b), {{"confW", 1, "w", "", BIN_W, BIN_F}});
  const std::string text = a.path() + "/rules.txt";
  spit(text, "[write]\n[read]\n");
  const struct {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {"export of a root without index",
       CONF,
       {"-E", a.path()},
       ENOENT,
       "no index in " + index(a) + "\n"},
      {"export of a missing view",
       VIEWCONF,
       {"-E", b.path(), "nosuch"},
       ENOENT,
       "no index in " + index(b) + "/nosuch\n"},
      {"import of a missing file",
       CONF,
       {"-I", a.path() + "/none", b.path()},
       255,
       "Unable to read " + a.path() + "/none: No such file or directory\n"},
      {"a view takes one list of read rules",
       VIEWCONF,
       {"-I", text, b.path(), "v"},
       255,
       text + ":2: a view has read rules only: the text must hold one list, [read] or "
              "[view \"name\"]\nimport aborted, no index was changed\n"},
      {"-x without a directory",
       CONF,
       {"-x", "", "-l"},
       255,
       "-x needs the directory of the index\n\n"},
      {"neither confRoot nor -x", CONF, {"-E"}, 255, "confRoot is missing\n\n"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.program, c.args);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    EXPECT_EQ(0u, r.err.find(c.err)) << c.name << "\n" << r.err;
  }
  EXPECT_FALSE(exists(index(a)));
  EXPECT_FALSE(exists(index(b) + "/v"));
  EXPECT_FALSE(exists(index(b) + "/nosuch"));
}

// -x names the index: confRoot may be left out, and a root given beside it
// is not touched.
TEST_F(ExchangeTest, TheIndexNamedByXStandsForTheRootsIndex) {
  const std::string dir = a.path() + "/index";
  const std::vector<std::string> rule = {"-i", "1", "-p", "*", "-s", BIN_W, "-f", BIN_F};
  std::vector<std::string> args = rule;
  args.insert(args.end(), {"-x", dir});
  Outcome r = run(CONF, args);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("set entry in " + dir + "\n", r.out);
  args.push_back(b.path());
  args[1] = "2";
  ASSERT_EQ(0, run(CONF, args).status);
  EXPECT_FALSE(exists(index(b)));

  r = run(CONF, {"-l", "-x", dir});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("list entries in " + dir + "\n  1,enabled,noIR:*::" + BIN_W + ":" + BIN_F + "\n  2," +
                "enabled,noIR:*::" + BIN_W + ":" + BIN_F + "\n",
            r.out);

  // The view tool: one name left is the view's; two are confRoot and view.
  std::vector<std::string> view = {"-x", dir, "-i", "3", "-p", "*", "-s", BIN_R, "-f", BIN_F};
  view.push_back("pub");
  r = run(VIEWCONF, view);
  ASSERT_EQ(0, r.status) << r.err;
  r = run(VIEWCONF, {"-x", dir, "-l", b.path(), "pub"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "list entries of view pub in " + dir + "\n  3,enabled,noIR:*::" + BIN_R + ":" + BIN_F + "\n",
      r.out);
  r = run(VIEWCONF, {"-x", dir, "-v"});
  EXPECT_EQ("pub\tconfigured\n", r.out);
  r = run(CONF, {"-x", dir, "-V", b.path()});
  EXPECT_EQ("pub\tconfigured\n  3:0:*::" + BIN_R + ":" + BIN_F + "\n", r.out);
  EXPECT_FALSE(exists(index(b)));
}

}  // namespace
