// The one operations table handed to libfuse.
#include "vaskFS.h"

namespace {

fuse_operations makeOperations() {
  fuse_operations op = {};
  op.getattr = vaskFS_getattr;
  op.readlink = vaskFS_readlink;
  op.mknod = vaskFS_mknod;
  op.mkdir = vaskFS_mkdir;
  op.unlink = vaskFS_unlink;
  op.rmdir = vaskFS_rmdir;
  op.symlink = vaskFS_symlink;
  op.rename = vaskFS_rename;
  op.link = vaskFS_link;
  op.chmod = vaskFS_chmod;
  op.chown = vaskFS_chown;
  op.truncate = vaskFS_truncate;
  op.open = vaskFS_open;
  op.read = vaskFS_read;
  op.write = vaskFS_write;
  op.statfs = vaskFS_statfs;
  // close(2) waits for flush, not for release: buffered data that cannot
  // be stored is reported here.
  op.flush = vaskFS_flush;
  op.release = vaskFS_release;
  op.fsync = vaskFS_fsync;
  op.readdir = vaskFS_readdir;
  op.init = vaskFS_init;
  op.access = vaskFS_access;
  op.create = vaskFS_create;
  op.utimens = vaskFS_utimens;
  return op;
}

}  // namespace

const fuse_operations vaskFS_oper = makeOperations();
