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

TEST_F(RenameTest, DirectoryRenameMovesTheFilesBelow) {
  mount();
  runScripts({
      {"the files read back under the new directory with their sizes",
       "mkdir -p $MNT/d/sub; seq 1 1000 > $MNT/d/f.txt; head -c 5000 /dev/zero > $MNT/d/g.dat;"
       " echo deep > $MNT/d/sub/h.txt; mkdir $MNT/dx; echo beside > $MNT/dx/f.txt;"
       " mv $MNT/d $MNT/e; test \"$(cat $MNT/e/f.txt)\" = \"$(seq 1 1000)\";"
       " test $(stat -c %s $MNT/e/f.txt) = $(seq 1 1000 | wc -c);"
       " test $(stat -c %s $MNT/e/g.dat) = 5000; test \"$(cat $MNT/e/sub/h.txt)\" = deep;"
       " test ! -e $MNT/d; test \"$(cat $MNT/dx/f.txt)\" = beside"},
  });
  // Before anything looks the old names up: the records themselves moved.
  EXPECT_EQ("<none>", record("meta", "d/f.txt.name"));
  EXPECT_EQ("<none>", record("meta", "d/g.dat.name"));
  EXPECT_EQ("<none>", record("real", "d/f.txt.gz.name"));
  EXPECT_EQ("e/f.txt", record("real", "e/f.txt.gz.name"));
  EXPECT_EQ("write.text(file='e/f.txt.gz' comp.gzip())", record("meta", "e/f.txt.write"));
  runScripts({
      {"the old names are free again",
       "mkdir $MNT/d; ! stat $MNT/d/f.txt 2>/dev/null; ! stat $MNT/d/g.dat 2>/dev/null;"
       " echo again > $MNT/d/f.txt; test \"$(cat $MNT/d/f.txt)\" = again;"
       " rm $MNT/d/f.txt; ! stat $MNT/d/f.txt 2>/dev/null; test \"$(ls -A $MNT/d)\" = ''"},
      {"the moved files can be removed",
       "rm $MNT/e/f.txt $MNT/e/g.dat $MNT/e/sub/h.txt; rmdir $MNT/e/sub $MNT/e;"
       " test ! -e $ROOT/e"},
  });
  unmount();
  EXPECT_EQ("<none>", record("meta", "d/f.txt.name"));
  EXPECT_EQ("<none>", record("real", "d/f.txt.gz.name"));
  EXPECT_EQ("<none>", record("meta", "e/f.txt.name"));
  EXPECT_EQ("dx/f.txt.gz", record("meta", "dx/f.txt.name"));
}

// rename(2) replaces the target: one entry with the moved data, and no
// physical file or record of the old target is left.
TEST_F(RenameTest, RenameOntoAnExistingNameReplacesIt) {
  mount();
  runScripts({
      {"a plain file onto a compressed one of another physical name",
       "echo new > $MNT/a.dat; seq 1 50 > $MNT/b.txt; mv $MNT/a.dat $MNT/b.txt;"
       " test \"$(cat $MNT/b.txt)\" = new; test \"$(ls $MNT | grep -c '^b')\" = 1;"
       " test \"$(ls $ROOT | grep -c '^b')\" = 1"},
      {"a compressed file onto a plain one",
       "echo fresh > $MNT/c.txt; echo stale > $MNT/c.dat; mv $MNT/c.txt $MNT/c.dat;"
       " test \"$(cat $MNT/c.dat)\" = fresh; test \"$(ls $MNT | grep -c '^c')\" = 1;"
       " test \"$(ls $ROOT | grep -c '^c')\" = 1"},
      {"two compressed files",
       "echo one > $MNT/x.txt; echo two > $MNT/y.txt; mv $MNT/x.txt $MNT/y.txt;"
       " test \"$(cat $MNT/y.txt)\" = one; test \"$(ls $MNT | grep -c '^[xy]')\" = 1;"
       " test \"$(ls $ROOT)\" = \"$(ls $ROOT | grep -v '^[xy]'; echo y.txt.gz)\" || ls -l $ROOT"},
  });
  unmount();
  EXPECT_EQ("<none>", record("real", "b.txt.gz.name"));
  EXPECT_EQ("<none>", record("real", "a.dat.name"));
  EXPECT_EQ("<none>", record("real", "c.txt.gz.name"));
  EXPECT_EQ("<none>", record("meta", "x.txt.name"));
}

// A physical name that another file holds is never taken: the moved file
// goes where its new name's write rule puts it, or the rename fails.
TEST_F(RenameTest, RenameNeverTakesAnotherFilesPhysicalName) {
  ASSERT_EQ(0, sh("echo precious | gzip > $ROOT/notes.gz").status);
  mount();
  runScripts({
      {"a carried extension that would replace a system-made file",
       "ls $MNT >/dev/null; test \"$(cat $MNT/notes)\" = precious; echo mine > $MNT/notes.txt;"
       " mv $MNT/notes.txt $MNT/notes.old; test \"$(cat $MNT/notes)\" = precious;"
       " test \"$(cat $MNT/notes.old)\" = mine; gzip -dc $ROOT/notes.gz | grep -qx precious;"
       " test \"$(ls $MNT | grep -c '^notes')\" = 2"},
      {"the same without the system-made file listed first",
       "echo kept | gzip > $ROOT/memo.gz; echo mine > $MNT/memo.txt;"
       " mv $MNT/memo.txt $MNT/memo.old; ls $MNT >/dev/null; test \"$(cat $MNT/memo)\" = kept;"
       " test \"$(cat $MNT/memo.old)\" = mine"},
  });
  unmount();
  EXPECT_EQ("notes", record("real", "notes.gz.name"));
  EXPECT_EQ("notes.old", record("meta", "notes.old.name"));
}

// When the new name's own physical name is another file's too, nothing
// moves and nothing is lost.
TEST_F(RenameTest, RenameFailsWhenEveryPhysicalNameIsTaken) {
  setRules({{'r', 3, "*.old", "[path]/[base].shown", "read.bin(file='')", "format.bin()"}});
  ASSERT_EQ(0, sh("echo precious | gzip > $ROOT/notes.gz; echo other > $ROOT/notes.old").status);
  mount();
  const ShellResult r =
      sh("ls $MNT >/dev/null; echo mine > $MNT/notes.txt; ! mv $MNT/notes.txt $MNT/notes.old "
         "2>$ROOT/../err;"
         " grep -q 'File exists' $ROOT/../err; test \"$(cat $MNT/notes)\" = precious;"
         " test \"$(cat $MNT/notes.shown)\" = other; test \"$(cat $MNT/notes.txt)\" = mine");
  EXPECT_EQ(0, r.status) << r.output;
}

}  // namespace
}  // namespace daemontest
