#include "quarnel/band_layout.h"

#include <algorithm>

namespace quarnel {
inline namespace QUARNEL_ABI {

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

std::uint64_t max_coefficient_count(std::uint64_t sample_count) {
  std::uint64_t most = 0;
  for (const WaveletMethod method :
       {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4, WaveletMethod::sym4}) {
    const lumvet::DwtExecutorHandle executor = make_executor(method);
    for (unsigned levels = 1; levels <= kMaxLevels; ++levels) {
      most = std::max(most, band_layout(*executor, sample_count, levels).coefficient_count());
    }
  }
  return most;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
