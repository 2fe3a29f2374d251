// Age files rewritten through a copy beside them: an append by a group
// member keeps the file (inode, owner, group) in sticky and group-writable
// directories, an append that cannot be made fails at open, a write after
// a sync flush never reuses the payload key, a copy left complete by a
// crash is finished by xiorecover, and names of up to 255 bytes work.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "xio_test.h"

using namespace xiotest;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kGroup = 65533;  // no one's primary group: only the member's

std::string randomBytes(size_t n, std::mt19937& rng) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

std::string writeCommand(const std::string& file, const std::string& key) {
  return "write.bin(file=" + quote(file) + " encr.age(identity=" + quote(key) + "))";
}

// The payload nonce of an age file: the 16 bytes after the MAC line.
std::string payloadNonce(const std::string& raw) {
  size_t mac = raw.find("\n--- ");
  if (mac == std::string::npos) return "";
  size_t end = raw.find('\n', mac + 1);
  return end == std::string::npos ? "" : raw.substr(end + 1, 16);
}

std::string ageDecrypt(const std::string& key, const std::string& file, int* status) {
  return run("age -d -i '" + key + "' '" + file + "' 2>/dev/null", status);
}

std::vector<std::string> leftovers(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind(".vaskIndex", 0) == 0)
      names.push_back(e.path().filename().string());
  return names;
}

// Appends `more` at `offset` through xiopopen in a child running as nobody
// with kGroup as its only group; the keys were loaded as root first, as
// the daemon does. Returns 0, or the errno of xiopopen, or 100 plus that
// of xiopwrite, or 150 plus that of xiopclose (250 and up: the child could
// not become the member).
int appendAsGroupMember(const std::string& fileString, const std::string& more, int64_t offset) {
  pid_t pid = fork();
  if (pid == 0) {
    char trace[XIO_TRACE_SIZE] = "";
    if (xioloadkeys(trace, fileString.c_str()) != 0) _exit(250);
    gid_t groups[] = {kGroup};
    if (setgroups(1, groups) != 0 || setresgid(kGroup, kGroup, kGroup) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(251);
    std::string state;
    XioHandle* h = xiopopen(trace, fileString.c_str(), "", &state, offset);
    if (!h) _exit(errno);
    if (xiopwrite(trace, h, more.data(), more.size(), offset) != static_cast<int64_t>(more.size()))
      _exit(100 + errno);
    _exit(xiopclose(trace, h, nullptr, nullptr, nullptr) == 0 ? 0 : 150 + errno);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Copy : public ::testing::Test {
 protected:
  void SetUp() override {
    key = dir / "key.txt";
    ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
    // The member must reach the directories below.
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  }
  TempDir dir;
  std::string key;
  std::mt19937 rng{77};
};

TEST_F(Copy, AGroupMemberAppendsInPlaceOrIsRefusedAtOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  struct {
    const char* name;
    mode_t dirMode, fileMode;
    gid_t dirGroup;
    int result;  // of appendAsGroupMember
  } cases[] = {
      {"sticky directory open to all", 01777, 0660, 0, 0},
      {"group-writable directory", 0775, 0660, kGroup, 0},
      {"directory the member cannot write", 0755, 0666, 0, EACCES},
      {"file the member cannot write", 01777, 0640, 0, EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string sub = dir / "d";
    std::filesystem::remove_all(sub);
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    std::string file = sub + "/log.age";
    std::string old = randomBytes(100000, rng), more = randomBytes(70000, rng);
    Written w;
    ASSERT_TRUE(writeAll(writeCommand(file, key), "", "", old, rng, w));
    ASSERT_EQ(chown(file.c_str(), 0, kGroup), 0);
    ASSERT_EQ(chmod(file.c_str(), c.fileMode), 0);
    ASSERT_EQ(chown(sub.c_str(), 0, c.dirGroup), 0);
    ASSERT_EQ(chmod(sub.c_str(), c.dirMode), 0);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    const std::string raw = readFile(file);

    EXPECT_EQ(appendAsGroupMember(writeCommand(file, key), more, 100000), c.result);

    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_EQ(after.st_gid, kGroup);
    EXPECT_EQ(after.st_mode & 07777, c.fileMode);
    int status = -1;
    std::string plain = ageDecrypt(key, file, &status);
    EXPECT_EQ(status, 0);
    if (c.result == 0) {
      EXPECT_TRUE(plain == old + more);
      EXPECT_NE(payloadNonce(readFile(file)), payloadNonce(raw));
    } else {
      EXPECT_TRUE(readFile(file) == raw);  // refused before anything was written
    }
    EXPECT_TRUE(leftovers(sub).empty());
  }
}

// Each sync flush leaves a complete file; each write after one goes on
// under a new payload key, so no chunk index is sealed twice under one key,
// and the file stays the same inode throughout.
TEST_F(Copy, WritesAfterSyncFlushesNeverReuseThePayloadKey) {
  struct {
    const char* name;
    size_t start;                // bytes there before, appended to
    std::vector<size_t> pieces;  // written, each followed by a sync flush
  } cases[] = {
      {"short chunks", 0, {1000, 10, 70000, 5}},
      {"whole chunks", 0, {65536, 65536, 1}},
      {"an append", 100000, {3, 200000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "s.age", fs = writeCommand(file, key);
    std::string data = randomBytes(c.start, rng);
    if (c.start > 0) {
      Written w;
      ASSERT_TRUE(writeAll(fs, "", "", data, rng, w));
    } else {
      writeFile(file, "");
    }
    struct stat st0;
    ASSERT_EQ(stat(file.c_str(), &st0), 0);
    char trace[XIO_TRACE_SIZE] = "";
    std::string state;
    XioHandle* h = xiopopen(trace, fs.c_str(), "", &state, static_cast<int64_t>(c.start));
    ASSERT_NE(h, nullptr) << trace;
    std::set<std::string> nonces;
    size_t snapshots = 0;
    for (size_t n : c.pieces) {
      std::string piece = randomBytes(n, rng);
      ASSERT_EQ(xiopwrite(trace, h, piece.data(), n, static_cast<int64_t>(data.size())),
                static_cast<int64_t>(n))
          << trace;
      data += piece;
      ASSERT_EQ(xiopflush(trace, h, XIO_FLUSH_SYNC), 0) << trace;
      std::string raw = readFile(file);
      nonces.insert(payloadNonce(raw));
      ++snapshots;
      int status = -1;
      EXPECT_TRUE(ageDecrypt(key, file, &status) == data);
      EXPECT_EQ(status, 0);
      struct stat st;
      ASSERT_EQ(stat(file.c_str(), &st), 0);
      EXPECT_EQ(st.st_ino, st0.st_ino);
    }
    std::string tail = randomBytes(777, rng);
    ASSERT_EQ(xiopwrite(trace, h, tail.data(), tail.size(), static_cast<int64_t>(data.size())),
              static_cast<int64_t>(tail.size()))
        << trace;
    data += tail;
    ASSERT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0) << trace;
    nonces.insert(payloadNonce(readFile(file)));
    EXPECT_EQ(nonces.size(), snapshots + 1);
    int status = -1;
    EXPECT_TRUE(ageDecrypt(key, file, &status) == data);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(leftovers(dir.path()).empty());
  }
}

// A writer that died after its copy was complete and durable, while
// copying it back, left the copy under its durable name and the file half
// written; xiorecover finishes the copy. A copy of another inode, or one
// not marked complete, is not copied into the file.
TEST_F(Copy, RecoveryFinishesADurableCopyLeftBehind) {
  struct {
    const char* name;
    bool rightInode, durable;
  } cases[] = {
      {"durable copy of this file", true, true},
      {"durable copy of another inode", false, true},
      {"incomplete copy", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "r");
    ASSERT_EQ(mkdir((dir / "r").c_str(), 0755), 0);
    std::string file = dir / "r/data.age", made = dir / "r/made.age";
    std::string old = randomBytes(300000, rng), wanted = randomBytes(250000, rng);
    Written w;
    ASSERT_TRUE(writeAll(writeCommand(file, key), "", "", old, rng, w));
    ASSERT_TRUE(writeAll(writeCommand(made, key), "", "", wanted, rng, w));
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    std::string copy = dir / "r/.vaskIndex.tmp.data.age.Ab3dE9";
    if (c.durable) copy += ".done-" + std::to_string(c.rightInode ? st.st_ino : st.st_ino + 1);
    ASSERT_EQ(rename(made.c_str(), copy.c_str()), 0);
    // The copy-back had written the copy's first bytes over the old file.
    std::string torn = readFile(copy).substr(0, 100000) + readFile(file).substr(100000, 50000);
    writeFile(file, torn);  // truncated and written: the same inode

    char trace[XIO_TRACE_SIZE] = "";
    std::string command;
    int64_t n = xiorecover(trace, writeCommand(file, key).c_str(), "", &command, nullptr);
    ASSERT_GE(n, 0) << trace;
    struct stat now;
    ASSERT_EQ(stat(file.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, st.st_ino);
    int status = -1;
    std::string plain = ageDecrypt(key, file, &status);
    EXPECT_EQ(status, 0);
    if (c.rightInode && c.durable) {
      EXPECT_EQ(n, static_cast<int64_t>(wanted.size()));
      EXPECT_TRUE(plain == wanted);
      EXPECT_TRUE(leftovers(dir / "r").empty());
    } else {
      // The torn file is cut where it stops decoding: a prefix of the copy.
      EXPECT_LT(n, static_cast<int64_t>(wanted.size()));
      EXPECT_TRUE(wanted.compare(0, plain.size(), plain) == 0);
      EXPECT_EQ(leftovers(dir / "r").size(), 1u);
    }
  }
}

// The copy's name keeps a prefix of a long name, so files whose names are
// up to NAME_MAX bytes long can be appended to, synced and recovered.
TEST_F(Copy, LongNamesUpTo255Bytes) {
  for (size_t len : {200, 230, 255}) {
    SCOPED_TRACE(len);
    std::string name(len, 'n');
    name.replace(len - 4, 4, ".age");
    std::string file = dir / name, fs = writeCommand(file, key);
    std::string data = randomBytes(90000, rng), more = randomBytes(5000, rng);
    Written w;
    ASSERT_TRUE(writeAll(fs, "", "", data, rng, w));
    char trace[XIO_TRACE_SIZE] = "";
    std::string state;
    XioHandle* h = xiopopen(trace, fs.c_str(), "", &state, static_cast<int64_t>(data.size()));
    ASSERT_NE(h, nullptr) << trace;
    for (int i = 0; i < 2; ++i) {  // the append's copy, then a write after a sync
      ASSERT_EQ(xiopwrite(trace, h, more.data(), more.size(), static_cast<int64_t>(data.size())),
                static_cast<int64_t>(more.size()))
          << trace;
      data += more;
      ASSERT_EQ(xiopflush(trace, h, XIO_FLUSH_SYNC), 0) << trace;
    }
    ASSERT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), 0) << trace;
    int status = -1;
    EXPECT_TRUE(ageDecrypt(key, file, &status) == data);
    // A cut file of that name is recovered through a copy too.
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(readFile(file).size() - 100)), 0);
    int64_t n = xiorecover(trace, fs.c_str(), "", nullptr, nullptr);
    EXPECT_EQ(n, 65536) << trace;
    EXPECT_TRUE(ageDecrypt(key, file, &status) == data.substr(0, 65536));
    EXPECT_TRUE(leftovers(dir.path()).empty());
  }
}

}  // namespace
