// Internal: the stream header: its kHeaderSize bytes (quarnel/quarnel.h) field
// by field.
//
// A stream is the header followed by payload_length bytes of entropy-coded
// coefficients. Every integer is little-endian; the three floats are IEEE 754
// binary32, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

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

  // Reads the first kHeaderSize bytes of a stream; never looks further. Checks, in this
  // order: length, magic, version byte 4, format tag, method tag, scale,
  // coder, then the three floats (finite). The first failure is returned.
  static std::expected<QuarnelHeader, QuarnelError> from_bytes(std::span<const std::uint8_t> bytes);

  // Writes every field at its offset.
  void write_to(std::span<std::uint8_t, kHeaderSize> out) const;
  std::array<std::uint8_t, kHeaderSize> to_bytes() const;

  friend bool operator==(const QuarnelHeader&, const QuarnelHeader&) = default;
};

}  // namespace QUARNEL_ABI
}  // namespace quarnel
