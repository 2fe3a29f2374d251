// Execute-only programs on a mount shared by several users: the kernel has
// checked the execute permission, so the daemon must serve the kernel's
// open for running the program even to a caller who may not read it, and
// only that open.
#include <sys/stat.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

// Programs stored unchanged (catch-all) and stored gzip-compressed (*.z).
class ExecTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    letOthersReachTheMount();
    if (HasFatalFailure()) return;
    setRules({
        {'w', 2, "*.z", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
        {'r', 2, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
    });
    setCatchAll();
    // A compiled program: a script would need to be read by its interpreter.
    program_ = temp_.path() + "/prog";
    const ShellResult built =
        sh("printf '#include <stdio.h>\\nint main(void) { puts(\"ran\"); return 0; }\\n' |"
           " gcc -x c -o '" +
           program_ + "' -");
    ASSERT_EQ(0, built.status) << built.output;
  }

  std::string program_;
};

struct ExecCase {
  const char* name;      // logical name under the mount
  const char* physical;  // what the root holds
  const char* mode;
};

const ExecCase kPrograms[] = {
    {"plain711", "plain711", "0711"},
    {"plain701", "plain701", "0701"},
    {"packed711.z", "packed711.z.gz", "0711"},
    {"packed701.z", "packed701.z.gz", "0701"},
};

TEST_F(ExecTest, ExecuteOnlyProgramsRunForOtherUsers) {
  mountWithFuseArgs({}, {"-o", "allow_other"});
  for (const ExecCase& c : kPrograms) {
    const std::string name = std::string("$MNT/") + c.name;
    const ShellResult made =
        sh("cp '" + program_ + "' " + name + "; chmod " + c.mode + " " + name + "; settle;" +
           " test $(stat -c %a " + name + ") = " + std::string(c.mode).substr(1) +
           "; test -e $ROOT/" + c.physical);
    ASSERT_EQ(0, made.status) << c.name << "\n" << made.output;
    const ShellResult ran = shNobody(name);
    EXPECT_EQ(0, ran.status) << c.name << "\n" << ran.output;
    EXPECT_EQ("ran\n", ran.output) << c.name;
    // Reading stays refused: only the kernel's open for running is served.
    const ShellResult read = shNobody("cat " + name + " >/dev/null");
    EXPECT_NE(0, read.status) << c.name;
    EXPECT_NE(std::string::npos, read.output.find("Permission denied")) << c.name << "\n"
                                                                        << read.output;
  }
  // The owner still reads and runs them, and they are stored as the rules say.
  const ShellResult owner =
      sh("for p in plain711 plain701 packed711.z packed701.z; do test \"$($MNT/$p)\" = ran;"
         " cmp '" +
         program_ + "' $MNT/$p; done; gzip -dc $ROOT/packed711.z.gz | cmp '" + program_ + "' -");
  EXPECT_EQ(0, owner.status) << owner.output;
}

}  // namespace
}  // namespace daemontest
