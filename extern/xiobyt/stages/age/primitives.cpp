// Bytes that wipe themselves, and the primitives of age v1 through
// OpenSSL's libcrypto: X25519, HKDF-SHA-256, ChaCha20-Poly1305, random bytes.
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "xiobyt/stages/age/detail.h"

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

namespace age {

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

bool x25519Public(const uint8_t secret[32], uint8_t pub[32]) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, 32));
  size_t len = 32;
  return key && EVP_PKEY_get_raw_public_key(key.get(), pub, &len) > 0 && len == 32;
}

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

int randomBytes(uint8_t* p, size_t n, std::string& why) {
  if (RAND_bytes(p, static_cast<int>(n)) == 1) return 0;
  why = "age: the random generator failed";
  return EIO;
}

}  // namespace age

}  // namespace xio
