// What the parts of the age layer share: guards of libcrypto's handles,
// the format's constants and the primitives the header and the chunks are
// built from. Nothing here leaves the layer.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xiobyt/stages/age/age.h"

namespace xio::age {

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

inline constexpr char kIntro[] = "age-encryption.org/v1";
inline constexpr char kX25519Label[] = "age-encryption.org/v1/X25519";
inline constexpr char kScryptLabel[] = "age-encryption.org/v1/scrypt";
inline constexpr size_t kFileKey = 16, kBodyLine = 64;

// base64 without padding, canonical only (base64.cpp).
std::string b64Encode(const uint8_t* p, size_t n);
// False for padding, a character outside the alphabet, a length no
// encoding has, or unused bits that are not zero (a second spelling).
bool b64Decode(const char* s, size_t n, std::vector<uint8_t>& out);

// Decodes an upper-case Bech32 string with the human-readable part `hrp`
// (given in lower case) into 8-bit data. No copy of the text is made
// (bech32.cpp).
bool bech32Decode(const char* s, size_t n, const char* hrp, SecretBytes& out);

// HKDF-SHA-256 into 32 bytes (primitives.cpp).
bool hkdf(const uint8_t* ikm, size_t ikmLen, const uint8_t* salt, size_t saltLen, const char* info,
          uint8_t out[32]);
// The public share of a secret scalar.
bool x25519Public(const uint8_t secret[32], uint8_t pub[32]);
// X25519(secret, peer); false also for an all-zero result.
bool x25519(const uint8_t secret[32], const uint8_t peer[32], uint8_t shared[32]);
// ChaCha20-Poly1305 of one message under `key` and a 12-byte nonce: seal
// writes n + 16 bytes; open takes n sealed bytes and writes n - 16.
bool aead(EVP_CIPHER_CTX* ctx, bool seal, const uint8_t nonce[12], const uint8_t* in, size_t n,
          uint8_t* out);
CipherCtx keyedContext(const uint8_t key[32], bool seal);
// The file key sealed or opened under a wrap key (nonce zero).
bool wrapFileKey(const uint8_t wrap[32], const uint8_t fileKey[kFileKey], uint8_t body[32]);
bool unwrapFileKey(const uint8_t wrap[32], const uint8_t body[32], uint8_t fileKey[kFileKey]);
int randomBytes(uint8_t* p, size_t n, std::string& why);

// The wrap key of a passphrase for a salt and work factor, from the
// process's cache of scrypt results when it holds it (scrypt.cpp).
// Several threads asking for the same result at once derive it once; at
// most two derivations run at a time, the others waiting for a slot.
int scryptWrapKey(const SecretBytes& passphrase, const uint8_t salt[16], int logn, uint8_t wrap[32],
                  std::string& why);

}  // namespace xio::age
