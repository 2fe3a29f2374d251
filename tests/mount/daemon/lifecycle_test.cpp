// Names and data through ordinary use: files removed behind the daemon's
// back, removed while open, truncated, touched and linked, each with a
// gzip, an age and an unchanged file where the case applies.
#include "daemon_fixture.h"

namespace daemontest {
namespace {

class LifecycleTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string age = " encr.age(passphrase='lifecycle pass' logn=10))";
    setRules({
        {'w', 1, "*.txt", "[path]/[base].txt.gz", "write.bin(file='' comp.gzip())", "format.bin()"},
        {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
        {'w', 2, "*.age", "[path]/[name].enc", "write.bin(file=''" + age, "format.bin()"},
        {'r', 2, "*.enc", "[path]/[base]", "read.bin(file=''" + age, "format.bin()"},
    });
    setCatchAll();
  }
};

TEST_F(LifecycleTest, OrdinaryUseKeepsNamesAndData) {
  mount();
  runScripts({
      {"a file removed from the root is gone from the mount and can be made again",
       "for f in g.txt g.age g.dat; do echo a > $MNT/$f; done; settle; stat $MNT/g.txt >/dev/null;"
       " rm $ROOT/g.txt.gz $ROOT/g.age.enc $ROOT/g.dat;"
       " for f in g.txt g.age g.dat; do fails stat $MNT/$f 2>/dev/null; echo b > $MNT/$f; settle;"
       " test \"$(cat $MNT/$f)\" = b; done"},
      {"rm of a ghost succeeds and clears it",
       "echo a > $MNT/h.txt; settle; rm $ROOT/h.txt.gz; rm -f $MNT/h.txt; ! ls $MNT | grep -qx "
       "h.txt"},
      {"removing a file while it is written leaves nothing behind",
       "for f in w.txt w.age w.dat; do exec 3>$MNT/$f; echo a >&3; rm $MNT/$f; echo b >&3;"
       " exec 3>&-; settle; fails stat $MNT/$f 2>/dev/null; done;"
       " left=$(ls -A $ROOT | grep -E '^(w[.]|[.]fuse_hidden|[.]vaskIndex[.]tmp)' || true); test "
       "-z \"$left\" || { echo left: $left; false; }"},
      {"truncate -s 0 leaves a valid empty stream, and >> appends after it",
       "seq 1 500 > $MNT/t.txt; seq 1 500 > $MNT/t.age; settle;"
       " truncate -s 0 $MNT/t.txt; truncate -s 0 $MNT/t.age;"
       " test $(stat -c %s $MNT/t.txt) = 0; test $(stat -c %s $MNT/t.age) = 0;"
       " gzip -t $ROOT/t.txt.gz; test -z \"$(gzip -dc $ROOT/t.txt.gz)\";"
       " test \"$(head -c 21 $ROOT/t.age.enc)\" = age-encryption.org/v1; test -z \"$(cat "
       "$MNT/t.age)\";"
       " echo x >> $MNT/t.txt; echo y >> $MNT/t.age; settle;"
       " test \"$(cat $MNT/t.txt)\" = x; test \"$(cat $MNT/t.age)\" = y; gzip -t $ROOT/t.txt.gz"},
      {"truncate right after close ends the stream the release had not ended yet",
       "for i in 1 2 3 4 5; do seq 1 1000 > $MNT/r.txt; truncate -s 0 $MNT/r.txt;"
       " test $(stat -c %s $MNT/r.txt) = 0; gzip -t $ROOT/r.txt.gz; done"},
      {"unchanged files truncate to any size, converted ones only to 0",
       "echo abcdef > $MNT/u.dat; truncate -s 100 $MNT/u.dat; test $(stat -c %s $MNT/u.dat) = 100;"
       " truncate -s 3 $MNT/u.dat; test \"$(cat $MNT/u.dat)\" = abc;"
       " echo abc > $MNT/c.txt; fails truncate -s 2 $MNT/c.txt 2>/dev/null; test \"$(cat $MNT/c.txt)\" "
       "= abc"},
      {"a write after touch -d gives the write's time; cp -p keeps the source's",
       "for f in m.txt m.dat; do echo a > $MNT/$f; settle; touch -d 2000-01-01 $MNT/$f;"
       " test $(stat -c %Y $MNT/$f) = $(date -d 2000-01-01 +%s); echo b > $MNT/$f; settle;"
       " test $(stat -c %Y $MNT/$f) -gt $(date -d 2020-01-01 +%s); done;"
       " echo s > $S/src; touch -d 2001-02-03 $S/src; cp -p $S/src $MNT/p.txt; settle;"
       " test $(stat -c %Y $MNT/p.txt) = $(date -d 2001-02-03 +%s)"},
      {"ln then rm of the first name: refused for converted files, kept for unchanged ones",
       "echo a > $MNT/l.txt; fails ln $MNT/l.txt $MNT/l2.txt 2>/dev/null; test \"$(cat $MNT/l.txt)\" = "
       "a;"
       " echo a > $MNT/l.age; fails ln $MNT/l.age $MNT/l2.age 2>/dev/null;"
       " echo d > $MNT/l.dat; ln $MNT/l.dat $MNT/l2.dat; rm $MNT/l.dat; test \"$(cat "
       "$MNT/l2.dat)\" = d"},
      {"a file renamed while written (log rotation) keeps all its data and size",
       "for f in app.txt:app.1.txt app.age:app.1.age app.dat:app.dat.1; do a=${f%%:*}; b=${f#*:};"
       " exec 3>$MNT/$a; echo a >&3; mv $MNT/$a $MNT/$b; echo b >&3; exec 3>&-; settle;"
       " test \"$(cat $MNT/$b)\" = \"$(printf 'a\\nb')\" || { echo $b: $(cat $MNT/$b); false; };"
       " test $(stat -c %s $MNT/$b) = 4 || { echo $b size $(stat -c %s $MNT/$b); false; };"
       " fails stat $MNT/$a 2>/dev/null; echo c > $MNT/$a; settle; test \"$(cat $MNT/$a)\" = c; done;"
       " gzip -t $ROOT/app.1.txt.gz"},
      {"git init, two commits, gc, fsck --strict and clone work in the mount",
       "cd $MNT; git init -q g; cd g; git config user.email t@t; git config user.name t;"
       " echo hi > a.txt; echo x > b.c; git add .; git commit -qm one; echo more >> a.txt;"
       " git commit -qam two; git gc -q; git fsck --strict; cd ..; git clone -q g g2;"
       " test \"$(cat g2/a.txt)\" = \"$(printf 'hi\\nmore')\"; test $(git -C g2 rev-list --count "
       "HEAD) = 2"},
      {"two logical names never share one physical file",
       "echo a > $MNT/k.txt; settle; ! (echo b > $MNT/k.txt.gz) 2>$S/err; grep -q 'File exists' "
       "$S/err;"
       " test \"$(cat $MNT/k.txt)\" = a; gzip -t $ROOT/k.txt.gz"},
  });
  EXPECT_EQ(0, sh("stat $MNT >/dev/null").status) << "the daemon serves on";
}

// Writers of one converted file share its one stream: appends join it at
// its end, other writes that a stream cannot serve are refused, and no
// writer's data is lost.
TEST_F(LifecycleTest, WritersOfOneFileShareItsStream) {
  mount();
  runScripts({
      {">> while another descriptor writes keeps both writers' data",
       "for f in a.txt a.dat; do exec 3>$MNT/$f; head -c 4000 /dev/zero | tr '\\0' x >&3;"
       " echo y >> $MNT/$f; echo z >&3; exec 3>&-; settle; done;"
       " test \"$(tail -c 4 $MNT/a.txt)\" = \"$(printf 'y\\nz')\"; test $(stat -c %s $MNT/a.txt) = "
       "4004; gzip -t $ROOT/a.txt.gz; test $(tail -c 4 $MNT/a.dat | head -c 1) = x"},
      {"two shells appending 200 lines each to one gzip file keep all 400",
       "(for i in $(seq 200); do echo A$i >> $MNT/b.txt; done) &"
       " for i in $(seq 200); do echo B$i >> $MNT/b.txt; done; wait; settle;"
       " test $(grep -c A $MNT/b.txt) = 200; test $(grep -c B $MNT/b.txt) = 200; gzip -t "
       "$ROOT/b.txt.gz"},
      // Each >> of a name not there yet races to create it; the one that
      // creates must append after the others as well, never begin again.
      {"three shells making one gzip file with >> at once keep every line, five times",
       "for k in 1 2 3 4 5; do rm -f $MNT/m.txt; for s in A B C; do (for i in $(seq 60);"
       " do echo $s$i >> $MNT/m.txt; done) & done; wait; settle;"
       " test $(wc -l < $MNT/m.txt) = 180; test $(sort -u $MNT/m.txt | wc -l) = 180;"
       " gzip -t $ROOT/m.txt.gz; done"},
      {"a rewrite while a writer is open is busy; an append joins at the end",
       "cd $MNT; python3 -c \"import os,errno\n"
       "fd=os.open('c.txt',os.O_WRONLY|os.O_CREAT|os.O_TRUNC,0o644); os.write(fd,b'a'*100)\n"
       "try:\n  os.open('c.txt',os.O_WRONLY|os.O_TRUNC); raise SystemExit('not busy')\n"
       "except OSError as e:\n  assert e.errno==errno.EBUSY, e\n"
       "a=os.open('c.txt',os.O_WRONLY|os.O_APPEND); os.write(a,b'y'); os.write(fd,b'z')\n"
       "os.write(a,b'w'); os.close(a); os.close(fd)\"; settle;"
       " test \"$(cat c.txt)\" = \"$(head -c 100 /dev/zero | tr '\\0' a)yzw\"; gzip -t "
       "$ROOT/c.txt.gz"},
  });
}

// Rules may change while the root is mounted: a rewrite from the start
// follows the rule in force, name and conversion, and leaves no old copy.
TEST_F(LifecycleTest, RewriteTakesTheRuleInForce) {
  mount();
  ASSERT_EQ(0, sh("set -e; seq 1 100 > $MNT/k.txt; settle; gzip -t $ROOT/k.txt.gz").status);
  setRules({{'w', 1, "*.txt", "[path]/[base].txt.zst", "write.bin(file='' comp.zstd())", ""},
            {'r', 3, "*.zst", "[path]/[base]", "read.bin(file='' comp.zstd())", ""}});
  const ShellResult r = sh(
      "set -e; seq 1 50 > $MNT/k.txt; settle; zstd -qt $ROOT/k.txt.zst; fails test -e $ROOT/k.txt.gz;"
      " seq 1 50 | cmp - $MNT/k.txt; test $(ls $MNT | grep -c '^k') = 1;"
      " test $(stat -c %s $MNT/k.txt) = $(seq 1 50 | wc -c)");
  EXPECT_EQ(0, r.status) << r.output;
  EXPECT_EQ("k.txt", record("real", "k.txt.zst.name"));
  EXPECT_EQ("<none>", record("real", "k.txt.gz.name"));
}

}  // namespace
}  // namespace daemontest
