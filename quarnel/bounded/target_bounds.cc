// From the caller's target to bounds on the largest and the RMS error, and
// the words of a refusal: the figure it names, rounded so that given back as
// a target it is met.
#include "quarnel/bounded/target_bounds.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "quarnel/bounded/bounded.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace {

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// Three significant digits, rounded up: given back as a target, the figure is
// met by the stream that reached `v`.
std::string rounded_up(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  if (!std::isfinite(v) || std::strtod(text, nullptr) >= v) return text;
  const double unit = std::pow(10.0, std::floor(std::log10(v)) - 2.0);
  for (double k = std::ceil(v / unit);; ++k) {
    std::snprintf(text, sizeof text, "%.3g", k * unit);
    if (std::strtod(text, nullptr) >= v) return text;
  }
}

// Tenths of a dB, rounded down past the hair the target takes off.
std::string rounded_down_db(double psnr) {
  char text[32];
  if (!std::isfinite(psnr)) {
    std::snprintf(text, sizeof text, "%.1f", psnr);
    return text;
  }
  const double highest = psnr - 1e-6;
  for (double k = std::floor(highest * 10.0);; --k) {
    std::snprintf(text, sizeof text, "%.1f", k / 10.0);
    if (std::strtod(text, nullptr) <= highest) return text;
  }
}

// The target as a refusal names it.
std::string asked(ErrorTarget kind, double value) {
  switch (kind) {
    case ErrorTarget::max_error:
      return "max error " + number(value);
    case ErrorTarget::relative_error:
      return "relative error " + number(value);
    case ErrorTarget::psnr:
      break;
  }
  return "PSNR " + number(value) + " dB";
}

}  // namespace

QuarnelError tightest_unreachable(ErrorTarget kind, double value, double tightest) {
  return QuarnelError::bound_unreachable(
      asked(kind, value) + ": the tightest this signal allows is " + rounded_up(tightest));
}

double named_figure(double v) {
  return std::strtod(rounded_up(v).c_str(), nullptr);
}

namespace bounded {

std::expected<Target, QuarnelError> make_target(const BoundedOptions& options, const Signal& s) {
  QUARNEL_TRY(check_error_target(options.target, options.value));
  const double v = options.value;
  const double inf = std::numeric_limits<double>::infinity();
  if (options.target != ErrorTarget::psnr) {
    return Target{options.target, v,
                  options.target == ErrorTarget::max_error ? v : v * s.target_range, inf};
  }
  // A hair under the bound, so that a PSNR the caller computes with another
  // summation order still reaches the target. An exact stream meets every
  // target, even where the power overflows and a range of 0 times it would
  // be NaN.
  return Target{
      options.target, v, inf,
      s.target_range == 0.0 ? 0.0 : s.target_range * std::pow(10.0, -v / 20.0) * (1.0 - 1e-9)};
}

QuarnelError unreachable(const Target& t, const Signal& s, const Achieved& tightest) {
  if (t.kind != ErrorTarget::max_error && !(s.target_range > 0.0)) {
    return QuarnelError::bound_unreachable(
        asked(t.kind, t.value) +
        ": the signal's range is 0, which asks for an exact stream; the tightest max error this "
        "signal allows is " +
        rounded_up(tightest.max_error));
  }
  switch (t.kind) {
    case ErrorTarget::max_error:
      break;
    case ErrorTarget::relative_error: {
      double relative = tightest.max_error / s.target_range;
      if (relative * s.target_range < tightest.max_error) {
        relative = std::nextafter(relative, std::numeric_limits<double>::infinity());
      }
      return tightest_unreachable(t.kind, t.value, relative);
    }
    case ErrorTarget::psnr:
      return QuarnelError::bound_unreachable(
          asked(t.kind, t.value) + ": the highest this signal allows is " +
          rounded_down_db(psnr_of(s.target_range, tightest.rms_error)) + " dB");
  }
  return tightest_unreachable(t.kind, t.value, tightest.max_error);
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
