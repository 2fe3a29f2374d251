// Owners of LMDB handles, so that every return path aborts, closes or frees
// what it opened.
//
// Ownership: each guard owns one handle from construction until it is
// committed, released or destroyed; copies are deleted, moves transfer it.
// Thread safety: a guard is used by the thread that owns its transaction.
#pragma once

#include <lmdb.h>

#include <cerrno>
#include <memory>
#include <utility>

// A transaction that is aborted unless it was committed or released. Read
// transactions are never committed: they end by destruction.
class MdbTxn {
 public:
  MdbTxn() = default;
  explicit MdbTxn(MDB_txn* txn) : txn_(txn) {}
  MdbTxn(const MdbTxn&) = delete;
  MdbTxn& operator=(const MdbTxn&) = delete;
  MdbTxn(MdbTxn&& other) noexcept : txn_(std::exchange(other.txn_, nullptr)) {}
  MdbTxn& operator=(MdbTxn&& other) noexcept {
    if (this != &other) {
      reset();
      txn_ = std::exchange(other.txn_, nullptr);
    }
    return *this;
  }
  ~MdbTxn() { reset(); }

  // Begins a transaction on `env`; returns the LMDB result.
  int begin(MDB_env* env, unsigned int flags) {
    reset();
    if (env == nullptr) return EINVAL;  // LMDB would dereference it
    int rc = mdb_txn_begin(env, nullptr, flags, &txn_);
    if (rc == MDB_MAP_RESIZED) {
      // Another process grew the map: adopt its size and begin again.
      rc = mdb_env_set_mapsize(env, 0);
      if (rc == 0) rc = mdb_txn_begin(env, nullptr, flags, &txn_);
    }
    return rc;
  }
  // Commits; the transaction has ended whatever the result.
  int commit() { return mdb_txn_commit(std::exchange(txn_, nullptr)); }
  // Aborts now (no-op when nothing is held).
  void reset() {
    if (txn_ != nullptr) mdb_txn_abort(std::exchange(txn_, nullptr));
  }
  // Hands the transaction to the caller, who must end it.
  MDB_txn* release() { return std::exchange(txn_, nullptr); }
  MDB_txn* get() const { return txn_; }

 private:
  MDB_txn* txn_ = nullptr;
};

// A cursor that is closed at destruction. Destroy it before its transaction
// ends (declare it after the MdbTxn it belongs to).
class MdbCursor {
 public:
  MdbCursor() = default;
  explicit MdbCursor(MDB_cursor* cursor) : cursor_(cursor) {}
  MdbCursor(const MdbCursor&) = delete;
  MdbCursor& operator=(const MdbCursor&) = delete;
  MdbCursor(MdbCursor&& other) noexcept : cursor_(std::exchange(other.cursor_, nullptr)) {}
  MdbCursor& operator=(MdbCursor&& other) noexcept {
    if (this != &other) {
      reset();
      cursor_ = std::exchange(other.cursor_, nullptr);
    }
    return *this;
  }
  ~MdbCursor() { reset(); }

  // Opens a cursor on `dbi` within `txn`; returns the LMDB result.
  int open(MDB_txn* txn, MDB_dbi dbi) {
    reset();
    return mdb_cursor_open(txn, dbi, &cursor_);
  }
  void reset() {
    if (cursor_ != nullptr) mdb_cursor_close(std::exchange(cursor_, nullptr));
  }
  MDB_cursor* release() { return std::exchange(cursor_, nullptr); }
  MDB_cursor* get() const { return cursor_; }

 private:
  MDB_cursor* cursor_ = nullptr;
};

// An environment closed at destruction.
struct MdbEnvCloser {
  void operator()(MDB_env* env) const { mdb_env_close(env); }
};
using MdbEnvPtr = std::unique_ptr<MDB_env, MdbEnvCloser>;
