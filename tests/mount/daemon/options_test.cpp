// Mounting for other users: the log file's mode.
#include <sys/stat.h>
#include <unistd.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class OptionsTest : public DaemonTest {};

TEST_F(OptionsTest, LogFileIsMadeForItsOwnerAlone) {
  struct LogCase {
    const char* name;
    int existing;  // mode of a log that is there before, 0: none
    bool symlink;  // the name is a link to a file
  } cases[] = {
      {"new", 0, false},
      {"existing 0644", 0644, false},
      {"link", 0, true},
  };
  // Under umask 0 a log made with the default mode would be 0666.
  const mode_t savedMask = umask(0);
  for (const LogCase& c : cases) {
    const std::string name = temp_.path() + "/log-" + std::to_string(&c - cases);
    const std::string target = name + ".target";
    if (c.existing != 0) {
      writeFile(name, "earlier line\n");
      ASSERT_EQ(0, chmod(name.c_str(), c.existing));
    }
    if (c.symlink) {
      writeFile(target, "not a log\n");
      ASSERT_EQ(0, symlink(target.c_str(), name.c_str()));
    }
    // The root does not exist: the daemon ends right after it has logged
    // its version line.
    const RunResult r =
        checktest::runProgram(VASKFS_BINARY, {"-l", name, "nosuchroot", "m"}, temp_.path());
    EXPECT_EQ(1, r.status) << c.name << "\n" << r.err;
    struct stat st;
    if (c.symlink) {
      EXPECT_NE(std::string::npos, r.err.find("Unable to open logfile " + name)) << c.name;
      EXPECT_EQ("not a log\n", readFile(target)) << c.name;
      continue;
    }
    ASSERT_EQ(0, stat(name.c_str(), &st)) << c.name;
    EXPECT_EQ(c.existing != 0 ? static_cast<mode_t>(c.existing) : 0600u, st.st_mode & 07777)
        << c.name;
    const std::string text = readFile(name);
    EXPECT_EQ(0u, text.find(c.existing != 0 ? "earlier line\n00 " : "00 ")) << c.name << text;
  }
  umask(savedMask);
}

}  // namespace
}  // namespace daemontest
