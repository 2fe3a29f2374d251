// The locks of a daemon that serves requests on several threads.
//
// Lock order, outermost first: the tree lock, one file's lock, one
// handle's conversion lock; then the leaves (this registry's mutex, the
// list of live handles, the writer-lock table, the sub-database handles,
// the plain-command cache), of which a thread holds at most one and under
// which it takes nothing else. LMDB's own writer lock comes last of all: no
// daemon lock is taken inside a transaction.
#include <cassert>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "locks.h"

namespace {

// Namespace operations (rename, unlink, rmdir, link) move or remove names
// that other requests hold, a directory's whole tree at once: they hold it
// exclusively, every other request holds it shared.
std::shared_mutex treeMutex;

struct FileMutex {
  std::mutex mutex;  // guards the file's handles, stream and records
  int users = 0;     // requests holding or waiting for `mutex`
};

// Guards `fileMutexes` (and each entry's `users`); a leaf.
std::mutex registryMutex;
std::unordered_map<std::string, FileMutex*>& fileMutexes() {
  static std::unordered_map<std::string, FileMutex*> table;
  return table;
}

// Guards `inFlight`; a leaf.
std::mutex inFlightMutex;
std::unordered_multiset<std::string>& inFlight() {
  static std::unordered_multiset<std::string> dirs;
  return dirs;
}

}  // namespace

TreeGuard::TreeGuard(bool exclusive) : exclusive_(exclusive) {
  if (exclusive_) {
    treeMutex.lock();
  } else {
    treeMutex.lock_shared();
  }
}

TreeGuard::~TreeGuard() {
  if (exclusive_) {
    treeMutex.unlock();
  } else {
    treeMutex.unlock_shared();
  }
}

FileGuard::FileGuard(std::string logical) : name_(std::move(logical)) {
  FileMutex* entry;
  {
    std::lock_guard<std::mutex> guard(registryMutex);
    FileMutex*& slot = fileMutexes()[name_];
    if (slot == nullptr) slot = new FileMutex;
    entry = slot;
    ++entry->users;
  }
  entry->mutex.lock();
  entry_ = entry;
}

FileGuard::~FileGuard() {
  FileMutex* entry = static_cast<FileMutex*>(entry_);
  entry->mutex.unlock();
  std::lock_guard<std::mutex> guard(registryMutex);
  if (--entry->users == 0) {
    fileMutexes().erase(name_);
    delete entry;
  }
}

InFlight::InFlight(std::string dir) : dir_(std::move(dir)) {
  std::lock_guard<std::mutex> guard(inFlightMutex);
  inFlight().insert(dir_);
}

InFlight::~InFlight() {
  std::lock_guard<std::mutex> guard(inFlightMutex);
  if (auto found = inFlight().find(dir_); found != inFlight().end()) inFlight().erase(found);
}

bool workInFlight(const std::string& dir) {
  std::lock_guard<std::mutex> guard(inFlightMutex);
  return inFlight().count(dir) != 0;
}
