#include "lumvet/daubechies.h"

#include <cstddef>

#include "lumvet/daubechies_tables.h"

namespace lumvet {

namespace {

std::vector<float> to_f32(std::span<const double> table) {
  std::vector<float> taps(table.size());
  for (std::size_t k = 0; k < table.size(); ++k) taps[k] = static_cast<float>(table[k]);
  return taps;
}

}  // namespace

std::span<const double> daubechies_table(DaubechiesFamily family) {
  return tables::kDaubechies[static_cast<std::size_t>(family)];
}

std::span<const double> symlet_table(SymletFamily family) {
  return tables::kSymlets[static_cast<std::size_t>(family)];
}

std::vector<float> get_wavelet(DaubechiesFamily family) {
  return to_f32(daubechies_table(family));
}

std::vector<float> get_wavelet(SymletFamily family) {
  return to_f32(symlet_table(family));
}

std::vector<float> DaubechiesFilter::get_wavelet() const {
  return lumvet::get_wavelet(family_);
}

}  // namespace lumvet
