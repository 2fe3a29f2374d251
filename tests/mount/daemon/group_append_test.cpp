// A team's shared directories: a group member appends to a file that
// another user owns, in a sticky and in a plain group-writable directory.
// The file keeps its owner, group and inode for every kind of storage, and
// an append that cannot be made fails where the program sees it.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

constexpr const char* kTeam = "100";  // the group "users" of a Debian system

class GroupAppendTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    letOthersReachTheMount();
    if (HasFatalFailure()) return;
    key_ = makeAgeKey();
    setLayerRules(key_, false);
    // sticky: world-writable with the sticky bit; team: the group's own;
    // closed: nobody but root may make names in it.
    ASSERT_EQ(0, sh(std::string("mkdir -m 1777 $ROOT/sticky; mkdir -m 2775 $ROOT/team; ") +
                    "chgrp " + kTeam + " $ROOT/team; mkdir -m 0755 $ROOT/closed")
                     .status);
    mountWithFuseArgs({}, {"-o", "allow_other"});
  }

  // The script as nobody with the team as its only supplementary group.
  ShellResult asMember(const std::string& script) {
    return sh(std::string("setpriv --reuid=65534 --regid=65534 --groups=") + kTeam +
              " /bin/sh -c 'set -e; cd /; " + script + "'");
  }

  std::string key_;
};

struct Kind {
  const char* name;  // logical file name
  const char* physical;
  const char* decode;  // prints the physical file $P decoded
};

const Kind kKinds[] = {
    {"f.txt", "f.txt.gz", "gzip -dc \"$P\""},
    {"f.zs", "f.zs.zst", "zstd -qdc \"$P\""},
    {"f.sec", "f.sec.age", "age -d -i \"$K\" \"$P\""},
    {"f.dat", "f.dat", "cat \"$P\""},
};

TEST_F(GroupAppendTest, AMemberAppendsAndTheFileStaysItsOwners) {
  for (const char* dir : {"sticky", "team"}) {
    for (const Kind& k : kKinds) {
      SCOPED_TRACE(std::string(dir) + "/" + k.name);
      const std::string logical = std::string("$MNT/") + dir + "/" + k.name;
      const std::string physical = std::string("$ROOT/") + dir + "/" + k.physical;
      // Root owns the file; the team may write it.
      ShellResult made = sh("echo first > " + logical + " && chgrp " + kTeam + " " + logical +
                      " && chmod 0664 " + logical);
      ASSERT_EQ(0, made.status) << made.output << log();
      const std::string before = sh("stat -c '%u %g %i %a' " + physical).output;
      const ShellResult append = asMember("echo second >> " + logical);
      EXPECT_EQ(0, append.status) << append.output << log();
      EXPECT_EQ(before, sh("stat -c '%u %g %i %a' " + physical).output);
      EXPECT_EQ("first\nsecond\n", sh("cat " + logical).output);
      const ShellResult decoded =
          sh("K='" + key_ + "'; P=" + physical + "; " + k.decode + "; stat -c %s " + logical);
      EXPECT_EQ("first\nsecond\n13\n", decoded.output);
      // Nothing is left beside it.
      EXPECT_EQ("", sh(std::string("ls -A $ROOT/") + dir + " | grep vaskIndex || true").output);
    }
  }
}

// Where no copy can be made (a directory the member may not write), an
// age append fails at open or write, so /bin/echo itself reports it, and
// the file keeps what it held.
TEST_F(GroupAppendTest, AnAppendThatCannotBeMadeFailsWhereTheProgramSeesIt) {
  ASSERT_EQ(0, sh("echo first > $MNT/closed/g.sec && chmod 0666 $MNT/closed/g.sec").status);
  const ShellResult append = asMember("/bin/echo second >> $MNT/closed/g.sec");
  EXPECT_NE(0, append.status) << append.output;
  EXPECT_EQ("first\n", sh("cat $MNT/closed/g.sec").output);
  EXPECT_EQ("6\n", sh("stat -c %s $MNT/closed/g.sec").output);
}

}  // namespace
}  // namespace daemontest
