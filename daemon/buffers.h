// The data path as libfuse's buffer operations (read_buf, write_buf), and
// the mount's read-ahead.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/types.h>

// Answers a read with a buffer vector that libfuse frees. A plain file's
// buffer names its descriptor and offset, and libfuse splices the data
// from the physical file into the reply; a converted file's data is read
// into memory. 0 or a negated errno.
int vaskFS_read_buf(const char* path, fuse_bufvec** bufp, size_t size, off_t offset,
                    fuse_file_info* fi);
// Writes what libfuse received, from memory or from a pipe: into a plain
// file's descriptor (spliced where the kernel allows), else through
// vaskFS_write. The bytes written or a negated errno.
int vaskFS_write_buf(const char* path, fuse_bufvec* buf, off_t offset, fuse_file_info* fi);

// The largest read request whose reply libfuse can splice, where that is
// below the kernel's largest (1 MiB); 0 when every read can be spliced or
// none can. The mount asks for reads of at most this size (max_read).
unsigned spliceableReadSize();
// The max_read the mount was asked for (0: libfuse's default); init must
// repeat it, or libfuse ends the session.
extern unsigned askedReadSize;

// Raises the mount's read-ahead, which the kernel caps at the start of the
// session, to the size of the largest request. Called once the session has
// begun (after the reply to INIT), as the daemon itself; best effort,
// logged.
void raiseReadAhead();
