// Files stored unchanged: read and written on the physical file, their
// attributes the physical file's. Called under the file's lock.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "handle.h"
#include "records.h"

// The commands that write and read a file: as stored, or as its rules give
// them (`learnt`: then they are not stored yet).
struct FileCommands {
  std::string write, writeFormat, read, readFormat;
  bool hasWrite = false, hasRead = false, learnt = false;
  // The logical name the read rule gives the physical file, when the read
  // command came from it.
  std::string shownAs;
};
void readStoredCommands(MetaSnapshot& meta, std::string_view logical, FileCommands& c);
// Whether the file is stored unchanged: what writes it and what reads it
// convert nothing. Missing commands are taken from the rules (the write
// rule in force instead of the stored command when `ruleInForce`).
bool plainFile(const std::string& logical, const std::string& physical, FileCommands& c,
               bool ruleInForce);
// The name pair and the commands of a plain file, in one transaction. Its
// attributes are never stored: they are the physical file's.
int storePlainRecords(const std::string& logical, const std::string& physical,
                      const FileCommands& c);
void addPlainRecords(MetaBatch& batch, const std::string& logical, const std::string& physical,
                     const FileCommands& c);
// Opens the physical file of a plain file with the application's flags
// (create: making it with `mode`), for the page cache. 1 when the file is
// not plain, else 0 or a negated errno.
int openPlain(FileHandle& h, fuse_file_info* fi, bool create, mode_t mode);
void releasePlain(FileHandle& h);
// A plain file's attributes: its physical file's. `recorded`: the name has
// records, dropped when the physical file has gone.
int plainAttributes(const std::string& logical, const std::string& physical, bool recorded,
                    const FileCommands& c, struct stat* st);
