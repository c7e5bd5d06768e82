// The 52-byte stream header and the method table it refers to.
//
// A stream is the header followed by payload_length bytes of entropy-coded
// coefficients. Every integer is little-endian; the three floats are IEEE 754
// binary32, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "quarnel/error.h"
#include "quarnel/quarnel.h"

namespace quarnel {

inline constexpr std::size_t kHeaderSize = 52;

// The largest sample count a stream can describe: the largest 32-bit signed
// integer.
inline constexpr std::uint64_t kMaxSampleCount = 2147483647;

// The four ASCII bytes of a method tag read as a little-endian 32-bit value.
inline constexpr std::uint32_t kTagCdf53 = 0x33356663;  // "cf53"
inline constexpr std::uint32_t kTagCdf97 = 0x37396663;  // "cf97"
inline constexpr std::uint32_t kTagDb4 = 0x34306264;    // "db04"
inline constexpr std::uint32_t kTagSym4 = 0x346D7973;   // "sym4"

std::uint32_t method_tag(WaveletMethod method);
// The method a tag names, or nothing for an unknown tag.
std::optional<WaveletMethod> method_from_tag(std::uint32_t tag);
// Length of the method's analysis filter; signals shorter than this are
// extended to exactly this length before the transform.
std::size_t filter_length(WaveletMethod method);

// Coder byte of the header.
inline constexpr std::uint8_t kCoderDeflate = 0;
inline constexpr std::uint8_t kCoderArans = 1;

struct QuarnelHeader {
  std::array<std::uint8_t, 4> magic = {'Q', 'R', 'N', 'L'};
  std::array<std::uint8_t, 2> version = {1, 1};
  std::uint16_t format_tag = 0x3366;  // bytes 'f', '3'
  std::uint32_t method_tag = 0;
  std::uint8_t levels = 0;
  std::uint8_t scale = 0;
  std::uint8_t coder = 0;
  std::uint8_t reserved_byte = 0;
  std::uint32_t sample_count = 0;
  float min_value = 0.0f;
  float max_value = 0.0f;
  float mean_value = 0.0f;
  std::uint32_t payload_length = 0;
  std::array<std::uint8_t, 16> reserved_tail = {};

  // Reads the first 52 bytes of a stream; never looks further. Checks, in this
  // order: length, magic, version byte 4, format tag, method tag, scale,
  // coder, then the three floats (finite). The first failure is returned.
  static std::expected<QuarnelHeader, QuarnelError> from_bytes(std::span<const std::uint8_t> bytes);

  // Writes every field at its offset.
  void write_to(std::span<std::uint8_t, kHeaderSize> out) const;
  std::array<std::uint8_t, kHeaderSize> to_bytes() const;

  friend bool operator==(const QuarnelHeader&, const QuarnelHeader&) = default;
};

}  // namespace quarnel
