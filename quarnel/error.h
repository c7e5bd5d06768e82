// The codec's error type: fourteen variants, each rendering one fixed English
// message with its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// A kind's position is its identity: new kinds go at the end and none moves.
enum class QuarnelErrorKind : std::uint8_t {
  InvalidMethod,             // 4 bytes: method tag
  InvalidMagic,              // 4 bytes: magic
  InvalidFormatTag,          // 2 bytes: format tag
  InvalidVersion,            // 2 bytes: version
  TransformFailed,           // text
  EncodeFailed,              // text
  OutOfMemory,               // size
  InvalidHeader,             //
  UnsupportedConfiguration,  // text
  DecompressionFailed,       // text
  UnsupportedScale,          // 8-bit number
  UnknownCoder,              // 8-bit number
  BoundUnreachable,          // text
  StreamDamaged,             // text
};

class QUARNEL_API QuarnelError {
 public:
  static QuarnelError invalid_method(std::span<const std::uint8_t, 4> tag);
  static QuarnelError invalid_magic(std::span<const std::uint8_t, 4> magic);
  static QuarnelError invalid_format_tag(std::span<const std::uint8_t, 2> tag);
  static QuarnelError invalid_version(std::span<const std::uint8_t, 2> version);
  static QuarnelError transform_failed(std::string text);
  static QuarnelError encode_failed(std::string text);
  static QuarnelError out_of_memory(std::uint64_t size);
  static QuarnelError invalid_header();
  static QuarnelError unsupported_configuration(std::string text);
  static QuarnelError decompression_failed(std::string text);
  static QuarnelError unsupported_scale(std::uint8_t scale);
  static QuarnelError unknown_coder(std::uint8_t coder);
  static QuarnelError bound_unreachable(std::string text);
  static QuarnelError stream_damaged(std::string text);

  QuarnelErrorKind kind() const { return kind_; }
  // The rendered message. A byte payload shows as the text it spells, or as
  // one '?' per byte when it is not valid UTF-8.
  std::string message() const;
  // The same message with every stored byte that is not printable ASCII
  // written as an escape (\x00, \n, ...; a backslash as \\): plain ASCII
  // for interfaces whose text ends at the first NUL byte, such as C's.
  std::string printable_message() const;

  friend bool operator==(const QuarnelError&, const QuarnelError&) = default;

 private:
  QuarnelError(QuarnelErrorKind kind, std::string payload, std::uint64_t number)
      : kind_(kind), payload_(std::move(payload)), number_(number) {}

  // The message with a byte payload rendered by `bytes`.
  std::string render(std::string (*bytes)(const std::string&)) const;

  QuarnelErrorKind kind_;
  std::string payload_;  // raw bytes of a byte payload, or the text payload
  std::uint64_t number_;
};

}  // namespace QUARNEL_ABI
}  // namespace quarnel
