// age v1: keys, header and chunks through OpenSSL's libcrypto (X25519,
// HKDF-SHA-256, HMAC-SHA-256, ChaCha20-Poly1305, scrypt).
#include "xiobyt/stages/age.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "xiobyt/sizes.h"

namespace xio {

SecretBytes& SecretBytes::operator=(SecretBytes&& o) noexcept {
  if (this != &o) {
    wipe();
    bytes_ = std::move(o.bytes_);
  }
  return *this;
}

void SecretBytes::resize(size_t n) {
  if (n <= bytes_.capacity()) {
    if (n < bytes_.size()) OPENSSL_cleanse(bytes_.data() + n, bytes_.size() - n);
    bytes_.resize(n);
    return;
  }
  std::vector<uint8_t> bigger(n);  // never let the vector move the bytes itself
  std::copy(bytes_.begin(), bytes_.end(), bigger.begin());
  wipe();
  bytes_ = std::move(bigger);
}

void SecretBytes::wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

namespace {

// Guards of libcrypto's handles.
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Wipes a fixed array when it goes out of scope.
template <size_t N>
struct Wiped {
  uint8_t b[N] = {};
  ~Wiped() { OPENSSL_cleanse(b, N); }
  uint8_t* data() { return b; }
};

constexpr char kIntro[] = "age-encryption.org/v1";
constexpr char kX25519Label[] = "age-encryption.org/v1/X25519";
constexpr char kScryptLabel[] = "age-encryption.org/v1/scrypt";
constexpr size_t kFileKey = 16, kBodyLine = 64;

// --- base64 without padding, canonical only --------------------------------

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string b64Encode(const uint8_t* p, size_t n) {
  std::string s;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    acc = acc << 8 | p[i];
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      s += kB64[(acc >> bits) & 63];
    }
  }
  if (bits > 0) s += kB64[(acc << (6 - bits)) & 63];
  return s;
}

// False for padding, a character outside the alphabet, a length no
// encoding has, or unused bits that are not zero (a second spelling).
bool b64Decode(const char* s, size_t n, std::vector<uint8_t>& out) {
  out.clear();
  if (n % 4 == 1) return false;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    int v = b64Value(s[i]);
    if (v < 0) return false;
    acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return (acc & ((1u << bits) - 1)) == 0;
}

// --- Bech32 (identity lines) ----------------------------------------------

constexpr char kBech32[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

uint32_t polymod(uint32_t chk, uint8_t v) {
  static const uint32_t gen[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
  uint8_t top = static_cast<uint8_t>(chk >> 25);
  chk = (chk & 0x1ffffff) << 5 ^ v;
  for (int i = 0; i < 5; ++i)
    if ((top >> i) & 1) chk ^= gen[i];
  return chk;
}

// Decodes an upper-case Bech32 string with the human-readable part `hrp`
// (given in lower case) into 8-bit data. No copy of the text is made.
bool bech32Decode(const char* s, size_t n, const char* hrp, SecretBytes& out) {
  size_t h = strlen(hrp);
  if (n < h + 1 + 6 || s[h] != '1') return false;
  for (size_t i = 0; i < n; ++i)
    if (s[i] >= 'a' && s[i] <= 'z') return false;  // age-keygen writes upper case
  for (size_t i = 0; i < h; ++i)
    if (tolower(static_cast<unsigned char>(s[i])) != hrp[i]) return false;
  uint32_t chk = 1;
  for (size_t i = 0; i < h; ++i) chk = polymod(chk, static_cast<uint8_t>(hrp[i] >> 5));
  chk = polymod(chk, 0);
  for (size_t i = 0; i < h; ++i) chk = polymod(chk, static_cast<uint8_t>(hrp[i] & 31));
  SecretBytes five(n - h - 1);
  for (size_t i = h + 1; i < n; ++i) {
    const char* at = strchr(kBech32, tolower(static_cast<unsigned char>(s[i])));
    if (at == nullptr || *at == '\0') return false;
    five.data()[i - h - 1] = static_cast<uint8_t>(at - kBech32);
    chk = polymod(chk, five.data()[i - h - 1]);
  }
  if (chk != 1) return false;
  size_t groups = five.size() - 6;
  out.resize(groups * 5 / 8);
  uint32_t acc = 0;
  int bits = 0;
  size_t k = 0;
  for (size_t i = 0; i < groups; ++i) {
    acc = (acc << 5 | five.data()[i]) & 0xFFF;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out.data()[k++] = static_cast<uint8_t>(acc >> bits);
    }
  }
  return bits < 5 && (five.data()[groups - 1] & ((1u << bits) - 1)) == 0;
}

// --- primitives -------------------------------------------------------------

bool hkdf(const uint8_t* ikm, size_t ikmLen, const uint8_t* salt, size_t saltLen, const char* info,
          uint8_t out[32]) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  size_t len = 32;
  return ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
         EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) > 0 &&
         (saltLen == 0 ||
          EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt, static_cast<int>(saltLen)) > 0) &&
         EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), ikm, static_cast<int>(ikmLen)) > 0 &&
         EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const uint8_t*>(info),
                                     static_cast<int>(strlen(info))) > 0 &&
         EVP_PKEY_derive(ctx.get(), out, &len) > 0 && len == 32;
}

// The public share of a secret scalar.
bool x25519Public(const uint8_t secret[32], uint8_t pub[32]) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, 32));
  size_t len = 32;
  return key && EVP_PKEY_get_raw_public_key(key.get(), pub, &len) > 0 && len == 32;
}

// X25519(secret, peer); false also for an all-zero result.
bool x25519(const uint8_t secret[32], const uint8_t peer[32], uint8_t shared[32]) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, 32));
  Pkey other(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer, 32));
  if (!key || !other) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  size_t len = 32;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
      EVP_PKEY_derive_set_peer(ctx.get(), other.get()) <= 0 ||
      EVP_PKEY_derive(ctx.get(), shared, &len) <= 0 || len != 32)
    return false;
  uint8_t any = 0;
  for (int i = 0; i < 32; ++i) any |= shared[i];
  return any != 0;
}

// ChaCha20-Poly1305 of one message under `key` and a 12-byte nonce: seal
// writes n + 16 bytes; open takes n sealed bytes and writes n - 16.
bool aead(EVP_CIPHER_CTX* ctx, bool seal, const uint8_t nonce[12], const uint8_t* in, size_t n,
          uint8_t* out) {
  int len = 0;
  size_t plain = seal ? n : n - kAgeTag;
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, seal ? 1 : 0) <= 0) return false;
  if (!seal && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kAgeTag,
                                   const_cast<uint8_t*>(in + plain)) <= 0)
    return false;
  if (plain > 0 && (EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(plain)) <= 0 ||
                    static_cast<size_t>(len) != plain))
    return false;
  if (EVP_CipherFinal_ex(ctx, out + plain, &len) <= 0) return false;
  return !seal || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kAgeTag, out + plain) > 0;
}

CipherCtx keyedContext(const uint8_t key[32], bool seal) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (ctx && EVP_CipherInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key, nullptr,
                               seal ? 1 : 0) <= 0)
    ctx.reset();
  return ctx;
}

// The file key sealed or opened under a wrap key (nonce zero).
bool wrapFileKey(const uint8_t wrap[32], const uint8_t fileKey[kFileKey], uint8_t body[32]) {
  static const uint8_t zero[12] = {};
  CipherCtx ctx = keyedContext(wrap, true);
  return ctx && aead(ctx.get(), true, zero, fileKey, kFileKey, body);
}
bool unwrapFileKey(const uint8_t wrap[32], const uint8_t body[32], uint8_t fileKey[kFileKey]) {
  static const uint8_t zero[12] = {};
  CipherCtx ctx = keyedContext(wrap, false);
  bool ok = ctx && aead(ctx.get(), false, zero, body, 32, fileKey);
  if (!ok) OPENSSL_cleanse(fileKey, kFileKey);
  return ok;
}

// --- scrypt and the cache of its results -----------------------------------

// One derivation at logn 18 costs a large fraction of a second, and the
// daemon opens one file several times (its size, then its data): each
// result is kept for the process, under a digest of the passphrase, salt
// and work factor, never under the passphrase itself.
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

// --- header -----------------------------------------------------------------

struct Stanza {
  std::vector<std::string> args;  // the type first
  std::vector<uint8_t> body;
};

struct ParsedHeader {
  std::vector<Stanza> stanzas;
  size_t macAt = 0;      // the three dashes end here: the MAC covers [0, macAt)
  size_t headerEnd = 0;  // after the MAC line's line feed
  std::vector<uint8_t> mac;
};

// One line at `pos` without its line feed; false when no line feed follows
// within the data (the header may continue in bytes not yet given).
bool nextLine(const uint8_t* d, size_t n, size_t& pos, const char*& line, size_t& len) {
  const void* lf = pos < n ? memchr(d + pos, '\n', n - pos) : nullptr;
  if (lf == nullptr) return false;
  line = reinterpret_cast<const char*>(d + pos);
  len = static_cast<size_t>(static_cast<const uint8_t*>(lf) - (d + pos));
  pos += len + 1;
  return true;
}

int incomplete(size_t n, std::string& why) {
  if (n < kAgeHeaderMax) return EAGAIN;
  why = "age: the header is longer than " + std::to_string(kAgeHeaderMax) + " bytes";
  return EIO;
}

int malformed(std::string& why, const std::string& what) {
  why = "age: malformed header: " + what;
  return EIO;
}

int parseHeader(const uint8_t* d, size_t n, ParsedHeader& h, std::string& why) {
  size_t pos = 0;
  const char* line;
  size_t len;
  if (!nextLine(d, n, pos, line, len)) {
    if (n >= sizeof kIntro - 1 && memcmp(d, kIntro, sizeof kIntro - 1) != 0)
      return malformed(why, "not an age v1 file (no age-encryption.org/v1 line)");
    return incomplete(n, why);
  }
  if (len != sizeof kIntro - 1 || memcmp(line, kIntro, len) != 0)
    return malformed(why, "not an age v1 file (no age-encryption.org/v1 line)");
  for (;;) {
    size_t lineAt = pos;
    if (!nextLine(d, n, pos, line, len)) return incomplete(n, why);
    if (len >= 3 && memcmp(line, "---", 3) == 0) {
      if (len < 4 || line[3] != ' ') return malformed(why, "the MAC line has no MAC");
      if (!b64Decode(line + 4, len - 4, h.mac) || h.mac.size() != 32)
        return malformed(why, "the MAC is not 32 bytes of canonical base64");
      h.macAt = lineAt + 3;
      h.headerEnd = pos;
      break;
    }
    if (len < 3 || memcmp(line, "-> ", 3) != 0)
      return malformed(why, "a line is neither a stanza nor the MAC");
    Stanza s;
    for (size_t i = 3; i <= len;) {
      size_t j = i;
      while (j < len && line[j] != ' ') {
        if (line[j] < 0x21 || line[j] > 0x7e)
          return malformed(why, "a stanza argument holds a character outside ASCII 33..126");
        ++j;
      }
      if (j == i) return malformed(why, "a stanza has an empty argument");
      s.args.emplace_back(line + i, j - i);
      i = j + 1;
    }
    std::string text;
    for (;;) {
      if (!nextLine(d, n, pos, line, len)) return incomplete(n, why);
      if (len > kBodyLine) return malformed(why, "a stanza body line is longer than 64");
      text.append(line, len);
      if (len < kBodyLine) break;
    }
    if (!b64Decode(text.data(), text.size(), s.body))
      return malformed(why, "a stanza body is not canonical unpadded base64");
    h.stanzas.push_back(std::move(s));
  }
  if (h.stanzas.empty()) return malformed(why, "no stanza");
  return 0;
}

// The header's MAC over [0, macAt) under the file key.
bool headerMac(const uint8_t fileKey[kFileKey], const uint8_t* d, size_t macAt, uint8_t mac[32]) {
  Wiped<32> key;
  static const uint8_t none = 0;
  if (!hkdf(fileKey, kFileKey, &none, 0, "header", key.data())) return false;
  unsigned int len = 32;
  return HMAC(EVP_sha256(), key.data(), 32, d, macAt, mac, &len) != nullptr && len == 32;
}

bool decimal(const std::string& s, int& value) {
  if (s.empty() || s.size() > 2 || s[0] == '0') return false;  // no leading zeros
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The file key from an scrypt stanza (the only stanza of the header).
int openScrypt(const ParsedHeader& h, const AgeKey& key, uint8_t fileKey[kFileKey],
               std::string& why) {
  const Stanza* s = nullptr;
  for (const Stanza& t : h.stanzas)
    if (t.args[0] == "scrypt") s = &t;
  if (s == nullptr) {
    why = "age: the header has no scrypt stanza, so no passphrase opens it";
    return EACCES;
  }
  std::vector<uint8_t> salt;
  int logn = 0;
  if (s->args.size() != 3 || !b64Decode(s->args[1].data(), s->args[1].size(), salt) ||
      salt.size() != 16 || !decimal(s->args[2], logn) || s->body.size() != 32)
    return malformed(why, "an invalid scrypt stanza");
  if (logn > kAgeMaxLogn) {
    why = "age: the scrypt work factor logn " + std::to_string(logn) + " is above the limit " +
          std::to_string(kAgeMaxLogn);
    return EIO;
  }
  Wiped<32> wrap;
  if (int rc = scryptWrapKey(key.passphrase, salt.data(), logn, wrap.data(), why)) return rc;
  if (!unwrapFileKey(wrap.data(), s->body.data(), fileKey)) {
    why = "age: the passphrase does not open the scrypt stanza";
    return EACCES;
  }
  return 0;
}

// The file key from the first X25519 stanza that an identity opens.
int openX25519(const ParsedHeader& h, const AgeKey& key, uint8_t fileKey[kFileKey],
               std::string& why) {
  bool any = false;
  for (const Stanza& s : h.stanzas) {
    if (s.args[0] != "X25519") continue;
    std::vector<uint8_t> share;
    if (s.args.size() != 2 || !b64Decode(s.args[1].data(), s.args[1].size(), share) ||
        share.size() != 32 || s.body.size() != 32)
      return malformed(why, "an invalid X25519 stanza");
    any = true;
    for (const SecretBytes& id : key.identities) {
      Wiped<32> shared, wrap;
      uint8_t salt[64];
      memcpy(salt, share.data(), 32);
      if (!x25519Public(id.data(), salt + 32)) {
        why = "age: X25519 is not available";
        return EIO;
      }
      if (!x25519(id.data(), share.data(), shared.data()))
        return malformed(why, "an X25519 stanza whose share gives no shared secret");
      if (!hkdf(shared.data(), 32, salt, sizeof salt, kX25519Label, wrap.data())) {
        why = "age: HKDF is not available";
        return EIO;
      }
      if (unwrapFileKey(wrap.data(), s.body.data(), fileKey)) return 0;
    }
  }
  why = any ? "age: no X25519 stanza of the header opens with the identity file's key"
            : "age: the header has no X25519 stanza, so no identity file opens it";
  return EACCES;
}

std::string bodyLines(const uint8_t* body, size_t n) {
  std::string b = b64Encode(body, n), s;
  size_t i = 0;
  for (; i + kBodyLine <= b.size(); i += kBodyLine) s += b.substr(i, kBodyLine) + "\n";
  return s + b.substr(i) + "\n";  // the last line is shorter, maybe empty
}

int randomBytes(uint8_t* p, size_t n, std::string& why) {
  if (RAND_bytes(p, static_cast<int>(n)) == 1) return 0;
  why = "age: the random generator failed";
  return EIO;
}

// --- the identity file ------------------------------------------------------

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

struct AgePayloadKey::Cipher {
  CipherCtx seal, open;
};

AgePayloadKey::AgePayloadKey() : cipher_(std::make_unique<Cipher>()) {}
AgePayloadKey::~AgePayloadKey() = default;  // EVP_CIPHER_CTX_free wipes the key schedule

int AgePayloadKey::derive(const uint8_t fileKey[16], const uint8_t nonce[kAgeNonce],
                          std::string& why) {
  Wiped<32> key;
  ready_ = false;
  if (!hkdf(fileKey, kFileKey, nonce, kAgeNonce, "payload", key.data())) {
    why = "age: HKDF is not available";
    return EIO;
  }
  cipher_->seal = keyedContext(key.data(), true);
  cipher_->open = keyedContext(key.data(), false);
  if (!cipher_->seal || !cipher_->open) {
    why = "age: ChaCha20-Poly1305 is not available";
    return EIO;
  }
  ready_ = true;
  return 0;
}

namespace {
void chunkNonce(uint64_t index, bool last, uint8_t nonce[12]) {
  memset(nonce, 0, 12);
  for (int i = 0; i < 8; ++i) nonce[10 - i] = static_cast<uint8_t>(index >> (8 * i));
  nonce[11] = last ? 1 : 0;
}
}  // namespace

int AgePayloadKey::seal(uint64_t index, bool last, const uint8_t* plain, size_t n, uint8_t* sealed,
                        std::string& why) {
  uint8_t nonce[12];
  chunkNonce(index, last, nonce);
  if (ready_ && n <= kAgeChunk && aead(cipher_->seal.get(), true, nonce, plain, n, sealed))
    return 0;
  why = "age: sealing chunk " + std::to_string(index) + " failed";
  return EIO;
}

int AgePayloadKey::open(uint64_t index, bool last, const uint8_t* sealed, size_t n, uint8_t* plain,
                        std::string& why) {
  uint8_t nonce[12];
  chunkNonce(index, last, nonce);
  if (ready_ && n >= kAgeTag && n <= kAgeSealed &&
      aead(cipher_->open.get(), false, nonce, sealed, n, plain))
    return 0;
  if (n > kAgeTag) OPENSSL_cleanse(plain, std::min(n, kAgeSealed) - kAgeTag);
  why = "age: chunk " + std::to_string(index) + (last ? " (the last)" : "") +
        " does not authenticate: the file is damaged or was changed";
  return EIO;
}

int ageOpenHeader(const uint8_t* data, size_t n, const AgeKey& key, AgePayloadKey& payload,
                  size_t& payloadStart, std::string& why) {
  ParsedHeader h;
  if (int rc = parseHeader(data, n, h, why)) return rc;
  if (n < h.headerEnd + kAgeNonce) return EAGAIN;
  size_t scrypts = 0;
  for (const Stanza& s : h.stanzas) scrypts += s.args[0] == "scrypt";
  if (scrypts > 0 && h.stanzas.size() != 1)
    return malformed(why, "an scrypt stanza must be the only stanza of its header");
  Wiped<kFileKey> fileKey;
  int rc = key.passphraseKey ? openScrypt(h, key, fileKey.data(), why)
                             : openX25519(h, key, fileKey.data(), why);
  if (rc) return rc;
  uint8_t mac[32];
  if (!headerMac(fileKey.data(), data, h.macAt, mac) || CRYPTO_memcmp(mac, h.mac.data(), 32) != 0) {
    why = "age: the header's MAC does not match: the header was changed";
    return EIO;
  }
  if (int e = payload.derive(fileKey.data(), data + h.headerEnd, why)) return e;
  payloadStart = h.headerEnd + kAgeNonce;
  return 0;
}

int ageNewHeader(const AgeKey& key, AgePayloadKey& payload, std::vector<uint8_t>& header,
                 std::string& why) {
  Wiped<kFileKey> fileKey;
  if (int rc = randomBytes(fileKey.data(), kFileKey, why)) return rc;
  std::string text = std::string(kIntro) + "\n";
  Wiped<32> wrap;
  uint8_t body[32];
  if (key.passphraseKey) {
    uint8_t salt[16];
    if (int rc = randomBytes(salt, sizeof salt, why)) return rc;
    if (int rc = scryptWrapKey(key.passphrase, salt, key.logn, wrap.data(), why)) return rc;
    text += "-> scrypt " + b64Encode(salt, sizeof salt) + " " + std::to_string(key.logn) + "\n";
  } else {
    if (key.identities.empty()) {
      why = "age: no identity to write for";
      return EINVAL;
    }
    Wiped<32> ephemeral, shared;
    uint8_t salt[64];  // share, then recipient
    if (int rc = randomBytes(ephemeral.data(), 32, why)) return rc;
    if (!x25519Public(ephemeral.data(), salt) ||
        !x25519Public(key.identities[0].data(), salt + 32) ||
        !x25519(ephemeral.data(), salt + 32, shared.data()) ||
        !hkdf(shared.data(), 32, salt, sizeof salt, kX25519Label, wrap.data())) {
      why = "age: X25519 or HKDF failed";
      return EIO;
    }
    text += "-> X25519 " + b64Encode(salt, 32) + "\n";
  }
  if (!wrapFileKey(wrap.data(), fileKey.data(), body)) {
    why = "age: ChaCha20-Poly1305 failed";
    return EIO;
  }
  text += bodyLines(body, sizeof body) + "---";
  uint8_t mac[32];
  if (!headerMac(fileKey.data(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), mac)) {
    why = "age: HMAC failed";
    return EIO;
  }
  text += " " + b64Encode(mac, sizeof mac) + "\n";
  header.assign(text.begin(), text.end());
  header.resize(text.size() + kAgeNonce);
  if (int rc = randomBytes(header.data() + text.size(), kAgeNonce, why)) return rc;
  return payload.derive(fileKey.data(), header.data() + text.size(), why);
}

int ageOpenFileHeader(int fd, uint64_t fileSize, const AgeKey& key, AgePayloadKey& payload,
                      size_t& payloadStart, std::string& why) {
  std::vector<uint8_t> head;
  for (size_t want = 4096;; want *= 4) {  // most headers fit the first read
    size_t n = static_cast<size_t>(std::min<uint64_t>(want, fileSize));
    head.resize(n);
    if (!preadFull(fd, head.data(), n, 0)) {
      int e = errno ? errno : EIO;
      why = std::string("age: cannot read the header: ") + strerror(e);
      return e;
    }
    int rc = ageOpenHeader(head.data(), n, key, payload, payloadStart, why);
    if (rc != EAGAIN) return rc;
    if (n == fileSize || want > kAgeHeaderMax) {
      why = fileSize == 0 ? "age: the file is empty: it has no age header"
                          : "age: the file ends inside its header";
      return EIO;
    }
  }
}

int64_t ageFileSize(int fd, uint64_t fileSize, const Layer& layer, int& error, std::string& why) {
  AgeKey key;
  if ((error = loadAgeKey(layer, key, why)) != 0) return -1;
  AgePayloadKey payload;
  size_t start = 0;
  if ((error = ageOpenFileHeader(fd, fileSize, key, payload, start, why)) != 0) return -1;
  int64_t plain = agePlainSize(fileSize, start);
  if (plain < 0) {
    error = EIO;
    why = "age: the file's length fits no sequence of chunks: it was cut short or extended";
    return -1;
  }
  uint64_t last = static_cast<uint64_t>(plain) / kAgeChunk;
  if (plain > 0 && static_cast<uint64_t>(plain) % kAgeChunk == 0) --last;
  uint64_t at = start + last * kAgeSealed;
  size_t n = static_cast<size_t>(fileSize - at);
  std::vector<uint8_t> sealed(n), opened(n);
  if (!preadFull(fd, sealed.data(), n, at)) {
    error = errno ? errno : EIO;
    why = "age: cannot read the last chunk";
    return -1;
  }
  if ((error = payload.open(last, true, sealed.data(), n, opened.data(), why)) != 0) return -1;
  OPENSSL_cleanse(opened.data(), opened.size());
  return plain;
}

int64_t agePlainSize(uint64_t fileSize, size_t payloadStart) {
  if (fileSize < payloadStart + kAgeTag) return -1;
  uint64_t payload = fileSize - payloadStart;
  uint64_t chunks = (payload + kAgeSealed - 1) / kAgeSealed;
  uint64_t lastSealed = payload - (chunks - 1) * kAgeSealed;
  if (lastSealed < kAgeTag || (chunks > 1 && lastSealed == kAgeTag)) return -1;
  return static_cast<int64_t>((chunks - 1) * kAgeChunk + (lastSealed - kAgeTag));
}

}  // namespace xio
