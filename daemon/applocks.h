// Applications' locks on open files: fcntl(2) record locks and flock(2).
//
// A plain file's locks are the physical file's own, so that users of the
// same file on other hosts of a shared root (or beside the mount) are kept
// apart as on a local file. A converted file's physical file carries the
// writer lock, and some distributed filesystems make flock and record locks
// one kind, so its applications' locks stay among this mount's users.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cstdint>
#include <memory>
#include <string>

struct FileHandle;

// The serving threads, set before serving. Waits for locks may take all
// but one of them: the last stays free for the requests of the holders,
// whose unlock would otherwise queue behind the waits, so a further wait
// (any wait, on one thread) fails with EDEADLK instead of stalling the
// mount for everybody.
extern unsigned lockServingThreads;

// The descriptor an application's lock is taken on, found under the file's
// lock; the lock itself is then set without any of the daemon's locks held,
// since it may wait.
struct LockDescriptor;
struct LockCarrier {
  std::shared_ptr<LockDescriptor> descriptor;  // null: nothing to unlock
  std::string file;                            // the file's key
  uint64_t owner = 0;                          // the fcntl lock owner
  const FileHandle* handle = nullptr;          // whose flock it is
};

// Finds the descriptor of `h`'s fcntl lock owner `owner` for request `cmd`
// with lock type `type`: an unlock needs an existing one, a test takes a
// passing one when the owner has none, a lock opens and keeps one.
int recordLockCarrier(FileHandle& h, uint64_t owner, int cmd, short type, LockCarrier& carrier);
// Finds or opens the descriptor of `h`'s flock lock (an unlock only finds).
int flockCarrier(FileHandle& h, bool unlock, LockCarrier& carrier);
// F_GETLK, F_SETLK or F_SETLKW with `lock` on the carrier; 0 or -errno.
int applyRecordLock(LockCarrier& carrier, int cmd, struct flock* lock);
// LOCK_SH, LOCK_EX or LOCK_UN, with or without LOCK_NB; 0 or -errno.
int applyFlock(LockCarrier& carrier, int op);
// Notes that a descriptor of `h` was closed (a flush): its release may
// follow, and a flock that finds its lock waits a little for that.
void noteHandleClosing(const FileHandle& h);
// Drops the flock descriptor of a handle that goes away.
void dropHandleLocks(const FileHandle& h);
