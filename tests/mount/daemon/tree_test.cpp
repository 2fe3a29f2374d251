// The tree as applications see it: listings under logical names with
// converted sizes, attributes from the index, the records behind them, the
// view, the log levels and the modes asked for.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "confdb.h"
#include "daemon_fixture.h"

namespace daemontest {
namespace {

const Rule kGzipRead{'r',           1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())",
                     "format.bin()"};
const Rule kGzipWrite{
    'w', 1, "*.txt", "[path]/[base].txt.gz", "write.bin(file='' comp.gzip())", "format.bin()"};

size_t countMatches(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class TreeTest : public DaemonTest {};

// Files made by the system gzip show under their plain names with the exact
// uncompressed size; the second listing is answered from the index.
TEST_F(TreeTest, GzipFilesListUnderPlainNamesWithTheirSizes) {
  setRules({kGzipRead});
  ASSERT_EQ(0, sh("mkdir $ROOT/logs; for i in $(seq 1 200); do seq 1 $i > $ROOT/logs/f$i;"
                  " done; gzip $ROOT/logs/f*; echo stray > $ROOT/logs/untranslated")
                   .status);
  mount({"-L", "trace"});
  const ShellResult first = sh("cd $MNT/logs && stat -c '%n %s' * | sort");
  ASSERT_EQ(0, first.status) << first.output;
  const ShellResult plain =
      sh("cd $ROOT/logs && for f in f*.gz; do"
         " echo \"${f%.gz} $(gzip -dc $f | wc -c)\"; done | sort");
  EXPECT_EQ(plain.output, first.output);
  EXPECT_EQ(std::string::npos, first.output.find("untranslated"));
  EXPECT_EQ(200u, countMatches(log(), "updateVaskInfo: rpath=logs/f"));

  const ShellResult second = sh("cd $MNT/logs && ls -l >/dev/null && stat -c '%n %s' * | sort");
  EXPECT_EQ(first.output, second.output);
  EXPECT_EQ(200u, countMatches(log(), "updateVaskInfo: rpath=logs/f")) << "the second look decoded";

  const ShellResult absent = sh("stat $MNT/logs/untranslated");
  EXPECT_NE(0, absent.status);
  EXPECT_NE(std::string::npos, absent.output.find("No such file or directory")) << absent.output;
}

// The records of a file written through the mount, key by key, byte by byte.
TEST_F(TreeTest, RecordsOfAWrittenFile) {
  setRules({kGzipWrite, kGzipRead});
  mount();
  ASSERT_EQ(0, sh("mkdir $MNT/dir && printf 'hello world\\n' > $MNT/dir/a.txt").status);
  const ShellResult look = sh("stat -c '%s' $MNT/dir/a.txt; gzip -dc $ROOT/dir/a.txt.gz");
  EXPECT_EQ("12\nhello world\n", look.output);
  unmount();

  EXPECT_EQ("dir/a.txt.gz", record("meta", "dir/a.txt.name"));
  EXPECT_EQ("dir/a.txt", record("real", "dir/a.txt.gz.name"));
  EXPECT_EQ("write.bin(file='dir/a.txt.gz' comp.gzip())", record("meta", "dir/a.txt.write"));
  EXPECT_EQ("format.bin()", record("meta", "dir/a.txt.wFormat"));
  EXPECT_EQ("read.bin(file='dir/a.txt.gz' comp.gzip())", record("meta", "dir/a.txt.read"));
  EXPECT_EQ("format.bin()", record("meta", "dir/a.txt.rFormat"));
  const std::string st = record("meta", "dir/a.txt.stat");
  ASSERT_EQ(144u, st.size());
  int64_t size;
  uint32_t mode;
  std::memcpy(&size, st.data() + 48, 8);
  std::memcpy(&mode, st.data() + 24, 4);
  EXPECT_EQ(12, size);
  EXPECT_TRUE(S_ISREG(mode));
  const std::string stamps = record("meta", "dir/a.txt.mtime");
  ASSERT_EQ(32u, stamps.size());
  int64_t modSeconds;
  std::memcpy(&modSeconds, stamps.data() + 16, 8);
  // The records describe the physical file as the write left it, so that
  // another program's change shows as a difference.
  struct stat physical;
  ASSERT_EQ(0, lstat((root_ + "/dir/a.txt.gz").c_str(), &physical));
  EXPECT_EQ(physical.st_mtim.tv_sec, modSeconds);
  const std::string ident = record("meta", "dir/a.txt.ident");
  ASSERT_EQ(56u, ident.size());
  uint64_t inode;
  int64_t physicalSize;
  std::memcpy(&inode, ident.data() + 8, 8);
  std::memcpy(&physicalSize, ident.data() + 16, 8);
  EXPECT_EQ(physical.st_ino, inode);
  EXPECT_EQ(physical.st_size, physicalSize);
  EXPECT_EQ("<none>", record("meta", "dir/a.txt.newts"));
  EXPECT_EQ("<none>", record("meta", "dir/a.txt.error"));
}

// A damaged attribute record is never handed to the kernel.
TEST_F(TreeTest, DamagedStatRecordIsIgnored) {
  setRules({kGzipRead});
  ASSERT_EQ(0, sh("seq 1 100 | gzip > $ROOT/n.gz").status);
  mount();
  // Only a listing finds the logical name of a file put under the root.
  ASSERT_EQ("n\n292\n", sh("ls $MNT; stat -c %s $MNT/n").output);
  unmount();
  ASSERT_EQ(0, sh("printf 'n.stat\\nshort\\n' | mdb_load -T -s meta $ROOT/.vaskIndex").status);
  ASSERT_EQ(5u, record("meta", "n.stat").size());
  mount();
  EXPECT_EQ("292\n", sh("stat -c %s $MNT/n").output);
  EXPECT_NE(std::string::npos, log().find("n.stat is damaged")) << log();
}

TEST_F(TreeTest, ViewIsReadOnlyAndShowsOnlyRuledDirectories) {
  setRules({});  // the root's index holds the views' indexes
  setRules(
      {{'r', 1, "docs/*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"}},
      "public");
  ASSERT_EQ(0, sh("mkdir $ROOT/docs $ROOT/secret; seq 1 10 | gzip > $ROOT/docs/n.gz;"
                  " echo x > $ROOT/secret/s")
                   .status);
  mount({}, "public");
  const ShellResult list =
      sh("ls $MNT; ls $MNT/docs >/dev/null; stat -c '%A %s' $MNT/docs/n; cat $MNT/docs/n | wc -l");
  EXPECT_EQ("docs\n-r--r--r-- 21\n10\n", list.output);
  struct Refused {
    const char* what;
    const char* script;
  } refused[] = {
      {"write access", "test -w $MNT/docs/n"}, {"utimens", "touch $MNT/docs/n"},
      {"create", "echo x > $MNT/docs/new"},    {"mkdir", "mkdir $MNT/docs/d"},
      {"unlink", "rm -f $MNT/docs/n"},         {"chmod", "chmod 600 $MNT/docs/n"},
  };
  for (const Refused& r : refused) {
    const ShellResult got = sh(r.script);
    EXPECT_NE(0, got.status) << r.what;
  }
  EXPECT_EQ("-r--r--r--\n", sh("stat -c %A $MNT/docs/n").output);
  // The view's records live in the view's own index.
  EXPECT_EQ("docs/n.gz", record("meta", "docs/n.name", "public"));
}

TEST_F(TreeTest, LogLevelsShowWhatTheySay) {
  setRules({kGzipWrite, kGzipRead});
  mount({"-L", "trace"});
  unmount();
  const std::string trace = log();
  EXPECT_TRUE(std::regex_search(
      trace, std::regex("kernel supported capabilities are [A-Z_]+(, [A-Z_0-9]+)*\n")))
      << trace;
  EXPECT_NE(std::string::npos,
            trace.find("\n[write configuration]\nconfW[  1,enabled,noIR] \"*.txt\""));
  EXPECT_NE(std::string::npos, trace.find("vaskFS announces the capabilities "));

  // Each operation's line starts with the caller: thread, process and
  // program; a release comes from the kernel, with process 0.
  ASSERT_EQ(0, sh("rm " + log_).status);
  mount({"-L", "info"});
  ASSERT_EQ(0, sh("echo x > $MNT/c.txt; cat $MNT/c.txt >/dev/null").status);
  unmount();
  const std::string info = log();
  EXPECT_TRUE(std::regex_search(
      info,
      std::regex(
          "\n[0-9]+\\[[1-9][0-9]*\\] [^\n]*cat\\[read\\] [0-9]+ bytes from c\\.txt at offset 0\n")))
      << info;
  EXPECT_TRUE(std::regex_search(
      info, std::regex("\n[0-9]+\\[0\\] \\[release\\] c\\.txt user-path /c\\.txt\n")))
      << info;

  ASSERT_EQ(
      0, sh("rm " + log_ + "; rm -r $ROOT/.vaskIndex/*.mdb; seq 1 9 | gzip > $ROOT/n.gz").status);
  setRules({kGzipWrite, kGzipRead});
  mount();
  ASSERT_EQ(0, sh("ls -l $MNT >/dev/null; ls -l $MNT >/dev/null").status);
  unmount();
  const std::string quiet = log();
  EXPECT_TRUE(std::regex_match(
      quiet, std::regex("00 " VASKFS_BINARY " VERSION: 5\\.1\\.4-32853 BUILD: RELEASE [^\n]*\n")))
      << quiet;
}

// The kernel has applied the caller's umask already: the daemon's own
// (022 here) must not take more bits away.
TEST_F(TreeTest, ModesAreTheOnesAskedFor) {
  setCatchAll();
  const mode_t old = umask(022);
  mount();
  umask(old);
  const ShellResult r =
      sh("umask 0; python3 -c \"import os; os.close(os.open('$MNT/f', os.O_CREAT|os.O_WRONLY, "
         "0o666))\";"
         " mkdir -m 0777 $MNT/d; stat -c %a $MNT/f $MNT/d $ROOT/f $ROOT/d");
  EXPECT_EQ("666\n777\n666\n777\n", r.output);
}

// A write rule with useIR reads its files back with the command stored at
// release; no read rule is needed, and none is consulted.
TEST_F(TreeTest, UseIRReadsWithTheStoredCommand) {
  setRules({{'w', 1, "*.u", "[path]/[base].packed", "write.bin(file='' comp.gzip(level=9))",
             "format.bin()", CONFIG_FLAG_USE_IR},
            {'r', 5, "*.packed", "[path]/[base].wrong", "read.bin(file='')", "format.bin()"}});
  mount();
  const ShellResult r =
      sh("seq 1 5000 > $MNT/a.u; seq 1 5000 | cmp - $MNT/a.u; test -r $MNT/a.u;"
         " gzip -dc $ROOT/a.packed | cmp - <(seq 1 5000); ls $MNT");
  EXPECT_EQ(0, r.status) << r.output;
  EXPECT_EQ("a.u\n", r.output);
  unmount();
  EXPECT_EQ("read.bin(file='a.packed' comp.gzip())", record("meta", "a.u.read"));
}

// Detached, the serving process holds the index's file locks itself, so
// that the configuration tool never takes the index for unused; rules set
// meanwhile apply to the next file.
TEST_F(TreeTest, DetachedDaemonHoldsTheIndexAndSeesNewRules) {
  setCatchAll();
  std::vector<std::string> args{"-l", log_, root_, mnt_};
  running_ = &daemon_;
  ASSERT_EQ("", daemon_.start(args, temp_.path(), mnt_, temp_.path(), true)) << log();
  const ShellResult locks =
      sh("ino=$(stat -c %i $ROOT/.vaskIndex/lock.mdb);"
         " grep -c \":$ino \" /proc/locks");
  EXPECT_EQ(0, locks.status) << locks.output;
  setRules({kGzipWrite, kGzipRead});
  const ShellResult after =
      sh("echo late > $MNT/late.txt; settle; gzip -dc $ROOT/late.txt.gz; cat $MNT/late.txt");
  EXPECT_EQ("late\nlate\n", after.output);
}

}  // namespace
}  // namespace daemontest
