// The payload key and the sealing and opening of one chunk.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "xiobyt/stages/age/detail.h"

namespace xio {

using namespace age;

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

}  // namespace xio
