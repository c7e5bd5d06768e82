// The trailer after a stream's payload: writer, reader and masks.
#include "quarnel/trailer.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "quarnel/decompressor.h"
#include "quarnel/header.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

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

QuarnelError damaged(std::string reason) {
  return QuarnelError::stream_damaged(std::move(reason));
}

std::string text(double v) {
  char out[32];
  std::snprintf(out, sizeof out, "%.6g", v);
  return out;
}

// Whether `s` is UTF-8 text: every sequence well formed and shortest, no
// surrogate, nothing past U+10FFFF.
bool utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
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
    if (static_cast<unsigned>(g.kind) > 2) {
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
  if (t.corrections) {
    const Corrections& c = *t.corrections;
    if (!(std::isfinite(c.quantum) && c.quantum > 0.0))
      return "correction quantum " + text(c.quantum);
    if (!(std::isfinite(c.bare_max_error) && c.bare_max_error >= 0.0)) {
      return "uncorrected error " + text(c.bare_max_error);
    }
    if (c.grid &&
        !(std::isfinite(c.grid->origin) && std::isfinite(c.grid->step) && c.grid->step > 0.0)) {
      return "grid of step " + text(c.grid->step) + " from " + text(c.grid->origin);
    }
  }
  return {};
}

// ----------------------------------------------------------------------------
// Writing

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}

  void byte(std::uint8_t b) { out_.push_back(b); }
  void varint(std::uint64_t v) {
    while (v >= 0x80) {
      byte(static_cast<std::uint8_t>(v | 0x80));
      v >>= 7;
    }
    byte(static_cast<std::uint8_t>(v));
  }
  void fixed(std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void f64(double v) { fixed(std::bit_cast<std::uint64_t>(v), 8); }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

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

// The list in three parts, each coded the way it is cheapest: the gaps
// between indices as varints, DEFLATEd; the signs of the steps as bits; and
// the step counts less one as varints, DEFLATEd (nearly all 0: the quantum is
// about twice the bound). Interleaved, gaps and steps would share one code and
// cost a bit or two more per correction.
std::expected<std::vector<std::uint8_t>, QuarnelError> corrections_body(const Corrections& c) {
  std::vector<std::uint8_t> gaps, signs((c.list.size() + 7) / 8), sizes;
  Writer g(gaps), z(sizes);
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < c.list.size(); ++i) {
    const Correction& k = c.list[i];
    g.varint(k.index - next);
    if (k.steps < 0) signs[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    z.varint((k.steps < 0 ? 0 - static_cast<std::uint64_t>(k.steps)
                          : static_cast<std::uint64_t>(k.steps)) -
             1);
    next = k.index + 1;
  }
  std::vector<std::uint8_t> body, packed;
  Writer w(body);
  if (c.grid) {
    w.f64(c.grid->origin);
    w.f64(c.grid->step);
  }
  w.f64(c.quantum);
  w.f64(c.bare_max_error);
  w.varint(c.list.size());
  w.varint(gaps.size());
  QUARNEL_TRY(deflate_append(gaps, packed));
  w.varint(packed.size());
  w.bytes(packed);
  w.bytes(signs);
  w.varint(sizes.size());
  QUARNEL_TRY(deflate_append(sizes, body));
  return body;
}

// ----------------------------------------------------------------------------
// Reading: every read is bounds-checked, though the checksum has already
// vouched for the bytes, so that a trailer forged with a valid CRC is refused
// cleanly too.

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

  bool done() const { return at_ == in_.size(); }
  std::size_t left() const { return in_.size() - at_; }

  std::expected<std::uint8_t, QuarnelError> byte() {
    QUARNEL_CHECK(at_ < in_.size(), damaged("trailer record cut short"));
    return in_[at_++];
  }
  std::expected<std::uint64_t, QuarnelError> varint() {
    std::uint64_t v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      const auto b = byte();
      if (!b) return Unexpected(b.error());
      QUARNEL_CHECK(shift < 63 || *b <= 1, damaged("trailer number too large"));
      v |= static_cast<std::uint64_t>(*b & 0x7F) << shift;
      if (!(*b & 0x80)) return v;
    }
    return Unexpected(damaged("trailer number too large"));
  }
  std::expected<std::uint64_t, QuarnelError> fixed(std::size_t width) {
    QUARNEL_CHECK(left() >= width, damaged("trailer record cut short"));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
      v |= static_cast<std::uint64_t>(in_[at_ + i]) << (8 * i);
    at_ += width;
    return v;
  }
  std::expected<double, QuarnelError> f64() {
    const auto v = fixed(8);
    if (!v) return Unexpected(v.error());
    return std::bit_cast<double>(*v);
  }
  std::expected<std::span<const std::uint8_t>, QuarnelError> take(std::uint64_t n) {
    QUARNEL_CHECK(n <= left(), damaged("trailer record cut short"));
    const auto s = in_.subspan(at_, static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return s;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
};

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

// A DEFLATEd list of `size` bytes holding `count` varints, checked before it
// is inflated: a varint takes one to ten bytes, and DEFLATE expands by 1032:1
// at most, so a forged size allocates nothing large.
std::expected<InflatedBytes, QuarnelError> inflated_list(std::span<const std::uint8_t> packed,
                                                         std::uint64_t size, std::uint64_t count) {
  QUARNEL_CHECK(size >= count && size <= 10 * count && size <= 1032 * packed.size() + 1024,
                damaged("corrections list of " + std::to_string(count) + " in " +
                        std::to_string(size) + " bytes"));
  auto list = inflate_payload(packed, size);
  if (!list || list->size != size) return Unexpected(damaged("corrections do not inflate"));
  return list;
}

// The corrections in any layout: kInterleavedCorrections, gap and zigzagged
// steps after each other in one list, as the first writers stored them; else
// in three parts (corrections_body()), after the grid for kGridCorrections.
std::expected<void, QuarnelError> read_corrections(std::span<const std::uint8_t> body,
                                                   std::uint64_t sample_count, std::uint8_t type,
                                                   Trailer& t) {
  const bool interleaved = type == kInterleavedCorrections;
  Reader r(body);
  Corrections c;
  if (type == kGridCorrections) {
    QUARNEL_TRY_ASSIGN(origin, r.f64());
    QUARNEL_TRY_ASSIGN(step, r.f64());
    c.grid = Grid{origin, step};
  }
  QUARNEL_TRY_ASSIGN(quantum, r.f64());
  QUARNEL_TRY_ASSIGN(bare, r.f64());
  c.quantum = quantum;
  c.bare_max_error = bare;
  QUARNEL_TRY_ASSIGN(count, r.varint());
  QUARNEL_CHECK(count <= sample_count, damaged("more corrections than samples"));
  QUARNEL_TRY_ASSIGN(gaps_size, r.varint());
  std::span<const std::uint8_t> gaps_packed, signs, sizes_packed;
  std::uint64_t sizes_size = 0;
  if (interleaved) {
    QUARNEL_TRY_ASSIGN(all, r.take(r.left()));
    gaps_packed = all;
  } else {
    QUARNEL_TRY_ASSIGN(gaps_packed_size, r.varint());
    QUARNEL_TRY_ASSIGN(g, r.take(gaps_packed_size));
    QUARNEL_TRY_ASSIGN(b, r.take((count + 7) / 8));
    QUARNEL_TRY_ASSIGN(z, r.varint());
    QUARNEL_TRY_ASSIGN(rest, r.take(r.left()));
    gaps_packed = g, signs = b, sizes_size = z, sizes_packed = rest;
    QUARNEL_CHECK(count % 8 == 0 || signs.back() >> (count % 8) == 0,
                  damaged("corrections sign bits beyond the count"));
  }
  QUARNEL_TRY_ASSIGN(gaps, inflated_list(gaps_packed, gaps_size, interleaved ? 2 * count : count));
  InflatedBytes sizes;
  if (!interleaved) {
    QUARNEL_TRY_ASSIGN(z, inflated_list(sizes_packed, sizes_size, count));
    sizes = std::move(z);
  }
  Reader l(gaps.bytes()), m(sizes.bytes());
  c.list.reserve(static_cast<std::size_t>(count));
  std::uint64_t next = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    QUARNEL_TRY_ASSIGN(gap, l.varint());
    QUARNEL_CHECK(gap < sample_count - next, damaged("correction beyond the signal"));
    std::int64_t steps = 0;
    if (interleaved) {
      QUARNEL_TRY_ASSIGN(zigzag, l.varint());
      steps = static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
      QUARNEL_CHECK(steps != 0, damaged("correction of no steps"));
    } else {
      QUARNEL_TRY_ASSIGN(less_one, m.varint());
      const bool negative = signs[i / 8] >> (i % 8) & 1;
      // Down to INT64_MIN, whose size has no positive twin.
      QUARNEL_CHECK(less_one < (negative ? std::uint64_t{1} << 63 : std::uint64_t{INT64_MAX}),
                    damaged("correction too large"));
      const std::uint64_t size = less_one + 1;
      steps = static_cast<std::int64_t>(negative ? 0 - size : size);
    }
    c.list.push_back({next + gap, steps});
    next += gap + 1;
  }
  QUARNEL_CHECK(l.done() && m.done(), damaged("corrections list longer than its count"));
  t.corrections = std::move(c);
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
    case kGridCorrections:
      // One list of corrections, in whichever layout.
      QUARNEL_CHECK(!t.corrections, damaged("trailer holds two lists of corrections"));
      return read_corrections(body, sample_count, type, t);
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

template <typename T>
std::uint64_t bits_of(T x) {
  if constexpr (sizeof(T) == 4) {
    return std::bit_cast<std::uint32_t>(x);
  } else {
    return std::bit_cast<std::uint64_t>(x);
  }
}

template <typename T>
Trailer mask_of_impl(std::span<const T> samples, std::optional<double> fill) {
  Trailer t;
  t.value_width = sizeof(T);
  // Values are few (NaN, the infinities, the fill, its signed zero): a linear
  // search beats a map.
  const auto index_of = [&](std::uint64_t bits) {
    for (std::size_t i = 0; i < t.values.size(); ++i) {
      if (t.values[i] == bits) return static_cast<std::uint32_t>(i);
    }
    t.values.push_back(bits);
    return static_cast<std::uint32_t>(t.values.size() - 1);
  };
  const bool has_fill = fill.has_value() && !std::isnan(*fill);
  const T fill_value = has_fill ? static_cast<T>(*fill) : T(0);
  // A fill value the samples' type cannot hold equals none of them.
  const bool fill_exact = has_fill && static_cast<double>(fill_value) == *fill;
  // Not finite (NaN fails the comparison) or the fill.
  const auto masked = [&](T x) {
    return !(std::abs(x) <= std::numeric_limits<T>::max()) || (fill_exact && x == fill_value);
  };
  // The same test on the bits, in a form the compiler vectorises for either
  // type on plain SSE2, which compares no 64-bit integers: a >= b as the top
  // bit of a - b (both below it), a == b as a zero a ^ b. The fill is its
  // bits, and the other zero's for a fill of 0; without a fill, the
  // infinity, which is masked anyway.
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits kMagnitude = ~Bits{0} >> 1;
  constexpr Bits kInfinity = std::bit_cast<Bits>(std::numeric_limits<T>::infinity());
  constexpr unsigned kTop = 8 * sizeof(Bits) - 1;
  const Bits fill_bits = fill_exact ? std::bit_cast<Bits>(fill_value) : kInfinity;
  const Bits other_bits = fill_exact && fill_value == T(0) ? fill_bits ^ ~kMagnitude : fill_bits;
  const auto differs = [](Bits a, Bits b) { return ((a ^ b) | (0 - (a ^ b))) >> kTop; };
  // Most blocks hold nothing to mask: one test each, and the run-building
  // loop only where a block holds something.
  constexpr std::size_t kBlock = 512;
  std::uint64_t run_bits = 0;
  for (std::size_t start = 0; start < samples.size(); start += kBlock) {
    const std::size_t end = std::min(samples.size(), start + kBlock);
    Bits any = 0;
    for (std::size_t i = start; i < end; ++i) {
      const Bits b = std::bit_cast<Bits>(samples[i]);
      any |= ~((b & kMagnitude) - kInfinity) >> kTop;
      any |= (differs(b, fill_bits) & differs(b, other_bits)) ^ 1;
    }
    if (!any) continue;
    for (std::size_t i = start; i < end; ++i) {
      const T x = samples[i];
      if (!masked(x)) continue;
      const std::uint64_t bits = bits_of(x);
      if (!t.mask.empty() && t.mask.back().start + t.mask.back().length == i && run_bits == bits) {
        ++t.mask.back().length;
        continue;
      }
      t.mask.push_back({i, 1, index_of(bits)});
      run_bits = bits;
    }
  }
  return t;
}

template <typename T>
void apply_mask_impl(const Trailer& t, std::span<T> samples) {
  for (const MaskRun& r : t.mask) {
    const std::uint64_t bits = t.values[r.value];
    T v;
    if constexpr (sizeof(T) == 4) {
      v = t.value_width == 4 ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                             : static_cast<float>(std::bit_cast<double>(bits));
    } else {
      v = t.value_width == 8
              ? std::bit_cast<double>(bits)
              : static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    }
    const std::size_t end =
        static_cast<std::size_t>(std::min<std::uint64_t>(r.start + r.length, samples.size()));
    for (std::size_t i = static_cast<std::size_t>(r.start); i < end; ++i) samples[i] = v;
  }
}

}  // namespace

Trailer mask_of(std::span<const float> samples, std::optional<double> fill) {
  return mask_of_impl(samples, fill);
}
Trailer mask_of(std::span<const double> samples, std::optional<double> fill) {
  return mask_of_impl(samples, fill);
}

void apply_corrections(const Trailer& trailer, std::span<float> samples) {
  if (!trailer.corrections) return;
  const double quantum = trailer.corrections->quantum;
  for (const Correction& k : trailer.corrections->list) {
    samples[k.index] = corrected_sample(samples[k.index], k.steps, quantum);
  }
  if (const auto& grid = trailer.corrections->grid) {
    for (float& x : samples) x = on_grid(x, *grid);
  }
}

void apply_mask(const Trailer& trailer, std::span<float> samples) {
  apply_mask_impl(trailer, samples);
}
void apply_mask(const Trailer& trailer, std::span<double> samples) {
  apply_mask_impl(trailer, samples);
}

std::uint64_t masked_count(const Trailer& trailer) {
  std::uint64_t n = 0;
  for (const MaskRun& r : trailer.mask) n += r.length;
  return n;
}

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
  const auto header = read_stream_header(stream);
  if (!header) return Unexpected(header.error());
  if (stream.size() != kHeaderSize + static_cast<std::uint64_t>(header->payload_length)) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't append a trailer to a stream that has bytes after its payload"));
  }
  if (t.value_width != 4 && t.value_width != 8) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "A mask value is 4 or 8 bytes wide, not " + std::to_string(t.value_width)));
  }
  std::uint64_t end = 0;
  for (const MaskRun& r : t.mask) {
    if (r.start < end || r.length == 0 || r.length > header->sample_count - r.start ||
        r.value >= t.values.size()) {
      return Unexpected(QuarnelError::unsupported_configuration(
          "A mask's runs must be ascending, disjoint, within the signal and name a value"));
    }
    end = r.start + r.length;
  }
  if (t.corrections) {
    std::uint64_t next = 0;
    for (const Correction& k : t.corrections->list) {
      if (k.index < next || k.index >= header->sample_count || k.steps == 0) {
        return Unexpected(QuarnelError::unsupported_configuration(
            "Corrections must name ascending samples within the signal, each moved"));
      }
      next = k.index + 1;
    }
  }
  if (const std::string fault = field_fault(t); !fault.empty()) {
    return Unexpected(
        QuarnelError::unsupported_configuration("Can't write a trailer with " + fault));
  }

  std::vector<std::uint8_t> out;
  Writer w(out);
  w.bytes(kMagic);
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
    auto body = corrections_body(*t.corrections);
    if (!body) return Unexpected(body.error());
    record(out, t.corrections->grid ? kGridCorrections : kCorrections, *body);
  }
  if (t.signal_range) {
    add(kSignalRange, [&](Writer& b) {
      b.f64(t.signal_range->first);
      b.f64(t.signal_range->second);
    });
  }
  const std::uint64_t length = out.size() + kCrcSize;
  if (length > UINT32_MAX) {
    return Unexpected(QuarnelError::unsupported_configuration("The trailer exceeds 4 GiB"));
  }
  for (std::size_t i = 0; i < 4; ++i) out[6 + i] = static_cast<std::uint8_t>(length >> (8 * i));

  stream.insert(stream.end(), out.begin(), out.end());
  Writer(stream).fixed(crc32_of(stream), 4);
  return {};
}

namespace {

std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  return v;
}

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
        p[5] == 0 && load_u32(stream, at + 6) == n - at) {
      return true;
    }
  }
  return false;
}

// What no writer makes, though a checksum vouches for it (a checksum guards
// against accidents, not forgery): corrections or a grid that would move
// samples far from the stored range. Empty when the trailer is plausible.
// A writer measures the uncorrected error against the signal, so it lies
// within the stored range's reach; a correction moves a sample by about
// that error, in quanta under twice it; its grid starts at the signal's
// smallest value and has from one to 2^24 steps over its range.
std::string implausible(const Trailer& t, const QuarnelHeader& h) {
  if (!t.corrections) return {};
  const Corrections& c = *t.corrections;
  const double lo = h.min_value, hi = h.max_value;
  const double magnitude = std::max(std::abs(lo), std::abs(hi));
  if (!(c.bare_max_error <= 2 * (hi - lo) + magnitude)) {
    return "an uncorrected error of " + text(c.bare_max_error) + " for a range of [" + text(lo) +
           ", " + text(hi) + "]";
  }
  if (!c.list.empty() && !(c.quantum <= 2 * c.bare_max_error)) {
    return "a correction quantum of " + text(c.quantum) + " for an uncorrected error of " +
           text(c.bare_max_error);
  }
  for (const Correction& k : c.list) {
    if (!(std::abs(static_cast<double>(k.steps)) * c.quantum <= c.bare_max_error + 2 * c.quantum)) {
      return "a correction of " + std::to_string(k.steps) + " quanta of " + text(c.quantum) +
             " for an uncorrected error of " + text(c.bare_max_error);
    }
  }
  if (const auto& g = c.grid) {
    const auto [glo, ghi] = t.signal_range.value_or(std::pair<double, double>{lo, hi});
    const double width = ghi - glo;
    // float32 rounding of a float64 signal's range
    const double slack = 0x1p-20 * std::max(std::abs(glo), std::abs(ghi));
    if (!(g->step <= width + slack && g->step * 0x1p25 >= width &&
          g->origin >= glo - g->step - slack && g->origin <= ghi + g->step + slack)) {
      return "a grid of step " + text(g->step) + " from " + text(g->origin) + " for a range of [" +
             text(glo) + ", " + text(ghi) + "]";
    }
  }
  return {};
}

}  // namespace

std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream) {
  return read_trailer(stream, false);
}

std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream, bool require_trailer) {
  const auto header = read_stream_header(stream);
  if (!header) return Unexpected(header.error());
  // Before anything is sized by the header: the corrections below are
  // bounded by the sample count.
  QUARNEL_TRY(check_payload_holds(*header));
  const std::size_t payload_end = kHeaderSize + header->payload_length;
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
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= static_cast<std::uint64_t>(rest[6 + i]) << (8 * i);
  QUARNEL_CHECK(length == rest.size(),
                damaged("the trailer says " + std::to_string(length) + " bytes, but " +
                        std::to_string(rest.size()) + " follow the payload"));
  const std::size_t crc_at = stream.size() - kCrcSize;
  std::uint32_t stored = 0;
  for (std::size_t i = 0; i < 4; ++i)
    stored |= static_cast<std::uint32_t>(stream[crc_at + i]) << (8 * i);
  QUARNEL_CHECK(crc32_of(stream.first(crc_at)) == stored, damaged("checksum mismatch"));

  Trailer t;
  Reader r(rest.subspan(kFixedSize, rest.size() - kFixedSize - kCrcSize));
  std::array<bool, 256> seen{};
  while (!r.done()) {
    QUARNEL_TRY_ASSIGN(type, r.byte());
    QUARNEL_TRY_ASSIGN(size, r.varint());
    QUARNEL_TRY_ASSIGN(body, r.take(size));
    QUARNEL_CHECK(!seen[type], damaged("trailer record " + std::to_string(type) + " twice"));
    seen[type] = true;
    QUARNEL_TRY(read_record(type, body, header->sample_count, t));
  }
  const std::string fault = field_fault(t);
  QUARNEL_CHECK(fault.empty(), damaged("trailer holds " + fault));
  const std::string forged = implausible(t, *header);
  QUARNEL_CHECK(forged.empty(), damaged("trailer holds " + forged + ", which no writer makes"));
  return std::optional<Trailer>(std::move(t));
}

std::expected<DecodedStream, QuarnelError> decompress_with_trailer(
    std::span<const std::uint8_t> stream, unsigned threads, bool require_trailer) {
  auto trailer = read_trailer(stream, require_trailer);
  if (!trailer) return Unexpected(trailer.error());
  // A stream the trailer's checksum vouches for is read by the faster
  // inflater; a bare one keeps zlib's outcome on damaged bytes.
  auto samples = decompress(stream, threads, *trailer ? Inflater::libdeflate : Inflater::zlib);
  if (!samples) return Unexpected(samples.error());
  DecodedStream out{std::move(*samples), std::move(*trailer)};
  if (out.trailer) {
    apply_corrections(*out.trailer, out.samples);
    apply_mask(*out.trailer, out.samples);
  }
  return out;
}

std::expected<std::optional<Trailer>, QuarnelError> decompress_with_trailer_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place, bool require_trailer) {
  auto trailer = read_trailer(stream, require_trailer);
  if (!trailer) return Unexpected(trailer.error());
  std::span<float> samples;
  const auto placed = [&](std::size_t count) { return samples = place(count); };
  auto decoded =
      decompress_into(stream, threads, placed, *trailer ? Inflater::libdeflate : Inflater::zlib);
  if (!decoded) return Unexpected(decoded.error());
  if (*trailer) {
    apply_corrections(**trailer, samples);
    apply_mask(**trailer, samples);
  }
  return trailer;
}

#undef QUARNEL_TRY

}  // namespace QUARNEL_ABI
}  // namespace quarnel
