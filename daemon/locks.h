// The daemon's locks. libfuse serves requests on several threads (one with
// -s or -o threads=1). The operations table's wrappers (operations.cpp)
// take them for each request; the functions they call assume them held and
// never take them again.
//
// Order: the tree lock, then one file's lock, then a handle's useMutex,
// then the leaf mutexes (the registries of file locks, live handles,
// writer locks and directories in flight), which are held for a lookup
// only. No lock is taken inside an LMDB write transaction: each index
// access is a transaction of its own, innermost, so the configuration tool
// may change the rules from another process meanwhile.
#pragma once

#include <string>

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
