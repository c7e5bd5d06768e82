// The factory: the only way the codec obtains a transform.
#include <memory>

#include "lumvet/cdf53.h"
#include "lumvet/cdf97f.h"
#include "lumvet/lumvet.h"

namespace lumvet {

// Lifting wavelets: stateless executors that carry their own level drivers.

DwtExecutorHandle Lumvet::make_cdf53_f32() {
  return std::make_shared<const cdf53f::Cdf53>();
}

DwtExecutorHandle Lumvet::make_cdf97_f32() {
  return std::make_shared<const neon::cdf97_f32::NeonCdf97F32>();
}

}  // namespace lumvet
