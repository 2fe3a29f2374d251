// What a program may rely on once a call has returned: after close(2) the
// physical file is whole for its own tool and stat shows its size, a write
// through a descriptor that outlives a close appends, and after fsync(2)
// the data survives the daemon's death.
#include <fcntl.h>
#include <signal.h>
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
