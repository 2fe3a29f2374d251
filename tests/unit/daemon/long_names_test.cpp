// Records of names longer than an LMDB key: stored, found, moved with their
// directory, removed, and never handed to another name.
#include <lmdb.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "state.h"
#include "records.h"
#include "lmdbGuard.h"

namespace {

class LongNamesTest : public DaemonUnitTest {};

// A path of `length` bytes below `dir`, in components of at most 200.
std::string pathOf(const std::string& dir, size_t length, char fill) {
  std::string path = dir;
  while (path.size() < length) {
    path += '/';
    path += std::string(std::min<size_t>(200, length - path.size() + 1), fill);
  }
  return path.substr(0, length);
}

std::string text(const std::string& name, uint32_t kind, const char* db = "meta") {
  std::string out;
  return readMetaText(name, kind, db, out) == 0 ? out : "<none>";
}

// Every key of a sub-database, raw.
std::vector<std::string> keys(const char* db) {
  std::vector<std::string> out;
  MdbTxn txn;
  MDB_dbi dbi;
  MdbCursor cursor;
  if (txn.begin(vaskfsArgs.env, MDB_RDONLY) != 0 || mdb_dbi_open(txn.get(), db, 0, &dbi) != 0 ||
      cursor.open(txn.get(), dbi) != 0)
    return out;
  MDB_val key, data;
  for (int rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) {
    EXPECT_LE(key.mv_size, 511u);
    out.emplace_back(static_cast<const char*>(key.mv_data), key.mv_size);
  }
  return out;
}

TEST_F(LongNamesTest, RecordsOfEveryLengthAreStoredFoundMovedAndRemoved) {
  for (size_t length : {300u, 480u, 481u, 600u, 2000u, 4000u}) {
    SCOPED_TRACE(length);
    const std::string logical = pathOf("d", length, 'a');
    const std::string physical = logical + ".gz";
    const std::string read = "read.bin(file='" + physical + "' comp.gzip())";
    struct stat st = {};
    st.st_size = static_cast<off_t>(length);
    ASSERT_EQ(0, MetaBatch()
                     .put(logical, META_NAME, "meta", physical)
                     .put(logical, META_READ, "meta", read)
                     .put(logical, META_STAT, "meta", &st, sizeof st)
                     .put(physical, META_NAME, "real", logical)
                     .commit());
    EXPECT_EQ(physical, text(logical, META_NAME));
    EXPECT_EQ(logical, text(physical, META_NAME, "real"));
    struct stat back = {};
    ASSERT_EQ(0, readMetaFixed(logical, META_STAT, &back, sizeof back));
    EXPECT_EQ(static_cast<off_t>(length), back.st_size);

    // A directory rename moves them by key prefix, names inside included.
    ASSERT_EQ(0, moveMetaTree("d", "e"));
    const std::string movedLogical = "e" + logical.substr(1), movedPhysical = movedLogical + ".gz";
    EXPECT_EQ("<none>", text(logical, META_NAME));
    EXPECT_EQ(movedPhysical, text(movedLogical, META_NAME));
    EXPECT_EQ("read.bin(file='" + movedPhysical + "' comp.gzip())", text(movedLogical, META_READ));
    EXPECT_EQ(movedLogical, text(movedPhysical, META_NAME, "real"));

    // A rename of the file itself, to a name of another length class.
    ASSERT_EQ(0, moveMeta(movedLogical, "short", 0));
    EXPECT_EQ(movedPhysical, text("short", META_NAME));
    EXPECT_EQ("<none>", text(movedLogical, META_NAME));
    ASSERT_EQ(0, moveMeta("short", movedLogical, 0));

    ASSERT_EQ(0, MetaBatch()
                     .erase(movedLogical, META_ALL, "meta")
                     .erase(movedPhysical, META_ALL, "real")
                     .commit());
    EXPECT_TRUE(keys("meta").empty()) << keys("meta").front();
    EXPECT_TRUE(keys("real").empty());
  }
}

// A directory whose own name is longer than the part of a key that keeps
// names apart: its files are told from their neighbours by full name.
TEST_F(LongNamesTest, LongDirectoryMovesOnlyWhatLiesBelowIt) {
  const std::string dir = pathOf("p", 450, 'q');
  const std::string sibling = dir + "x";  // shares the first 450 bytes
  for (const std::string& d : {dir, sibling})
    for (const char* file : {"/one.txt", "/two.txt"})
      ASSERT_EQ(0, writeMetaBytes(d + file, META_NAME, "meta", (d + file).data(), 3));
  ASSERT_EQ(0, moveMetaTree(dir, "r"));
  EXPECT_EQ((dir + "/one.txt").substr(0, 3), text("r/one.txt", META_NAME));
  EXPECT_EQ("<none>", text(dir + "/two.txt", META_NAME));
  EXPECT_NE("<none>", text(sibling + "/one.txt", META_NAME));
  EXPECT_NE("<none>", text(sibling + "/two.txt", META_NAME));
}

// Two long names under one key base (as a digest collision would give):
// the records are the first name's and not the other's.
TEST_F(LongNamesTest, RecordsUnderAKeyOfAnotherNameAreNotRead) {
  const std::string name = pathOf("c", 900, 'n');
  ASSERT_EQ(0, writeMetaBytes(name, META_NAME, "meta", "phys", 4));
  ASSERT_EQ("phys", text(name, META_NAME));
  const std::string other = name.substr(0, 899) + "m";
  ASSERT_EQ(0, writeMetaBytes(keyBase(name) + ".full", 99, "meta", other.data(), other.size()));
  EXPECT_EQ("<none>", text(name, META_NAME));
  EXPECT_NE(std::string::npos, takeLog().find("belongs to another name"));
}

}  // namespace
