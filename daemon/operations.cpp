// The one operations table handed to libfuse. Every request passes here:
// names of the index are refused, the caller's identity is taken for the
// length of the request, and nothing thrown gets out to libfuse.
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "vaskFS.h"

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

// Runs one request as `id`; a thrown error becomes its errno.
template <class Call>
int serveAs(const CallerIdentity& id, Call call) {
  try {
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
int serve(const char* path, int error, Call call) {
  if (const int rc = refusal(path, error); rc != 0) return rc;
  return serveAs(requestIdentity(), call);
}

// A request on an open file acts as its opener.
template <class Call>
int serveHandle(fuse_file_info* fi, Call call) {
  const FileHandle* h = handleOf(fi);
  if (h != nullptr && h->opener.valid) return serveAs(h->opener, call);
  return serveAs(requestIdentity(), call);
}

int getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return serve(path, kExisting, [&] { return vaskFS_getattr(path, st, fi); });
}
int readlink(const char* path, char* buf, size_t size) {
  return serve(path, kExisting, [&] { return vaskFS_readlink(path, buf, size); });
}
int mknod(const char* path, mode_t mode, dev_t rdev) {
  return serve(path, kMade, [&] { return vaskFS_mknod(path, mode, rdev); });
}
int mkdir(const char* path, mode_t mode) {
  return serve(path, kMade, [&] { return vaskFS_mkdir(path, mode); });
}
int unlink(const char* path) {
  return serve(path, kExisting, [&] { return vaskFS_unlink(path); });
}
int rmdir(const char* path) {
  return serve(path, kExisting, [&] { return vaskFS_rmdir(path); });
}
int symlink(const char* text, const char* path) {
  return serve(path, kMade, [&] { return vaskFS_symlink(text, path); });
}
int rename(const char* from, const char* to, unsigned int flags) {
  if (const int rc = refusal(to, kMade); rc != 0) return rc;
  return serve(from, kExisting, [&] { return vaskFS_rename(from, to, flags); });
}
int link(const char* from, const char* to) {
  if (const int rc = refusal(to, kMade); rc != 0) return rc;
  return serve(from, kExisting, [&] { return vaskFS_link(from, to); });
}
int chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  return serve(path, kExisting, [&] { return vaskFS_chmod(path, mode, fi); });
}
int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  return serve(path, kExisting, [&] { return vaskFS_chown(path, uid, gid, fi); });
}
int truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (const int rc = refusal(path, kExisting); rc != 0) return rc;
  return serveHandle(fi, [&] { return vaskFS_truncate(path, size, fi); });
}
int open(const char* path, fuse_file_info* fi) {
  return serve(path, kExisting, [&] { return vaskFS_open(path, fi); });
}
int create(const char* path, mode_t mode, fuse_file_info* fi) {
  return serve(path, kMade, [&] { return vaskFS_create(path, mode, fi); });
}
int read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return serveHandle(fi, [&] { return vaskFS_read(path, buf, size, offset, fi); });
}
int write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return serveHandle(fi, [&] { return vaskFS_write(path, buf, size, offset, fi); });
}
int flush(const char* path, fuse_file_info* fi) {
  return serveHandle(fi, [&] { return vaskFS_flush(path, fi); });
}
int release(const char* path, fuse_file_info* fi) {
  return serveHandle(fi, [&] { return vaskFS_release(path, fi); });
}
int fsync(const char* path, int dataSync, fuse_file_info* fi) {
  return serveHandle(fi, [&] { return vaskFS_fsync(path, dataSync, fi); });
}
int statfs(const char* path, struct statvfs* st) {
  return serve(path, kExisting, [&] { return vaskFS_statfs(path, st); });
}
int readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi,
            fuse_readdir_flags flags) {
  return serve(path, kExisting,
               [&] { return vaskFS_readdir(path, buf, filler, offset, fi, flags); });
}
int access(const char* path, int mode) {
  return serve(path, kExisting, [&] { return vaskFS_access(path, mode); });
}
int utimens(const char* path, const struct timespec ts[2], fuse_file_info* fi) {
  return serve(path, kExisting, [&] { return vaskFS_utimens(path, ts, fi); });
}

fuse_operations makeOperations() {
  fuse_operations op = {};
  op.getattr = getattr;
  op.readlink = readlink;
  op.mknod = mknod;
  op.mkdir = mkdir;
  op.unlink = unlink;
  op.rmdir = rmdir;
  op.symlink = symlink;
  op.rename = rename;
  op.link = link;
  op.chmod = chmod;
  op.chown = chown;
  op.truncate = truncate;
  op.open = open;
  op.read = read;
  op.write = write;
  op.statfs = statfs;
  // close(2) waits for flush, not for release: buffered data that cannot
  // be stored is reported here.
  op.flush = flush;
  op.release = release;
  op.fsync = fsync;
  op.readdir = readdir;
  op.init = vaskFS_init;
  op.access = access;
  op.create = create;
  op.utimens = utimens;
  return op;
}

}  // namespace

const fuse_operations vaskFS_oper = makeOperations();
