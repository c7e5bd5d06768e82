// Vector steps of NeonWavelet12TapsF32, compiled once per Highway target.
#include "lumvet/neon/wavelet12taps_f32.h"

#define LUMVET_FIXED_TAPS_EXECUTOR NeonWavelet12TapsF32
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet12taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "lumvet/neon/wavelet_fixed_taps-inl.h"
