// Internal: the rANS encoder's passes over a plane and the container it writes,
// for the entry points in arans.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// The words a plane's encoder emits, in emission order (the reverse of reading order).
// Grown geometrically; a byte emits at most eight words, so room is checked per byte.
class WordBuffer {
 public:
  explicit WordBuffer(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<std::uint16_t[]>(capacity)),
        end_(data_.get() + capacity),
        next_(data_.get()) {}

  // Whether the write position `next` lacks room for the words of one more byte.
  bool lacks_room(const std::uint16_t* next) const { return end_ - next < 8; }

  // Doubles the buffer; returns the write position `next` moved along.
  std::uint16_t* grow(std::uint16_t* next) {
    const auto used = static_cast<std::size_t>(next - data_.get());
    const std::size_t capacity = 2 * static_cast<std::size_t>(end_ - data_.get()) + 8;
    auto bigger = std::make_unique_for_overwrite<std::uint16_t[]>(capacity);
    std::memcpy(bigger.get(), data_.get(), 2 * used);
    data_ = std::move(bigger);
    end_ = data_.get() + capacity;
    return data_.get() + used;
  }

  std::uint16_t* next() const { return next_; }
  void set_next(std::uint16_t* next) { next_ = next; }
  const std::uint16_t* begin() const { return data_.get(); }

 private:
  std::unique_ptr<std::uint16_t[]> data_;
  std::uint16_t* end_;
  std::uint16_t* next_;
};

// A plane's coding: its final state and its words.
struct CodedPlane {
  std::uint32_t state = 0;
  WordBuffer words;
};

// Codes the `count` >= 1 bytes src[0], src[stride], ... of a plane on its own: the forward
// pass, then the backward pass with one lane. `capacity` is the word buffer's first size.
CodedPlane code_plane(const std::uint8_t* src, std::size_t stride, std::size_t count,
                      unsigned context_bits, std::size_t capacity);

// Codes the two planes of the `pair_count` >= 1 byte pairs at `src` on this thread: two
// forward passes, then one backward pass with two lanes.
std::pair<CodedPlane, CodedPlane> code_plane_pair(const std::uint8_t* src, std::size_t pair_count,
                                                  unsigned context_bits);

// Initial word buffer sizes: about what Laplacian coefficients need, low bytes and high.
inline std::size_t plane0_capacity(std::size_t pair_count) {
  return pair_count / 2 + 64;
}
inline std::size_t plane1_capacity(std::size_t pair_count) {
  return pair_count / 4 + 64;
}

inline std::size_t coded_plane_size(const WordBuffer& words) {
  return 4 + 2 * static_cast<std::size_t>(words.next() - words.begin());
}

// Writes a coded plane: the final state, then the words in the order the decoder reads
// them, which is the reverse of the order they were emitted in. Returns the end.
std::uint8_t* put_coded_plane(std::uint8_t* out, std::uint32_t state, const WordBuffer& words);

// The container around two coded planes.
std::vector<std::uint8_t> put_body(std::span<const std::uint8_t> input, unsigned context_bits,
                                   const CodedPlane& plane0, const CodedPlane& plane1);

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel
