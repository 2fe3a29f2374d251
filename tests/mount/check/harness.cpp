#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace checktest {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWaitLimit = std::chrono::seconds(20);
constexpr auto kPollStep = std::chrono::milliseconds(5);

int decodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Waits for pid (or any child for -1) with a time limit. Returns the decoded
// status, or -1 when nothing ended in time.
int waitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    int raw = 0;
    const pid_t got = waitpid(pid, &raw, WNOHANG);
    if (got > 0) return decodeStatus(raw);
    if (got == -1 && errno != EINTR) return -1;
    if (Clock::now() >= end) return -1;
    std::this_thread::sleep_for(kPollStep);
  }
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& out,
            const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool isMounted(const std::string& mountPoint) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    if (field == mountPoint) return true;
  }
  return false;
}

}  // namespace

std::string checkerBinary() { return VASKFS_CHECK_BINARY; }

std::string fuseUnavailableReason() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not usable";
  if (geteuid() != 0) return "mount tests need root";
  if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0) {
    return "fusermount3 is missing";
  }
  return "";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& needle) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

std::string captureStderr(const std::function<void()>& action) {
  TempDir temp;
  const std::string name = temp.path() + "/stderr";
  std::fflush(stderr);
  const int saved = dup(2);
  const int file = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(file, 2);
  close(file);
  action();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  return readFile(name);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vaskcheck-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

RunResult runChecker(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram(checkerBinary(), args, cwd);
}

RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const std::string& cwd) {
  TempDir output;
  const std::string out = output.path() + "/out", err = output.path() + "/err";
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result;
  const pid_t pid = spawn(argv, cwd, out, err);
  if (pid == -1) return result;
  result.status = waitFor(pid, kWaitLimit);
  if (result.status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}

int runShell(const std::string& script, const std::string& cwd) {
  const pid_t pid = spawn({"/bin/sh", "-c", script}, cwd, "/dev/null", "/dev/null");
  if (pid == -1) return -1;
  int raw = 0;
  while (waitpid(pid, &raw, 0) == -1 && errno == EINTR) {
  }
  return decodeStatus(raw);
}

std::string CheckerMount::start(const std::vector<std::string>& args, const std::string& cwd,
                                const std::string& mountPoint, const std::string& outputDir,
                                bool daemon) {
  mountPoint_ = mountPoint;
  outFile_ = outputDir + "/checker.out";
  errFile_ = outputDir + "/checker.err";
  daemon_ = daemon;
  // The detached checker becomes our child, so that stop() can reap it.
  if (daemon) prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> argv{binary_};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = spawn(argv, cwd, outFile_, errFile_);
  if (pid_ == -1) return "cannot start " + argv[0];
  started_ = true;

  if (daemon) {
    // The started process ends once the detached one has mounted.
    const int status = waitFor(pid_, kWaitLimit);
    if (status != 0) return "the checker did not detach cleanly: " + std::to_string(status);
  }
  const auto end = Clock::now() + kWaitLimit;
  while (!isMounted(mountPoint_)) {
    if (!daemon) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        started_ = false;
        status_ = decodeStatus(raw);
        return "the checker ended before mounting: " + err();
      }
    }
    if (Clock::now() >= end) return "the mount did not appear in time";
    std::this_thread::sleep_for(kPollStep);
  }
  return "";
}

bool CheckerMount::processAlive() {
  if (!started_ || daemon_) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
  started_ = false;
  status_ = decodeStatus(raw);
  return false;
}

int CheckerMount::stop() {
  if (!started_) return status_;
  started_ = false;
  for (int attempt = 0; attempt < 50 && isMounted(mountPoint_); ++attempt) {
    if (runShell("fusermount3 -u '" + mountPoint_ + "' 2>/dev/null", "") == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (isMounted(mountPoint_)) runShell("umount -l '" + mountPoint_ + "'", "");

  if (daemon_) {
    // Whatever detached ends once its mount is gone; reap it.
    status_ = waitFor(-1, kWaitLimit);
    return status_;
  }
  status_ = waitFor(pid_, kWaitLimit);
  if (status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  return status_;
}

void requireFuse() {
  const std::string why = fuseUnavailableReason();
  if (why.empty()) return;
  const char* require = std::getenv("VASKFS_REQUIRE_FUSE");
  if (require != nullptr && std::string(require) == "1") FAIL() << why;
  GTEST_SKIP() << why;
}

void CheckerTest::SetUp() {
  requireFuse();
  if (IsSkipped() || HasFailure()) return;
  ASSERT_FALSE(temp_.path().empty());
  root_ = temp_.path() + "/root";
  mnt_ = temp_.path() + "/mnt";
  plain_ = temp_.path() + "/plain";
  log_ = temp_.path() + "/check.log";
  for (const std::string& dir : {root_, mnt_, plain_}) ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
}

void CheckerTest::TearDown() {
  if (!checker_.running()) return;
  const int status = unmount();
  EXPECT_EQ(0, status) << "checker output:\n" << checker_.out() << checker_.err();
}

void CheckerTest::mount(const std::vector<std::string>& extraOptions) {
  std::vector<std::string> args = extraOptions;
  for (const std::string& a : {std::string("-f"), std::string("-l"), log_, root_, mnt_}) {
    args.push_back(a);
  }
  mountWith(args, temp_.path(), false);
}

void CheckerTest::mountWith(const std::vector<std::string>& args, const std::string& cwd,
                            bool daemon) {
  const std::string error = checker_.start(args, cwd, mnt_, temp_.path(), daemon);
  ASSERT_EQ("", error);
}

std::vector<std::string> CheckerTest::logLines() const {
  std::string text = readFile(log_);
  text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  return splitLines(text);
}

bool CheckerTest::waitForLogLine(const std::regex& pattern) const {
  const auto end = Clock::now() + kWaitLimit;
  for (;;) {
    for (const std::string& line : logLines()) {
      if (std::regex_match(line, pattern)) return true;
    }
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

int CheckerTest::unmount() {
  const int status = checker_.stop();
  EXPECT_EQ(std::string::npos, checker_.err().find("Sanitizer")) << checker_.err();
  return status;
}

}  // namespace checktest
