#include "quarnel/decompressor.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"
#include "quarnel/stream_check.h"

namespace quarnel {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

QuarnelError failed(std::string reason) {
  return QuarnelError::decompression_failed(std::move(reason));
}

// Raw DEFLATE cannot expand by more than 1032:1 (one 258-byte match per two
// bits of input) plus a small constant, so this bounds what a payload can
// deliver whatever the header promises.
std::uint64_t inflate_bound(std::uint64_t payload_size) {
  return payload_size * 1032 + 1024;
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

}  // namespace

std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep) {
  InflatedBytes out;
  std::size_t capacity = std::min(keep, inflate_bound(payload.size()));
  try {
    out.data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  } catch (const std::bad_alloc&) {
    return Unexpected(failed("out of memory"));
  }

  z_stream zs{};
  int rc = inflateInit2(&zs, -15);
  if (rc != Z_OK) {
    return Unexpected(failed(rc == Z_MEM_ERROR ? "out of memory" : "corrupt deflate stream"));
  }
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};

  // Output past `keep` is inflated into this window and dropped.
  std::unique_ptr<std::uint8_t[]> discard;
  constexpr std::size_t kDiscardSize = 1 << 16;

  std::size_t in_pos = 0;
  for (;;) {
    std::uint8_t* target;
    std::size_t room;
    if (out.size < keep) {
      if (out.size == capacity) {
        // Only reached if the payload outgrows the first estimate.
        const std::size_t grown = std::min<std::uint64_t>(keep, capacity + capacity / 2 + 4096);
        try {
          auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
          std::memcpy(bigger.get(), out.data.get(), out.size);
          out.data = std::move(bigger);
        } catch (const std::bad_alloc&) {
          return Unexpected(failed("out of memory"));
        }
        capacity = grown;
      }
      target = out.data.get() + out.size;
      room = capacity - out.size;
    } else {
      if (!discard) discard = std::make_unique_for_overwrite<std::uint8_t[]>(kDiscardSize);
      target = discard.get();
      room = kDiscardSize;
    }
    // zlib counts in 32-bit units.
    const std::size_t in_chunk = std::min<std::size_t>(payload.size() - in_pos, UINT_MAX);
    const std::size_t out_chunk = std::min<std::size_t>(room, UINT_MAX);
    zs.next_in = const_cast<Bytef*>(payload.data() + in_pos);
    zs.avail_in = static_cast<uInt>(in_chunk);
    zs.next_out = target;
    zs.avail_out = static_cast<uInt>(out_chunk);
    rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t consumed = in_chunk - zs.avail_in;
    const std::size_t produced = out_chunk - zs.avail_out;
    in_pos += consumed;
    if (out.size < keep) out.size += produced;

    if (rc == Z_STREAM_END) break;  // anything after the final block is ignored
    if (rc == Z_MEM_ERROR) return Unexpected(failed("out of memory"));
    if (rc != Z_OK && rc != Z_BUF_ERROR) return Unexpected(failed("corrupt deflate stream"));
    // Payload used up with room to spare: everything inflatable is out. A
    // payload cut before its final block ends here, keeping what it gave.
    if (in_pos == payload.size() && zs.avail_out > 0) break;
    if (consumed == 0 && produced == 0) break;  // no progress possible
  }
  return out;
}

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream) {
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

  // from_bytes accepts only the four known tags.
  const lumvet::DwtExecutorHandle executor = make_executor(*method_from_tag(header.method_tag));
  const BandLayout layout = band_layout(*executor, header.sample_count, header.levels);

  const std::uint64_t stream_end = kHeaderSize + static_cast<std::uint64_t>(header.payload_length);
  QUARNEL_CHECK(stream.size() >= stream_end,
                failed("Minimum data size is " + std::to_string(stream_end) + ", but it was " +
                       std::to_string(stream.size())));
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
    auto result = decode_stream(payload, 2 * needed);
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

  // 2^-scale exactly: 1.0 with its exponent lowered by scale.
  const float factor = std::bit_cast<float>(static_cast<std::uint32_t>(127 - header.scale) << 23);
  auto coefficients = std::make_unique_for_overwrite<float[]>(needed);
  for (std::size_t i = 0; i < needed; ++i) {
    const auto q = static_cast<std::int16_t>(decoded[2 * i] | (decoded[2 * i + 1] << 8));
    coefficients[i] = static_cast<float>(q) * factor;
  }
  inflated = {};
  std::vector<std::uint8_t>().swap(decoded_arans);

  // Bands in payload order: the coarsest approximation, then the details
  // from the finest level up.
  lumvet::MultiDwtRef bands;
  const std::size_t approximation_length = layout.approximation_length();
  bands.approximation = std::span<const float>(coefficients.get(), approximation_length);
  std::size_t offset = approximation_length;
  for (const auto& level : layout.levels) {
    bands.details.emplace_back(coefficients.get() + offset, level.details_length);
    offset += level.details_length;
  }
  auto reconstruction = executor->multi_idwt(bands);
  if (!reconstruction) {
    return Unexpected(QuarnelError::transform_failed(reconstruction.error().message()));
  }
  coefficients.reset();

  std::vector<float> samples = std::move(*reconstruction);
  const std::size_t kept = std::min<std::size_t>(samples.size(), header.sample_count);
  denormalise(std::span<float>(samples.data(), kept), header.min_value, header.max_value,
              header.mean_value);
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

}  // namespace quarnel
