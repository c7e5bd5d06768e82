#include "quarnel/error.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    std::uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      const std::uint32_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
      if (b < min || b > max) return false;
    }
    i += extra + 1;
  }
  return true;
}

// A byte payload shows as the text it spells, or one '?' per byte when it is
// not valid UTF-8.
std::string render_bytes(const std::string& bytes) {
  return is_valid_utf8(bytes) ? bytes : std::string(bytes.size(), '?');
}

// Every byte that is not printable ASCII as an escape, the backslash too, so
// that the text reads back to the same bytes.
std::string escape_bytes(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          out += c;
        } else {
          constexpr char kHex[] = "0123456789abcdef";
          out += "\\x";
          out += kHex[b >> 4];
          out += kHex[b & 0xF];
        }
    }
  }
  return out;
}

template <std::size_t N>
std::string raw(std::span<const std::uint8_t, N> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), N);
}

}  // namespace

using K = QuarnelErrorKind;

QuarnelError QuarnelError::invalid_method(std::span<const std::uint8_t, 4> tag) {
  return {K::InvalidMethod, raw(tag), 0};
}
QuarnelError QuarnelError::invalid_magic(std::span<const std::uint8_t, 4> magic) {
  return {K::InvalidMagic, raw(magic), 0};
}
QuarnelError QuarnelError::invalid_format_tag(std::span<const std::uint8_t, 2> tag) {
  return {K::InvalidFormatTag, raw(tag), 0};
}
QuarnelError QuarnelError::invalid_version(std::span<const std::uint8_t, 2> version) {
  return {K::InvalidVersion, raw(version), 0};
}
QuarnelError QuarnelError::transform_failed(std::string text) {
  return {K::TransformFailed, std::move(text), 0};
}
QuarnelError QuarnelError::encode_failed(std::string text) {
  return {K::EncodeFailed, std::move(text), 0};
}
QuarnelError QuarnelError::out_of_memory(std::uint64_t size) {
  return {K::OutOfMemory, {}, size};
}
QuarnelError QuarnelError::invalid_header() {
  return {K::InvalidHeader, {}, 0};
}
QuarnelError QuarnelError::unsupported_configuration(std::string text) {
  return {K::UnsupportedConfiguration, std::move(text), 0};
}
QuarnelError QuarnelError::decompression_failed(std::string text) {
  return {K::DecompressionFailed, std::move(text), 0};
}
QuarnelError QuarnelError::unsupported_scale(std::uint8_t scale) {
  return {K::UnsupportedScale, {}, scale};
}
QuarnelError QuarnelError::unknown_coder(std::uint8_t coder) {
  return {K::UnknownCoder, {}, coder};
}
QuarnelError QuarnelError::bound_unreachable(std::string text) {
  return {K::BoundUnreachable, std::move(text), 0};
}
QuarnelError QuarnelError::stream_damaged(std::string text) {
  return {K::StreamDamaged, std::move(text), 0};
}

std::string QuarnelError::message() const {
  return render(render_bytes);
}

std::string QuarnelError::printable_message() const {
  return render(escape_bytes);
}

std::string QuarnelError::render(std::string (*bytes)(const std::string&)) const {
  switch (kind_) {
    case K::InvalidMethod:
    case K::InvalidFormatTag:
      return "Invalid compression method '" + bytes(payload_) + "'";
    case K::InvalidMagic:
      return "Magic should be 'QRNL' but it was '" + bytes(payload_) + "'";
    case K::InvalidVersion:
      return "Invalid header version '" + bytes(payload_) + "'";
    case K::TransformFailed:
    case K::EncodeFailed:
      return payload_;
    case K::OutOfMemory:
      return "Out of memory, can't allocate additional " + std::to_string(number_);
    case K::InvalidHeader:
      return "Header is invalid";
    case K::UnsupportedConfiguration:
      return "Unsupported compression configuration '" + payload_ + "'";
    case K::DecompressionFailed:
      return "Can't decompress data, reason: " + payload_;
    case K::UnsupportedScale:
      return "Only scaled 6..12 is supported, but it was " + std::to_string(number_);
    case K::UnknownCoder:
      return "Unknown entropy coder " + std::to_string(number_);
    case K::BoundUnreachable:
      return "Can't meet " + payload_;
    case K::StreamDamaged:
      return "stream damaged: " + payload_;
  }
  return "Unknown error";
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
