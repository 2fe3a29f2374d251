// scrypt, the passphrase's work, and the process's cache of its results.
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "xiobyt/stages/age/detail.h"

namespace xio::age {

// One derivation at logn 18 costs a large fraction of a second and 256 MiB,
// and the daemon opens one file several times (its size, then its data),
// often on several threads at once: each result is kept for the process,
// under a digest of the passphrase, salt and work factor, never under the
// passphrase itself. A result being derived is derived once, the other
// threads that want it waiting for it; and at most kScryptAtOnce run at a
// time, so that a burst of opens of different files with high work factors
// cannot take all memory.
namespace {

constexpr int kScryptAtOnce = 2;

using Id = std::array<uint8_t, 32>;

class ScryptCache {
 public:
  static constexpr size_t kEntries = 16;
  ~ScryptCache() {
    for (Entry& e : entries_) OPENSSL_cleanse(&e, sizeof e);
  }

  // The wrap key for `id`, from the cache or from `derive` (which fills
  // `wrap`, 0 or an errno), run without the lock once no other thread is
  // deriving the same id and fewer than kScryptAtOnce derivations run.
  template <class Derive>
  int get(const Id& id, uint8_t wrap[32], Derive derive) {
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
      if (find(id, wrap)) return 0;
      bool pending = false;
      for (const Id& p : deriving_)
        pending = pending || CRYPTO_memcmp(p.data(), id.data(), 32) == 0;
      if (!pending && deriving_.size() < kScryptAtOnce) break;
      changed_.wait(g);  // a derivation ended: its result or a free slot
    }
    deriving_.push_back(id);
    ++counts_.derived;
    counts_.mostAtOnce = std::max(counts_.mostAtOnce, static_cast<int>(deriving_.size()));
    g.unlock();
    int rc = derive(wrap);
    g.lock();
    for (auto it = deriving_.begin(); it != deriving_.end(); ++it)
      if (*it == id) {
        deriving_.erase(it);
        break;
      }
    if (rc == 0) put(id, wrap);  // a failure: each waiter tries on its own
    g.unlock();
    changed_.notify_all();
    return rc;
  }

  ScryptCounts counts() {
    std::lock_guard<std::mutex> g(mutex_);
    return counts_;
  }
  void forget() {
    std::lock_guard<std::mutex> g(mutex_);
    for (Entry& e : entries_) OPENSSL_cleanse(&e, sizeof e);
    counts_ = ScryptCounts{};
  }

 private:
  struct Entry {
    uint8_t id[32];
    uint8_t wrap[32];
    uint64_t used;  // 0: empty
  };

  // REQUIRES: mutex_ held.
  bool find(const Id& id, uint8_t wrap[32]) {
    for (Entry& e : entries_) {
      if (e.used != 0 && CRYPTO_memcmp(e.id, id.data(), 32) == 0) {
        e.used = ++clock_;
        memcpy(wrap, e.wrap, 32);
        return true;
      }
    }
    return false;
  }
  // REQUIRES: mutex_ held.
  void put(const Id& id, const uint8_t wrap[32]) {
    Entry* slot = &entries_[0];
    for (Entry& e : entries_) {
      if (e.used != 0 && CRYPTO_memcmp(e.id, id.data(), 32) == 0) return;
      if (e.used < slot->used) slot = &e;
    }
    OPENSSL_cleanse(slot, sizeof *slot);  // the least recently used goes
    memcpy(slot->id, id.data(), 32);
    memcpy(slot->wrap, wrap, 32);
    slot->used = ++clock_;
  }

  // Guards entries_, clock_, deriving_ and counts_; never held while a
  // derivation runs.
  std::mutex mutex_;
  // Signalled when a derivation ends (its result is in entries_, or it
  // failed) and so a slot of kScryptAtOnce is free.
  std::condition_variable changed_;
  Entry entries_[kEntries] = {};
  uint64_t clock_ = 0;
  std::vector<Id> deriving_;  // the ids being derived now, at most kScryptAtOnce
  ScryptCounts counts_;
};

ScryptCache& scryptCache() {
  static ScryptCache cache;
  return cache;
}

// scrypt itself (N = 2^logn, r = 8, p = 1) over the age label and salt.
int derive(const SecretBytes& passphrase, const uint8_t salt[16], int logn, uint8_t wrap[32],
           std::string& why) {
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
  return 0;
}

}  // namespace

ScryptCounts scryptCounts() { return scryptCache().counts(); }
void forgetScryptResults() { scryptCache().forget(); }

int scryptWrapKey(const SecretBytes& passphrase, const uint8_t salt[16], int logn, uint8_t wrap[32],
                  std::string& why) {
  Id id{};
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
  int rc = scryptCache().get(
      id, wrap, [&](uint8_t* out) { return derive(passphrase, salt, logn, out, why); });
  OPENSSL_cleanse(id.data(), id.size());
  return rc;
}

}  // namespace xio::age
