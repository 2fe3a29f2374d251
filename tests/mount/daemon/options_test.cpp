// Mounting for other users: the log file's mode and allow_other with
// default_permissions.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

// The mount options and the super options of the mount at mountPoint, as
// the kernel shows them; empty when nothing is mounted there.
struct MountInfo {
  std::string mountOptions, superOptions;
};

MountInfo mountInfo(const std::string& mountPoint) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; fields >> field;) f.push_back(field);
    if (f.size() < 10 || f[4] != mountPoint) continue;
    // Optional fields end at "-"; fstype, source and super options follow.
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 3 >= f.size()) continue;
    return {f[5], f[dash + 3]};
  }
  return {};
}

bool hasOption(const std::string& list, const std::string& option) {
  return ("," + list + ",").find("," + option + ",") != std::string::npos;
}

class OptionsTest : public DaemonTest {
 protected:
  // Starts vaskFS with args exactly as given, in the foreground, and waits
  // for the mount.
  void start(const std::vector<std::string>& args) {
    running_ = &daemon_;
    ASSERT_EQ("", running_->start(args, temp_.path(), mnt_, temp_.path(), false)) << log();
  }
};

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

// Every way of giving allow_other brings default_permissions, which the
// kernel shows among the super options.
TEST_F(OptionsTest, AllowOtherBringsDefaultPermissions) {
  setCatchAll();
  const std::string L = log_, R = root_, M = mnt_;
  struct MountCase {
    const char* name;
    std::vector<std::string> args;
    bool allowOther, readOnly;
  } cases[] = {
      {"after --", {"-f", "-l", L, "--", R, M, "-o", "allow_other"}, true, false},
      {"joined after --", {"-f", "-l", L, "--", R, M, "-oallow_other,ro"}, true, true},
      {"escaped as libfuse reads it",
       {"-f", "-l", L, "--", R, M, "-o", "allow\\137other"},
       true,
       false},
      {"given already",
       {"-f", "-l", L, "--", R, M, "-o", "default_permissions", "-o", "allow_other"},
       true,
       false},
      // allow_other first and every one of the 32 slots taken.
      {"no slot left",
       {"-f", "-l",      L,    "--",      R,    M,         "-o", "allow_other", "-o", "noatime",
        "-o", "noatime", "-o", "noatime", "-o", "noatime", "-o", "noatime",     "-o", "noatime",
        "-o", "noatime", "-o", "noatime", "-o", "noatime", "-o", "noatime",     "-o", "noatime",
        "-o", "noatime", "-o", "noatime"},
       true,
       false},
      {"without allow_other", {"-f", "-l", L, "--", R, M, "-o", "ro"}, false, true},
  };
  for (const MountCase& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.args);
    if (HasFatalFailure()) return;
    const MountInfo info = mountInfo(mnt_);
    EXPECT_EQ(c.allowOther, hasOption(info.superOptions, "allow_other")) << info.superOptions;
    EXPECT_EQ(c.allowOther, hasOption(info.superOptions, "default_permissions"))
        << info.superOptions;
    EXPECT_EQ(c.readOnly, hasOption(info.mountOptions, "ro")) << info.mountOptions;
    if (!c.readOnly) {
      EXPECT_EQ("written\n", sh("echo written > $MNT/f; cat $ROOT/f; rm $MNT/f").output);
    }
    EXPECT_EQ(0, unmount()) << running_->err();
  }
}

}  // namespace
}  // namespace daemontest
