// Start modes, relative names, refused renames and over-long names.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "harness.h"

namespace checktest {
namespace {

class CheckEdges : public CheckerTest {};

TEST_F(CheckEdges, RenameWithFlagsIsRefusedWithoutLogLine) {
  ASSERT_NO_FATAL_FAILURE(mount());
  writeFile(mnt_ + "/a", "A");
  writeFile(mnt_ + "/b", "B");
  for (const unsigned flags : {RENAME_NOREPLACE, RENAME_EXCHANGE}) {
    SCOPED_TRACE(flags);
    errno = 0;
    EXPECT_EQ(-1, renameat2(AT_FDCWD, (mnt_ + "/a").c_str(), AT_FDCWD,
                            (mnt_ + (flags == RENAME_NOREPLACE ? "/c" : "/b")).c_str(), flags));
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_EQ("A", readFile(root_ + "/a"));
  EXPECT_EQ("B", readFile(root_ + "/b"));
  EXPECT_EQ(0u, countContaining(logLines(), "[rename]"));
  // Without flags the rename goes through and is logged.
  EXPECT_EQ(0, rename((mnt_ + "/a").c_str(), (mnt_ + "/c").c_str()));
  EXPECT_EQ(1u, countContaining(logLines(), "[rename] " + root_ + "/a -> " + root_ + "/c"));
}

TEST_F(CheckEdges, NamesLongerThanTheBufferAreRefused) {
  ASSERT_NO_FATAL_FAILURE(mount());
  const std::string part(200, 'n');
  std::string onMount = mnt_, onPlain = plain_, physical = root_;
  // Each level stays within the kernel's limits; the physical name of the
  // fifth level no longer fits in 1024 bytes.
  for (int level = 1; level <= 5; ++level) {
    onMount += "/" + part;
    onPlain += "/" + part;
    physical += "/" + part;
    SCOPED_TRACE(level);
    ASSERT_EQ(0, mkdir(onPlain.c_str(), 0755));
    const int rc = mkdir(onMount.c_str(), 0755);
    if (physical.size() < 1024) {
      EXPECT_EQ(0, rc) << strerror(errno);
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_EQ(ENAMETOOLONG, errno);
      struct stat st;
      EXPECT_EQ(-1, stat(onMount.c_str(), &st));
      EXPECT_EQ(ENAMETOOLONG, errno);
      const int fd = open((onMount + "x").c_str(), O_WRONLY | O_CREAT, 0644);
      EXPECT_EQ(ENAMETOOLONG, errno);
      EXPECT_EQ(-1, fd);
      if (fd != -1) close(fd);
      break;
    }
  }
  EXPECT_GE(physical.size(), 1024u);
}

// libfuse gets 32 arguments: program, mount point and "-f" take three, the
// 29th further argument is the last one passed, later ones are dropped.
TEST_F(CheckEdges, FurtherArgumentsBeyondThirtyTwoAreDropped) {
  std::vector<std::string> args{"-f", "-l", log_, root_, mnt_, "--"};
  args.insert(args.end(), 28, "-s");
  args.insert(args.end(), {"-oro", "no-such-option"});
  ASSERT_NO_FATAL_FAILURE(mountWith(args, temp_.path(), false));
  EXPECT_EQ(-1, open((mnt_ + "/f").c_str(), O_WRONLY | O_CREAT, 0644));
  EXPECT_EQ(EROFS, errno);
}

TEST_F(CheckEdges, RelativeRootWithTrailingSlash) {
  ASSERT_NO_FATAL_FAILURE(
      mountWith({"-f", "-l", "check.log", "root/", "mnt"}, temp_.path(), false));
  writeFile(mnt_ + "/f", "data");
  EXPECT_EQ("data", readFile(root_ + "/f"));
  const std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("vaskFS starting at " + mnt_ + ".", lines[0]);
  EXPECT_EQ(1u, countContaining(lines, "[create] " + root_ + "/f"));
  EXPECT_EQ(0u, countContaining(lines, "root//"));
  EXPECT_EQ("vaskFScheck not running as a daemon\nvaskFScheck log file : check.log\n",
            checker_.out());
}

TEST_F(CheckEdges, WithoutLogFileRunsInForegroundLoggingToStandardError) {
  ASSERT_NO_FATAL_FAILURE(mountWith({root_, mnt_}, temp_.path(), false));
  writeFile(mnt_ + "/f", "data");
  EXPECT_TRUE(checker_.processAlive());
  EXPECT_EQ(0, unmount());
  const std::vector<std::string> err = splitLines(checker_.err());
  EXPECT_EQ(1u, countContaining(err, "vaskFS starting at " + mnt_ + "."));
  EXPECT_EQ(1u, countContaining(err, "[create] " + root_ + "/f"));
  EXPECT_EQ("to run as daemon, specify a logfile.\nvaskFS closing.\n", checker_.out());
}

TEST_F(CheckEdges, InBackground) {
  struct Case {
    std::vector<std::string> options;
    bool logs;
  };
  const Case cases[] = {{{"-q"}, false}, {{"-l", log_}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0]);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {root_, mnt_});
    ASSERT_NO_FATAL_FAILURE(mountWith(args, temp_.path(), true));
    writeFile(mnt_ + "/f", "data");
    EXPECT_EQ("data", readFile(mnt_ + "/f"));
    EXPECT_EQ(0, unlink((mnt_ + "/f").c_str()));
    EXPECT_EQ(0, unmount());
    EXPECT_EQ("", checker_.err());
    const std::vector<std::string> lines = logLines();
    if (c.logs) {
      EXPECT_EQ("vaskFScheck log file : " + log_ + "\n", checker_.out());
      EXPECT_EQ(1u, countContaining(lines, "[create] " + root_ + "/f"));
      EXPECT_EQ(1u, countContaining(lines, "[unlink] " + root_ + "/f"));
    } else {
      EXPECT_EQ("", checker_.out());
      EXPECT_TRUE(lines.empty());
    }
  }
}

}  // namespace
}  // namespace checktest
