// The kernel's passthrough of plain files: once a plain file is open, the
// kernel reads, writes and maps its physical file itself, without a request
// to the daemon, at the speed of the file system under the root.
//
// libfuse 3.14 knows neither the INIT flag nor the open reply's backing
// file, so the daemon adds them to libfuse's replies as they are written to
// /dev/fuse (see passthrough.cpp). Where the kernel or the daemon's rights
// do not allow it, plain files go through the page cache and the daemon as
// before (buffers.cpp), for the whole mount.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include "handle.h"

// -o nopassthrough clears it: plain files' data then comes through the
// daemon.
extern bool passthroughWanted;

// Called by init, on the thread that sends the reply to INIT: the reply
// asks for passthrough when wanted.
void askForPassthrough(fuse_conn_info* conn);

// After a successful open or create of `h` by an application: a plain file
// gets the kernel's passthrough, and its open reply names the backing file.
// The kernel inode of a name takes one backing file, and no other kind of
// open, while any of its files is served so: an open that would break that
// (the physical file was replaced under the root, or the name now converts,
// while the old one is open) fails with EBUSY. 0 or a negated errno.
int passThrough(FileHandle& h, fuse_file_info* fi);

// Before a plain file's physical file is opened (and truncated or made):
// -EBUSY when the name's kernel inode is served from another physical file
// (or from one that has gone), else 0.
int kernelInodeBusy(const FileHandle& h);

// At release: the handle's share of its backing file goes.
void endPassthrough(FileHandle& h);

