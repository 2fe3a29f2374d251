// The open-file handle and the keeping of conversion traces.
#include <unistd.h>

#include "vaskFS.h"

FileHandle::~FileHandle() {
  if (convHandle != nullptr) {
    char trace[XIO_TRACE_SIZE] = "";
    xiopclose(trace, convHandle, nullptr, nullptr, nullptr);
  }
  if (fd != -1) close(fd);
}

FileHandlePtr initNewHandle(const char* path) {
  auto handle = std::make_unique<FileHandle>();
  initConfEntry(handle->conf);
  handle->logicalPath = logicalName(path);
  handle->physicalPath = getPhysicalPath(handle->logicalPath, &handle->mapFlags, handle.get());
  handle->fd = -1;
  handle->opener = requestIdentity();
  return handle;
}

void keepTrace(FileHandle& handle, const char* call) {
  if (handle.errorTrace[0] == '\0') return;
  logAt(LOG_ERROR, "Error trace of %s:\n%s\n", call, handle.errorTrace);
  writeMetaBytes(handle.logicalPath, META_ERROR, "meta", handle.errorTrace,
                 sizeof handle.errorTrace);
}
