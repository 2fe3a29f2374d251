// What a program may rely on once a call has returned: after close(2) the
// physical file is whole for its own tool and stat shows its size, a write
// through a descriptor that outlives a close appends, and after fsync(2)
// the data survives the daemon's death.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

// One converting layer: logical "*.<name>" is stored as "<name>.<suffix>".
struct Layer {
  const char* name;
  const char* suffix;
  const char* layer;   // the layer of the file string; AGE: the age layer
  const char* decode;  // a command that writes the decoded physical file $P
};

constexpr const char* kAge = "AGE";

const Layer kLayers[] = {
    {"gzip", "gz", "comp.gzip()", "gzip -t \"$P\" && gzip -dc \"$P\""},
    {"zstd", "zst", "comp.zstd()", "zstd -qt \"$P\" && zstd -qdc \"$P\""},
    {"xz", "xz", "comp.xz()", "xz -t \"$P\" && xz -dc \"$P\""},
    {"bzip2", "bz2", "comp.bzip2()", "bzip2 -t \"$P\" && bzip2 -dc \"$P\""},
    {"age", "age", kAge, "age -d -i \"$K\" \"$P\""},
    {"base64", "b64", "enc.base64()", "base64 -d \"$P\""},
};

class DurabilityTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    key_ = temp_.path() + "/age.key";
    ASSERT_EQ(0, sh("age-keygen -o '" + key_ + "' 2>/dev/null").status);
    std::vector<Rule> rules;
    int index = 1;
    for (const Layer& l : kLayers) {
      const std::string layer = l.layer == kAge ? "encr.age(identity='" + key_ + "')" : l.layer;
      const std::string logical = std::string("*.") + l.name;
      rules.push_back({'w', index, logical, "[path]/[name]." + std::string(l.suffix),
                       "write.bin(file='' " + layer + ")", "format.bin()"});
      rules.push_back({'r', index, logical + "." + l.suffix, "[path]/[base]",
                       "read.bin(file='' " + layer + ")", "format.bin()"});
      ++index;
    }
    setRules(rules);
    setCatchAll();
  }

  // The script with K (the age key) and a `decoded` function: the physical
  // file of logical name $1 with layer $2 and suffix $3, decoded by its tool.
  std::string withDecoder(const std::string& script) {
    std::string cases;
    for (const Layer& l : kLayers)
      cases += std::string(l.name) + ") P=$ROOT/$1." + l.suffix + "; " + l.decode + ";; ";
    return "K='" + key_ + "'\ndecoded() { case $2 in " + cases +
           "*) cat $ROOT/$1;; esac; }\n" + script;
  }

  std::string key_;
};

std::string numbers(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += std::to_string(i) + "\n";
  return text;
}

bool writeAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A file written through the mount when the daemon is killed: what it had
// when it was last closed (or synced), what came after, and whether the
// later part was synced too.
struct Interrupted {
  const char* name;      // logical, in the root
  const char* layer;     // for `decoded`; "plain" for an unchanged file
  std::string before;    // written and closed before (appended to then)
  std::string synced;    // written, then fsync
  std::string unsynced;  // written after, never synced nor closed
};

// Right after close: no settle, no sleep. Each file is checked by its tool
// and by stat through the mount the moment the writing program has ended;
// a stream ended only at release would be caught unfinished now and then.
TEST_F(DurabilityTest, ClosedFileIsCompleteAndSized) {
  mount();
  for (const Layer& l : kLayers) {
    const ShellResult r = sh(withDecoder(
        std::string("L=") + l.name + "; S=$ROOT/../scratch; mkdir -p $S\n" +
        "for i in $(seq 1 40); do seq 1 $((i * 97)) > $S/want\n"
        "  seq 1 $((i * 97)) > $MNT/f$i.$L\n"
        "  decoded f$i.$L $L | cmp - $S/want || { echo \"created $i: not whole\"; exit 1; }\n"
        "  test $(stat -c %s $MNT/f$i.$L) = $(stat -c %s $S/want) || { echo \"created $i: size "
        "$(stat -c %s $MNT/f$i.$L)\"; exit 1; }\n"
        "done\n"
        // Rewriting an existing file (O_TRUNC) and appending (>>) end theirs too.
        "for i in $(seq 1 10); do seq $i 2000 > $MNT/f1.$L; seq $i 2000 > $S/want\n"
        "  decoded f1.$L $L | cmp - $S/want || { echo \"rewrite $i: not whole\"; exit 1; }\n"
        "  test $(stat -c %s $MNT/f1.$L) = $(stat -c %s $S/want)\n"
        "done\n"
        "for i in $(seq 1 10); do echo line $i >> $MNT/f1.$L; echo line $i >> $S/want\n"
        "  decoded f1.$L $L | cmp - $S/want || { echo \"append $i: not whole\"; exit 1; }\n"
        "  test $(stat -c %s $MNT/f1.$L) = $(stat -c %s $S/want)\n"
        "done\n"
        "cmp $MNT/f1.$L $S/want"));
    EXPECT_EQ(0, r.status) << l.name << "\n" << r.output;
  }
}

// A descriptor that outlives a close of its duplicate (exec 4>&3, a
// subshell that inherits it and exits) writes on after the stream was
// ended: what it writes is appended, and the file stays whole throughout.
TEST_F(DurabilityTest, WritesAfterAnEarlierCloseAppend) {
  mount();
  for (const Layer& l : kLayers) {
    const ShellResult r = sh(withDecoder(
        std::string("L=") + l.name + "; S=$ROOT/../scratch; mkdir -p $S\n" +
        "exec 3>$MNT/d.$L; seq 1 3000 >&3; exec 4>&3; exec 3>&-\n"
        "seq 1 3000 > $S/want; decoded d.$L $L | cmp - $S/want\n"
        "test $(stat -c %s $MNT/d.$L) = $(stat -c %s $S/want)\n"
        "echo from four >&4; (echo from a child >&4); echo last >&4; exec 4>&-\n"
        "printf 'from four\\nfrom a child\\nlast\\n' >> $S/want\n"
        "decoded d.$L $L | cmp - $S/want; cmp $MNT/d.$L $S/want\n"
        "test $(stat -c %s $MNT/d.$L) = $(stat -c %s $S/want)\n"
        "settle; cmp $MNT/d.$L $S/want; decoded d.$L $L | cmp - $S/want\n"
        // A truncate to 0 between the two closes empties the file; the
        // descriptor then writes at its position, as on a disk file.
        "for d in $MNT $S; do exec 3>$d/t.$L; echo gone >&3; exec 4>&3; exec 3>&-\n"
        "  truncate -s 0 $d/t.$L; echo kept >&4; exec 4>&-; done\n"
        "cmp $MNT/t.$L $S/t.$L; decoded t.$L $L | cmp - $S/t.$L\n"
        "test $(stat -c %s $MNT/t.$L) = $(stat -c %s $S/t.$L)"));
    EXPECT_EQ(0, r.status) << l.name << "\n" << r.output << "\n" << log();
  }
}

// The daemon is killed with files open. Mounted again, each file holds what
// was closed or synced and at most what was written after it, stat shows
// what a read gives, the physical file passes its tool, and an append
// extends it. An age append that never ended leaves the file as it was and
// no copy behind.
TEST_F(DurabilityTest, SyncedDataSurvivesTheDaemonsDeath) {
  mount();
  std::vector<Interrupted> files{
      {"s.gzip", "gzip", "", numbers(1, 30000), numbers(30001, 31000)},
      {"s.zstd", "zstd", "", numbers(1, 30000), numbers(30001, 31000)},
      {"s.age", "age", "", numbers(1, 30000), numbers(30001, 31000)},
      {"s.dat", "plain", "", numbers(1, 30000), numbers(30001, 31000)},
      {"u.gzip", "gzip", "", "", numbers(1, 500000)},
      {"u.xz", "xz", "", "", numbers(1, 300000)},
      {"a.gzip", "gzip", numbers(1, 2000), "", numbers(2001, 3000)},
      {"a.age", "age", numbers(1, 2000), "", numbers(2001, 3000)},
      {"as.age", "age", numbers(1, 2000), numbers(2001, 3000), numbers(3001, 3100)},
  };
  std::vector<int> fds;
  for (const Interrupted& f : files) {
    const std::string path = mnt_ + "/" + f.name;
    if (!f.before.empty()) writeFile(path, f.before);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC |
                                          (f.before.empty() ? O_TRUNC : O_APPEND),
                        0644);
    ASSERT_NE(-1, fd) << f.name;
    fds.push_back(fd);
    ASSERT_TRUE(writeAll(fd, f.synced)) << f.name;
    if (!f.synced.empty()) {
      ASSERT_EQ(0, fsync(fd)) << f.name;
    }
    ASSERT_TRUE(writeAll(fd, f.unsynced)) << f.name;
  }
  ASSERT_EQ(0, kill(daemon_.pid(), SIGKILL));
  for (const int fd : fds) close(fd);
  EXPECT_EQ(128 + SIGKILL, unmount());
  mount();
  for (const Interrupted& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = mnt_ + "/" + f.name;
    const std::string got = readFile(path);
    EXPECT_TRUE(startsWith(got, f.before + f.synced))
        << "holds " << got.size() << " bytes, " << (f.before + f.synced).size() << " were safe";
    EXPECT_TRUE(startsWith(f.before + f.synced + f.unsynced, got)) << "holds what was not written";
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(got.size()), st.st_size);
    const ShellResult decoded =
        sh(withDecoder(std::string("decoded ") + f.name + " " + f.layer + " >$ROOT/../out"));
    EXPECT_EQ(0, decoded.status) << decoded.output;
    EXPECT_TRUE(readFile(root_ + "/../out") == got) << "the physical file is not what is read";
    const ShellResult appended = sh(std::string("echo after >> $MNT/") + f.name);
    EXPECT_EQ(0, appended.status) << appended.output;
    EXPECT_TRUE(readFile(path) == got + "after\n");
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(got.size() + 6), st.st_size);
  }
  EXPECT_EQ("", sh("ls -A $ROOT | grep vaskIndex.tmp; true").output);
}

// A copy a crash left beside its target goes when its directory is listed;
// names of any other shape, links and directories stay, and so does the
// copy an open age append is writing.
TEST_F(DurabilityTest, ListingRemovesLeftoverCopies) {
  ASSERT_EQ(0, sh("mkdir $ROOT/sub; for d in $ROOT $ROOT/sub; do\n"
                  "  echo old > $d/.vaskIndex.tmp.f.gzip.gz.Ab3xY9\n"
                  "  echo mine > $d/.vaskIndex.tmp.x; echo mine > $d/.vaskIndex.tmp.f.gz.AB12\n"
                  "  ln -s /etc/passwd $d/.vaskIndex.tmp.l.gz.Zz9Zz9\n"
                  "  mkdir $d/.vaskIndex.tmp.d.gz.Qq1Qq1; done")
                   .status);
  mount();
  const ShellResult r = sh(withDecoder(
      "S=$ROOT/../scratch; mkdir -p $S; mkfifo $S/go $S/done; seq 1 5000 > $MNT/sub/a.age\n"
      // A writer that holds its descriptor (no close of a duplicate) until told.
      "python3 -c \"import os,sys; fd=os.open('$MNT/sub/a.age', os.O_WRONLY|os.O_APPEND);"
      " os.write(fd, b'more\\n'); open('$S/done','w').close(); sys.stdin.read(); os.close(fd)\""
      " < $S/go &\n"
      "exec 5>$S/go; cat $S/done\n"
      "ls $MNT $MNT/sub >/dev/null\n"
      "test \"$(ls -A $ROOT | grep '^[.]vaskIndex[.]tmp' | sort | tr '\\n' ' ')\" = "
      "'.vaskIndex.tmp.d.gz.Qq1Qq1 .vaskIndex.tmp.f.gz.AB12 .vaskIndex.tmp.l.gz.Zz9Zz9 "
      ".vaskIndex.tmp.x '\n"
      // The append's own copy and the leftover beside it wait for the end.
      "test $(ls -A $ROOT/sub | grep -c '^[.]vaskIndex[.]tmp') = 6\n"
      "exec 5>&-; wait; ls $MNT/sub >/dev/null\n"
      "test $(ls -A $ROOT/sub | grep -c '^[.]vaskIndex[.]tmp') = 4\n"
      "test -L $ROOT/sub/.vaskIndex.tmp.l.gz.Zz9Zz9; test -d $ROOT/sub/.vaskIndex.tmp.d.gz.Qq1Qq1\n"
      "(seq 1 5000; echo more) > $ROOT/../want; cmp $MNT/sub/a.age $ROOT/../want\n"
      "decoded sub/a.age age | cmp - $ROOT/../want"));
  EXPECT_EQ(0, r.status) << r.output << "\n" << log();
}

}  // namespace
}  // namespace daemontest
