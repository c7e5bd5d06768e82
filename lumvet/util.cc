#include "lumvet/util.h"

namespace lumvet {

std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
  const std::size_t length = low_pass.size();
  std::vector<float> high(length);
  for (std::size_t k = 0; k < length; ++k) {
    const float tap = low_pass[length - 1 - k];
    high[k] = (k & 1) ? -tap : tap;
  }
  return high;
}

}  // namespace lumvet
