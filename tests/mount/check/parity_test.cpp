// The same system calls on the mount and on a plain directory give the same
// results and the same errno, compared step by step.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "harness.h"

namespace checktest {
namespace {

// Collects one text per step: what the call returned, or its errno name.
class Steps {
 public:
  explicit Steps(std::string base) : base_(std::move(base)) {}
  std::string at(const std::string& name) const { return base_ + "/" + name; }

  // Records rc; any result but -1 counts as success when onlySuccess.
  long call(const std::string& step, long rc, bool onlySuccess = false) {
    if (rc == -1) {
      list.push_back(step + " -> " + strerrorname_np(errno));
    } else {
      list.push_back(step + " -> " + (onlySuccess ? std::string("ok") : std::to_string(rc)));
    }
    return rc;
  }
  int open(const std::string& step, const std::string& name, int flags, mode_t mode = 0644) {
    return static_cast<int>(call(step, ::open(at(name).c_str(), flags, mode), true));
  }
  void value(const std::string& step, const std::string& v) { list.push_back(step + " = " + v); }
  void stat(const std::string& name, bool follow = false) {
    struct stat st;
    const int rc = follow ? ::stat(at(name).c_str(), &st) : lstat(at(name).c_str(), &st);
    if (call("stat " + name, rc) == 0) {
      value("stat " + name, "mode " + std::to_string(st.st_mode) + " size " +
                                std::to_string(st.st_size) + " nlink " +
                                std::to_string(st.st_nlink) + " uid " + std::to_string(st.st_uid) +
                                " gid " + std::to_string(st.st_gid));
    }
  }
  void content(const std::string& name) {
    const std::string data = readFile(at(name));
    value("content " + name, std::to_string(data.size()) + ":" + data.substr(0, 64));
  }

  std::vector<std::string> list;

 private:
  std::string base_;
};

void expectParity(const std::string& plain, const std::string& mounted,
                  const std::function<void(Steps&)>& sequence) {
  Steps onPlain(plain), onMount(mounted);
  sequence(onPlain);
  sequence(onMount);
  ASSERT_EQ(onPlain.list.size(), onMount.list.size());
  for (size_t i = 0; i < onPlain.list.size(); ++i) {
    EXPECT_EQ(onPlain.list[i], onMount.list[i]) << "step " << i;
  }
}

class CheckParity : public CheckerTest {};

TEST_F(CheckParity, Files) {
  ASSERT_NO_FATAL_FAILURE(mount());
  std::string big(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  expectParity(plain_, mnt_, [&](Steps& s) {
    int fd = s.open("create", "f", O_WRONLY | O_CREAT | O_EXCL, 0640);
    s.call("write", write(fd, "hello world", 11));
    s.call("fsync", fsync(fd));
    s.call("close", close(fd));
    s.open("create again", "f", O_WRONLY | O_CREAT | O_EXCL);
    s.open("open missing", "missing", O_RDONLY);
    s.call("mkdir", mkdir(s.at("d").c_str(), 0755));
    s.open("open dir for writing", "d", O_WRONLY);
    s.open("open file as dir", "f/x", O_RDONLY);
    fd = s.open("open for reading", "f", O_RDONLY);
    char buf[128] = {};
    s.call("read", read(fd, buf, sizeof buf));
    s.value("read", buf);
    s.call("pread", pread(fd, buf, 5, 6));
    s.value("pread", std::string(buf, 5));
    s.call("pread past end", pread(fd, buf, 5, 100));
    s.call("write read-only", write(fd, "x", 1));
    s.call("close", close(fd));
    s.call("truncate shorter", truncate(s.at("f").c_str(), 5));
    s.stat("f");
    s.call("truncate longer", truncate(s.at("f").c_str(), 20));
    s.stat("f");
    s.call("truncate missing", truncate(s.at("missing").c_str(), 0));
    s.call("truncate dir", truncate(s.at("d").c_str(), 0));
    fd = s.open("open read-write", "f", O_RDWR);
    s.call("ftruncate", ftruncate(fd, 3));
    s.call("pwrite past end", pwrite(fd, "XY", 2, 10));
    s.call("close", close(fd));
    fd = s.open("open append", "f", O_WRONLY | O_APPEND);
    s.call("append", write(fd, "++", 2));
    s.call("close", close(fd));
    s.content("f");
    fd = s.open("open truncating", "f", O_WRONLY | O_TRUNC);
    s.call("close", close(fd));
    s.stat("f");
    fd = s.open("create big", "big", O_WRONLY | O_CREAT | O_TRUNC);
    s.call("write big", write(fd, big.data(), big.size()));
    s.call("close", close(fd));
    s.value("big equal", readFile(s.at("big")) == big ? "yes" : "no");
    s.call("mkfifo", mkfifo(s.at("p").c_str(), 0600));
    s.call("mknod regular", mknod(s.at("r").c_str(), S_IFREG | 0600, 0));
    s.call("mknod existing", mknod(s.at("r").c_str(), S_IFREG | 0600, 0));
    s.stat("p");
    s.stat("r");
    s.call("unlink", unlink(s.at("f").c_str()));
    s.call("unlink again", unlink(s.at("f").c_str()));
    s.call("unlink dir", unlink(s.at("d").c_str()));
    s.stat("f");
  });
}

TEST_F(CheckParity, Names) {
  ASSERT_NO_FATAL_FAILURE(mount());
  expectParity(plain_, mnt_, [&](Steps& s) {
    s.call("mkdir a", mkdir(s.at("a").c_str(), 0755));
    s.call("mkdir a again", mkdir(s.at("a").c_str(), 0755));
    s.call("mkdir a/b", mkdir(s.at("a/b").c_str(), 0700));
    s.call("mkdir under missing", mkdir(s.at("missing/x").c_str(), 0755));
    s.call("mkdir c", mkdir(s.at("c").c_str(), 0755));
    writeFile(s.at("a/b/f"), "data");
    writeFile(s.at("c/x"), "x");
    s.call("rmdir non-empty", rmdir(s.at("a").c_str()));
    s.call("rmdir missing", rmdir(s.at("missing").c_str()));
    s.call("rmdir file", rmdir(s.at("a/b/f").c_str()));
    s.call("rename file", rename(s.at("a/b/f").c_str(), s.at("g").c_str()));
    s.call("rename missing", rename(s.at("a/b/f").c_str(), s.at("h").c_str()));
    s.call("rename file over dir", rename(s.at("g").c_str(), s.at("a").c_str()));
    s.call("rename dir over non-empty dir", rename(s.at("a").c_str(), s.at("c").c_str()));
    s.call("rename dir over file", rename(s.at("a").c_str(), s.at("g").c_str()));
    s.call("rename dir into itself", rename(s.at("a").c_str(), s.at("a/b/a").c_str()));
    s.call("rename dir", rename(s.at("a").c_str(), s.at("a2").c_str()));
    s.call("link", link(s.at("g").c_str(), s.at("h").c_str()));
    s.stat("h");
    s.call("link existing", link(s.at("g").c_str(), s.at("h").c_str()));
    s.call("link missing", link(s.at("missing").c_str(), s.at("i").c_str()));
    s.call("link dir", link(s.at("a2").c_str(), s.at("i").c_str()));
    s.call("symlink relative", symlink("target text", s.at("s").c_str()));
    s.call("symlink absolute", symlink("/no/such/place", s.at("s2").c_str()));
    s.call("symlink to g", symlink("g", s.at("s3").c_str()));
    s.call("symlink existing", symlink("g", s.at("h").c_str()));
    char text[256];
    for (const char* name : {"s", "s2", "s3", "g", "missing"}) {
      const ssize_t n = readlink(s.at(name).c_str(), text, sizeof text);
      if (s.call(std::string("readlink ") + name, n) >= 0) s.value("text", std::string(text, n));
    }
    s.stat("s");
    s.stat("s", true);
    s.stat("s3", true);
    s.call("rename symlink", rename(s.at("s3").c_str(), s.at("s4").c_str()));
    for (const char* name : {"g", "h", "s", "s2", "s4", "c/x", "a2/b/a"}) {
      s.call(std::string("unlink ") + name, unlink(s.at(name).c_str()));
    }
    for (const char* name : {"a2/b", "a2", "c"}) {
      s.call(std::string("rmdir ") + name, rmdir(s.at(name).c_str()));
    }
  });
}

TEST_F(CheckParity, Attributes) {
  ASSERT_NO_FATAL_FAILURE(mount());
  expectParity(plain_, mnt_, [&](Steps& s) {
    close(s.open("create", "f", O_WRONLY | O_CREAT, 0644));
    s.call("symlink", symlink("f", s.at("s").c_str()));
    s.call("chmod", chmod(s.at("f").c_str(), 0604));
    s.call("chmod missing", chmod(s.at("missing").c_str(), 0600));
    s.stat("f");
    s.call("chown", chown(s.at("f").c_str(), 1234, 5678));
    s.call("lchown symlink", lchown(s.at("s").c_str(), 42, 43));
    s.call("chown missing", chown(s.at("missing").c_str(), 1, 1));
    s.stat("f");
    s.stat("s");
    s.call("chown through symlink", chown(s.at("s").c_str(), 7, 8));
    s.stat("f");
    const struct timespec times[2] = {{1000000000, 500}, {1200000000, 250000}};
    const struct timespec omitAtime[2] = {{0, UTIME_OMIT}, {1300000000, 1}};
    const struct timespec linkTimes[2] = {{900000000, 0}, {900000001, 0}};
    s.call("utimens", utimensat(AT_FDCWD, s.at("f").c_str(), times, 0));
    s.call("utimens missing", utimensat(AT_FDCWD, s.at("missing").c_str(), times, 0));
    s.call("utimens omit atime", utimensat(AT_FDCWD, s.at("f").c_str(), omitAtime, 0));
    s.call("utimens symlink itself",
           utimensat(AT_FDCWD, s.at("s").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW));
    for (const char* name : {"f", "s"}) {
      struct stat st;
      if (s.call(std::string("times ") + name, lstat(s.at(name).c_str(), &st)) == 0) {
        s.value("atime",
                std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_atim.tv_nsec));
        s.value("mtime",
                std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
      }
    }
    s.call("access read", access(s.at("f").c_str(), R_OK));
    s.call("access execute", access(s.at("f").c_str(), X_OK));
    s.call("access missing", access(s.at("missing").c_str(), F_OK));
  });
  // With use_ino the root's inode numbers show through the mount.
  struct stat onMount, onRoot;
  ASSERT_EQ(0, stat((mnt_ + "/f").c_str(), &onMount));
  ASSERT_EQ(0, stat((root_ + "/f").c_str(), &onRoot));
  EXPECT_EQ(onRoot.st_ino, onMount.st_ino);
}

TEST_F(CheckParity, DirectoriesAndStatvfs) {
  ASSERT_NO_FATAL_FAILURE(mount());
  expectParity(plain_, mnt_, [&](Steps& s) {
    s.call("mkdir", mkdir(s.at("d").c_str(), 0755));
    s.call("mkdir sub", mkdir(s.at("d/sub").c_str(), 0755));
    writeFile(s.at("d/file"), "x");
    s.call("symlink", symlink("file", s.at("d/link").c_str()));
    s.call("mkfifo", mkfifo(s.at("d/fifo").c_str(), 0600));
    for (int i = 0; i < 300; ++i) writeFile(s.at("d/sub/n" + std::to_string(i)), "");
    for (const char* name : {"d", "d/sub", "missing", "d/file"}) {
      DIR* dir = opendir(s.at(name).c_str());
      if (s.call(std::string("opendir ") + name, dir == nullptr ? -1 : 0) != 0) continue;
      std::vector<std::string> entries;
      while (const dirent* e = readdir(dir)) {
        entries.push_back(std::string(e->d_name) + ":" + std::to_string(e->d_type));
      }
      closedir(dir);
      std::sort(entries.begin(), entries.end());
      std::string all;
      for (const std::string& e : entries) all += e + " ";
      s.value(std::string("entries ") + name, all);
    }
    struct statvfs st;
    if (s.call("statvfs", statvfs(s.at("d").c_str(), &st)) == 0) {
      s.value("statvfs", "bsize " + std::to_string(st.f_bsize) + " blocks " +
                             std::to_string(st.f_blocks) + " namemax " +
                             std::to_string(st.f_namemax));
    }
    s.call("statvfs missing", statvfs(s.at("missing").c_str(), &st));
  });
}

}  // namespace
}  // namespace checktest
