// renameat2 flags through a real mount: RENAME_NOREPLACE never replaces a
// name, also one made meanwhile under the root; RENAME_EXCHANGE swaps two
// names with their data and records, or refuses where that would convert.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class RenameFlagsTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({
        {'w', 2, "*.txt", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
        {'r', 2, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
    });
    setCatchAll();
    mount();
  }

  std::string m(const std::string& name) const { return mnt_ + "/" + name; }
  std::string r(const std::string& name) const { return root_ + "/" + name; }

  // renameat2 on the mount: 0 or the errno.
  int rename2(const std::string& from, const std::string& to, unsigned int flags) {
    return renameat2(AT_FDCWD, m(from).c_str(), AT_FDCWD, m(to).c_str(), flags) == 0 ? 0 : errno;
  }
  void put(const std::string& name, const std::string& data) { writeFile(m(name), data); }
  std::string get(const std::string& name) { return readFile(m(name)); }
  off_t sizeOf(const std::string& name) {
    struct stat st;
    return stat(m(name).c_str(), &st) == 0 ? st.st_size : -1;
  }
};

TEST_F(RenameFlagsTest, NoReplaceRenamesOntoAFreeName) {
  put("a.dat", "plain");
  put("b.txt", "compressed");
  put("c.dat", "converted on the way");
  EXPECT_EQ(0, rename2("a.dat", "a2.dat", RENAME_NOREPLACE));
  EXPECT_EQ(0, rename2("b.txt", "b2.txt", RENAME_NOREPLACE));
  EXPECT_EQ(0, rename2("c.dat", "c2.txt", RENAME_NOREPLACE));
  EXPECT_EQ("plain", get("a2.dat"));
  EXPECT_EQ("compressed", get("b2.txt"));
  EXPECT_EQ("converted on the way", get("c2.txt"));
  EXPECT_EQ(static_cast<off_t>(std::string("converted on the way").size()), sizeOf("c2.txt"));
  ShellResult s =
      sh("test ! -e $ROOT/a.dat && test ! -e $ROOT/b.txt.gz && test ! -e $ROOT/c.dat"
         " && gzip -dc $ROOT/c2.txt.gz | grep -qx 'converted on the way'");
  EXPECT_EQ(0, s.status) << s.output;
  unmount();
  EXPECT_EQ("c2.txt.gz", record("meta", "c2.txt.name"));
  EXPECT_EQ("<none>", record("meta", "c.dat.name"));
}

TEST_F(RenameFlagsTest, NoReplaceOntoAnExistingNameReplacesNothing) {
  struct Case {
    const char *from, *to;
  } cases[] = {{"p.dat", "q.dat"}, {"p.txt", "q.txt"}, {"r.dat", "s.txt"}, {"t.txt", "u.dat"}};
  for (const Case& c : cases) {
    put(c.from, std::string("source ") + c.from);
    put(c.to, std::string("target ") + c.to);
    EXPECT_EQ(EEXIST, rename2(c.from, c.to, RENAME_NOREPLACE)) << c.from << " -> " << c.to;
    EXPECT_EQ(std::string("source ") + c.from, get(c.from));
    EXPECT_EQ(std::string("target ") + c.to, get(c.to));
  }
  // An open target is not moved aside (as libfuse hides open files).
  put("open.dat", "open target");
  const int fd = open(m("open.dat").c_str(), O_RDONLY);
  ASSERT_NE(-1, fd);
  EXPECT_EQ(EEXIST, rename2("p.dat", "open.dat", RENAME_NOREPLACE));
  close(fd);
  EXPECT_EQ("open target", get("open.dat"));
  ASSERT_EQ(0, mkdir(m("d1").c_str(), 0755));
  ASSERT_EQ(0, mkdir(m("d2").c_str(), 0755));
  EXPECT_EQ(EEXIST, rename2("d1", "d2", RENAME_NOREPLACE));
  EXPECT_EQ(EEXIST, rename2("p.dat", "d2", RENAME_NOREPLACE));
  // The root holds no copy left behind by a refused converting rename.
  ShellResult s = sh("test -z \"$(ls -A $ROOT | grep tmp)\"");
  EXPECT_EQ(0, s.status) << s.output;
}

// The name is made by another program directly under the root after the
// mount last looked it up: the rename still must not replace it.
TEST_F(RenameFlagsTest, NoReplaceSeesANameMadeUnderTheRoot) {
  put("mine.dat", "mine");
  put("mine.txt", "mine too");
  struct stat st;
  ASSERT_NE(0, stat(m("theirs.dat").c_str(), &st));
  ASSERT_NE(0, stat(m("theirs.txt").c_str(), &st));
  writeFile(r("theirs.dat"), "theirs");
  ASSERT_EQ(0, sh("echo 'theirs too' | gzip > $ROOT/theirs.txt.gz").status);
  EXPECT_EQ(EEXIST, rename2("mine.dat", "theirs.dat", RENAME_NOREPLACE));
  EXPECT_EQ(EEXIST, rename2("mine.txt", "theirs.txt", RENAME_NOREPLACE));
  EXPECT_EQ(EEXIST, rename2("mine.dat", "theirs.txt", RENAME_NOREPLACE));
  EXPECT_EQ("theirs", readFile(r("theirs.dat")));
  EXPECT_EQ("mine", get("mine.dat"));
  EXPECT_EQ("mine too", get("mine.txt"));
  ShellResult s = sh("gzip -dc $ROOT/theirs.txt.gz | grep -qx 'theirs too'");
  EXPECT_EQ(0, s.status) << s.output;
}

TEST_F(RenameFlagsTest, MvNoClobberKeepsTheTarget) {
  ShellResult s =
      sh("echo one > $MNT/one.txt; echo two > $MNT/two.txt; mv -n $MNT/one.txt $MNT/two.txt;"
         " test \"$(cat $MNT/two.txt)\" = two; test \"$(cat $MNT/one.txt)\" = one;"
         " mv -n $MNT/one.txt $MNT/three.txt; test \"$(cat $MNT/three.txt)\" = one;"
         " test ! -e $MNT/one.txt");
  EXPECT_EQ(0, s.status) << s.output;
}

// One renames with RENAME_NOREPLACE while another creates the target with
// O_EXCL, through the mount or directly under the root: exactly one of
// them gets the name, and neither's data is lost.
TEST_F(RenameFlagsTest, NoReplaceRacesACreateOfTheTarget) {
  struct Variant {
    const char* source;
    const char* target;   // on the mount
    std::string created;  // what the other program creates
  } variants[] = {{"src.dat", "dst.dat", m("dst.dat")},
                  {"src.dat", "dst.dat", r("dst.dat")},
                  {"src.dat", "dst.txt", r("dst.txt.gz")},
                  {"src.txt", "dst.txt", m("dst.txt")}};
  for (const Variant& v : variants) {
    for (int round = 0; round < 60; ++round) {
      put(v.source, "renamed");
      int renameError = -1, createError = -1;
      std::thread creator([&] {
        const int fd = open(v.created.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        createError = fd == -1 ? errno : 0;
        if (fd != -1) close(fd);
      });
      renameError = rename2(v.source, v.target, RENAME_NOREPLACE);
      creator.join();
      SCOPED_TRACE(std::string(v.source) + " -> " + v.target + " against " + v.created +
                   ", round " + std::to_string(round));
      ASSERT_TRUE(renameError == 0 || renameError == EEXIST) << renameError;
      ASSERT_TRUE(createError == 0 || createError == EEXIST) << createError;
      ASSERT_NE(renameError == 0, createError == 0);
      if (renameError == 0) {
        ASSERT_EQ("renamed", get(v.target));
      } else {
        ASSERT_EQ("renamed", get(v.source));
        ASSERT_EQ(0, unlink(m(v.source).c_str()));
      }
      ASSERT_EQ(0, unlink(m(v.target).c_str()));
    }
  }
}

TEST_F(RenameFlagsTest, ExchangeSwapsDataSizesAndRecords) {
  const std::string big(300000, 'b');
  put("a.txt", "small a");
  put("b.txt", big);
  put("x.dat", "plain x");
  put("y.dat", "plain y, longer");
  EXPECT_EQ(0, rename2("a.txt", "b.txt", RENAME_EXCHANGE));
  EXPECT_EQ(0, rename2("x.dat", "y.dat", RENAME_EXCHANGE));
  EXPECT_EQ(big, get("a.txt"));
  EXPECT_EQ("small a", get("b.txt"));
  EXPECT_EQ(static_cast<off_t>(big.size()), sizeOf("a.txt"));
  EXPECT_EQ(7, sizeOf("b.txt"));
  EXPECT_EQ("plain y, longer", get("x.dat"));
  EXPECT_EQ("plain x", get("y.dat"));
  ShellResult s =
      sh("gzip -dc $ROOT/b.txt.gz | grep -qx 'small a'; test \"$(ls $ROOT)\" = "
         "\"$(printf 'a.txt.gz\\nb.txt.gz\\nx.dat\\ny.dat')\"");
  EXPECT_EQ(0, s.status) << s.output;
  unmount();
  EXPECT_EQ("a.txt.gz", record("meta", "a.txt.name"));
  EXPECT_EQ("b.txt", record("real", "b.txt.gz.name"));
  EXPECT_EQ("write.bin(file='b.txt.gz' comp.gzip())", record("meta", "b.txt.write"));
  EXPECT_EQ("write.bin(file='a.txt.gz' comp.gzip())", record("meta", "a.txt.write"));
}

TEST_F(RenameFlagsTest, ExchangeSwapsDirectoriesWithTheRecordsBelow) {
  ShellResult s =
      sh("mkdir -p $MNT/d1/sub $MNT/d2; echo one > $MNT/d1/sub/f.txt; seq 1 500 > $MNT/d2/f.txt;"
         " echo plain > $MNT/d2/g.dat");
  ASSERT_EQ(0, s.status) << s.output;
  EXPECT_EQ(0, rename2("d1", "d2", RENAME_EXCHANGE));
  // Mixed: a directory and a plain file stored under its own name.
  put("file.dat", "was a file");
  EXPECT_EQ(0, rename2("d1", "file.dat", RENAME_EXCHANGE));
  unmount();
  // The records themselves moved, before any lookup could mend them.
  EXPECT_EQ("file.dat/f.txt.gz", record("meta", "file.dat/f.txt.name"));
  EXPECT_EQ("d2/sub/f.txt", record("real", "d2/sub/f.txt.gz.name"));
  EXPECT_EQ("write.bin(file='d2/sub/f.txt.gz' comp.gzip())", record("meta", "d2/sub/f.txt.write"));
  EXPECT_EQ("<none>", record("meta", "d1/sub/f.txt.name"));
  EXPECT_EQ("d1", record("meta", "d1.name"));
  EXPECT_EQ("<none>", record("meta", "file.dat.name"));
  mount();
  s =
      sh("test \"$(cat $MNT/d2/sub/f.txt)\" = one; test \"$(cat $MNT/file.dat/f.txt)\" ="
         " \"$(seq 1 500)\"; test \"$(cat $MNT/file.dat/g.dat)\" = plain;"
         " test \"$(cat $MNT/d1)\" = 'was a file'; test -d $ROOT/file.dat; test -f $ROOT/d1");
  EXPECT_EQ(0, s.status) << s.output;
}

// Names whose rules store them differently cannot swap their bytes as they
// are: refused, and nothing moves.
TEST_F(RenameFlagsTest, ExchangeRefusesWhatWouldConvert) {
  put("z.txt", "compressed z");
  put("z.dat", "plain z");
  ASSERT_EQ(0, mkdir(m("dir").c_str(), 0755));
  EXPECT_EQ(EINVAL, rename2("z.txt", "z.dat", RENAME_EXCHANGE));
  EXPECT_EQ(EINVAL, rename2("z.dat", "z.txt", RENAME_EXCHANGE));
  // A directory cannot live at the physical name of a compressed file.
  EXPECT_EQ(EINVAL, rename2("dir", "z.txt", RENAME_EXCHANGE));
  EXPECT_EQ(EINVAL, rename2("z.dat", "z.txt", RENAME_WHITEOUT));
  EXPECT_EQ(EINVAL, rename2("z.dat", "z.txt", RENAME_EXCHANGE | RENAME_NOREPLACE));
  EXPECT_EQ(ENOENT, rename2("z.dat", "none.dat", RENAME_EXCHANGE));
  EXPECT_EQ("compressed z", get("z.txt"));
  EXPECT_EQ("plain z", get("z.dat"));
  ShellResult s = sh("gzip -dc $ROOT/z.txt.gz | grep -qx 'compressed z'; test -d $ROOT/dir");
  EXPECT_EQ(0, s.status) << s.output;
}

// A writer open on one name goes on writing its file under the other name,
// and its release records the size there.
TEST_F(RenameFlagsTest, ExchangeTakesOpenWritersAlong) {
  put("w.txt", "old w");
  put("v.txt", "old v");
  const int fd = open(m("w.txt").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_NE(-1, fd);
  ASSERT_EQ(6, write(fd, "new w ", 6));
  EXPECT_EQ(0, rename2("w.txt", "v.txt", RENAME_EXCHANGE));
  ASSERT_EQ(5, write(fd, "after", 5));
  ASSERT_EQ(0, close(fd));
  EXPECT_EQ("new w after", get("v.txt"));
  EXPECT_EQ(11, sizeOf("v.txt"));
  EXPECT_EQ("old v", get("w.txt"));
  EXPECT_EQ(5, sizeOf("w.txt"));
}

}  // namespace
}  // namespace daemontest
