// xiostartworkers: the compression workers made before a server serves.
#include <cerrno>

#include "xiobyt/stages/shared_pool.h"
#include "xiobyt/xiobyt.h"

int xiostartworkers(void) { return xio::startPoolWorkers(); }
