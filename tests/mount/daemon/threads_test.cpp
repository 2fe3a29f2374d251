// Many converted files open at once in the daemon: the compression of all
// of them runs on the process's one set of workers, so that 200 open zstd
// writers do not make the daemon hundreds of threads, and every file is
// complete once closed.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

constexpr int kFiles = 200;
constexpr size_t kBytes = 100 << 10;
// The most threads the compression may add: the shared workers are at most
// 8, and the daemon's own (main, signal handling) are few.
constexpr int kThreadBudget = 16;
// libfuse's workers on top: its default most idle threads, and the one
// that serves each request at a time here.
constexpr int kFuseThreads = 10;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The daemon serving `mnt`: the vaskFS process whose arguments name it.
pid_t daemonServing(const std::string& mnt) {
  DIR* proc = opendir("/proc");
  if (!proc) return -1;
  pid_t found = -1;
  while (dirent* e = readdir(proc)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string cmd = slurp("/proc/" + std::string(e->d_name) + "/cmdline");
    std::vector<std::string> args;
    for (size_t at = 0; at < cmd.size();) {
      size_t end = cmd.find('\0', at);
      if (end == std::string::npos) end = cmd.size();
      args.push_back(cmd.substr(at, end - at));
      at = end + 1;
    }
    if (args.empty() || args[0].find("vaskFS") == std::string::npos) continue;
    for (const std::string& a : args)
      if (a == mnt) found = pid;
  }
  closedir(proc);
  return found;
}

// The names of the process's threads.
std::vector<std::string> threadNames(pid_t pid) {
  std::vector<std::string> names;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string comm = slurp(dir + "/" + e->d_name + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    names.push_back(comm);
  }
  closedir(d);
  return names;
}

long rssKiB(pid_t pid) {
  std::istringstream s(slurp("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(s, line);)
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

std::string content(int i) {
  std::string s;
  for (int line = 0; s.size() < kBytes; ++line)
    s += "file " + std::to_string(i) + " line " + std::to_string(line) + " " +
         std::to_string((i * 7919 + line * 104729) % 1000003) + "\n";
  s.resize(kBytes);
  return s;
}

class ThreadsTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({{'w', 1, "*.log", "[path]/[base].log.zst", "write.bin(file='' comp.zstd())",
               "format.bin()"},
              {'r', 1, "*.zst", "[path]/[base]", "read.bin(file='' comp.zstd())", "format.bin()"}});
    setCatchAll();
  }
};

TEST_F(ThreadsTest, TwoHundredOpenZstdWritersShareTheWorkers) {
  mount();
  pid_t pid = daemonServing(mnt_);
  ASSERT_GT(pid, 0) << "no vaskFS process serves " << mnt_;
  long rssBefore = rssKiB(pid);
  std::vector<int> fds;
  std::vector<std::string> data;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = mnt_ + "/f" + std::to_string(i) + ".log";
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << name << ": " << strerror(errno);
    fds.push_back(fd);
    data.push_back(content(i));
  }
  // In pieces, the files taking turns, then each flushed through fsync so
  // that blocks go to the workers while every file stays open.
  for (size_t at = 0; at < kBytes; at += 16 << 10) {
    ssize_t n = static_cast<ssize_t>(std::min<size_t>(16 << 10, kBytes - at));
    for (int i = 0; i < kFiles; ++i)
      ASSERT_EQ(write(fds[i], data[i].data() + at, n), n) << strerror(errno);
  }
  std::vector<std::string> written = threadNames(pid);
  for (int i = 0; i < kFiles; i += 2) ASSERT_EQ(0, fsync(fds[i])) << strerror(errno);
  std::vector<std::string> flushed = threadNames(pid);
  long rssOpen = rssKiB(pid);
  for (const std::vector<std::string>* names : {&written, &flushed}) {
    int pool = 0;
    std::string all;
    for (const std::string& n : *names) {
      pool += n == "xio-pool";
      all += n + " ";
    }
    EXPECT_LE(pool, 8) << all;
    EXPECT_LE(static_cast<int>(names->size()), kThreadBudget + kFuseThreads) << all;
  }
  RecordProperty("daemon_threads", static_cast<int>(flushed.size()));
  RecordProperty("daemon_rss_kib_per_open_file", static_cast<int>((rssOpen - rssBefore) / kFiles));
  for (int fd : fds) ASSERT_EQ(0, close(fd));
  // The releases come after close returns: they are done once the daemon
  // has ended.
  ASSERT_EQ(0, unmount()) << log();
  for (int i = 0; i < kFiles; ++i) {
    std::string packed = root_ + "/f" + std::to_string(i) + ".log.zst";
    ShellResult t = sh("zstd -q -t '" + packed + "' && zstd -q -dc '" + packed + "'");
    ASSERT_EQ(0, t.status) << packed << ": " << t.output.substr(0, 300);
    ASSERT_TRUE(t.output == data[i]) << packed << ": " << t.output.size() << " bytes";
  }
}

}  // namespace
}  // namespace daemontest
