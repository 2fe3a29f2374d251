// vaskFScheck: a pass-through FUSE filesystem that logs every call and
// reports accesses that a converting filesystem cannot serve (writes behind
// the end of the previous write, reads or writes against the open direction).
//
// Thread safety: libfuse runs the operations on several threads. The globals
// below are written only by main before fuse_main_real starts and are read-only
// afterwards. Log lines and reports are written whole by one locked call, so
// lines of concurrent operations never interleave. A CheckHandle's expected
// offset is guarded by the handle's own mutex.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

// The command line as main has settled it.
struct VaskfsArgs {
  std::string mountDir;  // absolute
  std::string rootDir;   // absolute, without a trailing "/" (except the root "/" itself)
  std::array<std::string, 32> fuseArgv;  // slot 0 program name, slot 1 mount point
  int fuseArgc = 2;
};

// Absolute names (physical paths, the root and mount point made absolute)
// must fit in a buffer of this size including the terminating zero.
constexpr size_t kNameBufferSize = 1024;

// Prefix and command line of the caller text together.
constexpr size_t kCallerTextSize = 256;

extern VaskfsArgs vaskfsArgs;
extern FILE* fileLog;  // null after -q; stderr or the -l file otherwise
extern int savefd;     // descriptor of the root, consumed by xmp_init

// Per-open-file record, owned by libfuse's fuse_file_info::fh from a
// successful open or create until release deletes it. Closes its descriptor
// when destroyed. fd and writeOnly are fixed once the handle is stored;
// expectedOffset is read and written only under offsetLock, which a write holds
// from the offset test through the pwrite to the update, so concurrent writes
// through one open file are checked one after the other.
struct CheckHandle {
  int64_t fd = -1;
  int64_t expectedOffset = 0;
  int writeOnly = 0;
  std::mutex offsetLock;

  CheckHandle() = default;
  CheckHandle(const CheckHandle&) = delete;
  CheckHandle& operator=(const CheckHandle&) = delete;
  ~CheckHandle();
};

// The handle carried by fi, or null when libfuse passes none.
CheckHandle* handleOf(const fuse_file_info* fi);

// rootDir followed by path (which begins with "/"). Returns 0, or
// -ENAMETOOLONG when the result would not fit in kNameBufferSize.
int physicalPath(const char* path, std::string& out);

// 0 for a system-call result other than -1, else the negated errno.
inline int negErrno(long rc) { return rc == -1 ? -errno : 0; }

// "<thread>[<pid>] <program>" of the process behind the current request,
// at most kCallerTextSize - 1 bytes.
std::string callerName();

// Writes one log line to fileLog; does nothing when logging is off.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one usage report to fileLog, or to stderr when logging is off.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one whole line to stream (locked, flushed).
void writeLine(FILE* stream, const std::string& line);

// What an operation on one name begins with: the physical path, then the
// log line "<caller>[<operation>] <physical path>". Returns what
// call(physical path) returns, the refusal of a name that is too long, or
// -ENOMEM when memory runs out on the way.
template <class Call>
int onPath(const char* operation, const char* path, Call call) noexcept {
  try {
    std::string phys;
    if (const int rc = physicalPath(path, phys)) return rc;
    if (fileLog != nullptr) logLine("%s[%s] %s\n", callerName().c_str(), operation, phys.c_str());
    return call(phys);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}

// The operations, each catching std::bad_alloc at its boundary (-ENOMEM).
int xmp_getattr(const char* path, struct stat* st, fuse_file_info* fi);
int xmp_readlink(const char* path, char* buf, size_t size);
int xmp_mknod(const char* path, mode_t mode, dev_t rdev);
int xmp_mkdir(const char* path, mode_t mode);
int xmp_unlink(const char* path);
int xmp_rmdir(const char* path);
int xmp_symlink(const char* from, const char* to);
int xmp_rename(const char* from, const char* to, unsigned int flags);
int xmp_link(const char* from, const char* to);
int xmp_chmod(const char* path, mode_t mode, fuse_file_info* fi);
int xmp_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi);
int xmp_truncate(const char* path, off_t size, fuse_file_info* fi);
int xmp_open(const char* path, fuse_file_info* fi);
int xmp_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi);
int xmp_write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi);
int xmp_statfs(const char* path, struct statvfs* st);
int xmp_release(const char* path, fuse_file_info* fi);
int xmp_fsync(const char* path, int datasync, fuse_file_info* fi);
int xmp_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                fuse_file_info* fi, fuse_readdir_flags flags);
void* xmp_init(fuse_conn_info* conn, fuse_config* cfg);
int xmp_access(const char* path, int mask);
int xmp_create(const char* path, mode_t mode, fuse_file_info* fi);
int xmp_utimens(const char* path, const struct timespec ts[2], fuse_file_info* fi);

extern const fuse_operations xmp_oper;
