// The per-file records: keys, growing reads, moves, deletes, damaged values.
#include <cstring>

#include "daemon_fixture.h"
#include "state.h"
#include "log.h"
#include "records.h"

namespace {

class StoreTest : public DaemonUnitTest {};

std::string text(const MetaValue& v) {
  return std::string(static_cast<const char*>(v.data), v.length);
}

TEST_F(StoreTest, ReadsCopyWhatFitsAndGrowOnlyWhenAllowed) {
  const std::string hundred(100, 'h');
  ASSERT_EQ(0, writeMetaBytes("f", META_WRITE, "meta", hundred.data(), hundred.size()));
  char small[10] = "untouched";
  MetaValue v;
  v.kind = META_READ;  // never stored
  v.data = small;
  v.length = sizeof small;
  EXPECT_EQ(MDB_NOTFOUND, readMeta("f", v, "meta", 1));
  EXPECT_EQ(10u, v.length);
  EXPECT_STREQ("untouched", small);

  v.kind = META_WRITE;
  EXPECT_EQ(META_TRUNCATED, readMeta("f", v, "meta", 0));
  EXPECT_EQ(10u, v.length);
  EXPECT_EQ(std::string(10, 'h'), std::string(small, 10));
  EXPECT_EQ(0, readMeta("f", v, "meta", 1));
  EXPECT_EQ(100u, v.length);
  EXPECT_EQ(hundred, text(v));
}

// The index must hold the records of a large tree, far beyond LMDB's
// default map of 1 MiB.
TEST_F(StoreTest, IndexHoldsMoreThanTheDefaultMap) {
  const std::string large(8 << 20, 'e');
  EXPECT_EQ(0, writeMetaBytes("big", META_ERROR, "meta", large.data(), large.size()));
  std::string out;
  EXPECT_EQ(0, readMetaText("big", META_ERROR, "meta", out));
  EXPECT_EQ(large.size(), out.size());
}

// A fresh index has both record sub-databases: a first listing looks up
// names without an error line.
TEST_F(StoreTest, FreshIndexHasItsRecordDatabases) {
  std::string out;
  logLevel = LOG_INFO;
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("p", META_NAME, "real", out));
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("p", META_NAME, "meta", out));
  EXPECT_EQ("", takeLog());
  ASSERT_EQ(0, writeMetaBytes("p", META_NAME, "real", "l", 1));
  EXPECT_EQ(0, readMetaText("p", META_NAME, "real", out));
  EXPECT_EQ("l", out);
}

TEST_F(StoreTest, DeleteOneKindOrAllAndMoveOrCopy) {
  EXPECT_EQ(0, deleteMeta("nothing", META_ALL, "meta"));
  for (uint32_t kind = 0; kind < 10; ++kind) {
    const std::string value = "v" + std::to_string(kind);
    ASSERT_EQ(0, writeMetaBytes("a", kind, "meta", value.data(), value.size()));
  }
  std::string out;
  EXPECT_EQ(0, deleteMeta("a", META_ERROR, "meta"));
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("a", META_ERROR, "meta", out));
  EXPECT_EQ(0, readMetaText("a", META_READ, "meta", out));
  EXPECT_EQ(0, deleteMeta("a", META_ALL, "meta"));
  for (uint32_t kind = 0; kind < 10; ++kind)
    EXPECT_EQ(MDB_NOTFOUND, readMetaText("a", kind, "meta", out)) << kind;

  ASSERT_EQ(0, writeMetaBytes("b", META_STAT, "meta", "s", 1));
  ASSERT_EQ(0, writeMetaBytes("b", META_NAME, "meta", "n", 1));
  ASSERT_EQ(0, moveMeta("b", "c", 1));
  ASSERT_EQ(0, moveMeta("c", "d", 0));
  for (const char* path : {"b", "d"}) {
    EXPECT_EQ(0, readMetaText(path, META_STAT, "meta", out));
    EXPECT_EQ("s", out);
    EXPECT_EQ(0, readMetaText(path, META_NAME, "meta", out));
    EXPECT_EQ(MDB_NOTFOUND, readMetaText(path, META_READ, "meta", out));
  }
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("c", META_STAT, "meta", out));
  // Moving a name onto itself keeps its records.
  ASSERT_EQ(0, moveMeta("d", "d", 0));
  EXPECT_EQ(0, readMetaText("d", META_STAT, "meta", out));
}

TEST_F(StoreTest, FixedSizeRecordsOfAnotherLengthCountAsMissing) {
  struct stat st;
  std::memset(&st, 0x5A, sizeof st);
  const struct {
    uint32_t kind;
    size_t size;
  } kinds[] = {{META_STAT, 144}, {META_MTIME, 32}, {META_NEWTS, 32}, {META_SIZE, 8}};
  for (const auto& k : kinds) {
    for (size_t stored : {k.size - 1, k.size + 1, size_t{0}}) {
      const std::string value(stored, 'x');
      ASSERT_EQ(0, writeMetaBytes("z", k.kind, "meta", value.data(), value.size()));
      std::memset(&st, 0x5A, sizeof st);
      EXPECT_EQ(MDB_NOTFOUND, readMetaFixed("z", k.kind, &st, k.size)) << k.kind << " " << stored;
      EXPECT_EQ(0x5A, reinterpret_cast<unsigned char*>(&st)[0]) << "half-filled";
      EXPECT_NE(std::string::npos, takeLog().find(" is damaged: ")) << k.kind;
    }
    const std::string whole(k.size, 'y');
    ASSERT_EQ(0, writeMetaBytes("z", k.kind, "meta", whole.data(), whole.size()));
    EXPECT_EQ(0, readMetaFixed("z", k.kind, &st, k.size));
  }
}

}  // namespace

namespace {

// One event's records go in one transaction, applied in the order given,
// and a failing step leaves the index as it was.
TEST_F(StoreTest, BatchAppliesInOrderAndAllOrNothing) {
  ASSERT_EQ(0, writeMetaBytes("old", META_NAME, "meta", "old.gz", 6));
  ASSERT_EQ(0, writeMetaBytes("old", META_READ, "meta", "r 'old.gz'", 10));
  ASSERT_EQ(0, writeMetaBytes("new", META_SIZE, "meta", "stale!!!", 8));
  MetaBatch batch;
  batch.erase("new", META_ALL, "meta")
      .move("old", "new")
      .put("new", META_READ, "meta", std::string_view("r 'new.gz'"))
      .put("new.gz", META_NAME, "real", std::string_view("new"));
  EXPECT_FALSE(batch.empty());
  ASSERT_EQ(0, batch.commit());
  EXPECT_TRUE(batch.empty());
  std::string out;
  EXPECT_EQ(0, readMetaText("new", META_NAME, "meta", out));
  EXPECT_EQ("old.gz", out);
  EXPECT_EQ(0, readMetaText("new", META_READ, "meta", out));
  EXPECT_EQ("r 'new.gz'", out);
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("new", META_SIZE, "meta", out));
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("old", META_NAME, "meta", out));
  EXPECT_EQ(0, readMetaText("new.gz", META_NAME, "real", out));

  // An empty key is refused by LMDB: the puts before it are not kept.
  MetaBatch failing;
  failing.put("kept?", META_NAME, "meta", std::string_view("x")).put("", 99, "meta", "y", 1);
  EXPECT_NE(0, failing.commit());
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("kept?", META_NAME, "meta", out));
}

}  // namespace
