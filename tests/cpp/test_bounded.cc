// The error-bounded encoder: every stream decodes with decompress() to
// samples that meet the target, and the figures it reports are those of that
// decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "quarnel/quarnel.h"

namespace quarnel::testing {
namespace {

struct Measured {
  double max_error = 0.0;
  double rms_error = 0.0;
  double range = 0.0;
};

// Measured here from decompress(), independently of the encoder's own check.
Measured measure(std::span<const float> x, std::span<const float> y) {
  Measured m;
  float lo = std::numeric_limits<float>::infinity(), hi = -lo;
  double sum = 0.0;
  std::size_t finite = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
    const double e = std::abs(static_cast<double>(y[i]) - x[i]);
    m.max_error = std::max(m.max_error, e);
    sum += e * e;
    ++finite;
  }
  m.range = finite ? static_cast<double>(hi) - lo : 0.0;
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

// Encodes, decodes with decompress() and checks the target, the reported
// figures and the header against that decode.
void expect_bound_holds(std::span<const float> x, const BoundedOptions& o) {
  auto result = compress_bounded(x, o);
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
        EXPECT_GE(20.0 * std::log10(m.range / m.rms_error), o.value);
      }
      break;
  }
  // The encoder's figures are those of the decoder's samples, to the bit.
  EXPECT_EQ(result->max_error, m.max_error);
  if (m.rms_error == 0.0) {
    EXPECT_EQ(result->psnr, std::numeric_limits<double>::infinity());
  } else {
    EXPECT_NEAR(result->psnr, 20.0 * std::log10(m.range / m.rms_error), 1e-9);
  }
  const QuarnelHeader h = header_of(result->stream);
  EXPECT_EQ(h.method_tag, method_tag(result->method));
  EXPECT_EQ(h.levels, result->levels);
  EXPECT_EQ(h.scale, result->scale);
  EXPECT_EQ(h.coder, result->coder == CoderChoice::deflate ? kCoderDeflate : kCoderArans);
  EXPECT_EQ(result->method, o.method.value_or(result->method));
  EXPECT_EQ(result->coder, o.coder == CoderChoice::auto_ ? result->coder : o.coder);
  // The header stays a bound of the finite samples.
  for (const float v : x) {
    if (!std::isfinite(v)) continue;
    EXPECT_LE(h.min_value, v);
    EXPECT_GE(h.max_value, v);
  }
  // Non-finite samples come back as finite values near a neighbour.
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_TRUE(std::isfinite(x[i]) || std::isfinite((*y)[i])) << i;
  }
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

// The message names the tightest figure, and that figure is reachable.
TEST(Bounded, UnreachableTargetNamesTheTightestErrorItCanReach) {
  const std::vector<float> x = sines(4000);
  struct Case {
    ErrorTarget target;
    double value;
    std::string prefix;
  };
  for (const Case& c :
       {Case{ErrorTarget::max_error, 1e-9,
             "Can't meet max error 1e-09: the tightest this signal allows is "},
        Case{ErrorTarget::relative_error, 1e-7,
             "Can't meet relative error 1e-07: the tightest this signal allows is "},
        Case{ErrorTarget::psnr, 140.0,
             "Can't meet PSNR 140 dB: the highest this signal allows is "}}) {
    BoundedOptions o;
    o.target = c.target;
    o.value = c.value;
    const auto refused = compress_bounded(x, o);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), QuarnelErrorKind::BoundUnreachable);
    const std::string message = refused.error().message();
    ASSERT_EQ(message.rfind(c.prefix, 0), 0u) << message;
    o.value = std::strtod(message.c_str() + c.prefix.size(), nullptr);
    expect_bound_holds(x, o);
  }
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

}  // namespace
}  // namespace quarnel::testing
