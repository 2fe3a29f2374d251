// Bytes a writer gathers between calls, held in pieces of kPieceSize from
// a free list shared by every stream: a writer holds its data rounded up to
// a piece, never the spare room of a buffer grown by doubling, and the
// pieces go back to the list (or, past kSparePieces, to the system) as
// soon as they are handed on. Used by one thread at a time; the free list
// has its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace xio {

constexpr size_t kPieceSize = 64 << 10;
// Pieces the free list keeps for the next writer (2 MiB); more are freed.
constexpr size_t kSparePieces = 32;

class Pieces {
 public:
  Pieces() = default;
  ~Pieces() { clear(); }
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Appends the bytes, taking pieces as needed. May throw std::bad_alloc.
  void append(const uint8_t* data, size_t n);
  // Calls send(bytes, length) for each piece in order until one returns
  // non-zero; returns that, or 0.
  template <class Send>
  int forEach(Send send) const {
    size_t left = size_;
    for (const auto& p : pieces_) {
      size_t n = left < kPieceSize ? left : kPieceSize;
      if (int rc = send(p.get(), n)) return rc;
      left -= n;
    }
    return 0;
  }
  // Gives every piece back to the free list.
  void clear();

 private:
  std::vector<std::unique_ptr<uint8_t[]>> pieces_;
  size_t size_ = 0;
};

// The free list's pieces (tests and benchmarks).
size_t sparePieces();

}  // namespace xio
