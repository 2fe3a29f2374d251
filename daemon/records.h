// The per-file records in the index: the attributes, converted size and
// commands of each logical name, and the physical file they describe.
// Each function is one LMDB transaction of its own; LMDB serializes the
// writers, so callers need no lock for the index itself, and hold the
// file's lock (locks.h) where records of one file must not change between
// a read and a write. Never call one inside a transaction of one's own.
#pragma once

#include <lmdb.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lmdbGuard.h"

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
  // The records that follow, up to the next claim, are stored only when
  // `path` has no ".name" record when the batch commits: a first sight
  // never writes over the records a writer has begun meanwhile.
  MetaBatch& claim(std::string_view path);
  bool empty() const { return ops_.empty(); }
  // 0 or an LMDB code; the batch is empty afterwards either way.
  int commit();

 private:
  struct Op {
    enum Type { Put, Erase, Move, Copy, Claim } type;
    std::string path, other, value;
    uint32_t kind;
    const char* dbName;
  };
  std::vector<Op> ops_;
};
