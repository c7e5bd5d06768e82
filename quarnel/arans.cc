#include "quarnel/arans.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

#include "quarnel/arans_decoder.h"
#include "quarnel/arans_encoder.h"
#include "quarnel/bytes.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

using arans_detail::code_plane;
using arans_detail::code_plane_pair;
using arans_detail::coded_plane_size;
using arans_detail::CodedPlane;
using arans_detail::decode_interleaved;
using arans_detail::plane0_capacity;
using arans_detail::plane1_capacity;
using arans_detail::PlaneDecoder;
using arans_detail::put_body;
using arans_detail::put_coded_plane;
using arans_detail::start_plane;

std::string_view message(AransError e) {
  switch (e) {
    case AransError::Truncated:
      return "Stream truncated";
    case AransError::InconsistentLength:
      return "Inconsistent or oversized length in stream";
  }
  return "Unknown rANS error";
}

namespace {

// Bodies of up to five bytes are stored raw; a coded body is at least 12 bytes long.
constexpr std::size_t kRawLimit = 6;

// From 16 KiB of input on the model uses the whole previous byte as context.
constexpr std::size_t kWideContextInput = 16384;

}  // namespace

// ---------------------------------------------------------------------------------------
// Public entry points

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
  assert(context_bits <= 8);
  context_bits = std::min(context_bits, 8u);
  const std::size_t count = plane.size();
  if (count == 0) return {};
  const CodedPlane coded = code_plane(plane.data(), 1, count, context_bits, count / 2 + 64);
  std::vector<std::uint8_t> out(coded_plane_size(coded.words));
  put_coded_plane(out.data(), coded.state, coded.words);
  return out;
}

// However the input leads the model, a bit costs at most 1.0473 bits on average: the
// largest mean of -log2(probability of the bit seen) over any bit sequence that starts at
// P = 2048 and moves P by adapt() is 1.047259 (value iteration over all 4095 P: the mean
// rises to it from below as the sequence grows). Each context's model starts at 2048, so
// the sum over a plane stays within 1.0473 bits per bit. A coding step raises log2 x by
// log2(4096 / freq) plus at most log2(1 + freq / x) <= log2(17 / 16) < 0.0875 (x >= 16 freq
// before every step), each word takes 16 bits off, and x starts at L and ends at or above
// it. So a plane of m bytes takes at most 8 m (1.0473 + 0.0875) / 16 < 0.5674 m words.
std::uint64_t encode_stream_bound(std::uint64_t size) {
  if (size < kRawLimit) return size;
  const std::uint64_t pair_count = size / 2;
  const std::uint64_t plane = 4 + 2 * ((pair_count * 5674 + 9999) / 10000);
  return 2 + leb128_size(pair_count) + leb128_size(plane) + 2 * plane + (size & 1);
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
  return encode_stream(input, 1);
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input, unsigned threads) {
  const std::size_t n = input.size();
  if (n < kRawLimit) return {input.begin(), input.end()};
  const std::size_t pair_count = n / 2;
  const unsigned context_bits = n < kWideContextInput ? 3 : 8;

  if (threads >= 2 && pair_count >= kThreadedMinPairs) {
    // Plane 1 on a worker, plane 0 here. A failure of the worker (exhausted memory) is
    // rethrown here; one of this thread's leaves through the worker's join.
    std::optional<CodedPlane> plane1;
    std::exception_ptr failure;
    std::optional<CodedPlane> plane0;
    {
      std::jthread worker;
      try {
        worker = std::jthread([&] {
          try {
            plane1.emplace(code_plane(input.data() + 1, 2, pair_count, context_bits,
                                      plane1_capacity(pair_count)));
          } catch (...) {
            failure = std::current_exception();
          }
        });
      } catch (const std::system_error&) {
        // No thread to be had: plane 1 is coded here after plane 0.
      }
      plane0.emplace(
          code_plane(input.data(), 2, pair_count, context_bits, plane0_capacity(pair_count)));
    }
    if (failure) std::rethrow_exception(failure);
    if (!plane1) {
      plane1.emplace(
          code_plane(input.data() + 1, 2, pair_count, context_bits, plane1_capacity(pair_count)));
    }
    return put_body(input, context_bits, *plane0, *plane1);
  }

  // Both planes on this thread, their backward passes side by side.
  const auto [plane0, plane1] = code_plane_pair(input.data(), pair_count, context_bits);
  return put_body(input, context_bits, plane0, plane1);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t count, unsigned context_bits) {
  if (count == 0) return std::vector<std::uint8_t>{};
  QUARNEL_CHECK(context_bits <= 8, AransError::InconsistentLength);
  QUARNEL_TRY_ASSIGN(plane, start_plane(coded));
  std::array<PlaneDecoder, 1> planes = {plane};
  return decode_interleaved<1>(planes, coded.size(), count, count, context_bits, 0, false);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep) {
  return decode_stream(body, keep, 1);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep, unsigned threads) {
  const std::size_t n = body.size();
  if (n < kRawLimit) {
    return std::vector<std::uint8_t>(body.begin(), body.begin() + std::min(n, keep));
  }

  const unsigned context_bits = body[1];
  QUARNEL_CHECK(context_bits <= 8, AransError::InconsistentLength);
  std::size_t position = 2;
  QUARNEL_TRY_ASSIGN(pair_count, rv(body, position));
  QUARNEL_CHECK(pair_count <= kMaxPairCount, AransError::InconsistentLength);
  QUARNEL_TRY_ASSIGN(plane0_size, rv(body, position));
  QUARNEL_CHECK(plane0_size <= std::numeric_limits<std::size_t>::max() - position,
                AransError::InconsistentLength);
  const std::size_t plane0_end = position + plane0_size;
  const std::size_t odd = body[0] & 1;
  QUARNEL_CHECK(plane0_end <= n - odd, AransError::Truncated);

  const std::size_t count = pair_count;
  if (count == 0) {
    std::vector<std::uint8_t> out(std::min(odd, keep));
    if (!out.empty()) out[0] = body[n - 1];
    return out;
  }
  const auto coded0 = body.subspan(position, plane0_end - position);
  const auto coded1 = body.subspan(plane0_end, n - odd - plane0_end);
  QUARNEL_TRY_ASSIGN(plane0, start_plane(coded0));
  QUARNEL_TRY_ASSIGN(plane1, start_plane(coded1));
  std::array<PlaneDecoder, 2> planes = {plane0, plane1};
  // Pairs are kept while the caller wants a byte of them; the trailing byte only with
  // every pair.
  const std::size_t stored = std::min(count, keep / 2 + (keep & 1));
  const bool threaded = threads >= 2 && count >= kThreadedMinPairs;
  auto out = decode_interleaved<2>(planes, n, count, stored, context_bits, odd, threaded);
  if (!out) return out;
  if (stored == count && odd) out->back() = body[n - 1];
  if (out->size() > keep) out->resize(keep);
  return out;
}

std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> bytes,
                                            std::size_t& position) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 9; ++i) {
    QUARNEL_CHECK(position < bytes.size(), AransError::Truncated);
    const std::uint8_t b = bytes[position++];
    value |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) return value;
  }
  // The tenth byte can only contribute bit 63; it must end the value.
  QUARNEL_CHECK(position < bytes.size(), AransError::Truncated);
  const std::uint8_t b = bytes[position++];
  QUARNEL_CHECK(!(b & 0x80), AransError::InconsistentLength);
  return value | std::uint64_t{b & 1u} << 63;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
