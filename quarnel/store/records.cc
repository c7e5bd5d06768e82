// The trailer's records after a stream's payload: writer and reader, the
// checksum, and the checks on what the records hold.
#include "quarnel/trailer.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "quarnel/decompressor.h"
#include "quarnel/header.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/store.h"
#include "quarnel/store/corrections.h"
#include "quarnel/store/record_io.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'R', 'N', 'T'};
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kFixedSize = 10;  // magic, version, reserved, length
constexpr std::size_t kCrcSize = 4;
constexpr std::uint8_t kRequired = 0x80;

// Record types. The mask changes what the samples are, so a reader that does
// not know it must not decode: it is required. The rest only describe.
enum Record : std::uint8_t {
  kMask = kRequired | 1,
  kSampleRate = 2,
  kChannels = 3,
  kSourceFormat = 4,
  kTarget = 5,
  kSignalRange = 6,
  kInterleavedCorrections = kRequired | 7,  // read only: the first writers' layout
  kCorrections = kRequired | 8,
  kGridCorrections = kRequired | 9,  // the grid's origin and step, then kCorrections' body
};

// Whether `s` is UTF-8 text: every sequence well formed and shortest, no
// surrogate, nothing past U+10FFFF.
bool utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80         ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || n > s.size() - i) return false;
    std::uint32_t c = n == 1 ? b : b & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      if ((next >> 6) != 2) return false;
      c = c << 6 | (next & 0x3F);
    }
    constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// What the descriptive fields may hold; empty when they hold it. The writer
// refuses the rest, so that a reader sees such values only in damaged bytes.
std::string field_fault(const Trailer& t) {
  if (!utf8(t.source_format)) return "a source format that is not UTF-8 text";
  if (t.sample_rate && !(std::isfinite(*t.sample_rate) && *t.sample_rate > 0.0)) {
    return "sample rate " + text(*t.sample_rate) + " is not a positive number";
  }
  if (t.channels && *t.channels == 0) return "channel count 0";
  if (t.target) {
    const TargetRecord& g = *t.target;
    if (!check_error_target(g.kind, 0.0)) {  // 0 is a value of every kind there is
      return "target kind " + std::to_string(static_cast<unsigned>(g.kind));
    }
    if (!check_error_target(g.kind, g.value)) return "target value " + text(g.value);
    // An exact stream reaches an infinite PSNR; nothing reaches NaN.
    if (!(std::isfinite(g.max_error) && g.max_error >= 0.0) || std::isnan(g.psnr)) {
      return "reached error " + text(g.max_error) + " or PSNR " + text(g.psnr);
    }
  }
  if (t.signal_range) {
    const auto [lo, hi] = *t.signal_range;
    if (!(std::isfinite(lo) && std::isfinite(hi) && lo <= hi)) {
      return "signal range [" + text(lo) + ", " + text(hi) + "]";
    }
  }
  if (t.corrections) return corrections_fault(*t.corrections);
  return {};
}

// ----------------------------------------------------------------------------
// Writing

void record(std::vector<std::uint8_t>& out, std::uint8_t type,
            const std::vector<std::uint8_t>& body) {
  Writer w(out);
  w.byte(type);
  w.varint(body.size());
  w.bytes(body);
}

std::vector<std::uint8_t> mask_body(const Trailer& t) {
  std::vector<std::uint8_t> body;
  Writer w(body);
  w.byte(t.value_width);
  w.varint(t.values.size());
  for (const std::uint64_t v : t.values) w.fixed(v, t.value_width);
  w.varint(t.mask.size());
  // Each run's start as the gap after the previous run: small numbers.
  std::uint64_t end = 0;
  for (const MaskRun& r : t.mask) {
    w.varint(r.start - end);
    w.varint(r.length - 1);
    w.varint(r.value);
    end = r.start + r.length;
  }
  return body;
}

// ----------------------------------------------------------------------------
// Reading

std::expected<void, QuarnelError> read_mask(std::span<const std::uint8_t> body,
                                            std::uint64_t sample_count, Trailer& t) {
  Reader r(body);
  QUARNEL_TRY_ASSIGN(width, r.byte());
  QUARNEL_CHECK(width == 4 || width == 8, damaged("mask value width " + std::to_string(width)));
  t.value_width = width;
  QUARNEL_TRY_ASSIGN(value_count, r.varint());
  QUARNEL_CHECK(value_count <= r.left() / width, damaged("mask values cut short"));
  t.values.reserve(static_cast<std::size_t>(value_count));
  for (std::uint64_t i = 0; i < value_count; ++i) {
    QUARNEL_TRY_ASSIGN(v, r.fixed(width));
    t.values.push_back(v);
  }
  QUARNEL_TRY_ASSIGN(run_count, r.varint());
  // A run takes three bytes at least.
  QUARNEL_CHECK(run_count <= r.left() / 3, damaged("mask runs cut short"));
  t.mask.reserve(static_cast<std::size_t>(run_count));
  std::uint64_t end = 0;
  for (std::uint64_t i = 0; i < run_count; ++i) {
    QUARNEL_TRY_ASSIGN(gap, r.varint());
    QUARNEL_TRY_ASSIGN(length_less_one, r.varint());
    QUARNEL_TRY_ASSIGN(value, r.varint());
    QUARNEL_CHECK(gap <= sample_count - end && length_less_one < sample_count - end - gap,
                  damaged("mask run beyond the signal"));
    QUARNEL_CHECK(value < value_count, damaged("mask run names a value it does not hold"));
    const MaskRun run{end + gap, length_less_one + 1, static_cast<std::uint32_t>(value)};
    t.mask.push_back(run);
    end = run.start + run.length;
  }
  QUARNEL_CHECK(r.done(), damaged("mask record longer than its runs"));
  return {};
}

std::expected<void, QuarnelError> read_record(std::uint8_t type, std::span<const std::uint8_t> body,
                                              std::uint64_t sample_count, Trailer& t) {
  Reader r(body);
  switch (type) {
    case kMask:
      return read_mask(body, sample_count, t);
    case kCorrections:
    case kInterleavedCorrections:
    case kGridCorrections: {
      // One list of corrections, in whichever layout.
      QUARNEL_CHECK(!t.corrections, damaged("trailer holds two lists of corrections"));
      const CorrectionsLayout layout = type == kInterleavedCorrections
                                           ? CorrectionsLayout::interleaved
                                       : type == kGridCorrections ? CorrectionsLayout::on_grid
                                                                  : CorrectionsLayout::split;
      QUARNEL_TRY_ASSIGN(c, read_corrections(body, sample_count, layout));
      t.corrections = std::move(c);
      return {};
    }
    case kSampleRate: {
      QUARNEL_TRY_ASSIGN(rate, r.f64());
      t.sample_rate = rate;
      break;
    }
    case kChannels: {
      QUARNEL_TRY_ASSIGN(channels, r.varint());
      QUARNEL_CHECK(channels <= UINT32_MAX, damaged("channel count " + std::to_string(channels)));
      t.channels = static_cast<std::uint32_t>(channels);
      break;
    }
    case kSourceFormat:
      t.source_format.assign(body.begin(), body.end());
      return {};
    case kTarget: {
      QUARNEL_TRY_ASSIGN(kind, r.byte());
      QUARNEL_TRY_ASSIGN(value, r.f64());
      QUARNEL_TRY_ASSIGN(max_error, r.f64());
      QUARNEL_TRY_ASSIGN(psnr, r.f64());
      t.target = TargetRecord{static_cast<ErrorTarget>(kind), value, max_error, psnr};
      break;
    }
    case kSignalRange: {
      QUARNEL_TRY_ASSIGN(lo, r.f64());
      QUARNEL_TRY_ASSIGN(hi, r.f64());
      t.signal_range = std::pair{lo, hi};
      break;
    }
    default:
      QUARNEL_CHECK(!(type & kRequired),
                    damaged("unknown required trailer record " + std::to_string(type)));
      return {};  // an optional record of a later version
  }
  QUARNEL_CHECK(r.done(), damaged("trailer record " + std::to_string(type) + " too long"));
  return {};
}

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes) {
  return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace

std::uint64_t trailer_bound(std::uint64_t sample_count, const StoreOptions& store) {
  const auto leb = [](std::uint64_t v) {
    std::uint64_t n = 1;
    for (; v >= 0x80; v >>= 7) ++n;
    return n;
  };
  const std::uint64_t n = sample_count;
  // A sample is masked or corrected, never both (only finite unmasked samples
  // are corrected). A masked one costs at most its value (8 bytes), a run's
  // length - 1 and gap and its value's index (below n); a corrected one a gap,
  // a sign bit and its step count (at most 10 bytes). Gaps and lengths sum to
  // at most n over a list, and a varint of v takes at most 1 + v / 128 bytes.
  const std::uint64_t per_sample = std::max<std::uint64_t>(8 + 2 + leb(n), 1 + 1 + 10);
  const std::uint64_t spread = 2 * (n / 128 + 1);
  // DEFLATE adds to each of the two corrections lists no more than to the
  // longest list.
  const std::uint64_t longest_list = 10 * n + n / 128 + 1;
  const std::uint64_t deflated = 2 * (deflate_bound(longest_list) - longest_list);
  std::uint64_t total = kFixedSize + kCrcSize + n * per_sample + spread + deflated;
  total += 1 + 10 + 1 + 2 * 10;   // the mask: type, length; width, value and run counts
  total += 1 + 10 + 32 + 4 * 10;  // the corrections: grid, quantum, bare error, count, list sizes
  if (store.sample_rate) total += 2 + 8;
  if (store.channels) total += 2 + leb(*store.channels);
  total += 1 + leb(store.source_format.size()) + store.source_format.size();
  total += 2 + 1 + 3 * 8;  // the target asked for and reached
  total += 2 + 2 * 8;      // the signal's range
  // append_trailer refuses a longer one.
  return std::min<std::uint64_t>(total, UINT32_MAX);
}

std::expected<void, QuarnelError> append_trailer(std::vector<std::uint8_t>& stream,
                                                 const Trailer& t) {
  QUARNEL_TRY_ASSIGN(header, read_stream_header(stream));
  if (stream.size() != kHeaderSize + static_cast<std::uint64_t>(header.payload_length)) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "Can't append a trailer to a stream that has bytes after its payload"));
  }
  if (t.value_width != 4 && t.value_width != 8) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "A mask value is 4 or 8 bytes wide, not " + std::to_string(t.value_width)));
  }
  std::uint64_t end = 0;
  for (const MaskRun& r : t.mask) {
    if (r.start < end || r.length == 0 || r.length > header.sample_count - r.start ||
        r.value >= t.values.size()) {
      return std::unexpected(QuarnelError::unsupported_configuration(
          "A mask's runs must be ascending, disjoint, within the signal and name a value"));
    }
    end = r.start + r.length;
  }
  if (t.corrections) QUARNEL_TRY(check_corrections_list(*t.corrections, header.sample_count));
  if (const std::string fault = field_fault(t); !fault.empty()) {
    return std::unexpected(
        QuarnelError::unsupported_configuration("Can't write a trailer with " + fault));
  }

  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  Writer w(out);
  w.byte(kVersion);
  w.byte(0);
  w.fixed(0, 4);  // the length, known at the end
  if (!t.mask.empty()) record(out, kMask, mask_body(t));
  const auto add = [&](std::uint8_t type, auto&& fill_body) {
    std::vector<std::uint8_t> body;
    Writer b(body);
    fill_body(b);
    record(out, type, body);
  };
  if (t.sample_rate) add(kSampleRate, [&](Writer& b) { b.f64(*t.sample_rate); });
  if (t.channels) add(kChannels, [&](Writer& b) { b.varint(*t.channels); });
  if (!t.source_format.empty()) {
    add(kSourceFormat, [&](Writer& b) {
      b.bytes(
          {reinterpret_cast<const std::uint8_t*>(t.source_format.data()), t.source_format.size()});
    });
  }
  if (t.target) {
    add(kTarget, [&](Writer& b) {
      b.byte(static_cast<std::uint8_t>(t.target->kind));
      b.f64(t.target->value);
      b.f64(t.target->max_error);
      b.f64(t.target->psnr);
    });
  }
  if (t.corrections) {
    QUARNEL_TRY_ASSIGN(body, corrections_body(*t.corrections));
    record(out, t.corrections->grid ? kGridCorrections : kCorrections, body);
  }
  if (t.signal_range) {
    add(kSignalRange, [&](Writer& b) {
      b.f64(t.signal_range->first);
      b.f64(t.signal_range->second);
    });
  }
  const std::uint64_t length = out.size() + kCrcSize;
  if (length > UINT32_MAX) {
    return std::unexpected(QuarnelError::unsupported_configuration("The trailer exceeds 4 GiB"));
  }
  store_le32(out.data() + 6, static_cast<std::uint32_t>(length));

  stream.insert(stream.end(), out.begin(), out.end());
  Writer(stream).fixed(crc32_of(stream), 4);
  return {};
}

namespace {

// Whether a stream that looks bare ends in a trailer its header does not
// point to: one flipped bit of payload_length can move the payload's end
// onto the stream's, and the checksum, which covers the damaged header, can
// no longer tell. A trailer's magic, version and a length that reaches the
// stream's end exactly: 80 bits a bare stream matches by chance about once
// in 2^80 per byte.
bool ends_in_trailer(std::span<const std::uint8_t> stream) {
  const std::size_t n = stream.size();
  if (n < kHeaderSize + kFixedSize + kCrcSize) return false;
  for (std::size_t at = kHeaderSize; at + kFixedSize + kCrcSize <= n; ++at) {
    const auto* p = stream.data() + at;
    if (p[0] == kMagic[0] && std::equal(kMagic.begin(), kMagic.end(), p) && p[4] == kVersion &&
        p[5] == 0 && load_le32(stream.data() + at + 6) == n - at) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream) {
  return read_trailer(stream, false);
}

std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream, bool require_trailer) {
  QUARNEL_TRY_ASSIGN(header, read_stream_header(stream));
  // Before anything is sized by the header: the corrections below are
  // bounded by the sample count.
  QUARNEL_TRY(check_payload_holds(header));
  const std::size_t payload_end = kHeaderSize + header.payload_length;
  const auto rest = stream.subspan(payload_end);
  if (rest.empty()) {
    QUARNEL_CHECK(!require_trailer,
                  damaged("no trailer: the stream ends at its payload, but its writer adds one"));
    QUARNEL_CHECK(!ends_in_trailer(stream),
                  damaged("the stream ends in a trailer its header does not point to"));
    return std::optional<Trailer>();
  }

  QUARNEL_CHECK(rest.size() >= kFixedSize + kCrcSize &&
                    std::equal(kMagic.begin(), kMagic.end(), rest.begin()),
                damaged("bytes after the payload are not a trailer"));
  QUARNEL_CHECK(rest[4] == kVersion && rest[5] == 0,
                damaged("unknown trailer version " + std::to_string(rest[4]) + "." +
                        std::to_string(rest[5])));
  const std::uint64_t length = load_le32(rest.data() + 6);
  QUARNEL_CHECK(length == rest.size(),
                damaged("the trailer says " + std::to_string(length) + " bytes, but " +
                        std::to_string(rest.size()) + " follow the payload"));
  const std::size_t crc_at = stream.size() - kCrcSize;
  QUARNEL_CHECK(crc32_of(stream.first(crc_at)) == load_le32(stream.data() + crc_at),
                damaged("checksum mismatch"));

  Trailer t;
  Reader r(rest.subspan(kFixedSize, rest.size() - kFixedSize - kCrcSize));
  std::array<bool, 256> seen{};
  while (!r.done()) {
    QUARNEL_TRY_ASSIGN(type, r.byte());
    QUARNEL_TRY_ASSIGN(size, r.varint());
    QUARNEL_TRY_ASSIGN(body, r.take(size));
    QUARNEL_CHECK(!seen[type], damaged("trailer record " + std::to_string(type) + " twice"));
    seen[type] = true;
    QUARNEL_TRY(read_record(type, body, header.sample_count, t));
  }
  const std::string fault = field_fault(t);
  QUARNEL_CHECK(fault.empty(), damaged("trailer holds " + fault));
  const std::string forged = implausible_corrections(t, header);
  QUARNEL_CHECK(forged.empty(), damaged("trailer holds " + forged + ", which no writer makes"));
  return std::optional<Trailer>(std::move(t));
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
