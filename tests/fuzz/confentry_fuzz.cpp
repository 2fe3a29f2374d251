// The reader of stored configuration entries: the input is the value
// stored under one key of a real LMDB index, read back entry by entry.
// A value whose lengths run past its end must be refused, never read past.
#include <lmdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "confdb.h"

namespace {

MDB_env* index() {
  static MDB_env* env = [] {
    char dir[] = "/tmp/xiobyt-fuzz-confXXXXXX";
    if (!mkdtemp(dir)) abort();
    setConfdbMessageSink([](int, const char*) {});
    MDB_env* e = nullptr;
    if (openConfig(&e, dir, nullptr) != 0) abort();
    ConfigEntry entry;
    initConfEntry(entry);
    entry.index = 1;
    entry.pattern.assign(1, '*');
    if (writeConfigEntry(e, entry, "config") != 0) abort();  // makes the database
    return e;
  }();
  return env;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  MDB_env* env = index();
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  if (mdb_txn_begin(env, nullptr, 0, &txn) != 0) return 0;
  if (mdb_dbi_open(txn, "config", MDB_INTEGERKEY, &dbi) != 0) {
    mdb_txn_abort(txn);
    return 0;
  }
  int32_t key = 1;
  MDB_val k{sizeof key, &key}, v{size, const_cast<unsigned char*>(data)};
  if (mdb_put(txn, dbi, &k, &v, 0) != 0 || mdb_txn_commit(txn) != 0) return 0;
  ConfigEntry entry;
  initConfEntry(entry);
  ConfigCursor it;
  it.env = env;
  for (int rc = readFirstEntry(it, entry, "config"); rc == 0; rc = readNextEntry(it, entry)) {
  }
  closeConfigCursor(it);
  return 0;
}
