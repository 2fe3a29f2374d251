// Moving the records of a directory's tree: what lies below moves, what
// lies beside stays, and the names inside the values follow.
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "records.h"

namespace {

class TreeMoveTest : public DaemonUnitTest {};

struct Stored {
  const char* db;
  const char* key;
  const char* value;
};

void store(const std::vector<Stored>& records) {
  for (const Stored& r : records) {
    const std::string value = r.value;
    ASSERT_EQ(0, writeMetaBytes(r.key, 99, r.db, value.data(), value.size())) << r.key;
  }
}

std::string look(const char* db, const char* key) {
  std::string out;
  return readMetaText(key, 99, db, out) == 0 ? out : "<none>";
}

TEST_F(TreeMoveTest, RecordsBelowMoveWithTheNamesInTheirValues) {
  store({
      {"meta", "d/f.txt.name", "d/f.txt.gz"},
      {"meta", "d/f.txt.size", "12345678"},
      {"meta", "d/f.txt.write", "write.text(file='d/f.txt.gz' comp.gzip())"},
      {"meta", "d/f.txt.read", "read.text(file='d/f.txt.gz' comp.gzip())"},
      {"meta", "d/s/it's.read", "read.bin(file='d/s/it''s.gz')"},
      {"meta", "d/s/it's.name", "d/s/it's.gz"},
      {"meta", "d/x'd/g.write", "write.bin(file='d/x''d/g')"},
      {"meta", "d/out.name", "elsewhere/out.gz"},
      {"meta", "dx/f.name", "dx/f"},
      {"meta", "d.name", "d"},
      {"meta", "shown.name", "d/hidden.gz"},
      {"meta", "shown.read", "read.bin(file='d/hidden.gz')"},
      {"real", "d/f.txt.gz.name", "d/f.txt"},
      {"real", "d/s/it's.gz.name", "d/s/it's"},
      {"real", "d/hidden.gz.name", "shown"},
      {"real", "elsewhere/out.gz.name", "d/out"},
      {"real", "dx/f.name", "dx/f"},
  });
  ASSERT_EQ(0, moveMetaTree("d", "e"));
  const Stored want[] = {
      {"meta", "e/f.txt.name", "e/f.txt.gz"},
      {"meta", "e/f.txt.size", "12345678"},
      {"meta", "e/f.txt.write", "write.text(file='e/f.txt.gz' comp.gzip())"},
      {"meta", "e/f.txt.read", "read.text(file='e/f.txt.gz' comp.gzip())"},
      {"meta", "e/s/it's.read", "read.bin(file='e/s/it''s.gz')"},
      {"meta", "e/s/it's.name", "e/s/it's.gz"},
      // The doubled apostrophe before "d/" is not the opening quote.
      {"meta", "e/x'd/g.write", "write.bin(file='e/x''d/g')"},
      {"meta", "e/out.name", "elsewhere/out.gz"},
      {"real", "elsewhere/out.gz.name", "e/out"},
      {"meta", "shown.name", "e/hidden.gz"},
      {"meta", "shown.read", "read.bin(file='e/hidden.gz')"},
      {"real", "e/f.txt.gz.name", "e/f.txt"},
      {"real", "e/s/it's.gz.name", "e/s/it's"},
      {"real", "e/hidden.gz.name", "shown"},
      {"meta", "dx/f.name", "dx/f"},
      {"real", "dx/f.name", "dx/f"},
      {"meta", "d.name", "d"},
      {"meta", "d/f.txt.name", "<none>"},
      {"meta", "d/f.txt.size", "<none>"},
      {"meta", "d/s/it's.name", "<none>"},
      {"meta", "d/out.name", "<none>"},
      {"real", "d/f.txt.gz.name", "<none>"},
      {"real", "d/hidden.gz.name", "<none>"},
  };
  for (const Stored& w : want) EXPECT_EQ(w.value, look(w.db, w.key)) << w.db << " " << w.key;
}

// A directory moved into a name that sorts among its own keys, and one
// moved deeper: nothing is lost or moved twice.
TEST_F(TreeMoveTest, NewNamesAmongTheOldKeys) {
  struct Case {
    const char* from;
    const char* to;
  } cases[] = {{"a", "a/b"}, {"a/b", "a"}, {"q", "q0"}};
  for (const Case& c : cases) {
    const std::string from = c.from, to = c.to;
    const std::string keys[] = {from + "/b.name", from + "/b/c.name", from + "/z.name"};
    for (const std::string& k : keys) {
      const std::string physical = k.substr(0, k.size() - 5);
      ASSERT_EQ(0, writeMetaBytes(k, 99, "meta", physical.data(), physical.size()));
    }
    ASSERT_EQ(0, moveMetaTree(from, to)) << from;
    for (const std::string& k : keys) {
      const std::string moved = to + k.substr(from.size());
      EXPECT_EQ(moved.substr(0, moved.size() - 5), look("meta", moved.c_str())) << from << " " << k;
      ASSERT_EQ(0, deleteMeta(moved, 99, "meta"));
    }
    std::string out;
    for (const std::string& k : keys)
      EXPECT_EQ(MDB_NOTFOUND, readMetaText(k, 99, "meta", out)) << from << " " << k;
  }
}

TEST_F(TreeMoveTest, NothingBelowIsNoFailure) {
  EXPECT_EQ(0, moveMetaTree("empty", "other"));
  EXPECT_EQ(0, moveMetaTree("same", "same"));
}

}  // namespace
