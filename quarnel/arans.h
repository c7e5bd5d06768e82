// Internal: adaptive binary rANS coder for byte strings.
//
// encode_stream splits its input into two byte planes (bytes at even and at odd
// positions: for 16-bit little-endian coefficients, all low bytes and all high bytes),
// codes each plane and wraps both in a small container with varint lengths; inputs of
// fewer than 6 bytes are stored raw. Each plane codes every byte as eight binary
// decisions, most significant bit first, with adaptive 12-bit probabilities selected by
// the bit's node in the byte's bit tree and by the high `context_bits` bits of the
// plane's previous byte. No model is transmitted: encoder and decoder start from the
// same flat model and adapt it identically after every bit.
//
// Every function is pure and reentrant. The encoders have no failure of their own
// (exhausted memory surfaces as std::bad_alloc); the decoders report malformed input as
// an AransError and never throw. The stream functions take an optional thread count:
// with 2 or more, a stream of at least 8192 byte pairs has its two planes coded at once,
// one of them on a thread the call starts and joins before it returns (two planes keep
// at most two threads busy; 0 and 1 mean the calling thread alone). The result, and the
// error of a malformed body, is the same for every thread count; a call that cannot start
// a thread codes both planes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

enum class AransError : std::uint8_t {
  Truncated,           // a varint, a coded plane or a renormalisation word runs past the end
  InconsistentLength,  // a length or field out of range, or an output that cannot be allocated
};

// The fixed English text of an error.
std::string_view message(AransError e);

// The container refuses plane lengths above 2^28 bytes: inputs longer than
// 2^29 + 1 bytes cannot be coded into a body that decodes.
inline constexpr std::uint64_t kMaxPairCount = std::uint64_t{1} << 28;

// From 8192 pairs (16 KiB of input) on the two planes may be coded on two threads: below,
// starting a thread costs about as much as it saves. The fuzz build lowers the bar so
// that small inputs reach the threaded code.
#ifndef QUARNEL_THREADED_MIN_PAIRS
#define QUARNEL_THREADED_MIN_PAIRS 8192
#endif
inline constexpr std::size_t kThreadedMinPairs = QUARNEL_THREADED_MIN_PAIRS;

// Codes a byte string into a self-delimiting body: empty for empty input, the input
// itself for 1 to 5 bytes, else the two-plane container.
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input);
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input, unsigned threads);

// The longest body encode_stream can give for `size` input bytes, whatever they hold.
std::uint64_t encode_stream_bound(std::uint64_t size);

// Inverse of encode_stream: decode_stream(encode_stream(s)) == s for every s. Only the
// first `keep` bytes of the result are stored; the rest is still decoded, so a body
// fails or passes alike whatever `keep` is, but costs no memory.
std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep = SIZE_MAX);
std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep, unsigned threads);

// Codes one byte plane: the final 32-bit state (little-endian) followed by the 16-bit
// renormalisation words (little-endian) in the order the decoder consumes them; empty
// for an empty plane. `context_bits` must be 0..8 (larger values are taken as 8).
std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits);

// Decodes `count` bytes of a plane coded with the same `context_bits`. Bytes after the
// last word consumed are ignored. A count of 0 gives an empty plane without reading
// anything; otherwise `context_bits` above 8 gives InconsistentLength.
std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t count, unsigned context_bits);

// Reads one unsigned LEB128 value at `position` and leaves `position` just past the last
// byte read, on success and on failure alike. At most ten bytes: the tenth supplies bit
// 63 only and must not have its continuation bit set.
std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> bytes,
                                            std::size_t& position);

}  // namespace QUARNEL_ABI
}  // namespace quarnel
