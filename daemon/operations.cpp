// The one operations table handed to libfuse. Every request passes here:
// names of the index are refused, the caller's identity is taken for the
// length of the request, and nothing thrown gets out to libfuse.
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>

#include "state.h"
#include "locks.h"
#include "identity.h"
#include "handle.h"
#include "operations.h"
#include "xattr.h"
#include "buffers.h"
#include "applocks.h"
#include "passthrough.h"
#include "rename.h"

bool reservedPath(std::string_view path) {
  size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == '/') ++at;
    if (path.compare(at, 10, ".vaskIndex") == 0) return true;
    at = path.find('/', at);
  }
  return false;
}

namespace {

constexpr int kExisting = ENOENT;  // a reserved name asked for
constexpr int kMade = EACCES;      // a reserved name to be made

// 0, or the negated errno for a reserved `path`.
int refusal(const char* path, int error) {
  return path != nullptr && reservedPath(path) ? -error : 0;
}

// What a request locks before it runs (see locks.h for the order).
enum class Locks {
  Tree,       // the tree shared only: listings, lookups that record nothing
  File,       // the tree shared and the file's lock
  Namespace,  // the tree exclusively
  // The data of an open file: the tree shared, and for a converted file
  // the handle's conversion lock (reads) or the file's lock (writes). A
  // plain file's descriptor is read and written at any offset by many
  // threads at once (pread and pwrite need no lock of ours); its handle is
  // plain or not for as long as the tree is held.
  ReadData,
  WriteData,
};

// The kernel caps read-ahead when the session begins, and no request comes
// before that.
void firstRequest() {
  static std::once_flag begun;
  std::call_once(begun, raiseReadAhead);
}

// Runs one request as `id` with the locks `locks` asks for; `fileName`
// gives the name whose lock File takes. A thrown error becomes its errno.
template <class Name, class Call>
int serveAs(const CallerIdentity& id, Locks locks, Name fileName, FileHandle* h, Call call) {
  try {
    firstRequest();
    TreeGuard tree(locks == Locks::Namespace);
    std::optional<FileGuard> file;
    // A plain writer that could not follow a rename has no descriptor: it
    // takes the locks of a converted file's requests.
    const bool converted = h == nullptr || !h->plain || h->fd == -1;
    if (locks == Locks::File || (locks == Locks::WriteData && converted)) file.emplace(fileName());
    std::unique_lock<std::mutex> use;
    if (locks == Locks::ReadData && converted && h != nullptr)
      use = std::unique_lock<std::mutex>(h->useMutex);  // its stream and read position
    IdentityGuard guard(id);
    if (guard.failed()) return -EPERM;
    return call();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const std::system_error& e) {
    return e.code().value() > 0 ? -e.code().value() : -EIO;
  } catch (...) {
    return -EIO;
  }
}

// A request on a name: refused when reserved, else run as the caller.
template <class Call>
int serve(const char* path, int error, Locks locks, Call call) {
  if (const int rc = refusal(path, error); rc != 0) return rc;
  return serveAs(requestIdentity(), locks, [&] { return logicalName(path); }, nullptr, call);
}

// A request on an open file acts as its opener, under the lock of the
// file's current name (a rename that changes it holds the tree).
template <class Call>
int serveHandle(const char* path, fuse_file_info* fi, Locks locks, Call call) {
  FileHandle* h = handleOf(fi);
  const CallerIdentity id = h != nullptr && h->opener.valid ? h->opener : requestIdentity();
  return serveAs(
      id, locks, [&] { return h != nullptr ? h->logicalPath : logicalName(path); }, h, call);
}

int onGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  // A lookup may record a first sight, recover or drop records.
  return serve(path, kExisting, Locks::File, [&] { return vaskFS_getattr(path, st, fi); });
}
int onReadlink(const char* path, char* buf, size_t size) {
  return serve(path, kExisting, Locks::Tree, [&] { return vaskFS_readlink(path, buf, size); });
}
int onMknod(const char* path, mode_t mode, dev_t rdev) {
  return serve(path, kMade, Locks::File, [&] { return vaskFS_mknod(path, mode, rdev); });
}
int onMkdir(const char* path, mode_t mode) {
  return serve(path, kMade, Locks::File, [&] { return vaskFS_mkdir(path, mode); });
}
int onUnlink(const char* path) {
  return serve(path, kExisting, Locks::Namespace, [&] { return vaskFS_unlink(path); });
}
int onRmdir(const char* path) {
  return serve(path, kExisting, Locks::Namespace, [&] { return vaskFS_rmdir(path); });
}
int onSymlink(const char* text, const char* path) {
  return serve(path, kMade, Locks::File, [&] { return vaskFS_symlink(text, path); });
}
int onRename(const char* from, const char* to, unsigned int flags) {
  if (const int rc = refusal(to, kMade); rc != 0) return rc;
  return serve(from, kExisting, Locks::Namespace,
               [&] { return vaskFS_rename(from, to, flags); });
}
int onLink(const char* from, const char* to) {
  if (const int rc = refusal(to, kMade); rc != 0) return rc;
  return serve(from, kExisting, Locks::Namespace, [&] { return vaskFS_link(from, to); });
}
int onChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  return serve(path, kExisting, Locks::File, [&] { return vaskFS_chmod(path, mode, fi); });
}
int onChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  return serve(path, kExisting, Locks::File, [&] { return vaskFS_chown(path, uid, gid, fi); });
}
int onTruncate(const char* path, off_t size, fuse_file_info* fi) {
  if (const int rc = refusal(path, kExisting); rc != 0) return rc;
  return serveHandle(path, fi, Locks::File, [&] { return vaskFS_truncate(path, size, fi); });
}
// An open for an application (the daemon's own opens, for copies, never
// reach the kernel): a plain file may be handed to the kernel.
int opened(const char* path, int rc, fuse_file_info* fi) {
  FileHandle* h = handleOf(fi);
  if (rc != 0 || h == nullptr) return rc;
  if (const int refused = passThrough(*h, fi); refused != 0) {
    vaskFS_release(path, fi);
    return refused;
  }
  return 0;
}
int onOpen(const char* path, fuse_file_info* fi) {
  return serve(path, kExisting, Locks::File,
               [&] { return opened(path, vaskFS_open(path, fi), fi); });
}
int onCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  return serve(path, kMade, Locks::File,
               [&] { return opened(path, vaskFS_create(path, mode, fi), fi); });
}
int onReadBuf(const char* path, fuse_bufvec** bufp, size_t size, off_t offset, fuse_file_info* fi) {
  // Reads of different files, and of one file through different handles,
  // run side by side; a converted file's handle is locked inside.
  return serveHandle(path, fi, Locks::ReadData,
                     [&] { return vaskFS_read_buf(path, bufp, size, offset, fi); });
}
int onWriteBuf(const char* path, fuse_bufvec* buf, off_t offset, fuse_file_info* fi) {
  return serveHandle(path, fi, Locks::WriteData,
                     [&] { return vaskFS_write_buf(path, buf, offset, fi); });
}
int onFlush(const char* path, fuse_file_info* fi) {
  return serveHandle(path, fi, Locks::File, [&] {
    if (const FileHandle* h = handleOf(fi); h != nullptr) noteHandleClosing(*h);
    return vaskFS_flush(path, fi);
  });
}
int onRelease(const char* path, fuse_file_info* fi) {
  const int rc = serveHandle(path, fi, Locks::File, [&] { return vaskFS_release(path, fi); });
  // A conversion that waited for this open runs as the renamer, with the
  // tree held as a rename holds it.
  if (DueConversion due; takeConversionDue(due))
    serveAs(due.renamer, Locks::Namespace, [] { return std::string(); }, nullptr,
            [&] { return convertDeferred(due); });
  return rc;
}
int onFsync(const char* path, int dataSync, fuse_file_info* fi) {
  return serveHandle(path, fi, Locks::File, [&] { return vaskFS_fsync(path, dataSync, fi); });
}
int onStatfs(const char* path, struct statvfs* st) {
  return serve(path, kExisting, Locks::Tree, [&] { return vaskFS_statfs(path, st); });
}
int onReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi,
              fuse_readdir_flags flags) {
  return serve(path, kExisting, Locks::Tree,
               [&] { return vaskFS_readdir(path, buf, filler, offset, fi, flags); });
}
int onAccess(const char* path, int mode) {
  return serve(path, kExisting, Locks::Tree, [&] { return vaskFS_access(path, mode); });
}
int onUtimens(const char* path, const struct timespec ts[2], fuse_file_info* fi) {
  return serve(path, kExisting, Locks::File, [&] { return vaskFS_utimens(path, ts, fi); });
}

int onFallocate(const char* path, int mode, off_t offset, off_t length, fuse_file_info* fi) {
  if (const int rc = refusal(path, kExisting); rc != 0) return rc;
  return serveHandle(path, fi, Locks::File,
                     [&] { return vaskFS_fallocate(path, mode, offset, length, fi); });
}
ssize_t onCopyFileRange(const char* pathIn, fuse_file_info* fiIn, off_t offsetIn,
                        const char* pathOut, fuse_file_info* fiOut, off_t offsetOut, size_t size,
                        int flags) {
  if (const int rc = refusal(pathOut, kExisting); rc != 0) return rc;
  // Written as the opener of the file written to, as a write would be.
  return serveHandle(pathOut, fiOut, Locks::File, [&] {
    return static_cast<int>(vaskFS_copy_file_range(pathIn, fiIn, offsetIn, pathOut, fiOut,
                                                   offsetOut, size, flags));
  });
}

// Extended attributes: a change edits the file's stored attributes.
int onSetxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return serve(path, kExisting, Locks::File,
               [&] { return vaskFS_setxattr(path, name, value, size, flags); });
}
int onGetxattr(const char* path, const char* name, char* value, size_t size) {
  return serve(path, kExisting, Locks::Tree,
               [&] { return vaskFS_getxattr(path, name, value, size); });
}
int onListxattr(const char* path, char* list, size_t size) {
  return serve(path, kExisting, Locks::Tree, [&] { return vaskFS_listxattr(path, list, size); });
}
int onRemovexattr(const char* path, const char* name) {
  return serve(path, kExisting, Locks::File, [&] { return vaskFS_removexattr(path, name); });
}

// Applications' locks: the descriptor that carries one is found under the
// file's lock, the lock is then set holding none of the daemon's locks, so
// that a wait for it stalls nobody else.
int onLock(const char* path, fuse_file_info* fi, int cmd, struct flock* lock) {
  if (const int rc = refusal(path, kExisting); rc != 0) return rc;
  LockCarrier carrier;
  const int rc = serveHandle(path, fi, Locks::File, [&] {
    FileHandle* h = handleOf(fi);
    return h == nullptr ? -EBADF
                        : recordLockCarrier(*h, fi->lock_owner, cmd, lock->l_type, carrier);
  });
  if (rc != 0) return rc;
  try {
    return applyRecordLock(carrier, cmd, lock);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}
int onFlock(const char* path, fuse_file_info* fi, int op) {
  if (const int rc = refusal(path, kExisting); rc != 0) return rc;
  LockCarrier carrier;
  const int rc = serveHandle(path, fi, Locks::File, [&] {
    FileHandle* h = handleOf(fi);
    return h == nullptr ? -EBADF : flockCarrier(*h, (op & LOCK_UN) != 0, carrier);
  });
  if (rc != 0) return rc;
  try {
    return applyFlock(carrier, op);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}

fuse_operations makeOperations() {
  fuse_operations op = {};
  op.getattr = onGetattr;
  op.readlink = onReadlink;
  op.mknod = onMknod;
  op.mkdir = onMkdir;
  op.unlink = onUnlink;
  op.rmdir = onRmdir;
  op.symlink = onSymlink;
  op.rename = onRename;
  op.link = onLink;
  op.chmod = onChmod;
  op.chown = onChown;
  op.truncate = onTruncate;
  op.open = onOpen;
  // libfuse calls read and write only where these are missing.
  op.read_buf = onReadBuf;
  op.write_buf = onWriteBuf;
  op.statfs = onStatfs;
  // close(2) waits for flush, not for release: buffered data that cannot
  // be stored is reported here.
  op.flush = onFlush;
  op.release = onRelease;
  op.fsync = onFsync;
  op.readdir = onReaddir;
  op.init = vaskFS_init;
  op.access = onAccess;
  op.create = onCreate;
  op.utimens = onUtimens;
  op.fallocate = onFallocate;
  op.copy_file_range = onCopyFileRange;
  op.setxattr = onSetxattr;
  op.getxattr = onGetxattr;
  op.listxattr = onListxattr;
  op.removexattr = onRemovexattr;
  op.lock = onLock;
  op.flock = onFlock;
  return op;
}

}  // namespace

const fuse_operations vaskFS_oper = makeOperations();
