#include "fuzz/fuzz_checks.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/roundtrip_bound.h"
#include "quarnel/arans.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"

#include <libdeflate.h>
#include <zlib.h>

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

// zlib's raw inflate run to the end of the stream or of the payload: the
// bytes, or the reason it stopped short.
std::expected<Bytes, std::string> inflate_plainly(std::span<const std::uint8_t> payload) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return std::unexpected("out of memory");
  zs.next_in = const_cast<Bytef*>(payload.data());
  zs.avail_in = static_cast<uInt>(payload.size());
  Bytes out;
  std::uint8_t window[4096];
  std::expected<Bytes, std::string> result;
  for (;;) {
    zs.next_out = window;
    zs.avail_out = sizeof window;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = sizeof window - zs.avail_out;
    out.insert(out.end(), window, window + produced);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_MEM_ERROR) {
      result = std::unexpected("out of memory");
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      result = std::unexpected("corrupt deflate stream");
      break;
    }
    if (zs.avail_in == 0 && zs.avail_out > 0) break;
    if (rc == Z_BUF_ERROR && produced == 0) break;
  }
  inflateEnd(&zs);
  if (result) result = std::move(out);
  return result;
}

std::string describe(const CompressionOptions& o, std::size_t n) {
  return "method " + std::to_string(static_cast<int>(o.method)) + " scale " +
         std::to_string(o.scale) + " cutoff " + std::to_string(static_cast<int>(o.cutoff)) +
         " coder " + std::to_string(static_cast<int>(o.coder)) + " n " + std::to_string(n);
}

}  // namespace

std::string check_decompress(std::span<const std::uint8_t> input) {
  const auto samples = decompress(input);
  const auto header = read_header(input);
  if (!header && (samples || samples.error() != header.error())) {
    return "read_header refused the header with an error decompress does not give";
  }
  if (!samples) {
    if (samples.error().message().empty()) return "an error with an empty message";
    return {};
  }
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

std::string check_bounded(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {};
  BoundedOptions options;
  options.target = static_cast<ErrorTarget>(input[0] % 3);
  if (input[1] % 5 < 4) options.method = static_cast<WaveletMethod>(input[1] % 5);
  options.coder = static_cast<CoderChoice>(input[2] % 3);
  // Errors from the whole range down to 2^-15 of it, PSNRs from 10 to 105 dB.
  const double fraction = std::ldexp(1.0, -(input[3] % 16));
  std::vector<float> x((input.size() - 4) / sizeof(float));
  if (!x.empty()) std::memcpy(x.data(), input.data() + 4, x.size() * sizeof(float));
  // input[0] / 3 odd hands the samples over as float64 values a fraction of
  // a float32 step off (under a quarter, so they round back), against which
  // everything is then measured.
  const bool wide = input[0] / 3 % 2 == 1;
  // input[0] / 6 odd stores the stream with its trailer, whose corrections
  // the bound then counts on.
  const bool stored = input[0] / 6 % 2 == 1;
  std::vector<double> exact(x.begin(), x.end());
  if (wide) {
    for (std::size_t i = 0; i < exact.size(); ++i) {
      exact[i] += std::ldexp(exact[i], -26) * static_cast<double>(static_cast<int>(i % 3) - 1);
    }
  }

  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  std::size_t finite = 0;
  for (const double v : exact) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    ++finite;
  }
  const double range = finite ? hi - lo : 0.0;
  double max_error = std::numeric_limits<double>::infinity();
  double min_psnr = -max_error;
  switch (options.target) {
    case ErrorTarget::max_error:
      options.value = max_error = fraction * (range > 0.0 ? range : 1.0);
      break;
    case ErrorTarget::relative_error:
      options.value = fraction;
      max_error = fraction * range;
      break;
    case ErrorTarget::psnr:
      options.value = min_psnr = 10.0 + 5.0 * (input[3] % 20);
      break;
  }
  const std::string what =
      "target " + std::to_string(input[0] % 3) + " value " + num(options.value) + " method " +
      std::to_string(input[1] % 5) + " coder " + std::to_string(input[2] % 3) + " n " +
      std::to_string(x.size()) + (wide ? " float64" : "") + (stored ? " stored" : "");

  const auto result =
      stored ? (wide ? compress_bounded_stored(exact, options, {}, 1)
                     : compress_bounded_stored(x, options, {}, 1))
             : (wide ? compress_bounded(exact, options, 1) : compress_bounded(x, options));
  if (!result) {
    const QuarnelErrorKind kind = result.error().kind();
    if (kind == QuarnelErrorKind::BoundUnreachable ||
        kind == QuarnelErrorKind::UnsupportedConfiguration) {
      return {};
    }
    return what + ": compress_bounded failed with " + result.error().message();
  }
  if (options.method && result->method != *options.method) return what + ": the method moved";
  auto decoded = decompress_with_trailer(result->stream, 1);
  if (!decoded) return what + ": decompress failed with " + decoded.error().message();
  const std::vector<float>* y = &decoded->samples;
  if (y->size() != x.size()) return what + ": " + std::to_string(y->size()) + " samples came back";

  double worst = 0.0, sum = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(exact[i])) continue;
    const double e = std::fabs(double{(*y)[i]} - exact[i]);
    if (!(e <= max_error)) {
      return what + ": sample " + std::to_string(i) + " is " + num((*y)[i]) + " for " +
             num(exact[i]);
    }
    worst = std::max(worst, e);
    sum += e * e;
  }
  if (worst != result->max_error) {
    return what + ": reported max error " + num(result->max_error) + ", decoded " + num(worst);
  }
  if (options.target == ErrorTarget::psnr && finite > 0 && sum > 0.0) {
    const double psnr = 20.0 * std::log10(range / std::sqrt(sum / static_cast<double>(finite)));
    if (!(psnr >= min_psnr)) return what + ": decoded PSNR " + num(psnr);
  }
  return {};
}

std::string check_inflate(std::span<const std::uint8_t> input) {
  if (input.size() < 2) return {};
  // 0xFFFF keeps everything; otherwise up to 64 KiB, in steps of one byte.
  const std::size_t keep_field = input[0] | std::size_t{input[1]} << 8;
  const std::uint64_t keep = keep_field == 0xFFFF ? UINT64_MAX : keep_field;
  const auto payload = input.subspan(2);

  const auto got = inflate_payload(payload, keep);
  const auto want = inflate_plainly(payload);
  if (got.has_value() != want.has_value()) {
    return got ? "inflated a payload zlib refuses: " + want.error()
               : "refused a payload zlib inflates: " + got.error().message();
  }
  if (!got) {
    const std::string message = QuarnelError::decompression_failed(want.error()).message();
    if (got.error().message() != message) return "message " + got.error().message();
  } else {
    const std::size_t kept = std::min<std::uint64_t>(keep, want->size());
    if (got->size != kept || !std::equal(want->begin(), want->begin() + kept, got->data.get())) {
      return "kept " + std::to_string(got->size) + " bytes, not zlib's first " +
             std::to_string(kept);
    }
  }

  Bytes deflated;
  if (!deflate_append(payload, deflated)) return "deflate_append failed";
  const auto back = inflate_payload(deflated, UINT64_MAX);
  if (!back || !std::equal(payload.begin(), payload.end(), back->data.get(),
                           back->data.get() + back->size)) {
    return "a deflated payload did not inflate back";
  }
  return {};
}

std::string check_trailer(std::span<const std::uint8_t> input) {
  if (input.empty()) return {};
  Bytes stream(input.begin() + 1, input.end());
  if ((input[0] & 1) && stream.size() >= 4) {
    const std::size_t at = stream.size() - 4;
    const std::uint32_t crc = libdeflate_crc32(0, stream.data(), at);
    for (std::size_t i = 0; i < 4; ++i) stream[at + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  const auto trailer = read_trailer(stream);
  if (!trailer) return {};
  if (!*trailer) return {};  // a bare stream
  const auto header = QuarnelHeader::from_bytes(stream);
  Bytes bare(stream.begin(), stream.begin() + kHeaderSize + header->payload_length);
  if (!append_trailer(bare, **trailer)) return "a trailer that reads back does not write again";
  const auto again = read_trailer(bare);
  if (!again || !*again || **again != **trailer) return "a rewritten trailer reads back otherwise";
  if (header->sample_count > (1u << 16)) return {};  // decoding is the other targets' job
  const auto decoded = decompress_with_trailer(stream, 1);
  if (!decoded) return {};
  for (const MaskRun& r : (*trailer)->mask) {
    for (std::uint64_t i = r.start; i < r.start + r.length; ++i) {
      const std::uint64_t bits = (*trailer)->values[r.value];
      float want = (*trailer)->value_width == 4
                       ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                       : static_cast<float>(std::bit_cast<double>(bits));
      if (std::bit_cast<std::uint32_t>(decoded->samples[i]) != std::bit_cast<std::uint32_t>(want) &&
          !(std::isnan(want) && std::isnan(decoded->samples[i]))) {
        return "sample " + std::to_string(i) + " does not hold its masked value";
      }
    }
  }
  return {};
}

}  // namespace quarnel::fuzz
