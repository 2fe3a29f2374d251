// Renames through a real mount: records follow the names, and no rename
// leaves a second entry behind or takes another file's data.
#include "daemon_fixture.h"

namespace daemontest {
namespace {

class RenameTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({
        {'w', 2, "*.txt", "[copy].gz", "write.text(file='' comp.gzip())",
         "format.text(ccsid='UTF-8' method=LF)"},
        {'r', 2, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
    });
    setCatchAll();
  }
};

struct RenameCase {
  const char* name;
  const char* script;  // runs under "set -e" with ROOT and MNT
};

TEST_F(RenameTest, DirectoryRenameMovesTheFilesBelow) {
  mount();
  const RenameCase cases[] = {
      {"the files read back under the new directory with their sizes",
       "mkdir -p $MNT/d/sub; seq 1 1000 > $MNT/d/f.txt; head -c 5000 /dev/zero > $MNT/d/g.dat;"
       " echo deep > $MNT/d/sub/h.txt; mkdir $MNT/dx; echo beside > $MNT/dx/f.txt;"
       " mv $MNT/d $MNT/e; test \"$(cat $MNT/e/f.txt)\" = \"$(seq 1 1000)\";"
       " test $(stat -c %s $MNT/e/f.txt) = $(seq 1 1000 | wc -c);"
       " test $(stat -c %s $MNT/e/g.dat) = 5000; test \"$(cat $MNT/e/sub/h.txt)\" = deep;"
       " test ! -e $MNT/d; test \"$(cat $MNT/dx/f.txt)\" = beside"},
      {"the old names are free again",
       "mkdir $MNT/d; ! stat $MNT/d/f.txt 2>/dev/null; ! stat $MNT/d/g.dat 2>/dev/null;"
       " echo again > $MNT/d/f.txt; test \"$(cat $MNT/d/f.txt)\" = again;"
       " rm $MNT/d/f.txt; ! stat $MNT/d/f.txt 2>/dev/null; test \"$(ls -A $MNT/d)\" = ''"},
      {"the moved files can be removed",
       "rm $MNT/e/f.txt $MNT/e/g.dat $MNT/e/sub/h.txt; rmdir $MNT/e/sub $MNT/e;"
       " test ! -e $ROOT/e"},
  };
  for (const RenameCase& c : cases) {
    const ShellResult r = sh(c.script);
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.output;
    if (c.script == cases[0].script) {
      // Before anything looks the old names up: the records themselves moved.
      EXPECT_EQ("<none>", record("meta", "d/f.txt.name"));
      EXPECT_EQ("<none>", record("meta", "d/g.dat.name"));
      EXPECT_EQ("<none>", record("real", "d/f.txt.gz.name"));
      EXPECT_EQ("e/f.txt", record("real", "e/f.txt.gz.name"));
      EXPECT_EQ("write.text(file='e/f.txt.gz' comp.gzip())", record("meta", "e/f.txt.write"));
    }
  }
  unmount();
  EXPECT_EQ("<none>", record("meta", "d/f.txt.name"));
  EXPECT_EQ("<none>", record("real", "d/f.txt.gz.name"));
  EXPECT_EQ("<none>", record("meta", "e/f.txt.name"));
  EXPECT_EQ("dx/f.txt.gz", record("meta", "dx/f.txt.name"));
}

}  // namespace
}  // namespace daemontest
