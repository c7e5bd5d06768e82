// The rule for an error target's value, shared by the bounded encoder and
// every binding that checks a target before it has samples.
#include <cmath>
#include <cstdio>
#include <string>

#include "quarnel/quarnel.h"

namespace quarnel {

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

}  // namespace quarnel
