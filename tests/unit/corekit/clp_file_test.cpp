#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "corekit/clp/clp.h"

namespace {

class ClpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corekit-file-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_;
};

TEST_F(ClpFileTest, ReadsWholeFileIncludingZeroBytes) {
  std::string path = dir_ + "/params";
  std::string content(200000, 'x');
  content[5] = '\0';
  content += "end";
  std::ofstream(path, std::ios::binary) << content;
  std::string out, error;
  EXPECT_EQ(siClpFile2String(path.c_str(), out, error), 0);
  EXPECT_EQ(out, content);
  EXPECT_EQ(siClpSaf(path.c_str()), 0);
}

TEST_F(ClpFileTest, ReportsMissingFilesAndDirectories) {
  std::string out = "old", error;
  std::string missing = dir_ + "/missing";
  EXPECT_EQ(siClpFile2String(missing.c_str(), out, error), ENOENT);
  EXPECT_TRUE(out.empty());
  EXPECT_NE(error.find(missing), std::string::npos);
  EXPECT_EQ(siClpFile2String(dir_.c_str(), out, error), EISDIR);
  EXPECT_EQ(siClpFile2String(nullptr, out, error), EINVAL);
  EXPECT_EQ(siClpSaf(missing.c_str()), ENOENT);
  EXPECT_EQ(siClpSaf(""), EINVAL);
}

}  // namespace
