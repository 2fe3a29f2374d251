// scrypt, the passphrase's work, and the process's cache of its results.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "xiobyt/stages/age/detail.h"

namespace xio::age {

// One derivation at logn 18 costs a large fraction of a second, and the
// daemon opens one file several times (its size, then its data): each
// result is kept for the process, under a digest of the passphrase, salt
// and work factor, never under the passphrase itself.
namespace {

class ScryptCache {
 public:
  static constexpr size_t kEntries = 16;
  ~ScryptCache() {
    for (Entry& e : entries_) OPENSSL_cleanse(&e, sizeof e);
  }
  bool find(const uint8_t id[32], uint8_t wrap[32]) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& e : entries_) {
      if (e.used != 0 && CRYPTO_memcmp(e.id, id, 32) == 0) {
        e.used = ++clock_;
        memcpy(wrap, e.wrap, 32);
        return true;
      }
    }
    return false;
  }
  void put(const uint8_t id[32], const uint8_t wrap[32]) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* slot = &entries_[0];
    for (Entry& e : entries_) {
      if (e.used != 0 && CRYPTO_memcmp(e.id, id, 32) == 0) return;
      if (e.used < slot->used) slot = &e;
    }
    OPENSSL_cleanse(slot, sizeof *slot);  // the least recently used goes
    memcpy(slot->id, id, 32);
    memcpy(slot->wrap, wrap, 32);
    slot->used = ++clock_;
  }

 private:
  struct Entry {
    uint8_t id[32];
    uint8_t wrap[32];
    uint64_t used;  // 0: empty
  };
  std::mutex mutex_;
  Entry entries_[kEntries] = {};
  uint64_t clock_ = 0;
};

ScryptCache& scryptCache() {
  static ScryptCache cache;
  return cache;
}

}  // namespace

int scryptWrapKey(const SecretBytes& passphrase, const uint8_t salt[16], int logn, uint8_t wrap[32],
                  std::string& why) {
  Wiped<32> id;
  {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    unsigned int len = 0;
    uint8_t n = static_cast<uint8_t>(logn);
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) > 0 &&
              EVP_DigestUpdate(md, salt, 16) > 0 && EVP_DigestUpdate(md, &n, 1) > 0 &&
              EVP_DigestUpdate(md, passphrase.data(), passphrase.size()) > 0 &&
              EVP_DigestFinal_ex(md, id.data(), &len) > 0;
    EVP_MD_CTX_free(md);
    if (!ok) {
      why = "age: SHA-256 is not available";
      return EIO;
    }
  }
  if (scryptCache().find(id.data(), wrap)) return 0;
  uint8_t fullSalt[sizeof kScryptLabel - 1 + 16];
  memcpy(fullSalt, kScryptLabel, sizeof kScryptLabel - 1);
  memcpy(fullSalt + sizeof kScryptLabel - 1, salt, 16);
  const uint64_t r = 8, p = 1, N = uint64_t{1} << logn;
  const uint64_t maxmem = 128 * r * (N + 2) + 128 * r * p + (1 << 20);
  if (EVP_PBE_scrypt(reinterpret_cast<const char*>(passphrase.data()), passphrase.size(), fullSalt,
                     sizeof fullSalt, N, r, p, maxmem, wrap, 32) <= 0) {
    why = "age: scrypt at logn " + std::to_string(logn) + " failed (it needs " +
          std::to_string(maxmem >> 20) + " MiB of memory)";
    return ENOMEM;
  }
  scryptCache().put(id.data(), wrap);
  return 0;
}

}  // namespace xio::age
