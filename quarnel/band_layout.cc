#include "quarnel/band_layout.h"

#include <algorithm>

namespace quarnel {

std::uint64_t BandLayout::detail_count() const {
  std::uint64_t total = 0;
  for (const auto& level : levels) total += level.details_length;
  return total;
}

BandLayout band_layout(const lumvet::DwtExecutor& executor, std::uint64_t sample_count,
                       unsigned levels) {
  BandLayout layout;
  layout.transformed_length = std::max<std::uint64_t>(sample_count, executor.filter_length());
  layout.levels.reserve(levels);
  std::uint64_t length = layout.transformed_length;
  for (unsigned k = 0; k < levels; ++k) {
    const lumvet::DwtSize size = executor.dwt_size(length);
    layout.levels.push_back(size);
    length = size.approximation_length;
  }
  return layout;
}

}  // namespace quarnel
