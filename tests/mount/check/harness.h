// Runs the real vaskFScheck binary: to completion for start-up checks, or as
// a live mount on a temporary root for the mount tests.
//
// Not thread-safe: a test drives one CheckerMount from its main thread (the
// threads of a test may use the mounted files freely).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace checktest {

// Output and exit status of a checker run that ends by itself.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal, or -1 when it did not end in time
  std::string out, err;
};

std::string checkerBinary();

// Empty when mount tests can run here, else the reason they cannot.
std::string fuseUnavailableReason();
// Skips the current test where mounts cannot run, or fails it when
// VASKFS_REQUIRE_FUSE=1; the caller returns when the test was skipped or
// failed.
void requireFuse();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
std::vector<std::string> splitLines(const std::string& text);
size_t countContaining(const std::vector<std::string>& lines, const std::string& needle);

// Runs action with this process's standard error going to a file; returns
// what was written there.
std::string captureStderr(const std::function<void()>& action);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs `binary` with args in cwd and waits for its end (at most 20 s).
RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const std::string& cwd);
// Runs the checker with args in cwd and waits for its end (at most 20 s).
RunResult runChecker(const std::vector<std::string>& args, const std::string& cwd);

// Runs "/bin/sh -c script" in cwd; returns its exit status.
int runShell(const std::string& script, const std::string& cwd);

// One running checker (or another FUSE program given by its binary). The
// destructor unmounts and reaps whatever is left.
class CheckerMount {
 public:
  explicit CheckerMount(std::string binary = checkerBinary()) : binary_(std::move(binary)) {}
  ~CheckerMount() { stop(); }
  CheckerMount(const CheckerMount&) = delete;
  CheckerMount& operator=(const CheckerMount&) = delete;

  // Starts the checker with args in cwd and waits until mountPoint is
  // mounted. daemon: the started process is expected to detach and end.
  // Returns an empty text, or what went wrong.
  std::string start(const std::vector<std::string>& args, const std::string& cwd,
                    const std::string& mountPoint, const std::string& outputDir, bool daemon);
  // Unmounts and waits for the checker's end; returns its exit status as
  // in RunResult (0 when nothing was started).
  int stop();

  std::string out() const { return readFile(outFile_); }
  std::string err() const { return readFile(errFile_); }
  bool running() const { return started_; }
  // The started process (the daemon itself when it runs in the foreground).
  pid_t pid() const { return pid_; }
  // Whether the started process itself still runs (it does in the foreground).
  bool processAlive();

 private:
  std::string binary_;
  pid_t pid_ = -1;
  bool started_ = false;
  bool daemon_ = false;
  int status_ = 0;
  std::string mountPoint_, outFile_, errFile_;
};

// A root, a mount point and a plain directory under one temporary directory,
// and a checker started on them by mount(). TearDown unmounts and fails the
// test when the checker did not end cleanly (exit status, sanitizer report).
class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts "vaskFScheck -f -l <log> <root> <mnt>" plus extra options first.
  void mount(const std::vector<std::string>& extraOptions = {});
  void mountWith(const std::vector<std::string>& args, const std::string& cwd, bool daemon);
  int unmount();
  // The log's lines so far; a line still being written is left out.
  std::vector<std::string> logLines() const;
  // Waits (at most 20 s) for a log line that matches pattern as a whole, for
  // lines of calls that the kernel makes after the system call has returned
  // (release).
  bool waitForLogLine(const std::regex& pattern) const;

  TempDir temp_;
  std::string root_, mnt_, plain_, log_;
  CheckerMount checker_;
};

}  // namespace checktest
