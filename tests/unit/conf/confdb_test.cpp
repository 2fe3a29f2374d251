// The configuration index against real LMDB environments in temporary roots.
#include "confdb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "testSupport.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string NOTFOUND_TEXT = "MDB_NOTFOUND: No matching key/data pair found";

ConfigEntry makeEntry(int32_t index, const std::string& pattern, const std::string& target = "",
                      uint32_t flags = 0) {
  ConfigEntry entry;
  initConfEntry(entry);
  entry.index = index;
  entry.flags = flags;
  entry.pattern = pattern;
  entry.fileString = "write.text(file='' ccsid='IBM-1047' method=NL)";
  entry.formatString = "format.text(ccsid='UTF-8')";
  entry.targetPattern = target;
  return entry;
}

class ConfdbTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openConfig(&env, root.path().c_str(), nullptr), 0); }
  void TearDown() override { closeIndex(env); }

  // Every index of `db` in iteration order, through readFirstEntry/readNextEntry.
  std::vector<int32_t> indices(const char* db) {
    std::vector<int32_t> out;
    ConfigCursor iter;
    iter.env = env;
    ConfigEntry entry;
    initConfEntry(entry);
    int rc = readFirstEntry(iter, entry, db);
    while (rc == 0) {
      out.push_back(entry.index);
      rc = readNextEntry(iter, entry);
    }
    EXPECT_EQ(rc, MDB_NOTFOUND);
    EXPECT_EQ(iter.txn, nullptr);
    EXPECT_EQ(iter.cursor, nullptr);
    return out;
  }

  // Reads the one entry of `db` into `entry`; returns the reader's result.
  int readOnly(const char* db, ConfigEntry& entry) {
    ConfigCursor iter;
    iter.env = env;
    const int rc = readFirstEntry(iter, entry, db);
    closeConfigCursor(iter);
    return rc;
  }

  TempDir root;
  MDB_env* env = nullptr;
};

// The bytes of the current layout, spelled out by hand.
const std::string SMALL_VALUE = std::string("\x1B\xEE\x33\x01", 4)      // version 20180507
                                + std::string("\x01\0\0\0", 4) + "a"    // pattern
                                + std::string("\x03\0\0\0", 4) + "w.x"  // file string
                                + std::string("\x02\0\0\0", 4) + "f."   // format string
                                + std::string("\0\0\0\0", 4)            // empty target
                                + std::string("\x05\0\0\x80", 4);       // flags

std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

TEST_F(ConfdbTest, StoredLayoutMatchesTheDumpAndDirectReads) {
  ConfigEntry small;
  initConfEntry(small);
  small.index = 7;
  small.flags = 0x80000005;
  small.pattern = "a";
  small.fileString = "w.x";
  small.formatString = "f.";
  ASSERT_EQ(writeConfigEntry(env, small, "confW"), 0);
  ConfigEntry big = makeEntry(-2, "*.txt", "[path]/[base].ebc", 1);
  ASSERT_EQ(writeConfigEntry(env, big, "confW"), 0);

  int rc = 0;
  EXPECT_EQ(rawGet(env, "confW", 7, &rc), SMALL_VALUE);
  EXPECT_EQ(rc, 0);
  const std::string bigValue = le32(20180507) + le32(5) + "*.txt" + le32(46) + big.fileString +
                               le32(26) + big.formatString + le32(17) + big.targetPattern + le32(1);
  EXPECT_EQ(rawGet(env, "confW", -2, &rc), bigValue);
  EXPECT_EQ(bigValue.size(), 24 + 5 + 46 + 26 + 17u);

  // The dump tool of the index library is an independent reader of the file.
  closeIndex(env);
  env = nullptr;
  int status = 0;
  const std::string dump =
      commandOutput("mdb_dump -s confW '" + root.path() + "/.vaskIndex' 2>&1", &status);
  ASSERT_EQ(status, 0) << "mdb_dump (lmdb-utils) must be installed: " << dump;
  std::istringstream lines(dump.substr(dump.find("HEADER=END\n") + 11));
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line) && line != "DATA=END";)
    records.push_back(line.substr(1));
  EXPECT_EQ(records, (std::vector<std::string>{"07000000", hexOf(SMALL_VALUE), "feffffff",
                                               hexOf(bigValue)}));
  ASSERT_EQ(openConfig(&env, root.path().c_str(), nullptr), 0);
}

TEST_F(ConfdbTest, EntryRoundTripsWithEmptyTargetPattern) {
  ConfigEntry written = makeEntry(3, "dir/*.log", "", 0xABCD);
  ASSERT_EQ(writeConfigEntry(env, written, "confR"), 0);
  int rc = 0;
  EXPECT_EQ(rawGet(env, "confR", 3, &rc).size(),
            24 + written.pattern.size() + written.fileString.size() + written.formatString.size());

  ConfigEntry read;
  initConfEntry(read);
  read.isSet = 1;
  read.targetPattern = "left over";
  CaptureStderr();
  ASSERT_EQ(readOnly("confR", read), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(read.index, 3);
  EXPECT_EQ(read.flags, 0xABCDu);
  EXPECT_EQ(read.isSet, 1);  // the reader leaves the match mark alone
  EXPECT_EQ(read.pattern, written.pattern);
  EXPECT_EQ(read.fileString, written.fileString);
  EXPECT_EQ(read.formatString, written.formatString);
  EXPECT_EQ(read.targetPattern, "");
}

TEST_F(ConfdbTest, OlderLayoutsAreReadWithAWarning) {
  const std::string strings =
      le32(12) + "abcdefghijkl" + le32(2) + "w." + le32(2) + "f." + le32(3) + "tgt";
  struct Case {
    const char* name;
    std::string value;
    uint32_t flagsAfter;  // the record starts with flags 0x55
    std::string pattern;
    uint32_t version;  // 0: no warning
  };
  const Case cases[] = {
      {"no version word, first word 12", strings, 0x55, "abcdefghijkl", 12},
      {"version without flags", le32(20180506) + strings, 0x55, "abcdefghijkl", 20180506},
      {"lowest version word", le32(20180102) + strings, 0x55, "abcdefghijkl", 20180102},
      {"newer version word", le32(20190000) + strings + le32(9), 9, "abcdefghijkl", 20190000},
      {"current", le32(20180507) + strings + le32(9), 9, "abcdefghijkl", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(rawPut(env, "confR", 4, c.value), 0);
    ConfigEntry entry;
    initConfEntry(entry);
    entry.flags = 0x55;
    CaptureStderr();
    ASSERT_EQ(readOnly("confR", entry), 0);
    const std::string warning = c.version == 0
                                    ? ""
                                    : "WARNING: read config entry VERSION " +
                                          std::to_string(c.version) + " but expected: 20180507\n";
    EXPECT_EQ(GetCapturedStderr(), warning);
    EXPECT_EQ(entry.index, 4);
    EXPECT_EQ(entry.flags, c.flagsAfter);
    EXPECT_EQ(entry.pattern, c.pattern);
    EXPECT_EQ(entry.fileString, "w.");
    EXPECT_EQ(entry.formatString, "f.");
    EXPECT_EQ(entry.targetPattern, "tgt");
  }
}

TEST_F(ConfdbTest, ValuesWhoseLengthsRunPastTheirEndAreRefused) {
  // Every truncation of a valid value, lengths far beyond the value, and a
  // first word just at the no-version boundary (read as a huge length).
  std::vector<std::string> values;
  for (size_t n = 0; n < SMALL_VALUE.size(); ++n) values.push_back(SMALL_VALUE.substr(0, n));
  values.push_back(le32(20180507) + le32(0xFFFFFFFF) + "a");
  values.push_back(le32(20180507) + le32(1) + "a" + le32(0xFFFFFFF0) + "w.x");
  values.push_back(le32(20180101) + le32(1) + "a" + le32(0) + le32(0) + le32(0));
  for (const std::string& value : values) {
    SCOPED_TRACE(hexOf(value));
    ASSERT_EQ(rawPut(env, "confW", 9, value), 0);
    ConfigEntry entry = makeEntry(1, "kept", "kept too", 3);
    CaptureStderr();
    EXPECT_EQ(readOnly("confW", entry), MDB_CORRUPTED);
    const std::string message = GetCapturedStderr();
    EXPECT_EQ(message, "config entry 9 is corrupt: its lengths run past the " +
                           std::to_string(value.size()) + " bytes stored\n" +
                           "readConfEntry failed: -30796\n");
    EXPECT_EQ(entry.index, 1);
    EXPECT_EQ(entry.pattern, "kept");
    EXPECT_EQ(entry.targetPattern, "kept too");
    EXPECT_EQ(entry.flags, 3u);
  }
}

TEST_F(ConfdbTest, EntriesComeInUnsignedOrderWithDisabledOnesLast) {
  for (int32_t index : {3, CONFIG_INDEX_DISABLED | 1, 1, -1, 0x7FFFFFFF, 100, 2}) {
    ASSERT_EQ(writeConfigEntry(env, makeEntry(index, "p"), "confW"), 0);
  }
  EXPECT_EQ(indices("confW"),
            (std::vector<int32_t>{1, 2, 3, 100, CONFIG_INDEX_DISABLED | 1, 0x7FFFFFFF, -1}));
}

TEST_F(ConfdbTest, MoveReplacesRefusesMissingAndKeepsSelf) {
  ASSERT_EQ(writeConfigEntry(env, makeEntry(1, "one"), "confW"), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(2, "two"), "confW"), 0);
  // A value in an older layout moves byte for byte.
  const std::string old = le32(1) + "x" + le32(0) + le32(0) + le32(0);
  ASSERT_EQ(rawPut(env, "confW", 5, old), 0);
  int rc = 0;
  const std::string one = rawGet(env, "confW", 1, &rc);

  CaptureStderr();
  EXPECT_EQ(moveConfigEntry(env, 1, 2, "confW"), 0);
  EXPECT_EQ(moveConfigEntry(env, 5, CONFIG_INDEX_DISABLED | 5, "confW"), 0);
  EXPECT_EQ(moveConfigEntry(env, 2, 2, "confW"), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(rawGet(env, "confW", 2, &rc), one);
  EXPECT_EQ(rawGet(env, "confW", CONFIG_INDEX_DISABLED | 5, &rc), old);
  EXPECT_EQ(indices("confW"), (std::vector<int32_t>{2, CONFIG_INDEX_DISABLED | 5}));

  CaptureStderr();
  EXPECT_EQ(moveConfigEntry(env, 9, 2, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(moveConfigEntry(env, 9, 9, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "failed to get move index 9: " + NOTFOUND_TEXT + "\n" +
                                     "failed to get move index 9: " + NOTFOUND_TEXT + "\n");
  EXPECT_EQ(rawGet(env, "confW", 2, &rc), one);
  EXPECT_EQ(indices("confW"), (std::vector<int32_t>{2, CONFIG_INDEX_DISABLED | 5}));
}

TEST_F(ConfdbTest, DeleteRemovesOrReportsAMissingIndex) {
  ASSERT_EQ(writeConfigEntry(env, makeEntry(1, "one"), "confR"), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(2, "two"), "confR"), 0);
  EXPECT_EQ(deleteConfigEntry(env, makeEntry(1, ""), "confR"), 0);
  EXPECT_EQ(indices("confR"), std::vector<int32_t>{2});
  CaptureStderr();
  EXPECT_EQ(deleteConfigEntry(env, makeEntry(5, ""), "confR"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "failed to delete index 5 -> " + NOTFOUND_TEXT + "\n");
  EXPECT_EQ(indices("confR"), std::vector<int32_t>{2});
}

TEST_F(ConfdbTest, ReadAllEntriesPrintsFormatBeforeFileString) {
  CaptureStdout();
  CaptureStderr();
  ConfigEntry entry;
  initConfEntry(entry);
  EXPECT_EQ(readAllEntries(env, entry, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "mdb_dbi_open failed: " + NOTFOUND_TEXT + "\n");
  EXPECT_EQ(GetCapturedStdout(), "");

  ASSERT_EQ(writeConfigEntry(env, makeEntry(12, "*.txt", "[copy].e", 1), "confW"), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(1234, "*", "", 0), "confW"), 0);
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(readAllEntries(env, entry, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(),
            "[ 12,1] \"*.txt\" \"[copy].e\" \"format.text(ccsid='UTF-8')\" "
            "\"write.text(file='' ccsid='IBM-1047' method=NL)\"\n"
            "[1234,0] \"*\" \"\" \"format.text(ccsid='UTF-8')\" "
            "\"write.text(file='' ccsid='IBM-1047' method=NL)\"\n");

  // A sub-database whose entries were all deleted is empty, not missing.
  ASSERT_EQ(deleteConfigEntry(env, makeEntry(12, ""), "confW"), 0);
  ASSERT_EQ(deleteConfigEntry(env, makeEntry(1234, ""), "confW"), 0);
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(readAllEntries(env, entry, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(ConfdbTest, MessagesGoThroughAReplaceableSink) {
  static std::vector<std::pair<int, std::string>> seen;
  seen.clear();
  ConfdbMessageSink previous =
      setConfdbMessageSink([](int level, const char* line) { seen.emplace_back(level, line); });
  ASSERT_EQ(rawPut(env, "confR", 4, le32(1) + "p" + le32(0) + le32(0) + le32(0)), 0);
  ConfigEntry entry;
  initConfEntry(entry);
  CaptureStderr();
  EXPECT_EQ(readOnly("confR", entry), 0);
  EXPECT_EQ(deleteConfigEntry(env, makeEntry(8, ""), "confR"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "");
  setConfdbMessageSink(previous);
  CaptureStderr();
  EXPECT_EQ(deleteConfigEntry(env, makeEntry(8, ""), "confR"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "failed to delete index 8 -> " + NOTFOUND_TEXT + "\n");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<int, std::string>{
                         2, "WARNING: read config entry VERSION 1 but expected: 20180507\n"}));
  EXPECT_EQ(seen[1].first, 1);
  EXPECT_EQ(seen[1].second, "failed to delete index 8 -> " + NOTFOUND_TEXT + "\n");
}

TEST(OpenConfig, CreatesTheIndexAndViewDirectoriesPrivately) {
  TempDir root;
  const mode_t oldMask = umask(0);  // the modes must come from the code
  MDB_env* env = nullptr;
  const std::string index = root.path() + "/.vaskIndex";

  CaptureStderr();
  ASSERT_EQ(openConfig(&env, (root.path() + "/missing").c_str(), nullptr), -1);
  EXPECT_EQ(env, nullptr);
  ASSERT_EQ(openConfig(&env, root.path().c_str(), "v1"), -1);
  EXPECT_EQ(env, nullptr);
  EXPECT_EQ(GetCapturedStderr(), "failed to create " + root.path() +
                                     "/missing/.vaskIndex -> No such file or directory\n"
                                     "Failed to open " +
                                     root.path() +
                                     "/missing/.vaskIndex: Unknown error -1\n"
                                     "failed to create " +
                                     index +
                                     "/v1 -> No such file or directory\n"
                                     "Failed to open " +
                                     index + "/v1: Unknown error -1\n");

  for (const char* view : {static_cast<const char*>(nullptr), "v1"}) {
    const std::string dir = view == nullptr ? index : index + "/" + view;
    SCOPED_TRACE(dir);
    ASSERT_EQ(openConfig(&env, root.path().c_str(), view), 0);
    ASSERT_EQ(writeConfigEntry(env, makeEntry(1, "p"), "confR"), 0);
    closeIndex(env);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    for (const char* file : {"/data.mdb", "/lock.mdb"}) {
      ASSERT_EQ(stat((dir + file).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    }
  }
  umask(oldMask);

  // A view's rules are its own.
  ASSERT_EQ(openConfig(&env, root.path().c_str(), "v1"), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(2, "view only"), "confR"), 0);
  closeIndex(env);
  ASSERT_EQ(openConfig(&env, root.path().c_str(), nullptr), 0);
  CaptureStdout();
  ConfigEntry entry;
  initConfEntry(entry);
  EXPECT_EQ(readAllEntries(env, entry, "confR"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStdout().find("view only"), std::string::npos);
  closeIndex(env);
}

TEST_F(ConfdbTest, FailedWritesAndMovesLeaveTheIndexAsItWas) {
  // A map of LMDB's default 1 MiB, so a large enough value cannot be stored.
  ASSERT_EQ(mdb_env_set_mapsize(env, 1 << 20), 0);
  ConfigEntry huge = makeEntry(1, std::string(4 << 20, 'p'));
  CaptureStderr();
  EXPECT_EQ(writeConfigEntry(env, huge, "confW"), MDB_MAP_FULL);
  EXPECT_EQ(GetCapturedStderr(),
            std::string("failed to save index 1 -> ") + mdb_strerror(MDB_MAP_FULL) + "\n");
  CaptureStderr();
  ConfigEntry entry;
  initConfEntry(entry);
  EXPECT_EQ(readAllEntries(env, entry, "confW"), MDB_NOTFOUND);
  EXPECT_EQ(GetCapturedStderr(), "mdb_dbi_open failed: " + NOTFOUND_TEXT + "\n");

  // A value that fits once but not twice: the copy under the new index
  // fails, and the entry stays where it was.
  ConfigEntry big = makeEntry(2, std::string(600 << 10, 'b'));
  ASSERT_EQ(writeConfigEntry(env, big, "confW"), 0);
  int rc = 0;
  const std::string stored = rawGet(env, "confW", 2, &rc);
  CaptureStderr();
  EXPECT_EQ(moveConfigEntry(env, 2, 3, "confW"), MDB_MAP_FULL);
  EXPECT_EQ(GetCapturedStderr(),
            std::string("failed to store in new index 3: ") + mdb_strerror(MDB_MAP_FULL) + "\n");
  EXPECT_EQ(indices("confW"), std::vector<int32_t>{2});
  EXPECT_EQ(rawGet(env, "confW", 2, &rc), stored);
}

TEST_F(ConfdbTest, ListsAreReadWholeAndReplacedAllOrNothing) {
  ConfigList never;
  never.dbName = "confR";
  never.entries.push_back(makeEntry(9, "stale"));
  EXPECT_EQ(readConfigList(env, never), 0);
  EXPECT_TRUE(never.entries.empty());

  for (int32_t index : {3, 1, CONFIG_INDEX_DISABLED | 2})
    ASSERT_EQ(writeConfigEntry(env, makeEntry(index, "old" + std::to_string(index)), "confW"), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(5, "kept"), "confR"), 0);
  ConfigList write{"confW", {}};
  ASSERT_EQ(readConfigList(env, write), 0);
  ASSERT_EQ(write.entries.size(), 3u);
  EXPECT_EQ(write.entries[0].pattern, "old1");
  EXPECT_EQ(write.entries[2].index, CONFIG_INDEX_DISABLED | 2);

  // One list fails to store: the other, emptied and filled before it in the
  // same transaction, is as it was.
  ASSERT_EQ(mdb_env_set_mapsize(env, 1 << 20), 0);
  int rc = 0;
  const std::string before = rawGet(env, "confW", 3, &rc);
  ConfigList small{"confW", {makeEntry(7, "new")}};
  ConfigList huge{"confR", {makeEntry(1, std::string(4 << 20, 'h'))}};
  CaptureStderr();
  EXPECT_EQ(replaceConfigLists(env, {small, huge}), MDB_MAP_FULL);
  EXPECT_EQ(GetCapturedStderr(),
            std::string("failed to save index 1 -> ") + mdb_strerror(MDB_MAP_FULL) + "\n");
  EXPECT_EQ(indices("confW"), (std::vector<int32_t>{1, 3, CONFIG_INDEX_DISABLED | 2}));
  EXPECT_EQ(rawGet(env, "confW", 3, &rc), before);
  EXPECT_EQ(indices("confR"), std::vector<int32_t>{5});

  // A list is replaced, not added to; a list not named keeps its entries;
  // an empty list leaves an empty, still existing, sub-database.
  ConfigList empty{"confX", {}};
  ASSERT_EQ(replaceConfigLists(env, {small, empty}), 0);
  EXPECT_EQ(indices("confW"), std::vector<int32_t>{7});
  EXPECT_EQ(indices("confR"), std::vector<int32_t>{5});
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  ASSERT_EQ(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), 0);
  EXPECT_EQ(mdb_dbi_open(txn, "confX", MDB_INTEGERKEY, &dbi), 0);
  mdb_txn_abort(txn);
  EXPECT_EQ(indices("confX"), std::vector<int32_t>{});

  // A damaged value stops the reading and leaves no partial list.
  ASSERT_EQ(rawPut(env, "confR", 6, le32(CONFIG_ENTRY_VERSION) + le32(99)), 0);
  ConfigList read{"confR", {}};
  CaptureStderr();
  EXPECT_EQ(readConfigList(env, read), MDB_CORRUPTED);
  GetCapturedStderr();
  EXPECT_TRUE(read.entries.empty());
}

TEST(OpenConfig, AnIndexDirectoryStandsForTheRootsIndex) {
  EXPECT_EQ(indexDirectory("/r", nullptr, nullptr), "/r/.vaskIndex");
  EXPECT_EQ(indexDirectory("/r", nullptr, "v"), "/r/.vaskIndex/v");
  EXPECT_EQ(indexDirectory("/r", "/var/idx", nullptr), "/var/idx");
  EXPECT_EQ(indexDirectory(nullptr, "/var/idx", "v"), "/var/idx/v");

  TempDir place;
  const std::string dir = place.path() + "/idx";
  MDB_env* env = nullptr;
  ASSERT_EQ(openConfigAt(&env, dir.c_str()), 0);
  ASSERT_EQ(writeConfigEntry(env, makeEntry(1, "p"), "confW"), 0);
  closeIndex(env);
  struct stat st;
  EXPECT_EQ(stat((dir + "/data.mdb").c_str(), &st), 0);
  EXPECT_NE(stat((place.path() + "/.vaskIndex").c_str(), &st), 0);
  // A local directory, existing or not yet, is no place to warn about.
  EXPECT_EQ(remoteFilesystemKind(dir), nullptr);
  EXPECT_EQ(remoteFilesystemKind(dir + "/not/yet"), nullptr);
  EXPECT_EQ(remoteIndexWarning("vaskFSconf", dir, "-x DIR"), "");
}
