// The operations table handed to fuse_main_real; all other slots stay empty.
#include "checker.h"

namespace {

fuse_operations makeOperations() {
  fuse_operations op = {};
  op.getattr = xmp_getattr;
  op.readlink = xmp_readlink;
  op.mknod = xmp_mknod;
  op.mkdir = xmp_mkdir;
  op.unlink = xmp_unlink;
  op.rmdir = xmp_rmdir;
  op.symlink = xmp_symlink;
  op.rename = xmp_rename;
  op.link = xmp_link;
  op.chmod = xmp_chmod;
  op.chown = xmp_chown;
  op.truncate = xmp_truncate;
  op.open = xmp_open;
  op.read = xmp_read;
  op.write = xmp_write;
  op.statfs = xmp_statfs;
  op.release = xmp_release;
  op.fsync = xmp_fsync;
  op.readdir = xmp_readdir;
  op.init = xmp_init;
  op.access = xmp_access;
  op.create = xmp_create;
  op.utimens = xmp_utimens;
  return op;
}

}  // namespace

const fuse_operations xmp_oper = makeOperations();
