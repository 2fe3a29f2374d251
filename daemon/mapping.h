// The rules and the mapping of logical names to physical names. The rule
// databases are only read here (each lookup one read transaction), so any
// thread may call these under any of the daemon's locks.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "confdb.h"
#include "records.h"

enum SearchMode { SEARCH_MATCH = 0, SEARCH_LIST = 1, SEARCH_DIRECTORY = 2 };
constexpr uint32_t MAP_NAME_KNOWN = 1, MAP_HAS_WRITE = 4, MAP_USE_IR = 8;

struct FileHandle;

int getConf4Name(const std::string& name, ConfigEntry& entry, int mode, const char* dbName);
// Reads the identity files that the rules of `dbName` name while the
// daemon still runs as itself: requests run as their callers, who may not
// read them. Failures are logged; the files then fail at open.
void loadRuleKeys(const char* dbName);
// Puts `name` (apostrophes doubled) between the quotes of the first "=''"
// of `fileString`; nothing when there is none.
void insertName(std::string& fileString, std::string_view name);
std::string getPhysicalPath(const std::string& logical, uint32_t* mapFlags, FileHandle* handle);
// A FUSE path with its logical and physical name, as most operations
// begin: mapped without a handle, and "<caller>[<operation>] <physical>"
// logged at level info (nothing when `operation` is null).
struct MappedName {
  std::string logical, physical;
  uint32_t flags = 0;
};
MappedName mapName(const char* path, const char* operation);
// The physical name the write rule of `logical` gives, never a stored one;
// empty when no rule builds one.
std::string ruleName(const std::string& logical);
// The logical name a physical file shows under: its record, else its read
// rule, else its own name.
std::string ownerOf(const std::string& physical);
bool exists(const std::string& physical);
// A physical file that only a read rule shows under `logical` (put under
// the root by other means, or seen by a view): the first existing
// candidate the read rules' patterns ask for, in the rules' order, that its
// read rule maps back to exactly `logical`. Empty when there is none; one
// lstat per read rule at most.
std::string physicalByReadRules(const std::string& logical);
// The first sight of a physical file: its logical name by the read rule,
// its attributes with the converted size, and its records, added to
// `batch` when given (a listing commits its first sights together), else
// committed at once.
int updateVaskInfo(std::string& logical, const std::string& physical, struct stat* attributes,
                   MetaBatch* batch = nullptr);
