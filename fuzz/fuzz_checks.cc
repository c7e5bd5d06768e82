#include "fuzz/fuzz_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/roundtrip_bound.h"
#include "quarnel/arans.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"

namespace quarnel::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bodies that decode to more than this are not coded back: the encoder keeps
// 64 bytes of working memory per plane byte.
constexpr std::size_t kReencodeLimit = std::size_t{1} << 20;

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

// Whether two decodings are the same bytes or the same error.
bool same_outcome(const std::expected<Bytes, AransError>& a,
                  const std::expected<Bytes, AransError>& b) {
  if (a.has_value() != b.has_value()) return false;
  return a ? *a == *b : a.error() == b.error();
}

std::string describe(const CompressionOptions& o, std::size_t n) {
  return "method " + std::to_string(static_cast<int>(o.method)) + " scale " +
         std::to_string(o.scale) + " cutoff " + std::to_string(static_cast<int>(o.cutoff)) +
         " coder " + std::to_string(static_cast<int>(o.coder)) + " n " + std::to_string(n);
}

}  // namespace

std::string check_decompress(std::span<const std::uint8_t> input) {
  const auto samples = decompress(input);
  if (!samples) {
    if (samples.error().message().empty()) return "an error with an empty message";
    return {};
  }
  const auto header = QuarnelHeader::from_bytes(input);
  if (!header) return "decompress accepted a stream whose header from_bytes refuses";
  if (samples->size() != header->sample_count) {
    return "decompress returned " + std::to_string(samples->size()) + " samples, the header says " +
           std::to_string(header->sample_count);
  }
  return {};
}

std::string check_decode_stream(std::span<const std::uint8_t> input) {
  const auto decoded = decode_stream(input);
  if (!decoded) return {};
  const std::size_t n = input.size();
  if (n < 6) {
    if (!std::equal(decoded->begin(), decoded->end(), input.begin(), input.end())) {
      return "a raw body of " + std::to_string(n) + " bytes did not come back unchanged";
    }
    return {};
  }
  std::size_t position = 2;
  const auto pair_count = rv(input, position);
  if (!pair_count) return "decode_stream accepted a body whose pair count rv refuses";
  const std::size_t odd = input[0] & 1;
  if (decoded->size() != 2 * *pair_count + odd) {
    return "decoded " + std::to_string(decoded->size()) + " bytes for a pair count of " +
           std::to_string(*pair_count);
  }
  if (odd && decoded->back() != input.back()) return "the trailing byte was not the body's last";
  if (decoded->size() <= kReencodeLimit) {
    const auto again = decode_stream(encode_stream(*decoded));
    if (!again || *again != *decoded) return "decoded bytes do not survive encode then decode";
  }
  return {};
}

std::string check_header(std::span<const std::uint8_t> input) {
  const auto header = QuarnelHeader::from_bytes(input);
  if (!header) {
    if (input.size() < kHeaderSize && header.error().kind() != QuarnelErrorKind::InvalidHeader) {
      return "a short input gave " + header.error().message();
    }
    return {};
  }
  if (input.size() < kHeaderSize) return "from_bytes accepted fewer than 52 bytes";
  const auto written = header->to_bytes();
  if (!std::equal(written.begin(), written.end(), input.begin())) {
    return "an accepted header does not write back to its own bytes";
  }
  return {};
}

std::string check_roundtrip(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {};
  CompressionOptions options;
  options.method = static_cast<WaveletMethod>(input[0] % 4);
  options.scale = static_cast<std::uint8_t>(6 + input[1] % 7);
  options.cutoff = static_cast<CutoffLevel>(input[2] % 3);
  options.coder = static_cast<CoderChoice>(input[3] % 3);
  std::vector<float> x((input.size() - 4) / sizeof(float));
  if (!x.empty()) std::memcpy(x.data(), input.data() + 4, x.size() * sizeof(float));
  const std::string what = describe(options, x.size());

  const auto stream = compress(x, options);
  if (!stream) {
    // Empty signals, ranges beyond the largest float and coefficients that do
    // not fit 16 bits at this scale are refused; nothing else may fail.
    if (stream.error().kind() != QuarnelErrorKind::UnsupportedConfiguration) {
      return what + ": compress failed with " + stream.error().message();
    }
    return {};
  }
  if (x.empty()) return what + ": an empty signal was compressed";
  const auto again = compress(x, options);
  if (!again || *again != *stream) return what + ": a second compress gave other bytes";

  const auto header = QuarnelHeader::from_bytes(*stream);
  if (!header) return what + ": the stream's header is refused: " + header.error().message();
  if (stream->size() != kHeaderSize + header->payload_length) {
    return what + ": the stream is not 52 + payload_length bytes";
  }
  const auto y = decompress(*stream);
  if (!y) return what + ": decompress failed with " + y.error().message();
  if (y->size() != x.size()) {
    return what + ": " + std::to_string(y->size()) + " samples came back";
  }

  const double bound = testing::roundtrip_bound(options, *header);
  constexpr double kLargest = std::numeric_limits<float>::max();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = testing::sanitised(x[i]);
    const double got = (*y)[i];
    if (std::isnan(got)) return what + ": sample " + std::to_string(i) + " came back NaN";
    // Near the largest float the exact result may round to infinity.
    if (std::isinf(got) && (got > 0 ? want : -want) + bound >= kLargest) continue;
    if (!(std::fabs(got - want) <= bound)) {
      return what + ": sample " + std::to_string(i) + " is " + num(got) + " for " + num(want) +
             ", off by more than " + num(bound);
    }
  }
  return {};
}

std::string check_threads(std::span<const std::uint8_t> input) {
  // Below kThreadedMinPairs both planes stay on the calling thread, so a short
  // input is repeated, each copy xor-ed with its index so the copies differ,
  // and the odd length of an odd input is kept.
  constexpr std::size_t kThreadedBytes = 2 * kThreadedMinPairs;
  Bytes grown(input.begin(), input.end());
  if (!input.empty()) {
    for (std::size_t copy = 1; grown.size() < kThreadedBytes; ++copy) {
      for (const std::uint8_t b : input) grown.push_back(static_cast<std::uint8_t>(b ^ copy));
    }
    if ((grown.size() ^ input.size()) & 1) grown.pop_back();
  }
  const Bytes body = encode_stream(grown, 1);
  if (encode_stream(grown, 2) != body) return "two threads coded a different body";
  for (const unsigned threads : {1u, 2u}) {
    const auto decoded = decode_stream(body, SIZE_MAX, threads);
    if (!decoded || *decoded != grown) {
      return "a body did not decode back on " + std::to_string(threads) + " thread(s)";
    }
  }
  // A forged body: its container may claim enough pairs for two threads.
  for (const std::size_t keep : {SIZE_MAX, input.size() / 3}) {
    if (!same_outcome(decode_stream(input, keep, 1), decode_stream(input, keep, 2))) {
      return "one and two threads decoded a body differently, keep " + std::to_string(keep);
    }
  }
  return {};
}

}  // namespace quarnel::fuzz
