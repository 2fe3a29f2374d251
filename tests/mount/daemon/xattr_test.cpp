// Extended attributes and POSIX ACLs through a real mount: kept on the
// physical file, judged by the kernel for the caller, carried through every
// replacement of a physical file, inherited from a directory's default ACL.
#include <sys/stat.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

// A file capability (CAP_NET_RAW, effective) in the xattr's own form.
#define CAPABILITY "0x0100000200200000000000000000000000000000"
// A shell function: the attributes and the ACL the rename test gives a file.
#define CHECK_KEPT                                                   \
  "check() { test \"$(getfattr -n user.u --only-values $1)\" = one;" \
  " test \"$(getfattr -n trusted.t --only-values $1)\" = two;"       \
  " getfacl -cp $1 | grep -x 'user:nobody:r--'; }; "

class XattrTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    letOthersReachTheMount();
    if (HasFatalFailure()) return;
    setRules({
        {'w', 2, "*.txt", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
        {'r', 2, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
    });
    setCatchAll();
  }
  void mountShared() { mountWithFuseArgs({}, {"-o", "allow_other"}); }

  // The scripts here say "no CMD" for a command that must fail: "! CMD"
  // never stops a "set -e" script.
  static std::string withNo(const std::string& script) { return "no() { ! \"$@\"; }\n" + script; }
  ShellResult sh(const std::string& script) { return DaemonTest::sh(withNo(script)); }
  ShellResult shNobody(const std::string& script) { return DaemonTest::shNobody(withNo(script)); }
  void runScripts(const std::vector<ScriptCase>& cases) {
    std::vector<std::string> texts;
    for (const ScriptCase& c : cases) texts.push_back(withNo(c.script));
    std::vector<ScriptCase> prefixed;
    for (size_t i = 0; i < cases.size(); ++i) prefixed.push_back({cases[i].name, texts[i].c_str()});
    DaemonTest::runScripts(prefixed);
  }
};

TEST_F(XattrTest, EveryNamespaceOnEveryKindOfFileAsRoot) {
  mountShared();
  runScripts({
      {"user, trusted and security attributes of a converted and a plain file",
       "echo data > $MNT/f.txt; echo data > $MNT/p.dat; settle;"
       " for f in f.txt p.dat; do setfattr -n user.u -v one $MNT/$f;"
       "  setfattr -n trusted.t -v two $MNT/$f; setfattr -n security.s -v three $MNT/$f;"
       "  test \"$(getfattr -n user.u --only-values $MNT/$f)\" = one;"
       "  test \"$(getfattr -n trusted.t --only-values $MNT/$f)\" = two;"
       "  test \"$(getfattr -n security.s --only-values $MNT/$f)\" = three;"
       "  getfattr -d -m - $MNT/$f | grep -x 'trusted.t=\"two\"'; done;"
       " test \"$(getfattr -n user.u --only-values $ROOT/f.txt.gz)\" = one;"
       " test \"$(getfattr -n trusted.t --only-values $ROOT/p.dat)\" = two;"
       " test \"$(cat $MNT/f.txt)\" = data; gzip -t $ROOT/f.txt.gz"},
      {"removal",
       "echo x > $MNT/r.txt; settle; setfattr -n user.a -v 1 $MNT/r.txt;"
       " setfattr -x user.a $MNT/r.txt; no getfattr -n user.a $MNT/r.txt;"
       " no getfattr -n user.a $ROOT/r.txt.gz; no setfattr -x user.a $MNT/r.txt"},
      {"a directory, the root and a symbolic link, never followed",
       "mkdir $MNT/d; setfattr -n user.u -v dir $MNT/d; setfattr -n user.u -v top $MNT;"
       " test \"$(getfattr -n user.u --only-values $ROOT/d)\" = dir;"
       " test \"$(getfattr -n user.u --only-values $ROOT)\" = top;"
       " echo t > $MNT/target.dat; ln -s target.dat $MNT/l;"
       " setfattr -h -n trusted.t -v link $MNT/l;"
       " test \"$(getfattr -h -n trusted.t --only-values $MNT/l)\" = link;"
       " test \"$(getfattr -h -n trusted.t --only-values $ROOT/l)\" = link;"
       " no getfattr -n trusted.t $ROOT/target.dat"},
      {"create and replace flags, and the length of a value asked first",
       "echo x > $MNT/c.txt; settle; python3 -c \"import os, errno, sys\n"
       "p = sys.argv[1]\nos.setxattr(p, 'user.c', b'1', os.XATTR_CREATE)\n"
       "try:\n  os.setxattr(p, 'user.c', b'2', os.XATTR_CREATE); sys.exit(1)\n"
       "except FileExistsError: pass\n"
       "try:\n  os.setxattr(p, 'user.n', b'2', os.XATTR_REPLACE); sys.exit(2)\n"
       "except OSError as e: assert e.errno == errno.ENODATA, e\n"
       "os.setxattr(p, 'user.big', b'v' * 3000)\n"
       "assert os.getxattr(p, 'user.big') == b'v' * 3000\n"
       "assert sorted(os.listxattr(p)) == ['user.big', 'user.c']\" $MNT/c.txt"},
      {"a file capability set by root",
       "echo x > $MNT/cap.dat; setfattr -n security.capability -v " CAPABILITY
       " $MNT/cap.dat; getfattr -e hex -n security.capability $ROOT/cap.dat | grep " CAPABILITY},
      {"the index stays out of reach",
       "no getfattr -d $MNT/.vaskIndex 2>&1; no setfattr -n user.x -v 1 $MNT/.vaskIndex;"
       " no getfattr -n user.x $ROOT/.vaskIndex"},
  });
}

// The kernel judges the caller: nobody uses "user." where the file's
// permissions let it, and neither sets nor even sees "trusted." and
// "security." attributes, which need capabilities the daemon has.
TEST_F(XattrTest, NobodyGetsWhatTheKernelGivesNobody) {
  mountShared();
  ASSERT_EQ(0, sh("mkdir -m 1777 $MNT/pub; echo root > $MNT/pub/root.dat").status);
  ShellResult r = shNobody(
      "set -e; for f in n.txt n.dat; do echo mine > $MNT/pub/$f; done; settle;"
      " for f in n.txt n.dat; do setfattr -n user.u -v mine $MNT/pub/$f;"
      "  test \"$(getfattr -n user.u --only-values $MNT/pub/$f)\" = mine;"
      "  no setfattr -n trusted.t -v 1 $MNT/pub/$f; no setfattr -n security.s -v 1 $MNT/pub/$f;"
      "  no setfattr -n security.capability -v " CAPABILITY
      " $MNT/pub/$f; done;"
      " no setfattr -n user.u -v 1 $MNT/pub/root.dat");
  ASSERT_EQ(0, r.status) << r.output;
  ASSERT_EQ(0, sh("set -e; test \"$(getfattr -n user.u --only-values $ROOT/pub/n.txt.gz)\" = mine;"
                  " no getfattr -n trusted.t $ROOT/pub/n.dat; no getfattr -n security.s "
                  "$ROOT/pub/n.dat; no getfattr -n security.capability $ROOT/pub/n.dat;"
                  " for f in n.txt n.dat; do setfattr -n trusted.t -v hidden $MNT/pub/$f; done")
                   .status);
  // The names a listing returns come from the physical file's file system,
  // which lists "trusted." only to a caller with CAP_SYS_ADMIN.
  r = shNobody(
      "set -e; for f in n.txt n.dat; do python3 -c \"import os, sys\n"
      "names = os.listxattr(sys.argv[1])\nassert names == ['user.u'], names\" $MNT/pub/$f;"
      " no getfattr -n trusted.t $MNT/pub/$f; done");
  EXPECT_EQ(0, r.status) << r.output;
  r =
      sh("set -e; python3 -c \"import os, sys\n"
         "assert sorted(os.listxattr(sys.argv[1])) == ['trusted.t', 'user.u']\" $MNT/pub/n.txt");
  EXPECT_EQ(0, r.status) << r.output;
}

// rename(2) keeps a file's attributes, also where the daemon must convert
// the data into a new physical file (and rsync saves through a temporary
// name, so its attributes take that way).
TEST_F(XattrTest, AttributesAndAclsSurviveRenames) {
  mountShared();

  runScripts({
      {"same conversion, then gzip to plain, then plain to gzip",
       CHECK_KEPT "seq 1 500 > $MNT/f.txt; settle; setfattr -n user.u -v one $MNT/f.txt;"
                  " setfattr -n trusted.t -v two $MNT/f.txt; setfacl -m u:nobody:r $MNT/f.txt;"
                  " mv $MNT/f.txt $MNT/g.txt; check $MNT/g.txt; check $ROOT/g.txt.gz;"
                  " mv $MNT/g.txt $MNT/g.dat; test ! -e $ROOT/g.txt.gz; check $MNT/g.dat;"
                  " check $ROOT/g.dat; seq 1 500 | cmp - $MNT/g.dat;"
                  " mv $MNT/g.dat $MNT/h.txt; test ! -e $ROOT/g.dat; check $MNT/h.txt;"
                  " check $ROOT/h.txt.gz; seq 1 500 | cmp - $MNT/h.txt"},
      {"a copy into a directory with a default ACL grants only what the file did",
       "mkdir $MNT/inh; setfacl -d -m u:nobody:rw $MNT/inh; echo x > $MNT/q.txt;"
       " chmod 660 $MNT/q.txt; mv $MNT/q.txt $MNT/inh/q.dat; test \"$(cat $MNT/inh/q.dat)\" = x;"
       " test -z \"$(getfacl -cp $MNT/inh/q.dat | grep nobody)\"; test $(stat -c %a "
       "$ROOT/inh/q.dat) = 660"},
  });
  // nobody renames its own file; the daemon keeps the "trusted." attribute
  // root gave it, which nobody itself could neither read nor set.
  ASSERT_EQ(0, sh("mkdir -m 1777 $MNT/pub").status);
  ShellResult r = shNobody("set -e; echo mine > $MNT/pub/n.txt; settle");
  ASSERT_EQ(0, r.status) << r.output;
  ASSERT_EQ(0, sh("setfattr -n trusted.t -v two $MNT/pub/n.txt").status);
  r = shNobody(
      "set -e; setfattr -n user.u -v one $MNT/pub/n.txt; mv $MNT/pub/n.txt $MNT/pub/n.dat");
  ASSERT_EQ(0, r.status) << r.output;
  r =
      sh("set -e; test \"$(getfattr -n trusted.t --only-values $ROOT/pub/n.dat)\" = two;"
         " test \"$(getfattr -n user.u --only-values $ROOT/pub/n.dat)\" = one;"
         " test \"$(cat $MNT/pub/n.dat)\" = mine; test ! -e $ROOT/pub/n.txt.gz");
  EXPECT_EQ(0, r.status) << r.output;
  // A file capability goes with the data only to a file of the same owner:
  // root's rename keeps it, nobody's copy (nobody's own file) gets none.
  r =
      sh("set -e; mkdir $MNT/mine; chown nobody $MNT/mine; for f in c.dat mine/c.dat; do"
         " echo x > $MNT/$f; setfattr -n security.capability -v " CAPABILITY
         " $MNT/$f; done;"
         " mv $MNT/c.dat $MNT/c.txt;"
         " getfattr -e hex -n security.capability $ROOT/c.txt.gz | grep " CAPABILITY);
  ASSERT_EQ(0, r.status) << r.output;
  r = shNobody("set -e; mv $MNT/mine/c.dat $MNT/mine/c.txt");
  ASSERT_EQ(0, r.status) << r.output;
  r =
      sh("set -e; test $(stat -c %U $ROOT/mine/c.txt.gz) = nobody;"
         " no getfattr -n security.capability $ROOT/mine/c.txt.gz");
  EXPECT_EQ(0, r.status) << r.output;
}

// A rewrite under a changed rule makes a new physical file under a new
// name: the old one's attributes go with the data.
TEST_F(XattrTest, RewriteUnderANewRuleKeepsAttributes) {
  mountShared();
  ASSERT_EQ(0, sh("set -e; seq 1 100 > $MNT/k.txt; settle; setfattr -n user.u -v one $MNT/k.txt;"
                  " setfacl -m u:nobody:rw $MNT/k.txt")
                   .status);
  setRules({{'w', 1, "*.txt", "[path]/[base].txt.zst", "write.bin(file='' comp.zstd())", ""},
            {'r', 3, "*.zst", "[path]/[base]", "read.bin(file='' comp.zstd())", ""}});
  const ShellResult r = sh(
      "set -e; seq 1 50 > $MNT/k.txt; settle; zstd -qt $ROOT/k.txt.zst; test ! -e $ROOT/k.txt.gz;"
      " test \"$(getfattr -n user.u --only-values $ROOT/k.txt.zst)\" = one;"
      " test \"$(getfattr -n user.u --only-values $MNT/k.txt)\" = one;"
      " getfacl -cp $MNT/k.txt | grep -x 'user:nobody:rw-'; seq 1 50 | cmp - $MNT/k.txt");
  EXPECT_EQ(0, r.status) << r.output;
}

// Appends write into the same physical file, an age append through a copy
// that is written back into it: what was set on the file stays.
TEST_F(XattrTest, AppendsKeepAttributes) {
  setLayerRules(makeAgeKey(), false);
  mountShared();
  const ShellResult r =
      sh("set -e; for f in a.sec g.txt z.zs; do seq 1 1000 > $MNT/$f; settle;"
         " setfattr -n user.u -v one $MNT/$f; setfacl -m u:nobody:r $MNT/$f;"
         " seq 1001 1100 >> $MNT/$f; settle; seq 1 1100 | cmp - $MNT/$f;"
         " test \"$(getfattr -n user.u --only-values $MNT/$f)\" = one;"
         " getfacl -cp $MNT/$f | grep -x 'user:nobody:r--'; done;"
         " test \"$(getfattr -n user.u --only-values $ROOT/a.sec.age)\" = one");
  EXPECT_EQ(0, r.status) << r.output;
}

TEST_F(XattrTest, AViewReadsAttributesAndChangesNone) {
  ASSERT_EQ(0, sh("set -e; echo seen > $ROOT/v.dat; setfattr -n user.u -v seen $ROOT/v.dat;"
                  " setfacl -m u:nobody:r $ROOT/v.dat")
                   .status);
  setRules({{'r', 90, "*", "[copy]", "read.bin(file='')", "format.bin()"}}, "public");
  mountWithFuseArgs({}, {"-o", "allow_other"}, "public");
  const ShellResult r =
      sh("set -e; test \"$(getfattr -n user.u --only-values $MNT/v.dat)\" = seen;"
         " getfacl -cp $MNT/v.dat | grep -x 'user:nobody:r--';"
         " setfattr -n user.w -v 1 $MNT/v.dat 2>&1 | grep 'Permission denied';"
         " setfattr -x user.u $MNT/v.dat 2>&1 | grep 'Permission denied';"
         " no setfacl -m u:nobody:rw $MNT/v.dat; no getfattr -n user.w $ROOT/v.dat;"
         " test \"$(getfattr -n user.u --only-values $ROOT/v.dat)\" = seen;"
         " getfacl -cp $ROOT/v.dat | grep -x 'user:nobody:r--'");
  EXPECT_EQ(0, r.status) << r.output;
}

// An ACL entry grants a named user or group exactly its rights, on a
// converted file as on a plain one; everybody else keeps what the mode says.
TEST_F(XattrTest, AclGrantsNamedUsersAndGroupsExactly) {
  mountShared();
  ASSERT_EQ(0, sh("set -e; umask 077; for f in s.txt s.dat; do echo secret > $MNT/$f; done;"
                  " settle; for f in s.txt s.dat; do setfacl -m u:nobody:r,g:65533:rw $MNT/$f;"
                  " done; getfacl -cp $ROOT/s.txt.gz | grep -x 'user:nobody:r--'")
                   .status);
  for (const char* f : {"s.txt", "s.dat"}) {
    const std::string file = std::string("$MNT/") + f;
    ShellResult r =
        shNobody("set -e; test \"$(cat " + file + ")\" = secret; no sh -c 'echo x >> $0' " + file);
    EXPECT_EQ(0, r.status) << f << ": " << r.output;
    r = sh("set -e; cd /; no setpriv --reuid=1 --regid=1 --clear-groups cat " + file +
           "; setpriv --reuid=2 --regid=2 --groups=65533 cat " + file +
           "; no setpriv --reuid=2 --regid=2 --clear-groups cat " + file);
    EXPECT_EQ(0, r.status) << f << ": " << r.output;
  }
  // The group bits show the ACL's mask, which follows chmod, as on any
  // file system with ACLs.
  ShellResult r =
      sh("set -e; for f in s.txt s.dat; do test $(stat -c %a $MNT/$f) = 660; done;"
         " chmod 600 $MNT/s.txt; getfacl -cp $MNT/s.txt | grep -x 'mask::---';"
         " test $(stat -c %a $MNT/s.txt) = 600");
  EXPECT_EQ(0, r.status) << r.output;
  r = shNobody("no cat $MNT/s.txt");
  EXPECT_EQ(0, r.status) << r.output;
}

// A new file, directory or node takes its directory's default ACL, cut by
// the mode it is made with; the umask applies only where there is none.
TEST_F(XattrTest, NewFilesInheritTheDefaultAclOrTakeTheUmask) {
  mountShared();
  runScripts({
      {"a default ACL is inherited and the umask ignored",
       "mkdir $MNT/shared; setfacl -d -m u:nobody:rw $MNT/shared;"
       " (umask 077; echo x > $MNT/shared/f.txt; echo y > $MNT/shared/p.dat;"
       "  mkdir $MNT/shared/sub; mkfifo $MNT/shared/fifo); settle;"
       " for f in f.txt p.dat fifo; do getfacl -cp $MNT/shared/$f | grep -x 'user:nobody:rw-';"
       "  test $(stat -c %a $MNT/shared/$f) = 664; done;"
       " getfacl -cp $ROOT/shared/f.txt.gz | grep -x 'user:nobody:rw-';"
       " test $(stat -c %a $ROOT/shared/f.txt.gz) = 664;"
       " getfacl -cp $MNT/shared/sub | grep -x 'default:user:nobody:rw-';"
       " test $(stat -c %a $MNT/shared/sub) = 775"},
      {"the mode is cut by what the default ACL grants",
       "mkdir $MNT/ro; setfacl -d -m u::r,g::r,o::- $MNT/ro;"
       " echo x > $MNT/ro/f.txt; echo y > $MNT/ro/p.dat; settle;"
       " test $(stat -c %a $MNT/ro/f.txt) = 440; test $(stat -c %a $MNT/ro/p.dat) = 440;"
       " test $(stat -c %a $ROOT/ro/f.txt.gz) = 440"},
      {"without a default ACL the umask applies",
       "mkdir $MNT/plain; (umask 027; echo x > $MNT/plain/f.txt; touch $MNT/plain/p.dat;"
       "  mkdir $MNT/plain/s; mkfifo $MNT/plain/fifo); settle;"
       " test $(stat -c %a $MNT/plain/f.txt) = 640; test $(stat -c %a $ROOT/plain/f.txt.gz) = 640;"
       " test $(stat -c %a $MNT/plain/p.dat) = 640; test $(stat -c %a $MNT/plain/s) = 750;"
       " test $(stat -c %a $MNT/plain/fifo) = 640"},
  });
  const ShellResult r = shNobody(
      "set -e; test \"$(cat $MNT/shared/f.txt)\" = x; echo more >> $MNT/shared/p.dat;"
      " test \"$(cat $MNT/shared/p.dat)\" = \"$(printf 'y\\nmore')\"");
  EXPECT_EQ(0, r.status) << r.output;
}

// cp -a and rsync -aAX carry attributes and ACLs into the mount and out of
// it unchanged, for converted and plain files and for directories.
TEST_F(XattrTest, CopyToolsRoundTrip) {
  mountShared();
  runScripts({
      {"cp -a in, rsync -aAX in, rsync -aAX out",
       "mkdir $S/in $S/in/d; seq 1 300 > $S/in/f.txt; echo p > $S/in/p.dat;"
       " for f in f.txt p.dat d; do setfattr -n user.u -v \"$f\" $S/in/$f;"
       "  setfattr -n trusted.t -v t $S/in/$f; setfacl -m u:nobody:rw,g:65533:r $S/in/$f; done;"
       " setfacl -d -m u:nobody:rx $S/in/d;"
       " show() { (cd $1 && getfattr -R -d -m '^(user|trusted)[.]' . && getfacl -R . &&"
       "  find . -printf '%p %m %s\\n' | sort); };"
       " show $S/in > $S/want; cp -a $S/in $MNT/cp; show $MNT/cp | diff $S/want -;"
       " rsync -aAX $S/in/ $MNT/rs/; show $MNT/rs | diff $S/want -;"
       " test \"$(getfattr -n user.u --only-values $ROOT/rs/f.txt.gz)\" = f.txt;"
       " rsync -aAX $MNT/rs/ $S/back/; show $S/back | diff $S/want -; cmp $S/in/f.txt "
       "$S/back/f.txt"},
  });
}

}  // namespace
}  // namespace daemontest
