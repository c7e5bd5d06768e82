// Internal: byte order and varints, for every format the codec writes. All
// integers are little-endian, and an unsigned LEB128 varint carries seven
// bits per byte, lowest first, the top bit set on every byte but the last.
// Written byte by byte, so the result does not depend on the machine's order;
// optimising compilers merge the bytes into one access. Reading a varint is
// left to each format: the coder's and the trailer's refuse a tenth byte
// differently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarnel {
inline namespace QUARNEL_ABI {

constexpr std::uint16_t load_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

constexpr std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{load_le16(p)} | std::uint32_t{load_le16(p + 2)} << 16;
}

constexpr std::uint64_t load_le64(const std::uint8_t* p) {
  return std::uint64_t{load_le32(p)} | std::uint64_t{load_le32(p + 4)} << 32;
}

// The low `width` bytes (at most 8) of a value, for fields whose width a
// record states.
constexpr std::uint64_t load_le(const std::uint8_t* p, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

constexpr void store_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void store_le32(std::uint8_t* p, std::uint32_t v) {
  store_le16(p, static_cast<std::uint16_t>(v));
  store_le16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

constexpr void store_le64(std::uint8_t* p, std::uint64_t v) {
  store_le32(p, static_cast<std::uint32_t>(v));
  store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr void store_le(std::uint8_t* p, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A 64-bit value takes at most ten bytes.
inline constexpr std::size_t kMaxLeb128Size = 10;

constexpr std::size_t leb128_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

// Writes `v` at `out`; returns the end of what it wrote.
constexpr std::uint8_t* store_leb128(std::uint8_t* out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) *out++ = static_cast<std::uint8_t>(v | 0x80);
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
