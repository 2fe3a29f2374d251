// Identity files read once by xioloadkeys serve threads that run with a
// file-system identity the files refuse; a thread that can read a file
// reads it again, so a rotated key reaches every caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "xio_test.h"

using namespace xiotest;

namespace {

constexpr long kNobody = 65534;

// Runs `f` on a thread whose file-system identity is nobody's (the
// thread's alone: the raw system calls touch no other thread), as the
// mount daemon runs a request as its caller.
void asNobody(const std::function<void()>& f) {
  std::thread t([&] {
    long uid = syscall(SYS_setfsuid, kNobody), gid = syscall(SYS_setfsgid, kNobody);
    f();
    syscall(SYS_setfsgid, gid);
    syscall(SYS_setfsuid, uid);
  });
  t.join();
}

struct Opened {
  int error = 0;  // 0: read through to the end
  std::string data, trace;
};

Opened readThrough(const std::string& fileString) {
  Opened r;
  std::mt19937 rng(1);
  ::testing::AssertionResult ok = readAll(fileString, "", rng, r.data);
  if (!ok) {
    r.error = errno ? errno : EIO;
    r.trace = ok.message();
  }
  return r;
}

class Keys : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take another file-system identity";
    // The files are reachable by nobody; the identity files are root's 0600.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    makeKey(key);
  }
  static void makeKey(const std::string& path) {
    unlink((path + ".new").c_str());
    ASSERT_EQ(sh("age-keygen -o '" + path + ".new' 2>/dev/null"), 0);
    ASSERT_EQ(chmod((path + ".new").c_str(), 0600), 0);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
  }
  static std::string ageString(const char* verb, const std::string& file, const std::string& id) {
    return std::string(verb) + ".bin(file=" + quote(file) + " encr.age(identity=" + quote(id) +
           "))";
  }
  // Writes `data` as root, into a file anyone may read.
  void writeAge(const std::string& file, const std::string& id, const std::string& data) {
    Written w;
    std::mt19937 rng(2);
    ASSERT_TRUE(writeAll(ageString("write", file, id), "", "", data, rng, w));
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  }

  TempDir dir;
  std::string key = dir / "key.txt";
};

TEST_F(Keys, KeptIdentitiesServeCallersTheFileRefuses) {
  std::string other = dir / "other.txt";
  makeKey(other);
  writeAge(dir / "a.age", key, "kept key data");
  writeAge(dir / "b.age", other, "never kept");
  char trace[XIO_TRACE_SIZE] = "";
  ASSERT_EQ(xioloadkeys(trace, ageString("read", dir / "no-such-data", key).c_str()), 0) << trace;
  EXPECT_STREQ(trace, "");

  Opened kept, notKept;
  int keyOpen = 0;
  asNobody([&] {
    int fd = open(key.c_str(), O_RDONLY);
    keyOpen = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    kept = readThrough(ageString("read", dir / "a.age", key));
    notKept = readThrough(ageString("read", dir / "b.age", other));
  });
  ASSERT_EQ(keyOpen, EACCES) << "the identity file must refuse nobody for this test to mean much";
  EXPECT_EQ(kept.error, 0) << kept.trace;
  EXPECT_EQ(kept.data, "kept key data");
  EXPECT_EQ(notKept.error, EACCES) << notKept.trace;
  EXPECT_NE(notKept.trace.find(other), std::string::npos) << notKept.trace;

  // Nobody writes with the kept key too, into a directory of its own, and
  // age reads the file with the identity file.
  std::string own = dir / "nobody";
  ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
  ASSERT_EQ(chown(own.c_str(), kNobody, kNobody), 0);
  bool written = false;
  std::string writeTrace;
  asNobody([&] {
    Written w;
    std::mt19937 rng(4);
    auto ok = writeAll(ageString("write", own + "/c.age", key), "", "", "by nobody", rng, w);
    written = ok;
    writeTrace = ok.message();
  });
  ASSERT_TRUE(written) << writeTrace;
  EXPECT_EQ(run("age -d -i '" + key + "' '" + own + "/c.age'"), "by nobody");
}

TEST_F(Keys, ARotatedKeyReplacesTheKeptOneOnceRootReadsIt) {
  writeAge(dir / "old.age", key, "under the old key");
  char trace[XIO_TRACE_SIZE] = "";
  ASSERT_EQ(xioloadkeys(trace, ageString("write", dir / "x", key).c_str()), 0) << trace;
  makeKey(key);
  writeAge(dir / "new.age", key, "under the new key");  // root reads the new file
  Opened oldFile, newFile;
  asNobody([&] {
    oldFile = readThrough(ageString("read", dir / "old.age", key));
    newFile = readThrough(ageString("read", dir / "new.age", key));
  });
  EXPECT_EQ(newFile.error, 0) << newFile.trace;
  EXPECT_EQ(newFile.data, "under the new key");
  EXPECT_EQ(oldFile.error, EACCES) << oldFile.trace;  // the old key is gone
}

TEST_F(Keys, LoadingChecksTheFilesAndTheString) {
  std::string loose = dir / "loose.txt", broken = dir / "broken.txt";
  writeFile(loose, readFile(key));
  ASSERT_EQ(chmod(loose.c_str(), 0644), 0);
  writeFile(broken, "# no key here\nAGE-SECRET-KEY-1NOTAKEY\n");
  ASSERT_EQ(chmod(broken.c_str(), 0600), 0);
  const std::string none = dir / "none.txt";
  struct {
    std::string fileString;
    int result, error;
    const char* inTrace;
  } cases[] = {
      {ageString("read", "x", none), -1, ENOENT, "none.txt"},
      {"output(file='x' cnv[gzip() age(identity=" + quote(none) + ")])", -1, ENOENT, "none.txt"},
      {ageString("read", "x", loose), -1, EACCES, "0644"},
      {ageString("write", "x", broken), -1, EINVAL, "line 2"},
      {ageString("read", "x", dir.path()), -1, EACCES, "not a regular file"},
      {"read.bin(file='x' encr.age(identity=''))", -1, EINVAL, "identity=''"},
      {"read.bin(file='x' encr.age(identity=" + quote(key), -1, EINVAL, "does not parse"},
      {"read.bin(file='x' comp.gzip(level=3 level=4))", -1, EINVAL, "does not parse"},
      {"read.bin(file='x' encr.age(identity=" + quote(key) + ") comp.zstd())", 0, 0, ""},
      {"input(file='x' cnv[age(identity=" + quote(key) + ") gzip()])", 0, 0, ""},
      {"read.bin(file='x' encr.age(passphrase='secret'))", 0, 0, ""},
      {"write.text(file='x' comp.gzip())", 0, 0, ""},
      {"read.bin(file='')", 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileString);
    char trace[XIO_TRACE_SIZE] = "";
    errno = 0;
    EXPECT_EQ(xioloadkeys(trace, c.fileString.c_str()), c.result);
    if (c.result == 0) {
      EXPECT_STREQ(trace, "");
      continue;
    }
    EXPECT_EQ(errno, c.error) << trace;
    EXPECT_EQ(strncmp(trace, "xioloadkeys failed", 18), 0) << trace;
    EXPECT_NE(strstr(trace, c.inTrace), nullptr) << trace;
  }
  char trace[XIO_TRACE_SIZE] = "";
  EXPECT_EQ(xioloadkeys(trace, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(strstr(trace, "null"), nullptr) << trace;
}

}  // namespace
