// What the rename of a file and the exchange of two names share: where and
// how writing a logical name would store it.
#pragma once

#include <sys/types.h>

#include <string>

#include "confdb.h"
#include "records.h"
#include "identity.h"

// What writing a logical name would do: its write rule in force, the
// physical name that rule builds, and whether it stores the data unchanged.
struct Destination {
  ConfigEntry rule;
  std::string physical;
  bool plain = false;
};

// False when no write rule builds a name for `logical`.
bool destinationOf(const std::string& logical, Destination& d);
// Whether `logical`, stored in `physical`, is stored with the conversion of
// `d`: then its bytes need no copy.
bool storedAs(const std::string& logical, const std::string& physical, const Destination& d);
// The stored commands name the physical file: they follow a rename in
// `batch` from `oldPhysical` to `newPhysical`, put under `newLogical`.
void moveCommands(MetaBatch& batch, const std::string& oldLogical, const std::string& newLogical,
                  const std::string& oldPhysical, const std::string& newPhysical);
// renameat2(2) RENAME_EXCHANGE of two logical names (paths as libfuse gives
// them), run with the tree held exclusively. 0 or a negated errno.
int exchangeNames(const char* from, const char* to);

// A plain file renamed to a name that converts while the kernel served
// writers of it keeps its bytes and physical name until the last of those
// writers is released (their data never passes the daemon). The release
// notes the name on its thread; its wrapper, holding the tree exclusively,
// then converts the file as the rename would have, as the renamer. 0 or a
// negated errno.
struct DueConversion {
  std::string logical;
  CallerIdentity renamer;
  dev_t device = 0;  // the physical file that waited
  ino_t inode = 0;
};
void noteConversionDue(DueConversion due);
bool takeConversionDue(DueConversion& due);
int convertDeferred(const DueConversion& due);
