// Reading stored entries: the decoder of the three stored layouts and the
// read-only iteration over a sub-database.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "confdb.h"
#include "confdbMessage.h"
#include "lmdbGuard.h"

namespace {

// Walks a stored value and refuses to step past its end.
class ValueReader {
 public:
  ValueReader(const MDB_val& value, size_t start)
      : bytes_(static_cast<const char*>(value.mv_data)), size_(value.mv_size), pos_(start) {}

  bool word(uint32_t& out) {
    if (size_ - pos_ < sizeof out) return false;
    std::memcpy(&out, bytes_ + pos_, sizeof out);
    pos_ += sizeof out;
    return true;
  }
  bool text(std::string_view& out) {
    uint32_t length = 0;
    if (!word(length) || size_ - pos_ < length) return false;
    out = std::string_view(bytes_ + pos_, length);
    pos_ += length;
    return true;
  }

 private:
  const char* bytes_;
  size_t size_;
  size_t pos_;
};

// Opens a read-only iteration of `dbName` into `txn` and `cursor`.
int beginIteration(MDB_env* env, const char* dbName, MdbTxn& txn, MDB_dbi& dbi, MdbCursor& cursor) {
  int rc = txn.begin(env, MDB_RDONLY);
  if (rc != 0) {
    confdbReport(1, "failed to begin readTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  rc = mdb_dbi_open(txn.get(), dbName, MDB_INTEGERKEY, &dbi);
  if (rc != 0) {
    confdbReport(1, "mdb_dbi_open failed: %s\n", mdb_strerror(rc));
    return rc;
  }
  rc = cursor.open(txn.get(), dbi);
  if (rc != 0) confdbReport(1, "mdb_open_cursor failed: %s\n", mdb_strerror(rc));
  return rc;
}

void reportEnd(int rc) {
  if (rc != MDB_NOTFOUND) confdbReport(1, "readConfEntry failed: %d\n", rc);
}

}  // namespace

int readConfigEntry(MDB_cursor* cursor, ConfigEntry& entry, MDB_cursor_op op) {
  MDB_val key;
  MDB_val data;
  int rc = mdb_cursor_get(cursor, &key, &data, op);
  if (rc == MDB_NOTFOUND) return rc;
  if (rc != 0) {
    confdbReport(1, "failed to get %d -> %s\n", entry.index, mdb_strerror(rc));
    return rc;
  }
  int32_t index = 0;
  if (key.mv_size != sizeof index) {
    confdbReport(1, "config entry with a key of %zu bytes is corrupt\n", key.mv_size);
    return MDB_CORRUPTED;
  }
  std::memcpy(&index, key.mv_data, sizeof index);

  // Decode everything before touching the record, so that a refused value
  // leaves it as it was.
  uint32_t first = 0;
  bool whole = ValueReader(data, 0).word(first);
  const bool hasVersion = first > CONFIG_ENTRY_NOFLAGS_MIN;
  const bool hasFlags = first > CONFIG_ENTRY_NOFLAGS_MAX;
  ValueReader reader(data, hasVersion ? sizeof first : 0);
  std::string_view pattern, fileString, formatString, targetPattern;
  uint32_t flags = entry.flags;
  whole = whole && reader.text(pattern) && reader.text(fileString) && reader.text(formatString) &&
          reader.text(targetPattern);
  if (whole && hasFlags) whole = reader.word(flags);
  if (!whole) {
    confdbReport(1, "config entry %d is corrupt: its lengths run past the %zu bytes stored\n",
                 index, data.mv_size);
    return MDB_CORRUPTED;
  }

  entry.index = index;
  if (first != CONFIG_ENTRY_VERSION) {
    confdbReport(2, "WARNING: read config entry VERSION %u but expected: %u\n", first,
                 CONFIG_ENTRY_VERSION);
  }
  entry.pattern.assign(pattern);
  entry.fileString.assign(fileString);
  entry.formatString.assign(formatString);
  entry.targetPattern.assign(targetPattern);
  entry.flags = flags;
  return 0;
}

int readFirstEntry(ConfigCursor& iter, ConfigEntry& entry, const char* dbName) {
  MdbTxn txn;
  MdbCursor cursor;
  MDB_dbi dbi = 0;
  int rc = beginIteration(iter.env, dbName, txn, dbi, cursor);
  if (rc != 0) return rc;
  rc = readConfigEntry(cursor.get(), entry, MDB_FIRST);
  if (rc != 0) {
    reportEnd(rc);
    return rc;  // the guards close cursor and transaction
  }
  iter.dbi = dbi;
  iter.cursor = cursor.release();
  iter.txn = txn.release();
  return 0;
}

int readNextEntry(ConfigCursor& iter, ConfigEntry& entry) {
  int rc = readConfigEntry(iter.cursor, entry, MDB_NEXT);
  if (rc != 0) {
    reportEnd(rc);
    closeConfigCursor(iter);
  }
  return rc;
}

void closeConfigCursor(ConfigCursor& iter) {
  MdbTxn txn(iter.txn);
  MdbCursor cursor(iter.cursor);
  iter.txn = nullptr;
  iter.cursor = nullptr;
}

int readAllEntries(MDB_env* env, ConfigEntry& entry, const char* dbName) {
  ConfigCursor iter;
  iter.env = env;
  int rc = readFirstEntry(iter, entry, dbName);
  while (rc == 0) {
    std::printf("[%3d,%u] \"%s\" \"%s\" \"%s\" \"%s\"\n", entry.index, entry.flags,
                entry.pattern.c_str(), entry.targetPattern.c_str(), entry.formatString.c_str(),
                entry.fileString.c_str());
    rc = readNextEntry(iter, entry);
  }
  return rc;
}

int readConfigList(MDB_env* env, ConfigList& list) {
  list.entries.clear();
  MdbTxn txn;
  int rc = txn.begin(env, MDB_RDONLY);
  if (rc != 0) {
    confdbReport(1, "failed to begin readTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  MDB_dbi dbi = 0;
  rc = mdb_dbi_open(txn.get(), list.dbName, MDB_INTEGERKEY, &dbi);
  if (rc == MDB_NOTFOUND) return 0;  // never written: no rules
  if (rc != 0) {
    confdbReport(1, "mdb_dbi_open failed: %s\n", mdb_strerror(rc));
    return rc;
  }
  MdbCursor cursor;
  rc = cursor.open(txn.get(), dbi);
  if (rc != 0) {
    confdbReport(1, "mdb_open_cursor failed: %s\n", mdb_strerror(rc));
    return rc;
  }
  ConfigEntry entry;
  initConfEntry(entry);
  for (rc = readConfigEntry(cursor.get(), entry, MDB_FIRST); rc == 0;
       rc = readConfigEntry(cursor.get(), entry, MDB_NEXT)) {
    list.entries.push_back(entry);
  }
  if (rc == MDB_NOTFOUND) return 0;
  reportEnd(rc);
  list.entries.clear();
  return rc;
}
