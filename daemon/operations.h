// The FUSE operations. Each runs with the locks that its wrapper in the
// operations table (operations.cpp) takes; one operation calling another
// calls these lock-held functions, never the table's entries.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

int vaskFS_getattr(const char* path, struct stat* st, fuse_file_info* fi);
int vaskFS_readlink(const char* path, char* buf, size_t size);
int vaskFS_mknod(const char* path, mode_t mode, dev_t rdev);
int vaskFS_mkdir(const char* path, mode_t mode);
int vaskFS_unlink(const char* path);
int vaskFS_rmdir(const char* path);
int vaskFS_symlink(const char* from, const char* to);
int vaskFS_rename(const char* from, const char* to, unsigned int flags);
int vaskFS_link(const char* from, const char* to);
int vaskFS_chmod(const char* path, mode_t mode, fuse_file_info* fi);
int vaskFS_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi);
int vaskFS_truncate(const char* path, off_t size, fuse_file_info* fi);
int vaskFS_open(const char* path, fuse_file_info* fi);
int vaskFS_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi);
int vaskFS_write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi);
int vaskFS_statfs(const char* path, struct statvfs* st);
int vaskFS_flush(const char* path, fuse_file_info* fi);
int vaskFS_release(const char* path, fuse_file_info* fi);
int vaskFS_fsync(const char* path, int dataSync, fuse_file_info* fi);
int vaskFS_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                   fuse_file_info* fi, fuse_readdir_flags flags);
void* vaskFS_init(fuse_conn_info* conn, fuse_config* cfg);
int vaskFS_access(const char* path, int mode);
int vaskFS_create(const char* path, mode_t mode, fuse_file_info* fi);
int vaskFS_utimens(const char* path, const struct timespec ts[2], fuse_file_info* fi);
int vaskFS_fallocate(const char* path, int mode, off_t offset, off_t length, fuse_file_info* fi);
ssize_t vaskFS_copy_file_range(const char* pathIn, fuse_file_info* fiIn, off_t offsetIn,
                               const char* pathOut, fuse_file_info* fiOut, off_t offsetOut,
                               size_t size, int flags);

extern const fuse_operations vaskFS_oper;
