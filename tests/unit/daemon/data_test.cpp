// Writes through a created handle: the expected offset, backward writes,
// gaps, what release stores, truncation of converted files.
#include <fcntl.h>
#include <sys/stat.h>

#include "daemon_fixture.h"
#include "state.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "operations.h"

namespace {

class DataTest : public DaemonUnitTest {
 protected:
  void SetUp() override {
    DaemonUnitTest::SetUp();
    rule("confW", 1, "*", "[copy].gz", "write.bin(file='' comp.gzip())");
    rule("confR", 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())");
  }
  int64_t storedSize(const char* logical) {
    struct stat st;
    return readMetaFixed(logical, META_STAT, &st, sizeof st) == 0 ? st.st_size : -1;
  }
};

TEST_F(DataTest, ExpectedOffsetAndWhatReleaseStores) {
  fuse_file_info fi = {};
  fi.flags = O_WRONLY | O_CREAT;
  ASSERT_EQ(0, vaskFS_create("/w", 0640, &fi));
  FileHandle* h = handleOf(&fi);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(3, h->direction);
  EXPECT_EQ(MAP_NAME_KNOWN | MAP_HAS_WRITE, h->mapFlags & (MAP_NAME_KNOWN | MAP_HAS_WRITE));
  EXPECT_EQ(0, storedSize("w"));
  struct stat physical;
  ASSERT_EQ(0, stat("w.gz", &physical));
  EXPECT_EQ(0600u, physical.st_mode & 0777) << "readable by others while written";
  const std::string block(4096, 'b');
  for (off_t at : {0, 4096, 8192}) EXPECT_EQ(4096, vaskFS_write("/w", block.data(), 4096, at, &fi));
  EXPECT_EQ(12288, h->offset);
  EXPECT_EQ(12288u, h->bytesWritten);
  takeLog();
  // Behind the expected offset: logged, refused by the stream, nothing counted.
  EXPECT_EQ(-ESPIPE, vaskFS_write("/w", block.data(), 4096, 0, &fi));
  const std::string log = takeLog();
  EXPECT_NE(std::string::npos, log.find("w: offset 0 is smaller than expected offset 12288\n"))
      << log;
  EXPECT_EQ(12288, h->offset);
  EXPECT_EQ(12288u, h->bytesWritten);
  std::string error;
  EXPECT_EQ(0, readMetaText("w", META_ERROR, "meta", error));
  EXPECT_EQ(XIO_TRACE_SIZE, error.size());
  // A gap is passed on without a message.
  EXPECT_EQ(4096, vaskFS_write("/w", block.data(), 4096, 20000, &fi));
  EXPECT_EQ(24096, h->offset);
  EXPECT_EQ(std::string::npos, takeLog().find("smaller than expected"));
  EXPECT_EQ(0, vaskFS_flush("/w", &fi));
  EXPECT_EQ(0, vaskFS_fsync("/w", 0, &fi));
  EXPECT_EQ(0, vaskFS_release("/w", &fi));
  EXPECT_EQ(24096, storedSize("w"));
  ASSERT_EQ(0, stat("w.gz", &physical));
  EXPECT_EQ(0640u, physical.st_mode & 0777);
  std::string command;
  ASSERT_EQ(0, readMetaText("w", META_READ, "meta", command));
  EXPECT_EQ("read.bin(file='w.gz' comp.gzip())", command);

  // Read back through an open handle: the gap reads as zeros.
  fuse_file_info rfi = {};
  rfi.flags = O_RDONLY;
  ASSERT_EQ(0, vaskFS_open("/w", &rfi));
  std::string back(30000, 'x');
  EXPECT_EQ(24096, vaskFS_read("/w", back.data(), back.size(), 0, &rfi));
  EXPECT_EQ(std::string(20000 - 12288, '\0'), back.substr(12288, 20000 - 12288));
  // A read of a file that has ".write" does not ask for the inverse texts.
  EXPECT_EQ(MAP_HAS_WRITE, handleOf(&rfi)->mapFlags & MAP_HAS_WRITE);
  EXPECT_EQ(0, vaskFS_release("/w", &rfi));

  EXPECT_EQ(-EINVAL, vaskFS_truncate("/w", 10, nullptr));
  EXPECT_EQ(0, vaskFS_truncate("/w", 0, nullptr));
  EXPECT_EQ(0, storedSize("w"));
}

TEST_F(DataTest, OpenChoosesCommandsByDirection) {
  // No write rule for this name, but a stored command without a format.
  ASSERT_EQ(0, deleteConfigEntry(vaskfsArgs.env, ConfigEntry{0, 1, 0, "", "", "", ""}, "confW"));
  fuse_file_info fi = {};
  fi.flags = O_WRONLY;
  EXPECT_EQ(-ENOENT, vaskFS_open("/s", &fi));
  EXPECT_EQ(-ENOENT, vaskFS_create("/s", 0600, &fi));
  const std::string stored = "write.bin(file='s.raw')";
  ASSERT_EQ(0, writeMetaBytes("s", META_WRITE, "meta", stored.data(), stored.size()));
  fi.flags = O_WRONLY | O_TRUNC;
  ASSERT_EQ(0, vaskFS_open("/s", &fi));
  EXPECT_EQ(stored, handleOf(&fi)->conf.fileString);
  EXPECT_EQ("format.bin()", handleOf(&fi)->conf.formatString);
  EXPECT_EQ(1, vaskFS_write("/s", "x", 1, 0, &fi));
  EXPECT_EQ(0, vaskFS_release("/s", &fi));

  // O_RDWR reads; with no read rule for the physical name it fails.
  fi.flags = O_RDWR;
  EXPECT_EQ(-ENOENT, vaskFS_open("/s", &fi));
  // A view refuses every change before looking at names.
  vaskfsArgs.viewMode = 1;
  fi.flags = O_WRONLY;
  EXPECT_EQ(-EACCES, vaskFS_open("/s", &fi));
  EXPECT_EQ(-EACCES, vaskFS_create("/s", 0600, &fi));
  EXPECT_EQ(-EACCES, vaskFS_write("/s", "x", 1, 0, &fi));
  EXPECT_EQ(-EACCES, vaskFS_truncate("/s", 0, nullptr));
  EXPECT_EQ(-EACCES, vaskFS_access("/nowhere", W_OK));
  EXPECT_EQ(-EACCES, vaskFS_rename("/s", "/t", 0));
}

}  // namespace

namespace {

// Appending through the daemon to a file under an age layer rewrites it:
// the result is one age file, and no temporary file is left in the root.
class AgeAppendTest : public DaemonUnitTest {
 protected:
  void SetUp() override {
    DaemonUnitTest::SetUp();
    ASSERT_EQ(0, std::system("age-keygen -o k.txt 2>/dev/null"));
    const std::string key = root_ + "/k.txt";
    write_ = "write.bin(file='' encr.age(identity='" + key + "'))";
    read_ = "read.bin(file='' encr.age(identity='" + key + "'))";
    rule("confW", 1, "*", "[copy].age", write_.c_str());
    rule("confR", 1, "*.age", "[path]/[base]", read_.c_str());
  }
  std::string write_, read_;
};

TEST_F(AgeAppendTest, AppendRewritesTheFileWithoutATemporaryOneLeft) {
  fuse_file_info fi = {};
  fi.flags = O_WRONLY | O_CREAT;
  ASSERT_EQ(0, vaskFS_create("/a", 0640, &fi));
  EXPECT_EQ(5, vaskFS_write("/a", "first", 5, 0, &fi));
  EXPECT_EQ(0, vaskFS_release("/a", &fi));
  fi = {};
  fi.flags = O_WRONLY | O_APPEND;
  ASSERT_EQ(0, vaskFS_open("/a", &fi));
  EXPECT_EQ(6, vaskFS_write("/a", "second", 6, 5, &fi));
  EXPECT_EQ(0, vaskFS_fsync("/a", 0, &fi));
  EXPECT_EQ(0, vaskFS_release("/a", &fi));
  FILE* p = popen("age -d -i k.txt a.age", "r");
  ASSERT_NE(nullptr, p);
  char out[64] = {};
  size_t n = fread(out, 1, sizeof out, p);
  EXPECT_EQ(0, pclose(p));
  EXPECT_EQ("firstsecond", std::string(out, n));
  EXPECT_EQ(0, std::system("! ls -a | grep -q '^.vaskIndex.tmp'"));

  fuse_file_info rfi = {};
  rfi.flags = O_RDONLY;
  ASSERT_EQ(0, vaskFS_open("/a", &rfi));
  std::string back(64, 'x');
  EXPECT_EQ(11, vaskFS_read("/a", back.data(), back.size(), 0, &rfi));
  EXPECT_EQ("firstsecond", back.substr(0, 11));
  EXPECT_EQ(0, vaskFS_release("/a", &rfi));
}

}  // namespace
