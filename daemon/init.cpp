// The start of the FUSE session and the product information.
#include <unistd.h>

#include <cstring>

#include "corekit/corekit.h"
#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "mapping.h"
#include "operations.h"
#include "xattr.h"
#include "buffers.h"
#include "passthrough.h"

const char* const capName[21] = {
    "ASYNC_READ",  "POSIX_LOCKS",     "FILE_OPS",        "ATOMIC_O_TRUNC",  "EXPORT_SUPPORT",
    "BIG_WRITES",  "DONT_MASK",       "SPLICE_WRITE",    "SPLICE_MOVE",     "SPLICE_READ",
    "FLOCK_LOCKS", "HAS_IOCTL_DIR",   "AUTO_INVAL_DATA", "DO_READDIRPLUS",  "READDIRPLUS_AUTO",
    "ASYNC_DIO",   "WRITEBACK_CACHE", "NO_OPEN_SUPPORT", "PARALLEL_DIROPS", "POSIX_ACL",
    "HANDLE_KILLPRIV"};

const OflagName oflagName[21] = {
    {"O_RDONLY", 0x0},         {"O_WRONLY", 0x1},          {"O_RDWR", 0x2},
    {"O_CREAT", 0x40},         {"O_EXCL", 0x80},           {"O_NOCTTY", 0x100},
    {"O_TRUNC", 0x200},        {"O_APPEND", 0x400},        {"O_NONBLOCK", 0x800},
    {"__O_DSYNC", 0x1000},     {"O_ASYNC", 0x2000},        {"__O_DIRECT", 0x4000},
    {"__O_LARGEFILE", 0x8000}, {"__O_DIRECTORY", 0x10000}, {"__O_NOFOLLOW", 0x20000},
    {"__O_NOATIME", 0x40000},  {"__O_CLOEXEC", 0x80000},   {"O_SYNC", 0x100000},
    {"__O_PATH", 0x200000},    {"__O_TMPFILE", 0x400000},  {nullptr, 0}};

void logOpenFlags(int flags) {
  if (!logOn(LOG_TRACE)) return;
  const char* separator = "";
  for (const OflagName* row = oflagName; row->name != nullptr; ++row) {
    if ((static_cast<uint32_t>(flags) & row->value) != 0) {
      logAt(LOG_TRACE, "%s%s", separator, row->name);
      separator = ", ";
    }
  }
  logAt(LOG_TRACE, "\n");
}

namespace {

// Bits without a name in the table are shown by number.
void logCapabilities(unsigned int word) {
  const char* separator = "";
  for (int bit = 0; bit < 32; ++bit) {
    if ((word & (1u << bit)) == 0) continue;
    if (bit < 21) {
      logAt(LOG_TRACE, "%s%s", separator, capName[bit]);
    } else {
      logAt(LOG_TRACE, "%sBIT_%d", separator, bit);
    }
    separator = ", ";
  }
}

}  // namespace

void* vaskFS_init(fuse_conn_info* conn, fuse_config* cfg) {
  fuseServing = true;
  logAt(LOG_INFO, "protocol version is %d.%d\n", static_cast<int>(conn->proto_major),
        static_cast<int>(conn->proto_minor));
  logAt(LOG_INFO, "maximum size of write buffer is %d\n", static_cast<int>(conn->max_write));
  logAt(LOG_INFO, "maximum read ahead size is %d\n", static_cast<int>(conn->max_readahead));
  logAt(LOG_INFO, "kernel supported capabilities are ");
  logCapabilities(conn->capable);
  logAt(LOG_TRACE, "\n");
  logAt(LOG_INFO, "fuse supported capabilities are ");
  logCapabilities(conn->want);
  logAt(LOG_TRACE, "\n");
  logAt(LOG_INFO, "maximum number of backgound requests is %d\n",
        static_cast<int>(conn->max_background));
  logAt(LOG_INFO, "congestion threshold is %d\n", static_cast<int>(conn->congestion_threshold));
  logAt(LOG_INFO, "maximum read size is %d\n", static_cast<int>(conn->max_read));
  logAt(LOG_INFO, "time granularity is %d\n", static_cast<int>(conn->time_gran));

  cfg->use_ino = 1;
  // direct_io is chosen per open file: converted files need it, files
  // stored unchanged go through the page cache (mmap, read-ahead).
  cfg->entry_timeout = 0.0;
  cfg->negative_timeout = 0.0;
  cfg->attr_timeout = 0.0;
  // A removed open file keeps a hidden name until its release, so that
  // fstat, fchmod and ftruncate on it still reach it; rename moves it aside
  // without converting it (see hideOpenFile).
  cfg->hard_remove = 0;

  askForAcls(conn);
  // Plain files' data moves by splice(2) between the kernel and the
  // physical file (see buffers.cpp), where the kernel offers it. Not in a
  // ThreadSanitizer build: the order the kernel keeps between a reply and
  // the requests after it (a release comes only once the reads of the file
  // are answered) reaches the sanitizer through read(2) and write(2) on
  // /dev/fuse, never through splice(2), and it would report the reply's
  // read of a plain file against the close at its release.
#if !defined(__SANITIZE_THREAD__)
  conn->want |=
      conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE | FUSE_CAP_SPLICE_READ);
#endif
  // With attributes never cached, AUTO_INVAL_DATA costs every read(2) of a
  // plain file a GETATTR before it; an open already drops a page cache
  // that no longer matches the physical file (see openPlain).
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  askForPassthrough(conn);
  // libfuse insists on the max_read that main asked for.
  if (askedReadSize != 0) conn->max_read = askedReadSize;

  logAt(LOG_TRACE, "vaskFS announces the capabilities ");
  logCapabilities(conn->want);
  logAt(LOG_TRACE, "\n");

  // Compression workers are threads of their own, made now, as the daemon:
  // a thread made inside a request would keep that caller's identity.
  if (xiostartworkers() < 0)
    logAt(LOG_ERROR, "cannot start the compression workers: %s\n", std::strerror(errno));
  // main closed the index before libfuse could fork; a failure to open it
  // again ends the mount rather than serving without records.
  if (vaskfsArgs.env == nullptr && (initFailure = openIndex()) != 0) {
    if (fuse_context* ctx = fuse_get_context(); ctx != nullptr && ctx->fuse != nullptr)
      fuse_exit(ctx->fuse);
  }
  // libfuse may have changed the working directory when it detached.
  if (fchdir(savefd) != 0) { /* names then resolve where libfuse left us */
  }
  close(savefd);
  // Relative identity paths name files under the root, as at open.
  if (vaskfsArgs.env != nullptr) {
    if (!vaskfsArgs.viewMode) loadRuleKeys("confW");
    loadRuleKeys("confR");
  }
  return nullptr;
}

void printAbout(const char* program, FILE* stream) {
  char text[4096] = "";
  const size_t size = sizeof text;
  char p[4] = "--|";
  snprintc(text, size,
           "%2.2d vaskFS - a converting filesystem for Linux (vaskFS - VASK subsystem (VASKSUB) "
           "for Unix)\n"
           "   VERSION: %s-%d Build: %s %s %s\n"
           "   Copyright (c) 2026 the vaskFS developers.\n"
           "   Sources, manual pages and tests come with the vaskFS distribution.\n"
           "It uses the following libraries:\n",
           0, VASKFS_VERSION, VASKFS_BUILD, VASKFS_BUILD_TYPE, __DATE__, __TIME__);
  snprintc(text, size, "%s Lightning memory-mapped database library (liblmdb)\n", p);
  snprintc(text, size, "%s   Version %s based on OpenLDAP License\n", p,
           "LMDB 0.9.70: (December 19, 2015)");
  snprintc(text, size, "%s   Copyright 2011-2021 Howard Chu, Symas Corp. All rights reserved.\n",
           p);
  snprintc(text, size, "%s   Linked from the system's shared library, unchanged\n", p);
  snprintc(text, size, "%s   for license and more information see:\n", p);
  snprintc(text, size, "%s      doc/txt/LICLMDB.txt in the KELP install folder\n", p);
  snprintc(text, size, "%s      http://www.symas.com/mdb/\n", p);
  snprintc(text, size, "%s      http://www.openldap.org/software/repo.html\n", p);
  snprintc(text, size, "%s libfuse Version %d based on LGPL license for Linux systems\n", p, 2);
  snprintc(text, size, "%s   Copyright (C) 2001-2007 Miklos Szeredi and the libfuse authors\n", p);
  snprintc(text, size, "%s   Linked from the system's shared library, unchanged\n", p);
  snprintc(text, size, "%s   for license and more information see:\n", p);
  snprintc(text, size, "%s      doc/txt/LICLGPL2.txt in the KELP install folder or\n", p);
  snprintc(text, size, "%s      https://github.com/libfuse/libfuse\n", p);
  snprintc(text, size, "%s      https://www.kernel.org/doc/html/latest/filesystems/fuse.html\n", p);
  snprintc(text, size,
           "%s   Part of the operating system (prerequisite, not part of this distribution)\n", p);
  snprintc(text, size, "%s The glibc library based on LGPL license for Linux systems\n", p);
  snprintc(text, size, "%s   Copyright (C) the Free Software Foundation, Inc.\n", p);
  snprintc(text, size, "%s   Linked from the system's shared library, unchanged\n", p);
  snprintc(text, size, "%s   for license and more information see:\n", p);
  snprintc(text, size, "%s      doc/txt/LICLGPL.txt in the KELP install folder or\n", p);
  snprintc(text, size, "%s      https://www.gnu.org/software/libc/\n", p);
  snprintc(text, size, "%s      https://www.gnu.org/licenses/lgpl.html\n", p);
  snprintc(text, size,
           "%s   Part of the operating system (prerequisite, not part of this distribution)\n", p);
  std::fprintf(stream, "about program '%s':\n%sAnd the VASK byte interface:\n%s", program, text,
               xioabo());
}
