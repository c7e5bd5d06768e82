#include "quarnel/compressor.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <utility>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

// Range below which a signal counts as flat: the float32 nearest 1e-5.
constexpr float kFlatRange = 1e-5f;
static_assert(std::bit_cast<std::uint32_t>(kFlatRange) == 0x3727C5ACu);

// NaN becomes 0, +inf 1 and -inf 0.
inline float sanitised(float x) {
  return std::isfinite(x) ? x : (x == std::numeric_limits<float>::infinity() ? 1.0f : 0.0f);
}

// The smallest and largest sanitised sample. Ties keep the first value seen,
// so the sign of a zero extreme is that of its first occurrence.
//
// Eight running extremes rather than one, so that no comparison waits on the
// one before. Their order cannot change an extreme's value, only which of
// two equal values is kept, and equal values differ only as zeros: a zero
// extreme is looked up again.
std::pair<float, float> sanitised_range(std::span<const float> samples) {
  constexpr std::size_t kLanes = 8;
  std::array<float, kLanes> lo, hi;
  lo.fill(std::numeric_limits<float>::infinity());
  hi.fill(-std::numeric_limits<float>::infinity());
  const auto take = [&](std::size_t lane, float x) {
    lo[lane] = x < lo[lane] ? x : lo[lane];
    hi[lane] = x > hi[lane] ? x : hi[lane];
  };
  std::size_t i = 0;
  for (; i + kLanes <= samples.size(); i += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) take(lane, sanitised(samples[i + lane]));
  }
  for (; i < samples.size(); ++i) take(0, sanitised(samples[i]));
  for (std::size_t lane = 1; lane < kLanes; ++lane) {
    lo[0] = lo[lane] < lo[0] ? lo[lane] : lo[0];
    hi[0] = hi[lane] > hi[0] ? hi[lane] : hi[0];
  }
  const auto first_zero = [&] {
    for (const float sample : samples) {
      if (sanitised(sample) == 0.0f) return sanitised(sample);
    }
    return 0.0f;
  };
  return {lo[0] == 0.0f ? first_zero() : lo[0], hi[0] == 0.0f ? first_zero() : hi[0]};
}

// The signal mapped onto [0, 1] by its range, less its mean: each working
// sample is ((x - min) * inv) - mean, two roundings, computed where it is
// needed rather than stored. A flat signal is all zeros.
struct Normalisation {
  float min = 0.0f;
  float max = 0.0f;
  float inv = 0.0f;
  float mean = 0.0f;
  bool flat = true;

  float operator()(float sample) const {
    return flat ? 0.0f : (sanitised(sample) - min) * inv - mean;
  }
};

// The mean is stored in the header, so its sum is formed strictly in index
// order in one float32 accumulator.
float normalised_mean(std::span<const float> samples, float lo, float inv) {
  float sum = 0.0f;
  for (const float sample : samples) sum += (sanitised(sample) - lo) * inv;
  return sum / static_cast<float>(samples.size());
}

// Quantises a band and writes it as little-endian 16-bit integers, zeroing
// values of magnitude below threshold (0 leaves every value alone). Returns
// false when a product truncates to a value outside the 16-bit range: the
// clamp would then store a coefficient far from the true one.
bool quantise_band(std::span<const float> band, float multiplier, int threshold,
                   std::uint8_t* out) {
  // Flags or'ed as integers and no short-circuit: the loop vectorises.
  std::uint32_t outside = 0;
  for (std::size_t i = 0; i < band.size(); ++i) {
    const float v = band[i] * multiplier;
    outside |=
        static_cast<std::uint32_t>(!(v > -32769.0f)) | static_cast<std::uint32_t>(!(v < 32768.0f));
    const std::int32_t q = quantise(band[i], multiplier);
    const auto u = static_cast<std::uint16_t>(std::abs(q) < threshold ? 0 : q);
    out[2 * i] = static_cast<std::uint8_t>(u);
    out[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  return outside == 0;
}

}  // namespace

std::size_t compute_max_levels(std::size_t sample_count, std::size_t filter_length) {
  if (sample_count < filter_length) return 1;
  const std::size_t q = sample_count / filter_length;
  const std::size_t r = static_cast<std::size_t>(std::bit_width(q)) - 1;
  return r == 0 ? 1 : std::min<std::size_t>(r, 8);
}

std::size_t level_count(std::size_t sample_count, std::size_t filter_length) {
  if (sample_count < 20) return 1;
  if (sample_count < 40) return 2;
  if (sample_count < 60) return 3;
  if (sample_count < 80) return 4;
  return compute_max_levels(sample_count, filter_length);
}

int detail_threshold(std::uint8_t scale, CutoffLevel cutoff) {
  const int base = (static_cast<int>(scale) - 6) / 2;
  switch (cutoff) {
    case CutoffLevel::low:
      return base;
    case CutoffLevel::medium:
      return base * 3;
    case CutoffLevel::high:
      return base * 7;
  }
  return base;
}

std::expected<std::uint32_t, QuarnelError> payload_length_field(std::uint64_t payload_size) {
  if (payload_size > std::numeric_limits<std::uint32_t>::max()) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't store a payload of " + std::to_string(payload_size) +
        " bytes, the largest a stream can describe is 4294967295"));
  }
  return static_cast<std::uint32_t>(payload_size);
}

namespace {

// What the sample count and the options alone decide: the transform and the
// band layout the stream will describe.
struct Plan {
  lumvet::DwtExecutorHandle executor;
  std::size_t levels = 0;
  BandLayout layout;
};

std::expected<Plan, QuarnelError> plan_stream(std::size_t n, const CompressionOptions& options) {
  if (n == 0) {
    return Unexpected(QuarnelError::unsupported_configuration("Can't compress empty data"));
  }
  if (n > kMaxSampleCount) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't compress data bigger than " + std::to_string(kMaxSampleCount) + ", but data was " +
        std::to_string(n)));
  }

  // The Python options class only builds valid values, but a C++ caller can
  // hand over anything; a stream with an unknown method or a scale no decoder
  // accepts would be lost data.
  if (options.scale < kMinScale || options.scale > kMaxScale) {
    return Unexpected(QuarnelError::unsupported_scale(options.scale));
  }
  // A value past its enumeration's end has no name.
  if (method_name(options.method).empty() || cutoff_name(options.cutoff).empty() ||
      coder_name(options.coder).empty()) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Unknown option value: method " + std::to_string(static_cast<unsigned>(options.method)) +
        ", cutoff " + std::to_string(static_cast<unsigned>(options.cutoff)) + ", coder " +
        std::to_string(static_cast<unsigned>(options.coder))));
  }

  Plan plan;
  plan.executor = make_executor(options.method);
  plan.levels = level_count(n, plan.executor->filter_length());
  // A decoder rebuilds the band lengths from the header alone.
  plan.layout = band_layout(*plan.executor, n, static_cast<unsigned>(plan.levels));
  if (options.coder != CoderChoice::deflate && plan.layout.coefficient_count() > kMaxPairCount) {
    // One rANS plane holds one byte per coefficient, and a body promising
    // more than 2^28 of them is refused by every decoder: the stream would
    // be lost.
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't code more than " + std::to_string(kMaxPairCount) +
        " coefficients with the rANS coder, but data needs " +
        std::to_string(plan.layout.coefficient_count()) + "; use the deflate coder"));
  }
  return plan;
}

// Two passes over the caller's samples, nothing stored: the range, then the
// mean of the normalised samples.
std::expected<Normalisation, QuarnelError> scan_signal(std::span<const float> samples) {
  Normalisation norm;
  std::tie(norm.min, norm.max) = sanitised_range(samples);
  const float range = norm.max - norm.min;
  if (!std::isfinite(range)) {
    // (x - min) / (max - min) would turn into NaN and so would the mean.
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't compress data whose range max - min exceeds the largest float32 value"));
  }
  norm.flat = range <= kFlatRange;
  if (!norm.flat) {
    norm.inv = 1.0f / range;
    norm.mean = normalised_mean(samples, norm.min, norm.inv);
  }
  return norm;
}

// The first level's input: the normalised samples, made as the transform
// pulls them. Signals shorter than the filter repeat themselves up to its
// length.
struct WorkingSignal {
  std::span<const float> samples;
  Normalisation norm;

  static void fill(void* context, std::size_t from, std::size_t count, float* out) {
    const auto& self = *static_cast<const WorkingSignal*>(context);
    const std::size_t n = self.samples.size();
    const float* x = self.samples.data();
    if (from + count <= n) {
      for (std::size_t i = 0; i < count; ++i) out[i] = self.norm(x[from + i]);
    } else {
      for (std::size_t i = 0; i < count; ++i) out[i] = self.norm(x[(from + i) % n]);
    }
  }
};

// The coefficient byte string, left uninitialised until it is written.
struct CoefficientBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;

  std::span<const std::uint8_t> bytes() const { return {data.get(), size}; }
};

// Transforms level by level and quantises each level's details as soon as
// they exist, into the coefficient byte string: the coarsest approximation,
// then every detail band, finest first. Only the running approximation and
// one level's bands are alive at a time; the first level pulls the working
// signal as it goes, so no copy of the whole signal is ever made.
std::expected<CoefficientBytes, QuarnelError> transform_and_quantise(
    const Plan& plan, WorkingSignal signal, const CompressionOptions& options) {
  const BandLayout& layout = plan.layout;
  const float multiplier = static_cast<float>(1u << options.scale);
  const int threshold = detail_threshold(options.scale, options.cutoff);
  // Running out of memory for the byte string is reported with the count of
  // detail coefficients it had to hold.
  CoefficientBytes coefficients;
  try {
    coefficients.size = 2 * layout.coefficient_count();
    coefficients.data = std::make_unique_for_overwrite<std::uint8_t[]>(coefficients.size);
  } catch (const std::bad_alloc&) {
    return Unexpected(QuarnelError::out_of_memory(layout.detail_count()));
  }

  std::unique_ptr<float[]> source;  // the running approximation
  std::size_t length = layout.transformed_length;
  std::size_t offset = 2 * layout.approximation_length();
  bool fits = true;
  for (const lumvet::DwtSize& size : layout.levels) {
    // Both bands are written in full by the step.
    auto approximation = std::make_unique_for_overwrite<float[]>(size.approximation_length);
    auto details = std::make_unique_for_overwrite<float[]>(size.details_length);
    const std::span<float> a(approximation.get(), size.approximation_length);
    const std::span<float> d(details.get(), size.details_length);
    const auto status =
        source ? plan.executor->execute_forward({source.get(), length}, a, d)
               : plan.executor->execute_forward_from({&WorkingSignal::fill, &signal}, length, a, d);
    if (!status) return Unexpected(QuarnelError::transform_failed(status.error().message()));
    source = std::move(approximation);
    length = size.approximation_length;
    fits &= quantise_band({details.get(), size.details_length}, multiplier, threshold,
                          coefficients.data.get() + offset);
    offset += 2 * size.details_length;
  }
  fits &= quantise_band({source.get(), length}, multiplier, 0, coefficients.data.get());
  if (!fits) {
    // A clamped coefficient reconstructs as a large, silent error (a long
    // step at scale 12 comes back off by over half its range): refuse it and
    // let the caller choose a coarser scale, whose step stores the value.
    return Unexpected(QuarnelError::unsupported_configuration(
        "A wavelet coefficient exceeds the 16-bit range at scale " + std::to_string(options.scale) +
        "; use a lower scale"));
  }
  return coefficients;
}

// Codes the coefficient bytes behind room for the header, releasing them as
// soon as the payload exists, and writes the header with the coder's byte and
// the payload's length.
std::expected<std::vector<std::uint8_t>, QuarnelError> code_payload(CoefficientBytes coefficients,
                                                                    CoderChoice coder,
                                                                    unsigned threads,
                                                                    int deflate_level,
                                                                    QuarnelHeader header) {
  std::vector<std::uint8_t> stream;
  if (coder == CoderChoice::deflate) {
    header.coder = kCoderDeflate;
    stream.resize(kHeaderSize);
    QUARNEL_TRY(deflate_append(coefficients.bytes(), stream, deflate_level));
    coefficients = {};
  } else {
    // "auto" always takes the rANS coder.
    header.coder = kCoderArans;
    std::vector<std::uint8_t> payload = encode_stream(coefficients.bytes(), threads);
    coefficients = {};
    stream.reserve(kHeaderSize + payload.size());
    stream.resize(kHeaderSize);
    stream.insert(stream.end(), payload.begin(), payload.end());
  }
  QUARNEL_TRY_ASSIGN(payload_length, payload_length_field(stream.size() - kHeaderSize));
  header.payload_length = payload_length;
  header.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
  return stream;
}

}  // namespace

std::expected<void, QuarnelError> check_compressible(std::size_t sample_count,
                                                     const CompressionOptions& options) {
  QUARNEL_TRY(plan_stream(sample_count, options));
  return {};
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress(std::span<const float> samples,
                                                                const CompressionOptions& options) {
  return compress(samples, options, 1);
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress(std::span<const float> samples,
                                                                const CompressionOptions& options,
                                                                unsigned threads) {
  return compress(samples, options, threads, kDefaultDeflateLevel);
}

std::expected<void, QuarnelError> check_deflate_level(int level) {
  if (level < kMinDeflateLevel || level > kMaxDeflateLevel) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "DEFLATE level must be " + std::to_string(kMinDeflateLevel) + " to " +
        std::to_string(kMaxDeflateLevel) + ", but it was " + std::to_string(level)));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress(std::span<const float> samples,
                                                                const CompressionOptions& options,
                                                                unsigned threads,
                                                                int deflate_level) {
  QUARNEL_TRY(check_deflate_level(deflate_level));
  QUARNEL_TRY_ASSIGN(plan, plan_stream(samples.size(), options));
  QUARNEL_TRY_ASSIGN(norm, scan_signal(samples));
  QUARNEL_TRY_ASSIGN(coefficients,
                     transform_and_quantise(plan, WorkingSignal{samples, norm}, options));

  QuarnelHeader header;
  header.method_tag = method_tag(options.method);
  header.levels = static_cast<std::uint8_t>(plan.levels);
  header.scale = options.scale;
  header.sample_count = static_cast<std::uint32_t>(samples.size());
  header.min_value = norm.min;
  header.max_value = norm.max;
  header.mean_value = norm.mean;
  return code_payload(std::move(coefficients), options.coder, threads, deflate_level, header);
}

std::uint64_t compress_bound(std::uint64_t sample_count) {
  // Either coder on every coefficient's two bytes, stored as they come at worst.
  const std::uint64_t bytes = 2 * max_coefficient_count(sample_count);
  return kHeaderSize + std::max(deflate_bound(bytes), encode_stream_bound(bytes));
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
