// A symbolic link at a physical name is never followed: every way into the
// file (write, append under each layer, read, size) fails with ELOOP, the
// file the link points to stays as it was, and no temporary file is left.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "xio_test.h"

using namespace xiotest;

namespace {

enum class Call { WRITE, READ, SIZE };

struct LinkCase {
  const char* name;
  const char* fileString;  // %s: the quoted physical name (the link)
  Call call;
  int64_t offset;  // writing: 0 creates or truncates, above 0 appends
  // Reading: the write string that makes such a file (null: the same
  // string with "write" for "read").
  const char* maker = nullptr;
};

const LinkCase kLinkCases[] = {
    {"write bin at 0", "write.bin(file=%s)", Call::WRITE, 0},
    {"write gzip at 0", "write.bin(file=%s comp.gzip())", Call::WRITE, 0},
    {"write text at 0", "write.text(file=%s)", Call::WRITE, 0},
    {"append bin", "write.bin(file=%s)", Call::WRITE, 9},
    {"append gzip", "write.bin(file=%s comp.gzip())", Call::WRITE, 9},
    {"append zstd", "write.bin(file=%s comp.zstd())", Call::WRITE, 9},
    {"append age", "write.bin(file=%s encr.age(passphrase='pw' logn=1))", Call::WRITE, 9},
    {"append zstd under age", "output(file=%s cnv[age(passphrase='pw' logn=1) zstd()])",
     Call::WRITE, 9},
    {"read bin", "read.bin(file=%s)", Call::READ, 0},
    {"read gzip", "read.bin(file=%s comp.gzip())", Call::READ, 0},
    {"read auto", "read.auto(file=%s)", Call::READ, 0, "write.bin(file=%s comp.xz())"},
    {"read age", "read.bin(file=%s encr.age(passphrase='pw' logn=1))", Call::READ, 0},
    {"size bin", "read.bin(file=%s)", Call::SIZE, 0},
    {"size zstd", "read.bin(file=%s comp.zstd())", Call::SIZE, 0},
    {"size age", "read.bin(file=%s encr.age(passphrase='pw' logn=1))", Call::SIZE, 0},
};

struct FileFacts {
  std::string data;
  mode_t mode = 0;
  bool operator==(const FileFacts&) const = default;
};

FileFacts factsOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return {readFile(path), st.st_mode};
}

std::string format(const char* pattern, const std::string& arg) {
  std::string s = pattern;
  s.replace(s.find("%s"), 2, arg);
  return s;
}

// What one call does on the name; returns its result as -1 or 0 and
// leaves errno and the trace of the failure.
int attempt(const LinkCase& c, const std::string& fileString, char* trace) {
  if (c.call == Call::SIZE) return xiopsize(trace, fileString.c_str(), "") < 0 ? -1 : 0;
  std::string state;
  XioHandle* h =
      xiopopen(trace, fileString.c_str(), "", c.call == Call::WRITE ? &state : nullptr, c.offset);
  if (h == nullptr) return -1;
  // An open that went through would show here: the data reaches the file.
  if (c.call == Call::WRITE) xiopwrite(trace, h, "planted", 7, c.offset);
  int e = errno;
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  errno = e;
  return 0;
}

TEST(Symlinks, AreNeverFollowedAtThePhysicalName) {
  TempDir dir, outside;
  const std::string link = dir / "data", target = outside / "victim";
  for (const LinkCase& c : kLinkCases) {
    SCOPED_TRACE(c.name);
    for (bool dangling : {false, true}) {
      SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
      unlink(target.c_str());
      unlink(link.c_str());
      if (!dangling) {
        writeFile(target, "precious data of someone else\n");
        ASSERT_EQ(chmod(target.c_str(), 0640), 0);
      }
      ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
      FileFacts before = dangling ? FileFacts{} : factsOf(target);
      char trace[XIO_TRACE_SIZE] = "";
      EXPECT_EQ(attempt(c, format(c.fileString, quote(link)), trace), -1);
      EXPECT_EQ(errno, ELOOP) << trace;
      EXPECT_NE(strstr(trace, "Too many levels of symbolic links"), nullptr) << trace;
      EXPECT_NE(strstr(trace, ("'" + link + "'").c_str()), nullptr) << trace;
      if (dangling) {
        EXPECT_FALSE(std::filesystem::exists(target));
      } else {
        EXPECT_TRUE(factsOf(target) == before);
      }
      EXPECT_TRUE(std::filesystem::is_symlink(link));
      for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename(), "data") << e.path();
    }
  }
}

// Where the name holds a regular file the same calls go through, so the
// refusals above are the links' doing, not the strings'.
TEST(Symlinks, TheSameCallsWorkOnARegularFile) {
  TempDir dir;
  const std::string file = dir / "data";
  for (const LinkCase& c : kLinkCases) {
    SCOPED_TRACE(c.name);
    unlink(file.c_str());
    std::string fs = format(c.fileString, quote(file));
    std::string maker = c.maker ? format(c.maker, quote(file)) : fs;
    if (maker.rfind("read.", 0) == 0) maker.replace(0, 4, "write");
    std::mt19937 rng(3);
    Written w;
    ASSERT_TRUE(writeAll(maker, "", "", "nine byte", rng, w));
    char trace[XIO_TRACE_SIZE] = "";
    EXPECT_EQ(attempt(c, fs, trace), 0) << trace;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      EXPECT_EQ(e.path().filename(), "data") << e.path();
  }
}

}  // namespace
