// The configuration index: the rules (configuration entries) of a root or of
// one of its views, kept in the LMDB environment <root>/.vaskIndex[/<view>]
// in the sub-databases "confR" (read direction) and "confW" (write
// direction). The configuration tool writes entries, the mount daemon reads
// them; the stored value layout is shared by both and must not change.
//
// Every operation returns 0 or the error number of the step that failed (an
// LMDB code, an errno value or -1) and reports the failure as one line
// through the message sink (standard error unless replaced).
//
// Thread safety: each operation runs its own transaction on the calling
// thread and opens its sub-database inside it. LMDB forbids two threads to
// call mdb_dbi_open on one environment at the same time, so callers that
// share an environment between threads must serialise these operations (the
// mount daemon serves on one thread). A ConfigCursor and a ConfigEntry belong
// to one thread. The message sink is process-wide.
#pragma once

#include <lmdb.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// First word of every value written by this library.
constexpr uint32_t CONFIG_ENTRY_VERSION = 20180507;
// Values whose first word lies in (CONFIG_ENTRY_NOFLAGS_MIN, CONFIG_ENTRY_NOFLAGS_MAX]
// carry a version word but no flags word; values whose first word is at
// most CONFIG_ENTRY_NOFLAGS_MIN carry neither (the word is the first length).
constexpr uint32_t CONFIG_ENTRY_NOFLAGS_MIN = 20180101;
constexpr uint32_t CONFIG_ENTRY_NOFLAGS_MAX = 20180506;

// The size of the index's memory map. LMDB's default of 1 MiB holds the
// records of a few thousand files only; the map is address space, not disk
// (the file grows with what is stored), so it is set far above any root.
constexpr size_t CONFIG_MAP_SIZE = size_t{16} << 30;

// Bit 30 of an index marks a disabled entry; bits 0..23 are the rule number.
constexpr int32_t CONFIG_INDEX_DISABLED = 0x40000000;
constexpr int32_t CONFIG_INDEX_RULE_MASK = 0x00FFFFFF;
// Bit 0 of the flags: read the file back with its stored inverse command.
constexpr uint32_t CONFIG_FLAG_USE_IR = 1;

// One rule in memory. The record owns its strings.
struct ConfigEntry {
  int32_t isSet = 0;          // set by the daemon's rule search on a match; never stored
  int32_t index = 0;          // the key
  uint32_t flags = 0;         // option flags (bit 0: useIR)
  std::string pattern;        // file-name pattern matched against logical names
  std::string fileString;     // conversion file string, holds an empty name "=''"
  std::string formatString;   // conversion format string
  std::string targetPattern;  // pattern that builds the physical name
};

// An open read-only iteration of readFirstEntry / readNextEntry. The caller
// sets `env`; the iteration owns `txn` and `cursor` while it is open.
struct ConfigCursor {
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  MDB_txn* txn = nullptr;
  MDB_cursor* cursor = nullptr;
};

// Receives each message as one complete line. `level` is 1 for a failure and
// 2 for the warning about an older stored layout.
using ConfdbMessageSink = void (*)(int level, const char* line);
// Installs `sink` (null restores standard error) and returns the previous
// sink. Set it at start-up, before any index work.
ConfdbMessageSink setConfdbMessageSink(ConfdbMessageSink sink);

// Empties the strings and reserves room for typical rules; zeroes index,
// isSet and flags. Returns 0 (memory exhaustion throws std::bad_alloc).
int initConfEntry(ConfigEntry& entry);

// The directory of an index environment: `indexDir` when it is given (an
// index kept outside the root), else <root>/.vaskIndex; with a view, its
// subdirectory <view>. Nothing is normalised.
std::string indexDirectory(const char* root, const char* indexDir, const char* view);

// Opens the environment of `root` (view null) or of the view `view` and
// stores it in *env. A missing last directory is created (mode 0700). On
// failure *env is null and nothing needs closing.
int openConfig(MDB_env** env, const char* root, const char* view);
// The same for the environment in the directory `path` (see indexDirectory).
int openConfigAt(MDB_env** env, const char* path);

// The kind of filesystem that holds `path` (or, while it does not exist, the
// nearest directory above it) when an index must not lie there: "NFS",
// "SMB", "SMB2", "CIFS", "Ceph" or "FUSE"; null for any other filesystem
// and when nothing can be found out. LMDB's locks and shared memory map are
// reliable only on a local filesystem.
const char* remoteFilesystemKind(const std::string& path);
// The warning line that `program` prints for an index directory on such a
// filesystem, naming `option` (the way to keep the index elsewhere); empty
// when the filesystem is local.
std::string remoteIndexWarning(const char* program, const std::string& path, const char* option);
// Closes an environment from openConfig; null accepted.
void closeIndex(MDB_env* env);

// Reads the entry that the cursor operation `op` selects (MDB_FIRST,
// MDB_NEXT) into `entry`. MDB_NOTFOUND is returned silently. A value whose
// lengths run past its end is refused with MDB_CORRUPTED and leaves `entry`
// unchanged. Older layouts leave `flags` as it was.
int readConfigEntry(MDB_cursor* cursor, ConfigEntry& entry, MDB_cursor_op op);

// Stores `entry` under entry.index in `dbName`, replacing what was there.
int writeConfigEntry(MDB_env* env, const ConfigEntry& entry, const char* dbName);
// Moves the stored value (byte for byte) from fromIndex to toIndex, replacing
// an entry at toIndex. A move onto the same index keeps the entry and succeeds.
int moveConfigEntry(MDB_env* env, int32_t fromIndex, int32_t toIndex, const char* dbName);
// Deletes the entry stored under entry.index; MDB_NOTFOUND when there is none.
int deleteConfigEntry(MDB_env* env, const ConfigEntry& entry, const char* dbName);

// The whole content of one sub-database ("confR" or "confW").
struct ConfigList {
  const char* dbName = nullptr;
  std::vector<ConfigEntry> entries;
};
// Reads every entry of list.dbName, in index order, into list.entries. A
// sub-database that was never written gives an empty list and 0.
int readConfigList(MDB_env* env, ConfigList& list);
// Replaces the entries of each named sub-database by those of its list, all
// in one write transaction: either every list is stored or nothing changes.
// Sub-databases not named keep their entries.
int replaceConfigLists(MDB_env* env, const std::vector<ConfigList>& lists);

// Begins an iteration of `dbName` and reads its first entry. On 0 the
// iteration stays open; on any other result it has been closed.
int readFirstEntry(ConfigCursor& iter, ConfigEntry& entry, const char* dbName);
// Reads the next entry; closes the iteration on MDB_NOTFOUND or an error.
int readNextEntry(ConfigCursor& iter, ConfigEntry& entry);
// Ends an open iteration early; does nothing for a closed one.
void closeConfigCursor(ConfigCursor& iter);
// Prints every entry of `dbName` to standard output; returns MDB_NOTFOUND
// after the last one (also when there is none) or the error that stopped it.
int readAllEntries(MDB_env* env, ConfigEntry& entry, const char* dbName);
