// xiopclose and vdOrgLstStaFree: the end of a stream, its state and the
// command that reads (or writes) the file again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "xiobyt/handle.h"
#include "xiobyt/sizes.h"
#include "xiobyt/trace.h"

namespace xio {

namespace {

// A read handle over auto writes back what auto found, not auto.
FileSpec inverseSpec(XioHandle& h) {
  FileSpec inv = h.spec;
  if (inv.kind != Kind::AUTO) return inv;
  inv.kind = Kind::BIN;
  Detected found = h.autoStage ? h.autoStage->detected() : Detected::UNDECIDED;
  if (found == Detected::UNDECIDED) found = h.randomDetected;
  if (const char* layer = detectedLayer(found)) {
    Layer l;
    l.kind = layer;
    inv.layers.push_back(l);
  }
  return inv;
}

}  // namespace

int makeTempBeside(XioHandle& h, const char* purpose, std::string& why) {
  size_t slash = h.physical.rfind('/');
  std::string dir = slash == std::string::npos ? "" : h.physical.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? h.physical : h.physical.substr(slash + 1);
  h.tempPath = dir + kTempPrefix + base + ".XXXXXX";
  int fd = mkostemp(h.tempPath.data(), O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    h.tempPath.clear();
    why = std::string("cannot create the temporary file to ") + purpose + ": " + strerror(e);
    return e;
  }
  h.fd.reset(fd);
  return 0;
}

int replaceByTemp(XioHandle& h) {
  if (rename(h.tempPath.c_str(), h.physical.c_str()) != 0) return errno;
  h.tempPath.clear();
  if (!h.syncAsked) return 0;
  size_t slash = h.physical.rfind('/');
  std::string dir = slash == std::string::npos ? "."
                    : slash == 0               ? "/"
                                               : h.physical.substr(0, slash);
  FdGuard d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() < 0 || fsync(d.get()) != 0) return errno;
  return 0;
}

namespace {

int closeHandle(char* trace, XioHandle& h, XioStateList* states, std::string* inverseCommand,
                std::string* inverseFormat) {
  int rc = 0;
  if (h.write) {
    if (h.broken) {
      traceHandle(trace, "xiopclose", h, h.broken, "an earlier failure ended this stream");
      rc = -1;
    } else if (finishStream(trace, "xiopclose", h, EndOp::END) != 0) {
      rc = -1;
    } else if (h.gzipOuter && h.file) {
      // A member never closed keeps its subfield at all ones: sized by decoding.
      uint64_t data = static_cast<uint64_t>(h.expected - h.startOffset);
      if (int e = patchGzipSizes(h.fd.get(), h.memberStart, h.file->bytes(), data)) {
        traceHandle(trace, "xiopclose", h, e,
                    std::string("cannot record the member's sizes in its header: ") + strerror(e));
        rc = -1;
      }
    }
  } else if (h.spec.kind == Kind::AUTO && inverseCommand &&
             (!h.autoStage || h.autoStage->detected() == Detected::UNDECIDED) &&
             h.randomDetected == Detected::UNDECIDED) {
    uint8_t probe;  // the inverse names what auto finds: look at the data once
    char ignored[XIO_TRACE_SIZE] = "";
    readAt(ignored, h, &probe, 1, 0);
  }
  if (rc == 0 && !h.tempPath.empty() && h.syncAsked && fdatasync(h.fd.get()) != 0) {
    int e = errno;
    traceHandle(trace, "xiopclose", h, e, std::string("fdatasync failed: ") + strerror(e));
    rc = -1;
  }
  int savedErrno = errno;
  if (int e = h.fd.close(); e != 0 && rc == 0) {
    traceHandle(trace, "xiopclose", h, e, std::string("close failed: ") + strerror(e));
    rc = -1;
    savedErrno = e;
  }
  if (rc == 0 && !h.tempPath.empty()) {
    if (int e = replaceByTemp(h); e != 0) {
      traceHandle(
          trace, "xiopclose", h, e,
          "cannot rename the rewritten file '" + h.tempPath + "' over the old one: " + strerror(e));
      rc = -1;
      savedErrno = e;
    }
  }
  if (states) {
    XioMemberState m;
    m.member = h.write && !h.state.file.empty() ? h.state.file : h.physical;
    if (h.write) {
      m.bytesIn = static_cast<uint64_t>(h.expected - h.startOffset);
      m.bytesOut = h.file ? h.file->bytes() : 0;
    } else {
      m.bytesIn =
          h.fileBytes + (h.file ? h.file->bytes() : 0) + (h.random ? h.random->fileBytes() : 0);
      m.bytesOut = h.appBytes;
    }
    states->members.push_back(std::move(m));
  }
  if (rc == 0 && inverseCommand)
    *inverseCommand = fileCommand(inverseSpec(h), !h.write, h.physical);
  if (rc == 0 && inverseFormat) *inverseFormat = formatCommand(h.format);
  errno = rc == 0 ? errno : savedErrno;
  return rc;
}

}  // namespace

}  // namespace xio

int xiopclose(char* trace, XioHandle* h, XioStateList* states, std::string* inverseCommand,
              std::string* inverseFormat) {
  using namespace xio;
  if (inverseCommand) inverseCommand->clear();
  if (inverseFormat) inverseFormat->clear();
  if (!checkHandle(trace, "xiopclose", h)) return -1;
  std::unique_ptr<XioHandle> owned(h);
  try {
    return closeHandle(trace, *h, states, inverseCommand, inverseFormat);
  } catch (...) {
    std::string why;
    int e = caughtErrno(why);
    traceHandle(trace, "xiopclose", *h, e, why);
    return -1;
  }
}

void vdOrgLstStaFree(XioStateList* states) {
  if (states) std::vector<XioMemberState>().swap(states->members);
}
