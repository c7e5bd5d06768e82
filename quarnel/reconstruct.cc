#include "quarnel/reconstruct.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "quarnel/stream_check.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// Undoes the compressor's normalisation: (x + mean) * range + min, with the
// multiplication and the addition of min one fused multiply-add. Where the
// processor may lack FMA instructions a second copy of the loop is built for
// those that have them, so std::fma becomes one vector instruction instead of
// a library call; both copies round exactly alike, as fma is defined to.
// (Not under ThreadSanitizer: the loader runs the copy's resolver before the
// sanitizer's runtime is set up, and the instrumented resolver crashes.) The
// clones stay in this file: their resolver of a function with external
// linkage would be exported whatever the library's visibility.
namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void denormalise_cloned(std::span<float> samples, float min_value, float max_value,
                        float mean_value) {
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

}  // namespace

void denormalise(std::span<float> samples, float min_value, float max_value, float mean_value) {
  denormalise_cloned(samples, min_value, max_value, mean_value);
}

namespace {

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

// The bands of a coefficient byte string in payload order, the coarsest
// approximation, then the details from the finest level up, each dequantised
// as the transform pulls it, so that no band is ever held as floats in full.
// `bands` points into `sources`, whose elements stay where they are when the
// whole is moved.
struct PulledBands {
  std::vector<DequantisedBand> sources;
  lumvet::MultiDwtSource bands;
};

std::expected<PulledBands, QuarnelError> pulled_bands(
    const QuarnelHeader& header, const BandLayout& layout,
    std::span<const std::uint8_t> coefficient_bytes) {
  // A final odd byte plays no part; coefficients past the last band are
  // ignored, but too few cannot fill the bands.
  const std::uint64_t needed = layout.coefficient_count();
  const std::uint64_t available = coefficient_bytes.size() / 2;
  QUARNEL_CHECK(available >= needed,
                QuarnelError::decompression_failed("Payload holds " + std::to_string(available) +
                                                   " coefficients, but the bands need " +
                                                   std::to_string(needed)));

  const float factor = std::bit_cast<float>(static_cast<std::uint32_t>(127 - header.scale) << 23);
  PulledBands out;
  out.sources.reserve(layout.levels.size() + 1);  // the band sources point into it
  const auto band_at = [&](std::size_t offset, std::size_t length) {
    out.sources.push_back({coefficient_bytes.data() + 2 * offset, factor});
    return lumvet::BandSource{{&DequantisedBand::fill, &out.sources.back()}, length};
  };
  const std::size_t approximation_length = layout.approximation_length();
  out.bands.approximation = band_at(0, approximation_length);
  std::size_t offset = approximation_length;
  for (const auto& level : layout.levels) {
    out.bands.details.push_back(band_at(offset, level.details_length));
    offset += level.details_length;
  }
  return out;
}

// The reconstruction's first samples denormalised into the signal, the rest
// of `samples` zero: a reconstruction may be longer than the signal (the
// convolution wavelets) or, for a signal shorter than the filter, cut short.
void finish(const QuarnelHeader& header, std::span<const float> reconstruction,
            std::span<float> samples) {
  const std::size_t kept = std::min(reconstruction.size(), samples.size());
  if (reconstruction.data() != samples.data()) {
    std::copy_n(reconstruction.data(), kept, samples.data());
  }
  denormalise(samples.first(kept), header.min_value, header.max_value, header.mean_value);
  std::fill(samples.begin() + static_cast<std::ptrdiff_t>(kept), samples.end(), 0.0f);
}

QuarnelError transform_failed(const lumvet::LumvetError& error) {
  return QuarnelError::transform_failed(error.message());
}

}  // namespace

std::expected<std::vector<float>, QuarnelError> reconstruct(
    const QuarnelHeader& header, const lumvet::DwtExecutor& executor, const BandLayout& layout,
    std::span<const std::uint8_t> coefficient_bytes) {
  const auto pulled = pulled_bands(header, layout, coefficient_bytes);
  if (!pulled) return std::unexpected(pulled.error());
  auto reconstruction = executor.multi_idwt_from(pulled->bands);
  if (!reconstruction) return std::unexpected(transform_failed(reconstruction.error()));

  std::vector<float> samples = std::move(*reconstruction);
  const std::size_t kept = std::min<std::size_t>(samples.size(), header.sample_count);
  denormalise(std::span<float>(samples.data(), kept), header.min_value, header.max_value,
              header.mean_value);
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

std::expected<void, QuarnelError> reconstruct_into(
    const QuarnelHeader& header, const lumvet::DwtExecutor& executor, const BandLayout& layout,
    std::span<const std::uint8_t> coefficient_bytes,
    const std::function<std::span<float>(std::size_t)>& place) {
  const auto pulled = pulled_bands(header, layout, coefficient_bytes);
  if (!pulled) return std::unexpected(pulled.error());
  const std::span<float> samples = place(header.sample_count);
  if (executor.multi_idwt_length(pulled->bands) == samples.size()) {
    if (auto status = executor.multi_idwt_from_into(pulled->bands, samples); !status) {
      return std::unexpected(transform_failed(status.error()));
    }
    finish(header, samples, samples);
    return {};
  }
  const auto reconstruction = executor.multi_idwt_from(pulled->bands);
  if (!reconstruction) return std::unexpected(transform_failed(reconstruction.error()));
  finish(header, *reconstruction, samples);
  return {};
}

std::expected<void, QuarnelError> inverse_transform_to(const lumvet::DwtExecutor& executor,
                                                       const lumvet::MultiDwtSource& bands,
                                                       std::span<float> work,
                                                       const lumvet::SampleSink& output) {
  if (auto status = executor.multi_idwt_from_to(bands, work, output); !status) {
    return std::unexpected(transform_failed(status.error()));
  }
  return {};
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
