#include "daemon_fixture.h"

#include <lmdb.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "confdb.h"

namespace daemontest {

namespace {

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ShellResult runShell(const std::string& launcher, const std::string& script,
                     const std::string& root, const std::string& mnt) {
  // close(2) returns before the kernel's release reaches the daemon, and the
  // release ends a converted file: `settle` makes one more request, which
  // the kernel sends after every release before it (a daemon on several
  // threads may still answer it first: `eventually` waits for a result).
  // "fails CMD": CMD must fail; a "! CMD" that is not the script's last
  // command never ends a "set -e" script. "eventually CMD": CMD succeeds
  // within five seconds; a conversion that waited for the last close of a
  // file runs after that release, on another serving thread.
  const std::string prelude =
      "set -e\nsettle() { stat \"$MNT\" >/dev/null; }\n"
      "fails() { if \"$@\"; then echo \"succeeded: $*\" >&2; return 1; fi; }\n"
      "eventually() { for _ in $(seq 100); do if \"$@\"; then return 0; fi; sleep 0.05; done;"
      " \"$@\"; }\n";
  const std::string command = "ROOT=" + quote(root) + " MNT=" + quote(mnt) + " " + launcher +
                              "/bin/bash -c " + quote(prelude + script) + " 2>&1";
  ShellResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

}  // namespace

ShellResult shell(const std::string& script, const std::string& root, const std::string& mnt) {
  return runShell("", script, root, mnt);
}

ShellResult shellAsNobody(const std::string& script, const std::string& root,
                          const std::string& mnt) {
  return runShell("setpriv --reuid=65534 --regid=65534 --clear-groups ", "cd /\n" + script, root,
                  mnt);
}

void DaemonTest::SetUp() {
  checktest::requireFuse();
  if (IsSkipped() || HasFailure()) return;
  ASSERT_FALSE(temp_.path().empty());
  root_ = temp_.path() + "/root";
  mnt_ = temp_.path() + "/mnt";
  log_ = temp_.path() + "/vaskFS.log";
  ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  ASSERT_EQ(0, mkdir(mnt_.c_str(), 0755));
}

void DaemonTest::TearDown() {
  if (running_ == nullptr || !running_->running()) return;
  const int status = unmount();
  EXPECT_EQ(0, status) << "daemon output:\n" << running_->err() << "\nlog:\n" << log();
}

void DaemonTest::setRules(const std::vector<Rule>& rules, const char* view) {
  MDB_env* env = nullptr;
  ASSERT_EQ(0, openConfig(&env, root_.c_str(), view));
  for (const Rule& r : rules) {
    ConfigEntry entry;
    entry.index = r.index;
    entry.flags = r.flags;
    entry.pattern = r.pattern;
    entry.targetPattern = r.target;
    entry.fileString = r.fileString;
    entry.formatString = r.formatString;
    EXPECT_EQ(0, writeConfigEntry(env, entry, r.direction == 'w' ? "confW" : "confR"));
  }
  closeIndex(env);
}

void DaemonTest::letOthersReachTheMount() {
  for (const std::string& dir : {temp_.path(), root_, mnt_})
    ASSERT_EQ(0, chmod(dir.c_str(), 0755)) << dir;
}

void DaemonTest::setCatchAll(int index) {
  setRules({{'w', index, "*", "[copy]", "write.bin(file='')", "format.bin()"},
            {'r', index, "*", "[copy]", "read.bin(file='')", "format.bin()"}});
}

void DaemonTest::setGzipBesidePlain() {
  setRules({
      {'w', 1, "*.txt", "[path]/[base].txt.gz", "write.bin(file='' comp.gzip())", ""},
      {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", ""},
  });
  setCatchAll();
}

std::string DaemonTest::makeAgeKey() {
  const std::string key = temp_.path() + "/age.key";
  EXPECT_EQ(0, sh("age-keygen -o '" + key + "' 2>/dev/null").status);
  return key;
}

void DaemonTest::setLayerRules(const std::string& ageKey, bool withXz) {
  const std::string age = "encr.age(identity='" + ageKey + "')";
  std::vector<Rule> rules{
      {'w', 1, "*.txt", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
      {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"},
      {'w', 2, "*.zs", "[copy].zst", "write.bin(file='' comp.zstd())", "format.bin()"},
      {'r', 2, "*.zst", "[path]/[base]", "read.bin(file='' comp.zstd())", "format.bin()"},
      {'w', 4, "*.sec", "[copy].age", "write.bin(file='' " + age + ")", "format.bin()"},
      {'r', 4, "*.age", "[path]/[base]", "read.bin(file='' " + age + ")", "format.bin()"}};
  if (withXz) {
    rules.push_back({'w', 3, "*.xz", "[copy]", "write.bin(file='' comp.xz())", "format.bin()"});
    rules.push_back({'r', 3, "*.xz", "[copy]", "read.bin(file='' comp.xz())", "format.bin()"});
  }
  setRules(rules);
  setCatchAll();
}

void DaemonTest::mount(const std::vector<std::string>& options, const char* view) {
  std::vector<std::string> args{"-f", "-l", log_};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(root_);
  args.push_back(mnt_);
  if (view != nullptr) args.push_back(view);
  running_ = view != nullptr ? &view_ : &daemon_;
  ASSERT_EQ("", running_->start(args, temp_.path(), mnt_, temp_.path(), false)) << log();
}

void DaemonTest::mountWithFuseArgs(const std::vector<std::string>& options,
                                   const std::vector<std::string>& fuseArgs, const char* view) {
  // "--" ends the daemon's own options, so that getopt leaves "-o" alone.
  std::vector<std::string> args{"-f", "-l", log_};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("--");
  args.push_back(root_);
  args.push_back(mnt_);
  if (view != nullptr) args.push_back(view);
  args.insert(args.end(), fuseArgs.begin(), fuseArgs.end());
  running_ = view != nullptr ? &view_ : &daemon_;
  ASSERT_EQ("", running_->start(args, temp_.path(), mnt_, temp_.path(), false)) << log();
}

int DaemonTest::unmount() {
  const int status = running_->stop();
  const std::string err = running_->err();
  EXPECT_EQ(std::string::npos, err.find("Sanitizer")) << err;
  EXPECT_EQ(std::string::npos, err.find("runtime error")) << err;
  return status;
}

void DaemonTest::runScripts(const std::vector<ScriptCase>& cases) {
  for (const ScriptCase& c : cases) {
    const ShellResult r =
        sh(std::string("S=$ROOT/../scratch; rm -rf $S; mkdir -p $S\n") + c.script);
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.output;
  }
}

std::string DaemonTest::record(const std::string& db, const std::string& key, const char* view) {
  std::string path = root_ + "/.vaskIndex";
  if (view != nullptr) path += std::string("/") + view;
  MDB_env* env = nullptr;
  std::string out = "<none>";
  if (mdb_env_create(&env) != 0) return out;
  mdb_env_set_maxdbs(env, 4);
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  if (mdb_env_open(env, path.c_str(), MDB_RDONLY, 0600) == 0 &&
      mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
    if (mdb_dbi_open(txn, db.c_str(), 0, &dbi) == 0 && mdb_get(txn, dbi, &k, &v) == 0)
      out.assign(static_cast<const char*>(v.mv_data), v.mv_size);
    mdb_txn_abort(txn);
  }
  mdb_env_close(env);
  return out;
}

}  // namespace daemontest
