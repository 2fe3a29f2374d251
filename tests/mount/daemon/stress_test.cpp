// Many processes on one mount at once, as a team's shell sessions and
// batch jobs are: each creates, writes, appends to, reads, renames, lists
// and removes files of every kind of storage in shared directories and
// checks every byte it reads against what it wrote, and all of them append
// lines to one shared gzip file. Afterwards every file holds its last data
// and every physical file passes its tool. Run long under ThreadSanitizer
// by scripts/test-tsan (STRESS_SECONDS), briefly in the other builds.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

struct Kind {
  const char* ext;       // logical extension
  const char* physical;  // what the rules add
  const char* check;     // a command that tests the physical file $P
};

const Kind kKinds[] = {
    {".txt", ".gz", "gzip -t \"$P\""},        {".zs", ".zst", "zstd -qt \"$P\""},
    {".xz", ".xz", "xz -t \"$P\""},           {".sec", ".age", "age -d -i \"$K\" \"$P\" >/dev/null"},
    {".dat", "", "test -f \"$P\""},
};

class StressTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    key_ = makeAgeKey();
    setLayerRules(key_, true);
  }
  std::string key_;
};

std::string readAll(const std::string& name, int& error) {
  error = 0;
  const int fd = open(name.c_str(), O_RDONLY);
  if (fd < 0) {
    error = errno;
    return "";
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return data;
}

int writeAll(const std::string& name, const std::string& data, int flags) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | flags, 0644);
  if (fd < 0) return errno;
  int error = 0;
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// One worker process: returns its exit status, 0 when every call
// succeeded and every read gave what was written; a failure is written to
// `report` (one line).
int work(int id, const std::string& mnt, double seconds, const std::string& report,
         int& appended) {
  std::mt19937 random(static_cast<unsigned>(id * 7919 + 17));
  const std::string dir = mnt + "/shared/w" + std::to_string(id);
  std::map<std::string, std::string> mine;  // logical path -> its data
  auto fail = [&](const std::string& what) {
    writeAll(report, what + "\n", O_APPEND);
    return 1;
  };
  if (mkdir(dir.c_str(), 0755) != 0) return fail("mkdir " + dir + ": " + strerror(errno));
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int serial = 0;
  while (std::chrono::steady_clock::now() < end) {
    const Kind& kind = kKinds[random() % 5];
    const int op = static_cast<int>(random() % 7);
    if (op == 0 || mine.empty()) {  // create
      const std::string name = dir + "/f" + std::to_string(serial++) + kind.ext;
      std::string data(1 + random() % 200000, 'a' + static_cast<char>(id));
      for (size_t i = 0; i < data.size(); i += 97) data[i] = static_cast<char>('0' + random() % 10);
      if (int e = writeAll(name, data, O_TRUNC)) return fail("create " + name + ": " + strerror(e));
      mine[name] = data;
    } else {
      auto it = mine.begin();
      std::advance(it, random() % mine.size());
      const std::string name = it->first;
      if (op == 1) {  // append
        const std::string more = "appended by " + std::to_string(id) + "\n";
        if (int e = writeAll(name, more, O_APPEND))
          return fail("append " + name + ": " + strerror(e));
        it->second += more;
      } else if (op == 2 || op == 3) {  // read back and compare, size too
        int e;
        const std::string got = readAll(name, e);
        if (e != 0) return fail("read " + name + ": " + strerror(e));
        if (got != it->second)
          return fail("read " + name + ": " + std::to_string(got.size()) + " bytes, wrote " +
                      std::to_string(it->second.size()));
        struct stat st;
        if (stat(name.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != got.size())
          return fail("stat " + name + " disagrees with its data");
      } else if (op == 4) {  // rename, to a name of any kind
        const std::string to = dir + "/r" + std::to_string(serial++) + kKinds[random() % 5].ext;
        if (rename(name.c_str(), to.c_str()) != 0)
          return fail("rename " + name + ": " + strerror(errno));
        mine[to] = it->second;
        mine.erase(name);
      } else if (op == 5) {  // list the shared directory and one's own
        for (const std::string& d : {mnt + "/shared", dir}) {
          DIR* listing = opendir(d.c_str());
          if (listing == nullptr) return fail("opendir " + d + ": " + strerror(errno));
          while (readdir(listing) != nullptr) {
          }
          closedir(listing);
        }
      } else if (mine.size() > 6) {  // remove
        if (unlink(name.c_str()) != 0) return fail("unlink " + name + ": " + strerror(errno));
        mine.erase(name);
      }
    }
    // Every round, a line into the one file all of them append to.
    const std::string line = "line " + std::to_string(id) + " " + std::to_string(appended) + "\n";
    if (int e = writeAll(mnt + "/shared/all.txt", line, O_APPEND))
      return fail("append to all.txt: " + std::string(strerror(e)));
    ++appended;
  }
  // What is left: its data, once more after everything else.
  for (const auto& [name, data] : mine) {
    int e;
    if (readAll(name, e) != data || e != 0) return fail("final read " + name);
  }
  writeAll(report, "count " + std::to_string(id) + " " + std::to_string(appended) + "\n",
           O_APPEND);
  return 0;
}

TEST_F(StressTest, ProcessesSideBySideLoseNothing) {
  const char* env = std::getenv("STRESS_SECONDS");
  const double seconds = env != nullptr ? std::atof(env) : 8.0;
  constexpr int kWorkers = 6;
  mount();
  ASSERT_EQ(0, sh("mkdir -m 1777 $MNT/shared").status);
  const std::string report = temp_.path() + "/report";
  std::vector<pid_t> children;
  for (int id = 0; id < kWorkers; ++id) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int appended = 0;
      _exit(work(id, mnt_, seconds, report, appended));
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "worker " << pid << " status " << status << "\n" << readFile(report);
  }
  ASSERT_TRUE(running_->processAlive()) << log();
  // Every line every worker appended to the shared file is there once.
  const ShellResult counts = sh(
      "gzip -t $ROOT/shared/all.txt.gz && gzip -dc $ROOT/shared/all.txt.gz | sort | uniq -d | wc -l;"
      " for i in 0 1 2 3 4 5; do grep -c \"^line $i \" $MNT/shared/all.txt; done");
  std::string expected = "0\n";
  const std::string text = readFile(report);
  for (int id = 0; id < kWorkers; ++id) {
    const std::string tag = "count " + std::to_string(id) + " ";
    const size_t at = text.find(tag);
    ASSERT_NE(std::string::npos, at) << text;
    expected += text.substr(at + tag.size(), text.find('\n', at) - at - tag.size()) + "\n";
  }
  EXPECT_EQ(expected, counts.output);
  // Every physical file passes its tool.
  std::string script = "K='" + key_ + "'; bad=0; for P in $(find $ROOT/shared -type f); do case $P in ";
  for (const Kind& k : kKinds)
    if (k.physical[0] != '\0')
      script += std::string("*") + k.physical + ") " + k.check + " || { echo \"$P\"; bad=1; };; ";
  script += "esac; done; exit $bad";
  const ShellResult tools = sh(script);
  EXPECT_EQ(0, tools.status) << tools.output;
  EXPECT_EQ(0, unmount());
}

}  // namespace
}  // namespace daemontest
