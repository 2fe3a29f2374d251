// Applications' locks through one mount: a plain file's are the physical
// file's (a process on the root sees them), a process's record locks are
// one owner's whatever descriptor took them and go with any close, a
// blocking request waits for the holder, and a mount that serves on one
// thread refuses to wait rather than hang.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class LocksTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setRules({{'w', 1, "*.txt", "[copy].gz", "write.bin(file='' comp.gzip())", "format.bin()"},
              {'r', 1, "*.gz", "[path]/[base]", "read.bin(file='' comp.gzip())", "format.bin()"}});
    setCatchAll();
  }

  // Whether another process (a child) gets the lock at once.
  bool childLocks(const std::string& name, struct flock l) {
    const pid_t child = fork();
    if (child == 0) {
      const int fd = open(name.c_str(), O_RDWR);
      _exit(fd >= 0 && fcntl(fd, F_SETLK, &l) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

TEST_F(LocksTest, PlainFilesLockTheirPhysicalFile) {
  mount();
  ASSERT_EQ(0, sh("head -c 100 /dev/zero > $MNT/db; echo x > $MNT/n.txt").status);
  const std::string db = mnt_ + "/db";
  const int one = open(db.c_str(), O_RDWR);
  const int two = open(db.c_str(), O_RDWR);
  ASSERT_GE(one, 0);
  ASSERT_GE(two, 0);
  // One process, one owner: its descriptors never conflict with each other.
  struct flock l = lockRange(F_WRLCK, 0, 10);
  ASSERT_EQ(0, fcntl(one, F_SETLK, &l)) << std::strerror(errno);
  l = lockRange(F_WRLCK, 5, 10);
  EXPECT_EQ(0, fcntl(two, F_SETLK, &l)) << std::strerror(errno);
  EXPECT_FALSE(childLocks(db, lockRange(F_RDLCK, 12, 1)));
  EXPECT_TRUE(childLocks(db, lockRange(F_WRLCK, 20, 5)));
  // A process on the root itself meets the same locks.
  const ShellResult beside =
      sh("python3 -c 'import fcntl,sys; f=open(sys.argv[1],\"r+\"); "
         "fcntl.lockf(f, fcntl.LOCK_EX|fcntl.LOCK_NB, 1, 12)' $ROOT/db 2> /dev/null && exit 3; "
         "exit 7");
  EXPECT_EQ(7, beside.status) << "a lock on the physical file beside the mount was free";
  // Closing any descriptor ends all of the process's record locks.
  ASSERT_EQ(0, close(two));
  EXPECT_TRUE(childLocks(db, lockRange(F_WRLCK, 0, 20)));
  ASSERT_EQ(0, close(one));

  // flock(1) through the mount and on the root exclude each other.
  const ShellResult r =
      sh("fails() { if \"$@\"; then return 1; fi; }\n"
         "set -e; flock $MNT/db sleep 1.5 & sleep 0.4\n"
         "fails flock -n $ROOT/db true ; fails flock -n $MNT/db true; wait\n"
         "flock -n $ROOT/db true; flock -n $MNT/db true");
  EXPECT_EQ(0, r.status) << r.output;
}

TEST_F(LocksTest, AFlockEndsWithTheCloseOfItsLastDescriptor) {
  // The kernel sends the release that ends a flock after close(2) has
  // returned; the next flock must not find the lock still held.
  mount();
  ASSERT_EQ(0, sh("echo x > $MNT/p.dat; echo x > $MNT/c.txt").status);
  for (const char* name : {"/p.dat", "/c.txt"}) {
    const std::string file = mnt_ + name;
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
      const int one = open(file.c_str(), O_RDONLY);
      const int two = open(file.c_str(), O_RDONLY);
      ASSERT_GE(one, 0) << name;
      ASSERT_GE(two, 0) << name;
      ASSERT_EQ(0, flock(one, LOCK_EX | LOCK_NB)) << name << ' ' << std::strerror(errno);
      ASSERT_EQ(0, close(one));
      if (flock(two, LOCK_EX | LOCK_NB) != 0) ++refused;
      close(two);
    }
    EXPECT_EQ(0, refused) << name << ": a closed holder's flock was still in force";

    // A descriptor that outlives the close keeps the lock.
    const int one = open(file.c_str(), O_RDONLY);
    const int two = open(file.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(one, LOCK_EX | LOCK_NB)) << name;
    const int copy = dup(one);
    ASSERT_EQ(0, close(one));
    EXPECT_EQ(-1, flock(two, LOCK_EX | LOCK_NB)) << name;
    EXPECT_EQ(EWOULDBLOCK, errno) << name;
    ASSERT_EQ(0, close(copy));
    EXPECT_EQ(0, flock(two, LOCK_EX)) << name << ' ' << std::strerror(errno);
    close(two);
  }
}

TEST_F(LocksTest, ABlockingRequestWaitsForTheHolder) {
  mount();
  ASSERT_EQ(0, sh("head -c 100 /dev/zero > $MNT/db").status);
  const std::string db = mnt_ + "/db";
  const int fd = open(db.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock l = lockRange(F_WRLCK, 0, 0);
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &l));
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int mine = open(db.c_str(), O_RDWR);
    struct flock wait = lockRange(F_WRLCK, 0, 0);
    alarm(10);  // a wait that never ends fails the test
    _exit(mine >= 0 && fcntl(mine, F_SETLKW, &wait) == 0 ? 0 : 1);
  }
  // Other requests go on while the child waits.
  usleep(300000);
  EXPECT_EQ(0, sh("cat $MNT/db > /dev/null && ls $MNT > /dev/null").status);
  ASSERT_EQ(0, close(fd));
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(LocksTest, OneServingThreadRefusesToWait) {
  mount({"-s"});
  ASSERT_EQ(0, sh("head -c 100 /dev/zero > $MNT/db").status);
  const int fd = open((mnt_ + "/db").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock l = lockRange(F_WRLCK, 0, 0);
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &l));
  const pid_t child = fork();
  if (child == 0) {
    const int mine = open((mnt_ + "/db").c_str(), O_RDWR);
    struct flock wait = lockRange(F_WRLCK, 0, 0);
    alarm(10);  // a wait that never ends fails the test
    _exit(mine >= 0 && fcntl(mine, F_SETLKW, &wait) == -1 && errno == EDEADLK ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // A free lock is taken as usual.
  ASSERT_EQ(0, close(fd));
  const ShellResult r = sh("flock $MNT/db true");
  EXPECT_EQ(0, r.status) << r.output;
}

// Waiters may take all serving threads but one: the holder's requests are
// still served (here a read and its unlock), a further waiter is refused,
// and the ones that waited get the lock once it is free.
TEST_F(LocksTest, WaitersLeaveOneServingThreadFree) {
  mount({"-o", "threads=3"});
  ASSERT_EQ(0, sh("head -c 100 /dev/zero > $MNT/db").status);
  const int fd = open((mnt_ + "/db").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  auto waiter = [&] {
    const pid_t child = fork();
    if (child == 0) {
      const int mine = open((mnt_ + "/db").c_str(), O_RDWR);
      alarm(20);  // a wait that never ends fails the test
      _exit(mine >= 0 && flock(mine, LOCK_EX) == 0 ? 0 : 1);
    }
    return child;
  };
  const pid_t first = waiter();
  const pid_t second = waiter();
  sleep(1);
  int status = -1;
  EXPECT_EQ(0, waitpid(first, &status, WNOHANG)) << "the first waiter did not wait";
  EXPECT_EQ(0, waitpid(second, &status, WNOHANG)) << "the second waiter did not wait";
  // A third waiter is refused. Were it to wait, every serving thread would
  // be taken and nothing could end it but the daemon's death.
  const pid_t third = fork();
  if (third == 0) {
    const int mine = open((mnt_ + "/db").c_str(), O_RDWR);
    _exit(mine >= 0 && flock(mine, LOCK_EX) == -1 && errno == EDEADLK ? 0 : 1);
  }
  bool answered = false;
  for (int i = 0; i < 100 && !answered; ++i) {
    answered = waitpid(third, &status, WNOHANG) == third;
    if (!answered) usleep(50000);
  }
  if (!answered) {
    kill(daemon_.pid(), SIGKILL);
    waitpid(third, &status, 0);
    for (const pid_t child : {first, second}) waitpid(child, nullptr, 0);
    close(fd);
    FAIL() << "a third waiter took the last serving thread: the mount hung";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the third waiter was not refused";
  char byte;
  EXPECT_EQ(1, pread(fd, &byte, 1, 0));
  ASSERT_EQ(0, flock(fd, LOCK_UN));
  for (const pid_t child : {first, second}) {
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  close(fd);
}

}  // namespace
}  // namespace daemontest
