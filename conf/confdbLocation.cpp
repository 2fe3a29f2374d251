// Where an index lies: the filesystems on which LMDB must not keep one.
#include <sys/statfs.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "confdb.h"

namespace {

// Filesystem magic numbers (statfs f_type). On these, LMDB's file locks do
// not reach the processes of other hosts (or are not reliable at all), and a
// shared writable memory map is either not coherent between hosts or not
// offered: two hosts using one index there corrupt it.
struct RemoteKind {
  uint32_t magic;
  const char* name;
};
constexpr RemoteKind REMOTE_KINDS[] = {
    {0x6969, "NFS"},      {0x517B, "SMB"},      {0xFE534D42, "SMB2"},
    {0xFF534D42, "CIFS"}, {0x00C36400, "Ceph"}, {0x65735546, "FUSE"},
};

}  // namespace

const char* remoteFilesystemKind(const std::string& path) {
  std::string probe = path.empty() ? std::string(".") : path;
  for (;;) {
    struct statfs fs;
    if (statfs(probe.c_str(), &fs) == 0) {
      const auto magic = static_cast<uint32_t>(fs.f_type);
      for (const RemoteKind& kind : REMOTE_KINDS) {
        if (kind.magic == magic) return kind.name;
      }
      return nullptr;
    }
    if ((errno != ENOENT && errno != ENOTDIR) || probe == "." || probe == "/") return nullptr;
    // Not there yet: the directory that would hold it decides.
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    const size_t slash = probe.rfind('/');
    if (slash == std::string::npos) {
      probe = ".";
    } else if (slash == 0) {
      probe = "/";
    } else {
      probe.resize(slash);
    }
  }
}

std::string remoteIndexWarning(const char* program, const std::string& path, const char* option) {
  const char* kind = remoteFilesystemKind(path);
  if (kind == nullptr) return {};
  const bool fuse = std::string(kind) == "FUSE";
  return std::string(program) + ": warning: the index " + path + " lies on a " +
         (fuse ? "FUSE" : "network") + " filesystem (" + kind +
         "); an index needs the locks and shared memory map of a local disk and must not be "
         "shared by several hosts: keep each host's index on a local disk (" +
         option + ")\n";
}
