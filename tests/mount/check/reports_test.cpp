// The checker's reports for access patterns, made by system calls and by
// real programs through the mount, checked against what reached the checker.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>

#include "harness.h"

namespace checktest {
namespace {

bool isReport(const std::string& line) {
  return line.find("usage error: ") == 0 ||
         line.find(" is smaller than expected offset ") != std::string::npos;
}

// The reports about physical file phys, in order, with phys shown as "{p}".
std::vector<std::string> reportsAbout(const std::vector<std::string>& lines,
                                      const std::string& phys) {
  std::vector<std::string> found;
  for (std::string line : lines) {
    const size_t at = line.find(phys);
    if (!isReport(line) || at == std::string::npos) continue;
    // The name must end where the report's text goes on.
    const char next = line[at + phys.size()];
    if (next != ':' && next != ' ') continue;
    found.push_back(line.replace(at, phys.size(), "{p}"));
  }
  return found;
}

// "size@offset" of every write that reached the checker for phys.
std::vector<std::string> writesTo(const std::vector<std::string>& lines, const std::string& phys) {
  std::vector<std::string> found;
  const std::string marker = "[write] " + phys + " ";
  for (const std::string& line : lines) {
    const size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    unsigned long size = 0;
    long long offset = 0;
    if (std::sscanf(line.c_str() + at + marker.size(), "%lu bytes at offset %lld", &size,
                    &offset) == 2) {
      found.push_back(std::to_string(size) + "@" + std::to_string(offset));
    }
  }
  return found;
}

const std::string kBackwards = "{p}: offset ";
const std::string kForInput = "usage error: writing to {p} when open for input";

class CheckReports : public CheckerTest {};

TEST_F(CheckReports, WriteSequencesThroughSystemCalls) {
  ASSERT_NO_FATAL_FAILURE(mount());
  enum Kind { kPwrite, kWrite, kFtruncate };
  struct Step {
    Kind kind;
    long long offset, size;
  };
  struct Case {
    const char* name;
    int existingSize;  // -1: the file does not exist before
    int flags;
    std::vector<Step> steps;
    std::vector<std::string> reports;
    std::vector<std::string> writes;
  };
  const Case cases[] = {
      {"backwards",
       -1,
       O_WRONLY | O_CREAT,
       {{kPwrite, 0, 100}, {kPwrite, 50, 100}},
       {kBackwards + "50 is smaller than expected offset 100"},
       {"100@0", "100@50"}},
      {"gap",
       -1,
       O_WRONLY | O_CREAT,
       {{kPwrite, 0, 100}, {kPwrite, 200, 100}},
       {},
       {"100@0", "100@200"}},
      {"sequential",
       10,
       O_WRONLY,
       {{kPwrite, 0, 5}, {kPwrite, 5, 5}, {kPwrite, 10, 1}},
       {},
       {"5@0", "5@5", "1@10"}},
      {"read-write",
       10,
       O_RDWR,
       {{kPwrite, 0, 5}, {kPwrite, 5, 5}},
       {kForInput, kForInput},
       {"5@0", "5@5"}},
      {"read-write created", -1, O_RDWR | O_CREAT, {{kPwrite, 0, 5}}, {}, {"5@0"}},
      // The kernel writes an appending file at the size it knows, so the
      // checker sees the offset it expects.
      {"append", 10, O_WRONLY | O_APPEND, {{kWrite, 0, 5}, {kWrite, 0, 5}}, {}, {"5@10", "5@15"}},
      // Shortened on the same descriptor, the file is appended at 0 while the
      // checker still expects the size that the file had when opened.
      {"append after ftruncate",
       10,
       O_WRONLY | O_APPEND,
       {{kFtruncate, 0, 0}, {kWrite, 0, 5}},
       {kBackwards + "0 is smaller than expected offset 10"},
       {"5@0"}},
      {"truncate keeps expected offset",
       -1,
       O_WRONLY | O_CREAT,
       {{kPwrite, 0, 100}, {kFtruncate, 0, 0}, {kPwrite, 0, 10}},
       {kBackwards + "0 is smaller than expected offset 100"},
       {"100@0", "10@0"}},
  };
  const std::string junk(200, 'j');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("case-") + c.name;
    if (c.existingSize >= 0) writeFile(root_ + "/" + name, junk.substr(0, c.existingSize));
    const int fd = open((mnt_ + "/" + name).c_str(), c.flags, 0644);
    ASSERT_NE(-1, fd) << strerror(errno);
    for (const Step& s : c.steps) {
      if (s.kind == kFtruncate) {
        ASSERT_EQ(0, ftruncate(fd, s.offset));
      } else {
        const ssize_t n = s.kind == kPwrite ? pwrite(fd, junk.data(), s.size, s.offset)
                                            : write(fd, junk.data(), s.size);
        ASSERT_EQ(s.size, n) << strerror(errno);
      }
    }
    ASSERT_EQ(0, close(fd));
    const std::vector<std::string> lines = logLines();
    EXPECT_EQ(c.reports, reportsAbout(lines, root_ + "/" + name));
    EXPECT_EQ(c.writes, writesTo(lines, root_ + "/" + name));
  }
}

TEST_F(CheckReports, RealPrograms) {
  ASSERT_NO_FATAL_FAILURE(mount());
  std::string source(300000, '\0');
  std::mt19937 random(11);
  for (char& c : source) c = static_cast<char>(random());
  writeFile(temp_.path() + "/source", source);
  writeFile(root_ + "/ten", "0123456789");
  writeFile(root_ + "/rw", "0123456789");
  struct Case {
    const char* file;
    std::string script;
    std::vector<std::string> reports;
    std::optional<std::vector<std::string>> writes;
  };
  const Case cases[] = {
      // dd moves a shared descriptor only forward; python sets it back.
      {"dd-shared",
       "exec 3>dd-shared; dd if=/dev/zero bs=100 count=1 seek=2 conv=notrunc >&3 && "
       "python3 -c 'import os; os.lseek(3, 0, os.SEEK_SET)' && "
       "dd if=/dev/zero bs=100 count=1 conv=notrunc >&3",
       {kBackwards + "0 is smaller than expected offset 300"},
       {{"100@200", "100@0"}}},
      // Each dd opens the file anew, and a new handle expects offset 0. With
      // seek= dd opens an existing output read-write, which is flagged.
      {"dd-separate",
       "dd if=/dev/zero of=dd-separate bs=100 count=1 seek=2 conv=notrunc && "
       "dd if=/dev/zero of=dd-separate bs=100 count=1 seek=1 conv=notrunc",
       {kForInput},
       {{"100@200", "100@100"}}},
      {"rw", "exec 3<>rw; printf abc >&3", {kForInput}, {{"3@0"}}},
      {"ten", "printf abcde >> ten", {}, {{"5@10"}}},
      {"header",
       "python3 -c \"f = open('header', 'wb'); f.write(b'\\0' * 8); f.write(b'x' * 1000); "
       "f.seek(0); f.write(b'HEADER!!'); f.close()\"",
       {kBackwards + "0 is smaller than expected offset 1008"},
       {{"1008@0", "8@0"}}},
      {"copy", "cp ../source copy", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ASSERT_EQ(0, runShell(c.script, mnt_));
    const std::vector<std::string> lines = logLines();
    const std::string phys = root_ + "/" + c.file;
    EXPECT_EQ(c.reports, reportsAbout(lines, phys));
    if (c.writes) {
      EXPECT_EQ(*c.writes, writesTo(lines, phys));
    }
  }
  EXPECT_EQ(source, readFile(root_ + "/copy"));
  EXPECT_EQ("HEADER!!", readFile(root_ + "/header").substr(0, 8));
  EXPECT_EQ("0123456789abcde", readFile(root_ + "/ten"));
}

TEST_F(CheckReports, ReadsAreLoggedButNotChecked) {
  ASSERT_NO_FATAL_FAILURE(mount());
  const std::string data(10000, 'r');
  writeFile(root_ + "/data", data);
  // The kernel may answer later reads from its page cache, but an open
  // drops the cache, so the first read of each open reaches the checker.
  for (const int flags : {O_RDONLY, O_RDWR}) {
    const int fd = open((mnt_ + "/data").c_str(), flags);
    ASSERT_NE(-1, fd);
    char buf[100];
    EXPECT_EQ(100, pread(fd, buf, sizeof buf, 5000));
    EXPECT_EQ(100, pread(fd, buf, sizeof buf, 0));
    EXPECT_EQ(0, close(fd));
  }
  const std::vector<std::string> lines = logLines();
  size_t reads = 0;
  for (const std::string& line : lines) {
    unsigned long size = 0;
    long long offset = -1;
    const size_t at = line.find("[read] ");
    if (at == std::string::npos) continue;
    const std::string from = " bytes from " + root_ + "/data at offset ";
    ASSERT_EQ(
        2, std::sscanf(line.c_str() + at, ("[read] %lu" + from + "%lld").c_str(), &size, &offset))
        << line;
    EXPECT_GT(size, 0u);
    ++reads;
  }
  EXPECT_GE(reads, 2u);
  EXPECT_EQ(std::vector<std::string>{}, reportsAbout(lines, root_ + "/data"));
  EXPECT_EQ(data, readFile(root_ + "/data"));
}

TEST_F(CheckReports, QuietSendsReportsToStandardError) {
  writeFile(root_ + "/rw", "0123456789");
  ASSERT_NO_FATAL_FAILURE(mountWith({"-f", "-q", root_, mnt_}, temp_.path(), false));
  const int fd = open((mnt_ + "/rw").c_str(), O_RDWR);
  ASSERT_NE(-1, fd);
  EXPECT_EQ(4, pwrite(fd, "abcd", 4, 4));
  EXPECT_EQ(2, pwrite(fd, "xy", 2, 0));
  EXPECT_EQ(0, close(fd));
  EXPECT_EQ(0, unmount());
  const std::vector<std::string> err = splitLines(checker_.err());
  EXPECT_EQ((std::vector<std::string>{kForInput, kForInput,
                                      kBackwards + "0 is smaller than expected offset 8"}),
            reportsAbout(err, root_ + "/rw"));
  EXPECT_EQ(0u, countContaining(err, "[")) << checker_.err();
  EXPECT_EQ("vaskFScheck not running as a daemon\nvaskFS closing.\n", checker_.out());
  EXPECT_FALSE(std::ifstream(log_).good());
}

}  // namespace
}  // namespace checktest
