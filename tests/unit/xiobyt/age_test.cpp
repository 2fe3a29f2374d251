// The age layer against the real age and age-keygen tools: files go both
// ways byte-identical, every kind of damage reads as a failure without
// plaintext of a damaged chunk, the identity file is checked, and no trace
// holds key material.
#include "xiobyt/stages/age/age.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "xio_test.h"

using namespace xiotest;

namespace {

constexpr size_t kChunk = 65536, kSealed = 65552;
const size_t kSizes[] = {0, 1, 65535, 65536, 65537, 3 * 65536 + 1};

std::string randomBytes(size_t n, std::mt19937& rng) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// age reads a passphrase from its terminal only: this drives it through a
// pseudo-terminal, answering each prompt with $AGE_TEST_PASSPHRASE.
const char kPtyDriver[] = R"(import os, pty, sys
pw = os.environ['AGE_TEST_PASSPHRASE'].encode() + b'\n'
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
seen = b''
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    seen += data
    if seen.rstrip().endswith(b':'):
        os.write(fd, pw)
        seen = b''
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
)";

struct ReadResult {
  std::string data;  // the bytes handed out before any failure
  int error = 0;     // errno of the failure, 0 when the whole file read
  std::string trace;
  bool atOpen = false;  // the failure came from xiopopen
};

// Reads a whole stream in blocks, keeping what came before a failure.
ReadResult readStream(const std::string& fileString, size_t block = 100000) {
  ReadResult r;
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, fileString.c_str(), "", nullptr, 0);
  if (!h) {
    r.error = errno;
    r.trace = trace;
    r.atOpen = true;
    return r;
  }
  std::string buf(block, '\0');
  for (;;) {
    int64_t n = xiopread(trace, h, buf.data(), buf.size(), static_cast<int64_t>(r.data.size()));
    if (n < 0) {
      r.error = errno;
      r.trace = trace;
      break;
    }
    if (n == 0) break;
    r.data.append(buf, 0, static_cast<size_t>(n));
  }
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  return r;
}

class Age : public ::testing::Test {
 protected:
  void SetUp() override {
    key = dir / "key.txt";
    ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
    recipient = trimmed(run("age-keygen -y '" + key + "'"));
    ASSERT_EQ(recipient.rfind("age1", 0), 0u) << recipient;
    writeFile(dir / "drive_age.py", kPtyDriver);
  }

  std::string withIdentity(const std::string& file, const char* verb = "read") const {
    return std::string(verb) + ".bin(file=" + quote(file) + " encr.age(identity=" + quote(key) +
           "))";
  }
  std::string withPassphrase(const std::string& file, const std::string& pass, int logn,
                             const char* verb = "read") const {
    return std::string(verb) + ".bin(file=" + quote(file) + " encr.age(passphrase=" + quote(pass) +
           (logn > 0 ? " logn=" + std::to_string(logn) : "") + "))";
  }
  // Runs age under the pseudo-terminal with `pass` as the answer.
  int agePty(const std::string& pass, const std::string& args) {
    return sh("AGE_TEST_PASSPHRASE=" + shellQuote(pass) + " python3 '" + dir / "drive_age.py" +
              "' age " + args + " >/dev/null 2>&1");
  }
  static std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  std::string secretKeyLine() const {
    std::string text = readFile(key);
    size_t at = text.find("AGE-SECRET-KEY-1");
    return trimmed(text.substr(at, text.find('\n', at) - at));
  }

  TempDir dir;
  std::mt19937 rng{23};
  std::string key, recipient;
};

TEST_F(Age, IdentityFilesGoBothWaysByteIdentical) {
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    std::string data = randomBytes(size, rng), plain = dir / "plain", ours = dir / "ours.age";
    writeFile(plain, data);
    Written w;
    ASSERT_TRUE(writeAll(withIdentity(ours, "write"), "", "", data, rng, w));
    int status = -1;
    EXPECT_TRUE(run("age -d -i '" + key + "' '" + ours + "'", &status) == data);
    EXPECT_EQ(status, 0);
    // The chunk arithmetic: header, nonce, then full chunks and a last one.
    std::string raw = readFile(ours);
    size_t header = raw.find("\n--- ");
    ASSERT_NE(header, std::string::npos);
    header = raw.find('\n', header + 1) + 1;
    size_t chunks = size == 0 ? 1 : (size + kChunk - 1) / kChunk;
    EXPECT_EQ(raw.size(), header + 16 + size + 16 * chunks);
    std::string back;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back));
    EXPECT_TRUE(back == data);
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, w.command.c_str(), ""), static_cast<int64_t>(size)) << trace;

    std::string theirs = dir / "theirs.age";
    ASSERT_EQ(sh("age -r " + recipient + " -o '" + theirs + "' '" + plain + "'"), 0);
    ASSERT_TRUE(readAll(withIdentity(theirs), "", rng, back));
    EXPECT_TRUE(back == data);
    EXPECT_EQ(xiopsize(trace, withIdentity(theirs).c_str(), ""), static_cast<int64_t>(size))
        << trace;
  }
}

TEST_F(Age, ReadsFilesForSeveralRecipientsAndIdentityFilesWithSeveralKeys) {
  std::string other = dir / "other.txt", third = dir / "third.txt";
  ASSERT_EQ(
      sh("age-keygen -o '" + other + "' 2>/dev/null && age-keygen -o '" + third + "' 2>/dev/null"),
      0);
  std::string otherR = trimmed(run("age-keygen -y '" + other + "'"));
  std::string thirdR = trimmed(run("age-keygen -y '" + third + "'"));
  std::string data = randomBytes(150000, rng);
  writeFile(dir / "plain", data);
  // Ours in the middle, first and last.
  for (const std::string& rs :
       {"-r " + otherR + " -r " + recipient + " -r " + thirdR, "-r " + recipient + " -r " + otherR,
        "-r " + thirdR + " -r " + recipient}) {
    SCOPED_TRACE(rs);
    ASSERT_EQ(sh("age " + rs + " -o '" + dir / "m.age" + "' '" + dir / "plain" + "'"), 0);
    ReadResult r = readStream(withIdentity(dir / "m.age"));
    EXPECT_EQ(r.error, 0) << r.trace;
    EXPECT_TRUE(r.data == data);
  }
  // An identity file with a stranger's key first still opens our files.
  std::string both = dir / "both.txt";
  writeFile(both, readFile(other) + "\n" + readFile(key));
  chmod(both.c_str(), 0600);
  ASSERT_EQ(sh("age -r " + recipient + " -o '" + dir / "m.age" + "' '" + dir / "plain" + "'"), 0);
  ReadResult r = readStream("read.bin(file=" + quote(dir / "m.age") +
                            " encr.age(identity=" + quote(both) + "))");
  EXPECT_EQ(r.error, 0) << r.trace;
  EXPECT_TRUE(r.data == data);
  // Not for us at all.
  ASSERT_EQ(sh("age -r " + otherR + " -o '" + dir / "m.age" + "' '" + dir / "plain" + "'"), 0);
  r = readStream(withIdentity(dir / "m.age"));
  EXPECT_EQ(r.error, EACCES) << r.trace;
  EXPECT_TRUE(r.data.empty());
  EXPECT_NE(r.trace.find("no X25519 stanza"), std::string::npos) << r.trace;
  EXPECT_TRUE(r.atOpen);  // an outer age layer's header is opened at open
}

TEST_F(Age, PassphraseFilesGoBothWays) {
  const std::string pass = "correct horse 'battery' staple";
  std::string data = randomBytes(3 * kChunk + 1, rng), plain = dir / "plain";
  writeFile(plain, data);
  Written w;
  std::string ours = dir / "ours.age";
  ASSERT_TRUE(writeAll(withPassphrase(ours, pass, 10, "write"), "", "", data, rng, w));
  EXPECT_NE(readFile(ours).find("\n-> scrypt "), std::string::npos);
  EXPECT_NE(readFile(ours).find(" 10\n"), std::string::npos);
  ASSERT_EQ(agePty(pass, "-d -o '" + dir / "back" + "' '" + ours + "'"), 0);
  EXPECT_TRUE(readFile(dir / "back") == data);
  // The inverse carries the passphrase: it must open the file again.
  EXPECT_NE(w.command.find(quote(pass)), std::string::npos) << w.command;
  std::string back;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back));
  EXPECT_TRUE(back == data);
  // A file age made (its default work factor, 18) reads back; a wrong
  // passphrase is refused without data.
  std::string theirs = dir / "theirs.age";
  ASSERT_EQ(agePty(pass, "-p -o '" + theirs + "' '" + plain + "'"), 0);
  EXPECT_NE(readFile(theirs).find(" 18\n"), std::string::npos);
  ReadResult r = readStream(withPassphrase(theirs, pass, 0));
  EXPECT_EQ(r.error, 0) << r.trace;
  EXPECT_TRUE(r.data == data);
  r = readStream(withPassphrase(theirs, "not it", 0));
  EXPECT_EQ(r.error, EACCES);
  EXPECT_TRUE(r.atOpen);
  EXPECT_TRUE(r.data.empty());
  EXPECT_NE(r.trace.find("passphrase='***'"), std::string::npos) << r.trace;
  EXPECT_EQ(r.trace.find("not it"), std::string::npos) << r.trace;
  // Passphrase and identity files do not open each other's files.
  r = readStream(withIdentity(theirs));
  EXPECT_EQ(r.error, EACCES) << r.trace;
  r = readStream(withPassphrase(dir / "x.age", pass, 0));
  EXPECT_EQ(r.error, ENOENT) << r.trace;
}

TEST_F(Age, TheDefaultWorkFactorIs18AndAgeReadsIt) {
  std::string data = "with the default work factor\n", file = dir / "d.age";
  Written w;
  ASSERT_TRUE(writeAll(withPassphrase(file, "default", 0, "write"), "", "", data, rng, w));
  EXPECT_NE(readFile(file).find(" 18\n"), std::string::npos) << readFile(file);
  ASSERT_EQ(agePty("default", "-d -o '" + dir / "back" + "' '" + file + "'"), 0);
  EXPECT_EQ(readFile(dir / "back"), data);
  // The writer's derivation serves the read that follows, whose inverse
  // writes with the default again.
  std::string back, inverse;
  ASSERT_TRUE(readAll(w.command, w.format, rng, back, &inverse));
  EXPECT_EQ(back, data);
  EXPECT_NE(inverse.find("passphrase='default' logn=18"), std::string::npos) << inverse;
}

TEST_F(Age, ZstdInsideAgeInsideBase64InBothForms) {
  std::string data = sampleText(30000, rng);
  const std::string k = quote(key);
  struct {
    const char* name;
    std::string write;
  } forms[] = {
      {"overlays", "write.bin(file=%s comp.zstd() encr.age(identity=" + k + ") enc.base64())"},
      {"objects", "output(file=%s cnv[base64() age(identity=" + k + ") zstd()] fmt.bin())"},
  };
  for (const auto& f : forms) {
    SCOPED_TRACE(f.name);
    std::string file = dir / (std::string(f.name) + ".b64"), fs = f.write;
    fs.replace(fs.find("%s"), 2, quote(file));
    Written w;
    ASSERT_TRUE(writeAll(fs, "", "", data, rng, w));
    int status = -1;
    EXPECT_TRUE(run("base64 -d '" + file + "' | age -d -i '" + key + "' | zstd -dc", &status) ==
                data);
    EXPECT_EQ(status, 0);
    std::string back;
    ASSERT_TRUE(readAll(w.command, w.format, rng, back));
    EXPECT_TRUE(back == data);
  }
}

TEST_F(Age, AppendingRewritesTheFileWithANewKey) {
  struct {
    const char* name;
    bool passphrase;
    std::string first, second;
  } cases[] = {
      {"identity, across a chunk", false, randomBytes(kChunk - 10, rng), randomBytes(kChunk, rng)},
      {"identity, onto an empty file", false, "", "new"},
      {"passphrase", true, randomBytes(5000, rng), randomBytes(3 * kChunk, rng)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "log.age";
    std::string fs =
        c.passphrase ? withPassphrase(file, "pw", 10, "write") : withIdentity(file, "write");
    Written w;
    ASSERT_TRUE(writeAll(fs, "", "", c.first, rng, w));
    std::string before = readFile(file);
    chmod(file.c_str(), 0640);
    ASSERT_TRUE(writeAll(fs, "", "", c.second, rng, w, static_cast<int64_t>(c.first.size())));
    std::string after = readFile(file);
    EXPECT_NE(after.substr(0, 60), before.substr(0, 60));  // a new stanza
    if (!c.passphrase) {
      int status = -1;
      EXPECT_TRUE(run("age -d -i '" + key + "' '" + file + "'", &status) == c.first + c.second);
      EXPECT_EQ(status, 0);
    }
    ReadResult r = readStream(w.command);
    EXPECT_EQ(r.error, 0) << r.trace;
    EXPECT_TRUE(r.data == c.first + c.second);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // the old file's mode stays
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      EXPECT_NE(e.path().filename().string().rfind(".vaskIndex", 0), 0u) << e.path();
  }
}

// A sync flush leaves a complete age file on disk, which the tool reads as
// everything written so far (as a crash right then would leave it), and
// the stream goes on from there to a file of everything.
TEST_F(Age, SyncFlushLeavesACompleteFileThatTheStreamThenExtends) {
  const std::string k = quote(key);
  struct {
    const char* name;
    const char* fileString;  // %s: the file
    const char* tool;        // after age -d
    bool append;             // the first piece is there before, appended to
  } cases[] = {
      {"age", "write.bin(file=%s encr.age(identity=%k))", "cat", false},
      {"zstd inside age", "write.bin(file=%s comp.zstd() encr.age(identity=%k))", "zstd -q -dc",
       false},
      {"append", "write.bin(file=%s encr.age(identity=%k))", "cat", true},
  };
  // Sync points: nothing yet, inside a chunk, at a chunk's end, twice at one
  // point, and after several chunks.
  const size_t points[] = {0, 1000, kChunk, kChunk, 3 * kChunk + 5, 700000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "s.age", copy = dir / "copy.age";
    std::string fs = c.fileString;
    fs.replace(fs.find("%s"), 2, quote(file));
    fs.replace(fs.find("%k"), 2, k);
    std::string data = randomBytes(300000, rng) + sampleText(20000, rng);
    size_t start = 0;
    if (c.append) {
      start = 77777;
      Written w;
      ASSERT_TRUE(writeAll(fs, "", "", data.substr(0, start), rng, w));
    }
    char trace[XIO_TRACE_SIZE] = "";
    std::string st;
    XioHandle* h = xiopopen(trace, fs.c_str(), "", &st, static_cast<int64_t>(start));
    ASSERT_NE(h, nullptr) << trace;
    size_t at = start;
    for (size_t point : points) {
      if (point < start) continue;
      for (; at < point;) {
        size_t n = chunkSize(rng, point - at);
        ASSERT_EQ(xiopwrite(trace, h, data.data() + at, n, static_cast<int64_t>(at)),
                  static_cast<int64_t>(n))
            << trace;
        at += n;
      }
      ASSERT_EQ(xiopflush(trace, h, XIO_FLUSH_SYNC), 0) << trace;
      SCOPED_TRACE(point);
      ASSERT_EQ(sh("cp '" + file + "' '" + copy + "'"), 0);
      int status = -1;
      // (zstd -d refuses an empty input: no frame was due for no data.)
      std::string got = run("age -d -i " + k + " '" + copy + "' 2>/dev/null" +
                                (at > 0 ? std::string(" | ") + c.tool : std::string()),
                            &status);
      EXPECT_EQ(status, 0);
      EXPECT_EQ(got.size(), at);
      EXPECT_TRUE(got == data.substr(0, at));
    }
    ASSERT_EQ(xiopwrite(trace, h, data.data() + at, data.size() - at, static_cast<int64_t>(at)),
              static_cast<int64_t>(data.size() - at))
        << trace;
    std::string command;
    ASSERT_EQ(xiopclose(trace, h, nullptr, &command, nullptr), 0) << trace;
    int status = -1;
    EXPECT_TRUE(run("age -d -i " + k + " '" + file + "' | " + c.tool, &status) == data);
    EXPECT_EQ(status, 0);
    ReadResult r = readStream(command);
    EXPECT_EQ(r.error, 0) << r.trace;
    EXPECT_TRUE(r.data == data);
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      EXPECT_NE(e.path().filename().string().rfind(".vaskIndex", 0), 0u) << e.path();
  }
}

TEST_F(Age, AFailedAppendLeavesTheOldFileAsItWas) {
  std::string file = dir / "log.age", other = dir / "other.txt";
  ASSERT_EQ(sh("age-keygen -o '" + other + "' 2>/dev/null"), 0);
  Written w;
  ASSERT_TRUE(
      writeAll(withIdentity(file, "write"), "", "", randomBytes(2 * kChunk + 7, rng), rng, w));
  std::string good = readFile(file);
  auto noTemp = [&] {
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      EXPECT_NE(e.path().filename().string().rfind(".vaskIndex", 0), 0u) << e.path();
  };
  std::string damaged = good;
  damaged[damaged.size() - kSealed] ^= 1;  // inside chunk 1
  struct {
    const char* name;
    std::string old, fileString;
    int error;
  } cases[] = {
      {"a key that does not open the old file", good,
       "write.bin(file=" + quote(file) + " encr.age(identity=" + quote(other) + "))", EACCES},
      {"a damaged old file", damaged, withIdentity(file, "write"), EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(file, c.old);
    char trace[XIO_TRACE_SIZE] = "";
    std::string state;
    XioHandle* h = xiopopen(trace, c.fileString.c_str(), "", &state, 100);
    if (h) {  // the damage may show only at the close
      xiopwrite(trace, h, "more", 4, 100);
      EXPECT_EQ(xiopclose(trace, h, nullptr, nullptr, nullptr), -1);
    }
    EXPECT_EQ(errno, c.error) << trace;
    EXPECT_NE(strstr(trace, "age"), nullptr) << trace;
    EXPECT_TRUE(readFile(file) == c.old);
    noTemp();
  }
  // A handle closed after a failed write also removes its temporary file.
  writeFile(file, good);
  char trace[XIO_TRACE_SIZE] = "";
  std::string state;
  XioHandle* h = xiopopen(trace, withIdentity(file, "write").c_str(), "", &state, 2 * kChunk + 7);
  ASSERT_NE(h, nullptr) << trace;
  EXPECT_EQ(xiopwrite(trace, h, "x", 1, 0), -1);  // below the expected offset
  XioStateList states;
  std::string inverse;
  ASSERT_EQ(xiopclose(trace, h, &states, &inverse, nullptr), 0) << trace;
  EXPECT_TRUE(readStream(inverse).data == readStream(withIdentity(file)).data);
  noTemp();
}

// Mutations of a file of three full chunks and one byte, with the first
// chunk whose plaintext must not come out.
struct Damage {
  const char* name;
  std::function<void(std::string& raw, size_t payload)> change;
  size_t firstBad;  // chunk index; 0 also for header damage
  // The size from the chunk arithmetic checks the header, the length and
  // the last chunk, not the chunks before it.
  bool sizeFails = true;
};

TEST_F(Age, DamageReadsAsAFailureWithoutPlaintextOfTheDamagedChunk) {
  std::string data = randomBytes(3 * kChunk + 1, rng), file = dir / "t.age";
  Written w;
  ASSERT_TRUE(writeAll(withIdentity(file, "write"), "", "", data, rng, w));
  const std::string raw = readFile(file);
  size_t payload = raw.find('\n', raw.find("\n--- ") + 1) + 1;  // the nonce
  auto chunkAt = [&](size_t i) { return payload + 16 + i * kSealed; };
  std::vector<Damage> cases = {
      {"intro", [](std::string& r, size_t) { r[3] ^= 1; }, 0},
      {"stanza type", [](std::string& r, size_t) { r[r.find("X25519")] = 'Y'; }, 0},
      {"stanza share", [](std::string& r, size_t) { r[r.find("X25519") + 10] ^= 1; }, 0},
      {"stanza body",
       [](std::string& r, size_t p) {
         r[r.find("\n--- ") - 5] ^= 1;
         (void)p;
       },
       0},
      {"MAC", [](std::string& r, size_t p) { r[p - 3] ^= 1; }, 0},
      {"MAC line", [](std::string& r, size_t) { r.insert(r.find("\n--- ") + 4, " "); }, 0},
      {"nonce", [](std::string& r, size_t p) { r[p + 5] ^= 1; }, 0},
      {"trailing byte", [](std::string& r, size_t) { r += "x"; }, 3},
      {"trailing chunk", [&](std::string& r, size_t) { r += r.substr(chunkAt(0), kSealed); }, 3},
      {"removed chunk", [&](std::string& r, size_t) { r.erase(chunkAt(1), kSealed); }, 1},
      {"duplicated chunk",
       [&](std::string& r, size_t) { r.insert(chunkAt(1), r.substr(chunkAt(0), kSealed)); }, 1},
      {"swapped chunks",
       [&](std::string& r, size_t) {
         std::string a = r.substr(chunkAt(0), kSealed), b = r.substr(chunkAt(1), kSealed);
         r.replace(chunkAt(0), kSealed, b);
         r.replace(chunkAt(1), kSealed, a);
       },
       0, false},
      {"cut at a chunk boundary", [&](std::string& r, size_t) { r.resize(chunkAt(3)); }, 2},
      {"cut mid-chunk", [&](std::string& r, size_t) { r.resize(chunkAt(1) + 1000); }, 1},
      {"cut inside the last tag", [&](std::string& r, size_t) { r.pop_back(); }, 3},
      {"cut after the header", [&](std::string& r, size_t) { r.resize(chunkAt(0)); }, 0},
      {"cut inside the header", [&](std::string& r, size_t p) { r.resize(p - 10); }, 0},
      {"empty", [&](std::string& r, size_t) { r.clear(); }, 0},
  };
  for (size_t i = 0; i < 4; ++i) {  // a flipped bit at the start, middle and tag of each
    for (size_t at : {size_t{0}, size_t{30000}, kSealed - 1}) {
      size_t pos = std::min(chunkAt(i) + at, raw.size() - 1);
      cases.push_back(
          {"flipped chunk byte", [pos](std::string& r, size_t) { r[pos] ^= 0x40; }, i, i == 3});
    }
  }
  for (const Damage& d : cases) {
    std::string changed = raw;
    d.change(changed, payload);
    SCOPED_TRACE(std::string(d.name) + " (first bad chunk " + std::to_string(d.firstBad) + ")");
    writeFile(file, changed);
    ReadResult r = readStream(withIdentity(file), 70000);
    EXPECT_TRUE(r.error == EIO || r.error == EACCES) << r.error << " " << r.trace;
    EXPECT_NE(r.trace.find("age"), std::string::npos) << r.trace;
    EXPECT_LE(r.data.size(), d.firstBad * kChunk);
    EXPECT_TRUE(data.compare(0, r.data.size(), r.data) == 0);
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(xiopsize(trace, withIdentity(file).c_str(), ""),
              d.sizeFails ? -1 : static_cast<int64_t>(data.size()));
  }
}

TEST_F(Age, IdentityFileChecksAndTracesWithoutKeyMaterial) {
  std::string file = dir / "f.age";
  Written w;
  ASSERT_TRUE(writeAll(withIdentity(file, "write"), "", "", "secret data", rng, w));
  std::string keyLine = secretKeyLine();
  std::string broken = dir / "broken.txt", loose = dir / "loose.txt", garbage = dir / "garbage.txt";
  std::string flipped = keyLine;
  flipped[20] = flipped[20] == 'Q' ? 'P' : 'Q';  // the checksum no longer holds
  writeFile(broken, "# a comment\n" + flipped + "\n");
  writeFile(garbage, "# only comments\n\n");
  writeFile(loose, readFile(key));
  chmod(broken.c_str(), 0600);
  chmod(garbage.c_str(), 0400);
  chmod(loose.c_str(), 0644);
  struct {
    std::string fileString;
    int error;
    const char* inTrace;
  } cases[] = {
      {"read.bin(file=" + quote(file) + " encr.age(identity=" + quote(loose) + "))", EACCES,
       "0644"},
      {"read.bin(file=" + quote(file) + " encr.age(identity=" + quote(dir / "none") + "))", ENOENT,
       "No such file"},
      {"read.bin(file=" + quote(file) + " encr.age(identity=" + quote(dir.path()) + "))", EACCES,
       "not a regular file"},
      {"read.bin(file=" + quote(file) + " encr.age(identity=" + quote(broken) + "))", EINVAL,
       "line 2"},
      {"read.bin(file=" + quote(file) + " encr.age(identity=" + quote(garbage) + "))", EINVAL,
       "no AGE-SECRET-KEY-1"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age(identity=" + quote(broken) + "))",
       EINVAL, "line 2"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age())", EINVAL, "exactly one"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age(identity=" + quote(key) +
           " passphrase='p'))",
       EINVAL, "exactly one"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age(identity=" + quote(key) + " logn=10))",
       EINVAL, "logn"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age(passphrase=''))", EINVAL, "empty"},
      {"write.bin(file=" + quote(dir / "new") + " encr.age(passphrase='x' logn=23))", EINVAL,
       "does not parse"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileString);
    char trace[XIO_TRACE_SIZE] = "";
    std::string state;
    bool write = c.fileString[0] == 'w';
    XioHandle* h = xiopopen(trace, c.fileString.c_str(), "", write ? &state : nullptr, 0);
    EXPECT_EQ(h, nullptr);
    if (h) xiopclose(trace, h, nullptr, nullptr, nullptr);
    EXPECT_EQ(errno, c.error) << trace;
    EXPECT_NE(strstr(trace, c.inTrace), nullptr) << trace;
    EXPECT_EQ(strstr(trace, keyLine.c_str() + 16), nullptr) << trace;
    EXPECT_EQ(strstr(trace, flipped.c_str() + 16), nullptr) << trace;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));
}

TEST_F(Age, TracesMaskEveryPassphrase) {
  struct {
    const char* text;
    const char* masked;
  } cases[] = {
      {"read.bin(file='a' encr.age(passphrase='s3cret'))",
       "read.bin(file='a' encr.age(passphrase='***'))"},
      {"input(file='' cnv[age(PassPhrase = 'it''s' logn=10)])",
       "input(file='' cnv[age(PassPhrase = '***' logn=10)])"},
      {"read.bin(file='passphrase=''x''' encr.age(passphrase='y'))",
       "read.bin(file='passphrase=''x''' encr.age(passphrase='***'))"},
      {"write.bin(file='' encr.age(passphrase='unterminated",
       "write.bin(file='' encr.age(passphrase='***"},
      {"read.bin(file='' encr.age(identity='passphrase'))",
       "read.bin(file='' encr.age(identity='passphrase'))"},
  };
  for (const auto& c : cases) EXPECT_EQ(xiomask(c.text), c.masked) << c.text;
  // The trace of a real failure, with the passphrase in the file string twice.
  char trace[XIO_TRACE_SIZE] = "";
  std::string fs = "read.bin(file=" + quote(dir / "none") + " encr.age(passphrase='hunter2'))";
  EXPECT_EQ(xiopopen(trace, fs.c_str(), "", nullptr, 0), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(strstr(trace, "hunter2"), nullptr) << trace;
  EXPECT_NE(strstr(trace, "passphrase='***'"), nullptr) << trace;
}

TEST_F(Age, ChunksOpenOneByOneFromTheHeader) {
  std::string data = randomBytes(4 * kChunk + 123, rng), file = dir / "r.age";
  writeFile(dir / "plain", data);
  ASSERT_EQ(sh("age -r " + recipient + " -o '" + file + "' '" + dir / "plain" + "'"), 0);
  std::string raw = readFile(file);
  xio::Layer layer;
  layer.kind = "age";
  layer.identity = key;
  layer.hasIdentity = true;
  xio::AgeKey k;
  std::string why;
  ASSERT_EQ(xio::loadAgeKey(layer, k, why), 0) << why;
  xio::AgePayloadKey payload;
  size_t start = 0;
  auto* bytes = reinterpret_cast<const uint8_t*>(raw.data());
  // Too few bytes ask for more; the whole header opens.
  EXPECT_EQ(xio::ageOpenHeader(bytes, 40, k, payload, start, why), EAGAIN);
  size_t headerEnd = raw.find('\n', raw.find("\n--- ") + 1) + 1;
  EXPECT_EQ(xio::ageOpenHeader(bytes, headerEnd + 15, k, payload, start, why), EAGAIN);
  ASSERT_EQ(xio::ageOpenHeader(bytes, 4096, k, payload, start, why), 0) << why;
  EXPECT_EQ(start, headerEnd + 16);
  EXPECT_EQ(xio::agePlainSize(raw.size(), start), static_cast<int64_t>(data.size()));
  for (size_t i : {3, 0, 4, 1}) {  // any order
    SCOPED_TRACE(i);
    bool last = i == 4;
    size_t n = std::min(kSealed, raw.size() - (start + i * kSealed));
    std::vector<uint8_t> plain(kChunk);
    ASSERT_EQ(payload.open(i, last, bytes + start + i * kSealed, n, plain.data(), why), 0) << why;
    EXPECT_EQ(data.compare(i * kChunk, n - 16, reinterpret_cast<char*>(plain.data()), n - 16), 0);
    EXPECT_EQ(payload.open(i, !last, bytes + start + i * kSealed, n, plain.data(), why), EIO);
    EXPECT_EQ(payload.open(i + 1, last, bytes + start + i * kSealed, n, plain.data(), why), EIO);
    EXPECT_EQ(std::count(plain.begin(), plain.end(), 0), static_cast<long>(plain.size()));
  }
  // Impossible lengths: a last chunk shorter than its tag, or empty after data.
  EXPECT_EQ(xio::agePlainSize(start + kSealed + 5, start), -1);
  EXPECT_EQ(xio::agePlainSize(start + kSealed + 16, start), -1);
  EXPECT_EQ(xio::agePlainSize(start + 16, start), 0);
}

}  // namespace
