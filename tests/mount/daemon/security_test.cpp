// A mount shared by several users (allow_other): the kernel must judge each
// request as the caller's, the daemon must never be the tool that follows a
// link planted in the root, and the index must stay out of reach.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

constexpr char kPassphrase[] = "Tr0ub4dor-and-3-quiet-herons";
constexpr char kNobody[] = "65534:65534";

// The gzip pair of tree_test, an age pair with a passphrase and the
// catch-all: a.txt is stored as a.txt.gz, s.age as s.age.enc, the rest as
// it is named.
std::vector<Rule> sharedRules() {
  const std::string age = std::string(" encr.age(passphrase='") + kPassphrase + "' logn=10))";
  return {
      {'w', 1, "*.txt", "[path]/[base].txt.gz", "write.bin(file='' comp.gzip())", "format.bin()"},
      {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
      {'w', 2, "*.age", "[path]/[name].enc", "write.bin(file=''" + age, "format.bin()"},
      {'r', 2, "*.enc", "[path]/[base]", "read.bin(file=''" + age, "format.bin()"},
      {'w', 90, "*", "[copy]", "write.bin(file='')", "format.bin()"},
      {'r', 90, "*", "[copy]", "read.bin(file='')", "format.bin()"},
  };
}

// Errors as the shell tools print them.
constexpr char kENOENT[] = "No such file or directory";
constexpr char kEACCES[] = "Permission denied";
constexpr char kEPERM[] = "Operation not permitted";

bool holdsAny(const std::string& text, const std::vector<const char*>& needles) {
  for (const char* n : needles)
    if (text.find(n) != std::string::npos) return true;
  return false;
}

// Output for a failure message: an index file read by mistake is binary
// and long.
std::string shown(const std::string& output) {
  std::string out;
  for (char ch : output.substr(0, 800)) out += (ch == '\n' || (ch >= ' ' && ch < 127)) ? ch : '.';
  return output.size() > 800 ? out + "[...]" : out;
}

std::string joined(const std::vector<const char*>& texts) {
  std::string out;
  for (const char* t : texts) out += (out.empty() ? "\"" : " or \"") + std::string(t) + "\"";
  return out;
}

// The root has a world-writable sticky directory (pub), a directory of
// nobody's own (nb), a plain world-writable one (sub) and a setgid one of
// group 1234 (sg); beside the root lies a file of root's, mode 0600, that
// no request through the mount may touch.
class SecurityTest : public DaemonTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    letOthersReachTheMount();
    if (HasFatalFailure()) return;
    outside_ = temp_.path() + "/outside";
    setRules(sharedRules());
    ASSERT_EQ(0, sh("mkdir -m 1777 $ROOT/pub; mkdir -m 0777 $ROOT/sub; mkdir -m 0755 $ROOT/nb;"
                    " chown 65534:65534 $ROOT/nb; mkdir $ROOT/sg; chgrp 1234 $ROOT/sg;"
                    " chmod 2777 $ROOT/sg")
                     .status);
    resetOutside();
    expectedOutside_ = outsideState();
  }

  // allow_other as the parameter asks, after root and mount point.
  void mountShared(const std::vector<std::string>& options = {}, const char* view = nullptr) {
    mountWithFuseArgs(options, {"-o", GetParam()}, view);
  }

  void resetOutside() {
    ASSERT_EQ(
        0, sh("printf 'root only\\n' > '" + outside_ + "'; chown 0:0 '" + outside_ +
              "'; chmod 0600 '" + outside_ + "'; touch -d '2000-01-02 03:04:05' '" + outside_ + "'")
               .status);
  }

  // Bytes, mode, owner and modification time of the outside file.
  std::string outsideState() {
    return sh("stat -c '%s %a %u:%g %Y' '" + outside_ + "'; sha256sum < '" + outside_ + "'").output;
  }

  // The daemon answers and has not ended.
  bool serving() { return running_->processAlive() && sh("stat $MNT >/dev/null").status == 0; }

  // The daemon's process id: the daemon's temporary names have held it.
  long daemonPid() {
    DIR* proc = opendir("/proc");
    long found = -1;
    while (dirent* e = proc != nullptr ? readdir(proc) : nullptr) {
      const long pid = std::strtol(e->d_name, nullptr, 10);
      if (pid <= 0) continue;
      std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
      std::string line;
      std::getline(stat, line);
      const size_t close = line.rfind(')');
      if (close == std::string::npos || line.find("(vaskFS)") == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      char state;
      long parent;
      if (rest >> state >> parent && parent == getpid()) found = pid;
    }
    if (proc != nullptr) closedir(proc);
    return found;
  }

  ShellResult as(bool nobody, const std::string& script) {
    return nobody ? shNobody(script) : sh(script);
  }

  std::string outside_, expectedOutside_;
};

INSTANTIATE_TEST_SUITE_P(LibfuseOptions, SecurityTest,
                         ::testing::Values("allow_other", "allow_other,default_permissions"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).find("default_permissions") ==
                                          std::string::npos
                                      ? std::string("AllowOther")
                                      : std::string("AllowOtherDefaultPermissions");
                         });

// The kernel checks modes and owners itself only with default_permissions;
// without it every check would be the daemon's.
TEST_P(SecurityTest, AllowOtherBringsDefaultPermissions) {
  mountShared();
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line, ours;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, base, point;
    if (fields >> id >> parent >> device >> base >> point && point == mnt_) ours = line;
  }
  ASSERT_NE("", ours) << mnt_ << " is not in /proc/self/mountinfo";
  EXPECT_NE(std::string::npos, ours.find("allow_other")) << ours;
  EXPECT_NE(std::string::npos, ours.find("default_permissions")) << ours;
}

struct Attack {
  const char* name;
  const char* prepare;  // as nobody through the mount; $D the directory, $F a fresh name
  const char* plant;    // names in $ROOT/$D that become links to the outside file ($PID known)
  const char* act;      // as nobody through the mount
};

// nobody may replace any name in a directory she can write with a link to
// a file she cannot touch; the daemon, whatever it does with that name,
// must not act on the link's target.
TEST_P(SecurityTest, PlantedSymlinksNeverLeadTheDaemonOutside) {
  mountShared();
  const long pid = daemonPid();
  ASSERT_GT(pid, 0) << "the daemon's process is not found";
  const Attack attacks[] = {
      {"rewrite of a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "echo evil > $MNT/$D/$F.txt"},
      {"append to a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "echo evil >> $MNT/$D/$F.txt"},
      {"truncate of a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "truncate -s 0 $MNT/$D/$F.txt"},
      {"chmod of a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "chmod 0666 $MNT/$D/$F.txt"},
      {"chown of a gzip file to its owner", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "chown 65534:65534 $MNT/$D/$F.txt"},
      {"touch -d of a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz",
       "touch -d '2011-11-11 11:11:11' $MNT/$D/$F.txt"},
      {"touch of a gzip file", "echo mine > $MNT/$D/$F.txt", "$F.txt.gz", "touch $MNT/$D/$F.txt"},
      {"append to an age file", "echo mine > $MNT/$D/$F.age", "$F.age.enc",
       "echo evil >> $MNT/$D/$F.age"},
      {"rewrite of a plain file looked up before", "echo mine > $MNT/$D/$F.dat", "$F.dat",
       "echo evil > $MNT/$D/$F.dat"},
      {"append to a plain file looked up before", "echo mine > $MNT/$D/$F.dat", "$F.dat",
       "echo evil >> $MNT/$D/$F.dat"},
      {"truncate of a plain file looked up before", "echo mine > $MNT/$D/$F.dat", "$F.dat",
       "truncate -s 0 $MNT/$D/$F.dat"},
      {"chmod of a plain file looked up before", "echo mine > $MNT/$D/$F.dat", "$F.dat",
       "chmod 0666 $MNT/$D/$F.dat"},
      {"touch of a plain file looked up before", "echo mine > $MNT/$D/$F.dat", "$F.dat",
       "touch $MNT/$D/$F.dat"},
      // A physical name without extension has none to carry over: the
      // data is converted into the target's gzip through a temporary file.
      {"converting rename into gzip", "echo mine > $MNT/$D/$F",
       ".vaskIndex.tmp.$F.txt.gz.$PID .vaskIndex.tmp.$F.txt.gz .vaskIndex.tmp.$F.txt",
       "mv $MNT/$D/$F $MNT/$D/$F.txt"},
      {"converting rename onto an existing gzip file",
       "echo mine > $MNT/$D/$F; echo old > $MNT/$D/$F.txt",
       ".vaskIndex.tmp.$F.txt.gz.$PID .vaskIndex.tmp.$F.txt.gz .vaskIndex.tmp.$F.txt",
       "mv $MNT/$D/$F $MNT/$D/$F.txt"},
      {"new gzip file written", ":", "$F.txt.gz", "echo evil > $MNT/$D/$F.txt"},
      {"new gzip file touched", ":", "$F.txt.gz", "touch $MNT/$D/$F.txt"},
      {"new age file written", ":", "$F.age.enc", "echo evil > $MNT/$D/$F.age"},
  };
  int row = 0;
  for (const char* dir : {"nb", "pub"}) {
    for (const Attack& a : attacks) {
      const std::string vars = std::string("D=") + dir + " F=f" + std::to_string(++row) +
                               " PID=" + std::to_string(pid) + " OUT='" + outside_ + "'\n";
      const std::string what = std::string(dir) + ": " + a.name;
      resetOutside();
      const ShellResult prepared = shNobody(vars + a.prepare + "; settle");
      EXPECT_EQ(0, prepared.status) << what << ": preparing failed:\n" << prepared.output;
      const ShellResult planted = sh(vars + "for n in " + a.plant +
                                     "; do rm -f \"$ROOT/$D/$n\"; ln -s \"$OUT\" \"$ROOT/$D/$n\";"
                                     " chown -h 65534:65534 \"$ROOT/$D/$n\"; done");
      ASSERT_EQ(0, planted.status) << what << ": planting failed:\n" << planted.output;
      const ShellResult acted = shNobody(vars + a.act + "; settle");
      sh("stat $MNT >/dev/null");
      EXPECT_EQ(expectedOutside_, outsideState())
          << what << ": the file outside the root changed (size mode owner mtime, sha256);\n"
          << "the act `" << a.act << "` ended with " << acted.status << ":\n"
          << acted.output;
      ASSERT_TRUE(serving()) << what << ": the daemon no longer serves\n" << log();
    }
  }
}

struct Probe {
  const char* what;
  const char* script;                 // $ME is root or nobody; $MNT/pub/src.$ME exists
  std::vector<const char*> accepted;  // any one of these errors
};

// The index (and every name of the daemon's own, .vaskIndex*) is not part
// of the tree: what exists is not found, what would be made is refused,
// for root as for anyone.
TEST_P(SecurityTest, IndexNamesAreOutOfReach) {
  ASSERT_EQ(0,
            sh("echo hidden > $ROOT/sub/.vaskIndex.tmp.x; echo hidden > $ROOT/pub/.vaskIndex.tmp.x")
                .status);
  mountShared();
  ASSERT_EQ(0, sh("seq 1 50 > $MNT/keep.txt").status);
  const std::vector<const char*> gone{kENOENT}, refused{kEACCES}, either{kENOENT, kEACCES};
  const Probe probes[] = {
      {"stat of the index", "stat $MNT/.vaskIndex", gone},
      {"stat of data.mdb", "stat $MNT/.vaskIndex/data.mdb", gone},
      {"ls of the index", "ls $MNT/.vaskIndex", gone},
      {"cat of lock.mdb", "cat $MNT/.vaskIndex/lock.mdb", gone},
      {"cat of a temporary name", "cat $MNT/sub/.vaskIndex.tmp.x", gone},
      {"stat of a temporary name", "stat $MNT/pub/.vaskIndex.tmp.x", gone},
      {"write of lock.mdb", "echo x > $MNT/.vaskIndex/lock.mdb", gone},
      {"append to data.mdb", "echo x >> $MNT/.vaskIndex/data.mdb", gone},
      {"cp onto lock.mdb", "cp $MNT/pub/src.$ME $MNT/.vaskIndex/lock.mdb", gone},
      {"touch of data.mdb", "touch $MNT/.vaskIndex/data.mdb", gone},
      {"truncate of lock.mdb", "truncate -s 0 $MNT/.vaskIndex/lock.mdb", gone},
      {"chmod of the index", "chmod 0777 $MNT/.vaskIndex", gone},
      {"chown of data.mdb", "chown 65534:65534 $MNT/.vaskIndex/data.mdb", gone},
      {"rm of lock.mdb", "rm $MNT/.vaskIndex/lock.mdb", gone},
      {"rm -r of the index", "rm -r $MNT/.vaskIndex", gone},
      {"rmdir of the index", "rmdir $MNT/.vaskIndex", gone},
      {"rm of a temporary name", "rm $MNT/sub/.vaskIndex.tmp.x", gone},
      {"mv of the index away", "mv $MNT/.vaskIndex $MNT/pub/idx.$ME", gone},
      {"mv of a temporary name away", "mv $MNT/sub/.vaskIndex.tmp.x $MNT/sub/out.$ME", gone},
      {"mv onto data.mdb", "mv $MNT/pub/src.$ME $MNT/.vaskIndex/data.mdb", gone},
      {"mkdir in the index", "mkdir $MNT/.vaskIndex/v", gone},
      {"symlink in the index", "ln -s x $MNT/.vaskIndex/l", gone},
      // The kernel takes these for names to be made, since lookup found none.
      {"write of an existing temporary name", "echo x > $MNT/sub/.vaskIndex.tmp.x", either},
      {"touch of an existing temporary name", "touch $MNT/sub/.vaskIndex.tmp.x", either},
      {"mkdir of the index", "mkdir $MNT/.vaskIndex", either},
      {"mv onto the index", "mv $MNT/pub/src.$ME $MNT/.vaskIndex", either},
      {"mv onto an existing temporary name", "mv $MNT/pub/src.$ME $MNT/sub/.vaskIndex.tmp.x",
       either},
      {"write of a new .vaskIndexX", "echo x > $MNT/pub/.vaskIndexX", refused},
      {"write of a new .vaskIndex.txt", "echo x > $MNT/pub/.vaskIndex.txt", refused},
      {"touch of a new .vaskIndexX", "touch $MNT/pub/.vaskIndexX", refused},
      {"truncate creating .vaskIndexT", "truncate -s 0 $MNT/pub/.vaskIndexT", refused},
      {"mkdir of pub/.vaskIndex", "mkdir $MNT/pub/.vaskIndex", refused},
      {"mkdir of a new temporary name", "mkdir $MNT/sub/.vaskIndex.tmp.d", refused},
      {"mkfifo of a new temporary name", "mkfifo $MNT/pub/.vaskIndex.tmp.f", refused},
      {"symlink named .vaskIndexL", "ln -s src.$ME $MNT/pub/.vaskIndexL", refused},
      {"hard link named .vaskIndexH", "ln $MNT/pub/src.$ME $MNT/pub/.vaskIndexH", refused},
      {"mv onto a new .vaskIndexM", "mv $MNT/pub/src.$ME $MNT/pub/.vaskIndexM", refused},
      {"mv onto a new temporary name", "mv $MNT/pub/src.$ME $MNT/sub/.vaskIndex.tmp.m", refused},
  };
  for (const bool nobody : {false, true}) {
    const std::string me = nobody ? "nobody" : "root";
    const std::string vars = "ME=" + me + "\n";
    for (const Probe& p : probes) {
      const ShellResult source =
          as(nobody, vars + "test -e $MNT/pub/src.$ME || echo s > $MNT/pub/src.$ME");
      ASSERT_EQ(0, source.status) << me << ": cannot make the source file\n" << source.output;
      const ShellResult got = as(nobody, vars + p.script);
      EXPECT_TRUE(got.status != 0 && holdsAny(got.output, p.accepted))
          << me << ": " << p.what << " (`" << p.script << "`): expected a failure with "
          << joined(p.accepted) << ", got status " << got.status << ":\n"
          << shown(got.output);
      ASSERT_TRUE(serving()) << me << ": the daemon stopped serving after " << p.what << "\n"
                             << log();
    }
    const ShellResult listed = as(nobody, "ls -a $MNT $MNT/pub $MNT/sub; find $MNT");
    EXPECT_EQ(0, listed.status) << me << "\n" << listed.output;
    EXPECT_EQ(std::string::npos, listed.output.find(".vaskIndex"))
        << me << ": a listing shows a .vaskIndex name:\n"
        << listed.output;
  }
  // Nothing was made, moved or changed in the root, and the index works.
  EXPECT_EQ(".vaskIndex\n.vaskIndex.tmp.x\n.vaskIndex.tmp.x\n",
            sh("ls -a $ROOT $ROOT/pub $ROOT/sub | grep vaskIndex | sort").output);
  EXPECT_EQ("hidden\nhidden\n",
            sh("cat $ROOT/sub/.vaskIndex.tmp.x $ROOT/pub/.vaskIndex.tmp.x").output);
  EXPECT_EQ(0, sh("seq 1 50 | cmp - $MNT/keep.txt").status);
  unmount();
  EXPECT_EQ("keep.txt.gz", record("meta", "keep.txt.name"));
}

// A view is read-only, and its index lives inside the root's: neither is
// reachable through it.
TEST_P(SecurityTest, IndexNamesAreOutOfReachInAView) {
  ASSERT_EQ(0, sh("mkdir $ROOT/docs; echo data > $ROOT/docs/d; echo hidden > "
                  "$ROOT/docs/.vaskIndex.tmp.x")
                   .status);
  setRules({{'r', 90, "*", "[copy]", "read.bin(file='')", "format.bin()"}}, "public");
  mountShared({}, "public");
  const std::vector<const char*> gone{kENOENT}, refused{kEACCES}, either{kENOENT, kEACCES};
  const Probe probes[] = {
      {"stat of the index", "stat $MNT/.vaskIndex", gone},
      {"stat of the view's index", "stat $MNT/.vaskIndex/public", gone},
      {"cat of the view's data.mdb", "cat $MNT/.vaskIndex/public/data.mdb", gone},
      {"ls of the index", "ls $MNT/.vaskIndex", gone},
      {"stat of a temporary name", "stat $MNT/docs/.vaskIndex.tmp.x", gone},
      {"cat of a temporary name", "cat $MNT/docs/.vaskIndex.tmp.x", gone},
      {"write of the view's lock.mdb", "echo x > $MNT/.vaskIndex/public/lock.mdb", gone},
      {"rm of data.mdb", "rm $MNT/.vaskIndex/data.mdb", gone},
      {"touch of a new .vaskIndexX", "touch $MNT/docs/.vaskIndexX", refused},
      {"mkdir of docs/.vaskIndex", "mkdir $MNT/docs/.vaskIndex", refused},
      {"write of an existing temporary name", "echo x > $MNT/docs/.vaskIndex.tmp.x", either},
  };
  for (const bool nobody : {false, true}) {
    const std::string me = nobody ? "nobody" : "root";
    for (const Probe& p : probes) {
      const ShellResult got = as(nobody, p.script);
      EXPECT_TRUE(got.status != 0 && holdsAny(got.output, p.accepted))
          << me << " in the view: " << p.what << " (`" << p.script << "`): expected a failure with "
          << joined(p.accepted) << ", got status " << got.status << ":\n"
          << shown(got.output);
      ASSERT_TRUE(serving()) << me << ": the view stopped serving after " << p.what << "\n"
                             << log();
    }
    const ShellResult listed = as(nobody, "ls -a $MNT $MNT/docs; cat $MNT/docs/d");
    EXPECT_EQ(0, listed.status) << me << "\n" << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("data")) << me << "\n" << listed.output;
    EXPECT_EQ(std::string::npos, listed.output.find(".vaskIndex"))
        << me << ": a listing of the view shows a .vaskIndex name:\n"
        << listed.output;
  }
}

// What a user makes belongs to her, in the mount and in the root, where the
// kernel's own checks see it; a setgid directory gives its group.
TEST_P(SecurityTest, NewNamesBelongToTheirMaker) {
  mountShared();
  const ShellResult made = shNobody(
      "cd $MNT/pub; echo x > f.dat; echo x > g.txt; umask 077; echo x > s.age; umask 022;"
      " mkdir d; ln -s f.dat l; mkfifo p; cd $MNT/sg; echo x > f.dat; echo x > g.txt;"
      " mkdir d; settle");
  ASSERT_EQ(0, made.status) << made.output;
  struct Owned {
    const char* logical;
    const char* physical;
    const char* owner;
  } owned[] = {
      {"pub/f.dat", "pub/f.dat", kNobody},
      {"pub/g.txt", "pub/g.txt.gz", kNobody},
      {"pub/s.age", "pub/s.age.enc", kNobody},
      {"pub/d", "pub/d", kNobody},
      {"pub/l", "pub/l", kNobody},
      {"pub/p", "pub/p", kNobody},
      {"sg/f.dat", "sg/f.dat", "65534:1234"},
      {"sg/g.txt", "sg/g.txt.gz", "65534:1234"},
      {"sg/d", "sg/d", "65534:1234"},
  };
  for (const Owned& o : owned) {
    const std::string expected = std::string(o.owner) + "\n";
    EXPECT_EQ(expected, sh(std::string("stat -c %u:%g $MNT/") + o.logical).output)
        << o.logical << " through the mount";
    EXPECT_EQ(expected, sh(std::string("stat -c %u:%g $ROOT/") + o.physical).output)
        << o.physical << " in the root";
  }
}

struct OwnUse {
  const char* what;
  const char* script;  // as nobody, in $MNT/pub
};

// A user works with her own converted files, also those only she may read.
TEST_P(SecurityTest, OwnConvertedFilesWorkForTheirOwner) {
  mountShared();
  const OwnUse uses[] = {
      {"rewrite of a gzip file with >",
       "seq 1 1000 > rw.txt; seq 1 10 > rw.txt; settle; seq 1 10 | cmp - rw.txt;"
       " gzip -dc $ROOT/pub/rw.txt.gz | cmp - <(seq 1 10)"},
      {"append to a gzip file with >>",
       "seq 1 10 > ap.txt; seq 11 20 >> ap.txt; settle; seq 1 20 | cmp - ap.txt;"
       " gzip -dc $ROOT/pub/ap.txt.gz | cmp - <(seq 1 20)"},
      {"a 0600 age file reads back",
       "umask 077; seq 1 500 > s.age; settle; test \"$(stat -c %a:%u s.age)\" = 600:65534;"
       " test \"$(stat -c %a:%u $ROOT/pub/s.age.enc)\" = 600:65534; seq 1 500 | cmp - s.age"},
      {"append to a 0600 age file",
       "umask 077; seq 1 5 > a.age; seq 6 9 >> a.age; settle; seq 1 9 | cmp - a.age;"
       " test \"$(stat -c %a:%u $ROOT/pub/a.age.enc)\" = 600:65534"},
      {"a gzip file in a 0700 directory",
       "mkdir -m 0700 home; seq 1 30 > home/h.txt; settle; seq 1 30 | cmp - home/h.txt;"
       " test \"$(stat -c %a:%u $ROOT/pub/home)\" = 700:65534"},
      {"converting rename of an own file",
       "seq 1 40 > c; mv c c.txt; settle; seq 1 40 | cmp - c.txt;"
       " test \"$(stat -c %u:%g $ROOT/pub/c.txt.gz)\" = 65534:65534"},
  };
  for (const OwnUse& u : uses) {
    // The trace shows the values a failing test compared.
    const ShellResult got = shNobody(std::string("cd $MNT/pub; set -x\n") + u.script);
    EXPECT_EQ(0, got.status) << u.what << ":\n" << got.output;
  }
  ASSERT_TRUE(serving());
}

struct Denied {
  const char* what;
  const char* script;  // as nobody; $F is root's file in $MNT/pub, $MNT/pub/mine.dat nobody's
  std::vector<const char*> accepted;
};

// Root's private files in the shared sticky directory stay root's.
TEST_P(SecurityTest, AnotherUsersPrivateFileIsOutOfReach) {
  mountShared();
  const ShellResult made =
      sh("umask 077; for f in r.txt r.dat r.age; do echo secret > $MNT/pub/$f; done; settle;"
         " stat -c '%a %u:%g' $ROOT/pub/r.txt.gz $ROOT/pub/r.dat $ROOT/pub/r.age.enc");
  ASSERT_EQ(0, made.status) << made.output;
  EXPECT_EQ("600 0:0\n600 0:0\n600 0:0\n", made.output);
  // The sticky bit refuses with EPERM; a rename that converts may meet
  // the unreadable source first (EACCES); touch reports its failed open.
  const std::vector<const char*> denied{kEACCES}, notPermitted{kEPERM}, either{kEPERM, kEACCES};
  const Denied attempts[] = {
      {"read", "cat $MNT/pub/$F", denied},
      {"write", "echo evil > $MNT/pub/$F", denied},
      {"append", "echo evil >> $MNT/pub/$F", denied},
      {"truncate", "truncate -s 0 $MNT/pub/$F", denied},
      {"rm", "rm -f $MNT/pub/$F", notPermitted},
      {"mv away", "mv $MNT/pub/$F $MNT/pub/stolen.$F", either},
      {"mv away without extension", "mv $MNT/pub/$F $MNT/pub/stolen", either},
      {"hard link", "ln $MNT/pub/$F $MNT/pub/linked.$F", notPermitted},
      {"chmod", "chmod 0666 $MNT/pub/$F", notPermitted},
      {"chown to nobody", "chown 65534:65534 $MNT/pub/$F", notPermitted},
      {"touch -d", "touch -d '2011-11-11 11:11:11' $MNT/pub/$F", either},
      {"touch", "touch $MNT/pub/$F", denied},
      // Last: where it wrongly succeeds, root's file is gone for the rows after it.
      {"mv onto", "mv $MNT/pub/mine.dat $MNT/pub/$F", either},
  };
  for (const char* file : {"r.txt", "r.dat", "r.age"}) {
    const std::string vars = std::string("F=") + file + "\n";
    const std::string before = sh(vars + "stat -c '%a %u:%g %Y' $MNT/pub/$F").output;
    for (const Denied& d : attempts) {
      const ShellResult mine =
          shNobody("test -e $MNT/pub/mine.dat || echo mine > $MNT/pub/mine.dat");
      ASSERT_EQ(0, mine.status) << mine.output;
      const ShellResult got = shNobody(vars + d.script);
      EXPECT_TRUE(got.status != 0 && holdsAny(got.output, d.accepted))
          << file << ": " << d.what << " (`" << d.script << "`): expected a failure with "
          << joined(d.accepted) << ", got status " << got.status << ":\n"
          << shown(got.output);
    }
    const ShellResult after = sh(vars + "settle; cat $MNT/pub/$F");
    EXPECT_EQ("secret\n", after.output) << file << ": root's data changed";
    EXPECT_EQ(before, sh(vars + "stat -c '%a %u:%g %Y' $MNT/pub/$F").output)
        << file << ": root's file has another mode, owner or time";
  }
  ASSERT_TRUE(serving());
}

// The passphrase of a rule is a secret of the root's owner: not even the
// most talkative log holds it, and the log is no one else's to read.
TEST_P(SecurityTest, TraceLogKeepsThePassphraseAndIsPrivate) {
  const mode_t old = umask(022);
  mountShared({"-L", "trace"});
  umask(old);
  const ShellResult used = shNobody(
      "cd $MNT/pub; seq 1 100 > s.age; cat s.age >/dev/null; echo more >> s.age;"
      " seq 1 10 > c; mv c c.age; cat c.age >/dev/null; ls -l >/dev/null; settle");
  EXPECT_EQ(0, used.status) << used.output;
  unmount();
  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("s.age")) << "the trace holds no line of the calls";
  for (const char* secret : {kPassphrase, "Tr0ub4dor"}) {
    const size_t at = text.find(secret);
    const size_t from = at == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    EXPECT_EQ(std::string::npos, at) << "the log holds \"" << secret << "\" in the line:\n"
                                     << text.substr(from, text.find('\n', at) - from);
  }
  struct stat st;
  ASSERT_EQ(0, stat(log_.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777) << "the log's mode";
}

}  // namespace
}  // namespace daemontest
