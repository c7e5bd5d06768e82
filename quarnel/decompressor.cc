// The decompression pipeline: decompress() and read_header(), declared in
// quarnel/quarnel.h, and read_stream_header(), which make the same checks on
// a stream's header.
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/decompressor.h"
#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/quarnel.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/reconstruct.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

// Every failure of a stream's decode is a decompression failure.
constexpr auto failed = &QuarnelError::decompression_failed;

// The header of `stream` with the checks decompress() makes on the header
// alone: its own fields, the sample count, then the level count.
// read_header() gives its fields; read_stream_header() goes on to check the
// payload's length.
std::expected<QuarnelHeader, QuarnelError> checked_header(std::span<const std::uint8_t> stream) {
  QUARNEL_TRY_ASSIGN(header, QuarnelHeader::from_bytes(stream));

  QUARNEL_CHECK(header.sample_count <= kMaxSampleCount,
                failed("Can't decompress data bigger than " + std::to_string(kMaxSampleCount) +
                       ", but data was " + std::to_string(header.sample_count)));
  QUARNEL_CHECK(header.levels <= kMaxLevels,
                failed("Max supported level is " + std::to_string(kMaxLevels) + " but it was " +
                       std::to_string(header.levels)));
  QUARNEL_CHECK(header.levels != 0,
                failed("Min supported level is 1 but it was " + std::to_string(header.levels)));
  return header;
}

// The header's coder byte is the CoderChoice of the coder it names.
static_assert(kCoderDeflate == static_cast<std::uint8_t>(CoderChoice::deflate));
static_assert(kCoderArans == static_cast<std::uint8_t>(CoderChoice::arans));

}  // namespace

std::expected<StreamHeader, QuarnelError> read_header(std::span<const std::uint8_t> stream) {
  QUARNEL_TRY_ASSIGN(h, checked_header(stream));
  // from_bytes accepts only the four known tags and the two coders.
  return StreamHeader{.method = *method_from_tag(h.method_tag),
                      .levels = h.levels,
                      .scale = h.scale,
                      .coder = static_cast<CoderChoice>(h.coder),
                      .sample_count = h.sample_count,
                      .min_value = h.min_value,
                      .max_value = h.max_value,
                      .mean_value = h.mean_value,
                      .payload_length = h.payload_length};
}

std::expected<QuarnelHeader, QuarnelError> read_stream_header(
    std::span<const std::uint8_t> stream) {
  QUARNEL_TRY_ASSIGN(checked, checked_header(stream));
  const std::uint64_t stream_end = kHeaderSize + static_cast<std::uint64_t>(checked.payload_length);
  QUARNEL_CHECK(stream.size() >= stream_end,
                failed("Minimum data size is " + std::to_string(stream_end) + ", but it was " +
                       std::to_string(stream.size())));
  return checked;
}

std::expected<void, QuarnelError> check_payload_holds(const QuarnelHeader& header) {
  const lumvet::DwtExecutorHandle executor = make_executor(*method_from_tag(header.method_tag));
  const std::uint64_t needed =
      2 * band_layout(*executor, header.sample_count, header.levels).coefficient_count();
  const std::uint64_t length = header.payload_length;
  // DEFLATE gives at most 258 bytes for two bits (1032:1), past a block
  // header. rANS is stored raw below kRawLimit bytes; above, a bit costs at
  // least log2(4096 / 4081) of a state that renormalises from 2^32 down to
  // 2^16 per 16-bit word and starts from 32 bits: about 202 bytes a byte and
  // 808 a plane, here rounded up.
  const std::uint64_t most =
      header.coder == kCoderDeflate ? 1032 * length + 1024 : 256 * length + 4096;
  QUARNEL_CHECK(needed <= most,
                failed("A payload of " + std::to_string(length) + " bytes can't hold " +
                       std::to_string(header.sample_count) + " samples"));
  return {};
}

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream) {
  return decompress(stream, 1);
}

namespace {

// The checked header, then the payload decoded into its coefficient bytes,
// which `rebuild` turns into samples with the header's executor and layout.
template <class Rebuild>
auto decode(std::span<const std::uint8_t> stream, unsigned threads, Inflater inflater,
            Rebuild&& rebuild)
    -> std::invoke_result_t<Rebuild, const QuarnelHeader&, const lumvet::DwtExecutor&,
                            const BandLayout&, std::span<const std::uint8_t>> {
  QUARNEL_TRY_ASSIGN(header, read_stream_header(stream));

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
    QUARNEL_TRY_ASSIGN(result, inflate_payload(payload, 2 * needed, inflater));
    inflated = std::move(result);
    decoded = inflated.bytes();
  } else {
    auto result = decode_stream(payload, 2 * needed, threads);
    if (!result) return Unexpected(failed(std::string(message(result.error()))));
    decoded_arans = std::move(*result);
    decoded = decoded_arans;
  }
  return rebuild(header, *executor, layout, decoded);
}

}  // namespace

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream,
                                                           unsigned threads) {
  return decompress(stream, threads, Inflater::zlib);
}

std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream,
                                                           unsigned threads, Inflater inflater) {
  return decode(stream, threads, inflater,
                [](const auto&... args) { return reconstruct(args...); });
}

std::expected<void, QuarnelError> decompress_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place, Inflater inflater) {
  return decode(stream, threads, inflater,
                [&](const auto&... args) { return reconstruct_into(args..., place); });
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
