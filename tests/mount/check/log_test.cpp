// The log line of every operation, made by a system call through the mount:
// caller text, operation name and the names as the checker shows them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <regex>

#include "harness.h"

namespace checktest {
namespace {

std::string literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

class CheckLog : public CheckerTest {};

TEST_F(CheckLog, EveryOperationWritesItsLine) {
  ASSERT_NO_FATAL_FAILURE(mount());
  std::string program = readFile("/proc/self/cmdline");
  program.resize(program.find('\0'));
  const std::string caller = "-?\\d+\\[" + std::to_string(getpid()) + "\\] " + literal(program);
  const auto on = [&](const std::string& name) { return mnt_ + "/" + name; };
  const auto phys = [&](const std::string& name) { return literal(root_ + "/" + name); };

  struct Case {
    const char* what;
    std::function<bool()> call;
    std::string line;  // a pattern for the whole line
  };
  struct statvfs vfs;
  struct stat st;
  char buf[64];
  int fd = -1;
  const struct timespec times[2] = {{1, 0}, {2, 0}};
  const Case cases[] = {
      {"create", [&] { return (fd = open(on("f").c_str(), O_WRONLY | O_CREAT, 0644)) != -1; },
       caller + "\\[create\\] " + phys("f")},
      {"write", [&] { return pwrite(fd, "hello", 5, 0) == 5; },
       caller + "\\[write\\] " + phys("f") + " 5 bytes at offset 0"},
      {"fsync", [&] { return fsync(fd) == 0; }, caller + "\\[fsync\\] \\./" + literal("/f")},
      {"close", [&] { return close(fd) == 0; }, "-?\\d+\\[0\\] \\[release\\] \\./" + literal("/f")},
      {"open", [&] { return (fd = open(on("f").c_str(), O_RDONLY)) != -1; },
       caller + "\\[open\\] " + phys("f")},
      {"read", [&] { return pread(fd, buf, sizeof buf, 0) == 5 && close(fd) == 0; },
       caller + "\\[read\\] \\d+ bytes from " + phys("f") + " at offset 0"},
      {"stat", [&] { return lstat(on("f").c_str(), &st) == 0; },
       caller + "\\[getattr\\] " + phys("f")},
      {"mkdir", [&] { return mkdir(on("d").c_str(), 0755) == 0; },
       caller + "\\[mkdir\\] " + phys("d")},
      {"opendir",
       [&] {
         DIR* dir = opendir(on("d").c_str());
         return dir != nullptr && readdir(dir) != nullptr && closedir(dir) == 0;
       },
       caller + "\\[readdir\\] " + phys("d")},
      {"rmdir", [&] { return rmdir(on("d").c_str()) == 0; }, caller + "\\[rmdir\\] " + phys("d")},
      {"mkfifo", [&] { return mkfifo(on("p").c_str(), 0600) == 0; },
       caller + "\\[mknod\\] " + phys("p")},
      {"unlink", [&] { return unlink(on("p").c_str()) == 0; },
       caller + "\\[unlink\\] " + phys("p")},
      {"symlink", [&] { return symlink("some text", on("s").c_str()) == 0; },
       caller + "\\[symlink\\] some text -> " + phys("s")},
      {"readlink", [&] { return readlink(on("s").c_str(), buf, sizeof buf) == 9; },
       caller + "\\[readlink\\] " + phys("s")},
      {"rename", [&] { return rename(on("f").c_str(), on("g").c_str()) == 0; },
       caller + "\\[rename\\] " + phys("f") + " -> " + phys("g")},
      {"link", [&] { return link(on("g").c_str(), on("h").c_str()) == 0; },
       caller + "\\[link\\] " + phys("g") + " -> " + phys("h")},
      {"chmod", [&] { return chmod(on("g").c_str(), 0600) == 0; },
       caller + "\\[chmod\\] " + phys("g")},
      {"chown", [&] { return chown(on("g").c_str(), 1234, 5678) == 0; },
       caller + "\\[chown\\] " + phys("g") + " uid:1234 gid:5678"},
      {"truncate", [&] { return truncate(on("g").c_str(), 2) == 0; },
       caller + "\\[truncate\\] " + phys("g")},
      {"utimensat", [&] { return utimensat(AT_FDCWD, on("g").c_str(), times, 0) == 0; },
       caller + "\\[utimens\\] " + phys("g")},
      {"access", [&] { return access(on("g").c_str(), R_OK) == 0; },
       caller + "\\[access\\] " + phys("g")},
      {"statvfs", [&] { return statvfs(on("g").c_str(), &vfs) == 0; },
       caller + "\\[statvfs\\] " + phys("g")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.call()) << strerror(errno);
    EXPECT_TRUE(waitForLogLine(std::regex(c.line))) << "no line matching " << c.line;
  }
}

// The caller text is cut at 255 bytes, whatever the length of the caller's
// first argument.
TEST_F(CheckLog, LongProgramNameIsCut) {
  ASSERT_NO_FATAL_FAILURE(mount());
  writeFile(root_ + "/f", "data");
  ASSERT_EQ(0, runShell("python3 -c \"import os; os.execv('/bin/cat', ['" + std::string(300, 'p') +
                            "', 'f'])\"",
                        mnt_));
  const std::regex cut("-?\\d+\\[\\d+\\] p+\\[open\\] " + literal(root_ + "/f"));
  ASSERT_TRUE(waitForLogLine(cut));
  for (const std::string& line : logLines()) {
    if (std::regex_match(line, cut)) {
      EXPECT_EQ(255u, line.find("[open]")) << line;
    }
  }
}

}  // namespace
}  // namespace checktest
