// Pieces shared by the text and record stages: the byte-order mark at the
// start of a stream, and line ends found among code points.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "xiobyt/settings.h"

namespace xio {

// Drops a byte-order mark at the very start of a stream. The first bytes
// are held until there are enough of them to tell.
class MarkSkipper {
 public:
  void init(std::string mark) { mark_ = std::move(mark); }
  // False while the start is still held (nothing to convert yet); else
  // true with [src, src+n) the bytes to go on with, valid until the next call.
  bool pass(const uint8_t*& src, size_t& n, bool end) {
    if (done_) {
      held_.clear();
      return true;
    }
    held_.append(reinterpret_cast<const char*>(src), n);
    if (held_.size() < mark_.size() && !end) return false;
    done_ = true;
    size_t off = !mark_.empty() && held_.compare(0, mark_.size(), mark_) == 0 ? mark_.size() : 0;
    src = reinterpret_cast<const uint8_t*>(held_.data()) + off;
    n = held_.size() - off;
    return true;
  }

 private:
  std::string mark_, held_;
  bool done_ = false;
};

// Finds the line ends of `method` in code points: one character, or CR LF
// as a pair, where a CR at the end of a chunk waits for the next chunk (and
// at the end of the stream is a character of its own).
class LineEnds {
 public:
  void init(Method m) {
    std::u32string e = lineEnd(m);
    crlf_ = e.size() == 2;
    end_ = e[0];
  }
  // Calls onChar(c) for each character outside a line end and onEnd() for
  // each line end, in order, over `count` host-endian 32-bit code points at
  // `wide`. Stops at the first non-zero result and returns it.
  template <class OnChar, class OnEnd>
  int scan(const char* wide, size_t count, bool end, OnChar onChar, OnEnd onEnd) {
    for (size_t i = 0; i < count; ++i) {
      char32_t c;
      memcpy(&c, wide + i * sizeof c, sizeof c);
      int rc = 0;
      if (crlf_) {
        if (holdCr_) {
          holdCr_ = false;
          if (c == 0x0A) {
            if ((rc = onEnd()) != 0) return rc;
            continue;
          }
          if ((rc = onChar(0x0D)) != 0) return rc;
        }
        if (c == 0x0D) {
          holdCr_ = true;
          continue;
        }
        rc = onChar(c);
      } else {
        rc = c == end_ ? onEnd() : onChar(c);
      }
      if (rc != 0) return rc;
    }
    if (end && holdCr_) {
      holdCr_ = false;
      return onChar(0x0D);
    }
    return 0;
  }

 private:
  bool crlf_ = false, holdCr_ = false;
  char32_t end_ = 0;
};

}  // namespace xio
