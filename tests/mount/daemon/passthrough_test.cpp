// Plain files served by the kernel from their physical files: what an
// application sees when another program changes the physical file, when
// the physical file is replaced while open, when a file being written is
// renamed to a name that converts, and who a write acts as.
#include <sys/utsname.h>

#include <cstdio>
#include <string>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

// Whether this kernel can serve a FUSE file from a backing file: Linux 6.9
// or later, built with CONFIG_FUSE_PASSTHROUGH, and a daemon (started by
// these tests) with CAP_SYS_ADMIN.
bool kernelPassesThrough() {
  utsname u;
  int major = 0, minor = 0;
  if (uname(&u) != 0 || std::sscanf(u.release, "%d.%d", &major, &minor) != 2) return false;
  if (major < 6 || (major == 6 && minor < 9)) return false;
  const std::string release = u.release;
  const ShellResult r = shell(
      "{ zcat /proc/config.gz 2>/dev/null || cat /boot/config-" + release +
          " 2>/dev/null; } | grep -qx CONFIG_FUSE_PASSTHROUGH=y\n"
      "caps=$(awk '$1 == \"CapEff:\" { print $2 }' /proc/self/status)\n"
      "test $(( (0x$caps >> 21) & 1 )) = 1",
      "/", "/");
  return r.status == 0;
}

class PassthroughTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!kernelPassesThrough())
      GTEST_SKIP() << "this kernel has no FUSE passthrough (Linux 6.9, CONFIG_FUSE_PASSTHROUGH)";
    setGzipBesidePlain();
    letOthersReachTheMount();
    mountWithFuseArgs({"-L", "info"}, {"-o", "allow_other"});
  }
};

TEST_F(PassthroughTest, AnOpenFileSeesChangesMadeUnderTheRoot) {
  // Through the daemon, pages cached by an open file stay as they were; the
  // kernel serving the file shares the physical file's pages.
  const ShellResult r = sh(
      "seq 1 100000 > $MNT/f.dat; exec 3<$MNT/f.dat; cat <&3 > /dev/null\n"
      "printf CHANGED | dd of=$ROOT/f.dat bs=1 seek=0 conv=notrunc status=none\n"
      "test \"$(head -c 7 /proc/self/fd/3)\" = CHANGED\n"
      "test \"$(dd if=/proc/self/fd/3 bs=7 count=1 status=none)\" = CHANGED\n"
      "exec 3<&-");
  EXPECT_EQ(0, r.status) << r.output << log();
  EXPECT_NE(std::string::npos, log().find("plain files are served by the kernel")) << log();
}

TEST_F(PassthroughTest, APhysicalFileReplacedWhileOpenIsBusyUntilClosed) {
  // The kernel inode of the name keeps the old physical file while it is
  // open and takes no other: the next open is refused plainly (never the
  // old data, never EIO), and once the old opens are closed it gets the
  // new file, mappable.
  const ShellResult r = sh(
      "echo old > $MNT/r.dat; exec 3<$MNT/r.dat; exec 5>>$MNT/r.dat\n"
      "echo new > $ROOT/r.new; mv $ROOT/r.new $ROOT/r.dat\n"
      "test \"$(cat $MNT/r.dat 2>&1)\" = \"cat: $MNT/r.dat: Device or resource busy\"\n"
      "fails sh -c \"echo more >> $MNT/r.dat\" 2>/dev/null\n"
      "fails sh -c \"echo x > $MNT/r.dat\" 2>/dev/null; test \"$(cat $ROOT/r.dat)\" = new\n"
      "test \"$(cat <&3)\" = old; echo late >&5\n"
      "exec 3<&- 5>&-; settle\n"
      "test \"$(cat $MNT/r.dat)\" = new; echo more >> $MNT/r.dat\n"
      "python3 -c \"import mmap,sys; f=open(sys.argv[1],'r+b'); m=mmap.mmap(f.fileno(),3);"
      " m[0:3]=b'NEW'; m.flush()\" $MNT/r.dat\n"
      "test \"$(cat $ROOT/r.dat)\" = \"$(printf 'NEW\\nmore')\"");
  EXPECT_EQ(0, r.status) << r.output << log();
}

// A file the kernel serves is written past the daemon, and its kernel
// inode takes no converted open: a rename to a name that converts waits
// for the last such open, one made after the rename and a reader included,
// and then stores everything converted.
TEST_F(PassthroughTest, RenamedWhileOpenConvertsAtTheLastClose) {
  const ShellResult r = sh(
      "exec 3>$MNT/w.tmp; seq 1 100 >&3; exec 6<$MNT/w.tmp\n"
      "mv $MNT/w.tmp $MNT/w.txt; seq 101 200 >&3\n"
      "exec 4>>$MNT/w.txt; exec 3>&-; settle\n"
      "test -e $ROOT/w.tmp; test ! -e $ROOT/w.txt.gz\n"
      "seq 201 300 >&4; test \"$(tail -n 1 $MNT/w.txt)\" = 300\n"
      "mv $MNT/w.txt $MNT/v.txt; exec 4>&-; settle; test ! -e $ROOT/v.txt.gz\n"
      "test \"$(tail -n 1 <&6)\" = 300; exec 6<&-; eventually test ! -e $ROOT/w.tmp\n"
      "seq 1 300 > $ROOT/../want; cmp $ROOT/../want $MNT/v.txt\n"
      "gzip -dc $ROOT/v.txt.gz | cmp $ROOT/../want -\n"
      "test ! -e $ROOT/w.tmp; test ! -e $MNT/w.txt\n"
      "test $(stat -c %s $MNT/v.txt) = $(stat -c %s $ROOT/../want)");
  EXPECT_EQ(0, r.status) << r.output << log();
  // The conversion is recorded: a remount reads the same.
  ASSERT_EQ(0, unmount());
  mount();
  const ShellResult again = sh("seq 1 300 | cmp - $MNT/v.txt; test \"$(ls $MNT)\" = v.txt");
  EXPECT_EQ(0, again.status) << again.output;
}

// The conversion acts as the user who renamed, not as whoever closes last
// (here nobody, who may not write the directory), and a file removed while
// it waits is not converted.
TEST_F(PassthroughTest, AWaitingConversionActsAsTheRenamer) {
  const ShellResult r = sh(
      "mkdir -m 0755 $MNT/d; chown 1:1 $MNT/d; seq 1 50 > $MNT/d/a.tmp; chown 1:1 $MNT/d/a.tmp\n"
      "chmod 0644 $MNT/d/a.tmp; echo gone > $MNT/g.tmp\n"
      "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "
      "'exec 3<$MNT/d/a.tmp; sleep 1.5; cat <&3 >/dev/null' &\n"
      "exec 4<$MNT/g.tmp; sleep 0.5\n"
      "setpriv --reuid=1 --regid=1 --clear-groups mv $MNT/d/a.tmp $MNT/d/a.txt\n"
      "mv $MNT/g.tmp $MNT/g.txt; rm $MNT/g.txt; exec 4<&-\n"
      "wait; eventually test ! -e $ROOT/d/a.tmp; test -e $ROOT/d/a.txt.gz\n"
      "test $(stat -c %u $ROOT/d/a.txt.gz) = 1; seq 1 50 | cmp - $MNT/d/a.txt\n"
      "test \"$(ls -A $ROOT | grep -v .vaskIndex)\" = d");
  EXPECT_EQ(0, r.status) << r.output << log();
  // A renamer who could not read the file for the copy is refused at once,
  // as by a rename that copies at once, rather than never converting.
  const ShellResult unreadable = sh(
      "mkdir -m 0777 $MNT/e; setpriv --reuid=2 --regid=2 --clear-groups sh -c "
      "'seq 1 9 > $MNT/e/b.tmp; chmod 0600 $MNT/e/b.tmp; exec 3<$MNT/e/b.tmp; sleep 1.5' &\n"
      "sleep 0.5; fails setpriv --reuid=1 --regid=1 --clear-groups mv $MNT/e/b.tmp $MNT/e/b.txt\n"
      "wait; test -e $MNT/e/b.tmp; test ! -e $MNT/e/b.txt");
  EXPECT_EQ(0, unreadable.status) << unreadable.output;
}

// libfuse's own cache options must not make plain files unopenable.
TEST_F(PassthroughTest, LibfuseCacheOptionsStillOpen) {
  for (const char* option : {"kernel_cache", "auto_cache"}) {
    ASSERT_EQ(0, unmount());
    mountWithFuseArgs({}, {"-o", option});
    const ShellResult r = sh("echo a > $MNT/k; test \"$(cat $MNT/k)\" = a; echo b >> $MNT/k;"
                             " test \"$(cat $ROOT/k)\" = \"$(printf 'a\\nb')\"; rm $MNT/k");
    EXPECT_EQ(0, r.status) << option << ": " << r.output;
  }
}

TEST_F(PassthroughTest, AWriteByAnotherUserClearsSetUserIdWhileRootHoldsTheFile) {
  // The kernel writes with the credentials that registered the physical
  // file (root's here), shared by all its openers; another user's write
  // must still clear the set-user-ID bit, as on a local file.
  ASSERT_EQ(0, sh("echo x > $MNT/s; chmod 04777 $MNT/s").status);
  const ShellResult r = sh(
      "exec 3<>$MNT/s; setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "
      "'echo y >> $MNT/s'; exec 3>&-\n"
      "test $(stat -c %a $ROOT/s) = 777; test \"$(cat $MNT/s)\" = \"$(printf 'x\\ny')\"");
  EXPECT_EQ(0, r.status) << r.output;
}

}  // namespace
}  // namespace daemontest
