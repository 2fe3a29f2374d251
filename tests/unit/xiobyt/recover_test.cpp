// xiorecover over every layer: files cut where a crash would leave them
// (also right after a sync flush) are ended so that their tool accepts
// them, read back as a prefix of what was written, as long as the call
// says, with everything synced, and take appends; complete files and files
// the strings do not describe are left as they are.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "xio_test.h"

using namespace xiotest;

namespace {

std::string variedData(size_t n, std::mt19937& rng) {
  std::string s;
  while (s.size() < n) {
    if (rng() % 2) {
      s += sampleText(200, rng);
    } else {
      std::string r(20000 + rng() % 50000, '\0');
      for (char& c : r) c = static_cast<char>(rng() % 7 == 0 ? rng() : 'a' + rng() % 3);
      s += r;
    }
  }
  s.resize(n);
  return s;
}

std::string fill(std::string s, const std::string& file, const std::string& key) {
  for (size_t at; (at = s.find("%s")) != std::string::npos;) s.replace(at, 2, quote(file));
  for (size_t at; (at = s.find("%k")) != std::string::npos;) s.replace(at, 2, quote(key));
  return s;
}

std::string fillShell(std::string s, const std::string& file, const std::string& key) {
  for (size_t at; (at = s.find("%s")) != std::string::npos;) s.replace(at, 2, "'" + file + "'");
  for (size_t at; (at = s.find("%k")) != std::string::npos;) s.replace(at, 2, "'" + key + "'");
  return s;
}

struct Read {
  std::string data;
  std::string trace;
  bool ok = false;
};

Read readBack(const std::string& command, const std::string& format) {
  Read r;
  std::mt19937 rng{5};
  r.ok = readAll(command, format, rng, r.data);
  if (!r.ok) r.trace = "read of " + command + " failed";
  return r;
}

bool noTemporaryFiles(const std::string& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind(".vaskIndex", 0) == 0) return false;
  return true;
}

struct Case {
  const char* name;
  const char* fileString;  // %s: the file, %k: the identity file
  const char* format;
  const char* tool;    // %s: the file; empty: no tool checks this layer
  bool text;           // the data is lines of text
  size_t held = 0;     // bytes a flush may keep back (base64: a quantum's)
  bool plain = false;  // no layers: the file holds its characters only
};

const Case kCases[] = {
    {"gzip", "write.bin(file=%s comp.gzip())", "", "gzip -t %s", false},
    {"gzip on threads", "write.bin(file=%s comp.gzip(threads=2))", "", "gzip -t %s", false},
    {"zstd", "write.bin(file=%s comp.zstd())", "", "zstd -q -t %s", false},
    {"xz", "write.bin(file=%s comp.xz())", "", "xz -t %s", false},
    {"bzip2", "write.bin(file=%s comp.bzip2())", "", "bzip2 -t %s", false},
    {"age", "write.bin(file=%s encr.age(identity=%k))", "", "age -d -i %k %s > /dev/null", false},
    {"age passphrase", "write.bin(file=%s encr.age(passphrase='pw' logn=10))", "", "", false},
    {"base64", "write.bin(file=%s enc.base64())", "", "base64 -d %s > /dev/null", false, 2},
    {"hex", "write.bin(file=%s enc.hex())", "", "", false},
    {"base64 over gzip", "write.bin(file=%s comp.gzip() enc.base64())", "",
     "base64 -d %s | gzip -t", false},
    {"zstd inside age", "write.bin(file=%s comp.zstd() encr.age(identity=%k))", "",
     "age -d -i %k %s | zstd -q -t", false},
    {"text in IBM-1047 over gzip", "write.text(file=%s ccsid='IBM-1047' method=CRLF comp.gzip())",
     "format.text()", "gzip -t %s", true},
    {"records over xz", "write.rec(file=%s recf=VAR recl=200 comp.xz())", "format.text()",
     "xz -t %s", true},
    {"text without layers", "write.text(file=%s ccsid='UTF-16LE')", "format.text()", "", true, 0,
     true},
};

class Recover : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    key = dir / "key.txt";
    ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
  }
  // Recovers a copy of a physical file and checks it; returns the bytes it holds.
  int64_t recoverCopy(const std::string& bytes, const std::string& data, const std::string& what) {
    SCOPED_TRACE(what);
    const Case& c = GetParam();
    std::string file = dir / "r.file";
    writeFile(file, bytes);
    chmod(file.c_str(), 0640);
    std::string fs = fill(c.fileString, file, key), command, format;
    char trace[XIO_TRACE_SIZE] = "";
    int64_t n = xiorecover(trace, fs.c_str(), c.format, &command, &format);
    EXPECT_GE(n, 0) << trace;
    if (n < 0) return n;
    EXPECT_LE(static_cast<size_t>(n), data.size());
    if (*c.tool) {
      EXPECT_EQ(sh(fillShell(c.tool, file, key) + " 2>&1"), 0);
    }
    Read r = readBack(command, format);
    EXPECT_TRUE(r.ok) << r.trace;
    EXPECT_EQ(r.data.size(), static_cast<size_t>(n));
    EXPECT_TRUE(data.compare(0, r.data.size(), r.data) == 0) << "not a prefix";
    struct stat st;
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(noTemporaryFiles(dir.path()));
    return n;
  }

  TempDir dir;
  std::string key;
};

TEST_P(Recover, CutFilesEndWhereTheyDecodeKeepWhatWasSyncedAndTakeAppends) {
  const Case& c = GetParam();
  std::mt19937 rng{41};
  std::string data = c.text ? sampleText(60000, rng) : variedData(3 << 20, rng);
  std::string file = dir / "w.file", fs = fill(c.fileString, file, key);
  char trace[XIO_TRACE_SIZE] = "";
  std::string st;
  XioHandle* h = xiopopen(trace, fs.c_str(), c.format, &st, 0);
  ASSERT_NE(h, nullptr) << trace;
  // Copies of the physical file as a crash would find it: right after a
  // sync flush, and later while the data after it is still being written.
  // (At line ends: a record or the rest of a line waits for its line end.)
  size_t syncAt = data.size() * 2 / 5, laterAt = data.size() * 3 / 4;
  if (c.text) {
    syncAt = data.find('\n', syncAt) + 1;
    laterAt = data.find('\n', laterAt) + 1;
  }
  std::string synced, later;
  for (size_t at = 0; at < data.size();) {
    size_t end = at < syncAt ? syncAt : at < laterAt ? laterAt : data.size();
    size_t n = std::min(end - at, chunkSize(rng, end - at));
    ASSERT_EQ(xiopwrite(trace, h, data.data() + at, n, static_cast<int64_t>(at)),
              static_cast<int64_t>(n))
        << trace;
    at += n;
    if (at == syncAt && synced.empty()) {
      ASSERT_EQ(xiopflush(trace, h, XIO_FLUSH_SYNC), 0) << trace;
      synced = readFile(file);
    }
    if (at == laterAt && later.empty()) later = readFile(file);
  }
  std::string command, format;
  ASSERT_EQ(xiopclose(trace, h, nullptr, &command, &format), 0) << trace;
  const std::string whole = readFile(file);

  const int64_t durable = static_cast<int64_t>(syncAt - c.held);
  EXPECT_GE(recoverCopy(synced, data, "right after the sync flush"), durable);
  EXPECT_GE(recoverCopy(later, data, "while writing after the sync flush"), durable);
  for (size_t cut :
       {size_t{0}, size_t{1}, size_t{12}, whole.size() / 3, whole.size() / 2, whole.size() - 1}) {
    recoverCopy(whole.substr(0, cut), data, "cut at " + std::to_string(cut));
  }
  // Zero bytes where the crash left blocks allocated but unwritten (data
  // for a file without layers).
  if (!c.plain) {
    EXPECT_GE(recoverCopy(synced + std::string(10000, '\0'), data, "zeros after the sync flush"),
              durable);
  }

  // An append after a recovery extends what the file then holds.
  std::string cutFile = dir / "r.file";
  int64_t kept = recoverCopy(later, data, "before the append");
  ASSERT_GE(kept, 0);
  std::string more = c.text ? sampleText(500, rng) : variedData(100000, rng);
  Written w;
  ASSERT_TRUE(writeAll(fill(c.fileString, cutFile, key), c.format, "", more, rng, w, kept));
  Read r = readBack(w.command, w.format);
  ASSERT_TRUE(r.ok) << r.trace;
  EXPECT_TRUE(r.data == data.substr(0, static_cast<size_t>(kept)) + more);
  if (*c.tool) {
    EXPECT_EQ(sh(fillShell(c.tool, cutFile, key) + " 2>&1"), 0);
  }

  // A complete file stays byte for byte as it is.
  std::string copy;
  EXPECT_EQ(xiorecover(trace, fs.c_str(), c.format, &copy, nullptr),
            static_cast<int64_t>(data.size()))
      << trace;
  EXPECT_TRUE(readFile(file) == whole);
  EXPECT_EQ(copy, command);
}

INSTANTIATE_TEST_SUITE_P(Layers, Recover, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string n;
                           for (const char* p = info.param.name; *p; ++p)
                             n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

// What must not be rewritten: a file the strings do not describe, a key
// that opens nothing, a link at the name.
TEST(RecoverRefusal, FilesItCannotReadAreLeftAsTheyAre) {
  TempDir dir;
  std::string file = dir / "f", other = dir / "other.txt", key = dir / "key.txt";
  ASSERT_EQ(
      sh("age-keygen -o '" + key + "' 2>/dev/null && age-keygen -o '" + other + "' 2>/dev/null"),
      0);
  std::mt19937 rng{3};
  std::string data = variedData(300000, rng);
  struct {
    const char* name;
    std::string writer, recoverer;
    int error;
  } cases[] = {
      {"xz read as gzip", "write.bin(file=%s comp.xz())", "write.bin(file=%s comp.gzip())", EIO},
      {"gzip read as age", "write.bin(file=%s comp.gzip())",
       "write.bin(file=%s encr.age(identity=%k))", EIO},
      {"another key", "write.bin(file=%s encr.age(identity=%k))",
       "write.bin(file=%s encr.age(identity=" + quote(other) + "))", EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Written w;
    ASSERT_TRUE(writeAll(fill(c.writer, file, key), "", "", data, rng, w));
    std::string before = readFile(file);
    std::string cut = before.substr(0, before.size() / 2);
    for (const std::string& bytes : {before, cut}) {
      writeFile(file, bytes);
      char trace[XIO_TRACE_SIZE] = "";
      errno = 0;
      EXPECT_EQ(xiorecover(trace, fill(c.recoverer, file, key).c_str(), "", nullptr, nullptr), -1);
      EXPECT_EQ(errno, c.error) << trace;
      EXPECT_TRUE(readFile(file) == bytes);
      EXPECT_TRUE(noTemporaryFiles(dir.path()));
    }
  }
  std::string link = dir / "link";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  char trace[XIO_TRACE_SIZE] = "";
  errno = 0;
  EXPECT_EQ(xiorecover(trace, fill("write.bin(file=%s comp.gzip())", link, key).c_str(), "",
                       nullptr, nullptr),
            -1);
  EXPECT_EQ(errno, ELOOP);
}

}  // namespace

namespace {

// Files that are not of their layers at all, however short, are left as
// they are with EIO; files that a crash cut before anything decodes become
// an empty stream. A header line of 64 characters beginning with "--- "
// is a stanza body line: recovery ends (the header is cut, or malformed
// once a shorter line ends the body) instead of waiting for more header.
TEST(RecoverRefusal, ShortFilesAreLeftUnlessTheyBeginAsTheirLayersBegin) {
  TempDir dir;
  std::string file = dir / "f", key = dir / "key.txt";
  ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
  const std::string bodyLine = "--- " + std::string(60, 'A');
  struct {
    const char* name;
    const char* fileString;  // %s: the file, %k: the identity file
    std::string bytes;
    int64_t result;  // -1: EIO and the file unchanged
  } cases[] = {
      {"gzip: one byte", "write.bin(file=%s comp.gzip())", "a", -1},
      {"age: a word", "write.bin(file=%s encr.age(identity=%k))", "hello", -1},
      {"base64 over gzip: two letters", "write.bin(file=%s comp.gzip() enc.base64())", "QQ", -1},
      {"xz: a line and a zero tail", "write.bin(file=%s comp.xz())",
       "hello\n" + std::string(4096, '\0'), -1},
      {"zstd: a word", "write.bin(file=%s comp.zstd())", "hello", -1},
      {"bzip2: a word", "write.bin(file=%s comp.bzip2())", "hello", -1},
      {"hex over xz: hex of other bytes", "write.bin(file=%s comp.xz() enc.hex())", "4142", -1},
      {"age: a 64-character body line beginning with ---",
       "write.bin(file=%s encr.age(identity=%k))",
       "age-encryption.org/v1\n-> X25519 AAAA\n" + bodyLine + "\n" + std::string(40, 'B'), 0},
      {"age: the same line, then a MAC line", "write.bin(file=%s encr.age(identity=%k))",
       "age-encryption.org/v1\n-> X25519 AAAA\n" + bodyLine + "\n\n--- " + std::string(43, 'C') +
           "\n" + std::string(40, 'D'),
       -1},
      // Cut before anything decodes: an empty stream of the layers.
      {"gzip: the first magic byte", "write.bin(file=%s comp.gzip())", "\x1f", 0},
      {"gzip: zeros only", "write.bin(file=%s comp.gzip())", std::string(4096, '\0'), 0},
      {"base64 over gzip: the magic's first letters", "write.bin(file=%s comp.gzip() enc.base64())",
       "H4s", 0},
      {"hex over xz, upper case", "write.bin(file=%s comp.xz() enc.hex())", "FD377A", 0},
      {"age: cut in its first line", "write.bin(file=%s encr.age(identity=%k))", "age-enc", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(file, c.bytes);
    char trace[XIO_TRACE_SIZE] = "";
    errno = 0;
    std::string command;
    int64_t n = xiorecover(trace, fill(c.fileString, file, key).c_str(), "", &command, nullptr);
    EXPECT_EQ(n, c.result) << trace;
    if (c.result < 0) {
      EXPECT_EQ(errno, EIO) << trace;
      EXPECT_TRUE(readFile(file) == c.bytes);
    } else {
      Read r = readBack(command, "");
      EXPECT_TRUE(r.ok) << r.trace;
      EXPECT_EQ(r.data.size(), 0u);
    }
    EXPECT_TRUE(noTemporaryFiles(dir.path()));
  }
}

}  // namespace

namespace {

// A crash can leave zero bytes after the last data; recovery cuts them
// off, and with them the zero bytes a chunk's tag may end with (one file in
// 256). Those are given back: an age file that ends in a zero byte, with
// zeros after it, keeps every chunk.
TEST(RecoverZeroTail, AnAgeTagEndingInZeroBytesIsKept) {
  TempDir dir;
  std::string file = dir / "z.age", key = dir / "key.txt";
  ASSERT_EQ(sh("age-keygen -o '" + key + "' 2>/dev/null"), 0);
  std::string fs = fill("write.bin(file=%s encr.age(identity=%k))", file, key);
  std::mt19937 rng{9};
  for (size_t size : {size_t{1000}, size_t{65536 + 1000}}) {
    SCOPED_TRACE(size);
    std::string data = variedData(size, rng), whole;
    // Fresh keys until the last tag ends in a zero byte.
    for (int tries = 0; tries < 4000 && (whole.empty() || whole.back() != '\0'); ++tries) {
      Written w;
      ASSERT_TRUE(writeAll(fs, "", "", data, rng, w));
      whole = readFile(file);
    }
    ASSERT_EQ(whole.back(), '\0');
    for (size_t zeros : {size_t{0}, size_t{1}, size_t{5000}}) {
      SCOPED_TRACE(zeros);
      writeFile(file, whole + std::string(zeros, '\0'));
      char trace[XIO_TRACE_SIZE] = "";
      EXPECT_EQ(xiorecover(trace, fs.c_str(), "", nullptr, nullptr), static_cast<int64_t>(size))
          << trace;
      int status = -1;
      EXPECT_TRUE(run("age -d -i '" + key + "' '" + file + "'", &status) == data);
      EXPECT_EQ(status, 0);
    }
  }
}

}  // namespace
