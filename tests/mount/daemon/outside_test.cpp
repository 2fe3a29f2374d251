// The mount beside other programs that work on the root: changes made under
// the root show at once, a file put there is found by name, and a view or a
// second daemon on the same root agrees with the mount that writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class OutsideTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({{'w', 1, "*.txt", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
              {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
              {'w', 2, "*.zs", "[copy].zst", "write.bin(file='' comp.zstd())", "format.bin()"},
              {'r', 2, "*.zst", "[path]/[base]", "read.bin(file='' comp.zstd())", "format.bin()"}});
    setCatchAll();
  }

  // A second mount of the same root at mnt2 (a daemon, or a view).
  void mountSecond(checktest::CheckerMount& second, const char* view = nullptr) {
    mnt2_ = temp_.path() + "/mnt2";
    const std::string out = temp_.path() + "/second";
    ASSERT_EQ(0, mkdir(mnt2_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));
    std::vector<std::string> args{"-f", "-l", out + "/vaskFS.log", root_, mnt2_};
    if (view != nullptr) args.push_back(view);
    ASSERT_EQ("", second.start(args, temp_.path(), mnt2_, out, false));
  }

  std::string mnt2_;
};

// Each script changes physical files the way a batch job, a restore or
// another tool does, then checks what the mount shows. `same` writes a
// text into the physical gzip file of $1 with the old file's mtime, so only
// ctime, size or inode tell the change.
constexpr const char* kHelpers =
    "same() { t=$(stat -c %Y \"$ROOT/$1.gz\"); printf '%s' \"$2\" | gzip -n > \"$ROOT/$1.gz\";"
    " touch -d @$t \"$ROOT/$1.gz\"; }\n"
    "agree() { test \"$(stat -c %s \"$MNT/$1\")\" = \"$2\" && test \"$(wc -c < \"$MNT/$1\")\" = \"$2\"; }\n";

TEST_F(OutsideTest, ChangesUnderTheRootShowAtOnceAndAfterARemount) {
  mount();
  const std::vector<ScriptCase> cases = {
      {"a batch job rewrites the physical file",
       "echo short > $MNT/a.txt; agree a.txt 6\n"
       "printf 'a much longer text that a batch job wrote into the file\\n' | gzip > $ROOT/a.txt.gz\n"
       "agree a.txt 56; cat $MNT/a.txt | grep -q 'batch job'\n"
       "echo more >> $MNT/a.txt; agree a.txt 61\n"
       "test \"$(gzip -dc $ROOT/a.txt.gz | tail -n 1)\" = more"},
      {"same mtime, same size, other bytes",
       "printf 'first-1' > $MNT/b.txt; agree b.txt 7; same b.txt 'other-2'\n"
       "test \"$(cat $MNT/b.txt)\" = other-2; agree b.txt 7"},
      {"replaced by rename with the old mtime",
       "printf 'old' > $MNT/c.txt; ls $MNT > /dev/null; t=$(stat -c %Y $ROOT/c.txt.gz)\n"
       "printf 'a new file moved over' | gzip -n > $ROOT/new.gz; touch -d @$t $ROOT/new.gz\n"
       "mv $ROOT/new.gz $ROOT/c.txt.gz; agree c.txt 21"},
      {"a file met in a listing, then grown",
       "printf 'one' | gzip > $ROOT/d.txt.gz; ls -l $MNT > /dev/null; agree d.txt 3\n"
       "printf 'two' | gzip >> $ROOT/d.txt.gz; agree d.txt 6; test \"$(cat $MNT/d.txt)\" = onetwo"},
      {"removed under the root",
       "echo x > $MNT/e.txt; rm $ROOT/e.txt.gz; fails stat $MNT/e.txt 2>/dev/null\n"
       "echo again > $MNT/e.txt; agree e.txt 6"},
      {"put under the root, found by name before any listing",
       "printf 'fresh' | gzip > $ROOT/f.txt.gz; printf 'zz' | zstd -q > $ROOT/g.zs.zst\n"
       "printf 'plain' > $ROOT/h; mkdir $ROOT/sub; printf 'below' | gzip > $ROOT/sub/i.txt.gz\n"
       "test \"$(cat $MNT/f.txt)\" = fresh; agree g.zs 2; test \"$(cat $MNT/h)\" = plain\n"
       "test \"$(cat $MNT/sub/i.txt)\" = below; fails stat $MNT/nothing.txt 2>/dev/null"},
  };
  for (const ScriptCase& c : cases) {
    const ShellResult r = sh(std::string(kHelpers) + "set -e\n" + c.script);
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.output;
  }
  // The index keeps what the checks found, also for a fresh daemon.
  ASSERT_EQ(0, unmount());
  ASSERT_EQ(0, sh("printf 'after the unmount' | gzip > $ROOT/d.txt.gz").status);
  mount();
  ShellResult r = sh(std::string(kHelpers) +
                     "agree a.txt 61 && agree b.txt 7 && agree c.txt 21 && agree d.txt 17 && "
                     "agree f.txt 5 && agree e.txt 6");
  EXPECT_EQ(0, r.status) << r.output;
}

// One daemon writes while another daemon and a view of the same root look:
// each sees every rewrite, append, rename and removal at its next lookup,
// and nobody recovers or re-records the file of a writer still at work.
TEST_F(OutsideTest, ASecondDaemonAndAViewAgreeWithTheWriter) {
  setRules({{'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
            {'r', 9, "*", "[copy]", "read.bin(file='')", "format.bin()"}},
           "public");
  for (const char* view : {static_cast<const char*>(nullptr), "public"}) {
    SCOPED_TRACE(view != nullptr ? "view" : "second daemon");
    mount();
    checktest::CheckerMount second(view != nullptr ? VASKFS_VIEW_BINARY : VASKFS_BINARY);
    mountSecond(second, view);
    const std::string other = "O=" + mnt2_ + "\n";
    runScripts({
        {"rewrite, append, rewrite shorter",
         (other + "echo 'twenty-six bytes of text' > $MNT/r.txt; test $(stat -c %s $O/r.txt) = 25\n"
                  "echo more >> $MNT/r.txt; test $(stat -c %s $O/r.txt) = 30\n"
                  "test \"$(tail -n 1 $O/r.txt)\" = more\n"
                  "echo ab > $MNT/r.txt; test $(stat -c %s $O/r.txt) = 3; test \"$(cat $O/r.txt)\" = ab")
             .c_str()},
        {"rename and removal",
         (other + "echo moved > $MNT/m.txt; cat $O/m.txt > /dev/null; mv $MNT/m.txt $MNT/n.txt\n"
                  "test \"$(cat $O/n.txt)\" = moved; fails stat $O/m.txt 2>/dev/null\n"
                  "rm $MNT/n.txt; fails stat $O/n.txt 2>/dev/null")
             .c_str()},
    });
    // A writer at work: the other mount looks the file up and lists it
    // meanwhile; the writer's data stays whole and is all there at the end.
    const int fd = open((mnt_ + "/w.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(100000, 'w');
    ASSERT_EQ(static_cast<ssize_t>(chunk.size()), write(fd, chunk.data(), chunk.size()));
    ShellResult look = sh("O=" + mnt2_ + "; ls -l $O > /dev/null; stat $O/w.txt > /dev/null; "
                          "cat $O/w.txt > /dev/null 2>&1; true");
    EXPECT_EQ(0, look.status) << look.output;
    ASSERT_EQ(static_cast<ssize_t>(chunk.size()), write(fd, chunk.data(), chunk.size()));
    ASSERT_EQ(0, close(fd));
    ShellResult whole = sh("O=" + mnt2_ + "; gzip -t $ROOT/w.txt.gz && "
                           "test $(gzip -dc $ROOT/w.txt.gz | wc -c) = 200000 && "
                           "test $(stat -c %s $O/w.txt) = 200000 && test $(stat -c %s $MNT/w.txt) = 200000");
    EXPECT_EQ(0, whole.status) << whole.output << log();
    // A second writer elsewhere waits its turn: EBUSY, not an interleaved file.
    if (view == nullptr) {
      const int first = open((mnt_ + "/x.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(first, 0);
      ASSERT_EQ(3, write(first, "one", 3));
      errno = 0;
      const int again = open((mnt2_ + "/x.txt").c_str(), O_WRONLY | O_APPEND);
      EXPECT_EQ(-1, again);
      EXPECT_EQ(EBUSY, errno);
      if (again >= 0) close(again);
      ASSERT_EQ(0, close(first));
      ShellResult after = sh("O=" + mnt2_ + "; echo two >> $O/x.txt; test \"$(cat $MNT/x.txt)\" = "
                             "\"$(printf 'onetwo')\"");
      EXPECT_EQ(0, after.status) << after.output;
    }
    EXPECT_EQ(0, second.stop());
    ASSERT_EQ(0, unmount());
    ASSERT_EQ(0, sh("rm -rf $ROOT/*; rmdir " + mnt2_ + "; rm -rf " + temp_.path() + "/second")
                     .status);
  }
}

// Names up to PATH_MAX keep their records, sizes and data through writes,
// renames of the file and of a directory above it.
TEST_F(OutsideTest, LongNamesKeepTheirRecords) {
  mount();
  for (size_t length : {300u, 700u, 2000u, 4000u}) {
    SCOPED_TRACE(length);
    std::string dir;
    while (dir.size() + 260 < length) dir += std::string(250, 'd' + dir.size() % 7) + "/";
    std::string file = std::string(length - dir.size() - 4, 'f').substr(0, 240);
    const std::string script =
        "D='" + dir + "'; F='" + file + "'\n"
        "mkdir -p \"$MNT/top/$D\"; printf 'converted' > \"$MNT/top/$D$F.txt\"\n"
        "printf 'plain' > \"$MNT/top/$D$F.dat\"\n"
        "mv \"$MNT/top/$D$F.txt\" \"$MNT/top/$D${F}2.txt\"\n"
        "mv \"$MNT/top\" \"$MNT/top2\"\n"
        "test $(stat -c %s \"$MNT/top2/$D${F}2.txt\") = 9\n"
        "test \"$(cat \"$MNT/top2/$D${F}2.txt\")\" = converted\n"
        "test \"$(cat \"$MNT/top2/$D$F.dat\")\" = plain\n"
        "gzip -t < \"$ROOT/top2/$D${F}2.txt.gz\"\n"
        "rm -r \"$MNT/top2\"";
    ShellResult r = sh(script);
    EXPECT_EQ(0, r.status) << r.output;
  }
  EXPECT_EQ(std::string::npos, log().find("MDB_BAD_VALSIZE"));
  EXPECT_EQ(std::string::npos, log().find("failed to save"));
}

}  // namespace
}  // namespace daemontest
