// Rule search and name mapping against a real index.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>

#include "daemon_fixture.h"
#include "state.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "operations.h"
#include "passthrough.h"

namespace {

class MappingTest : public DaemonUnitTest {};

std::string mapped(const std::string& logical, uint32_t* flags) {
  return getPhysicalPath(logical, flags, nullptr);
}

TEST_F(MappingTest, FirstEnabledRuleInIndexOrderWins) {
  uint32_t flags = 0;
  // Without any write rule every name maps to itself, and says why.
  EXPECT_EQ("a.txt", mapped("a.txt", &flags));
  EXPECT_EQ(0u, flags);
  EXPECT_NE(std::string::npos, takeLog().find("no configuration for a.txt : "));

  rule("confW", 7, "*.txt", "seven/[copy]");
  rule("confW", 3, "*.txt", "three/[copy]", "write.bin(file='')", CONFIG_FLAG_USE_IR);
  EXPECT_EQ("three/a.txt", mapped("a.txt", &flags));
  EXPECT_EQ(MAP_NAME_KNOWN | MAP_USE_IR, flags);
  ASSERT_EQ(0, moveConfigEntry(vaskfsArgs.env, 3, 3 | CONFIG_INDEX_DISABLED, "confW"));
  EXPECT_EQ("seven/a.txt", mapped("a.txt", &flags));
  EXPECT_EQ(MAP_NAME_KNOWN, flags);
  ASSERT_EQ(0, deleteConfigEntry(vaskfsArgs.env, ConfigEntry{0, 7, 0, "", "", "", ""}, "confW"));

  // A disabled rule never matches, even alone.
  ConfigEntry entry;
  initConfEntry(entry);
  EXPECT_EQ(1, getConf4Name("a.txt", entry, SEARCH_MATCH, "confW"));
  EXPECT_EQ(0, entry.isSet);
  EXPECT_EQ("a.txt", mapped("a.txt", &flags));
  EXPECT_EQ(0u, flags);
  EXPECT_NE(std::string::npos, takeLog().find("no configuration for a.txt : 1\n"));
}

TEST_F(MappingTest, TargetsAndStoredNames) {
  rule("confW", 1, "*.gz.txt", "/[path]/[base]");
  rule("confW", 2, "*", "[path]/[base].z");
  uint32_t flags = 0;
  takeLog();
  EXPECT_EQ(".", mapped(".", &flags));
  EXPECT_EQ("", takeLog()) << "the root needs no index";
  EXPECT_EQ("x.z", mapped("x", &flags));  // "[path]" empty: one slash dropped
  EXPECT_EQ("d/e/x.z", mapped("d/e/x", &flags));
  EXPECT_EQ("/x.gz", mapped("x.gz.txt", &flags));  // "//x.gz": only one slash is dropped

  // A stored name wins over the rules, and a handle reports the difference.
  ASSERT_EQ(0, writeMetaBytes("old", META_NAME, "meta", "kept.bin", 8));
  EXPECT_EQ("kept.bin", mapped("old", &flags));
  EXPECT_EQ(MAP_NAME_KNOWN, flags);
  FileHandlePtr h = initNewHandle("/old");
  EXPECT_EQ("kept.bin", h->physicalPath);
  EXPECT_NE(
      std::string::npos,
      takeLog().find("stored name: kept.bin does NOT match result from configuration: old.z"));
  // The file string names the file the index records, quoted.
  EXPECT_EQ("write.bin(file='kept.bin')", h->conf.fileString);
  FileHandlePtr q = initNewHandle("/it's");
  EXPECT_EQ("write.bin(file='it''s.z')", q->conf.fileString);
}

TEST_F(MappingTest, UpdateVaskInfoStoresWhatTheReadRuleGives) {
  rule("confR", 1, "*.dat", "[path]/[base].txt", "read.bin(file='')");
  writeFile("n.dat", "0123456789");
  writeFile("stray.bin", "x");
  chmod("n.dat", 0664);
  struct stat st;
  std::string logical = "n.dat";
  vaskfsArgs.viewMode = 1;
  ASSERT_EQ(0, updateVaskInfo(logical, "n.dat", &st));
  EXPECT_EQ("n.txt", logical);
  EXPECT_EQ(10, st.st_size);
  EXPECT_EQ(0444u, st.st_mode & 0777);
  std::string out;
  ASSERT_EQ(0, readMetaText("n.txt", META_NAME, "meta", out));
  EXPECT_EQ("n.dat", out);
  ASSERT_EQ(0, readMetaText("n.dat", META_NAME, "real", out));
  EXPECT_EQ("n.txt", out);
  struct stat stored;
  ASSERT_EQ(0, readMetaFixed("n.txt", META_STAT, &stored, sizeof stored));
  EXPECT_EQ(0444u, stored.st_mode & 0777);
  struct timespec stamps[2];
  ASSERT_EQ(0, readMetaFixed("n.txt", META_MTIME, stamps, sizeof stamps));
  EXPECT_EQ(st.st_mtim.tv_sec, stamps[1].tv_sec);

  takeLog();
  logical = "stray.bin";
  EXPECT_EQ(-1, updateVaskInfo(logical, "stray.bin", &st));
  const std::string log = takeLog();
  EXPECT_NE(std::string::npos, log.find("no configuration for stray.bin : -30798\n")) << log;
  EXPECT_NE(std::string::npos, log.find("spath=stray.bin statRC=0 rc=-30798\n")) << log;
  EXPECT_EQ(MDB_NOTFOUND, readMetaText("stray.bin", META_NAME, "real", out));
}

TEST_F(MappingTest, RuleListingAndCapabilities) {
  rule("confW", 2 | CONFIG_INDEX_DISABLED, "*", "[copy]", "write.bin(file='')", CONFIG_FLAG_USE_IR);
  ConfigEntry entry;
  initConfEntry(entry);
  takeLog();
  EXPECT_EQ(MDB_NOTFOUND, getConf4Name("", entry, SEARCH_LIST, "confW"));
  EXPECT_EQ("confW[  2,disabled,useIR] \"*\" \"[copy]\" \"write.bin(file='')\" \"format.bin()\"\n",
            takeLog());

  const struct {
    int level;
    unsigned capable, want;
    const char* expected;
  } cases[] = {
      {LOG_TRACE, 0x3, 0,
       "kernel supported capabilities are ASYNC_READ, POSIX_LOCKS\n"
       "fuse supported capabilities are \nmaximum number of backgound"},
      {LOG_TRACE, 1u << 31, 0x80000,
       "capabilities are BIT_31\nfuse supported capabilities are "
       "POSIX_ACL\n"},
      {LOG_INFO, 0x3, 0x3,
       "kernel supported capabilities are fuse supported capabilities are "
       "maximum number of backgound requests is 12\n"},
  };
  // No session behind these calls whose replies could ask for passthrough
  // (libfuse's request context does not exist outside its loop).
  passthroughWanted = false;
  for (const auto& c : cases) {
    logLevel = c.level;
    fuse_conn_info conn = {};
    conn.capable = c.capable;
    conn.want = c.want;
    conn.max_background = 12;
    fuse_config cfg = {};
    cfg.attr_timeout = cfg.entry_timeout = cfg.negative_timeout = 1.0;
    savefd = open(".", O_RDONLY);
    EXPECT_EQ(nullptr, vaskFS_init(&conn, &cfg));
    fuseServing = false;  // no libfuse session behind this call
    EXPECT_NE(std::string::npos, takeLog().find(c.expected)) << c.expected;
    EXPECT_EQ(1, cfg.use_ino);
    EXPECT_EQ(0, cfg.direct_io);  // chosen per open file
    EXPECT_EQ(0.0, cfg.attr_timeout + cfg.entry_timeout + cfg.negative_timeout);
  }
}

TEST_F(MappingTest, CallerPrefixWithoutProcessIsThreadAndZero) {
  char prefix[CALLER_PREFIX_SIZE];
  std::memset(prefix, 'x', sizeof prefix);
  getcallername(prefix, sizeof prefix);
  EXPECT_EQ(std::to_string(static_cast<long>(pthread_self())) + "[0] ", std::string(prefix));
}

}  // namespace
