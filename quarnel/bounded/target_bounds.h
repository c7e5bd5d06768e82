// The caller's error target as the bounds a candidate must keep, in the
// signal's own units, and the refusal when no stream keeps them.
#pragma once

#include <expected>

#include "quarnel/bounded/error_measure.h"
#include "quarnel/bounded/signal_scan.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// What a candidate must keep to meet the caller's target.
struct Target {
  ErrorTarget kind;
  double value;      // as the caller gave it
  double max_error;  // absolute bound on the largest error, or +inf
  double rms_error;  // absolute bound on the RMS error, or +inf

  bool met(const Achieved& a) const { return a.max_error <= max_error && a.rms_error <= rms_error; }
  // How much of the allowance a candidate uses: 1 is exactly at the target.
  double used(const Achieved& a) const {
    return kind == ErrorTarget::psnr ? a.rms_error / rms_error : a.max_error / max_error;
  }
};

// The caller's target, once it is checked, in the signal's own units.
std::expected<Target, QuarnelError> make_target(const BoundedOptions& options, const Signal& s);

// `tightest` is what the closest stream the encoder could return achieves. A
// relative error or a PSNR of a signal whose range is 0 asks for an exact
// stream: the figure it is given is a largest error.
QuarnelError unreachable(const Target& t, const Signal& s, const Achieved& tightest);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
