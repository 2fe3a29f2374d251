// The index environment of the root or of the mounted view: under the root,
// or in the directory given with -o index=.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "state.h"
#include "log.h"
#include "records.h"

namespace {

int createEnvironment() {
  const int rc = mdb_env_create(&vaskfsArgs.env);
  if (rc != 0) {
    logAt(LOG_ERROR, "Failed to create index environment: %s\n", mdb_strerror(rc));
    vaskfsArgs.env = nullptr;
    return rc;
  }
  mdb_env_set_mapsize(vaskfsArgs.env, CONFIG_MAP_SIZE);
  mdb_env_set_maxdbs(vaskfsArgs.env, 4);
  return 0;
}

}  // namespace

std::string indexPath() {
  return indexDirectory(vaskfsArgs.rootDir.c_str(),
                        vaskfsArgs.indexDir.empty() ? nullptr : vaskfsArgs.indexDir.c_str(),
                        vaskfsArgs.viewMode ? vaskfsArgs.view.c_str() : nullptr);
}

int openIndex() {
  if (const int rc = createEnvironment(); rc != 0) return rc;
  const std::string path = indexPath();
  int rc = mdb_env_open(vaskfsArgs.env, path.c_str(), 0, 0600);
  if (rc == ENOENT && !vaskfsArgs.viewMode) {
    if (mkdir(path.c_str(), 0700) != 0) {
      logAt(LOG_ERROR, "failed to create %s -> %s\n", path.c_str(), std::strerror(errno));
      logAt(LOG_ERROR, "Failed to open %s: %s\n", path.c_str(), mdb_strerror(-1));
      closeIndexEnvironment();
      return 255;
    }
    // LMDB wants a failed environment closed; open a fresh one.
    closeIndexEnvironment();
    if ((rc = createEnvironment()) != 0) return rc;
    rc = mdb_env_open(vaskfsArgs.env, path.c_str(), 0, 0600);
  }
  if (rc != 0) {
    logAt(LOG_ERROR, "Failed to open %s: %s\n", path.c_str(), mdb_strerror(rc));
    closeIndexEnvironment();
    return rc;
  }
  // A failure here leaves each access to open its sub-database itself.
  openRecordDatabases();
  return 0;
}

void closeIndexEnvironment() {
  forgetRecordDatabases();
  if (vaskfsArgs.env != nullptr) mdb_env_close(vaskfsArgs.env);
  vaskfsArgs.env = nullptr;
}
