// age v1 encryption: the keys, the header and the sealed chunks.
//
// The streaming stages (makeAgeReader, makeAgeWriter) are built on the
// functions below, which also serve random access: a caller reads the first
// bytes of a file, opens its header with ageOpenHeader, and then opens any
// chunk on its own. Plain offset x lies in chunk x / kAgeChunk, which starts
// kAgeNonce + (x / kAgeChunk) * kAgeSealed bytes into the payload, that is at
// `payloadStart + (x / kAgeChunk) * kAgeSealed` in the file.
//
// Key material (identity, file key, wrap keys, payload key, passphrase
// copies) lives in objects that wipe it with OPENSSL_cleanse when they are
// destroyed. No message in `why` ever contains key material.
//
// Thread safety: the objects are used by one thread at a time; the process
// wide caches of scrypt results behind ageOpenHeader and AgeWriterKeys, and
// of kept identity files behind loadAgeKey, are each guarded by a mutex.
// A scrypt result wanted by several threads at once is derived once, and
// at most two derivations run at a time (scrypt.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xiobyt/settings.h"
#include "xiobyt/stage.h"

namespace xio {

constexpr size_t kAgeChunk = 65536;                 // plain bytes of a full chunk
constexpr size_t kAgeTag = 16;                      // Poly1305 tag of each chunk
constexpr size_t kAgeSealed = kAgeChunk + kAgeTag;  // a full sealed chunk
constexpr size_t kAgeNonce = 16;                    // the payload nonce
constexpr size_t kAgeHeaderMax = 1 << 20;           // longer headers are refused
constexpr int kAgeMaxLogn = 22;                     // scrypt work factor cap when reading

// Bytes that are wiped when they go away.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t n) : bytes_(n) {}
  ~SecretBytes() { wipe(); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& o) noexcept : bytes_(std::move(o.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& o) noexcept;
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  void resize(size_t n);  // wipes what it drops or moves
  void wipe();

 private:
  std::vector<uint8_t> bytes_;
};

// What opens or makes a file: the X25519 identities of an identity file, or
// a passphrase with the work factor to write with.
struct AgeKey {
  bool passphraseKey = false;
  std::vector<SecretBytes> identities;  // 32 bytes each
  SecretBytes passphrase;
  int logn = kDefaultLogn;
};

// Reads the key of an age layer: the identity file (a regular file without
// group or other permission bits; comment lines starting with '#' and
// AGE-SECRET-KEY-1 lines) or the passphrase. Exactly one of the two must be
// given. Returns 0, or ENOENT (no identity file), EACCES (not a regular
// file, or readable by group or others: `why` names the mode), EINVAL
// (malformed key, both or neither given, logn without passphrase), with the
// cause in `why`.
// A caller that the identity file refuses (EACCES, EPERM at its open) gets
// the keys keepAgeIdentity kept for the path, if any; a caller that reads
// the file replaces the kept keys with what it read.
int loadAgeKey(const Layer& layer, AgeKey& key, std::string& why);

// Reads the identity file of an age layer now and keeps its keys for the
// process, under its path, for loadAgeKey (xioloadkeys). 0 for a layer
// without identity=; else the errors of loadAgeKey.
int keepAgeIdentity(const Layer& layer, std::string& why);

// The key of the chunks of one file, and the cipher context that uses it.
class AgePayloadKey {
 public:
  AgePayloadKey();
  ~AgePayloadKey();
  AgePayloadKey(const AgePayloadKey&) = delete;
  AgePayloadKey& operator=(const AgePayloadKey&) = delete;
  // Derives the key from the file key and the payload nonce.
  int derive(const uint8_t fileKey[16], const uint8_t nonce[kAgeNonce], std::string& why);
  bool ready() const { return ready_; }
  // Seals `n` plain bytes (at most kAgeChunk) as chunk `index` into
  // `sealed`, which takes n + kAgeTag bytes. 0 or EIO.
  int seal(uint64_t index, bool last, const uint8_t* plain, size_t n, uint8_t* sealed,
           std::string& why);
  // Opens a sealed chunk of `n` bytes (kAgeTag to kAgeSealed) into `plain`
  // (n - kAgeTag bytes). The tag is checked before the call returns; on a
  // failure `plain` is wiped and EIO returned.
  int open(uint64_t index, bool last, const uint8_t* sealed, size_t n, uint8_t* plain,
           std::string& why);

 private:
  struct Cipher;
  std::unique_ptr<Cipher> cipher_;
  bool ready_ = false;
};

// Parses the header at the start of a file, `data` being its first `n`
// bytes, opens it with `key`, checks its MAC and derives the payload key.
// `payloadStart` gets the offset of chunk 0 (after the header and the
// payload nonce). Returns 0; EAGAIN when `n` bytes hold less than the
// header and the nonce; EIO for a malformed or damaged header; EACCES when
// no stanza opens with the key.
int ageOpenHeader(const uint8_t* data, size_t n, const AgeKey& key, AgePayloadKey& payload,
                  size_t& payloadStart, std::string& why);

// A new file's header and payload key: a fresh file key, one stanza for the
// key (the recipient of the first identity, or scrypt with a fresh salt),
// the MAC and a fresh payload nonce. `header` gets the bytes to write
// before chunk 0 (header and nonce).
int ageNewHeader(const AgeKey& key, AgePayloadKey& payload, std::vector<uint8_t>& header,
                 std::string& why);

// The plain size of a file of `fileSize` bytes whose chunks start at
// `payloadStart`, from the chunk arithmetic; -1 when no sequence of chunks
// has that length. The caller still checks that the last chunk opens as a
// last chunk.
int64_t agePlainSize(uint64_t fileSize, size_t payloadStart);

// Reads and opens the header of the age file open at `fd` (`fileSize`
// bytes) with pread, like ageOpenHeader. 0 or an errno with `why`.
int ageOpenFileHeader(int fd, uint64_t fileSize, const AgeKey& key, AgePayloadKey& payload,
                      size_t& payloadStart, std::string& why);

// The plain size of the age file open at `fd` (`fileSize` bytes), from its
// header and the chunk arithmetic, after checking that its last chunk
// opens as the last. -1 with `error` and `why` when the key or the file
// does not allow it.
int64_t ageFileSize(int fd, uint64_t fileSize, const Layer& layer, int& error, std::string& why);

// The writer of an age layer that lies directly on the file. A sync flush
// seals the chunk being gathered as the last, so that the file on disk is
// then a complete age file. That chunk's index is never sealed again under
// the same payload key (a second plaintext under one ChaCha20 nonce would
// give both away and let Poly1305 tags be forged): before more data, the
// writer takes a fresh file key and seals the chunks before that last one
// again under it, into a copy of the file (rekey); the last chunk's bytes,
// which it still holds, then continue.
class AgeWriterStage : public Stage {
 public:
  // The next FLUSH ends with the gathered bytes sealed as the last chunk.
  virtual void sealAtNextFlush() = 0;
  // The length in the output of the last chunk sealed by a flush, while it
  // ends the output; 0 when none does.
  virtual size_t sealedTail() const = 0;
  // With a sealed last chunk ending the output: writes into `to` (from its
  // offset 0) a new header under a fresh file key and the chunks before
  // that last one, read from `from` (the output so far, opened with the
  // old key, which checks them) and sealed under the new key; `end` gets
  // the length written. The last chunk's bytes stay held, to go on. 0 or
  // an errno with `why` (the writer is then unusable).
  virtual int rekey(int from, int to, uint64_t& end, std::string& why) = 0;
};

// The stages of the layer. The key is read here, so a missing or malformed
// key fails at open.
std::unique_ptr<Stage> makeAgeReader(const Layer& layer, std::string& why);
// A reader for xiorecover: at the end of the file a chunk that opens as an
// ordinary chunk is handed out too, and the stream then fails as cut short.
std::unique_ptr<Stage> makeAgeRecoveryReader(const Layer& layer, std::string& why);
std::unique_ptr<AgeWriterStage> makeAgeWriter(const Layer& layer, std::string& why);

// What the scrypt cache has done (tests and benchmarks): derivations run
// since the last forgetScryptResults, and the most that ran at once.
struct ScryptCounts {
  uint64_t derived = 0;
  int mostAtOnce = 0;
};
namespace age {
ScryptCounts scryptCounts();
// Drops every kept result (wiped) and resets the counts.
void forgetScryptResults();
}  // namespace age

}  // namespace xio
