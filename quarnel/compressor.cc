#include "quarnel/compressor.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/header.h"

namespace quarnel {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

// Range below which a signal counts as flat: the float32 nearest 1e-5.
constexpr float kFlatRange = 1e-5f;
static_assert(std::bit_cast<std::uint32_t>(kFlatRange) == 0x3727C5ACu);

// Copies the samples, replacing NaN by 0, +inf by 1 and -inf by 0, and
// returns the smallest and largest copied value. Ties keep the first value
// seen, so the sign of a zero extreme is that of its first occurrence.
std::pair<float, float> copy_and_sanitise(std::span<const float> samples, float* out) {
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    float x = samples[i];
    if (!std::isfinite(x)) x = x == std::numeric_limits<float>::infinity() ? 1.0f : 0.0f;
    out[i] = x;
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
  }
  return {lo, hi};
}

// Maps the signal onto [0, 1] by its range and removes the mean; returns the
// mean. The mean is stored in the header, so its sum is formed strictly in
// index order in one float32 accumulator; the other loops are element-wise.
float normalise(std::span<float> signal, float lo, float range) {
  const float inv = 1.0f / range;
  for (float& x : signal) x = (x - lo) * inv;
  float sum = 0.0f;
  for (const float y : signal) sum += y;
  const float mean = sum / static_cast<float>(signal.size());
  for (float& y : signal) y -= mean;
  return mean;
}

// Quantises a band and writes it as little-endian 16-bit integers, zeroing
// values of magnitude below threshold (0 leaves every value alone). Returns
// false when a product truncates to a value outside the 16-bit range: the
// clamp would then store a coefficient far from the true one.
bool quantise_band(std::span<const float> band, float multiplier, int threshold,
                   std::uint8_t* out) {
  bool fits = true;
  for (std::size_t i = 0; i < band.size(); ++i) {
    const float v = band[i] * multiplier;
    fits &= v > -32769.0f && v < 32768.0f;
    std::int32_t q = quantise(band[i], multiplier);
    q = (q > -threshold && q < threshold) ? 0 : q;
    const auto u = static_cast<std::uint16_t>(q);
    out[2 * i] = static_cast<std::uint8_t>(u);
    out[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  return fits;
}

std::string zlib_message(const z_stream& zs, int rc) {
  return zs.msg != nullptr ? std::string(zs.msg) : std::string(zError(rc));
}

// One complete raw DEFLATE stream at level 6, appended to out.
std::expected<void, QuarnelError> deflate_append(std::span<const std::uint8_t> input,
                                                 std::vector<std::uint8_t>& out) {
  z_stream zs{};
  int rc = deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) return Unexpected(QuarnelError::encode_failed(zlib_message(zs, rc)));
  struct End {
    z_stream* zs;
    ~End() { deflateEnd(zs); }
  } end{&zs};

  std::size_t out_pos = out.size();
  out.resize(out_pos + deflateBound(&zs, input.size()));
  std::size_t in_pos = 0;
  for (;;) {
    // zlib counts in 32-bit units: feed and drain at most 4 GiB per call.
    const std::size_t in_chunk = std::min<std::size_t>(input.size() - in_pos, UINT_MAX);
    const std::size_t out_chunk = std::min<std::size_t>(out.size() - out_pos, UINT_MAX);
    zs.next_in = const_cast<Bytef*>(input.data() + in_pos);
    zs.avail_in = static_cast<uInt>(in_chunk);
    zs.next_out = out.data() + out_pos;
    zs.avail_out = static_cast<uInt>(out_chunk);
    const bool last = in_pos + in_chunk == input.size();
    rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
    in_pos += in_chunk - zs.avail_in;
    out_pos += out_chunk - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return Unexpected(QuarnelError::encode_failed(zlib_message(zs, rc)));
    }
    if (out_pos == out.size()) {
      out.resize(out.size() + out.size() / 2 + 64);  // the bound was not enough: grow
    } else if (rc == Z_BUF_ERROR) {
      return Unexpected(QuarnelError::encode_failed(zlib_message(zs, rc)));
    }
  }
  out.resize(out_pos);
  return {};
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
  if (options.scale < 6 || options.scale > 12) {
    return Unexpected(QuarnelError::unsupported_scale(options.scale));
  }
  if (static_cast<unsigned>(options.method) > 3 || static_cast<unsigned>(options.cutoff) > 2 ||
      static_cast<unsigned>(options.coder) > 2) {
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

}  // namespace

std::expected<void, QuarnelError> check_compressible(std::size_t sample_count,
                                                     const CompressionOptions& options) {
  const auto plan = plan_stream(sample_count, options);
  if (!plan) return Unexpected(plan.error());
  return {};
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress(std::span<const float> samples,
                                                                const CompressionOptions& options) {
  const std::size_t n = samples.size();
  auto plan = plan_stream(n, options);
  if (!plan) return Unexpected(plan.error());
  const lumvet::DwtExecutorHandle executor = std::move(plan->executor);
  const std::size_t filter = executor->filter_length();
  const std::size_t levels = plan->levels;
  const BandLayout& layout = plan->layout;

  const std::size_t transformed = std::max(n, filter);
  auto working = std::make_unique_for_overwrite<float[]>(transformed);
  const std::span<float> signal(working.get(), n);

  const auto [lo, hi] = copy_and_sanitise(samples, signal.data());
  const float range = hi - lo;
  if (!std::isfinite(range)) {
    // (x - min) / (max - min) would turn into NaN and so would the mean.
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't compress data whose range max - min exceeds the largest float32 value"));
  }
  float mean = 0.0f;
  if (range <= kFlatRange) {
    std::fill(signal.begin(), signal.end(), 0.0f);
  } else {
    mean = normalise(signal, lo, range);
  }

  // Signals shorter than the filter repeat themselves up to its length.
  for (std::size_t k = n; k < transformed; ++k) working[k] = working[(k - n) % n];

  auto decomposition =
      executor->multi_dwt(std::span<const float>(working.get(), transformed), levels);
  working.reset();
  if (!decomposition) {
    return Unexpected(QuarnelError::transform_failed(decomposition.error().message()));
  }
  std::vector<lumvet::Dwt>& bands = decomposition->levels;
  if (bands.empty()) {
    return Unexpected(
        QuarnelError::transform_failed("Internal DWT returned zero levels, what shouldn't happen"));
  }
  // A stream whose bands disagree with the header's layout could never be
  // read back.
  bool layout_matches = bands.size() == layout.levels.size();
  for (std::size_t k = 0; layout_matches && k < bands.size(); ++k) {
    layout_matches = bands[k].approximation.size() == layout.levels[k].approximation_length &&
                     bands[k].details.size() == layout.levels[k].details_length;
  }
  if (!layout_matches) {
    return Unexpected(QuarnelError::transform_failed(
        "Internal DWT band lengths don't match the stream layout, what shouldn't happen"));
  }

  const float multiplier = static_cast<float>(1u << options.scale);
  const int threshold = detail_threshold(options.scale, options.cutoff);

  // Coefficient bytes: the coarsest approximation, then every detail band,
  // finest first, serialised as they are quantised.
  const std::size_t approximation_count = bands.back().approximation.size();
  const std::size_t detail_count = layout.detail_count();
  // The approximation's buffer is made big enough for the detail bands in the
  // same allocation; running out of memory here is reported with the count
  // of detail coefficients it had to hold.
  std::unique_ptr<std::uint8_t[]> coefficient_storage;
  try {
    coefficient_storage =
        std::make_unique_for_overwrite<std::uint8_t[]>(2 * (approximation_count + detail_count));
  } catch (const std::bad_alloc&) {
    return Unexpected(QuarnelError::out_of_memory(detail_count));
  }
  const std::span<std::uint8_t> coefficients(coefficient_storage.get(),
                                             2 * (approximation_count + detail_count));
  bool fits = quantise_band(bands.back().approximation, multiplier, 0, coefficients.data());
  for (auto& level : bands) std::vector<float>().swap(level.approximation);
  std::size_t offset = 2 * approximation_count;
  for (auto& level : bands) {
    fits &= quantise_band(level.details, multiplier, threshold, coefficients.data() + offset);
    offset += 2 * level.details.size();
    std::vector<float>().swap(level.details);
  }
  decomposition->levels.clear();
  if (!fits) {
    // A clamped coefficient reconstructs as a large, silent error (a long
    // step at scale 12 comes back off by over half its range): refuse it and
    // let the caller choose a coarser scale, whose step stores the value.
    return Unexpected(QuarnelError::unsupported_configuration(
        "A wavelet coefficient exceeds the 16-bit range at scale " + std::to_string(options.scale) +
        "; use a lower scale"));
  }

  QuarnelHeader header;
  header.method_tag = method_tag(options.method);
  header.levels = static_cast<std::uint8_t>(levels);
  header.scale = options.scale;
  header.sample_count = static_cast<std::uint32_t>(n);
  header.min_value = lo;
  header.max_value = hi;
  header.mean_value = mean;

  std::vector<std::uint8_t> stream;
  if (options.coder == CoderChoice::deflate) {
    header.coder = kCoderDeflate;
    stream.resize(kHeaderSize);
    if (auto deflated = deflate_append(coefficients, stream); !deflated) {
      return Unexpected(deflated.error());
    }
    coefficient_storage.reset();
    // The deflate bound leaves slack behind a well-compressed payload.
    if (stream.capacity() - stream.size() > stream.size() / 4) stream.shrink_to_fit();
  } else {
    // "auto" always takes the rANS coder.
    header.coder = kCoderArans;
    std::vector<std::uint8_t> payload = encode_stream(coefficients);
    coefficient_storage.reset();
    stream.reserve(kHeaderSize + payload.size());
    stream.resize(kHeaderSize);
    stream.insert(stream.end(), payload.begin(), payload.end());
  }
  const auto payload_length = payload_length_field(stream.size() - kHeaderSize);
  if (!payload_length) return Unexpected(payload_length.error());
  header.payload_length = *payload_length;
  header.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
  return stream;
}

}  // namespace quarnel
