// The decompression pipeline: decompress(), declared in quarnel/quarnel.h,
// and the header checks it starts with.
#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/decompressor.h"
#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/quarnel.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/stream_check.h"

namespace quarnel {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

QuarnelError failed(std::string reason) {
  return QuarnelError::decompression_failed(std::move(reason));
}

// Undoes the compressor's normalisation: (x + mean) * range + min, with the
// multiplication and the addition of min one fused multiply-add. Where the
// processor may lack FMA instructions a second copy of the loop is built for
// those that have them, so std::fma becomes one vector instruction instead of
// a library call; both copies round exactly alike, as fma is defined to.
// (Not under ThreadSanitizer: the loader runs the copy's resolver before the
// sanitizer's runtime is set up, and the instrumented resolver crashes.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void denormalise(std::span<float> samples, float min_value, float max_value, float mean_value) {
  const float range = max_value - min_value;
  // A plain pointer loop: clang emits no out-of-line copy of the span's
  // iterator for the cloned function, and the link then fails.
  float* const x = samples.data();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const float t = x[i] + mean_value;
    const float y = std::fma(t, range, min_value);
    // Near the float32 limit quantisation can push t a little past [0, 1],
    // and y overflows although every sample it stands for was finite: give
    // it the nearest value the signal held instead. Finite results pass
    // unchanged.
    x[i] = std::isfinite(y) ? y : (t > 0.0f ? max_value : min_value);
  }
}

// A band of the coefficient byte string, dequantised as it is pulled: each
// signed 16-bit little-endian integer q becomes the float q * 2^-scale.
struct DequantisedBand {
  const std::uint8_t* bytes;
  float factor;

  static void fill(void* context, std::size_t from, std::size_t count, float* out) {
    const auto& self = *static_cast<const DequantisedBand*>(context);
    const std::uint8_t* p = self.bytes + 2 * from;
    for (std::size_t i = 0; i < count; ++i) {
      const auto q = static_cast<std::int16_t>(p[2 * i] | (p[2 * i + 1] << 8));
      out[i] = static_cast<float>(q) * self.factor;
    }
  }
};

}  // namespace

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream) {
  return decompress(stream, 1);
}

std::expected<QuarnelHeader, QuarnelError> read_stream_header(
    std::span<const std::uint8_t> stream) {
  const auto parsed = QuarnelHeader::from_bytes(stream);
  if (!parsed) return Unexpected(parsed.error());
  const QuarnelHeader& header = *parsed;

  QUARNEL_CHECK(header.sample_count <= kMaxSampleCount,
                failed("Can't decompress data bigger than " + std::to_string(kMaxSampleCount) +
                       ", but data was " + std::to_string(header.sample_count)));
  QUARNEL_CHECK(header.levels <= 10,
                failed("Max supported level is 10 but it was " + std::to_string(header.levels)));
  QUARNEL_CHECK(header.levels != 0,
                failed("Min supported level is 1 but it was " + std::to_string(header.levels)));

  const std::uint64_t stream_end = kHeaderSize + static_cast<std::uint64_t>(header.payload_length);
  QUARNEL_CHECK(stream.size() >= stream_end,
                failed("Minimum data size is " + std::to_string(stream_end) + ", but it was " +
                       std::to_string(stream.size())));
  return header;
}

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream,
                                                           unsigned threads) {
  const auto checked = read_stream_header(stream);
  if (!checked) return Unexpected(checked.error());
  const QuarnelHeader& header = *checked;

  // from_bytes accepts only the four known tags.
  const lumvet::DwtExecutorHandle executor = make_executor(*method_from_tag(header.method_tag));
  const BandLayout layout = band_layout(*executor, header.sample_count, header.levels);

  const auto payload = stream.subspan(kHeaderSize, header.payload_length);

  // Nothing sized by the header is allocated before the payload has shown it
  // holds that many coefficients.
  const std::uint64_t needed = layout.coefficient_count();
  InflatedBytes inflated;
  std::vector<std::uint8_t> decoded_arans;
  std::span<const std::uint8_t> decoded;
  if (header.coder == kCoderDeflate) {
    auto result = inflate_payload(payload, 2 * needed);
    if (!result) return Unexpected(result.error());
    inflated = std::move(*result);
    decoded = inflated.bytes();
  } else {
    auto result = decode_stream(payload, 2 * needed, threads);
    if (!result) return Unexpected(failed(std::string(message(result.error()))));
    decoded_arans = std::move(*result);
    decoded = decoded_arans;
  }

  // A final odd byte plays no part; coefficients past the last band are
  // ignored, but too few cannot fill the bands.
  const std::uint64_t available = decoded.size() / 2;
  QUARNEL_CHECK(available >= needed,
                failed("Payload holds " + std::to_string(available) +
                       " coefficients, but the bands need " + std::to_string(needed)));

  // Bands in payload order: the coarsest approximation, then the details
  // from the finest level up. Each is dequantised as the transform pulls it,
  // so no band is ever held as floats in full.
  const float factor = std::bit_cast<float>(static_cast<std::uint32_t>(127 - header.scale) << 23);
  std::vector<DequantisedBand> sources;
  sources.reserve(layout.levels.size() + 1);  // the band sources point into it
  lumvet::MultiDwtSource bands;
  const auto band_at = [&](std::size_t offset, std::size_t length) {
    sources.push_back({decoded.data() + 2 * offset, factor});
    return lumvet::BandSource{{&DequantisedBand::fill, &sources.back()}, length};
  };
  const std::size_t approximation_length = layout.approximation_length();
  bands.approximation = band_at(0, approximation_length);
  std::size_t offset = approximation_length;
  for (const auto& level : layout.levels) {
    bands.details.push_back(band_at(offset, level.details_length));
    offset += level.details_length;
  }
  auto reconstruction = executor->multi_idwt_from(bands);
  if (!reconstruction) {
    return Unexpected(QuarnelError::transform_failed(reconstruction.error().message()));
  }
  inflated = {};
  std::vector<std::uint8_t>().swap(decoded_arans);

  std::vector<float> samples = std::move(*reconstruction);
  const std::size_t kept = std::min<std::size_t>(samples.size(), header.sample_count);
  denormalise(std::span<float>(samples.data(), kept), header.min_value, header.max_value,
              header.mean_value);
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

}  // namespace quarnel
