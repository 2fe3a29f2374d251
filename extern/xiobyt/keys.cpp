// xioloadkeys: the identity files of a file string, read while the process
// may read them.
#include <openssl/crypto.h>

#include <cerrno>
#include <new>

#include "xiobyt/settings.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/trace.h"
#include "xiobyt/xiobyt.h"

namespace {

// A passphrase in the parsed string is none of this call's business, but
// its copy must not outlive the call.
struct WipedSpec {
  xio::FileSpec spec;
  ~WipedSpec() {
    for (xio::Layer& l : spec.layers)
      if (!l.passphrase.empty()) OPENSSL_cleanse(l.passphrase.data(), l.passphrase.size());
  }
};

}  // namespace

int xioloadkeys(char* trace, const char* fileString) {
  using namespace xio;
  if (fileString == nullptr) {
    traceFailure(trace, "xioloadkeys", "", "", EINVAL, "no file string (null)");
    return -1;
  }
  try {
    WipedSpec parsed;
    std::string why;
    if (int rc = parseFileString(fileString, parsed.spec, why)) {
      traceFailure(trace, "xioloadkeys", parsed.spec.file, fileString, rc, why);
      return -1;
    }
    for (const Layer& l : parsed.spec.layers) {
      if (l.kind != "age") continue;
      if (int rc = keepAgeIdentity(l, why)) {
        traceFailure(trace, "xioloadkeys", parsed.spec.file, fileString, rc, why);
        return -1;
      }
    }
    return 0;
  } catch (...) {
    std::string why;
    int e = caughtErrno(why);
    traceFailure(trace, "xioloadkeys", "", fileString, e, why);
    return -1;
  }
}
