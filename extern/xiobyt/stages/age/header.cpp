// The age v1 header: parsed and opened with an identity or a passphrase,
// or made anew for a file being written; and the sizes its chunk
// arithmetic gives.
#include <openssl/hmac.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "xiobyt/sizes.h"
#include "xiobyt/stages/age/detail.h"

namespace xio {

using namespace age;

namespace {

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

}  // namespace

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
