// The error-bounded encoder: every stream decodes with decompress() to
// samples that meet the target, and the figures it reports are those of that
// decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "heap_probe.h"
#include "quarnel/quarnel.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"

namespace quarnel::testing {
namespace {

struct Measured {
  double max_error = 0.0;
  double rms_error = 0.0;
  double range = 0.0;
};

// Measured here from decompress(), independently of the encoder's own check,
// against the caller's values in their own precision.
template <typename T>
Measured measure(std::span<const T> x, std::span<const float> y) {
  Measured m;
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  double sum = 0.0;
  std::size_t finite = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    lo = std::min<double>(lo, x[i]);
    hi = std::max<double>(hi, x[i]);
    const double e = std::abs(static_cast<double>(y[i]) - static_cast<double>(x[i]));
    m.max_error = std::max(m.max_error, e);
    sum += e * e;
    ++finite;
  }
  m.range = finite ? hi - lo : 0.0;
  m.rms_error = finite ? std::sqrt(sum / static_cast<double>(finite)) : 0.0;
  return m;
}

std::vector<float> nan_laced(std::size_t n) {
  std::vector<float> x = sines(n);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
  for (std::size_t i = 0; i < n; i += 37) x[i] = specials[(i / 37) % 3];
  return x;
}

enum class Kind { walk, steps, noise, sine, nan_laced, constant };

std::vector<float> signal_of(Kind kind, std::size_t n) {
  switch (kind) {
    case Kind::walk:
      return random_walk(n, 11);
    case Kind::steps:
      return triangle_steps(n);
    case Kind::noise:
      return noise(n, 12, 3.0f);
    case Kind::sine:
      return sines(n);
    case Kind::nan_laced:
      return nan_laced(n);
    case Kind::constant:
      return std::vector<float>(n, -2.75f);
  }
  return {};
}

// Targets loose enough for every kind, tight enough to need many bits.
BoundedOptions target_of(ErrorTarget kind) {
  BoundedOptions o;
  o.target = kind;
  o.value = kind == ErrorTarget::max_error        ? 0.01
            : kind == ErrorTarget::relative_error ? 3e-3
                                                  : 50.0;
  return o;
}

double psnr_of(const Measured& m) {
  return 20.0 * std::log10(m.range / m.rms_error);
}

// Encodes, decodes with decompress() and checks the target, the reported
// figures and the header against that decode.
template <typename T>
void expect_bound_holds_on(std::span<const T> x, const BoundedOptions& o) {
  auto result = compress_bounded(x, o, 1);
  ASSERT_TRUE(result.has_value()) << result.error().message();
  auto y = decompress(result->stream);
  ASSERT_TRUE(y.has_value()) << y.error().message();
  ASSERT_EQ(y->size(), x.size());
  const Measured m = measure(x, *y);
  switch (o.target) {
    case ErrorTarget::max_error:
      EXPECT_LE(m.max_error, o.value);
      break;
    case ErrorTarget::relative_error:
      EXPECT_LE(m.max_error, o.value * m.range);
      break;
    case ErrorTarget::psnr:
      if (m.rms_error > 0.0) {
        EXPECT_GE(psnr_of(m), o.value);
      }
      break;
  }
  // The encoder's figures are those of the decoder's samples, to the bit.
  EXPECT_EQ(result->max_error, m.max_error);
  if (m.rms_error == 0.0) {
    EXPECT_EQ(result->psnr, std::numeric_limits<double>::infinity());
  } else {
    EXPECT_NEAR(result->psnr, psnr_of(m), 1e-9);
  }
  const QuarnelHeader h = header_of(result->stream);
  EXPECT_EQ(h.method_tag, method_tag(result->method));
  EXPECT_EQ(h.levels, result->levels);
  EXPECT_EQ(h.scale, result->scale);
  EXPECT_EQ(h.coder, result->coder == CoderChoice::deflate ? kCoderDeflate : kCoderArans);
  EXPECT_EQ(result->method, o.method.value_or(result->method));
  EXPECT_EQ(result->coder, o.coder == CoderChoice::auto_ ? result->coder : o.coder);
  // The header's min is the smallest finite sample; its max bounds them too,
  // unless a step finer than the range's 2^-12 stored a narrower range.
  float lo = std::numeric_limits<float>::infinity(), hi = -lo;
  for (const T v : x) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, static_cast<float>(v));
    hi = std::max(hi, static_cast<float>(v));
  }
  if (lo <= hi) {
    EXPECT_EQ(h.min_value, lo);
    EXPECT_TRUE(h.max_value >= hi || h.scale == 12) << h.max_value << " " << hi;
  }
  // Non-finite samples come back as finite values near a neighbour.
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_TRUE(std::isfinite(x[i]) || std::isfinite((*y)[i])) << i;
  }
}

void expect_bound_holds(std::span<const float> x, const BoundedOptions& o) {
  expect_bound_holds_on(x, o);
}
void expect_bound_holds(std::span<const double> x, const BoundedOptions& o) {
  expect_bound_holds_on(x, o);
}

// A refusal names the tightest figure, and given back as the target that
// figure is met.
template <typename T>
void expect_tightest_is_reached(std::span<const T> x, BoundedOptions o, const std::string& prefix) {
  const auto refused = compress_bounded(x, o, 1);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), QuarnelErrorKind::BoundUnreachable);
  const std::string message = refused.error().message();
  ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
  o.value = std::strtod(message.c_str() + prefix.size(), nullptr);
  expect_bound_holds_on(x, o);
}

class BoundHolds : public ::testing::TestWithParam<std::tuple<Kind, ErrorTarget>> {};

TEST_P(BoundHolds, OnEverySignalKind) {
  const auto [kind, target] = GetParam();
  expect_bound_holds(signal_of(kind, 6000), target_of(target));
}

TEST_P(BoundHolds, OnVeryShortSignals) {
  const auto [kind, target] = GetParam();
  for (std::size_t n = 1; n <= 20; ++n) {
    SCOPED_TRACE(n);
    expect_bound_holds(signal_of(kind, n), target_of(target));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundHolds,
    ::testing::Combine(::testing::Values(Kind::walk, Kind::steps, Kind::noise, Kind::sine,
                                         Kind::nan_laced, Kind::constant),
                       ::testing::Values(ErrorTarget::max_error, ErrorTarget::relative_error,
                                         ErrorTarget::psnr)));

class PinnedChoices
    : public ::testing::TestWithParam<std::tuple<WaveletMethod, CoderChoice, ErrorTarget>> {};

TEST_P(PinnedChoices, AreKeptAndTheBoundHolds) {
  const auto [method, coder, target] = GetParam();
  BoundedOptions o = target_of(target);
  o.method = method;
  o.coder = coder;
  expect_bound_holds(ecg_like(3000), o);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PinnedChoices,
    ::testing::Combine(::testing::ValuesIn(kMethods),
                       ::testing::Values(CoderChoice::deflate, CoderChoice::arans),
                       ::testing::Values(ErrorTarget::max_error, ErrorTarget::psnr)));

// Left to the encoder, the coder of a sparse payload is the smaller of the
// rANS coder and DEFLATE at its smallest level, whatever level was asked for.
TEST(Bounded, LeftToItselfTheCoderIsTheSmallerOfTheTwo) {
  const std::vector<float> x = ecg_like(20000);
  for (const double psnr : {30.0, 40.0}) {
    SCOPED_TRACE(psnr);
    BoundedOptions o;
    o.target = ErrorTarget::psnr;
    o.value = psnr;
    const auto left = compress_bounded(x, o);
    ASSERT_TRUE(left.has_value()) << left.error().message();
    o.coder = CoderChoice::arans;
    const std::size_t rans = compress_bounded(x, o)->stream.size();
    o.coder = CoderChoice::deflate;
    o.deflate_level = kMaxDeflateLevel;
    const std::size_t deflate = compress_bounded(x, o)->stream.size();
    EXPECT_EQ(left->stream.size(), std::min(rans, deflate));
    EXPECT_LT(deflate, rans);  // the case the trial is for
  }
}

// A tighter target is met with a larger stream, and never a looser one.
TEST(Bounded, TighterTargetsCostMoreAndStillHold) {
  const std::vector<float> x = sines(20000);
  std::size_t previous = 0;
  for (const double psnr : {35.0, 50.0, 65.0, 75.0}) {
    BoundedOptions o;
    o.target = ErrorTarget::psnr;
    o.value = psnr;
    expect_bound_holds(x, o);
    const std::size_t size = compress_bounded(x, o)->stream.size();
    EXPECT_GT(size, previous) << psnr;
    previous = size;
  }
}

// Near the float32 limit the stored range cannot widen much: here steps up to
// 1.13 times a power of two remain, up to 5 dB off a target, yet the step
// must come that close rather than fall back to the finest (82 dB here).
TEST(Bounded, LoudSignalsNearTheFloatLimit) {
  std::vector<float> x = noise(5000, 13, 1e38f);
  x[0] = -1.5e38f;
  x[1] = 1.5e38f;
  for (const double psnr : {50.0, 60.0}) {
    BoundedOptions o;
    o.target = ErrorTarget::psnr;
    o.value = psnr;
    expect_bound_holds(x, o);
    EXPECT_LT(compress_bounded(x, o)->psnr, psnr + 6.0);
  }
}

struct Unreachable {
  ErrorTarget target;
  double value;
  std::string prefix;
};
const Unreachable kUnreachable[] = {
    {ErrorTarget::max_error, 1e-9,
     "Can't meet max error 1e-09: the tightest this signal allows is "},
    {ErrorTarget::relative_error, 1e-7,
     "Can't meet relative error 1e-07: the tightest this signal allows is "},
    {ErrorTarget::psnr, 140.0, "Can't meet PSNR 140 dB: the highest this signal allows is "}};

TEST(Bounded, UnreachableTargetNamesTheTightestErrorItCanReach) {
  const std::vector<float> x = sines(4000);
  for (const Unreachable& c : kUnreachable) {
    BoundedOptions o;
    o.target = c.target;
    o.value = c.value;
    expect_tightest_is_reached<float>(x, o, c.prefix);
  }
}

enum class Shape { impulse, saw, square };

std::vector<float> shape_of(Shape shape, std::size_t n) {
  std::vector<float> x(n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::impulse:
        x[i] = i + 1 == n ? 100.0f : 0.0f;
        break;
      case Shape::saw:
        x[i] = static_cast<float>(i % 3) * 0.3f - 0.7f;
        break;
      case Shape::square:
        x[i] = (i / 8) % 2 ? 1.0f : -1.0f;
        break;
    }
  }
  return x;
}

// What compress() reaches with some wavelet and scale, the bounded encoder
// reaches too; and where nothing reaches a target, the figure it names does.
class ReachesWhatCompressReaches : public ::testing::TestWithParam<std::tuple<Shape, ErrorTarget>> {
};

TEST_P(ReachesWhatCompressReaches, OnShortSignals) {
  const auto [shape, target] = GetParam();
  for (const std::size_t n : {2, 3, 4, 5, 7, 8, 12, 16, 17, 24, 31, 40, 64, 100, 128}) {
    SCOPED_TRACE(n);
    const std::vector<float> x = shape_of(shape, n);
    BoundedOptions o;
    o.target = target;
    for (const WaveletMethod method : kMethods) {
      for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
        SCOPED_TRACE(::testing::Message() << name_of(method) << " scale " << int{scale});
        const auto stream = compress(x, {.method = method, .scale = scale});
        if (!stream) continue;  // a coefficient beyond 16 bits
        const Measured m = measure<float>(x, decompress(*stream).value());
        // The PSNR target keeps its hair of 1e-9 in the RMS error.
        o.value = target == ErrorTarget::max_error ? m.max_error
                  : m.rms_error == 0.0             ? 1e4
                                                   : psnr_of(m) - 1e-6;
        expect_bound_holds(x, o);
      }
    }
    o.value = target == ErrorTarget::max_error ? 0.0 : 1e4;
    if (!compress_bounded(x, o).has_value()) {
      expect_tightest_is_reached<float>(
          x, o,
          target == ErrorTarget::max_error
              ? "Can't meet max error 0: the tightest this signal allows is "
              : "Can't meet PSNR 10000 dB: the highest this signal allows is ");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReachesWhatCompressReaches,
    ::testing::Combine(::testing::Values(Shape::impulse, Shape::saw, Shape::square),
                       ::testing::Values(ErrorTarget::max_error, ErrorTarget::psnr)));

// A stream that brings every finite sample back exactly meets any PSNR, even
// where the range is 0 and the target's power of ten overflows.
class ExactStreams : public ::testing::TestWithParam<double> {};

TEST_P(ExactStreams, MeetAnyPsnr) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  BoundedOptions o;
  o.target = ErrorTarget::psnr;
  o.value = GetParam();
  for (const std::vector<float>& x :
       {std::vector<float>(50, -2.75f), std::vector<float>{4.5f}, std::vector<float>(9, nan)}) {
    SCOPED_TRACE(x.size());
    expect_bound_holds(x, o);  // with a PSNR of +inf
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExactStreams, ::testing::Values(-1e300, -1e4, 0.0, 1e4, 1e300));

// float64 input: coded as float32, measured as float64. Near 1000 float32
// values lie 6.1e-5 apart, so no stream comes closer than half that.
TEST(Bounded, Float64InputIsMeasuredAgainstItsOwnValues) {
  std::vector<double> x(5000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1000.0 + 1e-3 * std::sin(0.01 * i);
  BoundedOptions o;
  o.value = 1e-5;
  expect_tightest_is_reached<double>(
      x, o, "Can't meet max error 1e-05: the tightest this signal allows is ");
  for (const Unreachable& c : kUnreachable) {
    o.target = c.target;
    o.value = c.value;
    expect_tightest_is_reached<double>(x, o, c.prefix);
  }
  // Reachable targets, the range being the float64 values'.
  for (const ErrorTarget target :
       {ErrorTarget::max_error, ErrorTarget::relative_error, ErrorTarget::psnr}) {
    o.target = target;
    o.value = target == ErrorTarget::max_error ? 1e-4 : target == ErrorTarget::psnr ? 30.0 : 0.05;
    expect_bound_holds(x, o);
  }
}

// float64 values that are float32 values code exactly as those.
TEST(Bounded, Float64ValuesHeldByFloat32CodeAsFloat32) {
  const std::vector<float> x = nan_laced(3000);
  const std::vector<double> wide(x.begin(), x.end());
  for (const ErrorTarget target :
       {ErrorTarget::max_error, ErrorTarget::relative_error, ErrorTarget::psnr}) {
    const BoundedOptions o = target_of(target);
    const auto narrow_result = compress_bounded(x, o);
    const auto wide_result = compress_bounded(wide, o, 1);
    ASSERT_TRUE(narrow_result && wide_result);
    EXPECT_EQ(narrow_result->stream, wide_result->stream);
    EXPECT_EQ(narrow_result->max_error, wide_result->max_error);
    EXPECT_EQ(narrow_result->psnr, wide_result->psnr);
  }
}

// A finite float64 sample that float32 cannot hold is refused, not dropped;
// one that rounds to the largest float32 is coded.
TEST(Bounded, Float64BeyondTheFloat32RangeIsRefused) {
  struct Case {
    std::size_t at;
    double value;
    std::string message;  // empty: coded
  };
  for (const Case& c : {
           Case{2, 1e300, "sample 2 holds 1e+300, beyond the float32 range"},
           Case{13, -3.5e38, "sample 13 holds -3.5e+38, beyond the float32 range"},
           Case{13, 0x1.ffffffp127, "sample 13 holds 3.40282e+38, beyond the float32 range"},
           Case{5, 0x1.fffffefffffffp127, ""},
           Case{5, std::numeric_limits<double>::infinity(), ""},
       }) {
    SCOPED_TRACE(c.value);
    std::vector<double> x;
    for (int i = 0; i < 10; ++i) x.insert(x.end(), {0.0, 1.0, 3.0, 2.0});
    x[c.at] = c.value;
    BoundedOptions o;
    o.value = 1e-3;
    if (c.message.empty()) {
      o.target = ErrorTarget::relative_error;  // the range may be the largest float32
      expect_bound_holds(x, o);
      continue;
    }
    const auto refused = compress_bounded(x, o, 1);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(),
              "Unsupported compression configuration '" + c.message + "'");
  }
}

// A constant that float32 cannot hold has a range of 0: a relative error or
// a PSNR asks for an exact stream, and the refusal names the largest error
// there is to be had, which is met, rather than an infinite figure.
TEST(Bounded, AConstantFloat32CannotHoldNamesItsLargestError) {
  const std::vector<double> x(100, 0.1);
  const std::string exact =
      ": the signal's range is 0, which asks for an exact stream; the tightest max error this "
      "signal allows is 1.5e-09";
  for (const auto& [target, value, asked] :
       {std::tuple{ErrorTarget::relative_error, 1e-3, "relative error 0.001"},
        std::tuple{ErrorTarget::psnr, 60.0, "PSNR 60 dB"}}) {
    BoundedOptions o;
    o.target = target;
    o.value = value;
    const auto refused = compress_bounded(x, o, 1);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "Can't meet " + std::string(asked) + exact);
  }
  BoundedOptions o;
  o.value = 1.5e-9;
  const auto met = compress_bounded(x, o, 1);
  ASSERT_TRUE(met.has_value()) << met.error().message();
  EXPECT_LE(met->max_error, o.value);
  EXPECT_EQ(measure<double>(x, decompress(met->stream).value()).max_error, met->max_error);
}

TEST(Bounded, RefusesWhatCompressRefusesAndNonsenseTargets) {
  const std::vector<float> x = sines(100);
  BoundedOptions o = target_of(ErrorTarget::max_error);
  EXPECT_EQ(compress_bounded(std::span<const float>(), o).error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");
  // One rule for a target's value: the encoder refuses exactly what
  // check_error_target() refuses, with its error.
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::tuple<ErrorTarget, double, bool> cases[] = {
      {ErrorTarget::max_error, -1.0, false},     {ErrorTarget::max_error, 0.0, true},
      {ErrorTarget::max_error, nan, false},      {ErrorTarget::relative_error, -1e-300, false},
      {ErrorTarget::relative_error, inf, false}, {ErrorTarget::relative_error, 0.01, true},
      {ErrorTarget::psnr, -5.0, true},           {ErrorTarget::psnr, -inf, false},
      {ErrorTarget::psnr, nan, false},           {ErrorTarget{3}, 1.0, false}};
  for (const auto& [target, value, allowed] : cases) {
    const auto checked = check_error_target(target, value);
    EXPECT_EQ(checked.has_value(), allowed) << static_cast<int>(target) << " " << value;
    o.target = target;
    o.value = value;
    const auto result = compress_bounded(x, o);
    if (allowed) {
      EXPECT_TRUE(result || result.error().kind() == QuarnelErrorKind::BoundUnreachable)
          << result.error().message();
    } else if (!checked) {
      ASSERT_FALSE(result.has_value()) << value;
      EXPECT_EQ(result.error(), checked.error()) << result.error().message();
    }
  }
}

// The encoder works in one arena as long as the signal and holds the decoded
// wavelet's coarser bands beside it, never a normalised copy of the signal
// nor a whole decoded candidate: its live heap stays a small multiple of the
// input, for every kind of target, either input type and every wavelet.
template <typename T>
double peak_per_input_byte(ErrorTarget target, double value,
                           std::optional<WaveletMethod> method = std::nullopt,
                           bool corrected = false) {
  const std::vector<float> walk = random_walk(1 << 20, 7);
  const std::vector<T> x(walk.begin(), walk.end());
  BoundedOptions o;
  o.target = target;
  o.value = value;
  o.method = method;
  std::size_t size = 0, corrections = 0;
  const std::size_t peak = peak_heap::during([&] {
    if (!corrected) {
      size = compress_bounded(x, o, 1)->stream.size();
      return;
    }
    const auto stream =
        compress_bounded_stored(std::span<const T>(x), o, StoreOptions{}, 1)->stream;
    size = stream.size();
    corrections = read_trailer(stream).value()->corrections.value().list.size();
  });
  EXPECT_GT(size, 0u);
  EXPECT_TRUE(!corrected || corrections > 0);
  return static_cast<double>(peak) / static_cast<double>(x.size() * sizeof(T));
}

TEST(Bounded, PeakHeapIsASmallMultipleOfTheInput) {
  for (const auto& [target, value] :
       {std::pair{ErrorTarget::psnr, 60.0}, std::pair{ErrorTarget::relative_error, 1e-3}}) {
    EXPECT_LT(peak_per_input_byte<float>(target, value), 1.75) << static_cast<int>(target);
    EXPECT_LT(peak_per_input_byte<double>(target, value), 1.4) << static_cast<int>(target);
  }
  for (const WaveletMethod method :
       {WaveletMethod::cdf53, WaveletMethod::db4, WaveletMethod::sym4}) {
    EXPECT_LT(peak_per_input_byte<float>(ErrorTarget::psnr, 60.0, method), 1.75)
        << static_cast<int>(method);
  }
  // With corrections, found as the search's decodes are made.
  EXPECT_LT(peak_per_input_byte<float>(ErrorTarget::relative_error, 1e-3, std::nullopt, true),
            1.75);
  EXPECT_LT(peak_per_input_byte<double>(ErrorTarget::relative_error, 1e-3, std::nullopt, true),
            1.4);
}

}  // namespace
}  // namespace quarnel::testing
