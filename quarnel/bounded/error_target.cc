// The rules for what the encoders accept, shared by the bounded encoder and
// every binding that checks before it converts or compresses: an error
// target's value, and float64 samples that a float32 stream cannot hold.
#include <cmath>
#include <cstdio>
#include <string>

#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

std::expected<void, QuarnelError> check_error_target(ErrorTarget target, double value) {
  const auto refuse = [](const char* format, double v) {
    char text[96];
    std::snprintf(text, sizeof text, format, v);
    return std::unexpected(QuarnelError::unsupported_configuration(text));
  };
  switch (target) {
    case ErrorTarget::max_error:
    case ErrorTarget::relative_error:
      // Zero asks for an exact stream, which a signal may allow.
      if (!(std::isfinite(value) && value >= 0.0)) {
        return refuse("An error target must be a finite number >= 0, but it was %.6g", value);
      }
      return {};
    case ErrorTarget::psnr:
      // A negative PSNR is a real, if loose, target: an RMSE above the range.
      if (!std::isfinite(value)) {
        return refuse("A PSNR target must be a finite number of dB, but it was %.6g", value);
      }
      return {};
  }
  return std::unexpected(QuarnelError::unsupported_configuration(
      "Unknown error target " + std::to_string(static_cast<unsigned>(target))));
}

std::expected<void, QuarnelError> check_float32_range(std::span<const double> samples) {
  // Doubles from half a float32 step above the largest float32 on round to
  // infinity.
  constexpr double kRoundsToInfinity = 0x1.ffffffp127;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double x = samples[i];
    if (std::isfinite(x) && std::abs(x) >= kRoundsToInfinity) [[unlikely]] {
      char text[96];
      std::snprintf(text, sizeof text, "sample %zu holds %g, beyond the float32 range", i, x);
      return std::unexpected(QuarnelError::unsupported_configuration(text));
    }
  }
  return {};
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
