// The key of an age layer: the identity file, checked and parsed, the
// identities the process keeps for callers the file refuses, or the
// passphrase.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "xiobyt/stages/age/detail.h"

namespace xio {

using namespace age;

namespace {

// `denied` tells that the caller may not open the file at all (EACCES,
// EPERM), as opposed to a file that is missing, loose or malformed.
int readIdentityFile(const std::string& path, SecretBytes& text, bool& denied, std::string& why) {
  denied = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    int e = errno;
    denied = e == EACCES || e == EPERM;
    why = "age: cannot open the identity file '" + path + "': " + strerror(e);
    return e;
  }
  FdGuard guard(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    why = "age: cannot stat the identity file '" + path + "': " + strerror(e);
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "age: the identity file '" + path + "' is not a regular file";
    return EACCES;
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why = "age: the identity file '" + path + "' has mode " + mode +
          ": group or others may read it; it must be the owner's alone (chmod 600)";
    return EACCES;
  }
  constexpr size_t kMax = 1 << 16;
  text.resize(kMax + 1);
  size_t got = 0;
  while (got < text.size()) {
    ssize_t r = ::read(fd, text.data() + got, text.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      int e = errno;
      why = "age: cannot read the identity file '" + path + "': " + strerror(e);
      return e;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got > kMax) {
    why = "age: the identity file '" + path + "' is longer than 64 KiB";
    return EINVAL;
  }
  text.resize(got);
  return 0;
}

int parseIdentities(const std::string& path, const SecretBytes& text, AgeKey& key,
                    std::string& why) {
  const char* p = reinterpret_cast<const char*>(text.data());
  const char* end = p + text.size();
  for (int row = 1; p < end; ++row) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = lf ? lf : end;
    size_t len = static_cast<size_t>(stop - p);
    if (len > 0 && p[len - 1] == '\r') --len;
    if (len > 0 && p[0] != '#') {
      SecretBytes id;
      if (!bech32Decode(p, len, "age-secret-key-", id) || id.size() != 32) {
        // The line itself is key material: only its row is named.
        why = "age: line " + std::to_string(row) + " of the identity file '" + path +
              "' is not a comment and not an AGE-SECRET-KEY-1 key";
        return EINVAL;
      }
      key.identities.push_back(std::move(id));
    }
    p = lf ? lf + 1 : end;
  }
  if (key.identities.empty()) {
    why = "age: the identity file '" + path + "' holds no AGE-SECRET-KEY-1 key";
    return EINVAL;
  }
  return 0;
}

// Reads and parses an identity file as the caller can; `denied` as above.
int readIdentities(const std::string& path, AgeKey& key, bool& denied, std::string& why) {
  SecretBytes text;
  if (int rc = readIdentityFile(path, text, denied, why)) return rc;
  return parseIdentities(path, text, key, why);
}

std::vector<SecretBytes> copyOf(const std::vector<SecretBytes>& ids) {
  std::vector<SecretBytes> out;
  out.reserve(ids.size());
  for (const SecretBytes& id : ids) {
    SecretBytes& c = out.emplace_back(id.size());
    memcpy(c.data(), id.data(), id.size());
  }
  return out;
}

// The mount daemon serves each request as its caller, who usually cannot
// read the root-owned identity file of a rule. So the daemon reads those
// files once, while it can (xioloadkeys), and their keys are kept here by
// path: a caller the file refuses gets the kept keys, one who can read it
// reads it anew, and what it reads replaces what is kept, so a rotated key
// reaches every caller once anyone who may read it has opened a file.
class IdentityCache {
 public:
  void keep(const std::string& path, const AgeKey& key) {
    std::vector<SecretBytes> ids = copyOf(key.identities);
    std::lock_guard<std::mutex> lock(mutex_);
    kept_[path] = std::move(ids);  // the keys replaced are wiped as they go
  }
  // Only paths already kept are refreshed: the cache holds the files an
  // administrator named to xioloadkeys, nothing a caller merely opened.
  void refresh(const std::string& path, const AgeKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = kept_.find(path);
    if (it != kept_.end()) it->second = copyOf(key.identities);
  }
  bool find(const std::string& path, AgeKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = kept_.find(path);
    if (it == kept_.end()) return false;
    key.identities = copyOf(it->second);
    return true;
  }

 private:
  // Guards kept_; held only to copy keys in or out, never across a read of
  // a file.
  std::mutex mutex_;
  std::map<std::string, std::vector<SecretBytes>> kept_;
};

IdentityCache& identityCache() {
  static IdentityCache cache;
  return cache;
}

}  // namespace

int keepAgeIdentity(const Layer& layer, std::string& why) {
  if (!layer.hasIdentity) return 0;
  if (layer.identity.empty()) {
    why = "age: identity='' names no identity file";
    return EINVAL;
  }
  AgeKey key;
  bool denied = false;
  if (int rc = readIdentities(layer.identity, key, denied, why)) return rc;
  identityCache().keep(layer.identity, key);
  return 0;
}

int loadAgeKey(const Layer& layer, AgeKey& key, std::string& why) {
  key = AgeKey();
  if (layer.hasIdentity == layer.hasPassphrase) {
    why = "age: give exactly one of identity='path' and passphrase='text'";
    return EINVAL;
  }
  if (layer.logn >= 0 && !layer.hasPassphrase) {
    why = "age: logn= goes with passphrase= only";
    return EINVAL;
  }
  if (layer.hasPassphrase) {
    if (layer.passphrase.empty()) {
      why = "age: the passphrase is empty";
      return EINVAL;
    }
    key.passphraseKey = true;
    key.passphrase.resize(layer.passphrase.size());
    memcpy(key.passphrase.data(), layer.passphrase.data(), layer.passphrase.size());
    key.logn = layer.logn >= 0 ? layer.logn : kDefaultLogn;
    return 0;
  }
  if (layer.identity.empty()) {
    why = "age: identity='' names no identity file";
    return EINVAL;
  }
  bool denied = false;
  if (int rc = readIdentities(layer.identity, key, denied, why)) {
    if (denied && identityCache().find(layer.identity, key)) return 0;
    key = AgeKey();
    return rc;
  }
  identityCache().refresh(layer.identity, key);
  return 0;
}

}  // namespace xio
