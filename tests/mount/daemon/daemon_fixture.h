// A temporary root with rules in a real index, and the real vaskFS mounted
// on it. Records are read back with plain LMDB calls, independent of the
// daemon's own reader.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include <string>
#include <vector>

#include "harness.h"

namespace daemontest {

using checktest::readFile;
using checktest::RunResult;
using checktest::writeFile;

struct ShellResult {
  int status = -1;
  std::string output;  // standard output and error together
};

// Runs "/bin/sh -c script" with ROOT and MNT set; output and status.
ShellResult shell(const std::string& script, const std::string& root, const std::string& mnt);
// The same as user and group nobody (65534) without supplementary groups,
// in "/" (the test's own directory need not be open to nobody).
ShellResult shellAsNobody(const std::string& script, const std::string& root,
                          const std::string& mnt);

// The rule pair that lets any name be created and read back as it is.
struct Rule {
  char direction;  // 'w' or 'r'
  int index;
  std::string pattern, target, fileString, formatString;
  unsigned flags = 0;
};

// A named shell script that must exit 0 on the mount.
struct ScriptCase {
  const char* name;
  const char* script;  // runs under "set -e" with ROOT, MNT and S (a fresh scratch directory)
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores rules in the root's index (or a view's) before mounting.
  void setRules(const std::vector<Rule>& rules, const char* view = nullptr);
  // The catch-all pair "*" -> "[copy]" without conversion.
  void setCatchAll(int index = 90);
  // *.txt stored as [base].txt.gz (read back by *.gz) beside the catch-all
  // pair: a converted name next to plain files.
  void setGzipBesidePlain();
  // Opens the test's directory, the root and the mount point to other users
  // (0755), so that tests acting as nobody reach the mount.
  void letOthersReachTheMount();
  // A fresh age identity in the test's directory (mode 0600); its path.
  std::string makeAgeKey();
  // The team's usual rules and the catch-all pair: *.txt stored as
  // [copy].gz, *.zs as [copy].zst, *.xz compressed under its own name
  // (when `withXz`), *.sec as [copy].age with the identity `ageKey`.
  void setLayerRules(const std::string& ageKey, bool withXz);
  // Starts "vaskFS -f -l <log> [options] <root> <mnt>" (or vaskFSview with
  // a view) and waits for the mount.
  void mount(const std::vector<std::string>& options = {}, const char* view = nullptr);
  // The same with libfuse arguments after root and mount point (and view),
  // e.g. {"-o", "allow_other"}.
  void mountWithFuseArgs(const std::vector<std::string>& options,
                         const std::vector<std::string>& fuseArgs, const char* view = nullptr);
  int unmount();
  ShellResult sh(const std::string& script) { return shell(script, root_, mnt_); }
  // Runs each script with a fresh scratch directory S beside the root and
  // expects status 0, naming the case and showing its output otherwise.
  void runScripts(const std::vector<ScriptCase>& cases);
  ShellResult shNobody(const std::string& script) { return shellAsNobody(script, root_, mnt_); }
  std::string log() const { return readFile(log_); }

  // A record as stored, or "<none>" (raw LMDB).
  std::string record(const std::string& db, const std::string& key, const char* view = nullptr);

  checktest::TempDir temp_;
  std::string root_, mnt_, log_;
  checktest::CheckerMount daemon_{VASKFS_BINARY};
  checktest::CheckerMount view_{VASKFS_VIEW_BINARY};
  checktest::CheckerMount* running_ = nullptr;
};

// A record lock request of `type` on `len` bytes from `start` (0: to the
// end), for fcntl(2).
inline struct flock lockRange(short type, off_t start, off_t len) {
  struct flock l;
  std::memset(&l, 0, sizeof l);
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = len;
  return l;
}

}  // namespace daemontest
