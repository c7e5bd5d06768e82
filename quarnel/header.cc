#include "quarnel/header.h"

#include <bit>
#include <cstring>

#include "quarnel/bytes.h"
#include "quarnel/method.h"
#include "quarnel/stream_check.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// Exponent bits all set: infinite or NaN.
bool is_finite_bits(std::uint32_t bits) {
  return (bits & 0x7F800000u) != 0x7F800000u;
}

}  // namespace

std::expected<QuarnelHeader, QuarnelError> QuarnelHeader::from_bytes(
    std::span<const std::uint8_t> bytes) {
  QUARNEL_CHECK(bytes.size() >= kHeaderSize, QuarnelError::invalid_header());
  const std::uint8_t* p = bytes.data();

  QuarnelHeader h;
  std::memcpy(h.magic.data(), p, 4);
  QUARNEL_CHECK((h.magic == std::array<std::uint8_t, 4>{'Q', 'R', 'N', 'L'}),
                QuarnelError::invalid_magic(std::span<const std::uint8_t, 4>(p, 4)));
  h.version = {p[4], p[5]};
  QUARNEL_CHECK(p[4] == 1,
                QuarnelError::invalid_version(std::span<const std::uint8_t, 2>(p + 4, 2)));
  h.format_tag = load_le16(p + 6);
  QUARNEL_CHECK(h.format_tag == 0x3366,
                QuarnelError::invalid_format_tag(std::span<const std::uint8_t, 2>(p + 6, 2)));
  h.method_tag = load_le32(p + 8);
  QUARNEL_CHECK(method_from_tag(h.method_tag).has_value(),
                QuarnelError::invalid_method(std::span<const std::uint8_t, 4>(p + 8, 4)));
  h.levels = p[12];
  h.scale = p[13];
  QUARNEL_CHECK(h.scale >= kMinScale && h.scale <= kMaxScale,
                QuarnelError::unsupported_scale(h.scale));
  h.coder = p[14];
  QUARNEL_CHECK(h.coder == kCoderDeflate || h.coder == kCoderArans,
                QuarnelError::unknown_coder(h.coder));
  h.reserved_byte = p[15];
  h.sample_count = load_le32(p + 16);
  const std::uint32_t min_bits = load_le32(p + 20);
  const std::uint32_t max_bits = load_le32(p + 24);
  const std::uint32_t mean_bits = load_le32(p + 28);
  QUARNEL_CHECK(is_finite_bits(min_bits) && is_finite_bits(max_bits) && is_finite_bits(mean_bits),
                QuarnelError::invalid_header());
  h.min_value = std::bit_cast<float>(min_bits);
  h.max_value = std::bit_cast<float>(max_bits);
  h.mean_value = std::bit_cast<float>(mean_bits);
  h.payload_length = load_le32(p + 32);
  std::memcpy(h.reserved_tail.data(), p + 36, 16);
  return h;
}

void QuarnelHeader::write_to(std::span<std::uint8_t, kHeaderSize> out) const {
  std::uint8_t* p = out.data();
  std::memcpy(p, magic.data(), 4);
  p[4] = version[0];
  p[5] = version[1];
  store_le16(p + 6, format_tag);
  store_le32(p + 8, method_tag);
  p[12] = levels;
  p[13] = scale;
  p[14] = coder;
  p[15] = reserved_byte;
  store_le32(p + 16, sample_count);
  store_le32(p + 20, std::bit_cast<std::uint32_t>(min_value));
  store_le32(p + 24, std::bit_cast<std::uint32_t>(max_value));
  store_le32(p + 28, std::bit_cast<std::uint32_t>(mean_value));
  store_le32(p + 32, payload_length);
  std::memcpy(p + 36, reserved_tail.data(), 16);
}

std::array<std::uint8_t, kHeaderSize> QuarnelHeader::to_bytes() const {
  std::array<std::uint8_t, kHeaderSize> out;
  write_to(out);
  return out;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
