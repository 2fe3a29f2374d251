// Two hosts that share a root on GlusterFS: one volume of one brick on this
// machine, mounted twice (each mount stands for a host), and on each a
// vaskFS with its own index and the rules of one export. What one host
// writes, appends, renames and removes reads right on the other, writers on
// two hosts are kept apart by the volume's own locks, and a daemon killed
// while it writes leaves the other host a whole prefix of the file.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class HostsTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string t = temp_.path();
    volume_ = "vaskfs" + std::to_string(getpid());
    brick_ = t + "/brick";
    // `fails CMD`: CMD must fail (a "! CMD" line would not end a "set -e" script).
    env_ = "VOL=" + volume_ + " BRICK=" + brick_ + " G1=" + t + "/g1 G2=" + t + "/g2 A=" + t +
           "/a B=" + t + "/b S=" + t + "/scratch\n" + "fails() { if \"$@\"; then return 1; fi; }\n";
    // The client's own caches keep what another client changed for a
    // second; a team that shares a root turns them off as here.
    const ShellResult started =
        sh(env_ +
           "set -e; mkdir -p $BRICK $G1 $G2 $A $B $S\n"
           "command -v glusterd > /dev/null || { echo 'glusterd is missing (glusterfs-server)'; "
           "exit 1; }\n"
           "pgrep -x glusterd > /dev/null || glusterd\n"
           "for i in $(seq 100); do gluster --mode=script volume list > /dev/null 2>&1 && break;"
           " sleep 0.1; done\n"
           "gluster --mode=script volume create $VOL $(hostname):$BRICK force\n"
           "gluster --mode=script volume start $VOL\n"
           "for o in quick-read stat-prefetch open-behind write-behind io-cache read-ahead; do\n"
           "  gluster --mode=script volume set $VOL performance.$o off; done\n"
           "for g in $G1 $G2; do mount -t glusterfs -o "
           "attribute-timeout=0,entry-timeout=0,negative-timeout=0 localhost:/$VOL $g; done\n");
    ASSERT_EQ(0, started.status) << "a GlusterFS volume on this host:\n" << started.output;
    volumeUp_ = true;

    // The team's rules, kept as text and imported into each host's index.
    setLayerRules(makeAgeKey(), false);
    const ShellResult rules = sh(env_ +
                                 "set -e; C=" VASKFSCONF_BINARY
                                 "\n"
                                 "$C -x $ROOT/.vaskIndex -E > $S/rules.txt\n"
                                 "$C -x " +
                                 t +
                                 "/indexA -I $S/rules.txt > /dev/null\n"
                                 "$C -x " +
                                 t +
                                 "/indexB -I - < $S/rules.txt > /dev/null\n"
                                 "$C -x " +
                                 t +
                                 "/indexA -E | cmp - $S/rules.txt\n"
                                 "$C -x " +
                                 t +
                                 "/indexB -E | cmp - $S/rules.txt\n"
                                 "grep -q 'comp.zstd' $S/rules.txt\n");
    ASSERT_EQ(0, rules.status) << rules.output;
    startHost(hostA_, "a");
    startHost(hostB_, "b");
  }

  void TearDown() override {
    hostA_.stop();
    hostB_.stop();
    if (volumeUp_) {
      const ShellResult r = sh(env_ +
                               "umount $G1; umount $G2\n"
                               "gluster --mode=script volume stop $VOL > /dev/null\n"
                               "gluster --mode=script volume delete $VOL > /dev/null\n");
      EXPECT_EQ(0, r.status) << r.output;
    }
    DaemonTest::TearDown();
  }

  // Host "a" serves g1 at a with indexA; host "b" g2 at b with indexB.
  void startHost(checktest::CheckerMount& host, const std::string& name) {
    const std::string t = temp_.path();
    const std::string upper = name == "a" ? "A" : "B";
    const std::string out = t + "/out" + upper;
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));
    ASSERT_EQ("",
              host.start({"-f", "-l", out + "/vaskFS.log", "-o", "index=" + t + "/index" + upper,
                          t + (name == "a" ? "/g1" : "/g2"), t + "/" + name},
                         t, t + "/" + name, out, false));
  }

  std::string hostLog(const char* upper) {
    return readFile(temp_.path() + "/out" + upper + "/vaskFS.log");
  }
  std::string path(const char* host, const std::string& name) {
    return temp_.path() + "/" + host + "/" + name;
  }
  ShellResult onHosts(const std::string& script) { return sh(env_ + script); }

  std::string volume_, brick_, env_;
  bool volumeUp_ = false;
  checktest::CheckerMount hostA_{VASKFS_BINARY};
  checktest::CheckerMount hostB_{VASKFS_BINARY};
};

// `same N F G`: both names read N bytes, by stat and by reading, and the
// same data.
constexpr const char* kSame =
    "same() { test $(stat -c %s $2) = $1 && test $(stat -c %s $3) = $1 &&"
    " test $(wc -c < $2) = $1 && cmp $2 $3; }\n";

TEST_F(HostsTest, WorkOnOneHostReadsRightOnTheOther) {
  for (const char* ext : {"txt", "zs", "sec", "dat"}) {
    SCOPED_TRACE(ext);
    const ShellResult r = onHosts(
        std::string(kSame) + "set -e; E=" + ext + "; f=file.$E\n" +
        "printf 'first line\\n' > $A/$f; test \"$(cat $B/$f)\" = 'first line'\n"
        "same 11 $A/$f $B/$f\n"
        "printf 'second\\n' >> $B/$f; same 18 $A/$f $B/$f\n"
        "test \"$(tail -n 1 $A/$f)\" = second\n"
        "printf 'third\\n' >> $A/$f; printf 'fourth\\n' >> $B/$f; same 31 $B/$f $A/$f\n"
        "head -c 300000 /dev/urandom > $S/big; cp $S/big $B/$f; same 300000 $A/$f $S/big\n"
        "printf 'short' > $A/$f; same 5 $B/$f $A/$f\n"
        "mv $A/$f $A/moved.$E; fails stat $B/$f 2> /dev/null; same 5 $B/moved.$E $A/moved.$E\n"
        "rm $B/moved.$E; fails stat $A/moved.$E 2> /dev/null; test -z \"$(ls $G1)\"\n");
    EXPECT_EQ(0, r.status) << r.output << "\nlog A:\n"
                           << hostLog("A") << "\nlog B:\n"
                           << hostLog("B");
  }
  // The physical files are those of the rules, and each host's index is its
  // own: nothing of one lies on the shared volume.
  const ShellResult r = onHosts(
      "set -e; printf x > $A/k.txt; printf y > $B/k.zs; printf z > $A/k.sec; printf w > $B/k.dat\n"
      "gzip -t $G2/k.txt.gz; zstd -qt $G1/k.zs.zst; test -s $G2/k.sec.age; test $(cat $G1/k.dat) = "
      "w\n"
      "test -z \"$(find $G1 -name '.vaskIndex*')\"");
  EXPECT_EQ(0, r.status) << r.output;
}

TEST_F(HostsTest, WritersOnTwoHostsAreKeptApart) {
  // A converted file: the writer on one host makes any writer on the other
  // wait (EBUSY), readers go on, and the file stays one valid stream.
  const int writer = open(path("a", "w.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(4, write(writer, "one\n", 4));
  ASSERT_EQ(0, fsync(writer));
  for (const int flags : {O_WRONLY | O_APPEND, O_WRONLY | O_TRUNC}) {
    errno = 0;
    const int second = open(path("b", "w.txt").c_str(), flags);
    EXPECT_EQ(-1, second) << "flags " << flags;
    EXPECT_EQ(EBUSY, errno) << "flags " << flags;
    if (second >= 0) close(second);
  }
  const int reader = open(path("b", "w.txt").c_str(), O_RDONLY);
  EXPECT_GE(reader, 0) << std::strerror(errno);
  if (reader >= 0) close(reader);
  ASSERT_EQ(0, close(writer));
  ShellResult r = onHosts(
      "set -e; gzip -t $G2/w.txt.gz; echo two >> $B/w.txt\n"
      "test \"$(cat $A/w.txt)\" = \"$(printf 'one\\ntwo')\"");
  EXPECT_EQ(0, r.status) << r.output;

  // flock(1) on a plain file excludes the other host, also while it waits;
  // a waiter that is interrupted gives up at once.
  r = onHosts(
      "set -e; echo data > $A/p.dat\n"
      "flock $A/p.dat sleep 2 & sleep 0.5\n"
      "fails flock -n $B/p.dat true\n"
      "start=$(date +%s%N); flock $B/p.dat true; waited=$(( ($(date +%s%N) - start) / 1000000 ))\n"
      "test $waited -gt 500 || { echo \"waited only $waited ms\"; exit 1; }; wait\n"
      "flock $A/p.dat sleep 3 & sleep 0.5\n"
      "start=$(date +%s%N); fails timeout -s INT 1 flock $B/p.dat true\n"
      "took=$(( ($(date +%s%N) - start) / 1000000 ))\n"
      "test $took -lt 2500 || { echo \"an interrupted wait took $took ms\"; exit 1; }; wait\n"
      "flock -n $B/p.dat true");
  EXPECT_EQ(0, r.status) << r.output;

  // Record locks, as sqlite takes them: one host's range excludes an
  // overlapping range on the other, not a separate one, and goes with the
  // close of its descriptor.
  ASSERT_EQ(0, onHosts("head -c 100 /dev/zero > $A/db.dat").status);
  const int fa = open(path("a", "db.dat").c_str(), O_RDWR);
  const int fb = open(path("b", "db.dat").c_str(), O_RDWR);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  struct flock l = lockRange(F_WRLCK, 0, 10);
  ASSERT_EQ(0, fcntl(fa, F_SETLK, &l)) << std::strerror(errno);
  l = lockRange(F_RDLCK, 5, 10);
  EXPECT_EQ(-1, fcntl(fb, F_SETLK, &l));
  EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << std::strerror(errno);
  l = lockRange(F_WRLCK, 20, 10);
  EXPECT_EQ(0, fcntl(fb, F_SETLK, &l)) << std::strerror(errno);
  l = lockRange(F_WRLCK, 0, 0);
  ASSERT_EQ(0, fcntl(fb, F_GETLK, &l)) << std::strerror(errno);
  EXPECT_EQ(F_WRLCK, l.l_type);
  EXPECT_EQ(0, l.l_start);
  EXPECT_EQ(10, l.l_len);
  ASSERT_EQ(0, close(fa));
  l = lockRange(F_WRLCK, 0, 10);
  EXPECT_EQ(0, fcntl(fb, F_SETLK, &l)) << std::strerror(errno);
  ASSERT_EQ(0, close(fb));

  // A converted file's flock is this host's: it excludes another flock
  // here and leaves the writer lock of the physical file alone.
  const int one = open(path("a", "w.txt").c_str(), O_RDONLY);
  const int two = open(path("a", "w.txt").c_str(), O_RDONLY);
  ASSERT_GE(one, 0);
  ASSERT_GE(two, 0);
  EXPECT_EQ(0, flock(one, LOCK_EX | LOCK_NB)) << std::strerror(errno);
  EXPECT_EQ(-1, flock(two, LOCK_EX | LOCK_NB));
  EXPECT_EQ(EWOULDBLOCK, errno);
  r = onHosts("set -e; echo three >> $A/w.txt; test \"$(tail -n 1 $B/w.txt)\" = three");
  EXPECT_EQ(0, r.status) << r.output;
  close(one);
  EXPECT_EQ(0, flock(two, LOCK_EX | LOCK_NB)) << std::strerror(errno);
  close(two);
}

TEST_F(HostsTest, AKilledWriterLeavesTheOtherHostAWholePrefix) {
  const std::string durable(300000, 'A'), lost(300000, 'B');
  std::vector<int> writers;
  for (const char* name : {"k.txt", "k.zs", "k.sec"}) {
    const int fd = open(path("a", name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(static_cast<ssize_t>(durable.size()), write(fd, durable.data(), durable.size()));
    ASSERT_EQ(0, fsync(fd)) << name;
    ASSERT_EQ(static_cast<ssize_t>(lost.size()), write(fd, lost.data(), lost.size()));
    writers.push_back(fd);
  }
  ASSERT_EQ(0, kill(hostA_.pid(), SIGKILL));
  for (const int fd : writers) close(fd);
  hostA_.stop();
  ASSERT_EQ(
      0, onHosts("{ head -c 300000 /dev/zero | tr '\\0' A; head -c 300000 /dev/zero | tr '\\0' B; }"
                 " > $S/written")
             .status);
  // What host b reads is what was written up to some point after the sync,
  // by stat and by reading, and the physical file is whole again.
  const ShellResult r = onHosts(
      "set -e\n"
      "for f in k.txt k.zs k.sec; do\n"
      "  n=$(wc -c < $B/$f); test $n -ge 300000 && test $n -le 600000\n"
      "  test $(stat -c %s $B/$f) = $n; head -c $n $S/written | cmp - $B/$f\n"
      "done\n"
      "gzip -t $G2/k.txt.gz; zstd -qt $G2/k.zs.zst");
  EXPECT_EQ(0, r.status) << r.output << "\nlog B:\n" << hostLog("B");
}

}  // namespace
}  // namespace daemontest
