#include "xiobyt/stages/pieces.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace xio {

namespace {

struct FreeList {
  std::mutex lock;                                // guards spare
  std::vector<std::unique_ptr<uint8_t[]>> spare;  // at most kSparePieces
};

FreeList& freeList() {
  static FreeList* list = new FreeList;  // never destroyed: writers may close at exit
  return *list;
}

std::unique_ptr<uint8_t[]> takePiece() {
  FreeList& f = freeList();
  {
    std::lock_guard<std::mutex> g(f.lock);
    if (!f.spare.empty()) {
      std::unique_ptr<uint8_t[]> p = std::move(f.spare.back());
      f.spare.pop_back();
      return p;
    }
  }
  return std::make_unique_for_overwrite<uint8_t[]>(kPieceSize);
}

}  // namespace

void Pieces::append(const uint8_t* data, size_t n) {
  while (n > 0) {
    size_t used = size_ % kPieceSize;
    if (used == 0 && size_ / kPieceSize == pieces_.size()) {
      pieces_.push_back(takePiece());
    }
    size_t take = std::min(n, kPieceSize - used);
    memcpy(pieces_[size_ / kPieceSize].get() + used, data, take);
    data += take;
    n -= take;
    size_ += take;
  }
}

void Pieces::clear() {
  if (!pieces_.empty()) {
    FreeList& f = freeList();
    std::lock_guard<std::mutex> g(f.lock);
    for (auto& p : pieces_)
      if (f.spare.size() < kSparePieces) f.spare.push_back(std::move(p));
  }
  pieces_.clear();  // the pieces the list did not take go back to the system
  std::vector<std::unique_ptr<uint8_t[]>>().swap(pieces_);
  size_ = 0;
}

size_t sparePieces() {
  FreeList& f = freeList();
  std::lock_guard<std::mutex> g(f.lock);
  return f.spare.size();
}

}  // namespace xio
