// What each fuzz target demands of the code it drives, shared by the libFuzzer
// binaries and by the GoogleTest that replays the stored corpora in the normal
// test run.
//
// A check takes one input and returns an empty string when the code behaved
// as it must, or a description of what went wrong. Crashes, leaks, undefined
// behaviour and out-of-bounds reads are left to the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quarnel::fuzz {

using Check = std::string (*)(std::span<const std::uint8_t> input);

// decompress() on arbitrary bytes: a value of exactly sample_count samples or
// an error; never a crash, never an exception. read_header() refuses only
// what decompress() refuses, with the same error.
std::string check_decompress(std::span<const std::uint8_t> input);

// decode_stream() on an arbitrary body: an error, or bytes whose length the
// body's container fields fix and which the encoder codes back to the same
// bytes.
std::string check_decode_stream(std::span<const std::uint8_t> input);

// QuarnelHeader::from_bytes() on arbitrary bytes: an accepted header keeps
// every one of its 52 bytes; a short input is "Header is invalid".
std::string check_header(std::span<const std::uint8_t> input);

// compress() then decompress(): the first four bytes choose the options
// (method, scale, cut-off, coder, each taken modulo its range), the rest are
// float32 samples as stored in memory. Either compress() refuses the signal
// as an unsupported configuration, or the stream comes back with the input's
// length and every sample within the error bound of the quantisation step.
std::string check_roundtrip(std::span<const std::uint8_t> input);

// The rANS coder on one thread and on two: the input, grown to at least the
// size from which the planes are coded side by side, encodes to the same body
// with either count and decodes back on both; the input taken as a body
// decodes to the same bytes, or fails with the same error, on both.
std::string check_threads(std::span<const std::uint8_t> input);

// compress_bounded() then decompress(): the first four bytes choose the
// target (kind and whether the samples go in as float64, pinned method or
// none, coder, and its size), the rest are float32 samples. Either the target
// is refused as unreachable (or the signal as compress() refuses it), or the
// stream decodes with decompress() to samples that meet the target over the
// finite input samples, and the figures the encoder reports are those of the
// decoded samples.
std::string check_bounded(std::span<const std::uint8_t> input);

// inflate_payload() on a forged raw DEFLATE payload (after two bytes that
// choose how much output is kept): the same outcome as zlib's inflate driven
// plainly to the end of the stream or of the payload, that is the same bytes
// up to the kept length, or the same message. The payload itself, deflated
// by the coder's compressor, inflates back unchanged.
std::string check_inflate(std::span<const std::uint8_t> input);

// read_trailer() and decompress_with_trailer() on a stream whose trailer is
// forged: when the first byte is odd the last four bytes are first set to the
// checksum the rest calls for, so that the records themselves are explored.
// A trailer that reads back writes again to one that reads back the same,
// its mask lies within the signal, and the samples it restores are its own.
std::string check_trailer(std::span<const std::uint8_t> input);

struct Target {
  const char* name;  // also the corpus directory fuzz/corpus/<name>
  Check check;
};

inline constexpr Target kTargets[] = {
    {"decompress", check_decompress}, {"decode_stream", check_decode_stream},
    {"header", check_header},         {"roundtrip", check_roundtrip},
    {"threads", check_threads},       {"bounded", check_bounded},
    {"inflate", check_inflate},       {"trailer", check_trailer},
};

}  // namespace quarnel::fuzz
