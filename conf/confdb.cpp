// Opening the index environment and the write operations on entries.
#include "confdb.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "confdbMessage.h"
#include "lmdbGuard.h"

namespace {

// Room reserved up front so that a rule read from the index rarely grows a
// string.
constexpr size_t PATTERN_CAPACITY = 64;
constexpr size_t TEXT_CAPACITY = 1024;

// Four sub-databases: confR and confW here, meta and real of the daemon.
constexpr MDB_dbi MAX_DBS = 4;

void appendWord(std::string& out, uint32_t word) {
  char bytes[sizeof word];
  std::memcpy(bytes, &word, sizeof word);
  out.append(bytes, sizeof word);
}

void appendText(std::string& out, const std::string& text) {
  appendWord(out, static_cast<uint32_t>(text.size()));
  out.append(text);
}

MDB_val keyOf(int32_t& index) { return MDB_val{sizeof index, &index}; }

// Begins a write transaction and opens (creating) `dbName` in it, reporting
// a failure in the words every write operation shares.
int beginWrite(MDB_env* env, const char* dbName, MdbTxn& txn, MDB_dbi& dbi) {
  int rc = txn.begin(env, 0);
  if (rc != 0) {
    confdbReport(1, "failed to begin writeTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  rc = mdb_dbi_open(txn.get(), dbName, MDB_CREATE | MDB_INTEGERKEY, &dbi);
  if (rc != 0) {
    confdbReport(1, "mdb_dbi_open failed: %s\n", mdb_strerror(rc));
    txn.reset();
  }
  return rc;
}

// Creates an environment with this index's settings. On failure it reports,
// leaves nothing open and returns the code.
int createEnvironment(MDB_env** env) {
  int rc = mdb_env_create(env);
  if (rc != 0) {
    confdbReport(1, "Failed to create index environment: %s\n", mdb_strerror(rc));
    *env = nullptr;
    return rc;
  }
  rc = mdb_env_set_mapsize(*env, CONFIG_MAP_SIZE);
  if (rc == 0) rc = mdb_env_set_maxdbs(*env, MAX_DBS);
  if (rc != 0) {
    confdbReport(1, "Failed to set number of DBs: %s\n", mdb_strerror(rc));
    mdb_env_close(*env);
    *env = nullptr;
  }
  return rc;
}

// Stores `entry` under its index in `dbi` within `txn`, in the current
// layout, replacing what was there. Reports a failure; the caller aborts.
int putEntry(MDB_txn* txn, MDB_dbi dbi, const ConfigEntry& entry) {
  constexpr size_t limit = std::numeric_limits<uint32_t>::max();
  if (entry.pattern.size() > limit || entry.fileString.size() > limit ||
      entry.formatString.size() > limit || entry.targetPattern.size() > limit) {
    confdbReport(1, "failed to save index %d -> %s\n", entry.index, std::strerror(EOVERFLOW));
    return EOVERFLOW;
  }
  std::string value;
  try {
    value.reserve(6 * sizeof(uint32_t) + entry.pattern.size() + entry.fileString.size() +
                  entry.formatString.size() + entry.targetPattern.size());
  } catch (const std::bad_alloc&) {
    return -1;
  } catch (const std::length_error&) {
    return -1;
  }
  appendWord(value, CONFIG_ENTRY_VERSION);
  appendText(value, entry.pattern);
  appendText(value, entry.fileString);
  appendText(value, entry.formatString);
  appendText(value, entry.targetPattern);
  appendWord(value, entry.flags);

  int32_t index = entry.index;
  MDB_val key = keyOf(index);
  MDB_val data{value.size(), value.data()};
  const int rc = mdb_put(txn, dbi, &key, &data, 0);
  if (rc != 0) confdbReport(1, "failed to save index %d -> %s\n", entry.index, mdb_strerror(rc));
  return rc;
}

}  // namespace

int initConfEntry(ConfigEntry& entry) {
  entry.pattern.clear();
  entry.fileString.clear();
  entry.formatString.clear();
  entry.targetPattern.clear();
  entry.pattern.reserve(PATTERN_CAPACITY);
  entry.formatString.reserve(TEXT_CAPACITY);
  entry.fileString.reserve(TEXT_CAPACITY);
  entry.targetPattern.reserve(TEXT_CAPACITY);
  entry.index = 0;
  entry.isSet = 0;
  entry.flags = 0;
  return 0;
}

std::string indexDirectory(const char* root, const char* indexDir, const char* view) {
  std::string path;
  if (indexDir != nullptr) {
    path = indexDir;
  } else {
    path = root;
    path += "/.vaskIndex";
  }
  if (view != nullptr) {
    path += '/';
    path += view;
  }
  return path;
}

int openConfig(MDB_env** env, const char* root, const char* view) {
  return openConfigAt(env, indexDirectory(root, nullptr, view).c_str());
}

int openConfigAt(MDB_env** env, const char* path) {
  int rc = createEnvironment(env);
  if (rc != 0) return rc;
  rc = mdb_env_open(*env, path, 0, 0600);
  if (rc == ENOENT) {
    // Only the last component is made: a view needs its root's index first.
    if (mkdir(path, 0700) != 0) {
      confdbReport(1, "failed to create %s -> %s\n", path, std::strerror(errno));
      confdbReport(1, "Failed to open %s: %s\n", path, mdb_strerror(-1));
      closeIndex(*env);
      *env = nullptr;
      return -1;
    }
    // A failed open leaves the environment unusable: open a fresh one with
    // the same settings.
    closeIndex(*env);
    rc = createEnvironment(env);
    if (rc != 0) return rc;
    rc = mdb_env_open(*env, path, 0, 0600);
  }
  if (rc != 0) {
    confdbReport(1, "Failed to open %s: %s\n", path, mdb_strerror(rc));
    closeIndex(*env);
    *env = nullptr;
  }
  return rc;
}

void closeIndex(MDB_env* env) {
  if (env != nullptr) mdb_env_close(env);
}

int writeConfigEntry(MDB_env* env, const ConfigEntry& entry, const char* dbName) {
  MdbTxn txn;
  MDB_dbi dbi = 0;
  int rc = beginWrite(env, dbName, txn, dbi);
  if (rc != 0) return rc;
  rc = putEntry(txn.get(), dbi, entry);
  if (rc != 0) return rc;
  rc = txn.commit();
  if (rc != 0) confdbReport(1, "failed to commit writeTA: %s\n", mdb_strerror(rc));
  return rc;
}

int replaceConfigLists(MDB_env* env, const std::vector<ConfigList>& lists) {
  MdbTxn txn;
  int rc = txn.begin(env, 0);
  if (rc != 0) {
    confdbReport(1, "failed to begin writeTA: %s\n", mdb_strerror(rc));
    return rc;
  }
  for (const ConfigList& list : lists) {
    MDB_dbi dbi = 0;
    rc = mdb_dbi_open(txn.get(), list.dbName, MDB_CREATE | MDB_INTEGERKEY, &dbi);
    if (rc != 0) {
      confdbReport(1, "mdb_dbi_open failed: %s\n", mdb_strerror(rc));
      return rc;
    }
    // Emptied, not deleted: the sub-database stays, so that an empty list
    // still lists as empty rather than as never written, and a running
    // daemon's handle of it stays valid.
    rc = mdb_drop(txn.get(), dbi, 0);
    if (rc != 0) {
      confdbReport(1, "failed to empty %s -> %s\n", list.dbName, mdb_strerror(rc));
      return rc;
    }
    for (const ConfigEntry& entry : list.entries) {
      rc = putEntry(txn.get(), dbi, entry);
      if (rc != 0) return rc;
    }
  }
  rc = txn.commit();
  if (rc != 0) confdbReport(1, "failed to commit writeTA: %s\n", mdb_strerror(rc));
  return rc;
}

int moveConfigEntry(MDB_env* env, int32_t fromIndex, int32_t toIndex, const char* dbName) {
  MdbTxn txn;
  MDB_dbi dbi = 0;
  int rc = beginWrite(env, dbName, txn, dbi);
  if (rc != 0) return rc;

  MDB_val fromKey = keyOf(fromIndex);
  MDB_val data;
  rc = mdb_get(txn.get(), dbi, &fromKey, &data);
  if (rc != 0) {
    confdbReport(1, "failed to get move index %d: %s\n", fromIndex, mdb_strerror(rc));
    return rc;
  }
  // Storing and then deleting the same key would lose the entry.
  if (fromIndex == toIndex) return 0;

  // The value points into the map, which the put may rearrange: store a copy.
  std::string value(static_cast<const char*>(data.mv_data), data.mv_size);
  MDB_val toKey = keyOf(toIndex);
  MDB_val copy{value.size(), value.data()};
  rc = mdb_put(txn.get(), dbi, &toKey, &copy, 0);
  if (rc != 0) {
    confdbReport(1, "failed to store in new index %d: %s\n", toIndex, mdb_strerror(rc));
    return rc;
  }
  rc = mdb_del(txn.get(), dbi, &fromKey, nullptr);
  if (rc != 0) {
    confdbReport(1, "failed to delete old index %d -> %s\n", fromIndex, mdb_strerror(rc));
    return rc;
  }
  rc = txn.commit();
  if (rc != 0) confdbReport(1, "failed to commit delete: %s\n", mdb_strerror(rc));
  return rc;
}

int deleteConfigEntry(MDB_env* env, const ConfigEntry& entry, const char* dbName) {
  MdbTxn txn;
  MDB_dbi dbi = 0;
  int rc = beginWrite(env, dbName, txn, dbi);
  if (rc != 0) return rc;

  int32_t index = entry.index;
  MDB_val key = keyOf(index);
  rc = mdb_del(txn.get(), dbi, &key, nullptr);
  if (rc != 0) {
    confdbReport(1, "failed to delete index %d -> %s\n", entry.index, mdb_strerror(rc));
    return rc;
  }
  rc = txn.commit();
  if (rc != 0) confdbReport(1, "failed to commit delete: %s\n", mdb_strerror(rc));
  return rc;
}
