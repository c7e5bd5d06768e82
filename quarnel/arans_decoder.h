// Internal: the rANS decoder of one or two planes, for the entry points in arans.cc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// A plane's decoder between calls of decode_planes: the state x, the probability P of the
// next bit (the current byte's node 1, between bytes), the table row of the current byte's
// context, the table, and the coded bytes still to read.
struct PlaneDecoder {
  std::uint32_t x;
  std::uint32_t p;
  std::uint16_t* row;
  std::uint16_t* table;
  const std::uint8_t* next;  // the next renormalisation word
  const std::uint8_t* end;   // the end of the plane's coded bytes
};

// Starts decoding a plane: reads its initial state.
std::expected<PlaneDecoder, AransError> start_plane(std::span<const std::uint8_t> coded);

// Decodes `count` bytes of each of N planes (1 or 2; started, their `coded_bytes` in all)
// into out[N * i + j], of which the first `stored` (at most `count`) are kept, and leaves
// `tail` extra bytes at the end of a result that keeps every byte. With `threaded`
// (N = 2), plane 0 is decoded on a second thread when one can be had.
template <std::size_t N>
std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved(
    std::array<PlaneDecoder, N>& planes, std::size_t coded_bytes, std::size_t count,
    std::size_t stored, unsigned context_bits, std::size_t tail, bool threaded);

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel
