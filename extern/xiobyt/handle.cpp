// Helpers shared by the calls on an open handle.
#include "xiobyt/handle.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cerrno>

#include "xiobyt/trace.h"

namespace {
void wipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
}
}  // namespace

XioHandle::~XioHandle() {
  if (!tempPath.empty()) unlink(tempPath.c_str());
  wipe(fileString);
  for (xio::Layer& l : spec.layers) wipe(l.passphrase);
}

namespace xio {

void traceHandle(char* trace, const char* call, const XioHandle& h, int code,
                 const std::string& cause) {
  traceFailure(trace, call, h.physical, h.fileString.c_str(), code, cause);
}

int64_t tracePipeline(char* trace, const char* call, const XioHandle& h, int64_t offset) {
  const StageError& e = h.pipe->failure();
  std::string cause = std::string("the ") + h.pipe->failedStage() + " stage failed near offset " +
                      std::to_string(offset) + ": " + e.message;
  traceHandle(trace, call, h, e.code ? e.code : EIO, cause);
  return -1;
}

bool checkHandle(char* trace, const char* call, const XioHandle* h) {
  if (h != nullptr) return true;
  traceFailure(trace, call, "", "", EBADF, "no handle (null)");
  return false;
}

}  // namespace xio
