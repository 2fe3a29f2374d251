// Files that the rules store unchanged behave as files of a local file
// system for the programs that need more than a stream (databases,
// linkers, editors, mmap), while converted files next to them keep the
// stream's rules. The programs run as an ordinary user on a shared mount.
#include <sys/stat.h>

#include "daemon_fixture.h"

namespace daemontest {
namespace {

class PlainFileTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setGzipBesidePlain();
    letOthersReachTheMount();
    if (HasFatalFailure()) return;
    mountWithFuseArgs({}, {"-o", "allow_other"});
    ASSERT_EQ(0, sh("mkdir $MNT/u && chown 65534:65534 $MNT/u").status);
  }

  // Each script runs as nobody in a directory of its own under $MNT/u
  // (its root side is $R).
  void runAsNobody(const std::vector<ScriptCase>& cases) {
    int n = 0;
    for (const ScriptCase& c : cases) {
      const std::string dir = "u/c" + std::to_string(++n);
      const ShellResult r = shNobody("set -e; mkdir $MNT/" + dir + "; cd $MNT/" + dir +
                                     "; R=$ROOT/" + dir + "\n" + c.script);
      EXPECT_EQ(0, r.status) << c.name << "\n" << r.output;
    }
  }
};

TEST_F(PlainFileTest, ProgramsThatNeedAFileWork) {
  runAsNobody({
      {"dd conv=notrunc writes into the middle",
       "head -c 8192 /dev/zero > d; printf XY | dd of=d bs=1 seek=2 conv=notrunc status=none;"
       " test $(stat -c %s d) = 8192; test \"$(head -c 4 $R/d | od -An -c | tr -d ' ')\" = "
       "'\\0\\0XY'"},
      {"truncate up and down, and the bytes that remain",
       "seq 1 2000 > t; truncate -s 100 t; test $(stat -c %s t) = 100;"
       " seq 1 2000 | head -c 100 | cmp - t; truncate -s 5000 t; test $(stat -c %s $R/t) = 5000;"
       " test $(tail -c 4900 t | tr -d '\\0' | wc -c) = 0"},
      {"a shared writable mapping reaches the physical file",
       "python3 -c \"import mmap,os\n"
       "fd=os.open('m',os.O_RDWR|os.O_CREAT,0o644); os.ftruncate(fd,8192)\n"
       "m=mmap.mmap(fd,8192); m[4096:4101]=b'hello'; m.flush(); m.close(); os.close(fd)\";"
       " test \"$(dd if=$R/m bs=1 skip=4096 count=5 status=none)\" = hello"},
      {"sqlite creates, inserts, updates and reads",
       "sqlite3 db 'create table t(a integer primary key, b text);'"
       " \"insert into t(b) select 'row' || value from generate_series(1,2000);\""
       " \"update t set b='changed' where a % 7 = 0;\" 'pragma integrity_check;' >/dev/null;"
       " test \"$(sqlite3 db 'select count(*) from t where b=\"changed\";')\" = 285;"
       " test \"$(sqlite3 $R/db 'pragma integrity_check;')\" = ok"},
      {"gcc compiles, links and the program runs",
       "printf '#include <stdio.h>\\nint main(void){puts(\"built\");return 7;}\\n' > p.c;"
       " gcc -o p p.c; set +e; ./p > out; rc=$?; set -e; test $rc = 7; test \"$(cat out)\" = "
       "built"},
      {"fio random reads and writes verify with crc32c",
       "fio --name=r --filename=f --size=4m --bs=4k --rw=randrw --ioengine=psync"
       " --verify=crc32c --do_verify=1 --output=log >/dev/null || { cat log; exit 1; };"
       " grep -q 'err= 0' log"},
      {"vim edits a file in place",
       "seq 1 50 > v; vim -Es -u NONE -c '%s/^1$/one/' -c wq v; test \"$(head -1 v)\" = one;"
       " test $(wc -l < $R/v) = 50"},
      {"ln then rm of the first name keeps the data",
       "echo data > a; ln a b; test $(stat -c %h b) = 2; rm a; test \"$(cat b)\" = data;"
       " test $(stat -c %h $R/b) = 1"},
      {"an open file is read, written, stat'ed and truncated after its name is gone",
       "python3 -c \"import os\n"
       "fd=os.open('g',os.O_RDWR|os.O_CREAT,0o600); os.write(fd,b'x'*3000); os.unlink('g')\n"
       "assert os.fstat(fd).st_size==3000; assert os.listdir('.')==[]\n"
       "os.pwrite(fd,b'yy',10); assert os.pread(fd,5,9)==b'xyyxx'; os.fchmod(fd,0o640)\n"
       "os.ftruncate(fd,10); assert os.pread(fd,100,0)==b'x'*10; assert os.fstat(fd).st_size==10\";"
       " stat . >/dev/null; test -z \"$(ls -A)$(ls -A $R)\""},
      {"the size shows while the file is written",
       "python3 -c \"import os\n"
       "fd=os.open('w',os.O_WRONLY|os.O_CREAT,0o644); os.write(fd,b'y'*1234)\n"
       "assert os.stat('w').st_size==1234; os.pwrite(fd,b'z',5000)\n"
       "assert os.stat('w').st_size==5001; os.close(fd)\"; test $(stat -c %s $R/w) = 5001"},
  });
}

TEST_F(PlainFileTest, ConvertedFilesStayStreams) {
  runAsNobody({
      {"a write below the end of a gzip file is refused with ESPIPE",
       "python3 -c \"import os,errno\n"
       "fd=os.open('s.txt',os.O_WRONLY|os.O_CREAT,0o644); os.write(fd,b'a'*100)\n"
       "try:\n  os.pwrite(fd,b'b',10); raise SystemExit('accepted')\n"
       "except OSError as e:\n  assert e.errno==errno.ESPIPE, e\n"
       "os.close(fd)\"; gzip -t $R/s.txt.gz"},
      {"truncating a gzip file to another size than 0 is refused",
       "seq 1 100 > k.txt; fails truncate -s 10 k.txt 2>/dev/null; seq 1 100 | cmp - k.txt"},
      {"a shared writable mapping of a gzip file is refused",
       "seq 1 100 > p.txt; python3 -c \"import mmap,os\n"
       "fd=os.open('p.txt',os.O_RDWR)\n"
       "try:\n  mmap.mmap(fd,10); raise SystemExit('mapped')\n"
       "except OSError: pass\"; seq 1 100 | cmp - p.txt"},
      {"fallocate of a gzip file is not supported, of a plain one it is",
       "seq 1 10 > q.txt; fails fallocate -l 4096 q.txt 2>/dev/null; seq 1 10 | cmp - q.txt;"
       " : > q; fallocate -l 4096 q; test $(stat -c %s $R/q) = 4096"},
      {"a link to a gzip file is refused, the file stays",
       "echo z > l.txt; fails ln l.txt l2.txt 2>/dev/null; test \"$(cat l.txt)\" = z"},
  });
}

// A write by another user than the owner clears set-user-ID, as on a
// local file system; that user still cannot change the mode otherwise.
TEST_F(PlainFileTest, WriteByAnotherUserClearsSetUserId) {
  ASSERT_EQ(0, sh("touch $MNT/s $MNT/t; chmod 04777 $MNT/s $MNT/t").status);
  const ShellResult r = shNobody(
      "set -e; echo x >> $MNT/s; test $(stat -c %a $MNT/s) = 777; test $(stat -c %a $ROOT/s) = 777;"
      " fails chmod 4777 $MNT/s 2>/dev/null; fails chmod 0777 $MNT/t 2>/dev/null;"
      " test $(stat -c %a $ROOT/t) = 4777");
  EXPECT_EQ(0, r.status) << r.output;
}

}  // namespace
}  // namespace daemontest
