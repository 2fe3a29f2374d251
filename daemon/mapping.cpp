// Rules and names: the rule search, logical to physical by the write rules
// and stored names, physical to logical (with the converted size) by the
// read rules.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "corekit/corekit.h"
#include "cutfile.h"
#include "lmdbGuard.h"
#include "state.h"
#include "xiobyt/xiobyt.h"
#include "log.h"
#include "records.h"
#include "mapping.h"
#include "handle.h"
#include "plain.h"
#include "recovery.h"

int getConf4Name(const std::string& name, ConfigEntry& entry, int mode, const char* dbName) {
  MDB_dbi dbi = 0;
  int rc = databaseHandle(dbName, &dbi);
  if (rc != 0) {
    // An index without rules of that kind yet (a view has no write rules).
    if (rc != MDB_NOTFOUND) logAt(LOG_ERROR, "mdb_dbi_open(%s) failed: %s\n", dbName, mdb_strerror(rc));
    errno = EIO;
    return rc;
  }
  MdbTxn txn;
  rc = txn.begin(vaskfsArgs.env, MDB_RDONLY);
  if (rc != 0) {
    logAt(LOG_ERROR, "failed to begin readTA: %s\n", mdb_strerror(rc));
    errno = EIO;
    return rc;
  }
  MdbCursor cursor;
  rc = cursor.open(txn.get(), dbi);
  if (rc != 0) {
    logAt(LOG_ERROR, "mdb_open_cursor failed: %s\n", mdb_strerror(rc));
    errno = EIO;
    return rc;
  }
  std::string expansion;
  expansion.reserve(1024);
  entry.index = 0;
  entry.isSet = 0;
  rc = readConfigEntry(cursor.get(), entry, MDB_FIRST);
  while (rc == 0) {
    if (mode == SEARCH_LIST) {
      if (logOn(LOG_INFO))
        logAt(LOG_INFO, "%s[%3d,%s,%s] \"%s\" \"%s\" \"%s\" \"%s\"\n", dbName,
              entry.index & CONFIG_INDEX_RULE_MASK,
              (entry.index & CONFIG_INDEX_DISABLED) != 0 ? "disabled" : "enabled",
              (entry.flags & CONFIG_FLAG_USE_IR) != 0 ? "useIR" : "noIR", entry.pattern.c_str(),
              entry.targetPattern.c_str(), xiomask(entry.fileString.c_str()).c_str(),
              entry.formatString.c_str());
    } else {
      // Rules are ordered by index: the first disabled one ends the enabled.
      if (entry.index > 0x3FFFFFFF) break;
      if (mode == SEARCH_DIRECTORY) {
        if (pat2str(entry.pattern, "[path]", expansion) > 0 &&
            wcmatch(expansion.c_str(), name.c_str()) != 0) {
          entry.isSet = 1;
          break;
        }
      } else if (wcmatch(entry.pattern.c_str(), name.c_str()) != 0) {
        entry.isSet = 1;
        if (logOn(LOG_INFO))
          logAt(LOG_INFO, "%s[%3d,%s] \"%s\" \"%s\" \"%s\" \"%s\"\n", dbName, entry.index,
                (entry.flags & CONFIG_FLAG_USE_IR) != 0 ? "useIR" : "noIR", entry.pattern.c_str(),
                entry.targetPattern.c_str(), xiomask(entry.fileString.c_str()).c_str(),
                entry.formatString.c_str());
        break;
      }
    }
    rc = readConfigEntry(cursor.get(), entry, MDB_NEXT);
  }
  if (rc != 0) {
    if (rc != MDB_NOTFOUND) {
      logAt(LOG_ERROR, "readConfEntry failed: %d\n", rc);
      errno = EIO;
    }
    return rc;
  }
  return entry.isSet == 1 ? 0 : 1;
}

void loadRuleKeys(const char* dbName) {
  MdbTxn txn;
  MDB_dbi dbi = 0;
  MdbCursor cursor;
  if (databaseHandle(dbName, &dbi) != 0 || txn.begin(vaskfsArgs.env, MDB_RDONLY) != 0 ||
      cursor.open(txn.get(), dbi) != 0)
    return;
  ConfigEntry entry;
  initConfEntry(entry);
  auto trace = std::make_unique<char[]>(XIO_TRACE_SIZE);
  for (int rc = readConfigEntry(cursor.get(), entry, MDB_FIRST); rc == 0;
       rc = readConfigEntry(cursor.get(), entry, MDB_NEXT)) {
    trace[0] = '\0';
    if (xioloadkeys(trace.get(), entry.fileString.c_str()) != 0)
      logAt(LOG_ERROR, "cannot read the keys of %s rule %d:\n%s\n", dbName,
            entry.index & CONFIG_INDEX_RULE_MASK, trace.get());
  }
}

void insertName(std::string& fileString, std::string_view name) {
  const size_t at = fileString.find("=''");
  if (at != std::string::npos) fileString.insert(at + 2, doubleApostrophes(name));
}

std::string getPhysicalPath(const std::string& logical, uint32_t* mapFlags, FileHandle* handle) {
  *mapFlags = 0;
  if (logical == ".") return ".";
  std::string result;
  if (readMetaText(logical, META_NAME, "meta", result) == 0) {
    *mapFlags |= MAP_NAME_KNOWN;
    if (handle == nullptr) {
      logAt(LOG_INFO, "map user path: %s to real path: %s\n", logical.c_str(), result.c_str());
      return result;
    }
  }

  ConfigEntry scratch;
  ConfigEntry& rule = handle != nullptr ? handle->conf : scratch;
  bool searched = false;
  int rc = 0;
  if (handle == nullptr || rule.isSet != 1) {
    if (handle == nullptr) initConfEntry(scratch);
    rc = getConf4Name(logical, rule, SEARCH_MATCH, "confW");
    searched = true;
  }
  if (rc != 0) {
    if ((*mapFlags & MAP_NAME_KNOWN) == 0) {
      logAt(LOG_INFO, "no configuration for %s : %d\n", logical.c_str(), rc);
      result = logical;
    }
  } else {
    const bool useIR = (rule.flags & CONFIG_FLAG_USE_IR) != 0;
    if (useIR) *mapFlags |= MAP_USE_IR;
    if (handle != nullptr) handle->useIR = useIR ? static_cast<int>(MAP_USE_IR) : 0;

    std::string expansion;
    const int n = pat2str(logical, rule.targetPattern, expansion);
    std::string built = n > 0 && expansion[0] == '/' ? expansion.substr(1) : expansion;
    if (n > 0 && reservedPath(built) && (*mapFlags & MAP_NAME_KNOWN) == 0) {
      // A target pattern that would reach the index ("[path]/.[name]" of
      // "vaskIndex") keeps the data under the logical name instead.
      logAt(LOG_ERROR, "pat2str(%s) of %s gives the reserved name %s\n", rule.targetPattern.c_str(),
            logical.c_str(), built.c_str());
      result = logical;
      *mapFlags |= MAP_NAME_KNOWN;
    } else if (n > 0 && (*mapFlags & MAP_NAME_KNOWN) == 0) {
      result = built;
      *mapFlags |= MAP_NAME_KNOWN;
    } else if (n > 0 && result != built) {
      logAt(LOG_ERROR, "stored name: %s does NOT match result from configuration: %s\n",
            result.c_str(), built.c_str());
    } else if (n <= 0 && (*mapFlags & MAP_NAME_KNOWN) == 0) {
      logAt(LOG_ERROR, "pat2str(%s) failed for %s : %d\n", rule.targetPattern.c_str(),
            logical.c_str(), n);
      result = logical;
    }
    // The file string names the file this mapping decided on, stored or
    // built, so the data goes where the index says it is.
    if (handle != nullptr && searched) insertName(rule.fileString, result);
  }
  logAt(LOG_INFO, "map user path: %s to real path: %s\n", logical.c_str(), result.c_str());
  return result;
}

MappedName mapName(const char* path, const char* operation) {
  MappedName name;
  name.logical = logicalName(path);
  name.physical = getPhysicalPath(name.logical, &name.flags, nullptr);
  if (operation != nullptr && logOn(LOG_INFO)) {
    CallerPrefix caller;
    logCaller(LOG_INFO, caller, "[%s] %s\n", operation, name.physical.c_str());
  }
  return name;
}

int updateVaskInfo(std::string& logical, const std::string& physical, struct stat* attributes,
                   MetaBatch* batch) {
  MetaBatch own;
  MetaBatch& records = batch != nullptr ? *batch : own;
  logAt(LOG_TRACE, "updateVaskInfo: rpath=%s spath=%s\n", logical.c_str(), physical.c_str());
  ConfigEntry rule;
  initConfEntry(rule);
  int mapped = getConf4Name(physical, rule, SEARCH_MATCH, "confR");
  if (mapped != 0) {
    logAt(LOG_INFO, "no configuration for %s : %d\n", physical.c_str(), mapped);
  } else {
    std::string expansion;
    const int n = pat2str(physical, rule.targetPattern, expansion);
    if (n > 0) {
      logical = expansion[0] == '/' ? expansion.substr(1) : expansion;
    } else {
      logAt(LOG_ERROR, "pat2str(%s) failed for %s : %d\n", rule.targetPattern.c_str(),
            physical.c_str(), n);
      mapped = n == 0 ? -1 : n;
    }
  }
  const int statRC = lstat(physical.c_str(), attributes);
  if (mapped != 0 || statRC != 0) {
    logAt(LOG_ERROR, "spath=%s statRC=%d rc=%d\n", physical.c_str(), statRC, mapped);
    return -1;
  }

  insertName(rule.fileString, physical);
  FileCommands commands;
  commands.read = rule.fileString;
  commands.readFormat = rule.formatString;
  commands.hasRead = true;
  if (plainFile(logical, physical, commands, false)) {
    if (vaskfsArgs.viewMode) attributes->st_mode &= ~static_cast<mode_t>(0222);
    addPlainRecords(records.claim(logical), logical, physical, commands);
    return batch != nullptr || own.commit() == 0 ? 0 : -1;
  }
  // Another process writing the file owns its records until it ends: the
  // sight is shown, not recorded.
  const bool written = writerLockHeld(physical);
  auto trace = std::make_unique<char[]>(2 * XIO_TRACE_SIZE);
  trace[0] = '\0';
  int64_t size = xiopsize(trace.get(), rule.fileString.c_str(), rule.formatString.c_str());
  // Cut off by a writer that died elsewhere (another host, another mount).
  if (size < 0 && !written && recoverCutFile(logical, physical) &&
      lstat(physical.c_str(), attributes) == 0) {
    trace[0] = '\0';
    size = xiopsize(trace.get(), rule.fileString.c_str(), rule.formatString.c_str());
  }
  const FileIdentity id = identityOf(*attributes);
  // A file that cannot be decoded keeps its physical size rather than
  // showing -1; reading it reports the failure.
  if (size >= 0) attributes->st_size = size;
  if (trace[0] != '\0') {
    logAt(LOG_ERROR, "ERROR TRACE of xiopsize(%s %s):\n%s\n",
          xiomask(rule.fileString.c_str()).c_str(), rule.formatString.c_str(), trace.get());
  }

  const struct timespec times[2] = {attributes->st_atim, attributes->st_mtim};
  if (vaskfsArgs.viewMode) attributes->st_mode &= ~static_cast<mode_t>(0222);
  if (written) return 0;
  records.claim(logical)
      .put(logical, META_NAME, "meta", physical)
      .put(physical, META_NAME, "real", logical)
      .put(logical, META_MTIME, "meta", times, sizeof times)
      .put(logical, META_STAT, "meta", attributes, sizeof *attributes)
      .put(logical, META_IDENT, "meta", &id, sizeof id)
      .put(logical, META_READ, "meta", rule.fileString)
      .put(logical, META_RFORMAT, "meta", rule.formatString);
  if (batch == nullptr) own.commit();
  return 0;
}

namespace {

// The enabled rules of `dbName` in their order.
std::vector<ConfigEntry> enabledRules(const char* dbName) {
  std::vector<ConfigEntry> rules;
  MdbTxn txn;
  MDB_dbi dbi = 0;
  MdbCursor cursor;
  if (databaseHandle(dbName, &dbi) != 0 || txn.begin(vaskfsArgs.env, MDB_RDONLY) != 0 ||
      cursor.open(txn.get(), dbi) != 0)
    return rules;
  ConfigEntry entry;
  initConfEntry(entry);
  for (int rc = readConfigEntry(cursor.get(), entry, MDB_FIRST); rc == 0;
       rc = readConfigEntry(cursor.get(), entry, MDB_NEXT)) {
    // Rules are ordered by index: the first disabled one ends the enabled.
    if (entry.index > 0x3FFFFFFF) break;
    rules.push_back(entry);
  }
  return rules;
}

// The physical name a read rule's pattern asks of a file that shows under
// `logical`: the name with the literal text the pattern ends in (".gz" of
// "*.gz"); a pattern without wildcards names one file only.
std::string candidateOf(const std::string& logical, const std::string& pattern) {
  const size_t last = pattern.find_last_of("*?[]\\");
  if (last == std::string::npos) return pattern;
  return logical + pattern.substr(last + 1);
}

}  // namespace

std::string physicalByReadRules(const std::string& logical) {
  if (logical == "." || reservedPath(logical)) return "";
  std::vector<std::string> tried;
  for (const ConfigEntry& rule : enabledRules("confR")) {
    std::string candidate = candidateOf(logical, rule.pattern);
    if (candidate.empty() || candidate[0] == '/') continue;
    if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
    tried.push_back(candidate);
    if (reservedPath(candidate) || wcmatch(rule.pattern.c_str(), candidate.c_str()) == 0) continue;
    struct stat st;
    if (lstat(candidate.c_str(), &st) != 0) continue;
    // The file shows under the name its own first read rule gives it (a
    // listing would show it there), and under no other name recorded.
    ConfigEntry first;
    initConfEntry(first);
    std::string shown;
    if (getConf4Name(candidate, first, SEARCH_MATCH, "confR") != 0 ||
        pat2str(candidate, first.targetPattern, shown) <= 0)
      continue;
    if (shown[0] == '/') shown.erase(0, 1);
    if (shown != logical) continue;
    std::string owner;
    if (readMetaText(candidate, META_NAME, "real", owner) == 0 && owner != logical) continue;
    logAt(LOG_INFO, "%s found by the read rules as %s\n", logical.c_str(), candidate.c_str());
    return candidate;
  }
  return "";
}
