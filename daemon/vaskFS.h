// vaskFS, the mount daemon: the state every part of the daemon shares, the
// log, the per-file metadata store, the name mapping, the open-file handle
// and the FUSE operations.
//
// Threading: libfuse serves requests on several threads (one with -s or
// -o threads=1). The operations table's wrappers (operations.cpp) take the
// locks of ---- locks ---- below for each request; the functions they call
// assume them held and never take them again. Each index access is one
// LMDB transaction of its own, so the configuration tool may change the
// rules from another process meanwhile.
//
// Names: every operation works with root-relative names (the working
// directory is the root). The logical name is the FUSE path without its
// leading "/", "." for the root; the physical name is what it maps to.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <lmdb.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "confdb.h"
#include "lmdbGuard.h"
#include "xiobyt/xiobyt.h"

// ---- version and global state ---------------------------------------------

constexpr const char* VASKFS_VERSION = "5.1.4";
constexpr int VASKFS_BUILD = 32853;
constexpr const char* VASKFS_BUILD_TYPE = "RELEASE";

struct VaskfsArgs {
  std::string mountDir;   // absolute after start-up; a trailing "/" stays
  std::string rootDir;    // absolute, one trailing "/" removed ("/" stays "/")
  std::string view;       // view mode only
  std::string indexDir;   // -o index=, absolute; empty: <root>/.vaskIndex
  ConfigEntry listEntry;  // work record of the start-up rule listing
  MDB_env* env = nullptr;
  char* fuseArgv[32] = {};
  int fuseArgc = 0;
  uint32_t viewMode = 0;  // 1: read-only view mount
  // The kernel checks permissions itself (default_permissions, given or
  // added for allow_other) before a request arrives.
  bool defaultPermissions = false;
};

extern VaskfsArgs vaskfsArgs;
extern FILE* fileLog;  // null: no log at all
extern int logLevel;   // 1 error, 2 info, 3 debug, 4 trace
extern int savefd;     // the root, reopened by vaskFS_init
// Set by vaskFS_init: libfuse's request context exists only while it
// serves (outside, fuse_get_context reads a thread key that is not its own).
extern bool fuseServing;
// The exit status when vaskFS_init cannot open the index again (0: it could).
extern int initFailure;

constexpr int LOG_ERROR = 1, LOG_INFO = 2, LOG_DEBUG = 3, LOG_TRACE = 4;

// Whether a line of `level` would be written.
inline bool logOn(int level) { return fileLog != nullptr && logLevel >= level; }
// Writes a formatted line at `level` when logOn(level).
void logAt(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Routes the configuration library's messages into the log at their levels.
void logConfdbMessage(int level, const char* line);

constexpr size_t CALLER_PREFIX_SIZE = 256;
// "<thread>[<pid>] <program>" of the process behind the current request,
// always terminated within `size` bytes.
void getcallername(char* buffer, size_t size);

// The caller prefix of one operation, read from /proc only when a line that
// shows it is actually written.
class CallerPrefix {
 public:
  const char* get() {
    if (!filled_) {
      getcallername(text_, sizeof text_);
      filled_ = true;
    }
    return text_;
  }

 private:
  char text_[CALLER_PREFIX_SIZE] = "";
  bool filled_ = false;
};

// Writes the caller prefix and then the formatted text at `level`; the
// prefix is read only when the line is written.
void logCaller(int level, CallerPrefix& caller, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void printVersion(const char* program, FILE* stream);
void printAbout(const char* program, FILE* stream);
void usage(const char* program);

// The index environment (<root>/.vaskIndex[/<view>], or <indexDir>[/<view>])
// into vaskfsArgs.env:
// created when missing (never a view's), with the daemon's messages at
// level error. Returns 0, an LMDB or system error number, or 255 when the
// directory cannot be made; on failure env stays null.
std::string indexPath();
int openIndex();
void closeIndexEnvironment();

// The logical name of a FUSE path: without its first character, "." for a
// null path or one of at most one character.
std::string logicalName(const char* path);

// ---- locks ------------------------------------------------------------------

// Held shared by every request, exclusively by the namespace operations
// (rename, unlink, rmdir, link), which move or remove names (a whole tree)
// that other requests work on. Taken first.
class TreeGuard {
 public:
  explicit TreeGuard(bool exclusive);
  ~TreeGuard();
  TreeGuard(const TreeGuard&) = delete;
  TreeGuard& operator=(const TreeGuard&) = delete;

 private:
  bool exclusive_;
};

// The lock of one file, by logical name: its open handles, its stream, its
// records. Taken after the tree lock (shared), before a handle's lock; the
// registry that finds it holds only locks in use, so a rename (which holds
// the tree exclusively, so that nobody holds a file lock) needs no re-keying.
class FileGuard {
 public:
  explicit FileGuard(std::string logical);
  ~FileGuard();
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;

 private:
  std::string name_;
  void* entry_ = nullptr;
};

// Work in a directory that makes temporary files there outside any open
// handle (recovery): a listing leaves the directory's leftovers alone
// while it lasts.
class InFlight {
 public:
  explicit InFlight(std::string dir);
  ~InFlight();
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::string dir_;
};
bool workInFlight(const std::string& dir);

// ---- the caller's identity ------------------------------------------------

// The file-system identity of a request's caller. Not valid: the request
// runs as the daemon itself (root callers, requests without credentials,
// a daemon that cannot switch).
struct CallerIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  bool valid = false;
};

// Whether the daemon can take other identities (it runs as root).
bool identitySwitching();
// The caller of the request being served, with its supplementary groups.
CallerIdentity requestIdentity();

// Runs the serving thread with `id` (fsuid, fsgid, groups) until it ends,
// so the kernel checks and owns what the daemon does on the caller's
// behalf. failed(): the identity could not be taken fully and the request
// must not go on.
class IdentityGuard {
 public:
  explicit IdentityGuard(const CallerIdentity& id);
  ~IdentityGuard();
  IdentityGuard(const IdentityGuard&) = delete;
  IdentityGuard& operator=(const IdentityGuard&) = delete;
  bool failed() const { return failed_; }

 private:
  bool switched_ = false;
  bool failed_ = false;
};

// Runs the serving thread as the daemon itself until it ends, inside a
// request that runs as its caller: for the few steps the kernel asks for
// whoever the caller is.
class DaemonIdentity {
 public:
  DaemonIdentity();
  ~DaemonIdentity();
  DaemonIdentity(const DaemonIdentity&) = delete;
  DaemonIdentity& operator=(const DaemonIdentity&) = delete;

 private:
  uid_t uid_;
  gid_t gid_;
};

// Whether a component of `path` begins with ".vaskIndex": the index and
// the daemon's temporary files, never reachable through the mount.
bool reservedPath(std::string_view path);

// ---- per-file metadata store ----------------------------------------------

enum MetaKind : uint32_t {
  META_SIZE = 0,
  META_MTIME = 1,
  META_NEWTS = 2,
  META_NAME = 3,
  META_ERROR = 4,
  META_WRITE = 5,
  META_READ = 6,
  META_WFORMAT = 7,
  META_RFORMAT = 8,
  META_STAT = 9,
  META_ALL = 10,
  // The physical file the records describe, as it was when they were written.
  META_IDENT = 11,
  META_KINDS = 12,
};
constexpr int META_TRUNCATED = 0x1000000;
constexpr size_t META_STAT_SIZE = 144, META_TIMES_SIZE = 32, META_SIZE_SIZE = 8;
static_assert(sizeof(struct stat) == META_STAT_SIZE, "the stored attribute record is x86-64's");
static_assert(sizeof(struct timespec) * 2 == META_TIMES_SIZE);

// One record to read or store. `data` points to the caller's buffer of
// `length` bytes; a read that may grow moves it into `storage`.
struct MetaValue {
  uint32_t kind = 0;
  uint64_t length = 0;
  void* data = nullptr;
  std::string storage;
};

// Creates "meta" and "real" when missing and opens them and the rule
// databases that exist, keeping their handles for the life of the
// environment (called when the index is opened; forgotten when it is
// closed).
int openRecordDatabases();
void forgetRecordDatabases();
// The handle of "meta", "real", "confW" or "confR", opened once (a rule
// database when it first exists; MDB_NOTFOUND before). Never call it
// between the begin and the end of a transaction of one's own.
int databaseHandle(const char* dbName, MDB_dbi* dbi);

// Whether `path` is too long to be its own key; its records are then found
// under its first bytes and a digest of the whole name.
bool longName(std::string_view path);
// The part of every key of `path`'s records before the kind's suffix.
std::string keyBase(std::string_view path);
// Builds the key of `path`'s record of `kind` (no suffix for META_ALL)
// into `keyText` and points `key` at it.
void fillKey(std::string& keyText, std::string_view path, uint32_t kind, MDB_val& key);
// Each returns 0, an LMDB code, or META_TRUNCATED (readMeta) when the value
// did not fit; each is one transaction.
int readMeta(std::string_view path, MetaValue& value, const char* dbName, int grow);
int writeMeta(std::string_view path, const MetaValue& value, const char* dbName);
int moveMeta(std::string_view oldPath, std::string_view newPath, int keepOld);
int deleteMeta(std::string_view path, uint32_t kind, const char* dbName);
// Moves the "meta" and "real" records of everything below `oldDir` to
// `newDir`, with the physical names in their values (".name", the names
// quoted in ".read" and ".write", the logical names of "real") that lie
// below it: one transaction, all or nothing. Returns 0 or an LMDB code.
int moveMetaTree(std::string_view oldDir, std::string_view newDir);

// Several reads from one sub-database in one read transaction. End it
// (destroy it) before any write of the same thread: LMDB lets a thread hold
// one transaction at a time.
class MetaSnapshot {
 public:
  explicit MetaSnapshot(const char* dbName);
  int read(std::string_view path, MetaValue& value, int grow);
  int text(std::string_view path, uint32_t kind, std::string& out);
  int fixed(std::string_view path, uint32_t kind, void* out, size_t size);

 private:
  MdbTxn txn_;
  MDB_dbi dbi_ = 0;
  int rc_ = 0;
};

// Conveniences over readMeta/writeMeta. readMetaText reads a record of any
// length into `out`. readMetaFixed reads a record that has one fixed size
// (".stat", ".mtime", ".newts", ".size") into `out`; a stored value of
// another length is logged at level error and reported as MDB_NOTFOUND,
// and `out` is left untouched unless the whole record was read.
int readMetaText(std::string_view path, uint32_t kind, const char* dbName, std::string& out);
int readMetaFixed(std::string_view path, uint32_t kind, void* out, size_t size);
int writeMetaBytes(std::string_view path, uint32_t kind, const char* dbName, const void* data,
                   size_t size);

// The physical file that records describe: what another program's change
// alters (a rewrite, a replacement by rename, an append, a touch).
struct FileIdentity {
  uint64_t device = 0, inode = 0;
  int64_t size = 0;
  struct timespec modified = {}, changed = {};
};
constexpr size_t META_IDENT_SIZE = sizeof(FileIdentity);
static_assert(META_IDENT_SIZE == 56, "the stored identity record");
FileIdentity identityOf(const struct stat& physical);
bool sameIdentity(const FileIdentity& a, const FileIdentity& b);

// Reads the stored ".stat" of `logical`, lets `edit` change it and stores it
// again with the identity of `physical` as the change left it, so that the
// daemon's own change is not mistaken for one made outside (a missing
// identity stays missing, to be checked at the next lookup). Returns the
// failure of reading or storing (MDB_NOTFOUND: no ".stat").
int editStoredStat(const std::string& logical, const std::string& physical,
                   const std::function<void(struct stat&)>& edit);

// Stores several records in one transaction, in the order given: all or
// none. The first time a file is met its records go in together, so that
// sizing a tree costs one synchronous commit per file, not four.
struct MetaRecord {
  std::string_view path;
  uint32_t kind;
  const char* dbName;
  const void* data;
  size_t size;
};
int writeMetaRecords(const std::vector<MetaRecord>& records);

// The records one event changes, gathered and then committed in one write
// transaction: all or none, and one synchronous commit for the event.
// Values are copied when added; nothing touches the index before commit.
class MetaBatch {
 public:
  MetaBatch& put(std::string_view path, uint32_t kind, const char* dbName, const void* data,
                 size_t size);
  MetaBatch& put(std::string_view path, uint32_t kind, const char* dbName, std::string_view text) {
    return put(path, kind, dbName, text.data(), text.size());
  }
  // Removes the record of `kind` (META_ALL: every record of `path`).
  MetaBatch& erase(std::string_view path, uint32_t kind, const char* dbName);
  // Moves the "meta" records of `oldPath` to `newPath` (copies when keepOld).
  MetaBatch& move(std::string_view oldPath, std::string_view newPath, bool keepOld = false);
  // Moves the records of every name below the directory `oldDir` ("meta"
  // and "real") to below `newDir`, as moveMetaTree does.
  MetaBatch& moveTree(std::string_view oldDir, std::string_view newDir);
  // The records that follow, up to the next claim, are stored only when
  // `path` has no ".name" record when the batch commits: a first sight
  // never writes over the records a writer has begun meanwhile.
  MetaBatch& claim(std::string_view path);
  bool empty() const { return ops_.empty(); }
  // 0 or an LMDB code; the batch is empty afterwards either way.
  int commit();

 private:
  struct Op {
    enum Type { Put, Erase, Move, Copy, Claim, MoveTree } type;
    std::string path, other, value;
    uint32_t kind;
    const char* dbName;
  };
  std::vector<Op> ops_;
};

// ---- rules and name mapping -----------------------------------------------

enum SearchMode { SEARCH_MATCH = 0, SEARCH_LIST = 1, SEARCH_DIRECTORY = 2 };
constexpr uint32_t MAP_NAME_KNOWN = 1, MAP_HAS_WRITE = 4, MAP_USE_IR = 8;

struct FileHandle;

int getConf4Name(const std::string& name, ConfigEntry& entry, int mode, const char* dbName);
// Reads the identity files that the rules of `dbName` name while the
// daemon still runs as itself: requests run as their callers, who may not
// read them. Failures are logged; the files then fail at open.
void loadRuleKeys(const char* dbName);
// Puts `name` (apostrophes doubled) between the quotes of the first "=''"
// of `fileString`; nothing when there is none.
void insertName(std::string& fileString, std::string_view name);
std::string getPhysicalPath(const std::string& logical, uint32_t* mapFlags, FileHandle* handle);
// A FUSE path with its logical and physical name, as most operations
// begin: mapped without a handle, and "<caller>[<operation>] <physical>"
// logged at level info (nothing when `operation` is null).
struct MappedName {
  std::string logical, physical;
  uint32_t flags = 0;
};
MappedName mapName(const char* path, const char* operation);
// The physical name the write rule of `logical` gives, never a stored one;
// empty when no rule builds one.
std::string ruleName(const std::string& logical);
// The logical name a physical file shows under: its record, else its read
// rule, else its own name.
std::string ownerOf(const std::string& physical);
bool exists(const std::string& physical);
// A physical file that only a read rule shows under `logical` (put under
// the root by other means, or seen by a view): the first existing
// candidate the read rules' patterns ask for, in the rules' order, that its
// read rule maps back to exactly `logical`. Empty when there is none; one
// lstat per read rule at most.
std::string physicalByReadRules(const std::string& logical);
// The first sight of a physical file: its logical name by the read rule,
// its attributes with the converted size, and its records, added to
// `batch` when given (a listing commits its first sights together), else
// committed at once.
int updateVaskInfo(std::string& logical, const std::string& physical, struct stat* attributes,
                   MetaBatch* batch = nullptr);

// ---- open-file handle -----------------------------------------------------

struct FileHandle {
  XioHandle* convHandle = nullptr;
  int fd = -1;
  int useIR = 0;
  uint64_t bytesWritten = 0;
  int64_t offset = 0;
  int direction = 0;  // 0 read, 1 write, 3 write of a created file
  uint32_t mapFlags = 0;
  std::string logicalPath;
  std::string physicalPath;
  ConfigEntry conf;
  char errorTrace[XIO_TRACE_SIZE] = "";
  // A write open without O_TRUNC whose conversion starts at the first write.
  bool openPending = false;
  // Who opened the file: the later requests on it (release comes without
  // credentials) act as the opener did, as a descriptor would.
  CallerIdentity opener;
  // The name was removed while open: release records nothing under it.
  bool removed = false;
  // Stored unchanged: `fd` is the physical file, read and written at any
  // offset; there is no conversion.
  bool plain = false;
  // The descriptor a converting rename took the handle away from, open
  // until the handle goes: libfuse may still be splicing a read's reply
  // from it.
  int retiredFd = -1;
  // A rewrite that moved the file to the name the write rule in force
  // gives: the physical file it replaces, removed once the new one is whole.
  std::string replacedPhysical;
  // The logical offset the running conversion began at (above 0: it
  // appends).
  int64_t conversionStart = 0;
  // Writes go to the end of the file's one stream, wherever the kernel
  // puts them: an O_APPEND open, or a writer whose stream another writer of
  // the same file took over.
  bool followsEnd = false;
  // A flush ended the stream; the handle writes again only through another
  // descriptor of the same open file, and blocks no new writer.
  bool ended = false;
  // The writer lock this handle holds a share of (takeWriterLock).
  bool writerLock = false;
  dev_t lockDevice = 0;
  ino_t lockInode = 0;
  // Guards the conversion handle and the read position for reads, which
  // hold no file lock: xiobyt handles serve one thread at a time.
  std::mutex useMutex;

  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // Closes what release did not (a handle dropped on a failure path).
  ~FileHandle();
};

using FileHandlePtr = std::unique_ptr<FileHandle>;

// A handle for the FUSE path: logical and physical name, the write rule.
FileHandlePtr initNewHandle(const char* path);
// The handles alive in this daemon (each registers itself when built by
// initNewHandle and leaves when destroyed).
// writerOpen: a handle of `logical` is writing its stream (an open that
// has not written, as touch's, is none).
bool writerOpen(std::string_view logical);
std::vector<FileHandle*> openWriters(std::string_view logical);
// Changes the physical name of a live handle (a rewrite that moves to the
// name of the write rule in force), seen by listings of other threads.
void setPhysicalName(FileHandle& h, std::string physical);
// Whether a handle other than `self` of `logical` is writing a converted
// stream, or is open to write one and has not been closed.
bool streamBusy(std::string_view logical, const FileHandle* self);
// Before `self` writes: ends the streams other handles of the same file
// are writing (their data recorded, each file whole), so that `self`
// continues at the end. Returns whether any was ended.
bool takeStream(FileHandle& self, CallerPrefix& caller);
// The converted size as recorded, where an appending write starts.
int64_t recordedSize(const std::string& logical);
// Whether `uid` has `logical` open for writing here.
bool openForWritingBy(std::string_view logical, uid_t uid);
// Open files follow a rename of their name or of a directory above it, so
// that release records under the current name.
void renameOpenHandles(std::string_view oldLogical, std::string_view newLogical,
                       std::string_view oldPhysical, std::string_view newPhysical);
// Marks the handles of a removed name, so that nothing is recorded for it.
void forgetOpenHandles(std::string_view logical);
// Whether a file string and format string convert nothing (bin, no layer).
bool plainCommands(const std::string& fileString, const std::string& formatString);
// The handle that libfuse carries, or null.
inline FileHandle* handleOf(const fuse_file_info* fi) {
  return fi != nullptr ? reinterpret_cast<FileHandle*>(fi->fh) : nullptr;
}
// The state text of a write: the logical name, quoted as a command-string
// text, and the daemon's version.
std::string stateText(const std::string& logical);
// Opens the handle's conversion with its file and format string and stores
// what the open learnt. Returns 0 or a negated errno; a failure without an
// errno leaves a null conversion handle and returns 0.
int startConversion(FileHandle& handle);
// Removes the physical file a completed rewrite replaced, with its record.
void finishReplacement(FileHandle& handle);
// When the handle's trace holds text: logs "Error trace of <call>:" and the
// trace at level error and stores the whole buffer as ".error".
void keepTrace(FileHandle& handle, const char* call);

// ---- files stored unchanged ----------------------------------------------

// The commands that write and read a file: as stored, or as its rules give
// them (`learnt`: then they are not stored yet).
struct FileCommands {
  std::string write, writeFormat, read, readFormat;
  bool hasWrite = false, hasRead = false, learnt = false;
  // The logical name the read rule gives the physical file, when the read
  // command came from it.
  std::string shownAs;
};
void readStoredCommands(MetaSnapshot& meta, std::string_view logical, FileCommands& c);
// Whether the file is stored unchanged: what writes it and what reads it
// convert nothing. Missing commands are taken from the rules (the write
// rule in force instead of the stored command when `ruleInForce`).
bool plainFile(const std::string& logical, const std::string& physical, FileCommands& c,
               bool ruleInForce);
// The name pair and the commands of a plain file, in one transaction. Its
// attributes are never stored: they are the physical file's.
int storePlainRecords(const std::string& logical, const std::string& physical,
                      const FileCommands& c);
void addPlainRecords(MetaBatch& batch, const std::string& logical, const std::string& physical,
                     const FileCommands& c);
// Opens the physical file of a plain file with the application's flags
// (create: making it with `mode`), for the page cache. 1 when the file is
// not plain, else 0 or a negated errno.
int openPlain(FileHandle& h, fuse_file_info* fi, bool create, mode_t mode);
void releasePlain(FileHandle& h);
// A plain file's attributes: its physical file's. `recorded`: the name has
// records, dropped when the physical file has gone.
int plainAttributes(const std::string& logical, const std::string& physical, bool recorded,
                    const FileCommands& c, struct stat* st);
// ---- interrupted writes ---------------------------------------------------

// Whether this daemon has a file open in `dir` (a root-relative directory,
// "." for the root): a conversion's copy or a removed open file may lie
// there under a temporary name.
bool conversionInDirectory(std::string_view dir);
// Removes `name` in the directory `dirFd` (root-relative `dirName`) when it
// is a regular file with the shape of a temporary copy that the daemon or
// xiobyt makes (".vaskIndex.tmp.<name>.XXXXXX") and no conversion of this
// daemon is open in that directory: a leftover of a crash. Called for the
// names a listing skips, so a leftover goes the next time its directory is
// listed; whether it was removed.
bool removeLeftoverCopy(int dirFd, const std::string& dirName, const char* name);
// Removes the leftover copies of `physical` beside it.
void removeLeftoverCopies(const std::string& physical);
// Ends the stream of `logical`'s physical file when a writer died while it
// was open (its stamps still the zero ones of the start of a conversion,
// no writer of this daemon on it) and sets its records from what it then
// holds; the getattr and open of a name call it first. Whether it did.
bool recoverInterrupted(const std::string& logical);

// ---- records checked against the physical file ----------------------------

// Checks the records of `logical` against its physical file before a
// lookup or open uses them: a file whose writer died is recovered, and one
// that another program changed (its identity differs from the stored one,
// or none is stored yet) gets its attributes and converted size derived
// again with its stored read command. Nothing is written while a writer of
// this or another process holds the file, or when nothing changed.
void validateRecords(const std::string& logical);

// The writer lock: an open file description write lock on the physical
// file, held from the start of a write conversion until its end is
// recorded, so that no other daemon (a second mount of the root, a view)
// recovers the file or overwrites its records meanwhile. The handles of one
// file in this daemon share one lock. takeWriterLock: 0 (also when the file
// does not exist yet: call it again once it does) or -EBUSY when another
// process writes the file.
int takeWriterLock(FileHandle& h);
void dropWriterLock(FileHandle& h);
// Whether any open file description (this daemon's writers included) holds
// a lock on `physical`: somebody writes it.
bool writerLockHeld(const std::string& physical);

// ---- trace names ----------------------------------------------------------

extern const char* const capName[21];
struct OflagName {
  const char* name;
  uint32_t value;
};
extern const OflagName oflagName[21];
// Writes the names of the set flags at level trace, then a newline.
void logOpenFlags(int flags);

// ---- the FUSE operations --------------------------------------------------

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
