// Ordinary programs on a real mount with converting rules: what they write
// must read back byte for byte, and the physical files must be what the
// standard tools read.
#include <sys/stat.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class ToolsTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({
        {'w', 1, "*.txt", "[path]/[base].txt.gz", "write.text(file='' comp.gzip())",
         "format.bin()"},
        {'w', 2, "*.cob", "[path]/[base].cob.ebc", "write.text(file='' ccsid='IBM-1047' method=NL)",
         "format.text(ccsid='UTF-8' method=LF)"},
        {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
        {'r', 2, "*.ebc", "[path]/[base]", "read.text(file='' ccsid='IBM-1047' method=NL)",
         "format.text(ccsid='UTF-8' method=LF)"},
    });
    setCatchAll();
  }
};

TEST_F(ToolsTest, ProgramsReadBackWhatTheyWrote) {
  mount();
  runScripts({
      {"cp and cmp of binary data, stored as it is",
       "head -c 3000000 /dev/urandom > $S/r.bin; cp $S/r.bin $MNT/r.bin; cmp $S/r.bin $MNT/r.bin;"
       " cmp $S/r.bin $ROOT/r.bin; test $(stat -c %s $MNT/r.bin) = 3000000"},
      {"text stored gzip-compressed, read by gzip -d",
       "seq 1 200000 > $S/n.txt; cp $S/n.txt $MNT/n.txt; cmp $S/n.txt $MNT/n.txt;"
       " gzip -t $ROOT/n.txt.gz; gzip -dc $ROOT/n.txt.gz | cmp - $S/n.txt;"
       " test $(stat -c %s $MNT/n.txt) = $(stat -c %s $S/n.txt);"
       " test $(stat -c %s $ROOT/n.txt.gz) -lt $(stat -c %s $S/n.txt)"},
      {"dd in and out with odd block sizes",
       "seq 1 30000 > $S/d.txt; dd if=$S/d.txt of=$MNT/dd.txt bs=4096 status=none;"
       " dd if=$MNT/dd.txt bs=1000 status=none | cmp - $S/d.txt"},
      {"text stored in IBM-1047 with NL line ends",
       "printf 'HELLO\\nWORLD\\n' > $MNT/job.cob;"
       " settle; test $(od -An -tx1 $ROOT/job.cob.ebc | tr -d ' \\n') = c8c5d3d3d615e6d6d9d3c415;"
       " test \"$(cat $MNT/job.cob)\" = \"$(printf 'HELLO\\nWORLD')\"; test $(stat -c %s "
       "$MNT/job.cob) = 12"},
      {"tar extracts into the mount and creates from it",
       "mkdir -p $S/t/a/b; seq 1 999 > $S/t/a/b/x.txt; echo hi > $S/t/a/y.dat; : > $S/t/empty;"
       " : > $S/t/empty.txt; tar -C $S -cf $S/t.tar t; tar -C $MNT -xf $S/t.tar; diff -r $S/t "
       "$MNT/t;"
       " tar -C $MNT -cf $S/back.tar t; mkdir $S/u; tar -C $S/u -xf $S/back.tar; diff -r $S/t "
       "$S/u/t"},
      {"cp -a keeps contents, modes and times both ways",
       "mkdir -p $S/c/sub\\ dir; echo one > $S/c/one.txt; chmod 640 $S/c/one.txt;"
       " head -c 100000 /dev/urandom > \"$S/c/sub dir/two\"; printf '\\xc3\\xa9t\\xc3\\xa9' > "
       "$S/c/été.txt;"
       " touch -d '2001-02-03 04:05:06' $S/c/one.txt \"$S/c/sub dir/two\" $S/c/été.txt;"
       " cp -a $S/c $MNT/c; diff -r $S/c $MNT/c;"
       " look() { (cd $1 && stat -c '%n %a %Y %s' one.txt 'sub dir/two' été.txt); };"
       " test \"$(look $S/c)\" = \"$(look $MNT/c)\"; cp -a $MNT/c $S/c2; diff -r $S/c $S/c2;"
       " test \"$(look $S/c)\" = \"$(look $S/c2)\""},
      {"touch of a converted file keeps its data",
       "seq 1 1000 > $MNT/keep.txt; touch $MNT/keep.txt; seq 1 1000 | cmp - $MNT/keep.txt;"
       " python3 -c \"import os; os.close(os.open('$MNT/keep.txt', os.O_WRONLY))\";"
       " seq 1 1000 | cmp - $MNT/keep.txt; : > $MNT/keep.txt; test $(stat -c %s $MNT/keep.txt) = "
       "0"},
      {"cp -a of 500 mixed files into the mount and back out",
       "mkdir -p $S/m/deep/er; : > $S/m/empty.txt; printf x > $S/m/one.txt;"
       " head -c 10485760 /dev/urandom > $S/m/big; for i in $(seq 1 481); do"
       "   seq 1 $i > \"$S/m/deep/file $i.txt\"; done;"
       " for i in $(seq 1 16); do echo $i > \"$S/m/deep/er/it's ünï $i.dat\"; chmod 60$((i % 8)) "
       "\"$S/m/deep/er/it's ünï $i.dat\"; done;"
       " test $(find $S/m -type f | wc -l) = 500; touch -d '2010-01-01 12:00:00' $S/m/big "
       "$S/m/deep/*;"
       " cp -a $S/m $MNT/m; cp -a $MNT/m $S/back; diff -r $S/m $S/back;"
       " look() { (cd $1 && find . -type f -printf '%p %m %s %T@\\n' | sort); };"
       " test \"$(look $S/m)\" = \"$(look $S/back)\"; test \"$(look $S/m)\" = \"$(look $MNT/m)\""},
      {"touch -d, chmod, chown show through stat",
       "echo x > $MNT/m.txt; touch -d '1999-12-31 23:59:58 UTC' $MNT/m.txt; chmod 604 $MNT/m.txt;"
       " chown 12:34 $MNT/m.txt; test \"$(stat -c '%a %u %g %Y' $MNT/m.txt)\" = '604 12 34 "
       "946684798';"
       " test \"$(stat -c '%a %u %g %Y' $ROOT/m.txt.gz)\" = '604 12 34 946684798';"
       " cp -p $MNT/m.txt $MNT/p.txt; test \"$(stat -c '%a %u %g %Y' $MNT/p.txt)\" = '604 12 34 "
       "946684798'"},
      {">> appends new members that gzip reads",
       "echo one > $MNT/ap.txt; echo two >> $MNT/ap.txt; echo three >> $MNT/ap.txt;"
       " printf 'one\\ntwo\\nthree\\n' > $S/ap; cmp $S/ap $MNT/ap.txt; gzip -dc $ROOT/ap.txt.gz | "
       "cmp - $S/ap;"
       " test $(stat -c %s $MNT/ap.txt) = 14"},
      {"mv renames the physical file, or converts it for a name stored otherwise",
       "echo data > $MNT/old.txt; mv $MNT/old.txt $MNT/new.txt; test ! -e $ROOT/old.txt.gz;"
       " gzip -t $ROOT/new.txt.gz; test \"$(cat $MNT/new.txt)\" = data;"
       " mv $MNT/new.txt $MNT/new.dat; test ! -e $ROOT/new.gz; test ! -e $ROOT/new.txt.gz;"
       " test \"$(cat $ROOT/new.dat)\" = data; test \"$(cat $MNT/new.dat)\" = data;"
       " ls $MNT | grep -qx new.dat"},
      {"sed -i and mv onto a converted name convert the data",
       "seq 1 100 > $MNT/sedtest.txt; sed -i 's/^1$/one/' $MNT/sedtest.txt;"
       " gzip -dc $ROOT/sedtest.txt.gz | head -1 | grep -qx one; head -1 $MNT/sedtest.txt | grep "
       "-qx one;"
       " test \"$(ls -a $ROOT | grep -c sedtest)\" = 1; test \"$(ls -a $MNT | grep -c sedtest)\" = "
       "1;"
       " echo plain > $MNT/mvtest.dat; chmod 640 $MNT/mvtest.dat; mv $MNT/mvtest.dat "
       "$MNT/mvtest.txt;"
       " test \"$(cat $MNT/mvtest.txt)\" = plain; test \"$(gzip -dc $ROOT/mvtest.txt.gz)\" = plain;"
       " test $(stat -c %a $MNT/mvtest.txt) = 640; mv $MNT/mvtest.txt $MNT/mvtest.bin;"
       " test \"$(cat $MNT/mvtest.bin)\" = plain; test \"$(cat $ROOT/mvtest.bin)\" = plain;"
       " seq 1 10 | gzip > $ROOT/outside.gz; ls $MNT >/dev/null; mv $MNT/outside $MNT/inside;"
       " test \"$(cat $MNT/inside)\" = \"$(seq 1 10)\"; test \"$(cat $ROOT/inside)\" = \"$(seq 1 "
       "10)\""},
      {"mv of a fifo, a directory and a link onto converted names only renames them",
       "mkfifo $MNT/ff; timeout 10 mv $MNT/ff $MNT/ff.txt; test -p $ROOT/ff.txt;"
       " mkdir $MNT/e; mv $MNT/e $MNT/e.txt; test -d $ROOT/e.txt;"
       " ln -s nowhere $MNT/sl; mv $MNT/sl $MNT/sl.txt; test \"$(readlink $MNT/sl.txt)\" = "
       "nowhere"},
      {"ln of a converted file is refused; of an unchanged one it survives rm of the first name",
       "echo linked > $MNT/src.txt; fails ln $MNT/src.txt $MNT/dst.txt 2>$S/err;"
       " grep -q 'Operation not permitted' $S/err; test ! -e $MNT/dst.txt;"
       " test \"$(cat $MNT/src.txt)\" = linked;"
       " echo plain > $MNT/a.dat; ln $MNT/a.dat $MNT/b.dat; rm $MNT/a.dat;"
       " test \"$(cat $MNT/b.dat)\" = plain; test $(stat -c %h $ROOT/b.dat) = 1"},
      {"rm removes the physical file",
       "echo x > $MNT/gone.txt; rm $MNT/gone.txt; test ! -e $ROOT/gone.txt.gz; fails stat "
       "$MNT/gone.txt"},
      {"find walks the logical tree",
       "mkdir -p $MNT/f1/f2; echo a > $MNT/f1/f2/a.txt; echo b > $MNT/f1/b.cob;"
       " test \"$(cd $MNT && find f1 -type f | sort | tr '\\n' ' ')\" = 'f1/b.cob f1/f2/a.txt '"},
      {"symlink keeps its text, readlink gives it back",
       "ln -s ../target.txt $MNT/lnk; test \"$(readlink $MNT/lnk)\" = ../target.txt;"
       " test \"$(readlink $ROOT/lnk)\" = ../target.txt"},
      {"python writes, seeks and reads",
       "python3 - $MNT <<'PY'\n"
       "import os, sys\n"
       "p = os.path.join(sys.argv[1], 'py.txt')\n"
       "with open(p, 'w') as f:\n"
       "    for i in range(10000): f.write('line %d\\n' % i)\n"
       "with open(p) as f:\n"
       "    f.seek(50000); tail = f.read(); f.seek(10); head = f.read(10)\n"
       "whole = ''.join('line %d\\n' % i for i in range(10000))\n"
       "assert tail == whole[50000:] and head == whole[10:20]\n"
       "assert os.stat(p).st_size == len(whole)\n"
       "PY"},
      {"a write below the expected offset fails with ESPIPE, a gap reads as zeros",
       "python3 - $MNT <<'PY'\n"
       "import errno, os, sys\n"
       "p = os.path.join(sys.argv[1], 'seq.txt')\n"
       "fd = os.open(p, os.O_WRONLY | os.O_CREAT, 0o644)\n"
       "os.pwrite(fd, b'a' * 8192, 0)\n"
       "try:\n"
       "    os.pwrite(fd, b'b', 100); sys.exit('backward write accepted')\n"
       "except OSError as e:\n"
       "    assert e.errno == errno.ESPIPE, e\n"
       "os.pwrite(fd, b'c', 10000)\n"
       "os.close(fd)\n"
       "data = open(p, 'rb').read()\n"
       "assert data == b'a' * 8192 + bytes(1808) + b'c', len(data)\n"
       "PY"},
      {"truncate to 0 works on a converted file, to 10 fails",
       "seq 1 100 > $MNT/tr.txt; truncate -s 0 $MNT/tr.txt; test $(stat -c %s $MNT/tr.txt) = 0;"
       " seq 1 100 > $MNT/tr.txt; fails truncate -s 10 $MNT/tr.txt 2>$S/err; grep -q 'Invalid "
       "argument' $S/err"},
      {"a name with apostrophes and command words is only a name",
       "echo safe > \"$MNT/x' comp.gzip() y='.dat\"; test -e \"$ROOT/x' comp.gzip() y='.dat\";"
       " test \"$(cat \"$ROOT/x' comp.gzip() y='.dat\")\" = safe;"
       " test \"$(cat \"$MNT/x' comp.gzip() y='.dat\")\" = safe;"
       " echo more > \"$MNT/it's.txt\"; settle; gzip -dc \"$ROOT/it's.txt.gz\" | grep -qx more"},
  });
  // Releases reach the daemon after close returns: look at the records
  // once it has ended. The read command names the file with the
  // apostrophe doubled.
  unmount();
  EXPECT_EQ("read.text(file='it''s.txt.gz' ccsid='UTF-8' method=LF comp.gzip())",
            record("meta", "it's.txt.read"));
  EXPECT_EQ("<none>", record("meta", "gone.txt.name"));
  EXPECT_EQ("<none>", record("real", "gone.txt.gz.name"));
  EXPECT_EQ("new.dat", record("meta", "new.dat.name"));
  EXPECT_EQ("new.dat", record("real", "new.dat.name"));
  EXPECT_EQ("<none>", record("real", "new.gz.name"));
  EXPECT_EQ("<none>", record("real", "new.txt.gz.name"));
  EXPECT_EQ("<none>", record("meta", "new.txt.name"));
}

// A full disk under the root must show as a failure of the program that
// wrote, never as a copy that succeeded; the daemon keeps serving.
TEST_F(ToolsTest, FullDiskIsReportedNotLost) {
  ASSERT_EQ(0, sh("mkdir $ROOT/small && mount -t tmpfs -o size=1m tmpfs $ROOT/small").status);
  mount();
  const ShellResult big =
      sh("head -c 3000000 /dev/urandom > $ROOT/../big; cp $ROOT/../big $MNT/small/big");
  EXPECT_NE(0, big.status);
  EXPECT_NE(std::string::npos, big.output.find("No space left on device")) << big.output;
  // Small enough to stay in the library's buffer until close.
  const ShellResult late =
      sh("rm -f $MNT/small/big; head -c 700000 /dev/urandom > $ROOT/../a;"
         " cp $ROOT/../a $MNT/small/a; head -c 700000 /dev/urandom > $ROOT/../b;"
         " cp $ROOT/../b $MNT/small/b");
  EXPECT_NE(0, late.status);
  EXPECT_NE(std::string::npos, late.output.find("No space left on device")) << late.output;
  const ShellResult sync =
      sh("python3 -c \"import os; fd = os.open('$MNT/small/c', os.O_WRONLY|os.O_CREAT, 0o644);"
         " os.write(fd, os.urandom(600000)); os.fsync(fd)\"");
  EXPECT_NE(0, sync.status);
  EXPECT_NE(std::string::npos, sync.output.find("No space left on device")) << sync.output;
  EXPECT_EQ(0, sh("ls -l $MNT/small >/dev/null && cmp $ROOT/../a $MNT/small/a").status);
  // A rename that must convert and cannot leaves source and target alone.
  const ShellResult keep = sh(
      "rm -f $MNT/small/a $MNT/small/c; echo precious > $MNT/small/t.txt;"
      " head -c 600000 /dev/urandom > $MNT/small/big;"
      " fails mv $MNT/small/big $MNT/small/t.txt 2>$ROOT/../err;"
      " grep -q 'No space left' $ROOT/../err; test \"$(cat $MNT/small/t.txt)\" = precious;"
      " test $(stat -c %s $MNT/small/big) = 600000; test -z \"$(ls -a $ROOT/small | grep tmp)\"");
  EXPECT_EQ(0, keep.status) << keep.output;
  unmount();
  sh("umount $ROOT/small");
}

// An encrypting rule: what goes in reads back, age -d opens the physical
// file, >> rewrites it whole (no temporary name is left or listed), a read
// in the middle is served, and a file age made reads through the mount.
TEST_F(DaemonTest, AgeEncryptedFilesThroughTheMount) {
  const std::string key = temp_.path() + "/age.key";
  ASSERT_EQ(0, sh("age-keygen -o '" + key + "' 2>/dev/null").status);
  const std::string layer = " encr.age(identity='" + key + "'))";
  setRules({{'w', 1, "*.sec", "[path]/[name].age", "write.bin(file=''" + layer, "format.bin()"},
            {'r', 1, "*.age", "[path]/[base]", "read.bin(file=''" + layer, "format.bin()"}});
  setCatchAll();
  mount();
  const ShellResult r =
      sh("K='" + key +
         "'; S=$ROOT/../scratch; mkdir -p $S\n"
         "seq 1 100000 > $S/p; cp $S/p $MNT/s.sec; cmp $S/p $MNT/s.sec; settle\n"
         "age -d -i $K $ROOT/s.sec.age | cmp - $S/p\n"
         "dd if=$MNT/s.sec bs=4096 skip=70 count=2 status=none > $S/mid\n"
         "dd if=$S/p bs=4096 skip=70 count=2 status=none | cmp - $S/mid\n"
         "seq 100001 100500 >> $MNT/s.sec; settle; seq 1 100500 > $S/all\n"
         "age -d -i $K $ROOT/s.sec.age | cmp - $S/all; cmp $MNT/s.sec $S/all\n"
         "test $(stat -c %s $MNT/s.sec) = $(stat -c %s $S/all)\n"
         "test -z \"$(ls -a $ROOT $MNT | grep vaskIndex.tmp)\"\n"
         "age -r $(age-keygen -y $K) -o $ROOT/made.age $S/p; ls $MNT > /dev/null\n"
         "cmp $MNT/made $S/p\n"
         "fails grep -q AGE-SECRET-KEY $ROOT/s.sec.age");
  EXPECT_EQ(0, r.status) << r.output << "\n" << log();
}

}  // namespace
}  // namespace daemontest
