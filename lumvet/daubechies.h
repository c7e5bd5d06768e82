// Scaling filters of the Daubechies and symlet families.
#pragma once

#include <span>
#include <vector>

#include "lumvet/lumvet.h"

namespace lumvet {

// A source of one low-pass (scaling) filter.
class WaveletFilterProvider {
 public:
  virtual ~WaveletFilterProvider() = default;
  // The low-pass taps, each 64-bit table value rounded to the nearest float.
  virtual std::vector<float> get_wavelet() const = 0;
};

// The provider for one member of DaubechiesFamily.
class DaubechiesFilter final : public WaveletFilterProvider {
 public:
  explicit DaubechiesFilter(DaubechiesFamily family) : family_(family) {}
  std::vector<float> get_wavelet() const override;

 private:
  DaubechiesFamily family_;
};

// The stored 64-bit tables, in table order.
std::span<const double> daubechies_table(DaubechiesFamily family);
std::span<const double> symlet_table(SymletFamily family);

// Table converted to 32-bit taps (round to nearest, order kept).
std::vector<float> get_wavelet(DaubechiesFamily family);
std::vector<float> get_wavelet(SymletFamily family);

}  // namespace lumvet
