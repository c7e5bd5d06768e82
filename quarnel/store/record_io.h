// Internal: the bytes of the trailer's records, written and read
// little-endian, and the words of a refusal of damaged ones.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/bytes.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

inline QuarnelError damaged(std::string reason) {
  return QuarnelError::stream_damaged(std::move(reason));
}

// A figure as a message names it.
inline std::string text(double v) {
  char out[32];
  std::snprintf(out, sizeof out, "%.6g", v);
  return out;
}

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}

  void byte(std::uint8_t b) { out_.push_back(b); }
  void varint(std::uint64_t v) {
    std::uint8_t b[kMaxLeb128Size];
    bytes({b, store_leb128(b, v)});
  }
  void fixed(std::uint64_t v, std::size_t width) {
    std::uint8_t b[8];
    store_le(b, v, width);
    bytes({b, width});
  }
  void f64(double v) { fixed(std::bit_cast<std::uint64_t>(v), 8); }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

// Every read is bounds-checked, though the checksum has already vouched for
// the bytes, so that a trailer forged with a valid CRC is refused cleanly
// too.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

  bool done() const { return at_ == in_.size(); }
  std::size_t left() const { return in_.size() - at_; }

  std::expected<std::uint8_t, QuarnelError> byte() {
    QUARNEL_CHECK(at_ < in_.size(), damaged("trailer record cut short"));
    return in_[at_++];
  }
  std::expected<std::uint64_t, QuarnelError> varint() {
    std::uint64_t v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      QUARNEL_TRY_ASSIGN(b, byte());
      QUARNEL_CHECK(shift < 63 || b <= 1, damaged("trailer number too large"));
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    return std::unexpected(damaged("trailer number too large"));
  }
  std::expected<std::uint64_t, QuarnelError> fixed(std::size_t width) {
    QUARNEL_CHECK(left() >= width, damaged("trailer record cut short"));
    const std::uint64_t v = load_le(in_.data() + at_, width);
    at_ += width;
    return v;
  }
  std::expected<double, QuarnelError> f64() {
    QUARNEL_TRY_ASSIGN(v, fixed(8));
    return std::bit_cast<double>(v);
  }
  std::expected<std::span<const std::uint8_t>, QuarnelError> take(std::uint64_t n) {
    QUARNEL_CHECK(n <= left(), damaged("trailer record cut short"));
    const auto s = in_.subspan(at_, static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return s;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
};

}  // namespace QUARNEL_ABI
}  // namespace quarnel
