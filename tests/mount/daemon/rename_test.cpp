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
       "mkdir $MNT/d; fails stat $MNT/d/f.txt 2>/dev/null; fails stat $MNT/d/g.dat 2>/dev/null;"
       " echo again > $MNT/d/f.txt; test \"$(cat $MNT/d/f.txt)\" = again;"
       " rm $MNT/d/f.txt; fails stat $MNT/d/f.txt 2>/dev/null; test \"$(ls -A $MNT/d)\" = ''"},
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
  // The plain file moved onto b.txt is stored as b.txt is written.
  EXPECT_EQ("b.txt", record("real", "b.txt.gz.name"));
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
      {"a converting rename beside a system-made file of the old extension",
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
      sh("ls $MNT >/dev/null; echo mine > $MNT/notes.txt; fails mv $MNT/notes.txt $MNT/notes.old "
         "2>$ROOT/../err;"
         " grep -q 'File exists' $ROOT/../err; test \"$(cat $MNT/notes)\" = precious;"
         " test \"$(cat $MNT/notes.shown)\" = other; test \"$(cat $MNT/notes.txt)\" = mine");
  EXPECT_EQ(0, r.status) << r.output;
}

// The rules of the README with an age pair: *.txt stored gzip-compressed
// as [copy].gz, *.sec encrypted as [copy].age, every other name unchanged.
class ConvertingRenameTest : public RenameTest {
 protected:
  void SetUp() override {
    RenameTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    key_ = temp_.path() + "/key.txt";
    ASSERT_EQ(0, sh("age-keygen -o '" + key_ + "' 2>/dev/null").status);
    const std::string age = "encr.age(identity='" + key_ + "'))";
    setRules({
        {'w', 3, "*.sec", "[copy].age", "write.bin(file='' " + age, "format.bin()"},
        {'r', 3, "*.age", "[path]/[base]", "read.bin(file='' " + age, "format.bin()"},
    });
  }

  // A script with KEY set to the age identity.
  ShellResult keyed(const std::string& script) { return sh("KEY='" + key_ + "'\n" + script); }

  std::string key_;
};

// One rename in a directory of its own: the logical names before and after,
// the one physical file the directory holds afterwards and how a standard
// tool reads it.
struct MoveCase {
  const char* from;
  const char* to;
  const char* physical;
  const char* decode;  // reads the physical file named after it to standard output
  bool renamed;        // stored alike: the physical file itself moved, nothing copied
};

const MoveCase kMoves[] = {
    {"c.3", "c.last", "c.last", "cat", true},
    {"i.3", "i.4", "i.4", "cat", true},
    {"k.3", "m.last", "m.last", "cat", true},
    {"a.txt", "b.txt", "b.txt.gz", "gzip -dc", true},
    {"h.txt", "h.dat", "h.dat", "cat", false},
    {"n.txt", "n.text", "n.text", "cat", false},
    {"q.sec", "q.sec.bak", "q.sec.bak", "cat", false},
    {"notes.txt", "notes.bak", "notes.bak", "cat", false},
    {".s.txt.nhxRuT", "s.txt", "s.txt.gz", "gzip -dc", false},
    {"p.dat", "p.sec", "p.sec.age", "age -d -i $KEY", false},
    {"g.txt", "g.sec", "g.sec.age", "age -d -i $KEY", false},
    {"e.sec", "e.txt", "e.txt.gz", "gzip -dc", false},
};

// The names the mount and the root show for case `i`, and its data.
std::string expectMoved(size_t i, const MoveCase& c) {
  const std::string d = "m" + std::to_string(i);
  return "D=" + d + "; { echo '" + c.from + "'; seq 1 3000; } > $S/want\n" + "fails stat $MNT/$D/'" +
         c.from + "' >/dev/null 2>&1\n" + "test \"$(ls -A $MNT/$D)\" = '" + c.to + "'\n" +
         "test \"$(ls -A $ROOT/$D)\" = '" + c.physical + "'\n" + "cmp $S/want $MNT/$D/'" + c.to +
         "'\n" + "test $(stat -c %s $MNT/$D/'" + c.to + "') = $(stat -c %s $S/want)\n" + c.decode +
         " $ROOT/$D/'" + c.physical + "' | cmp $S/want -\n";
}

TEST_F(ConvertingRenameTest, RenamedFileIsStoredAsItsNewNameWouldBe) {
  mount();
  for (size_t i = 0; i < std::size(kMoves); ++i) {
    const MoveCase& c = kMoves[i];
    const std::string d = "m" + std::to_string(i);
    const ShellResult r = keyed(
        "S=$ROOT/../scratch; rm -rf $S; mkdir -p $S; D=" + d + "; mkdir $MNT/$D\n" + "{ echo '" +
        c.from + "'; seq 1 3000; } > $MNT/$D/'" + c.from + "'; settle\n" +
        "before=$(stat -c %i \"$ROOT/$D/$(ls -A $ROOT/$D)\")\n" + "mv $MNT/$D/'" + c.from +
        "' $MNT/$D/'" + c.to + "'\n" + expectMoved(i, c) +
        (c.renamed ? "test $(stat -c %i $ROOT/$D/'" + std::string(c.physical) + "') = $before\n"
                   : ""));
    EXPECT_EQ(0, r.status) << c.from << " -> " << c.to << "\n" << r.output;
  }
  ASSERT_EQ(0, unmount());
  mount();
  for (size_t i = 0; i < std::size(kMoves); ++i) {
    const ShellResult r =
        keyed("S=$ROOT/../scratch; rm -rf $S; mkdir -p $S\n" + expectMoved(i, kMoves[i]));
    EXPECT_EQ(0, r.status) << "after a remount: " << kMoves[i].from << " -> " << kMoves[i].to
                           << "\n"
                           << r.output;
  }
}

// rsync writes each file under a temporary name (stored unchanged by the
// catch-all) and renames it: the files end up converted under their own
// physical names, and a second run finds nothing to do.
TEST_F(ConvertingRenameTest, RsyncIntoTheMountStoresConvertedFiles) {
  mount();
  const ShellResult r = keyed(
      "S=$ROOT/../scratch; rm -rf $S; mkdir -p $S/src/sub\n"
      "seq 1 5000 > $S/src/r.txt; echo secret > $S/src/r.sec; head -c 70000 /dev/urandom >"
      " $S/src/r.dat; seq 7 900 > $S/src/sub/s.txt\n"
      "rsync -a $S/src/ $MNT/; settle\n"
      "test \"$(cd $ROOT && find . -path ./.vaskIndex -prune -o -type f -print | sort)\" ="
      " \"$(printf './r.dat\\n./r.sec.age\\n./r.txt.gz\\n./sub/s.txt.gz')\"\n"
      "gzip -dc $ROOT/r.txt.gz | cmp $S/src/r.txt -\n"
      "gzip -dc $ROOT/sub/s.txt.gz | cmp $S/src/sub/s.txt -\n"
      "age -d -i $KEY $ROOT/r.sec.age | cmp $S/src/r.sec -\n"
      "cmp $S/src/r.dat $ROOT/r.dat\n"
      "diff -r $S/src $MNT\n"
      "test \"$(rsync -ai $S/src/ $MNT/)\" = ''");
  EXPECT_EQ(0, r.status) << r.output;
}

// A file open while a rename converts it: a writer goes on writing into the
// new file, a reader reads the data it opened.
TEST_F(ConvertingRenameTest, OpenFilesLoseNothingInAConvertingRename) {
  mount();
  runScripts({
      {"a writer of a plain file renamed to a compressed name",
       "exec 3>$MNT/w.tmp; seq 1 100 >&3; mv $MNT/w.tmp $MNT/w.txt; seq 101 200 >&3;"
       " exec 3>&-; settle; seq 1 200 > $S/want; cmp $S/want $MNT/w.txt;"
       " gzip -dc $ROOT/w.txt.gz | cmp $S/want -; test ! -e $ROOT/w.tmp;"
       " test $(stat -c %s $MNT/w.txt) = $(stat -c %s $S/want)"},
      {"a writer of a compressed file renamed to a plain name",
       "exec 3>$MNT/v.txt; seq 1 100 >&3; mv $MNT/v.txt $MNT/v.dat; seq 101 200 >&3;"
       " exec 3>&-; settle; seq 1 200 > $S/want; cmp $S/want $MNT/v.dat;"
       " cmp $S/want $ROOT/v.dat; test ! -e $ROOT/v.txt.gz"},
      {"a reader of a compressed file renamed to a plain name",
       "seq 1 20000 > $MNT/u.txt; settle; exec 4<$MNT/u.txt; mv $MNT/u.txt $MNT/u.dat;"
       " cat <&4 > $S/got; exec 4<&-; seq 1 20000 > $S/want; cmp $S/want $S/got;"
       " cmp $S/want $MNT/u.dat; cmp $S/want $ROOT/u.dat"},
      {"a reader keeps reading the old data",
       "seq 1 20000 > $MNT/t.dat; settle; exec 4<$MNT/t.dat; mv $MNT/t.dat $MNT/t.txt;"
       " cat <&4 > $S/got; exec 4<&-; seq 1 20000 > $S/want; cmp $S/want $S/got;"
       " eventually test ! -e $ROOT/t.dat; gzip -dc $ROOT/t.txt.gz | cmp $S/want -"},
  });
}

}  // namespace
}  // namespace daemontest
