// The daemon's functions called directly: a temporary root as working
// directory, its real index, the log captured in a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "state.h"
#include "log.h"

class DaemonUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vaskunit-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    root_ = pattern;
    ASSERT_EQ(0, getcwd(saved_, sizeof saved_) == nullptr);
    ASSERT_EQ(0, chdir(root_.c_str()));
    vaskfsArgs.rootDir = root_;
    vaskfsArgs.viewMode = 0;
    ASSERT_EQ(0, openIndex());
    logName_ = root_ + ".log";
    fileLog = std::fopen(logName_.c_str(), "w+");
    logLevel = LOG_TRACE;
    setConfdbMessageSink(logConfdbMessage);
  }
  void TearDown() override {
    setConfdbMessageSink(nullptr);
    closeIndexEnvironment();
    std::fclose(fileLog);
    fileLog = nullptr;
    vaskfsArgs.viewMode = 0;
    EXPECT_EQ(0, chdir(saved_));
    std::filesystem::remove_all(root_);
    std::filesystem::remove(logName_);
  }

  // What was logged since the last call.
  std::string takeLog() {
    std::fflush(fileLog);
    std::ifstream in(logName_);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::string fresh = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    return fresh;
  }

  void rule(const char* db, int32_t index, const char* pattern, const char* target,
            const char* fileString = "write.bin(file='')", unsigned flags = 0) {
    ConfigEntry e;
    e.index = index;
    e.flags = flags;
    e.pattern = pattern;
    e.targetPattern = target;
    e.fileString = fileString;
    e.formatString = "format.bin()";
    ASSERT_EQ(0, writeConfigEntry(vaskfsArgs.env, e, db));
  }

  static void writeFile(const std::string& name, const std::string& data) {
    std::ofstream(name, std::ios::binary) << data;
  }

  std::string root_, logName_;
  char saved_[4096];
  size_t seen_ = 0;
};
