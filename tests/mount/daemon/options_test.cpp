// Mounting for other users and at boot: the log file's mode, allow_other
// with default_permissions, and the "-o" lists that mount(8), /etc/fstab and
// systemd hand to the daemon.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

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

// Reaps a detached daemon, which the subreaper made our child; its exit
// status, or -1 when none ended in time.
int reapDetached() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    int raw = 0;
    const pid_t got = waitpid(-1, &raw, WNOHANG);
    if (got > 0) return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (got == -1 || std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

class OptionsTest : public DaemonTest {
 protected:
  // Starts vaskFS (or vaskFSview) with args exactly as given, in the
  // foreground, and waits for the mount.
  void start(const std::vector<std::string>& args, bool view = false) {
    running_ = view ? &view_ : &daemon_;
    ASSERT_EQ("", running_->start(args, temp_.path(), mnt_, temp_.path(), false)) << log();
  }
};

TEST_F(OptionsTest, LogFileIsMadeForItsOwnerAlone) {
  struct LogCase {
    const char* name;
    bool byOption;  // -o log= instead of -l
    int existing;   // mode of a log that is there before, 0: none
    bool symlink;   // the name is a link to a file
  } cases[] = {
      {"new by -l", false, 0, false},
      {"new by log=", true, 0, false},
      {"existing 0644 by -l", false, 0644, false},
      {"existing 0640 by log=", true, 0640, false},
      {"link by -l", false, 0, true},
      {"link by log=", true, 0, true},
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
    const std::vector<std::string> args =
        c.byOption ? std::vector<std::string>{"-o", "log=" + name, "nosuchroot", "m"}
                   : std::vector<std::string>{"-l", name, "nosuchroot", "m"};
    const RunResult r = checktest::runProgram(VASKFS_BINARY, args, temp_.path());
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
// kernel shows among the super options; the daemon's own options never
// reach libfuse.
TEST_F(OptionsTest, AllowOtherBringsDefaultPermissions) {
  setCatchAll();
  setRules({{'r', 1, "*", "[copy]", "read.bin(file='')", "format.bin()"}}, "public");
  const std::string L = log_, R = root_, M = mnt_;
  struct MountCase {
    const char* name;
    std::vector<std::string> args;
    bool allowOther, readOnly;
    const char* logHas;  // a text the log must hold, or null
    bool view = false;
  } cases[] = {
      {"after --", {"-f", "-l", L, "--", R, M, "-o", "allow_other"}, true, false, nullptr},
      {"joined after --", {"-f", "-l", L, "--", R, M, "-oallow_other,ro"}, true, true, nullptr},
      {"-o after the names", {"-f", "-l", L, R, M, "-o", "ro,allow_other"}, true, true, nullptr},
      {"-o with the daemon's own options",
       {"-f", "-o", "log=" + L + ",allow_other,loglevel=info", R, M},
       true,
       false,
       "vaskFS starting at "},
      {"escaped as libfuse reads it",
       {"-f", "-l", L, "--", R, M, "-o", "allow\\137other"},
       true,
       false,
       nullptr},
      {"given already",
       {"-f", "-l", L, "--", R, M, "-o", "default_permissions", "-o", "allow_other"},
       true,
       false,
       nullptr},
      // allow_other first and every one of the 32 slots taken.
      {"no slot left",
       {"-f", "-l",      L,    "--",      R,    M,         "-o", "allow_other", "-o", "noatime",
        "-o", "noatime", "-o", "noatime", "-o", "noatime", "-o", "noatime",     "-o", "noatime",
        "-o", "noatime", "-o", "noatime", "-o", "noatime", "-o", "noatime",     "-o", "noatime",
        "-o", "noatime", "-o", "noatime"},
       true,
       false,
       nullptr},
      {"without allow_other", {"-f", "-l", L, R, M, "-o", "ro"}, false, true, nullptr},
      {"view named by view=",
       {"-f", "-l", L, "-L", "info", R, M, "-o", "view=public,allow_other"},
       true,
       false,
       "read-only mount view public\n",
       true},
  };
  for (const MountCase& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(log_, "");
    start(c.args, c.view);
    if (HasFatalFailure()) return;
    const MountInfo info = mountInfo(mnt_);
    EXPECT_EQ(c.allowOther, hasOption(info.superOptions, "allow_other")) << info.superOptions;
    EXPECT_EQ(c.allowOther, hasOption(info.superOptions, "default_permissions"))
        << info.superOptions;
    EXPECT_EQ(c.readOnly, hasOption(info.mountOptions, "ro")) << info.mountOptions;
    if (!c.readOnly && !c.view) {
      EXPECT_EQ("written\n", sh("echo written > $MNT/f; cat $ROOT/f; rm $MNT/f").output);
    }
    if (c.logHas != nullptr) {
      EXPECT_NE(std::string::npos, log().find(c.logHas)) << log();
    }
    EXPECT_EQ(0, unmount()) << running_->err();
  }
}

// mount(8) runs "vaskFS ROOT MNT -o rw,<options>,dev,suid" without PATH, so
// the daemon is found on the shell's default path: a private mount
// namespace puts it there without touching the system.
TEST_F(OptionsTest, MountByTypeAsAtBoot) {
  setCatchAll();
  // The detached daemon becomes our child, so that its end can be seen.
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  const std::string script = temp_.path() + "/boot.sh";
  const std::string mountLine =
      "mount -t fuse.vaskFS \"$ROOT\" \"$MNT\" -o allow_other,log=" + log_ + ",loglevel=info\n";
  writeFile(script,
            "set -e\n"
            "trap 'umount -l \"$MNT\" 2>/dev/null || true' EXIT\n"
            "mount -t tmpfs tmpfs /usr/local/sbin\n"
            "ln -s '" VASKFS_BINARY "' /usr/local/sbin/vaskFS\n" +
                mountLine +
                "grep \" $MNT \" /proc/self/mountinfo\n"
                "echo through the mount > \"$MNT/booted\"\n"
                "stat \"$MNT\" >/dev/null\n"
                "umount \"$MNT\"\n");
  const ShellResult got = sh("unshare -m --propagation private /bin/bash '" + script + "'");
  ASSERT_EQ(0, got.status) << got.output << log();
  EXPECT_EQ(0, reapDetached()) << "the daemon did not end with the unmount\n" << log();
  EXPECT_NE(std::string::npos, got.output.find(",default_permissions")) << got.output;
  EXPECT_NE(std::string::npos, got.output.find(",allow_other")) << got.output;
  EXPECT_EQ("through the mount\n", readFile(root_ + "/booted"));
  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("vaskFS starting at " + mnt_ + ".\n")) << text;
  EXPECT_NE(std::string::npos, text.find("[create] booted")) << text;
  EXPECT_NE(std::string::npos, text.find("vaskFS closing.\n")) << text;
}

// The old form names the program in the source: "/path/vaskFS#ROOT". Without
// log= the daemon goes into the background quietly.
TEST_F(OptionsTest, MountWithProgramInTheSource) {
  setCatchAll();
  checktest::CheckerMount mounter("/bin/mount");
  ASSERT_EQ("", mounter.start({"-t", "fuse", VASKFS_BINARY "#" + root_, mnt_, "-o", "allow_other"},
                              temp_.path(), mnt_, temp_.path(), true));
  EXPECT_EQ(std::string::npos, mounter.err().find("to run as daemon")) << mounter.err();
  EXPECT_TRUE(hasOption(mountInfo(mnt_).superOptions, "default_permissions"));
  const ShellResult wrote = sh("echo via source > $MNT/old; settle");
  EXPECT_EQ(0, wrote.status) << wrote.output;
  EXPECT_EQ("via source\n", readFile(root_ + "/old"));
  ASSERT_EQ(0, sh("umount \"$MNT\"").status);
  EXPECT_EQ(0, mounter.stop()) << "the daemon did not end cleanly";
}

// Starts that end by themselves: the daemon's own options in "-o" are
// checked as their command-line twins are.
TEST_F(OptionsTest, WrongOwnOptionsEndTheStart) {
  ASSERT_EQ(0, mkdir((root_ + "/.vaskIndex").c_str(), 0700));
  ASSERT_EQ(0, mkdir((root_ + "/.vaskIndex/public").c_str(), 0700));
  const std::string w = temp_.path();
  const std::string source = VASKFS_BINARY "#" + root_;
  struct StartCase {
    const char* name;
    const char* binary;
    std::vector<std::string> args;
    int status;
    std::string expected;
  } cases[] = {
      {"loglevel= before the names",
       VASKFS_BINARY,
       {"-o", "loglevel=loud", "root", "mnt"},
       1,
       "Unkown log-level: loud\nChoose one of error, info, debug or trace\n"},
      {"loglevel= through mount(8)",
       "/bin/mount",
       {"-t", "fuse", source, mnt_, "-o", "allow_other,loglevel=LOUD"},
       1,
       "Unkown log-level: LOUD\nChoose one of error, info, debug or trace\n"},
      {"log= unopenable",
       VASKFS_BINARY,
       {"root", "mnt", "-o", "log=" + w + "/no/such/dir/log"},
       1,
       "fopen: No such file or directory\nUnable to open logfile " + w + "/no/such/dir/log\n"},
      {"-o without its list",
       VASKFS_BINARY,
       {"nosuchroot", "mnt", "-o"},
       1,
       "ignored option: -o \n"},
      {"view= names the view",
       VASKFS_VIEW_BINARY,
       {"-f", "-o", "view=nosuch", "root", "mnt"},
       2,
       "Failed to open " + w + "/root/.vaskIndex/nosuch: No such file or directory\n"},
      {"view= empty", VASKFS_VIEW_BINARY, {"-o", "view=", "root", "mnt"}, 1, "\tpublic\n"},
      {"view= only for vaskFSview",
       VASKFS_BINARY,
       {"-f", "root", "mnt", "-o", "view=public"},
       3,
       "fuse: unknown option(s): `-o view=public'"},
  };
  for (const StartCase& c : cases) {
    const RunResult r = checktest::runProgram(c.binary, c.args, w);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.expected))
        << c.name << ": no \"" << c.expected << "\" in\n"
        << r.err;
  }
  EXPECT_TRUE(mountInfo(mnt_).superOptions.empty()) << "a failed start left a mount";
}

}  // namespace
}  // namespace daemontest
