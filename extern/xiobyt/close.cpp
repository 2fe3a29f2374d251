// xiopclose and vdOrgLstStaFree: the end of a stream, its state and the
// command that reads (or writes) the file again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

std::string dirOf(const std::string& physical) {
  size_t slash = physical.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : physical.substr(0, slash);
}

std::string baseOf(const std::string& physical) {
  size_t slash = physical.rfind('/');
  return slash == std::string::npos ? physical : physical.substr(slash + 1);
}

int syncDir(const std::string& physical) {
  FdGuard d(::open(dirOf(physical).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() < 0 || fsync(d.get()) != 0) return errno;
  return 0;
}

// Writes the `size` bytes of `from` into `to` from offset 0, cuts `to` at
// that length and fdatasyncs it. 0 or errno with `why`.
int copyInto(int from, uint64_t size, int to, std::string& why) {
  constexpr size_t kBlock = 1 << 20;
  auto block = std::make_unique_for_overwrite<uint8_t[]>(kBlock);
  for (uint64_t at = 0; at < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size - at));
    errno = 0;  // a copy shorter than it was is EIO
    if (!preadFull(from, block.get(), n, at)) {
      int e = errno ? errno : EIO;
      why = std::string("cannot read the copy back: ") + strerror(e);
      return e;
    }
    for (size_t done = 0; done < n;) {
      ssize_t w = pwrite(to, block.get() + done, n - done, static_cast<off_t>(at + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        int e = w < 0 ? errno : EIO;
        why = std::string("cannot write the copy into the file: ") + strerror(e);
        return e;
      }
      done += static_cast<size_t>(w);
    }
    at += n;
  }
  if (ftruncate(to, static_cast<off_t>(size)) != 0 || fdatasync(to) != 0) {
    int e = errno;
    why = std::string("cannot cut or sync the file after the copy: ") + strerror(e);
    return e;
  }
  return 0;
}

// Whether `entry` is the durable copy of the file named `base` whose inode
// is `ino`: ".vaskIndex.tmp.<base cut>.XXXXXX.done-<ino>".
bool durableCopyOf(const std::string& entry, const std::string& base, ino_t ino) {
  std::string head = std::string(kTempPrefix) + base.substr(0, kTempNameKept) + ".";
  std::string tail = std::string(kDurableMark) + std::to_string(ino);
  if (entry.size() != head.size() + 6 + tail.size()) return false;
  if (entry.compare(0, head.size(), head) != 0) return false;
  if (entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0) return false;
  for (size_t i = head.size(); i < head.size() + 6; ++i)
    if (!isalnum(static_cast<unsigned char>(entry[i]))) return false;
  return true;
}

}  // namespace

int makeTempBeside(const std::string& physical, std::string& tempPath, FdGuard& fd,
                   const char* purpose, std::string& why) {
  size_t slash = physical.rfind('/');
  std::string dir = slash == std::string::npos ? "" : physical.substr(0, slash + 1);
  // A name of up to NAME_MAX bytes must still leave room for the prefix,
  // the random part and the durable mark.
  tempPath = dir + kTempPrefix + baseOf(physical).substr(0, kTempNameKept) + ".XXXXXX";
  int f = mkostemp(tempPath.data(), O_CLOEXEC);
  if (f < 0) {
    int e = errno;
    tempPath.clear();
    why = std::string("cannot create the copy beside the file to ") + purpose + ": " + strerror(e);
    return e;
  }
  fd.reset(f);
  return 0;
}

int finishCopy(XioHandle& h, std::string& why) {
  struct stat copy, target;
  if (fdatasync(h.fd.get()) != 0 || fstat(h.fd.get(), &copy) != 0 ||
      fstat(h.target.get(), &target) != 0) {
    int e = errno;
    why = std::string("cannot sync the copy: ") + strerror(e);
    return e;
  }
  // From the rename on, the copy is what a crash must bring back: it is no
  // longer the handle's to remove.
  std::string durable = h.tempPath + kDurableMark + std::to_string(target.st_ino);
  if (rename(h.tempPath.c_str(), durable.c_str()) != 0) {
    int e = errno;
    why = std::string("cannot mark the copy complete: ") + strerror(e);
    return e;
  }
  h.tempPath.clear();
  if (int e = syncDir(h.physical)) {
    why = std::string("cannot sync the directory: ") + strerror(e);
    return e;
  }
  const uint64_t size = static_cast<uint64_t>(copy.st_size);
  if (int e = copyInto(h.fd.get(), size, h.target.get(), why)) return e;
  // The copy goes for good before the file is written again: a stale copy
  // found after a later crash would be copied over newer data.
  if (unlink(durable.c_str()) != 0 || syncDir(h.physical) != 0) {
    int e = errno;
    why = std::string("cannot remove the copy after copying it back: ") + strerror(e);
    return e;
  }
  if (lseek(h.target.get(), static_cast<off_t>(size), SEEK_SET) < 0) {
    int e = errno;
    why = std::string("cannot seek to the file's end: ") + strerror(e);
    return e;
  }
  h.fd.reset(h.target.release());
  if (h.file && h.file->retarget(h.fd.get()) != 0) {
    why = h.file->error().message;
    return h.file->error().code ? h.file->error().code : EIO;
  }
  return 0;
}

int finishLeftoverCopy(const std::string& physical, int fd, std::string& why) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    why = std::string("cannot stat: ") + strerror(e);
    return -e;
  }
  const std::string dirName = dirOf(physical), base = baseOf(physical);
  DIR* dir = opendir(dirName.c_str());
  if (!dir) {
    int e = errno;
    why = std::string("cannot list the directory for a copy left behind: ") + strerror(e);
    return -e;
  }
  // Only one writer at a time makes copies of a file, and each removes its
  // durable copy before making the next: more than one is not expected,
  // and the newest is the one to finish.
  std::string found;
  struct timespec newest = {0, 0};
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(dir)) {
    if (!durableCopyOf(entry->d_name, base, st.st_ino)) continue;
    std::string path = dirName + "/" + entry->d_name;
    struct stat c;
    if (lstat(path.c_str(), &c) != 0 || !S_ISREG(c.st_mode) || c.st_dev != st.st_dev) continue;
    if (found.empty() || c.st_mtim.tv_sec > newest.tv_sec ||
        (c.st_mtim.tv_sec == newest.tv_sec && c.st_mtim.tv_nsec > newest.tv_nsec)) {
      if (!found.empty()) stale.push_back(found);
      found = path;
      newest = c.st_mtim;
    } else {
      stale.push_back(path);
    }
  }
  closedir(dir);
  if (found.empty()) return 0;
  FdGuard copy(::open(found.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  // The file itself through a new descriptor that may write; its inode is
  // the one the copy names, or the name now means another file.
  FdGuard target(::open(physical.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat c, t;
  if (copy.get() < 0 || target.get() < 0 || fstat(copy.get(), &c) != 0 ||
      fstat(target.get(), &t) != 0) {
    int e = errno;
    why = "cannot open the copy left behind ('" + found +
          "') or the file to finish it: " + strerror(e);
    return -e;
  }
  if (!S_ISREG(c.st_mode) || t.st_ino != st.st_ino || t.st_dev != st.st_dev) return 0;
  if (int e = copyInto(copy.get(), static_cast<uint64_t>(c.st_size), target.get(), why)) {
    why = "cannot finish the copy left behind ('" + found + "'): " + why;
    return -e;
  }
  stale.push_back(found);
  for (const std::string& s : stale) unlink(s.c_str());
  syncDir(physical);
  return 1;
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
  // A copy beside the file goes back into it only once its stream ended
  // well; otherwise the handle removes it and the file stays as it was.
  int savedErrno = errno;
  if (rc == 0 && h.write && h.target.get() >= 0) {
    std::string why;
    if (int e = finishCopy(h, why); e != 0) {
      traceHandle(trace, "xiopclose", h, e, "cannot put the rewritten data into the file: " + why);
      rc = -1;
      savedErrno = e;
    }
  }
  if (int e = h.fd.close(); e != 0 && rc == 0) {
    traceHandle(trace, "xiopclose", h, e, std::string("close failed: ") + strerror(e));
    rc = -1;
    savedErrno = e;
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
