#include "lumvet/util.h"

namespace lumvet {

std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
  std::vector<float> high(low_pass.size());
  write_high_pass(low_pass, high);
  return high;
}

}  // namespace lumvet
