// The per-file records in "meta" (by logical name) and "real" (by physical
// name). Each call is one transaction; nothing is held between calls.
//
// A record's key is its name and a suffix of its kind. LMDB refuses keys
// above 511 bytes while Linux allows paths of 4,095, so a longer name is
// keyed by its first bytes, "//" and the SHA-256 of the whole name (no path
// holds "//", so such a key is never a short name's), and its full name is
// kept under that base with ".full" and compared on every read. The first
// bytes keep a directory's records together for the moves by key prefix.
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "corekit/corekit.h"
#include "lmdbGuard.h"
#include "state.h"
#include "log.h"
#include "records.h"

namespace {

const char* const kSuffix[META_KINDS] = {".size",  ".mtime",    ".newts",    ".name",
                                         ".error", ".write",    ".read",     ".wFormat",
                                         ".rFormat", ".stat",   "",          ".ident"};
// Every kind a name has records of, META_ALL left out.
constexpr uint32_t kRecordKinds[] = {META_SIZE, META_MTIME,   META_NEWTS,   META_NAME,
                                     META_ERROR, META_WRITE,  META_READ,    META_WFORMAT,
                                     META_RFORMAT, META_STAT, META_IDENT};
constexpr const char* kFullSuffix = ".full";
// Names up to this length are their own key base; the longest suffix
// (".rFormat") still fits LMDB's 511 bytes.
constexpr size_t kPlainKeyMax = 480;
// A long name's base: this many of its first bytes, "//" and 64 hex digits.
constexpr size_t kLongKeyHead = 400;
constexpr size_t kDigestHex = 64;

// The sub-databases, opened once per environment: a handle committed to
// the environment serves every later transaction of every thread. LMDB
// lets only one transaction at a time open handles, and drops a handle
// opened in a transaction that is aborted, so no request opens one inside
// its own transaction: the record databases are made when the index is
// opened, and a rule database that appears later (vaskFSconf's first rule)
// is opened in a transaction of its own, under this mutex.
constexpr const char* kDbNames[4] = {"meta", "real", "confW", "confR"};
std::mutex dbiMutex;  // guards the opening of handles; a leaf
MDB_dbi dbis[4] = {0, 0, 0, 0};
std::atomic<bool> dbiOpen[4] = {false, false, false, false};

int dbIndex(const char* dbName) {
  for (int i = 0; i < 4; ++i)
    if (std::strcmp(dbName, kDbNames[i]) == 0) return i;
  return -1;
}

// Opens the handle of database `i` in a transaction of its own; a record
// database is created when missing, a rule database never (a view's index
// must not gain write rules). 0, or MDB_NOTFOUND while it does not exist.
int openHandle(int i) {
  std::lock_guard<std::mutex> guard(dbiMutex);
  if (dbiOpen[i].load(std::memory_order_acquire)) return 0;
  const bool records = i < 2;
  MdbTxn txn;
  int rc = txn.begin(vaskfsArgs.env, records ? 0 : MDB_RDONLY);
  if (rc != 0) return rc;
  MDB_dbi dbi = 0;
  rc = mdb_dbi_open(txn.get(), kDbNames[i], records ? MDB_CREATE : MDB_INTEGERKEY, &dbi);
  if (rc != 0) return rc;
  if ((rc = txn.commit()) != 0) return rc;
  dbis[i] = dbi;
  dbiOpen[i].store(true, std::memory_order_release);
  return 0;
}

}  // namespace

int databaseHandle(const char* dbName, MDB_dbi* dbi) {
  const int i = dbIndex(dbName);
  if (i < 0) return EINVAL;
  if (!dbiOpen[i].load(std::memory_order_acquire))
    if (const int rc = openHandle(i); rc != 0) return rc;
  *dbi = dbis[i];
  return 0;
}

namespace {

// Values at or above this length are never grown into.
constexpr uint64_t kGrowLimit = 0x3FFFFFFE;

// Begins a write transaction and opens (creating) `dbName` in it.
int beginWrite(const char* dbName, MdbTxn& txn, MDB_dbi& dbi) {
  int rc = databaseHandle(dbName, &dbi);
  if (rc != 0) {
    logAt(LOG_ERROR, "mdb_dbi_open(%s) failed: %s\n", dbName, mdb_strerror(rc));
    return rc;
  }
  rc = txn.begin(vaskfsArgs.env, 0);
  if (rc != 0) logAt(LOG_ERROR, "failed to begin writeTA: %s\n", mdb_strerror(rc));
  return rc;
}

int commit(MdbTxn& txn) {
  const int rc = txn.commit();
  if (rc != 0) logAt(LOG_ERROR, "failed to commit writeTA: %s\n", mdb_strerror(rc));
  return rc;
}

}  // namespace

int openRecordDatabases() {
  forgetRecordDatabases();
  int rc = 0;
  for (int i = 0; i < 4 && rc == 0; ++i) {
    rc = openHandle(i);
    if (rc == MDB_NOTFOUND && i >= 2) rc = 0;  // no rules of that kind yet
    if (rc != 0) logAt(LOG_ERROR, "mdb_dbi_open(%s) failed: %s\n", kDbNames[i], mdb_strerror(rc));
  }
  return rc;
}

void forgetRecordDatabases() {
  std::lock_guard<std::mutex> guard(dbiMutex);
  for (auto& open : dbiOpen) open.store(false, std::memory_order_release);
}

bool longName(std::string_view path) { return path.size() > kPlainKeyMax; }

std::string keyBase(std::string_view path) {
  if (!longName(path)) return std::string(path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(path.data(), path.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::bad_alloc();  // only a failed allocation makes SHA-256 fail
  static const char hex[] = "0123456789abcdef";
  std::string base(path.substr(0, kLongKeyHead));
  base += "//";
  for (unsigned int i = 0; i < length; ++i) {
    base += hex[digest[i] >> 4];
    base += hex[digest[i] & 15];
  }
  return base;
}

void fillKey(std::string& keyText, std::string_view path, uint32_t kind, MDB_val& key) {
  keyText = keyBase(path);
  if (kind < META_KINDS) keyText += kSuffix[kind];
  key.mv_size = keyText.size();
  key.mv_data = keyText.data();
}

namespace {

// The key of the record that holds a long name in full.
std::string fullKey(std::string_view path) { return keyBase(path) + kFullSuffix; }

// Records the full name of a long `path` beside its records.
int putFullName(MDB_txn* txn, MDB_dbi dbi, std::string_view path) {
  if (!longName(path)) return 0;
  std::string keyText = fullKey(path);
  MDB_val key{keyText.size(), keyText.data()};
  MDB_val data{path.size(), const_cast<char*>(path.data())};
  const int rc = mdb_put(txn, dbi, &key, &data, 0);
  if (rc != 0) logAt(LOG_ERROR, "failed to save %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
  return rc;
}

// Whether the records under a long `path`'s key are that name's and not
// another's with the same digest.
bool ownsKey(MDB_txn* txn, MDB_dbi dbi, std::string_view path) {
  if (!longName(path)) return true;
  std::string keyText = fullKey(path);
  MDB_val key{keyText.size(), keyText.data()}, data;
  if (mdb_get(txn, dbi, &key, &data) != 0) return false;
  if (std::string_view(static_cast<const char*>(data.mv_data), data.mv_size) == path) return true;
  logAt(LOG_ERROR, "the key %s belongs to another name; records ignored\n", keyText.c_str());
  return false;
}

}  // namespace

MetaSnapshot::MetaSnapshot(const char* dbName) {
  rc_ = databaseHandle(dbName, &dbi_);
  if (rc_ != 0) {
    logAt(LOG_ERROR, "mdb_dbi_open(%s) failed: %s\n", dbName, mdb_strerror(rc_));
    return;
  }
  rc_ = txn_.begin(vaskfsArgs.env, MDB_RDONLY);
  if (rc_ != 0) logAt(LOG_ERROR, "failed to begin readTA: %s\n", mdb_strerror(rc_));
}

int readMeta(std::string_view path, MetaValue& value, const char* dbName, int grow) {
  MetaSnapshot snapshot(dbName);
  return snapshot.read(path, value, grow);
}

int MetaSnapshot::read(std::string_view path, MetaValue& value, int grow) {
  if (rc_ != 0) return rc_;
  std::string keyText;
  MDB_val key, data;
  fillKey(keyText, path, value.kind, key);
  int rc = mdb_get(txn_.get(), dbi_, &key, &data);
  if (rc != 0) {
    logAt(LOG_DEBUG, "failed to get %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
    return rc;
  }
  if (!ownsKey(txn_.get(), dbi_, path)) return MDB_NOTFOUND;
  const uint64_t stored = data.mv_size;
  if (stored <= value.length) {
    if (stored > 0) std::memcpy(value.data, data.mv_data, stored);
    value.length = stored;
    return 0;
  }
  if (grow != 0 && stored <= kGrowLimit) {
    try {
      value.storage.resize(stored);
      value.data = value.storage.data();
      std::memcpy(value.data, data.mv_data, stored);
      value.length = stored;
      return 0;
    } catch (const std::bad_alloc&) {
      // The old buffer stays; it gets what fits.
    }
  }
  if (value.length > 0) std::memcpy(value.data, data.mv_data, value.length);
  return META_TRUNCATED;
}

int writeMeta(std::string_view path, const MetaValue& value, const char* dbName) {
  MdbTxn txn;
  MDB_dbi dbi = 0;
  int rc = beginWrite(dbName, txn, dbi);
  if (rc != 0) return rc;
  std::string keyText;
  MDB_val key;
  fillKey(keyText, path, value.kind, key);
  MDB_val data{value.length, value.data};
  rc = mdb_put(txn.get(), dbi, &key, &data, 0);
  if (rc != 0) {
    logAt(LOG_ERROR, "failed to save %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
    return rc;
  }
  if ((rc = putFullName(txn.get(), dbi, path)) != 0) return rc;
  return commit(txn);
}

namespace {

// Copies the "meta" records of `oldPath` to `newPath` in `txn`, removing the
// old ones unless `keepOld` (or the names are one).
int moveIn(MDB_txn* txn, MDB_dbi dbi, std::string_view oldPath, std::string_view newPath,
           bool keepOld) {
  std::string oldText, newText, value;
  if (!ownsKey(txn, dbi, oldPath)) return 0;
  if (int rc = putFullName(txn, dbi, newPath); rc != 0) return rc;
  for (uint32_t kind : kRecordKinds) {
    MDB_val oldKey, newKey, data;
    fillKey(oldText, oldPath, kind, oldKey);
    fillKey(newText, newPath, kind, newKey);
    int rc = mdb_get(txn, dbi, &oldKey, &data);
    if (rc == MDB_NOTFOUND) continue;
    if (rc != 0) {
      logAt(LOG_ERROR, "failed to get %s -> %s\n", oldText.c_str(), mdb_strerror(rc));
      return rc;
    }
    // The value points into the map, which the put may rearrange.
    value.assign(static_cast<const char*>(data.mv_data), data.mv_size);
    MDB_val copy{value.size(), value.data()};
    rc = mdb_put(txn, dbi, &newKey, &copy, 0);
    if (rc != 0) {
      logAt(LOG_ERROR, "failed to save %s -> %s\n", newText.c_str(), mdb_strerror(rc));
      return rc;
    }
    // Moving a name onto itself must not delete what was just stored.
    if (!keepOld && oldPath != newPath) {
      rc = mdb_del(txn, dbi, &oldKey, nullptr);
      if (rc != 0) {
        logAt(LOG_ERROR, "failed to delete %s -> %s\n", oldText.c_str(), mdb_strerror(rc));
        return rc;
      }
    }
  }
  if (!keepOld && oldPath != newPath && longName(oldPath)) {
    oldText = fullKey(oldPath);
    MDB_val oldKey{oldText.size(), oldText.data()};
    if (const int rc = mdb_del(txn, dbi, &oldKey, nullptr); rc != 0 && rc != MDB_NOTFOUND)
      return rc;
  }
  return 0;
}

int eraseIn(MDB_txn* txn, MDB_dbi dbi, std::string_view path, uint32_t kind) {
  std::string keyText;
  if (!ownsKey(txn, dbi, path)) return 0;
  auto erase = [&](uint32_t k) {
    MDB_val key;
    fillKey(keyText, path, k, key);
    if (k == META_ALL) {
      keyText += kFullSuffix;
      key = {keyText.size(), keyText.data()};
    }
    const int rc = mdb_del(txn, dbi, &key, nullptr);
    if (rc != 0 && rc != MDB_NOTFOUND) {
      logAt(LOG_ERROR, "failed to delete %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
      return rc;
    }
    return 0;
  };
  if (kind != META_ALL) return erase(kind);
  for (uint32_t k : kRecordKinds)
    if (const int rc = erase(k); rc != 0) return rc;
  // The full name goes last: it tells whose the records above were.
  return longName(path) ? erase(META_ALL) : 0;
}

}  // namespace

MetaBatch& MetaBatch::put(std::string_view path, uint32_t kind, const char* dbName,
                          const void* data, size_t size) {
  ops_.push_back({Op::Put, std::string(path), {}, std::string(static_cast<const char*>(data), size),
                  kind, dbName});
  return *this;
}

MetaBatch& MetaBatch::claim(std::string_view path) {
  ops_.push_back({Op::Claim, std::string(path), {}, {}, META_NAME, "meta"});
  return *this;
}

MetaBatch& MetaBatch::erase(std::string_view path, uint32_t kind, const char* dbName) {
  ops_.push_back({Op::Erase, std::string(path), {}, {}, kind, dbName});
  return *this;
}

MetaBatch& MetaBatch::move(std::string_view oldPath, std::string_view newPath, bool keepOld) {
  ops_.push_back({keepOld ? Op::Copy : Op::Move, std::string(oldPath), std::string(newPath), {},
                  0, "meta"});
  return *this;
}

int MetaBatch::commit() {
  std::vector<Op> ops = std::move(ops_);
  ops_.clear();
  if (ops.empty()) return 0;
  std::vector<MDB_dbi> handles(ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    if (const int rc = databaseHandle(ops[i].dbName, &handles[i]); rc != 0) {
      logAt(LOG_ERROR, "mdb_dbi_open(%s) failed: %s\n", ops[i].dbName, mdb_strerror(rc));
      return rc;
    }
  }
  MdbTxn txn;
  int rc = txn.begin(vaskfsArgs.env, 0);
  if (rc != 0) {
    logAt(LOG_ERROR, "failed to begin writeTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  std::string keyText;
  bool skipping = false;
  for (size_t i = 0; i < ops.size(); ++i) {
    Op& op = ops[i];
    const MDB_dbi dbi = handles[i];
    if (op.type == Op::Claim) {
      MDB_val key, data;
      fillKey(keyText, op.path, META_NAME, key);
      rc = mdb_get(txn.get(), dbi, &key, &data);
      if (rc != 0 && rc != MDB_NOTFOUND) return rc;
      skipping = rc == 0;
      rc = 0;
      continue;
    }
    if (skipping) continue;
    if (op.type == Op::Put) {
      MDB_val key;
      fillKey(keyText, op.path, op.kind, key);
      MDB_val data{op.value.size(), op.value.data()};
      rc = mdb_put(txn.get(), dbi, &key, &data, 0);
      if (rc != 0) logAt(LOG_ERROR, "failed to save %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
      if (rc == 0) rc = putFullName(txn.get(), dbi, op.path);
    } else if (op.type == Op::Erase) {
      rc = eraseIn(txn.get(), dbi, op.path, op.kind);
    } else {
      rc = moveIn(txn.get(), dbi, op.path, op.other, op.type == Op::Copy);
    }
    if (rc != 0) return rc;
  }
  return ::commit(txn);
}

int moveMeta(std::string_view oldPath, std::string_view newPath, int keepOld) {
  return MetaBatch().move(oldPath, newPath, keepOld != 0).commit();
}

int deleteMeta(std::string_view path, uint32_t kind, const char* dbName) {
  return MetaBatch().erase(path, kind, dbName).commit();
}

int writeMetaRecords(const std::vector<MetaRecord>& records) {
  MetaBatch batch;
  for (const MetaRecord& r : records) batch.put(r.path, r.kind, r.dbName, r.data, r.size);
  return batch.commit();
}

int readMetaText(std::string_view path, uint32_t kind, const char* dbName, std::string& out) {
  MetaSnapshot snapshot(dbName);
  return snapshot.text(path, kind, out);
}

int readMetaFixed(std::string_view path, uint32_t kind, void* out, size_t size) {
  MetaSnapshot snapshot("meta");
  return snapshot.fixed(path, kind, out, size);
}

int MetaSnapshot::text(std::string_view path, uint32_t kind, std::string& out) {
  MetaValue value;
  value.kind = kind;
  value.storage.resize(1023);
  value.data = value.storage.data();
  value.length = value.storage.size();
  const int rc = read(path, value, 1);
  if (rc == 0) out.assign(static_cast<const char*>(value.data), value.length);
  return rc;
}

int MetaSnapshot::fixed(std::string_view path, uint32_t kind, void* out, size_t size) {
  // One byte more than expected, so that a longer value shows as such.
  char buffer[META_STAT_SIZE + 1];
  MetaValue value;
  value.kind = kind;
  value.data = buffer;
  value.length = size + 1;
  const int rc = read(path, value, 0);
  if (rc != 0 && rc != META_TRUNCATED) return rc;
  if (rc == META_TRUNCATED || value.length != size) {
    logAt(LOG_ERROR, "record %.*s%s is damaged: %s bytes stored where %zu belong; ignored\n",
          static_cast<int>(path.size()), path.data(), kSuffix[kind],
          rc == META_TRUNCATED ? "more" : std::to_string(value.length).c_str(), size);
    return MDB_NOTFOUND;
  }
  std::memcpy(out, buffer, size);
  return 0;
}

int writeMetaBytes(std::string_view path, uint32_t kind, const char* dbName, const void* data,
                   size_t size) {
  MetaValue value;
  value.kind = kind;
  value.length = size;
  value.data = const_cast<void*>(data);
  return writeMeta(path, value, dbName);
}

namespace {

bool below(std::string_view name, std::string_view dirSlash) {
  return name.size() > dirSlash.size() && name.substr(0, dirSlash.size()) == dirSlash;
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// A file string quotes its file as ='name' with apostrophes doubled; only
// a quote that opens such a name is a name (an inner doubled apostrophe
// followed by the directory is not).
void moveQuotedNames(std::string& command, std::string_view oldDirSlash,
                     std::string_view newDirSlash) {
  const std::string from = "='" + doubleApostrophes(oldDirSlash);
  const std::string to = "='" + doubleApostrophes(newDirSlash);
  for (size_t at = command.find(from); at != std::string::npos; at = command.find(from, at)) {
    command.replace(at, from.size(), to);
    at += to.size();
  }
}

std::string renamedBelow(std::string_view name, std::string_view oldDirSlash,
                         std::string_view newDirSlash) {
  return std::string(newDirSlash) + std::string(name.substr(oldDirSlash.size()));
}

// One record below a moved directory: its key, the full name it belongs
// to, its kind's suffix and its value.
struct TreeEntry {
  std::string key, name, suffix, value;
};

// The name base and kind suffix of a stored key; false for a key of no kind.
bool splitKey(std::string_view key, std::string_view& base, std::string_view& suffix) {
  size_t best = 0;
  for (uint32_t kind : kRecordKinds) {
    const std::string_view s = kSuffix[kind];
    if (s.size() > best && endsWith(key, s)) best = s.size();
  }
  if (endsWith(key, kFullSuffix)) best = std::strlen(kFullSuffix);
  if (best == 0 || best >= key.size()) return false;
  base = key.substr(0, key.size() - best);
  suffix = key.substr(key.size() - best);
  return true;
}

bool hashedBase(std::string_view base) {
  return base.size() == kLongKeyHead + 2 + kDigestHex && base.substr(kLongKeyHead, 2) == "//";
}

// Every record of `dbi` whose name lies below `prefix`, copied out of the
// map. Long names are scanned by their first bytes and told apart by the
// full names kept for them.
int collectBelow(MDB_txn* txn, MDB_dbi dbi, const std::string& prefix,
                 std::vector<TreeEntry>& out) {
  MdbCursor cursor;
  int rc = cursor.open(txn, dbi);
  if (rc != 0) return rc;
  std::string start = prefix.substr(0, std::min(prefix.size(), kLongKeyHead));
  MDB_val key{start.size(), start.data()}, data;
  std::string_view base, suffix;
  for (rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_SET_RANGE); rc == 0;
       rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) {
    const std::string_view keyText(static_cast<const char*>(key.mv_data), key.mv_size);
    if (keyText.substr(0, start.size()) != start) break;
    if (!splitKey(keyText, base, suffix) || suffix == kFullSuffix) continue;
    TreeEntry e{std::string(keyText), std::string(base), std::string(suffix),
                std::string(static_cast<const char*>(data.mv_data), data.mv_size)};
    if (hashedBase(base)) {
      const std::string full = std::string(base) + kFullSuffix;
      MDB_val fk{full.size(), const_cast<char*>(full.data())}, fv;
      if (mdb_get(txn, dbi, &fk, &fv) != 0) continue;  // no owner known: left alone
      e.name.assign(static_cast<const char*>(fv.mv_data), fv.mv_size);
    }
    if (below(e.name, prefix)) out.push_back(std::move(e));
  }
  return rc == MDB_NOTFOUND ? 0 : rc;
}

int putText(MDB_txn* txn, MDB_dbi dbi, const std::string& keyText, std::string& value) {
  MDB_val key{keyText.size(), const_cast<char*>(keyText.data())};
  MDB_val data{value.size(), value.data()};
  const int rc = mdb_put(txn, dbi, &key, &data, 0);
  if (rc != 0) logAt(LOG_ERROR, "failed to save %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
  return rc;
}

int delText(MDB_txn* txn, MDB_dbi dbi, const std::string& keyText) {
  MDB_val key{keyText.size(), const_cast<char*>(keyText.data())};
  const int rc = mdb_del(txn, dbi, &key, nullptr);
  if (rc != 0 && rc != MDB_NOTFOUND) {
    logAt(LOG_ERROR, "failed to delete %s -> %s\n", keyText.c_str(), mdb_strerror(rc));
    return rc;
  }
  return 0;
}

// Reads `keyText` of `dbi` into `out`; MDB_NOTFOUND when absent.
int getText(MDB_txn* txn, MDB_dbi dbi, const std::string& keyText, std::string& out) {
  MDB_val key{keyText.size(), const_cast<char*>(keyText.data())}, data;
  const int rc = mdb_get(txn, dbi, &key, &data);
  if (rc == 0) out.assign(static_cast<const char*>(data.mv_data), data.mv_size);
  return rc;
}

}  // namespace

int moveMetaTree(std::string_view oldDir, std::string_view newDir) try {
  if (oldDir == newDir) return 0;
  MDB_dbi meta = 0, real = 0;
  int rc;
  if ((rc = databaseHandle("meta", &meta)) != 0 || (rc = databaseHandle("real", &real)) != 0) {
    logAt(LOG_ERROR, "mdb_dbi_open failed: %s\n", mdb_strerror(rc));
    return rc;
  }
  MdbTxn txn;
  rc = txn.begin(vaskfsArgs.env, 0);
  if (rc != 0) {
    logAt(LOG_ERROR, "failed to begin writeTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  const std::string oldSlash = std::string(oldDir) + "/", newSlash = std::string(newDir) + "/";
  std::vector<TreeEntry> metaBelow, realBelow;
  if ((rc = collectBelow(txn.get(), meta, oldSlash, metaBelow)) != 0 ||
      (rc = collectBelow(txn.get(), real, oldSlash, realBelow)) != 0) {
    logAt(LOG_ERROR, "failed to list the records below %s: %s\n", oldSlash.c_str(),
          mdb_strerror(rc));
    return rc;
  }
  // All old keys go first: a new name may sort among the old ones.
  for (const TreeEntry& e : metaBelow)
    if ((rc = delText(txn.get(), meta, e.key)) != 0 ||
        (longName(e.name) && (rc = delText(txn.get(), meta, fullKey(e.name))) != 0))
      return rc;
  for (const TreeEntry& e : realBelow)
    if ((rc = delText(txn.get(), real, e.key)) != 0 ||
        (longName(e.name) && (rc = delText(txn.get(), real, fullKey(e.name))) != 0))
      return rc;
  const std::string nameSuffix = kSuffix[META_NAME];
  for (TreeEntry& e : metaBelow) {
    const std::string newName = renamedBelow(e.name, oldSlash, newSlash);
    const std::string newKey = keyBase(newName) + e.suffix;
    if (e.suffix == nameSuffix) {
      if (below(e.value, oldSlash)) {
        e.value = renamedBelow(e.value, oldSlash, newSlash);
      } else {
        // A physical file outside the directory keeps its place; its
        // record must name the logical file where it now is.
        std::string owner, realKey = keyBase(e.value) + nameSuffix;
        if (getText(txn.get(), real, realKey, owner) == 0 && owner == e.name) {
          std::string moved = newName;
          if ((rc = putText(txn.get(), real, realKey, moved)) != 0) return rc;
        }
      }
    } else if (e.suffix == kSuffix[META_READ] || e.suffix == kSuffix[META_WRITE]) {
      moveQuotedNames(e.value, oldSlash, newSlash);
    }
    if ((rc = putText(txn.get(), meta, newKey, e.value)) != 0 ||
        (rc = putFullName(txn.get(), meta, newName)) != 0)
      return rc;
  }
  for (TreeEntry& e : realBelow) {
    const std::string newPhysical = renamedBelow(e.name, oldSlash, newSlash);
    const std::string newKey = keyBase(newPhysical) + e.suffix;
    if (below(e.value, oldSlash)) {
      e.value = renamedBelow(e.value, oldSlash, newSlash);
    } else if (e.suffix == nameSuffix) {
      // A file below shown under a name outside: that name's records must
      // find the physical file where it now is.
      const std::string& oldPhysical = e.name;
      std::string stored, nameKey = keyBase(e.value) + nameSuffix;
      if (getText(txn.get(), meta, nameKey, stored) == 0 && stored == oldPhysical) {
        std::string moved = newPhysical;
        if ((rc = putText(txn.get(), meta, nameKey, moved)) != 0) return rc;
        for (uint32_t kind : {META_READ, META_WRITE}) {
          std::string command, commandKey = keyBase(e.value) + kSuffix[kind];
          if (getText(txn.get(), meta, commandKey, command) != 0) continue;
          const std::string from = "='" + doubleApostrophes(oldPhysical) + "'";
          if (const size_t at = command.find(from); at != std::string::npos) {
            command.replace(at, from.size(), "='" + doubleApostrophes(newPhysical) + "'");
            if ((rc = putText(txn.get(), meta, commandKey, command)) != 0) return rc;
          }
        }
      }
    }
    if ((rc = putText(txn.get(), real, newKey, e.value)) != 0 ||
        (rc = putFullName(txn.get(), real, newPhysical)) != 0)
      return rc;
  }
  return commit(txn);
} catch (const std::bad_alloc&) {
  return ENOMEM;
}
