// The checker's operations called directly, for the calls that the kernel
// does not send through a mount: reads through write-only handles, writes at
// offsets that an appending descriptor never has, calls without a handle and
// failing writes. Logging is off, so reports go to standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "checker.h"
#include "harness.h"

namespace checktest {
namespace {

class CheckOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    vaskfsArgs.rootDir = temp_.path();
    fileLog = nullptr;
  }
  std::string phys(const std::string& name) const { return temp_.path() + "/" + name; }

  TempDir temp_;
};

TEST_F(CheckOperations, ReportsOfCallsTheKernelDoesNotMake) {
  writeFile(phys("ten"), "0123456789");
  writeFile(phys("plain"), "0123456789");
  const std::string big(100, 'b');
  fuse_file_info fi = {};
  char buf[100];

  // A read through a created (write-only) handle.
  std::string err = captureStderr([&] {
    fi.flags = O_RDWR | O_CREAT;
    ASSERT_EQ(0, xmp_create("/made", 0644, &fi));
    EXPECT_EQ(100, xmp_write("/made", big.data(), 100, 0, &fi));
    EXPECT_EQ(50, xmp_read("/made", buf, 50, 0, &fi));
    EXPECT_EQ(0, xmp_release("/made", &fi));
  });
  EXPECT_EQ("usage error: reading from " + phys("made") + " when open for output\n", err);

  // An appending handle expects its first write at the size it was opened with.
  err = captureStderr([&] {
    fi = {};
    fi.flags = O_WRONLY | O_APPEND;
    ASSERT_EQ(0, xmp_open("/ten", &fi));
    EXPECT_EQ(5, xmp_write("/ten", "abcde", 5, 0, &fi));
    EXPECT_EQ(5, xmp_write("/ten", "fghij", 5, 5, &fi));
    EXPECT_EQ(0, xmp_release("/ten", &fi));
  });
  EXPECT_EQ(phys("ten") + ": offset 0 is smaller than expected offset 10\n", err);

  // A failed write leaves the expected offset where the last good one ended.
  err = captureStderr([&] {
    fi = {};
    fi.flags = O_WRONLY;
    ASSERT_EQ(0, xmp_open("/plain", &fi));
    EXPECT_EQ(100, xmp_write("/plain", big.data(), 100, 0, &fi));
    EXPECT_EQ(-EFBIG, xmp_write("/plain", big.data(), 100, LLONG_MAX - 200, &fi));
    EXPECT_EQ(100, xmp_write("/plain", big.data(), 100, 100, &fi));
    EXPECT_EQ(0, xmp_release("/plain", &fi));
  });
  EXPECT_EQ("", err);

  // Without a handle nothing is checked and the file is opened for the call.
  err = captureStderr([&] {
    EXPECT_EQ(3, xmp_write("/ten", "XYZ", 3, 1, nullptr));
    EXPECT_EQ(4, xmp_read("/ten", buf, 4, 0, nullptr));
    EXPECT_EQ(-ENOENT, xmp_read("/missing", buf, 4, 0, nullptr));
    EXPECT_EQ(-ENOENT, xmp_write("/missing", "x", 1, 0, nullptr));
  });
  EXPECT_EQ("", err);
  EXPECT_EQ("0XYZ", std::string(buf, 4));
  EXPECT_EQ("0XYZ456789abcdefghij", readFile(phys("ten")));
}

TEST_F(CheckOperations, RefusedCalls) {
  fuse_file_info fi = {};
  fi.flags = O_RDONLY;
  EXPECT_EQ(-ENOENT, xmp_open("/missing", &fi));
  EXPECT_EQ(0u, fi.fh);
  writeFile(phys("a"), "A");
  EXPECT_EQ(-EINVAL, xmp_rename("/a", "/b", 1));
  EXPECT_EQ("A", readFile(phys("a")));

  // Physical names get 1023 bytes; one more is refused before any call.
  const std::string fits(kNameBufferSize - 1 - temp_.path().size(), 'n');
  std::string out;
  EXPECT_EQ(0, physicalPath(fits.c_str(), out));
  EXPECT_EQ(kNameBufferSize - 1, out.size());
  EXPECT_EQ(-ENAMETOOLONG, physicalPath((fits + "n").c_str(), out));
  struct stat st;
  EXPECT_EQ(-ENAMETOOLONG, xmp_getattr((fits + "n").c_str(), &st, nullptr));
  EXPECT_EQ(-ENAMETOOLONG, xmp_symlink("t", (fits + "n").c_str()));
  EXPECT_EQ(-ENAMETOOLONG, xmp_rename("/a", (fits + "n").c_str(), 0));

  // The root "/" is not doubled.
  vaskfsArgs.rootDir = "/";
  EXPECT_EQ(0, physicalPath("/etc", out));
  EXPECT_EQ("/etc", out);
}

}  // namespace
}  // namespace checktest
