// The index outside the root (-o index=DIR): the daemon keeps rules and
// records there and nothing under the root, vaskFSconf -x DIR sets the rules
// it uses, a view takes DIR/<view>, places the mount would reach are
// refused, and an index on a FUSE filesystem is reported but used.
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

const std::string GZIP_W = "write.bin(file='' comp.gzip())";
const std::string GZIP_R = "read.bin(file='' comp.gzip())";
const std::string BIN_F = "format.bin()";

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The number of records in the sub-database `db` of the environment in
// `dir`, read with plain LMDB calls; -1 when it cannot be read.
long countRecords(const std::string& dir, const char* db) {
  MDB_env* env = nullptr;
  if (mdb_env_create(&env) != 0) return -1;
  mdb_env_set_maxdbs(env, 4);
  long count = -1;
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  MDB_stat st;
  if (mdb_env_open(env, dir.c_str(), MDB_RDONLY, 0600) == 0 &&
      mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
    if (mdb_dbi_open(txn, db, 0, &dbi) == 0 && mdb_stat(txn, dbi, &st) == 0) {
      count = static_cast<long>(st.ms_entries);
    }
    mdb_txn_abort(txn);
  }
  mdb_env_close(env);
  return count;
}

class IndexTest : public DaemonTest {
 protected:
  // Runs vaskFSconf (or vaskFSviewconf) to its end in the test's directory.
  RunResult conf(const std::vector<std::string>& args, bool view = false) {
    return checktest::runProgram(view ? VASKFSVIEWCONF_BINARY : VASKFSCONF_BINARY, args,
                                 temp_.path());
  }
  // Sets one rule with vaskFSconf -x `dir`.
  void setRule(const std::string& dir, const char* direction, const char* index,
               const std::string& pattern, const std::string& target, const std::string& file) {
    const RunResult r = conf({"-x", dir, "-c", direction, "-i", index, "-p", pattern, "-t", target,
                              "-s", file, "-f", BIN_F});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ("set entry in " + dir + "\n", r.out);
  }

  // Nothing under the root carries the index's name.
  void expectNothingUnderTheRoot() {
    const ShellResult r = sh("find \"$ROOT\" -name '.vaskIndex*'");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.output);
  }
};

TEST_F(IndexTest, RulesAndRecordsLiveInTheIndexOutsideTheRoot) {
  const std::string host = temp_.path() + "/host";
  const std::string index = host + "/index";
  ASSERT_EQ(0, mkdir(host.c_str(), 0755));

  // The daemon makes the missing directory, as it makes <root>/.vaskIndex.
  mount({"-o", "index=" + index});
  struct stat st;
  ASSERT_EQ(0, stat(index.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(std::string::npos, running_->err().find("warning: the index")) << running_->err();

  // The rules the mount uses are those vaskFSconf -x sets, while it runs.
  setRule(index, "w", "1", "*.txt", "[copy].gz", GZIP_W);
  setRule(index, "r", "1", "*.gz", "[path]/[base]", GZIP_R);
  setRule(index, "w", "90", "*", "[copy]", "write.bin(file='')");
  setRule(index, "r", "90", "*", "[copy]", "read.bin(file='')");
  runScripts({
      {"a converted file",
       "printf 'first\\nsecond\\n' > $MNT/notes.txt; settle\n"
       "test \"$(cat $MNT/notes.txt)\" = \"$(printf 'first\\nsecond')\"\n"
       "test \"$(gzip -dc $ROOT/notes.txt.gz)\" = \"$(printf 'first\\nsecond')\"\n"
       "test \"$(stat -c %s $MNT/notes.txt)\" = 13\n"
       "test ! -e $ROOT/notes.txt; ls $MNT | grep -qx notes.txt"},
      {"a plain file in a directory",
       "mkdir $MNT/dir; echo plain > $MNT/dir/data.bin; settle\n"
       "cmp $MNT/dir/data.bin $ROOT/dir/data.bin; test \"$(cat $MNT/dir/data.bin)\" = plain"},
      {"appending and renaming",
       "echo third >> $MNT/notes.txt; settle; test \"$(gzip -dc $ROOT/notes.txt.gz | wc -l)\" = 3\n"
       "mv $MNT/notes.txt $MNT/dir/moved.txt; settle\n"
       "test -e $ROOT/dir/moved.txt.gz; test \"$(tail -n 1 $MNT/dir/moved.txt)\" = third"},
  });
  expectNothingUnderTheRoot();
  EXPECT_GT(countRecords(index, "meta"), 0);

  // Rules kept elsewhere as text replace these while the mount runs, as on
  // each host that shares the root: *.log is now stored with zstd.
  const std::string text = temp_.path() + "/rules.txt";
  checktest::writeFile(text,
                       "[write]\nrule 1\n  pattern \"*.log\"\n  target \"[copy].zst\"\n"
                       "  file \"write.bin(file='' comp.zstd())\"\n  format \"format.bin()\"\n"
                       "rule 90\n  pattern \"*\"\n  target \"[copy]\"\n"
                       "  file \"write.bin(file='')\"\n  format \"format.bin()\"\n");
  const RunResult imported = conf({"-x", index, "-I", text});
  EXPECT_EQ(0, imported.status) << imported.err;
  EXPECT_EQ("import rules into " + index + "\n[write]: 2 rules\n", imported.out);
  runScripts({{"a rule imported while mounted",
               "echo entry > $MNT/app.log; settle; test \"$(zstd -dc $ROOT/app.log.zst)\" = entry\n"
               "echo plain > $MNT/later.txt; settle; test \"$(cat $ROOT/later.txt)\" = plain"}});
  EXPECT_EQ(0, unmount());

  // A new mount finds the records and rules in the same place.
  mount({"-o", "index=" + index});
  const ShellResult r = sh("test \"$(cat $MNT/dir/moved.txt | wc -l)\" = 3 && ls $MNT");
  EXPECT_EQ(0, r.status) << r.output;
  EXPECT_EQ("app.log\ndir\nlater.txt\n", r.output);
  expectNothingUnderTheRoot();
}

// mount(8) and /etc/fstab hand index= in the option list, beside the
// options of libfuse.
TEST_F(IndexTest, MountHandsIndexInTheOptionList) {
  const std::string index = temp_.path() + "/index";
  setRule(index, "w", "1", "*", "[copy].gz", GZIP_W);
  setRule(index, "r", "1", "*.gz", "[path]/[base]", GZIP_R);
  checktest::CheckerMount mounter("/bin/mount");
  ASSERT_EQ("", mounter.start({"-t", "fuse", VASKFS_BINARY "#" + root_, mnt_, "-o",
                               "allow_other,index=" + index + ",log=" + log_},
                              temp_.path(), mnt_, temp_.path(), true));
  const ShellResult used = sh("echo booted > $MNT/note; settle; gzip -dc $ROOT/note.gz");
  EXPECT_EQ(0, used.status);
  EXPECT_EQ("booted\n", used.output);
  ASSERT_EQ(0, sh("umount \"$MNT\"").status);
  EXPECT_EQ(0, mounter.stop()) << "the daemon did not end cleanly\n" << log();
  expectNothingUnderTheRoot();
  EXPECT_GT(countRecords(index, "meta"), 0);
}

TEST_F(IndexTest, AViewTakesItsRulesFromTheViewDirectoryOfTheIndex) {
  const std::string index = temp_.path() + "/index";
  ASSERT_EQ(0, mkdir(index.c_str(), 0700));
  ASSERT_EQ(0, sh("printf hello | gzip > $ROOT/doc.gz").status);
  RunResult r = conf({"-x", index, "-i", "1", "-p", "*.gz", "-t", "[path]/[base]", "-s", GZIP_R,
                      "-f", BIN_F, "pub"},
                     true);
  ASSERT_EQ(0, r.status) << r.err;

  // A view's index is never made by the daemon.
  r = checktest::runProgram(VASKFS_VIEW_BINARY,
                            {"-f", "-o", "index=" + index, root_, mnt_, "nosuch"}, temp_.path());
  EXPECT_EQ(ENOENT, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Failed to open " + index + "/nosuch: ")) << r.err;
  EXPECT_FALSE(exists(index + "/nosuch"));
  // Without a view name the views of that index are listed.
  r = checktest::runProgram(VASKFS_VIEW_BINARY, {"-o", "index=" + index, root_, mnt_},
                            temp_.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("list of views in " + index + ":\n\tpub\n")) << r.err;

  mount({"-o", "index=" + index}, "pub");
  const ShellResult shown = sh("cat $MNT/doc");
  EXPECT_EQ(0, shown.status);
  EXPECT_EQ("hello", shown.output);
  expectNothingUnderTheRoot();
}

TEST_F(IndexTest, PlacesTheMountWouldReachAreRefused) {
  ASSERT_EQ(0, symlink(root_.c_str(), (temp_.path() + "/link").c_str()));
  const std::string w = temp_.path();
  const struct {
    const char* name;
    std::string option;
    std::string message;
    std::string mountPoint = "";  // the fixture's when empty
  } cases[] = {
      {"empty", "index=", "index= needs the directory of the index\n"},
      {"under the mount point", "index=" + mnt_ + "/idx",
       "the index " + mnt_ + "/idx lies under the mount point " + mnt_ + "\n"},
      {"under the mount point given with a slash", "index=" + mnt_ + "/idx/",
       "the index " + mnt_ + "/idx lies under the mount point " + mnt_ + "/\n", mnt_ + "/"},
      {"under the root", "index=root/sub/idx",
       "the index " + w + "/root/sub/idx lies under the root " + root_ + ", where the mount"},
      {"the root itself", "index=" + root_ + "/", "the index " + root_ + " lies under the root"},
      {"under the root through a link", "index=" + w + "/link/idx",
       "the index " + w + "/link/idx lies under the root " + root_},
  };
  for (const auto& c : cases) {
    const std::string mountPoint = c.mountPoint.empty() ? mnt_ : c.mountPoint;
    const RunResult r =
        checktest::runProgram(VASKFS_BINARY, {"-f", "-o", c.option, root_, mountPoint}, w);
    EXPECT_EQ(1, r.status) << c.name << "\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.name << "\n" << r.err;
  }
  EXPECT_FALSE(exists(root_ + "/sub"));
  EXPECT_FALSE(exists(root_ + "/idx"));
  EXPECT_FALSE(exists(root_ + "/.vaskIndex"));

  // A name that the mount hides is a place under the root it cannot reach.
  mount({"-o", "index=" + root_ + "/.vaskIndex.host1"});
  EXPECT_TRUE(exists(root_ + "/.vaskIndex.host1/data.mdb"));
  EXPECT_FALSE(exists(root_ + "/.vaskIndex"));
}

// vaskFScheck mirrors a directory through FUSE: an index there is on a FUSE
// filesystem as far as statfs can tell, as one on a network filesystem is.
TEST_F(IndexTest, AnIndexOnAFuseFilesystemIsReportedAndUsed) {
  const std::string source = temp_.path() + "/source";
  const std::string shared = temp_.path() + "/shared";
  const std::string out = temp_.path() + "/checker";
  for (const std::string& dir : {source, shared, out}) ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  checktest::CheckerMount checker;
  ASSERT_EQ("", checker.start({"-f", "-q", source, shared}, temp_.path(), shared, out, false));
  const std::string index = shared + "/index";

  const RunResult r = conf(
      {"-x", index, "-i", "1", "-p", "*", "-t", "[copy]", "-s", "write.bin(file='')", "-f", BIN_F});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("vaskFSconf: warning: the index " + index +
                " lies on a FUSE filesystem (FUSE); an index needs the locks and shared memory "
                "map of a local disk and must not be shared by several hosts: keep each host's "
                "index on a local disk (-x DIR)\n",
            r.err);
  EXPECT_TRUE(exists(source + "/index/data.mdb"));
  const RunResult r2 = conf({"-x", index, "-c", "r", "-i", "1", "-p", "*", "-t", "[copy]", "-s",
                             "read.bin(file='')", "-f", BIN_F});
  EXPECT_EQ(0, r2.status) << r2.err;

  mount({"-o", "index=" + index});
  const std::string warning = "vaskFS: warning: the index " + index +
                              " lies on a FUSE filesystem (FUSE); an index needs the locks and "
                              "shared memory map of a local disk and must not be shared by "
                              "several hosts: keep each host's index on a local disk "
                              "(-o index=DIR)\n";
  EXPECT_NE(std::string::npos, running_->err().find(warning)) << running_->err();
  EXPECT_NE(std::string::npos, log().find(warning)) << log();
  const ShellResult used = sh("echo data > $MNT/file; settle; cat $MNT/file; cat $ROOT/file");
  EXPECT_EQ(0, used.status);
  EXPECT_EQ("data\ndata\n", used.output);
  // The daemon goes before the filesystem that holds its index.
  EXPECT_EQ(0, unmount());
  EXPECT_EQ(0, checker.stop());
}

}  // namespace
}  // namespace daemontest
