// Internal: what the compressor and the decompressor agree on without storing
// it: the band lengths of a stream.
//
// The stream holds no band lengths. Both sides derive them from the sample
// count, the method and the level count through the executor's dwt_size, so
// this one place computes them for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumvet/lumvet.h"
#include "quarnel/export.h"
#include "quarnel/method.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

struct BandLayout {
  // Length actually transformed: the sample count, raised to the filter
  // length for signals shorter than the filter.
  std::uint64_t transformed_length = 0;
  // One entry per level, finest first.
  std::vector<lumvet::DwtSize> levels;

  // a_L: the coarsest approximation.
  std::uint64_t approximation_length() const { return levels.back().approximation_length; }
  // d_1 + ... + d_L.
  std::uint64_t detail_count() const;
  // a_L + d_1 + ... + d_L: the integers of the coefficient byte string.
  std::uint64_t coefficient_count() const { return approximation_length() + detail_count(); }
};

// (a_1, d_1) = dwt_size(N), (a_k, d_k) = dwt_size(a_(k-1)). levels >= 1.
BandLayout band_layout(const lumvet::DwtExecutor& executor, std::uint64_t sample_count,
                       unsigned levels);

// The most coefficients a stream of `sample_count` samples can hold: over every method
// and every level count either encoder may choose.
std::uint64_t max_coefficient_count(std::uint64_t sample_count);

}  // namespace QUARNEL_ABI
}  // namespace quarnel
