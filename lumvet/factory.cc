// The factory: the only way the codec obtains a transform.
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "lumvet/cdf53.h"
#include "lumvet/cdf97f.h"
#include "lumvet/completed.h"
#include "lumvet/daubechies.h"
#include "lumvet/lumvet.h"
#include "lumvet/neon/wavelet10taps_f32.h"
#include "lumvet/neon/wavelet12taps_f32.h"
#include "lumvet/neon/wavelet16taps_f32.h"
#include "lumvet/neon/wavelet2taps.h"
#include "lumvet/neon/wavelet4taps_f32.h"
#include "lumvet/neon/wavelet6taps_f32.h"
#include "lumvet/neon/wavelet8taps_f32.h"
#include "lumvet/neon/wavelet_n_taps_f32.h"
#include "lumvet/util.h"

namespace lumvet {

// Lifting wavelets: stateless executors that carry their own level drivers.

DwtExecutorHandle Lumvet::make_cdf53_f32() {
  return std::make_shared<const cdf53f::Cdf53>();
}

DwtExecutorHandle Lumvet::make_cdf97_f32() {
  return std::make_shared<const neon::cdf97_f32::NeonCdf97F32>();
}

// Orthogonal wavelets: a convolution kernel chosen by tap count, given the
// multi-level operations by CompletedDwtExecutor.

namespace {

// The low-pass taps and their quadrature mirror in kSlots slots each, both
// zero-filled beyond the taps.
template <class Kernel, std::size_t kSlots>
IncompleteDwtExecutorHandle fixed_kernel(BorderMode border, const std::vector<float>& t) {
  std::array<float, kSlots> low{};
  std::array<float, kSlots> high{};
  std::copy(t.begin(), t.end(), low.begin());
  write_high_pass(t, high);
  return std::make_shared<const Kernel>(border, low, high);
}

// Fixed-tap kernels keep their taps in registers and need no scratch, so they
// win whenever one exists for the tap count.
IncompleteDwtExecutorHandle convolution_kernel(BorderMode border, const std::vector<float>& t) {
  switch (t.size()) {
    case 2:
      // The pair twice, as the 2-tap executor stores it; its kernel reads the first pair.
      return std::make_shared<const NeonWavelet2TapsF32>(
          border, std::array<float, 4>{t[0], t[1], t[0], t[1]},
          std::array<float, 4>{t[1], -t[0], t[1], -t[0]});
    case 4:
      return fixed_kernel<NeonWavelet4TapsF32, 4>(border, t);
    case 6:
      return fixed_kernel<NeonWavelet6TapsF32, 8>(border, t);
    case 8:
      return fixed_kernel<NeonWavelet8TapsF32, 8>(border, t);
    case 10: {
      std::array<float, 10> taps{};
      std::copy(t.begin(), t.end(), taps.begin());
      return std::make_shared<const NeonWavelet10TapsF32>(border, taps);
    }
    case 12:
      return fixed_kernel<NeonWavelet12TapsF32, 12>(border, t);
    case 16:
      return fixed_kernel<NeonWavelet16TapsF32, 16>(border, t);
    default:
      return DwtFactory::wavelet_n_taps(border, t);
  }
}

DwtExecutorHandle completed(IncompleteDwtExecutorHandle kernel) {
  return std::make_shared<const CompletedDwtExecutor>(std::move(kernel));
}

}  // namespace

DwtExecutorHandle Lumvet::make_daubechies_f32(DaubechiesFamily family, BorderMode border) {
  return completed(convolution_kernel(border, DaubechiesFilter(family).get_wavelet()));
}

DwtExecutorHandle Lumvet::make_symlet_f32(SymletFamily family, BorderMode border) {
  return completed(convolution_kernel(border, get_wavelet(family)));
}

IncompleteDwtExecutorHandle DwtFactory::wavelet_n_taps(BorderMode border,
                                                       std::span<const float> taps) {
  return std::make_shared<const NeonWaveletNTapsF32>(border, taps);
}

}  // namespace lumvet
